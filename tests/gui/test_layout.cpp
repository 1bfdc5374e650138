// The window on a desktop: placed anywhere, at its smallest size and
// larger, every page and dialog keeps its controls inside, the views grow
// with the window, no label is cut, and every button has a name a screen
// reader can say.  Run once more with QT_SCALE_FACTOR=2 (CMakeLists.txt).
#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QAccessible>
#include <QApplication>
#include <QTest>
#include <QTextBrowser>

#include <gtest/gtest.h>

#include "dialogs.h"
#include "gui_support.h"
#include "mainwindow.h"
#include "optitondlg.h"
#include "pagedthumbviewer.h"
#include "previewimagectrl.h"
#include "test_support.h"

namespace {

// Inside a scroll area's viewport a widget may lie outside what is shown.
bool scrolledContent(const QWidget *w, const QWidget *top)
{
    for (const QWidget *p = w->parentWidget(); p && p != top; p = p->parentWidget()) {
        auto *area = qobject_cast<const QAbstractScrollArea *>(p->parentWidget());
        if (area && area->viewport() == p)
            return true;
    }
    return false;
}

// Every visible control of top (a window or a dialog) lies inside it; every
// label's text fits the label; every button has a name.  Problems are
// reported with where they were seen.
void checkControls(QWidget *top, const std::string &where)
{
    QCoreApplication::processEvents();
    const QRect inside = top->rect();
    for (QWidget *w : top->findChildren<QWidget *>()) {
        if (!w->isVisibleTo(top) || w->isWindow() || scrolledContent(w, top))
            continue;
        const QString what = QString("%1 '%2' %3")
                                 .arg(w->metaObject()->className(), w->objectName(), w->accessibleName());
        const QRect r(w->mapTo(top, QPoint(0, 0)), w->size());
        EXPECT_TRUE(inside.contains(r)) << where << ": " << what.toStdString() << " at (" << r.x() << ","
                                        << r.y() << " " << r.width() << "x" << r.height() << ") outside "
                                        << inside.width() << "x" << inside.height();
        if (auto *b = qobject_cast<QAbstractButton *>(w)) {
            QAccessibleInterface *ai = QAccessible::queryAccessibleInterface(b);
            ASSERT_NE(ai, nullptr);
            EXPECT_FALSE(ai->text(QAccessible::Name).trimmed().isEmpty()) << where << ": " << what.toStdString();
        }
        auto *l = qobject_cast<QLabel *>(w);
        if (!l || l->text().isEmpty() || l->textFormat() == Qt::RichText || !l->pixmap().isNull())
            continue;
        const QRect c = l->contentsRect();
        if (l->wordWrap()) {
            EXPECT_LE(l->heightForWidth(l->width()), l->height() + 1)
                << where << ": label \"" << l->text().toStdString() << "\" needs more lines than it has";
        } else {
            for (const QString &line : l->text().split('\n'))
                EXPECT_LE(l->fontMetrics().horizontalAdvance(line), c.width())
                    << where << ": label \"" << line.toStdString() << "\" is wider than the label";
        }
    }
}

QSize area(QWidget *w)
{
    return w->size();
}

class Layout : public ::testing::Test {
protected:
    void SetUp() override
    {
        fx = svt::fixture("gui");
        folder.link(0, fx + "/disk.img");
        w = std::make_unique<MainWindow>();
        w->move(300, 200);
        w->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));
        tree = w->diskPage()->treeCtrl()->tree();
    }
    void TearDown() override { w.reset(); }

    void resizeTo(QSize s)
    {
        w->resize(s);
        QCoreApplication::processEvents();
        ASSERT_EQ(w->size(), s);
    }
    // Every page and dialog at the window's present size; the sizes of the
    // growing views.
    struct Views {
        QSize diskTree, resultTree, table, preview, thumbs;
    };
    Views visitAll(const std::string &size)
    {
        Views v;
        w->OnGoHome();
        checkControls(w.get(), size + " home");
        QTest::mouseClick(w->quickButton(), Qt::LeftButton);
        checkControls(w.get(), size + " quick disk page");
        v.diskTree = area(tree);
        w->OnGoHome();
        QTest::mouseClick(w->deepButton(), Qt::LeftButton);
        checkControls(w.get(), size + " deep disk page");

        QTreeWidgetItem *photos = nullptr;
        for (int i = 0; i < tree->topLevelItemCount() && !photos; i++)
            for (int j = 0; j < tree->topLevelItem(i)->childCount(); j++)
                if (tree->topLevelItem(i)->child(j)->text(0) == "PHOTOS")
                    photos = tree->topLevelItem(i)->child(j);
        EXPECT_NE(photos, nullptr);
        if (!photos)
            return v;
        tree->setCurrentItem(photos);
        answerNextModal([&](QWidget *m) {
            checkControls(m, size + " options, kinds");
            static_cast<QOptitonDlg *>(m)->OnBtnDisk();
            checkControls(m, size + " options, region");
            static_cast<QDialog *>(m)->reject();
        }, 10000, "QOptitonDlg");
        QTest::mouseClick(w->diskPage()->optionsButton(), Qt::LeftButton);

        w->diskPage()->delRadio()->click();
        QTest::mouseClick(w->diskPage()->scanButton(), Qt::LeftButton);
        checkControls(w.get(), size + " scanning page");
        EXPECT_TRUE(waitUntil([&] { return w->currentPage() == MainWindow::PageFinished; }, 30000));
        QScaningDlg *page = w->scanPage();
        page->tree()->setCurrentItem(page->treeItem("Photo", "png"));
        page->table()->selectRow(0);
        checkControls(w.get(), size + " results, list with preview");
        v.resultTree = area(page->tree());
        v.table = area(page->table());
        v.preview = area(page->previewCtrl());
        QTest::mouseClick(page->plusButton(), Qt::LeftButton);
        checkControls(w.get(), size + " results, size search");
        QTest::mouseClick(page->minusButton(), Qt::LeftButton);
        QTest::mouseClick(page->viewButton(0), Qt::LeftButton);
        checkControls(w.get(), size + " results, thumbnails");
        v.thumbs = area(page->thumbViewer());
        QTest::mouseClick(page->viewButton(2), Qt::LeftButton);

        // The dialogs of the page, each shown beside the window.
        QMessageDlg question(w.get());
        question.SetNoteText(QScaningDlg::kSameMediumNote);
        question.show();
        checkControls(&question, size + " question");
        QProgressDlg progress(w.get());
        progress.SetNote("Recovering: a file with a long name, as cameras and phones give them.jpg");
        progress.show();
        checkControls(&progress, size + " progress");
        QOpenFilePathDlg done(w.get());
        done.SetResult(1, 2, true);
        done.SetFolder("/home/someone/Pictures/Recovered from the card");
        done.show();
        checkControls(&done, size + " completion");
        QSetRecoverPath where(w.get());
        where.show();
        checkControls(&where, size + " destination");

        answerNextModal([](QWidget *m) { static_cast<QMessageDlg *>(m)->doneDlg(); }, 5000, "QMessageDlg");
        QTest::mouseClick(page->backButton(), Qt::LeftButton);
        return v;
    }

    std::string fx;
    DiskFolder folder;
    std::unique_ptr<MainWindow> w;
    QTreeWidget *tree = nullptr;
};

