// The building blocks: size texts, the progress dialog's stepping, the
// options page, the worker thread's pause, continue and stop, and the
// coalescing of media events.
#include <QApplication>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>

#include "dialogs.h"
#include "mainwindow.h"
#include "gui_support.h"
#include "mediawatch.h"
#include "optitondlg.h"
#include "scaningdlg.h"
#include "test_support.h"
#include "treectrldlg.h"
#include "units.h"
#include "utilthread.h"

TEST(Skin, ButtonsTakeOneFrameAndKeepTheirSizeWithoutAnImage)
{
    QWidget parent;
    QImageButton *b = MakeImageButton(&parent, ":/images/button_scan.png", "Scan");
    QImage strip(":/images/button_scan.png");
    ASSERT_FALSE(strip.isNull());
    EXPECT_EQ(b->size(), QSize(strip.width() / 4, strip.height()));
    EXPECT_EQ(b->accessibleName(), "Scan");
    QSize before = b->size();
    b->setBtnImage(":/images/no_such_image.png");
    EXPECT_EQ(b->size(), before);
    b->setEnabled(false);
    EXPECT_EQ(b->state(), 3);
    b->setEnabled(true);
    EXPECT_EQ(b->state(), 0);
}

TEST(Skin, EveryImageThePagesNameIsCompiledIn)
{
    const char *names[] = {
        "bg_main", "bg_quick_select", "bg_deep_select", "bg_scaning", "bg_deep_scanning", "bg_baby_finish",
        "bg_baby_height_finish", "bg_deep_finish", "bg_height_deep_finish", "btn_quick", "btn_deep", "btn_help",
        "btn_about", "icon_logo", "btn_home", "button_scan", "btn_optiton", "disk_icon", "bg_optiton", "btn_king",
        "btn_Kind_hide", "btn_region", "btn_Region_hide", "btn_mark", "btn_select", "btn_unselect", "btn_cancel",
        "icon_file", "icon_photo", "icon_audio", "icon_video", "icon_all", "slider_bg", "slider_top", "btn_slider",
        "btn_back", "btn_recover", "btn_pause", "btn_continue", "btn_stop", "btn_preview1", "btn_preview2",
        "btn_preview3", "btn_preview4", "btn_thumbnail_hide", "btn_list_hide", "btn_Preview_hide", "btn_spin_hide",
        "btn_plus", "btn_minus", "bg_step_available", "bg_height_available", "bg_not_available",
        "bg_heiht_not_available", "bg_corrupted", "bg_heigh_corrupted", "bg_Thumb_Not_Available", "bg_message",
        "msg_btn_ok", "msg_btn_stop", "msg_btn_back", "msg_btn_exit", "bg_progress", "bg_recoverPath", "btn_browse",
        "btn_ok", "bg_open_path", "btn_check", "btn_open_folder", "icon_question", "icon_done", "icon_recovering",
        "icon_folder_in", "btn_open_image"};
    for (const char *n : names)
        EXPECT_FALSE(QImage(QString(":/images/%1.png").arg(n)).isNull()) << n;
}

TEST(Help, ThePageLivesBesideTheProgramAndSaysHowToGetAccess)
{
    // The test program sits in the same folder as salvitra.
    QFile f(MainWindow::HelpPath());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << MainWindow::HelpPath().toStdString();
    QString html = QString::fromUtf8(f.readAll());
    for (const char *topic : {"Quick Scan", "Deep Scan", "Recover", "another disk", "Open Disk Image", "disk</code> group"})
        EXPECT_TRUE(html.contains(topic)) << topic;
}

TEST(Dialogs, ProgressStepsThroughEveryValueAndNeverBack)
{
    QProgressDlg dlg(nullptr);
    QSignalSpy steps(dlg.bar(), &QProgressBar::valueChanged);
    dlg.SetExport(40);
    EXPECT_EQ(steps.count(), 40);
    steps.clear();
    dlg.SetExport(30);  // lower: remembered, the bar stays
    EXPECT_EQ(dlg.bar()->value(), 40);
    EXPECT_EQ(steps.count(), 0);
    dlg.SetExport(100);
    EXPECT_EQ(dlg.bar()->value(), 100);
    EXPECT_EQ(steps.count(), 60);  // 41 .. 100, one by one
    dlg.SetExport(50);              // after 100 nothing changes
    EXPECT_EQ(dlg.shownValue(), 100);
}

