// The window as a person uses it, on real disk images listed through the
// stand-in folder: the device tree, the page flow, quick and deep scans
// from the disk page to the finished page, pause, stop and recovery.
#include <QApplication>
#include <QCloseEvent>
#include <QMessageBox>
#include <QTest>

#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "dialogs.h"
#include "gui_support.h"
#include "mainwindow.h"
#include "recover.h"
#include "test_support.h"

namespace {

std::map<std::string, std::string> truth(const std::string &fx)
{
    std::map<std::string, std::string> t;
    std::ifstream in(fx + "/truth.tsv");
    std::string name, size, sha;
    while (in >> name >> size >> sha)
        t[name] = sha;
    return t;
}

QTreeWidgetItem *row(QTreeWidget *tree, const QString &device, const QString &volume)
{
    for (int i = 0; i < tree->topLevelItemCount(); i++) {
        QTreeWidgetItem *d = tree->topLevelItem(i);
        if (!d->text(0).contains(device))
            continue;
        if (volume.isEmpty())
            return d;
        for (int j = 0; j < d->childCount(); j++)
            if (d->child(j)->text(0) == volume)
                return d->child(j);
    }
    return nullptr;
}

class Window : public ::testing::Test {
protected:
    void SetUp() override
    {
        fx = svt::fixture("gui");
        folder.link(0, fx + "/disk.img");
        folder.link(1, fx + "/big.img");
        w = std::make_unique<MainWindow>();
        w->show();
        tree = w->diskPage()->treeCtrl()->tree();
    }
    void TearDown() override
    {
        w->diskPage()->stop();
        w.reset();
    }
    // Selects a row and presses Scan on the disk page.
    void scan(const QString &device, const QString &volume)
    {
        QTreeWidgetItem *r = row(tree, device, volume);
        ASSERT_NE(r, nullptr) << volume.toStdString();
        tree->setCurrentItem(r);
        ASSERT_TRUE(w->diskPage()->scanButton()->isEnabled());
        QTest::mouseClick(w->diskPage()->scanButton(), Qt::LeftButton);
    }
    bool close()
    {
        QCloseEvent e;
        QApplication::sendEvent(w.get(), &e);
        return e.isAccepted();
    }
    void goBack()
    {
        answerNextModal([](QWidget *m) { static_cast<QMessageDlg *>(m)->doneDlg(); });
        QTest::mouseClick(w->scanPage()->backButton(), Qt::LeftButton);
    }

    std::string fx;
    DiskFolder folder;
    std::unique_ptr<MainWindow> w;
    QTreeWidget *tree = nullptr;
};

}  // namespace

TEST_F(Window, DeviceTreeRowsLabelsAndSizes)
{
    QTreeWidgetItem *disk = row(tree, "disk.img", "");
    QTreeWidgetItem *big = row(tree, "big.img", "");
    ASSERT_TRUE(disk && big);
    EXPECT_EQ(big->text(1), "3.69 GB");
    EXPECT_EQ(big->toolTip(1), "3,965,190,144 bytes");
    ASSERT_EQ(big->childCount(), 2);
    EXPECT_EQ(big->child(0)->text(0), "Untitled");
    EXPECT_EQ(big->child(0)->text(1), "2.00 GB");
    EXPECT_EQ(big->child(0)->text(2), "  EXT2 ");
    // Partitions in table order, then the whole device.
    ASSERT_EQ(disk->childCount(), 3);
    EXPECT_EQ(disk->child(0)->text(0), "Untitled");
    EXPECT_EQ(disk->child(0)->text(2), "  EXT4 ");
    EXPECT_EQ(disk->child(1)->text(0), "PHOTOS");
    EXPECT_EQ(disk->child(1)->text(2), "  FAT16 ");
    EXPECT_EQ(disk->child(2)->text(0), QTreeCtrlDlg::kEntireDevice);
    EXPECT_EQ(disk->child(2)->text(2), "  Unknown ");
    EXPECT_EQ(disk->child(2)->text(1), SizeText(24u << 20));
    EXPECT_NE(disk->child(1)->data(0, QTreeCtrlDlg::PartitionRole).value<Partiton_Struct *>(), nullptr);
}

