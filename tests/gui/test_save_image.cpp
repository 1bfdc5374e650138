// Save Disk Image from the disk page: the selected row is copied through the
// progress dialog, the finished image is listed as one more device, and an
// output that cannot take the image is refused before anything is read.
#include <QApplication>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "dialogs.h"
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

TEST(SaveImageWindow, ARecoveryOffersItsReportForSaving)
{
    std::string fx = svt::fixture("gui");
    DiskFolder folder;
    folder.link(0, fx + "/disk.img");
    MainWindow w;
    w.show();
    QTest::mouseClick(w.quickButton(), Qt::LeftButton);
    QTreeWidget *tree = w.diskPage()->treeCtrl()->tree();
    QTreeWidgetItem *disk = deviceRow(tree, "disk.img");
    ASSERT_NE(disk, nullptr);
    for (int i = 0; i < disk->childCount(); i++)
        if (disk->child(i)->text(0) == "PHOTOS")
            tree->setCurrentItem(disk->child(i));
    QTest::mouseClick(w.diskPage()->scanButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return w.currentPage() == MainWindow::PageFinished; }, 60000));
    // The scanning thread has ended (joined: a hand-over ThreadSanitizer sees).
    if (salvitra::ScanJob *job = w.diskPage()->job())
        job->wait();
    svt::TempDir out, saved;
    bool offered = false, copied = false;
    answerNextModal(
        [&](QWidget *m) {
            auto *done = static_cast<QOpenFilePathDlg *>(m);
            offered = done->saveReportButton()->isVisibleTo(done);
            QString err;
            copied = done->SaveReportAs(QString::fromStdString(saved.file("case 7.csv")), &err);
            EXPECT_TRUE(err.isEmpty()) << err.toStdString();
            done->reject();
        },
        30000, "QOpenFilePathDlg");
    QString err;
    ASSERT_TRUE(w.scanPage()->RecoverTo(QString::fromStdString(out.path()), {0}, &err)) << err.toStdString();
    ASSERT_TRUE(waitUntil([] { return QApplication::activeModalWidget() == nullptr; }, 30000));
    EXPECT_TRUE(offered);
    EXPECT_TRUE(copied);
    EXPECT_EQ(svt::readFile(saved.file("case 7.csv")), svt::readFile(out.file("salvitra-report.csv")));
    EXPECT_EQ(svt::readFile(saved.file("case 7.xml")), svt::readFile(out.file("salvitra-report.xml")));
    answerNextModal([](QWidget *m) { static_cast<QMessageDlg *>(m)->doneDlg(); });
    QTest::mouseClick(w.scanPage()->backButton(), Qt::LeftButton);
}

}  // namespace