bool larger(QSize big, QSize small)
{
    return big.width() >= small.width() && big.height() >= small.height() &&
           big.width() * big.height() > small.width() * small.height();
}

}  // namespace

TEST_F(Layout, PagesAndDialogsFitAnywhereAtTwoSizesAndTheViewsGrow)
{
    // Resizable, never below the smallest size.
    EXPECT_EQ(w->minimumSize(), QSize(MainWindow::kMinWidth, MainWindow::kMinHeight));
    EXPECT_GT(w->maximumWidth(), 4000);
    resizeTo({MainWindow::kMinWidth, MainWindow::kMinHeight});
    EXPECT_EQ(w->pos(), QPoint(300, 200));
    Views small = visitAll("720x476 at (300,200)");
    resizeTo({1100, 760});
    Views big = visitAll("1100x760");
    EXPECT_TRUE(larger(big.diskTree, small.diskTree));
    EXPECT_TRUE(larger(big.resultTree, small.resultTree));
    EXPECT_TRUE(larger(big.table, small.table));
    EXPECT_TRUE(larger(big.preview, small.preview));
    EXPECT_TRUE(larger(big.thumbs, small.thumbs));
    EXPECT_GT(w->scanPage()->thumbViewer()->grid()->columns(), 5);
}

TEST_F(Layout, KeyboardReachesTheScanAndF1OpensTheHelp)
{
    // Home: Tab from the quick scan card to the deep scan card, Space starts it.
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    w->quickButton()->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), w->deepButton());
    QTest::keyClick(w->deepButton(), Qt::Key_Space);
    EXPECT_EQ(w->currentPage(), MainWindow::PageDisk);
    // The device tree has the focus; the arrows pick a partition and Enter
    // scans it.
    EXPECT_EQ(QApplication::focusWidget(), tree);
    for (int i = 0; i < 8 && !w->diskPage()->scanButton()->isEnabled(); i++)
        QTest::keyClick(tree, Qt::Key_Down);
    ASSERT_TRUE(w->diskPage()->scanButton()->isEnabled());
    QTest::keyClick(tree, Qt::Key_Return);
    EXPECT_NE(w->currentPage(), MainWindow::PageDisk);
    ASSERT_TRUE(waitUntil([&] { return w->currentPage() == MainWindow::PageFinished; }, 60000));

    // F1, wherever the focus is, opens the help in a window of the program.
    QTest::keyClick(w->scanPage()->tree(), Qt::Key_F1);
    ASSERT_NE(w->helpWindow(), nullptr);
    EXPECT_TRUE(w->helpWindow()->isVisible());
    EXPECT_TRUE(w->helpWindow()->browser()->toPlainText().contains("Quick scan or deep scan?"));
    w->helpWindow()->close();
    answerNextModal([](QWidget *m) { static_cast<QMessageDlg *>(m)->doneDlg(); }, 5000, "QMessageDlg");
    QTest::mouseClick(w->scanPage()->backButton(), Qt::LeftButton);
}

TEST_F(Layout, TheWindowComesBackWhereAndAsLargeAsItWasLeft)
{
    // (The offscreen screen is 800x600: a place that fits it.)
    w->resize(760, 500);
    w->move(20, 30);
    QCoreApplication::processEvents();
    EXPECT_TRUE(w->close());
    w.reset();
    w = std::make_unique<MainWindow>();
    w->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));
    EXPECT_EQ(w->size(), QSize(760, 500));
    EXPECT_EQ(w->pos(), QPoint(20, 30));
}
