// The results page as a person uses it: a scan from the window, files
// ticked in the tree and in the table, the recover button, the folder
// dialog, the progress dialog and the completion question, with every
// recovered file compared byte for byte with the file that was deleted.
#include <QApplication>
#include <QBuffer>
#include <QSignalSpy>
#include <QDirIterator>
#include <QFileDialog>
#include <QMessageBox>
#include <QTest>

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <map>
#include <set>

#include "dialogs.h"
#include "failing_medium.h"
#include "gui_support.h"
#include "hfs_scenario.h"
#include "mainwindow.h"
#include "pagedthumbviewer.h"
#include "picturenode.h"
#include "previewimagectrl.h"
#include "test_support.h"
#include "thumbviewerwidget.h"
#include "units.h"

namespace {

// relative path -> sha256 of every recovered file under dir (the
// recovery's report beside them left out).
std::map<std::string, std::string> tree(const std::string &dir)
{
    std::map<std::string, std::string> out;
    QDirIterator it(QString::fromStdString(dir), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        std::string path = it.next().toStdString();
        std::string rel = path.substr(dir.size() + 1);
        if (rel.rfind("salvitra-report", 0) == 0)
            continue;
        out[rel] = sha256File(path);
    }
    return out;
}

std::set<std::string> hashes(const std::map<std::string, std::string> &files)
{
    std::set<std::string> s;
    for (auto &[path, sha] : files)
        s.insert(sha);
    return s;
}

std::string sha256Bytes(const std::vector<uint8_t> &bytes)
{
    svt::TempDir t;
    std::string f = t.file("b");
    std::ofstream(f, std::ios::binary).write((const char *)bytes.data(), (std::streamsize)bytes.size());
    return sha256File(f);
}

// Types a folder path into the folder dialog and accepts it (the folder is
// made first: the dialog chooses folders that exist).
void chooseFolder(QWidget *dialog, const std::string &path)
{
    QDir().mkpath(QString::fromStdString(path));
    auto *name = dialog->findChild<QLineEdit *>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    name->setText(QString::fromStdString(path));
    static_cast<QDialog *>(dialog)->accept();
}

// What the completion question says when every file was written.
bool allRecovered(const QString &text)
{
    return text.startsWith("Recovery complete: ");
}

QStringList childTexts(QTreeWidgetItem *item)
{
    QStringList out;
    for (int i = 0; item && i < item->childCount(); i++)
        out << item->child(i)->text(0);
    return out;
}

class ResultsPage : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Thumbnails and previews go to a temporary folder of this test.
        hadTmp = qEnvironmentVariableIsSet("TMPDIR");
        oldTmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", QByteArray::fromStdString(tmp.path()));
        w = std::make_unique<MainWindow>();
        w->show();
        w->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    }
    void TearDown() override
    {
        w->diskPage()->stop();
        w.reset();
        if (hadTmp)
            qputenv("TMPDIR", oldTmp);
        else
            qunsetenv("TMPDIR");
    }
    QScaningDlg *page() { return w->scanPage(); }

    // Lists the image as disk0, starts a quick or deep scan of its first
    // volume (or of the whole device) and waits for the finished page.
    void scanImage(const std::string &image, bool deep, bool wholeDevice = false, bool formatted = false)
    {
        folder.link(0, image);
        w->OnGoHome();
        QTest::mouseClick(deep ? w->deepButton() : w->quickButton(), Qt::LeftButton);
        w->diskPage()->treeCtrl()->onDilMountUsb();
        QTreeWidget *devices = w->diskPage()->treeCtrl()->tree();
        ASSERT_EQ(devices->topLevelItemCount(), 1);
        QTreeWidgetItem *dev = devices->topLevelItem(0);
        QTreeWidgetItem *target = nullptr;
        for (int i = 0; i < dev->childCount(); i++)
            if ((dev->child(i)->text(0) == QTreeCtrlDlg::kEntireDevice) == wholeDevice) {
                target = dev->child(i);
                break;
            }
        ASSERT_NE(target, nullptr);
        devices->setCurrentItem(target);
        if (formatted) {
            ASSERT_TRUE(w->diskPage()->formattedBox()->isEnabled());
            w->diskPage()->formattedBox()->setChecked(true);
        }
        QTest::mouseClick(w->diskPage()->scanButton(), Qt::LeftButton);
        ASSERT_TRUE(waitUntil([&] { return w->currentPage() == MainWindow::PageFinished; }, 120000));
    }

    // Presses recover, answers the folder dialog with dest (and the
    // question about the scanned medium with `sameMedium`, when it comes),
    // waits for the completion question and returns its text.
    QString recoverInto(const std::string &dest)
    {
        answerNextModal([dest](QWidget *m) { chooseFolder(m, dest); }, 10000, "QFileDialog");
        QTest::mouseClick(page()->recoverButton(), Qt::LeftButton);
        return completion();
    }
    QString completion()
    {
        QOpenFilePathDlg *done = nullptr;
        waitUntil([&] {
            done = page()->findChild<QOpenFilePathDlg *>();
            return done && done->isVisible();
        }, 60000);
        if (!done)
            return "(no completion question)";
        QString text = done->text();
        details = done->details();
        done->reject();  // not opening a file manager here
        waitUntil([&] { return page()->findChild<QOpenFilePathDlg *>() == nullptr; }, 5000);
        return text;
    }
    void tick(QTreeWidgetItem *item, bool on) { item->setCheckState(0, on ? Qt::Checked : Qt::Unchecked); }
    void goBack()
    {
        answerNextModal([](QWidget *m) { static_cast<QMessageDlg *>(m)->doneDlg(); });
        QTest::mouseClick(page()->backButton(), Qt::LeftButton);
    }

    QStringList details;  // of the last completion question
    svt::TempDir tmp;
    QByteArray oldTmp;
    bool hadTmp = false;
    DiskFolder folder;
    std::unique_ptr<MainWindow> w;
};

}  // namespace