TEST_F(Window, AMediumThatCannotBeOpenedIsListedWithTheReason)
{
    // A socket stands in for a device this user may not open (root reads
    // every real disk, so permissions cannot be shown here).
    std::string entry = folder.path() + "/disk2";
    svt::run("python3 -c 'import socket,sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "
             + svt::shellQuote(entry));
    w->diskPage()->treeCtrl()->onDilMountUsb();
    QTreeWidgetItem *r = row(tree, QString::fromStdString(entry), "");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->childCount(), 0);
    EXPECT_EQ(r->text(1), "No access");
    EXPECT_EQ(r->text(2).trimmed(), "No such device or address");
    EXPECT_TRUE(r->toolTip(0).contains("See Help"));
}

TEST_F(Window, DeviceSixteenIsNeverShownAndDeviceRowsDoNotScan)
{
    // Separate files: an image is opened exclusively, once.
    svt::TempDir tiny;
    for (int n = 2; n <= 17; n++) {
        std::string f = tiny.file("tiny" + std::to_string(n) + ".img");
        svt::run("truncate -s 1M " + svt::shellQuote(f));
        folder.link(n, f);
    }
    w->diskPage()->treeCtrl()->onDilMountUsb();
    EXPECT_EQ(tree->topLevelItemCount(), 17);  // disk0 .. disk17 but disk16
    for (int i = 0; i < tree->topLevelItemCount(); i++)
        EXPECT_NE(tree->topLevelItem(i)->toolTip(0).toStdString(), folder.path() + "/disk16");

    QTest::mouseClick(w->quickButton(), Qt::LeftButton);
    tree->setCurrentItem(row(tree, "disk.img", ""));
    EXPECT_FALSE(w->diskPage()->scanButton()->isEnabled());
    QString text;
    answerNextModal([&](QWidget *m) {
        text = static_cast<QMessageBox *>(m)->text();
        static_cast<QMessageBox *>(m)->accept();
    });
    w->diskPage()->OnScan();
    EXPECT_EQ(text, "Please select the target partition or removable media first.");
    EXPECT_EQ(w->currentPage(), MainWindow::PageDisk);
}