TEST(Dialogs, MessageDialogReturnsSevenForItsActionButton)
{
    QMessageDlg dlg(nullptr);
    dlg.SetNoteText("Question?");
    answerNextModal([](QWidget *w) { static_cast<QMessageDlg *>(w)->doneDlg(); });
    EXPECT_EQ(dlg.exec(), 7);
    answerNextModal([](QWidget *w) { static_cast<QDialog *>(w)->accept(); });
    EXPECT_EQ(dlg.exec(), 1);
}

// ---- options page ----

class OptionsPage : public ::testing::Test {
protected:
    void SetUp() override
    {
        dlg = std::make_unique<QOptitonDlg>(nullptr);
        dlg->setMaxValue(1000);
        dlg->setEditMaxValue();
    }
    QTreeWidgetItem *kind(QTreeWidgetItem *cat, int i) { return cat->child(i); }
    std::unique_ptr<QOptitonDlg> dlg;
};

TEST_F(OptionsPage, TicksPropagateDownAndUp)
{
    QTreeWidgetItem *photo = dlg->photoItem();
    ASSERT_EQ(photo->childCount(), 15);
    dlg->OnBtnUnSelect();
    photo->setCheckState(0, Qt::Checked);
    for (int i = 0; i < 15; i++)
        EXPECT_EQ(kind(photo, i)->checkState(0), Qt::Checked);
    kind(photo, 3)->setCheckState(0, Qt::Unchecked);
    EXPECT_EQ(photo->checkState(0), Qt::PartiallyChecked);
    for (int i = 0; i < 15; i++)
        kind(photo, i)->setCheckState(0, Qt::Unchecked);
    EXPECT_EQ(photo->checkState(0), Qt::Unchecked);
    EXPECT_EQ(dlg->audioItem()->childCount(), 10);
    EXPECT_EQ(dlg->videoItem()->childCount(), 19);
}

TEST_F(OptionsPage, EverythingTickedAtFirstAllNoneAndBothRawRows)
{
    QSignalSpy types(dlg.get(), &QOptitonDlg::OnBtnInfoScan);
    QSignalSpy range(dlg.get(), &QOptitonDlg::SetMixMaxValue);
    // Every kind at first; "None" unticks every kind and group, and Scan
    // then says so and emits nothing.
    EXPECT_EQ(dlg->GetTreeSuffix().size(), 15 + 10 + 19);
    EXPECT_EQ(dlg->audioItem()->text(0), "Music");
    QTest::mouseClick(dlg->noneButton(), Qt::LeftButton);
    EXPECT_EQ(dlg->photoItem()->checkState(0), Qt::Unchecked);
    EXPECT_EQ(dlg->videoItem()->child(3)->checkState(0), Qt::Unchecked);
    EXPECT_FALSE(dlg->haveFileType());
    answerNextModal([](QWidget *w) { static_cast<QMessageBox *>(w)->accept(); });
    dlg->OnBtnScan();
    EXPECT_EQ(types.count(), 0);
    EXPECT_EQ(range.count(), 0);
    QTest::mouseClick(dlg->allButton(), Qt::LeftButton);
    EXPECT_EQ(dlg->GetTreeSuffix().size(), 15 + 10 + 19);
    EXPECT_EQ(dlg->videoItem()->checkState(0), Qt::Checked);
    QTest::mouseClick(dlg->noneButton(), Qt::LeftButton);

    QTreeWidgetItem *photo = dlg->photoItem();
    kind(photo, 0)->setCheckState(0, Qt::Checked);   // RAW (Nikon)
    kind(photo, 11)->setCheckState(0, Qt::Checked);  // RAW (Panasonic)
    kind(dlg->videoItem(), 2)->setCheckState(0, Qt::Checked);  // MP4
    dlg->startEdit()->setText("100");
    dlg->endEdit()->setText("900");
    dlg->OnBtnScan();
    ASSERT_EQ(types.count(), 1);
    EXPECT_EQ(types.at(0).at(0).toStringList(), QStringList({"raw", "raw", "mp4"}));
    ASSERT_EQ(range.count(), 1);
    EXPECT_EQ(range.at(0).at(0).toULongLong(), 100u);
    EXPECT_EQ(range.at(0).at(1).toULongLong(), 900u);
}