TEST_F(ResultsPage, FatTicksFromTreeAndTableComeBackIntoTheirFolders)
{
    const std::string fx = svt::fixture("results");
    scanImage(fx + "/results.img", false);
    QScaningDlg *p = page();
    QTreeWidgetItem *root = p->tree()->topLevelItem(0);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->text(0), "All Files");
    // aiff is a music and a video type: a FAT scan lists it under both.
    EXPECT_EQ(childTexts(root), (QStringList{"Photo(3)", "Music(1)", "Video(2)", "Others(1)"}));
    EXPECT_EQ(childTexts(p->treeItem("Video")), (QStringList{"aiff(1)", "mp4(1)"}));
    EXPECT_EQ(childTexts(p->treeItem("Others")), QStringList{"_eadme(1)"});

    // The first type is shown at once: the two deleted Trip.png.
    QTreeWidgetItem *png = p->treeItem("Photo", "png");
    ASSERT_EQ(p->tree()->currentItem(), png);
    QTableWidget *t = p->table();
    ASSERT_EQ(t->rowCount(), 2);
    EXPECT_EQ(t->item(0, 2)->text(), "Photo");
    EXPECT_EQ(t->item(0, 3)->text(), QString::fromStdString(salvitra::dateText(p->foundFiles()[t->item(0, 0)->data(Qt::UserRole).toUInt()].mtime)));
    EXPECT_TRUE(t->item(0, 3)->text().contains("2021"));

    // Rows -> type -> group -> root.
    t->item(0, 0)->setCheckState(Qt::Checked);
    EXPECT_EQ(png->checkState(0), Qt::Unchecked);
    t->item(1, 0)->setCheckState(Qt::Checked);
    EXPECT_EQ(png->checkState(0), Qt::Checked);
    EXPECT_EQ(p->tableHeader()->getCheckState(), Qt::Checked);
    EXPECT_EQ(p->treeItem("Photo")->checkState(0), Qt::PartiallyChecked);
    EXPECT_EQ(root->checkState(0), Qt::PartiallyChecked);
    t->item(1, 0)->setCheckState(Qt::Unchecked);
    EXPECT_EQ(png->checkState(0), Qt::Unchecked);
    EXPECT_EQ(p->treeItem("Photo")->checkState(0), Qt::Unchecked);
    EXPECT_EQ(p->tableHeader()->getCheckState(), Qt::Unchecked);

    // Tree ticks: a type node, then a whole group (its types follow).
    tick(p->treeItem("Photo", "jpg"), true);
    EXPECT_EQ(p->treeItem("Photo")->checkState(0), Qt::PartiallyChecked);
    tick(p->treeItem("Music"), true);
    EXPECT_EQ(p->treeItem("Music", "aiff")->checkState(0), Qt::Checked);
    EXPECT_EQ(t->item(0, 0)->checkState(), Qt::Checked);  // a tick elsewhere leaves the rows alone

    // The ticked row of the partly ticked type goes straight into the
    // folder; ticked types into group and type folders.
    svt::TempDir out;
    EXPECT_EQ(recoverInto(out.path() + "/first"), "Recovery complete: all 3 files were recovered");
    std::map<std::string, std::string> got = tree(out.path() + "/first");
    const std::string src = fx + "/src/";
    ASSERT_EQ(got.size(), 3u);
    EXPECT_TRUE(got["Trip.png"] == sha256File(src + "Trip.png") || got["Trip.png"] == sha256File(src + "Trip-b.png"));
    EXPECT_EQ(got["Photo(3)/jpg(1)/_MG_0001.JPG"], sha256File(src + "IMG_0001.JPG"));
    std::set<std::string> music;
    for (auto &[rel, sha] : got)
        if (rel.rfind("Music(1)/aiff(1)/", 0) == 0)
            music.insert(sha);
    EXPECT_EQ(music, std::set<std::string>{sha256File(src + "Song.aiff")});
    // What was collected is unticked.
    EXPECT_EQ(t->item(0, 0)->checkState(), Qt::Unchecked);
    EXPECT_EQ(root->checkState(0), Qt::Unchecked);

    // Everything: the two pictures of one name both come back, and the
    // aiff once under Music and once under Video.
    tick(root, true);
    EXPECT_EQ(png->checkState(0), Qt::Checked);
    EXPECT_EQ(t->item(1, 0)->checkState(), Qt::Checked);
    EXPECT_EQ(recoverInto(out.path() + "/all"), "Recovery complete: all 7 files were recovered");
    got = tree(out.path() + "/all");
    EXPECT_EQ(got.size(), 7u);
    EXPECT_EQ(hashes(got), (std::set<std::string>{
                               sha256File(src + "Trip.png"), sha256File(src + "Trip-b.png"),
                               sha256File(src + "IMG_0001.JPG"), sha256File(src + "Song.aiff"),
                               sha256File(src + "Clip.mp4"), sha256File(src + "README")}));
    EXPECT_TRUE(got.count("Photo(3)/png(2)/Trip.png") && got.count("Photo(3)/png(2)/Trip (1).png"));
    EXPECT_TRUE(got.count("Others(1)/_eadme(1)/_EADME"));
    goBack();
}