TEST_F(Window, QuickScanOfFatFromHomeToResultsAndBackRecoversByteForByte)
{
    EXPECT_EQ(w->windowTitle(), "Salvitra");
    EXPECT_EQ(w->currentPage(), MainWindow::PageHome);
    EXPECT_TRUE(close());  // the home page never asks
    QTest::mouseClick(w->quickButton(), Qt::LeftButton);
    EXPECT_EQ(w->currentPage(), MainWindow::PageDisk);
    EXPECT_EQ(w->windowTitle(), "Salvitra");
    EXPECT_TRUE(close());  // nor the disk page

    scan("disk.img", "PHOTOS");
    EXPECT_EQ(w->currentPage(), MainWindow::PageScanning);
    ASSERT_TRUE(waitUntil([&] { return w->currentPage() == MainWindow::PageFinished; }, 30000));
    QScaningDlg *page = w->scanPage();
    EXPECT_EQ(page->percentText(), "100%");
    EXPECT_TRUE(page->backButton()->isEnabled());
    EXPECT_FALSE(page->stopButton()->isVisible());

    // The results were handed over: both deleted files (8.3 names that
    // lost their first character), not the live one.
    std::map<std::string, std::string> want = truth(fx);
    std::vector<int> rows;
    std::map<std::string, std::string> wantByOutput;
    for (size_t i = 0; i < page->foundFiles().size(); i++) {
        const salvitra::FoundFile &f = page->foundFiles()[i];
        EXPECT_NE(f.name, "kept.txt");
        for (auto &[name, sha] : want)
            if (f.name.size() == name.size() && f.name.substr(1) == name.substr(1)) {
                rows.push_back((int)i);
                wantByOutput[salvitra::relativeOutputPath(f, true)] = sha;
            }
    }
    ASSERT_EQ(rows.size(), 2u);
    svt::TempDir out;
    answerNextModal([](QWidget *m) { static_cast<QDialog *>(m)->reject(); }, 20000, "QOpenFilePathDlg");
    QString err;
    ASSERT_TRUE(page->RecoverTo(QString::fromStdString(out.path()), rows, &err)) << err.toStdString();
    ASSERT_TRUE(waitUntil([] { return QApplication::activeModalWidget() == nullptr; }, 20000))
        << QApplication::activeModalWidget()->metaObject()->className();
    for (auto &[rel, sha] : wantByOutput)
        EXPECT_EQ(sha256File(out.path() + "/" + rel), sha) << rel;

    // Never into the scanned medium: a loop mount of one of the image's
    // partitions (its ext4 volume) is refused
    // (when loop devices can be made here).
    svt::TempDir mnt;
    if (svt::run("mount -o loop,ro,offset=1048576 " + svt::shellQuote(fx + "/disk.img") + " " +
                 svt::shellQuote(mnt.path()) + " 2>/dev/null").status == 0) {
        EXPECT_FALSE(page->RecoverTo(QString::fromStdString(mnt.path() + "/x"), rows, &err));
        EXPECT_TRUE(err.startsWith("Please choose a folder on another disk")) << err.toStdString();
        svt::run("umount " + svt::shellQuote(mnt.path()));
    }

    // Closing now asks; declining keeps the window and its results.
    answerNextModal([](QWidget *m) { static_cast<QDialog *>(m)->accept(); });
    EXPECT_FALSE(close());
    EXPECT_EQ(page->foundCount(), (int)page->foundFiles().size());
    EXPECT_GT(page->foundCount(), 0);

    goBack();
    EXPECT_EQ(w->currentPage(), MainWindow::PageDisk);
    EXPECT_EQ(get_ExportsData(), 200);
    EXPECT_EQ(page->foundCount(), 0);
    EXPECT_EQ(w->diskPage()->job(), nullptr);
    QTest::mouseClick(w->diskPage()->homeButton(), Qt::LeftButton);
    EXPECT_EQ(w->currentPage(), MainWindow::PageHome);
    EXPECT_EQ(w->windowTitle(), "Salvitra");
}

TEST_F(Window, StoppingARecoveryFromItsProgressDialogEndsItSafely)
{
    QTest::mouseClick(w->quickButton(), Qt::LeftButton);
    scan("disk.img", "PHOTOS");
    ASSERT_TRUE(waitUntil([&] { return w->currentPage() == MainWindow::PageFinished; }, 30000));
    QScaningDlg *page = w->scanPage();
    ASSERT_GT(page->foundCount(), 0);
    svt::TempDir out;
    // The recovery waits at its gate until the question is answered; the
    // confirmed stop then ends it while the dialog's stop handler is still
    // running, and the dialog must outlive that handler.
    page->SetPause(true);
    QString told;
    answerNextModal([&](QWidget *progress) {
        answerNextModal([](QWidget *q) { static_cast<QMessageDlg *>(q)->doneDlg(); }, 5000, "QMessageDlg");
        answerNextModal([&](QWidget *m) {
            told = static_cast<QOpenFilePathDlg *>(m)->text();
            static_cast<QDialog *>(m)->reject();
        }, 5000, "QOpenFilePathDlg");
        static_cast<QProgressDlg *>(progress)->OnStopThree();
    }, 5000, "QProgressDlg");
    QString err;
    ASSERT_TRUE(page->RecoverTo(QString::fromStdString(out.path()), {0, 1}, &err)) << err.toStdString();
    ASSERT_TRUE(waitUntil([&] { return !told.isEmpty(); }, 5000));
    EXPECT_EQ(told, "Recovery stopped: 0 of 2 files recovered");
    EXPECT_EQ(svt::run("ls -A " + svt::shellQuote(out.path())).out, "");
    EXPECT_FALSE(page->IsRunning());
    goBack();
}

