// Takes a picture of every page and dialog of the window, driving the real
// widgets through a scan of the disks it is given (stand-in folder or
// images), into a folder of PNG files.
//
// usage: salvitra-screenshots OUTDIR [IMAGE]
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QSignalSpy>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include "dialogs.h"
#include "imagedlg.h"
#include "mainwindow.h"
#include "optitondlg.h"

namespace {

QString g_out;

void shot(QWidget *w, const QString &name)
{
    QCoreApplication::processEvents();
    w->grab().save(g_out + "/" + name + ".png");
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
    // Scans of the demo disk end before a picture can be taken: show the
    // scanning state once more as it looks a third of the way through.
    w.ShowWordDlg(MainWindow::PageScanning);
    w.scanPage()->progressTimer()->stop();
    w.scanPage()->progressBar()->setValue(37);
    w.scanPage()->setPercentage(37);
    shot(&w, name + "-scanning");
    w.ShowWordDlg(MainWindow::PageFinished);
    QTest::qWait(100);
    QScaningDlg *page = w.scanPage();
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
    QTest::mouseClick(page->viewButton(2), Qt::LeftButton);
    if (QTreeWidgetItem *png = page->treeItem("Photo", "png"))
        page->tree()->setCurrentItem(png);
    QTest::mouseClick(page->plusButton(), Qt::LeftButton);
    page->nameSearch()->setText("MG_");
    page->editTextChange("MG_");
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
    QTimer::singleShot(300, [name, dest, page] {
        QWidget *fd = QApplication::activeModalWidget();
        if (!fd || !fd->inherits("QFileDialog"))
            return;
        shot(fd, name + "-recovery-folder");
        if (auto *edit = fd->findChild<QLineEdit *>("fileNameEdit"))
            edit->setText(dest);
        page->SetPause(true);  // holds the first file, so the dialog can be seen
        QTimer::singleShot(300, [name, page] {
            if (auto *prog = qobject_cast<QProgressDlg *>(QApplication::activeModalWidget())) {
                prog->SetNote("Recovering: IMG_0102.png");
                prog->SetExport(35);
                shot(prog, name + "-recovery-progress");
            }
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
    InitSalvitraResources();
    if (argc < 2) {
        fprintf(stderr, "usage: salvitra-screenshots OUTDIR [IMAGE]\n");
        return 2;
    }
    g_out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(g_out);

    MainWindow w;
    w.show();
    QTest::qWait(100);
    if (argc > 2)
        w.diskPage()->treeCtrl()->AddDiskImage(QString::fromLocal8Bit(argv[2]), nullptr);
    shot(&w, "01-home");

    QTest::mouseClick(w.quickButton(), Qt::LeftButton);
    QTreeWidget *tree = w.diskPage()->treeCtrl()->tree();
    if (QTreeWidgetItem *row = findRow(tree, "FAT32", false))
        tree->setCurrentItem(row);
    shot(&w, "02-disk-quick");
    scanAndShoot(w, "FAT32", false, "03-quick");
    recoverAndShoot(w, "03-quick");

    // Going back asks first; answer the question.
    QTimer::singleShot(200, [] {
        if (auto *dlg = qobject_cast<QMessageDlg *>(QApplication::activeModalWidget())) {
            shot(dlg, "04-question-back");
            dlg->doneDlg();
        }
    });
    QTest::mouseClick(w.scanPage()->backButton(), Qt::LeftButton);
    QTest::qWait(100);
    w.OnGoHome();
    QTest::mouseClick(w.deepButton(), Qt::LeftButton);
    if (QTreeWidgetItem *row = findRow(tree, "", true))
        tree->setCurrentItem(row);
    shot(&w, "05-disk-deep");

    // The options page, both tabs.
    QTimer::singleShot(200, [] {
        if (auto *dlg = qobject_cast<QOptitonDlg *>(QApplication::activeModalWidget())) {
            dlg->photoItem()->setCheckState(0, Qt::Checked);
            dlg->tree()->expandItem(dlg->photoItem());
            shot(dlg, "06-options-kind");
            dlg->OnBtnDisk();
            dlg->startEdit()->setText("2048");
            shot(dlg, "07-options-region");
            dlg->close();
        }
    });
    QTest::mouseClick(w.diskPage()->optionsButton(), Qt::LeftButton);
    scanAndShoot(w, "", true, "08-deep");

    // The small dialogs on their own.
    QMessageDlg msg(&w);
    msg.MsgSetBtn(MSG_BTN_STOP);
    shot(&msg, "09-question-stop");
    QProgressDlg prog(&w);
    prog.SetNote("Recovering: 12 files");
    prog.SetExport(40);
    shot(&prog, "10-recovery-progress");
    QSetRecoverPath path(&w);
    path.setPath(QDir::homePath() + "/Recovered");
    shot(&path, "11-recovery-folder");
    QOpenFilePathDlg done(&w);
    shot(&done, "12-recovery-done");
    QMessageDlg same(&w);
    same.SetNoteText("Please DO NOT save file to the partition where your original file located\n"
                     "Save there anyway?");
    same.MsgSetBtn(MSG_BTN_OK);
    shot(&same, "13-question-same-medium");

    // Save Disk Image: the button under the tree, the copy under way (as it
    // looks with a failing disk) and its end.
    w.OnGoHome();
    QTest::mouseClick(w.quickButton(), Qt::LeftButton);
    if (QTreeWidgetItem *row = findRow(tree, "FAT32", false))
        tree->setCurrentItem(row);
    shot(&w, "14-disk-save-image");
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
            shot(&dlg, "15-save-image-copying");
            QSignalSpy done(&dlg, &QSaveImageDlg::copyFinished);
            dlg.startCopy();
            done.wait(60000);
            QTest::qWait(50);
            shot(&dlg, "16-save-image-done");
            dlg.accept();
        }
        QDir(out).removeRecursively();
    }
    return 0;
}