// Names a crafted card holds are shown so that they cannot pass for
// others, and the completion tells what was written under another name.
TEST_F(ResultsPage, NamesShowWhatTheyAreAndTheCompletionSaysWhatChanged)
{
    scanImage(svt::fixture("hostile_names") + "/fat-names.img", false);
    QScaningDlg *p = page();
    p->tree()->setCurrentItem(p->treeItem("Others", "exe"));
    QTableWidget *t = p->table();
    ASSERT_EQ(t->rowCount(), 1);
    EXPECT_EQ(t->item(0, 0)->text(), "holiday\\u202egpj.exe");
    tick(p->tree()->topLevelItem(0), true);
    svt::TempDir out;
    EXPECT_TRUE(recoverInto(out.path() + "/names").startsWith("Recovery complete"));
    EXPECT_TRUE(details.join("\n").contains("renamed: holiday\\u202egpj.exe was written as holiday_gpj.exe"))
        << details.join("\n").toStdString();
    goBack();
}

TEST_F(ResultsPage, SearchViewModesThumbnailsAndPreview)
{
    const std::string fx = svt::fixture("results");
    scanImage(fx + "/results.img", false);
    QScaningDlg *p = page();
    EXPECT_EQ(p->showMode(), 3);
    EXPECT_TRUE(p->isTall());
    EXPECT_FALSE(p->viewButton(3)->isVisible());  // the fourth view has no button

    // Name search follows what is typed; an emptied field shows the type again.
    p->tree()->setCurrentItem(p->treeItem("Photo", "png"));
    EXPECT_EQ(p->nameSearch()->placeholderText(), "File Name");
    p->nameSearch()->setFocus();
    QTest::keyClicks(p->nameSearch(), "Tri");
    EXPECT_EQ(p->table()->rowCount(), 2);
    QTest::keyClick(p->nameSearch(), Qt::Key_X);
    EXPECT_EQ(p->table()->rowCount(), 0);
    QTest::keyClick(p->nameSearch(), Qt::Key_Backspace);
    // The search follows the selection: every node, "All Files" too, which
    // lists every file once.
    p->tree()->setCurrentItem(p->treeItem("Photo", "jpg"));
    EXPECT_EQ(p->table()->rowCount(), 0);
    p->tree()->setCurrentItem(p->tree()->topLevelItem(0));
    EXPECT_EQ(p->table()->rowCount(), 2);
    p->nameSearch()->selectAll();
    QTest::keyClick(p->nameSearch(), Qt::Key_Backspace);
    EXPECT_EQ(p->table()->rowCount(), (int)p->model().distinctFiles({}));
    EXPECT_EQ(p->table()->rowCount(), 6);  // the aiff under Music and Video once
    p->tree()->setCurrentItem(p->treeItem("Photo", "png"));
    EXPECT_EQ(p->table()->rowCount(), 2);

    // Size search in the opened search area: "2" KB "is less than".
    QTest::mouseClick(p->plusButton(), Qt::LeftButton);
    EXPECT_FALSE(p->isTall());
    EXPECT_TRUE(p->sizeSearch()->isVisible());
    EXPECT_EQ(p->sizeCompare()->currentText(), "is less than");
    p->tree()->setCurrentItem(p->treeItem("Video", "mp4"));
    p->sizeUnit()->setCurrentIndex(1);
    QTest::keyClicks(p->sizeSearch(), "2");
    int small = 0;
    for (const auto &f : p->foundFiles())
        small += f.name.find(".MP4") != std::string::npos && f.size < 2048;
    EXPECT_EQ(p->table()->rowCount(), small);
    QTest::mouseClick(p->minusButton(), Qt::LeftButton);
    EXPECT_TRUE(p->isTall());
    EXPECT_FALSE(p->sizeSearch()->isVisible());

    // List, then thumbnails of the photo type, with their pictures.
    p->tree()->setCurrentItem(p->treeItem("Photo", "png"));
    QCoreApplication::processEvents();
    const int tableWithPreview = p->table()->height();
    QTest::mouseClick(p->viewButton(1), Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_EQ(p->showMode(), 2);
    EXPECT_FALSE(p->previewCtrl()->isVisible());
    EXPECT_GT(p->table()->height(), tableWithPreview);  // the list takes the preview's room
    ASSERT_TRUE(p->viewButton(0)->isEnabled());
    QTest::mouseClick(p->viewButton(0), Qt::LeftButton);
    EXPECT_EQ(p->showMode(), 1);
    EXPECT_TRUE(p->thumbViewer()->isVisible());
    EXPECT_FALSE(p->table()->isVisible());
    ASSERT_EQ(p->thumbViewer()->GetItemCount(), 2);
    ASSERT_EQ(p->thumbViewer()->grid()->GetItemCount(), 2);
    // The pictures come from the medium thread when they are ready.
    ASSERT_TRUE(waitUntil([&] { return p->thumbViewer()->GetItem(0)->answered && p->thumbViewer()->GetItem(1)->answered; },
                          20000));
    for (int i = 0; i < 2; i++) {
        EXPECT_FALSE(p->thumbViewer()->GetItem(i)->picture.isNull());
        QString img = p->thumbViewer()->GetItem(i)->image;
        EXPECT_TRUE(QPreviewImageCtrl::IsImage(img)) << img.toStdString();
        EXPECT_TRUE(img.startsWith(QString::fromStdString(tmp.path()) + "/Salvitra Data Recovery/"));
    }
    // A tile's tick is the row's tick, and "Check All" ticks the type.
    p->thumbViewer()->OnCheckChange(0, true);
    EXPECT_EQ(p->table()->item(0, 0)->checkState(), Qt::Checked);
    EXPECT_EQ(p->thumbViewer()->GetCheckAll(), Qt::PartiallyChecked);
    p->thumbViewer()->checkAllBox()->click();
    EXPECT_EQ(p->treeItem("Photo", "png")->checkState(0), Qt::Checked);

    // Outside the photo group the list with preview comes back.
    p->tree()->setCurrentItem(p->treeItem("Music", "aiff"));
    EXPECT_EQ(p->showMode(), 3);
    EXPECT_FALSE(p->viewButton(0)->isEnabled());
    QCoreApplication::processEvents();
    EXPECT_TRUE(p->previewCtrl()->isVisible());
    EXPECT_LT(p->previewCtrl()->geometry().bottom(), p->table()->geometry().top());  // the table below the preview
    p->table()->selectRow(0);
    EXPECT_EQ(p->previewState(), QScaningDlg::PreviewNotAvailable);
    p->tree()->setCurrentItem(p->treeItem("Photo", "jpg"));
    p->table()->selectRow(0);
    EXPECT_EQ(p->previewState(), QScaningDlg::PreviewAvailable);  // the placeholder while the copy is made
    ASSERT_TRUE(waitUntil([&] { return p->previewState() == QScaningDlg::PreviewShown; }, 20000));
    EXPECT_FALSE(p->previewCtrl()->pixmap().isNull());
    EXPECT_TRUE(p->previewCtrl()->path().startsWith(QString::fromStdString(tmp.path()) + "/Salvitra Data Recovery Temp/"));

    // Going back releases the results and their temporary pictures.
    goBack();
    EXPECT_EQ(svt::run("find " + svt::shellQuote(tmp.path()) + " -path '*Salvitra Data*' -type f").out, "");
}

namespace {

struct Expected {
    std::string name;
    std::string sha;
};

}  // namespace

TEST_F(ResultsPage, NtfsExt2AndHfsQuickScansRecoverEveryDeletedFileWhole)
{
    svt::TempDir work;
    std::vector<std::pair<std::string, std::vector<Expected>>> volumes;
    {
        const std::string dir = svt::fixture("ntfs");
        std::vector<Expected> want;
        std::ifstream in(dir + "/c4k.tsv");
        std::string path, size, deleted;
        while (std::getline(in, path, '\t') && std::getline(in, size, '\t') && std::getline(in, deleted))
            if (deleted == "1" && size != "0")
                want.push_back({path, sha256File(dir + "/c4k/" + path)});
        volumes.push_back({dir + "/c4k.img", want});
    }
    {
        const std::string dir = svt::fixture("ext2");
        std::vector<Expected> want;
        std::ifstream in(dir + "/ext2-1k.truth");
        std::string kind, inode, size, source;
        std::getline(in, kind);  // geometry
        while (in >> kind >> inode >> size >> source)
            if (kind == "deleted")
                want.push_back({source, sha256File(dir + "/" + source)});
        volumes.push_back({dir + "/ext2-1k.img", want});
    }
    {
        svt::HfsScenario s = svt::makeHfsScenario();
        std::string img = work.file("hfs.img");
        std::ofstream(img, std::ios::binary).write((const char *)s.image.data(), (std::streamsize)s.image.size());
        std::vector<Expected> want;
        for (auto &[cnid, r] : s.records)
            if (!r.folder && r.hasData && r.complete && r.dataSize > 0)
                want.push_back({r.name, sha256Bytes(r.data)});
        volumes.push_back({img, want});
    }

    for (size_t v = 0; v < volumes.size(); v++) {
        const std::string &image = volumes[v].first;
        const std::vector<Expected> &want = volumes[v].second;
        SCOPED_TRACE(image);
        ASSERT_FALSE(want.empty());
        scanImage(image, false);
        QTreeWidgetItem *root = page()->tree()->topLevelItem(0);
        ASSERT_NE(root, nullptr);
        tick(root, true);
        std::string dest = work.file("out-" + std::to_string(v));
        EXPECT_NE(recoverInto(dest), "(no completion question)");
        std::map<std::string, std::string> got = tree(dest);
        std::set<std::string> shas = hashes(got);
        for (const Expected &e : want)
            EXPECT_TRUE(shas.count(e.sha)) << e.name << " did not come back whole";
        // Group and type folders, as the tree names them.
        for (auto &[rel, sha] : got) {
            QString r = QString::fromStdString(rel);
            QString group = r.section('/', 0, 0), type = r.section('/', 1, 1);
            EXPECT_NE(page()->treeItem(group.section('(', 0, 0), type.section('(', 0, 0)), nullptr) << rel;
            EXPECT_TRUE(group.endsWith(")") && type.endsWith(")")) << rel;
        }
        goBack();
    }
}

TEST_F(ResultsPage, FormattedFatVolumeShowsItsOldFilesAndRecoversThem)
{
    const std::string dir = svt::fixture("fat32fmt");
    std::set<std::string> want;
    std::ifstream in(dir + "/truth.tsv");
    std::string line;
    while (std::getline(in, line)) {
        QStringList f = QString::fromStdString(line).split('\t');
        if (f.size() == 4 && f[3] == "old")
            want.insert(f[2].toStdString());
    }
    ASSERT_FALSE(want.empty());
    scanImage(dir + "/fat32fmt.img", false, false, true);
    QScaningDlg *p = page();
    QTreeWidgetItem *jpg = p->treeItem("Photo", "jpg");
    ASSERT_NE(jpg, nullptr);
    p->tree()->setCurrentItem(jpg);
    ASSERT_GT(p->table()->rowCount(), 0);
    EXPECT_TRUE(p->table()->item(0, 0)->toolTip().startsWith("formatted volume"))
        << p->table()->item(0, 0)->toolTip().toStdString();
    tick(p->tree()->topLevelItem(0), true);
    svt::TempDir out;
    EXPECT_TRUE(allRecovered(recoverInto(out.path() + "/old")));
    std::set<std::string> got = hashes(tree(out.path() + "/old"));
    for (const std::string &sha : want)
        EXPECT_TRUE(got.count(sha)) << sha;
    goBack();
}

TEST_F(ResultsPage, DeepScanOfACardImageRecoversEveryFileItFound)
{
    const std::string dir = svt::fixture("carving");
    std::set<std::string> want;
    std::ifstream in(dir + "/layout.txt");
    std::string offset, size, type, name;
    while (in >> offset >> size >> type >> name)
        if (type != "-" && type != "frag")
            want.insert(sha256File(dir + "/files/" + name));
    ASSERT_GE(want.size(), 20u);

    scanImage(dir + "/raw.img", true, true);
    QScaningDlg *p = page();
    EXPECT_EQ(p->statusText(), QString("Found %1 files.").arg(p->model().distinctFiles({})));
    QTreeWidgetItem *jpg = p->treeItem("Photo", "jpg");
    ASSERT_NE(jpg, nullptr);
    // Deep rows are named by their number within the type.
    p->tree()->setCurrentItem(jpg);
    ASSERT_GT(p->table()->rowCount(), 0);
    EXPECT_EQ(p->table()->item(0, 0)->text(), "0.jpg");
    EXPECT_EQ(p->table()->item(0, 3)->text(), "");  // a carved file has no date

    tick(p->tree()->topLevelItem(0), true);
    svt::TempDir out;
    EXPECT_TRUE(allRecovered(recoverInto(out.path() + "/deep")));
    std::map<std::string, std::string> got = tree(out.path() + "/deep");
    EXPECT_EQ(hashes(got), want);
    const std::string jpgFolder = jpg->text(0).toStdString();
    const std::string photoFolder = p->treeItem("Photo")->text(0).toStdString();
    EXPECT_TRUE(got.count(photoFolder + "/" + jpgFolder + "/0.jpg")) << photoFolder << "/" << jpgFolder;
    goBack();
}

// A card pulled during a deep scan: the page shows what was found and says
// the medium was removed.
TEST_F(ResultsPage, AMediumRemovedDuringTheScanIsSaidWithWhatWasFound)
{
    const auto dir = svt::fixture("carving");
    svt::TempDir t;
    std::vector<uint8_t> img = svt::readFile(dir + "/raw.img");
    // Pulled 8 MiB after the pictures, well before the end.
    const size_t pulled = img.size() + (8u << 20);
    img.resize(img.size() + (64u << 20));
    svt::writeFile(t.file("card.img"), img);
    svt::FailingMedium::Options o;
    o.vanishAt = pulled;
    svt::FailingMedium card(t.file("card.img"), o);
    if (!card.ok())
        GTEST_SKIP() << card.why();
    scanImage(card.path(), true, true);
    QScaningDlg *p = page();
    EXPECT_GT(p->model().fileCount(), 0u);
    EXPECT_EQ(p->statusText(), QString("The medium was removed: the scan ended there, having found %1 files.")
                                   .arg(p->model().distinctFiles({})));
    goBack();
}

TEST_F(ResultsPage, PausingARecoveryHoldsItAndContinuingFinishesIt)
{
    scanImage(svt::fixture("results") + "/results.img", false);
    QScaningDlg *p = page();
    tick(p->tree()->topLevelItem(0), true);
    // The recovery waits at its gate from the start; the stop question
    // keeps it paused, and answering "no" lets it go on.
    p->SetPause(true);
    bool heldWhileAsked = false;
    answerNextModal([&](QWidget *progress) {
        answerNextModal([&](QWidget *q) {
            QTest::qWait(100);
            heldWhileAsked = p->lastRecovery().files.empty();
            static_cast<QDialog *>(q)->reject();
        }, 5000, "QMessageDlg");
        static_cast<QProgressDlg *>(progress)->OnStopThree();
    }, 10000, "QProgressDlg");
    svt::TempDir out;
    EXPECT_TRUE(allRecovered(recoverInto(out.path() + "/r")));
    EXPECT_TRUE(heldWhileAsked);
    EXPECT_EQ(tree(out.path() + "/r").size(), 7u);
    EXPECT_FALSE(p->IsPaused());
    goBack();
}

TEST_F(ResultsPage, StoppingARecoveryKeepsWhatWasWrittenAndSaysSo)
{
    scanImage(svt::fixture("results") + "/results.img", false);
    QScaningDlg *p = page();
    tick(p->tree()->topLevelItem(0), true);
    p->SetPause(true);
    answerNextModal([&](QWidget *progress) {
        answerNextModal([](QWidget *q) { static_cast<QMessageDlg *>(q)->doneDlg(); }, 5000, "QMessageDlg");
        static_cast<QProgressDlg *>(progress)->OnStopThree();
    }, 10000, "QProgressDlg");
    svt::TempDir out;
    EXPECT_EQ(recoverInto(out.path() + "/r"), "Recovery stopped: 0 of 7 files recovered");
    EXPECT_TRUE(p->lastRecovery().stopped);
    EXPECT_FALSE(p->IsRunning());
    goBack();
}

TEST_F(ResultsPage, AFolderOnTheScannedMediumIsQuestionedAndCanBeChosenAgain)
{
    // The scanned image itself, mounted read-only (through FUSE): a
    // folder inside it is on the scanned medium.
    const std::string image = svt::fixture("ntfs") + "/c4k.img";
    svt::TempDir mnt;
    if (svt::run("ntfs-3g -o ro " + svt::shellQuote(image) + " " + svt::shellQuote(mnt.path()) + " 2>&1").status != 0)
        GTEST_SKIP() << "cannot mount the image here";
    struct Unmount {
        std::string at;
        ~Unmount() { svt::run("umount " + svt::shellQuote(at) + " 2>/dev/null"); }
    } unmount{mnt.path()};

    scanImage(image, false);
    tick(page()->tree()->topLevelItem(0), true);
    svt::TempDir out;
    const std::string good = out.path() + "/elsewhere";
    const std::string before = svt::run("ls -AR " + svt::shellQuote(mnt.path())).out;
    QString question;
    bool safeDefault = false;
    answerNextModal([&](QWidget *m) {
        // The question follows the folder; Enter answers it with the safe
        // default, Cancel, which asks for a folder again.
        answerNextModal([&](QWidget *q) {
            auto *dlg = static_cast<QMessageDlg *>(q);
            question = dlg->noteText();
            safeDefault = dlg->cancelButton()->isDefault() && !dlg->actionButton()->isDefault();
            answerNextModal([&](QWidget *again) { chooseFolder(again, good); }, 10000, "QFileDialog");
            QTest::keyClick(dlg, Qt::Key_Return);
        }, 10000, "QMessageDlg");
        chooseFolder(m, mnt.path());
    }, 10000, "QFileDialog");
    QTest::mouseClick(page()->recoverButton(), Qt::LeftButton);
    EXPECT_NE(completion(), "(no completion question)");
    EXPECT_EQ(question, QScaningDlg::kSameMediumNote);
    EXPECT_TRUE(safeDefault);
    EXPECT_FALSE(tree(good).empty());
    EXPECT_EQ(svt::run("ls -AR " + svt::shellQuote(mnt.path())).out, before);
    goBack();
}

// The thumbnails of a hundred photos are asked for, and the page is left
// before the medium thread gets to them: none of them is extracted.
TEST_F(ResultsPage, ThumbnailsOfAPageLeftAreNeverExtracted)
{
    svt::TempDir work;
    const std::string image = work.file("photos.img");
    {
        std::ofstream out(image, std::ios::binary);
        for (int i = 0; i < 100; i++) {
            QImage pic(48, 32, QImage::Format_RGB32);
            pic.fill(QColor::fromHsv(i * 3, 200, 220));
            pic.setPixel(i % 48, i % 32, qRgb(i, 255 - i, 7));
            QByteArray bytes;
            QBuffer buf(&bytes);
            buf.open(QIODevice::WriteOnly);
            ASSERT_TRUE(pic.save(&buf, "PNG"));
            bytes.append(QByteArray(4096 - bytes.size() % 4096, '\0'));  // each at a block of its own
            out.write(bytes.constData(), bytes.size());
        }
        out.write(QByteArray(1 << 20, '\0').constData(), 1 << 20);
    }
    scanImage(image, true, true);
    QScaningDlg *p = page();
    QTreeWidgetItem *png = p->treeItem("Photo", "png");
    ASSERT_NE(png, nullptr);
    p->tree()->setCurrentItem(png);
    ASSERT_EQ(p->table()->rowCount(), 100);
    QScanAdapter *scan = p->scanAdapter();

    // The medium thread is held until the page has been left.
    std::promise<void> release;
    std::shared_future<void> held = release.get_future().share();
    struct Release {
        std::promise<void> &p;
        bool done = false;
        void now() { if (!done) { done = true; p.set_value(); } }
        ~Release() { now(); }
    } releaser{release};
    scan->runOnMediumThread([held] { held.wait(); });
    QTest::mouseClick(p->viewButton(0), Qt::LeftButton);
    ASSERT_EQ(p->thumbViewer()->grid()->GetItemCount(), 100);  // every copy asked for
    QTest::mouseClick(p->viewButton(1), Qt::LeftButton);       // and the page left
    releaser.now();
    QSignalSpy idle(scan, &QScanAdapter::idle);
    scan->markIdle();
    ASSERT_TRUE(idle.wait(60000));
    EXPECT_EQ(scan->viewsStarted(), 0u);
    EXPECT_EQ(svt::run("find " + svt::shellQuote(tmp.path()) + " -path '*Salvitra Data*' -type f").out, "");

    // Shown again, the pictures come.
    QTest::mouseClick(p->viewButton(0), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return p->thumbViewer()->GetItem(99)->answered; }, 60000));
    EXPECT_FALSE(p->thumbViewer()->GetItem(99)->picture.isNull());
    goBack();
}