TEST_F(Window, QuickScanWithoutAScannerEndsAtOnceWithNoFiles)
{
    QTest::mouseClick(w->quickButton(), Qt::LeftButton);
    // The whole-device row has no file system and so no quick scanner.
    tree->setCurrentItem(row(tree, "disk.img", QTreeCtrlDlg::kEntireDevice));
    EXPECT_EQ(w->diskPage()->hintText(), "No quick scan for Unknown: a deep scan finds its files");
    scan("disk.img", QTreeCtrlDlg::kEntireDevice);
    ASSERT_TRUE(waitUntil([&] { return w->currentPage() == MainWindow::PageFinished; }, 10000));
    EXPECT_EQ(w->scanPage()->foundCount(), 0);
    // Recover says there is nothing, and asks nothing else.
    QString said;
    answerNextModal([&](QWidget *m) {
        said = static_cast<QMessageBox *>(m)->text();
        static_cast<QDialog *>(m)->reject();
    }, 5000, "QMessageBox");
    QTest::mouseClick(w->scanPage()->recoverButton(), Qt::LeftButton);
    EXPECT_EQ(said, "No files were found that could be recovered.");
    EXPECT_TRUE(w->scanPage()->statusText().startsWith("There is no quick scan for this file system"));
    goBack();
}

TEST_F(Window, DeepScanOfTheWholeDeviceFindsThePictureByItsContent)
{
    QTest::mouseClick(w->deepButton(), Qt::LeftButton);
    EXPECT_TRUE(w->diskPage()->allRadio()->isChecked());
    EXPECT_EQ(w->scanMode(), salvitra::RecoverDeep);
    scan("disk.img", QTreeCtrlDlg::kEntireDevice);
    ASSERT_TRUE(waitUntil([&] { return w->currentPage() == MainWindow::PageFinished; }, 60000));
    QScaningDlg *page = w->scanPage();
    std::vector<int> pngs;
    for (size_t i = 0; i < page->foundFiles().size(); i++)
        if (page->foundFiles()[i].type == "png")
            pngs.push_back((int)i);
    ASSERT_EQ(pngs.size(), 1u);
    svt::TempDir out;
    answerNextModal([](QWidget *m) { static_cast<QDialog *>(m)->reject(); }, 20000, "QOpenFilePathDlg");
    QString err;
    ASSERT_TRUE(page->RecoverTo(QString::fromStdString(out.path()), pngs, &err)) << err.toStdString();
    ASSERT_TRUE(waitUntil([] { return QApplication::activeModalWidget() == nullptr; }, 20000));
    const salvitra::FoundFile &f = page->foundFiles()[(size_t)pngs[0]];
    std::string rel = salvitra::relativeOutputPath(f, true);
    EXPECT_EQ(sha256File(out.path() + "/" + rel), truth(fx)["beach.png"]);
    goBack();
}

TEST_F(Window, RegionFromTheOptionsPageIsSectorsOfTheDevice)
{
    QTest::mouseClick(w->deepButton(), Qt::LeftButton);
    tree->setCurrentItem(row(tree, "disk.img", QTreeCtrlDlg::kEntireDevice));
    QTreeWidgetItem *whole = row(tree, "disk.img", QTreeCtrlDlg::kEntireDevice);
    Partiton_Struct *rec = whole->data(0, QTreeCtrlDlg::PartitionRole).value<Partiton_Struct *>();
    ASSERT_NE(rec, nullptr);
    answerNextModal([](QWidget *m) {
        auto *o = static_cast<QOptitonDlg *>(m);
        EXPECT_EQ(o->endEdit()->text(), QString::number(24 * 2048));  // 512-byte sectors
        EXPECT_EQ(o->partitionName(), "Entire Device (Unknown, 24.0 MB)");
        o->OnBtnUnSelect();
        o->photoItem()->setCheckState(0, Qt::Checked);
        o->startEdit()->setText("1000");
        o->endEdit()->setText("5000");
        o->OnBtnScan();
    });
    QTest::mouseClick(w->diskPage()->optionsButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return w->currentPage() == MainWindow::PageFinished; }, 30000));
    const Partiton_Struct &copy = w->diskPage()->rangeCopy();
    EXPECT_EQ(copy.PartOffset, 1000u * 512);
    EXPECT_EQ(copy.PartSize, 4000u * 512);
    EXPECT_EQ(copy.Device, rec->Device);
    EXPECT_EQ(w->diskPage()->pickedTypes().size(), 15);
    goBack();
    EXPECT_FALSE(w->diskPage()->rangeFlag());
    EXPECT_TRUE(w->diskPage()->pickedTypes().isEmpty());  // the next scan looks for everything
}