TEST_F(OptionsPage, FieldsClampAndMoveTheSlider)
{
    QDualSlider *s = dlg->slider();
    const int track = s->trackWidth();
    ASSERT_GT(track, 0);
    EXPECT_EQ(dlg->endEdit()->text(), "1000");
    dlg->startEdit()->setText("");
    EXPECT_EQ(dlg->startEdit()->text(), "0");
    dlg->startEdit()->setText("250");
    EXPECT_EQ(s->startPos(), int(0.25f * track));
    dlg->endEdit()->setText("500");
    EXPECT_EQ(s->endPos(), int(0.5f * track));
    dlg->startEdit()->setText("700");  // above the end: the end value
    EXPECT_EQ(dlg->startEdit()->text(), "500");
    dlg->endEdit()->setText("5000");   // above the maximum
    EXPECT_EQ(dlg->endEdit()->text(), "1000");
    dlg->endEdit()->setText("");       // empty: the maximum
    EXPECT_EQ(dlg->endEdit()->text(), "1000");
    dlg->endEdit()->setText("100");    // below the start
    EXPECT_EQ(dlg->endEdit()->text(), "500");
    // The slider drives the fields the other way.
    dlg->sliderSetStart(0.1);
    EXPECT_EQ(dlg->startEdit()->text(), "100");
    EXPECT_EQ(dlg->rangeStart(), 100u);
    // A handle never passes the other one.
    EXPECT_FALSE(s->setStartBtnPosition(90));
    EXPECT_TRUE(s->setEndBtnPosition(100));
}

// ---- the job's adapter ----

// The job never waits for the interface thread: a deep scan ends while this
// thread serves no events at all, and what it found then arrives as a few
// queued signals (not one per batch), with the store as the page's data.
TEST(ScanAdapter, TheJobNeverWaitsForTheWindowAndItsSignalsAreCoalesced)
{
    const std::string fx = svt::fixture("gui");
    salvitra::Inventory inv;
    std::string err;
    ASSERT_TRUE(inv.build({fx + "/disk.img"}, &err)) << err;
    salvitra::ScanRequest req;
    req.part = inv.wholeDevice(inv.devices().at(0).devNum);
    ASSERT_NE(req.part, nullptr);
    req.mode = salvitra::RecoverDeep;
    req.inventory = &inv;
    {
        QScanAdapter scan(req);
        QSignalSpy found(&scan, &QScanAdapter::filesFound);
        QSignalSpy ended(&scan, &QScanAdapter::scanEnded);
        scan.pause();
        scan.pause();  // once
        EXPECT_TRUE(scan.isPaused());
        scan.resume();
        ASSERT_TRUE(scan.start());
        EXPECT_TRUE(scan.job()->wait().ok());  // no event served meanwhile
        EXPECT_EQ(found.count(), 0);
        ASSERT_TRUE(ended.wait(10000));
        ASSERT_GE(found.count(), 1);
        EXPECT_LE(found.count(), 2);  // coalesced: at most one waiting, plus the end's
        const size_t files = scan.job()->fileCount();
        EXPECT_GT(files, 0u);
        EXPECT_EQ(found.last().at(0).toULongLong(), files);
        EXPECT_TRUE(scan.scanFinished());
    }
    EXPECT_TRUE(inv.teardown());  // the adapter's job released what it held
}

// ---- media events ----

namespace {

struct MediaSpy : IDetectUsbCallback {
    int mounts = 0, unmounts = 0;
    void onDilMountUsb() override { mounts++; }
    void onWillUnmountUsb() override {}
    void onDilUnmountUsb() override { unmounts++; }
};

}  // namespace

TEST(MediaEvents, AnImageAddedAndRemovedWithinHalfASecondGivesOneUnmount)
{
    std::string fx = svt::fixture("gui");
    DiskFolder folder;
    folder.link(0, fx + "/tiny.img");
    QMediaWatcher watcher;
    MediaSpy spy;
    watcher.setCallback(&spy);

    // Both changes happen before the watcher looks again: one callback.
    folder.link(1, fx + "/tiny.img");
    folder.unlink(1);
    ASSERT_TRUE(waitUntil([&] { return spy.mounts + spy.unmounts > 0; }, 120000));
    EXPECT_EQ(spy.mounts, 0);
    EXPECT_EQ(spy.unmounts, 1);

    folder.link(2, fx + "/tiny.img");
    ASSERT_TRUE(waitUntil([&] { return spy.mounts > 0; }, 120000));
    EXPECT_EQ(spy.mounts, 1);
    EXPECT_EQ(spy.unmounts, 1);
}