TEST_F(ResultsPage, NothingFoundOrNothingTickedIsSaidBeforeAnyDialog)
{
    const std::string fx = svt::fixture("results");
    scanImage(fx + "/results.img", false);
    QString said;
    answerNextModal([&](QWidget *m) {
        said = static_cast<QMessageBox *>(m)->text();
        static_cast<QDialog *>(m)->reject();
    }, 5000, "QMessageBox");
    QTest::mouseClick(page()->recoverButton(), Qt::LeftButton);
    EXPECT_EQ(said, "Please tick the files you want to recover.");
    goBack();
}

// A deep scan of a card whose file system still names deleted photos: the
// rows say whether each file will come back whole (icon and tooltip), the
// status line says what was left out, and "Good files only" keeps the
// tree and the recovery to the good ones, which come back byte for byte.
TEST_F(ResultsPage, DeepScanJudgesEveryFileAndGoodOnlyRecoversTheGoodOnes)
{
    const std::string dir = svt::fixture("merged");
    std::set<std::string> lost;
    std::ifstream in(dir + "/fat32.truth");
    std::string kind, path, size, sha;
    while (std::getline(in, kind, '\t') && std::getline(in, path, '\t') && std::getline(in, size, '\t') &&
           std::getline(in, sha))
        if (kind == "deleted" || kind == "earlier")
            lost.insert(sha);
    ASSERT_GE(lost.size(), 6u);

    scanImage(dir + "/fat32.img", true);
    QScaningDlg *p = page();
    EXPECT_NE(p->statusText().indexOf("found by content left out"), -1) << p->statusText().toStdString();
    QTreeWidgetItem *jpg = p->treeItem("Photo", "jpg");
    ASSERT_NE(jpg, nullptr);
    p->tree()->setCurrentItem(jpg);
    int named = 0;
    for (int r = 0; r < p->table()->rowCount(); r++) {
        QTableWidgetItem *item = p->table()->item(r, 0);
        if (item->text() != "seaside_gone1.jpg")
            continue;
        named++;
        EXPECT_TRUE(item->toolTip().startsWith("good: ")) << item->toolTip().toStdString();
        EXPECT_NE(item->toolTip().indexOf("confirmed by content"), -1);
        EXPECT_FALSE(item->icon().isNull());
    }
    EXPECT_EQ(named, 1);

    ASSERT_TRUE(p->goodOnlyBox()->isVisible());
    const uint64_t all = p->model().fileCount();
    p->goodOnlyBox()->setChecked(true);
    ASSERT_LT(p->model().fileCount(), all);
    tick(p->tree()->topLevelItem(0), true);
    svt::TempDir out;
    EXPECT_TRUE(recoverInto(out.path() + "/good").startsWith("Recovery complete"));
    std::set<std::string> got = hashes(tree(out.path() + "/good"));
    EXPECT_EQ(got, lost);
    goBack();
}