TEST_F(Window, PauseContinueAndStopActOnTheRunningScan)
{
    // A deep scan of a 3.7 GB (sparse) device runs long enough to be paused.
    QTest::mouseClick(w->deepButton(), Qt::LeftButton);
    scan("big.img", QTreeCtrlDlg::kEntireDevice);
    QScaningDlg *page = w->scanPage();
    QTest::mouseClick(page->pauseButton(), Qt::LeftButton);
    EXPECT_TRUE(page->isUserPaused());
    EXPECT_TRUE(page->continueButton()->isVisible());
    EXPECT_FALSE(page->pauseButton()->isVisible());
    EXPECT_NE(w->diskPage()->job()->state(), salvitra::JobState::Running);  // Paused, or already at its end
    QTest::mouseClick(page->continueButton(), Qt::LeftButton);
    EXPECT_FALSE(page->isUserPaused());
    EXPECT_FALSE(page->scanAdapter()->isPaused());

    // Declining the stop question goes on; confirming ends on the finished page.
    answerNextModal([](QWidget *m) { static_cast<QDialog *>(m)->accept(); });
    QTest::mouseClick(page->stopButton(), Qt::LeftButton);
    EXPECT_EQ(w->currentPage(), MainWindow::PageScanning);
    answerNextModal([](QWidget *m) { static_cast<QMessageDlg *>(m)->doneDlg(); });
    QTest::mouseClick(page->stopButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return w->currentPage() == MainWindow::PageFinished; }, 20000));
    EXPECT_EQ(w->diskPage()->job()->status().code, salvitra::StatusCode::Stopped);
    goBack();
}

TEST_F(Window, StopAtTheStartOfAScanIsHonoured)
{
    QTest::mouseClick(w->deepButton(), Qt::LeftButton);
    scan("big.img", QTreeCtrlDlg::kEntireDevice);
    w->diskPage()->RequestStop();  // before the scanner has started
    ASSERT_TRUE(waitUntil([&] { return w->currentPage() == MainWindow::PageFinished; }, 20000));
    EXPECT_EQ(w->diskPage()->job()->status().code, salvitra::StatusCode::Stopped);
    goBack();
}

TEST_F(Window, AMediaEventWhileResultsAreShownWaitsForTheirRelease)
{
    QTreeCtrlDlg *t = w->diskPage()->treeCtrl();
    QTest::mouseClick(w->quickButton(), Qt::LeftButton);
    scan("disk.img", "PHOTOS");
    ASSERT_TRUE(waitUntil([&] { return w->currentPage() == MainWindow::PageFinished; }, 30000));
    int before = t->rebuildCount();
    folder.link(2, fx + "/tiny.img");
    t->onDilMountUsb();
    EXPECT_TRUE(t->rebuildPending());
    EXPECT_EQ(t->rebuildCount(), before);
    EXPECT_FALSE(row(tree, "tiny.img", ""));
    goBack();
    EXPECT_FALSE(t->rebuildPending());
    EXPECT_EQ(t->rebuildCount(), before + 1);
    EXPECT_TRUE(row(tree, "tiny.img", ""));
}

TEST_F(Window, OpenDiskImageAddsADevice)
{
    QTreeCtrlDlg *t = w->diskPage()->treeCtrl();
    svt::TempDir dir;
    std::string copy = dir.file("card.dd");
    svt::run("cp " + svt::shellQuote(fx + "/disk.img") + " " + svt::shellQuote(copy));
    QString err;
    ASSERT_TRUE(t->AddDiskImage(QString::fromStdString(copy), &err)) << err.toStdString();
    EXPECT_TRUE(row(tree, "card.dd", "PHOTOS"));
    EXPECT_TRUE(row(tree, "disk.img", "PHOTOS"));  // the other media stay
    EXPECT_FALSE(t->AddDiskImage(QString::fromStdString(dir.file("missing.img")), &err));
    EXPECT_FALSE(err.isEmpty());
    EXPECT_TRUE(row(tree, "card.dd", "PHOTOS"));
}
