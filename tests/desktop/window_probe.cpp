// The window as an ordinary user sees it (run by test_desktop as that
// user): prints the device tree's rows, chooses the first locked device with
// the mouse, and prints the message that answers.
//
//   ROW <text0> <text1> <text2> <lock|disk> <children>     (tab-separated)
//   MESSAGE <text>
//   AFTER ...                                              the rows again
#include <QApplication>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <cstdio>

#include "gui_support.h"
#include "mainwindow.h"
#include "skin.h"
#include "treectrldlg.h"

namespace {

bool sameIcon(const QIcon &a, const QIcon &b)
{
    return a.pixmap(16).toImage() == b.pixmap(16).toImage();
}

void printRows(QTreeWidget *tree, const char *prefix)
{
    const QIcon lock(":/images/lock_icon.png");
    for (int i = 0; i < tree->topLevelItemCount(); i++) {
        QTreeWidgetItem *r = tree->topLevelItem(i);
        printf("%s\t%s\t%s\t%s\t%s\t%d\n", prefix, qPrintable(r->text(0)), qPrintable(r->text(1)),
               qPrintable(r->text(2).trimmed()), sameIcon(r->icon(0), lock) ? "lock" : "disk", r->childCount());
    }
}

}  // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    InitSalvitraResources();
    MainWindow w;
    w.show();
    QTest::mouseClick(w.quickButton(), Qt::LeftButton);  // the disk page
    QTreeCtrlDlg *ctrl = w.diskPage()->treeCtrl();
    QTreeWidget *tree = ctrl->tree();
    printRows(tree, "ROW");

    QTreeWidgetItem *locked = nullptr;
    for (int i = 0; i < tree->topLevelItemCount() && !locked; i++)
        if (!tree->topLevelItem(i)->data(0, QTreeCtrlDlg::LockedRole).toString().isEmpty())
            locked = tree->topLevelItem(i);
    if (locked) {
        QSignalSpy answered(ctrl, &QTreeCtrlDlg::lockedDeviceAnswered);
        QString message;
        // A refusal is followed by the message box: read and close it once
        // it runs.
        QObject::connect(ctrl, &QTreeCtrlDlg::lockedDeviceAnswered, [&](bool opened) {
            if (opened)
                return;
            QTimer::singleShot(0, [&] {
                if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                    message = box->text();
                    box->accept();
                }
            });
        });
        tree->scrollToItem(locked);
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(locked).center());
        if (answered.isEmpty() && !answered.wait(120000)) {
            printf("NO ANSWER\n");
            return 1;
        }
        waitUntil([&] { return !message.isEmpty() || answered.first().at(0).toBool(); }, 120000);
        printf("MESSAGE\t%s\n", qPrintable(message));
        printRows(tree, "AFTER");
    }
    fflush(stdout);
    return 0;
}