// ---- scanning page controls ----

TEST(ScanningPage, PercentShowsOneForZeroAndNeverTheStopValue)
{
    QScaningDlg page(nullptr);
    salvitra::Progress p;
    page.showProgress(p);
    EXPECT_EQ(page.percentText(), "1%");
    EXPECT_EQ(page.progressBar()->value(), 1);
    p.percent = 57;
    p.bytesTotal = 1000000;
    p.bytesDone = 570000;
    p.files = 3;
    page.showProgress(p);
    EXPECT_EQ(page.percentText(), "57%");
    EXPECT_EQ(page.statusText(), QString::fromStdString(salvitra::scanProgressText(p)));
    page.setPercentage(200);
    EXPECT_EQ(page.percentText(), "57%");
}

TEST(ScanningPage, StatesAndTheSearchArea)
{
    QScaningDlg page(nullptr);
    page.resize(720, 450);
    page.show();
    page.setBtnStatus(false, salvitra::RecoverDeep);
    EXPECT_FALSE(page.backButton()->isEnabled());
    EXPECT_FALSE(page.recoverButton()->isEnabled());
    EXPECT_TRUE(page.stopButton()->isVisible());
    EXPECT_TRUE(page.progressBar()->isVisible());
    EXPECT_FALSE(page.nameSearch()->isVisible());
    page.setBtnStatus(true, salvitra::RecoverDeep);
    page.SetCtrlHeigth(true, false);
    EXPECT_TRUE(page.backButton()->isEnabled());
    EXPECT_FALSE(page.stopButton()->isVisible());
    EXPECT_FALSE(page.progressBar()->isVisible());
    // The size search opens above the views, which give it room.
    QCoreApplication::processEvents();
    const int treeTop = page.tree()->geometry().top();
    page.OnBtnPlus();
    QCoreApplication::processEvents();
    EXPECT_TRUE(page.searchRow()->isVisible());
    EXPECT_GT(page.tree()->geometry().top(), treeTop);
    page.OnBtnMinus();
    QCoreApplication::processEvents();
    EXPECT_EQ(page.tree()->geometry().top(), treeTop);
}

TEST(Skin, SliderHandlesFollowTheMouseAndStopAtEachOther)
{
    QOptitonDlg dlg(nullptr);
    dlg.setMaxValue(1000);
    dlg.setEditMaxValue();
    dlg.OnBtnDisk();
    dlg.show();
    QDualSlider *s = dlg.slider();
    QImageButton *h = s->startHandle();
    const int track = s->trackWidth();
    // Press on the start handle and drag it right by a quarter of the track.
    QTest::mousePress(h, Qt::LeftButton, {}, QPoint(3, 5));
    QPoint to = h->mapToGlobal(QPoint(3 + track / 4, 5));
    QMouseEvent move(QEvent::MouseMove, h->mapFromGlobal(to), to, Qt::NoButton, Qt::LeftButton, {});
    QApplication::sendEvent(h, &move);
    QTest::mouseRelease(h, Qt::LeftButton, {}, h->mapFromGlobal(to));
    EXPECT_NEAR(s->startPos(), track / 4, 1);
    EXPECT_NEAR(dlg.startEdit()->text().toDouble(), 250.0, 1000.0 / track + 1);
    // Dragging it past the end handle stops it there.
    dlg.endEdit()->setText("500");
    QTest::mousePress(h, Qt::LeftButton, {}, QPoint(3, 5));
    to = h->mapToGlobal(QPoint(3 + track, 5));
    QMouseEvent far(QEvent::MouseMove, h->mapFromGlobal(to), to, Qt::NoButton, Qt::LeftButton, {});
    QApplication::sendEvent(h, &far);
    QTest::mouseRelease(h, Qt::LeftButton, {}, h->mapFromGlobal(to));
    EXPECT_EQ(s->startPos(), s->endPos());
    EXPECT_EQ(dlg.startEdit()->text(), "500");
}
