// Takes a picture of every page and dialog of the window, driving the real
// widgets through a scan of the disks it is given (stand-in folder or
// images), into a folder of PNG files.  The window is placed away from the
// screen's corner at the size asked for; a picture of the whole screen
// shows it with the window manager's frame.
//
// usage: salvitra-screenshots OUTDIR [WIDTHxHEIGHT] [IMAGE]
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QSignalSpy>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include "dialogs.h"
#include "imagedlg.h"
#include "mainwindow.h"
#include "optitondlg.h"
#include "units.h"

namespace {

QString g_out;

void shot(QWidget *w, const QString &name)
{
    QCoreApplication::processEvents();
    w->grab().save(g_out + "/" + name + ".png");
    printf("%s/%s.png\n", qPrintable(g_out), qPrintable(name));
}

// The whole screen, frame and all.
void screenShot(const QString &name)
{
    QCoreApplication::processEvents();
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    screen->grabWindow(0).save(g_out + "/" + name + ".png");
    printf("%s/%s.png\n", qPrintable(g_out), qPrintable(name));
}

bool waitPage(MainWindow &w, int page, int ms)
{
    QElapsedTimer t;
    t.start();
    while (w.currentPage() != page && t.elapsed() < ms)
        QTest::qWait(20);
    return w.currentPage() == page;
}

QTreeWidgetItem *findRow(QTreeWidget *tree, const QString &fs, bool whole)
{
    for (int i = 0; i < tree->topLevelItemCount(); i++) {
        QTreeWidgetItem *d = tree->topLevelItem(i);
        for (int j = 0; j < d->childCount(); j++) {
            QTreeWidgetItem *p = d->child(j);
            if (whole ? p->text(0) == QTreeCtrlDlg::kEntireDevice : p->text(2).trimmed() == fs)
                return p;
        }
    }
    return nullptr;
}

// Answers the next modal dialog of a class with fn (while its loop runs).
void onNextModal(const char *className, const std::function<void(QWidget *)> &fn)
{
    auto *timer = new QTimer;
    auto *clock = new QElapsedTimer;
    clock->start();
    QObject::connect(timer, &QTimer::timeout, [=] {
        QWidget *m = QApplication::activeModalWidget();
        const bool found = m && m->inherits(className);
        if (found || clock->elapsed() > 20000) {
            timer->stop();
            timer->deleteLater();
            delete clock;
            if (found)
                fn(m);
        }
    });
    timer->start(50);
}

void scanAndShoot(MainWindow &w, const QString &fs, bool whole, const QString &name)
{
    QTreeWidget *tree = w.diskPage()->treeCtrl()->tree();
    QTreeWidgetItem *row = findRow(tree, fs, whole);
    if (!row) {
        printf("no %s row to scan\n", whole ? "whole-device" : qPrintable(fs));
        return;
    }
    tree->setCurrentItem(row);
    QTest::mouseClick(w.diskPage()->scanButton(), Qt::LeftButton);
    waitPage(w, MainWindow::PageFinished, 60000);
    QScaningDlg *page = w.scanPage();
    // Scans of the demo disk end before a picture can be taken: show the
    // scanning state once more as it looks a third of the way through.
    const salvitra::Progress end = w.diskPage()->job() ? w.diskPage()->job()->progress() : salvitra::Progress{};
    w.ShowWordDlg(MainWindow::PageScanning);
    salvitra::Progress p;
    p.bytesTotal = end.bytesTotal;
    p.bytesDone = end.bytesTotal / 100 * 37;
    p.bytesPerSecond = 48.5 * 1048576;
    p.secondsLeft = p.bytesPerSecond > 0 ? (double)(p.bytesTotal - p.bytesDone) / p.bytesPerSecond : -1;
    p.files = end.files / 3;
    p.percent = 37;
    page->showProgress(p);
    shot(&w, name + "-scanning");
    w.ShowWordDlg(MainWindow::PageFinished);
    page->statusLabel()->setText(page->finishedText());
    QTest::qWait(100);
    // The photo types first: the preview and the thumbnails show pictures.
    QTreeWidgetItem *photo = page->treeItem("Photo");
    if (photo && photo->childCount() > 0) {
        QTreeWidgetItem *best = photo->child(0);
        for (int i = 0; i < photo->childCount(); i++)
            if (photo->child(i)->text(0).startsWith("png") || photo->child(i)->text(0).startsWith("jpg"))
                best = photo->child(i);
        page->tree()->setCurrentItem(best);
    }
    page->table()->selectRow(0);
    QTest::qWait(100);
    shot(&w, name + "-finished-preview");
    if (page->table()->rowCount() > 1) {
        page->table()->item(0, 0)->setCheckState(Qt::Checked);
        page->table()->item(1, 0)->setCheckState(Qt::Checked);
    }
    QTest::mouseClick(page->viewButton(1), Qt::LeftButton);
    shot(&w, name + "-finished-list");
    if (page->viewButton(0)->isEnabled()) {
        QTest::mouseClick(page->viewButton(0), Qt::LeftButton);
        QTest::qWait(200);
        shot(&w, name + "-finished-thumbnails");
    }
    // Every file under "All Files".
    QTest::mouseClick(page->viewButton(1), Qt::LeftButton);
    page->tree()->setCurrentItem(page->tree()->topLevelItem(0));
    shot(&w, name + "-finished-all-files");
    QTest::mouseClick(page->viewButton(2), Qt::LeftButton);
    if (QTreeWidgetItem *png = page->treeItem("Photo", "png"))
        page->tree()->setCurrentItem(png);
    QTest::mouseClick(page->plusButton(), Qt::LeftButton);
    QTest::keyClicks(page->nameSearch(), "MG_");
    page->table()->selectRow(0);
    shot(&w, name + "-finished-search");
    page->nameSearch()->clear();
    page->editTextChange(QString());
    QTest::mouseClick(page->minusButton(), Qt::LeftButton);
}

// Recovers the ticked files of the finished page into a temporary folder,
// taking pictures of the folder dialog, the progress dialog (held at its
// pause gate) and the completion question.
void recoverAndShoot(MainWindow &w, const QString &name)
{
    QScaningDlg *page = w.scanPage();
    QTreeWidgetItem *root = page->tree()->topLevelItem(0);
    if (!root)
        return;
    root->setCheckState(0, Qt::Checked);
    const QString dest = QDir::tempPath() + "/salvitra-shots-" + QString::number(QCoreApplication::applicationPid());
    QDir().mkpath(dest);
    onNextModal("QFileDialog", [name, dest, page](QWidget *fd) {
        QTest::qWait(200);
        shot(fd, name + "-recovery-folder");
        if (auto *edit = fd->findChild<QLineEdit *>("fileNameEdit"))
            edit->setText(dest);
        page->SetPause(true);  // holds the first file, so the dialog can be seen
        onNextModal("QProgressDlg", [name, page](QWidget *m) {
            auto *prog = static_cast<QProgressDlg *>(m);
            prog->SetNote("Recovering: IMG_0102.png");
            prog->SetExport(35);
            QTest::qWait(100);
            shot(prog, name + "-recovery-progress");
            page->SetPause(false);
        });
        static_cast<QDialog *>(fd)->accept();
    });
    QTest::mouseClick(page->recoverButton(), Qt::LeftButton);
    QElapsedTimer t;
    t.start();
    QOpenFilePathDlg *done = nullptr;
    while (!(done = page->findChild<QOpenFilePathDlg *>()) && t.elapsed() < 30000)
        QTest::qWait(20);
    if (done) {
        QTest::qWait(100);
        shot(done, name + "-recovery-done");
        done->reject();
    }
    QDir(dest).removeRecursively();
}

}  // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName("Salvitra");
    InitSalvitraResources();
    if (argc < 2) {
        fprintf(stderr, "usage: salvitra-screenshots OUTDIR [WIDTHxHEIGHT] [IMAGE]\n");
        return 2;
    }
    g_out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(g_out);
    QSize size(MainWindow::kMinWidth, MainWindow::kMinHeight);
    if (argc > 2) {
        const QStringList wh = QString::fromLocal8Bit(argv[2]).split('x');
        if (wh.size() == 2)
            size = QSize(wh[0].toInt(), wh[1].toInt());
    }

    MainWindow w;
    w.resize(size);
    w.move(300, 200);
    w.show();
    QTest::qWaitForWindowExposed(&w);
    QTest::qWait(300);
    if (argc > 3)
        w.diskPage()->treeCtrl()->AddDiskImage(QString::fromLocal8Bit(argv[3]), nullptr);
    shot(&w, "01-home");
    screenShot("00-screen-home");

    QTest::mouseClick(w.quickButton(), Qt::LeftButton);
    QTreeWidget *tree = w.diskPage()->treeCtrl()->tree();
    if (QTreeWidgetItem *row = findRow(tree, "FAT32", false))
        tree->setCurrentItem(row);
    shot(&w, "02-disk-quick");
    screenShot("00-screen-disk");
    scanAndShoot(w, "FAT32", false, "03-quick");
    recoverAndShoot(w, "03-quick");

    // Going back asks first; answer the question.
    onNextModal("QMessageDlg", [](QWidget *m) {
        auto *dlg = static_cast<QMessageDlg *>(m);
        shot(dlg, "04-question-back");
        dlg->doneDlg();
    });
    QTest::mouseClick(w.scanPage()->backButton(), Qt::LeftButton);
    QTest::qWait(100);
    w.OnGoHome();
    QTest::mouseClick(w.deepButton(), Qt::LeftButton);
    if (QTreeWidgetItem *row = findRow(tree, "", true))
        tree->setCurrentItem(row);
    shot(&w, "05-disk-deep");

    // The options page, both tabs.
    onNextModal("QOptitonDlg", [](QWidget *m) {
        auto *dlg = static_cast<QOptitonDlg *>(m);
        dlg->tree()->expandItem(dlg->photoItem());
        QTest::qWait(100);
        shot(dlg, "06-options-kind");
        dlg->OnBtnDisk();
        dlg->startEdit()->setText("2048");
        shot(dlg, "07-options-region");
        dlg->close();
    });
    QTest::mouseClick(w.diskPage()->optionsButton(), Qt::LeftButton);
    scanAndShoot(w, "", true, "08-deep");

    // The help window.
    w.OnBtnHelp();
    QTest::qWait(300);
    if (w.helpWindow())
        shot(w.helpWindow(), "09-help");

    // The small dialogs on their own.
    QMessageDlg msg(&w);
    msg.MsgSetBtn(MSG_BTN_STOP);
    shot(&msg, "10-question-stop");
    QProgressDlg prog(&w);
    prog.SetNote("Recovering: 12 files");
    prog.SetExport(40);
    shot(&prog, "11-recovery-progress");
    QSetRecoverPath path(&w);
    path.setPath(QDir::homePath() + "/Recovered");
    shot(&path, "12-recovery-folder");
    QOpenFilePathDlg done(&w);
    done.SetResult(8, 0);
    done.SetFolder(QDir::homePath() + "/Pictures/Recovered");
    shot(&done, "13-recovery-done");
    QMessageDlg same(&w);
    same.setObjectName("sameMediumQuestion");
    same.SetNoteText(QScaningDlg::kSameMediumNote);
    same.MsgSetBtn(MSG_BTN_OK);
    same.SetCancelDefault(true);
    shot(&same, "14-question-same-medium");

    // Save Disk Image: the button under the tree, the copy under way (as it
    // looks with a failing disk) and its end.
    w.OnGoHome();
    QTest::mouseClick(w.quickButton(), Qt::LeftButton);
    if (QTreeWidgetItem *row = findRow(tree, "FAT32", false))
        tree->setCurrentItem(row);
    shot(&w, "15-disk-save-image");
    QString what;
    if (Partiton_Struct *part = w.diskPage()->ImageTarget(&what)) {
        const QString out = QDir::tempPath() + "/salvitra-shots-" + QString::number(QCoreApplication::applicationPid());
        QDir().mkpath(out);
        salvitra::ImageRequest req;
        req.part = part;
        req.outPath = (out + "/HOLIDAY.img").toStdString();
        QSaveImageDlg dlg(&w, req, what);
        if (dlg.prepare().ok()) {
            dlg.show();
            salvitra::ImageProgress p;
            p.total = 32u << 20;
            p.rescued = 19u << 20;
            p.bad = 96u << 10;
            p.remaining = p.total - p.rescued - p.bad;
            p.rate = 23.5 * (1 << 20);
            p.percent = 59;
            dlg.onPhase(salvitra::RescuePhase::Copying, 1);
            dlg.onProgress(p);
            QTest::qWait(50);
            shot(&dlg, "16-save-image-copying");
            QSignalSpy done(&dlg, &QSaveImageDlg::copyFinished);
            dlg.startCopy();
            done.wait(60000);
            QTest::qWait(50);
            shot(&dlg, "17-save-image-done");
            dlg.accept();
        }
        QDir(out).removeRecursively();
    }
    return 0;
}
