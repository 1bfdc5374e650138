// Takes a picture of every page and dialog of the window, driving the real
// widgets through a scan of the disks it is given (stand-in folder or
// images), into a folder of PNG files.
//
// usage: salvitra-screenshots OUTDIR [IMAGE]
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include "dialogs.h"
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
    w.scanPage()->table()->selectRow(0);
    shot(&w, name + "-finished");
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
    return 0;
}
