// Save Disk Image from the disk page: the selected row is copied through the
// progress dialog, the finished image is listed as one more device, and an
// output that cannot take the image is refused before anything is read.
#include <QApplication>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "gui_support.h"
#include "imagedlg.h"
#include "mainwindow.h"
#include "test_support.h"

namespace {

QTreeWidgetItem *deviceRow(QTreeWidget *tree, const QString &name)
{
    for (int i = 0; i < tree->topLevelItemCount(); i++)
        if (tree->topLevelItem(i)->text(0).contains(name))
            return tree->topLevelItem(i);
    return nullptr;
}

TEST(SaveImageWindow, TheRowIsCopiedAndTheImageListedAsADevice)
{
    std::string fx = svt::fixture("gui");
    DiskFolder folder;
    folder.link(0, fx + "/disk.img");
    MainWindow w;
    w.show();
    QDiskTreeDlg *page = w.diskPage();
    QTreeWidget *tree = page->treeCtrl()->tree();
    QTreeWidgetItem *disk = deviceRow(tree, "disk.img");
    ASSERT_NE(disk, nullptr);
    // A device row stands for the whole device; the action follows the row.
    tree->setCurrentItem(disk);
    QString what;
    Partiton_Struct *part = page->ImageTarget(&what);
    ASSERT_NE(part, nullptr);
    EXPECT_TRUE(what.contains("disk.img")) << what.toStdString();
    EXPECT_TRUE(page->saveImageButton()->isVisibleTo(page));

    svt::TempDir t;
    std::string out = t.file("card.img");
    QString state, shown;
    answerNextModal(
        [&](QWidget *m) {
            auto *dlg = qobject_cast<QSaveImageDlg *>(m);
            ASSERT_NE(dlg, nullptr);
            if (!dlg->finished()) {
                QSignalSpy done(dlg, &QSaveImageDlg::copyFinished);
                ASSERT_TRUE(done.wait(120000));
            }
            state = dlg->stateText();
            shown = dlg->closeButton()->isVisible() ? "close" : "running";
            QTest::mouseClick(dlg->closeButton(), Qt::LeftButton);
        },
        30000, "QSaveImageDlg");
    page->SaveDiskImage(part, what, QString::fromStdString(out));
    EXPECT_EQ(state.toStdString(), "Finished");
    EXPECT_EQ(shown.toStdString(), "close");
    EXPECT_TRUE(svt::readFile(out) == svt::readFile(fx + "/disk.img"));
    QTreeWidgetItem *image = deviceRow(tree, "card.img");
    ASSERT_NE(image, nullptr);
    bool photos = false;
    for (int i = 0; i < image->childCount(); i++)
        photos = photos || image->child(i)->text(0) == "PHOTOS";
    EXPECT_TRUE(photos);

    // Onto the medium itself: refused with the reason, nothing read.
    QString refusal;
    answerNextModal([&](QWidget *m) {
        refusal = static_cast<QMessageBox *>(m)->text();
        static_cast<QMessageBox *>(m)->accept();
    }, 10000, "QMessageBox");
    tree->setCurrentItem(deviceRow(tree, "disk.img"));
    page->SaveDiskImage(page->ImageTarget(), "disk", QString::fromStdString(fx + "/disk.img"));
    EXPECT_TRUE(refusal.contains("is the medium being read")) << refusal.toStdString();
}

}  // namespace
