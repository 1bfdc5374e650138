// The thumbnail and preview views through their real widgets: pages of a
// long list, ticks and "Check All", pictures that are not pictures, GIFs
// that move and GIFs that do not.
#include <QCheckBox>
#include <QFile>
#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "gif_writer.h"
#include "pagedthumbviewer.h"
#include "previewimagectrl.h"

namespace {

QString writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
    return path;
}

QString writeGif(const QString &path, int frames)
{
    QVector<QByteArray> f;
    for (int k = 0; k < frames; k++)
        f.push_back(gifw::movingSquare(40, 20, k, frames));
    QVector<QRgb> pal = {qRgb(255, 255, 255), qRgb(0, 0, 255), qRgb(255, 0, 0), qRgb(0, 0, 0)};
    return writeBytes(path, gifw::makeGif(40, 20, pal, f, 2));
}

void clickBox(QCheckBox *box)
{
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
}

}  // namespace

class ResultsUiTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QString m_png, m_broken;

private slots:
    void initTestCase()
    {
        QImage img(64, 48, QImage::Format_RGB32);
        img.fill(QColor(30, 140, 90));
        m_png = m_dir.filePath("photo.png");
        QVERIFY(img.save(m_png));
        m_broken = writeBytes(m_dir.filePath("broken.jpg"), QByteArray(700, 'x'));
    }

    // 250 items make 3 pages; the page buttons, the page field and its
    // validator move between them.
    void pagesOfAHundred()
    {
        QPagedThumbViewer v;
        v.resize(521, 368);
        v.show();
        for (int i = 0; i < 250; i++)
            v.AddItem(m_png, QString("IMG_%1.png").arg(i), false, reinterpret_cast<void *>(quintptr(i + 1)));
        v.RedrawByData();
        QCOMPARE(v.pageLabel()->text(), QString("1/3"));
        QCOMPARE(v.grid()->GetItemCount(), 100);
        QVERIFY(!v.previousButton()->isEnabled());
        QTest::mouseClick(v.nextButton(), Qt::LeftButton);
        QTest::mouseClick(v.nextButton(), Qt::LeftButton);
        QCOMPARE(v.pageLabel()->text(), QString("3/3"));
        QCOMPARE(v.grid()->GetItemCount(), 50);
        QCOMPARE(v.grid()->GetItemText(0), QString("IMG_200.png"));
        QVERIFY(!v.nextButton()->isEnabled());

        v.pageEdit()->clear();
        QTest::keyClicks(v.pageEdit(), "0");
        QCOMPARE(v.pageEdit()->text(), QString());  // refused
        QTest::keyClicks(v.pageEdit(), "2");
        QTest::mouseClick(v.goButton(), Qt::LeftButton);
        QCOMPARE(v.pageLabel()->text(), QString("2/3"));
        v.pageEdit()->clear();
        QTest::keyClicks(v.pageEdit(), "99");
        QTest::mouseClick(v.goButton(), Qt::LeftButton);
        QCOMPARE(v.pageLabel()->text(), QString("3/3"));  // past the end: the last page

        // The grid's size and cells.
        QTRY_COMPARE(v.grid()->height(), 109 * 10);
        QCOMPARE(v.grid()->width(), 505);
        QCOMPARE(v.grid()->GetItem(7)->geometry(), QRect(9 + 101 * 2, 9 + 109, 92, 100));

        // A page is drawn whole, with no event handled in between (its
        // tiles decode nothing); a list replaced after it shows its own.
        QTimer::singleShot(0, &v, [this, &v] {
            v.Reset();
            for (int i = 0; i < 3; i++)
                v.AddItem(m_png, QString("new%1.png").arg(i), false, nullptr);
        });
        v.ChangePage(0);
        QCOMPARE(v.grid()->GetItemCount(), 100);
        QTRY_COMPARE(v.grid()->GetItemCount(), 3);
        QCOMPARE(v.grid()->GetItemText(2), QString("new2.png"));

        v.Reset();
        QCOMPARE(v.GetItemCount(), 0);
        QCOMPARE(v.pageLabel()->text(), QString("1/0"));
        QCOMPARE(v.GetCheckAll(), Qt::Unchecked);
    }

    // Items added without a picture get theirs when their page is drawn,
    // so a long list is extracted a page at a time.
    void picturesAreAskedForAPageAtATime()
    {
        QPagedThumbViewer v;
        QStringList asked;
        v.SetImageProvider([&](int index, const ThumbItem &item) {
            asked << item.text;
            v.SetItemPicture(index, m_png, QImage());
        });
        for (int i = 0; i < 250; i++)
            v.AddItem(QString(), QString("f%1").arg(i), false, nullptr);
        QCOMPARE(asked.size(), 100);  // the first page, as items arrive
        v.ChangePage(2);
        QCOMPARE(asked.size(), 150);
        QCOMPARE(asked.last(), QString("f249"));
        v.ChangePage(0);
        QCOMPARE(asked.size(), 150);  // asked once per item
        QCOMPARE(v.GetItem(0)->image, m_png);
        QCOMPARE(v.grid()->GetItem(0)->previewCtrl()->pixmap().size(), QSize(64, 48));
    }

    // Ticking every tile on every page ticks "Check All"; unticking one
    // makes it partly ticked; the box itself ticks and unticks everything.
    // Tile ticks are reported with the item's place in the whole list.
    void ticksAndCheckAll()
    {
        QPagedThumbViewer v;
        v.resize(521, 368);
        v.show();
        for (int i = 0; i < 120; i++)
            v.AddItem(m_png, QString("f%1.png").arg(i), false, reinterpret_cast<void *>(quintptr(i + 1)));
        v.RedrawByData();
        QSignalSpy ticks(&v, &QPagedThumbViewer::OnItemCheckCganged);
        QSignalSpy data(&v, &QPagedThumbViewer::checkChanged);
        for (int page = 0; page < 2; page++) {
            v.ChangePage(page);
            for (int i = 0; i < v.grid()->GetItemCount(); i++) {
                QCOMPARE(v.GetCheckAll(), page == 0 && i == 0 ? Qt::Unchecked : Qt::PartiallyChecked);
                clickBox(v.grid()->GetItem(i)->checkBox());
            }
        }
        QCOMPARE(ticks.count(), 120);
        QCOMPARE(ticks.last().at(0).toInt(), 119);
        QCOMPARE(ticks.last().at(1).toBool(), true);
        QCOMPARE(data.last().at(0).value<void *>(), reinterpret_cast<void *>(quintptr(120)));
        QCOMPARE(v.GetCheckAll(), Qt::Checked);

        clickBox(v.grid()->GetItem(5)->checkBox());  // item 105
        QCOMPARE(ticks.last().at(0).toInt(), 105);
        QVERIFY(!v.GetItemCheck(105));
        QCOMPARE(v.GetCheckAll(), Qt::PartiallyChecked);

        QSignalSpy all(&v, &QPagedThumbViewer::checkAllChanged);
        clickBox(v.checkAllBox());
        QCOMPARE(v.GetCheckAll(), Qt::Checked);
        QCOMPARE(all.last().at(0).toBool(), true);
        QVERIFY(v.GetItemCheck(105) && v.grid()->GetItemCheck(5));
        clickBox(v.checkAllBox());
        QCOMPARE(v.GetCheckAll(), Qt::Unchecked);
        QCOMPARE(all.last().at(0).toBool(), false);
        QVERIFY(!v.GetItemCheck(3));
        v.ChangePage(0);
        QVERIFY(!v.grid()->GetItemCheck(3));

        // Ticks set from outside reach the tiles without being reported.
        int before = ticks.count();
        v.SetItemCheck(3, true);
        QVERIFY(v.grid()->GetItemCheck(3));
        QCOMPARE(v.GetCheckAll(), Qt::PartiallyChecked);
        QCOMPARE(ticks.count(), before);
    }

    // Grid insertions and removals keep every tile in its cell; a file
    // that is no picture shows the "not available" picture.
    void gridTilesAndPlaceholders()
    {
        QThumbViewerWidget g;
        g.show();
        QCOMPARE(g.AddItem(m_png, "a", false, nullptr), 0);
        QCOMPARE(g.AddItem(m_png, "c", false, nullptr), 1);
        QCOMPARE(g.AddItem(m_broken, "b", true, nullptr, 1), 1);
        QCOMPARE(g.GetItemText(1), QString("b"));
        QCOMPARE(g.GetItem(2)->geometry(), QThumbViewerWidget::cellRect(2));
        QVERIFY(g.GetItemCheck(1));
        g.DeleteItem(99);  // the last
        QCOMPARE(g.GetItemCount(), 2);
        QCOMPARE(g.GetItemText(1), QString("b"));

        QVERIFY(QPreviewImageCtrl::IsImage(m_png));
        QVERIFY(!QPreviewImageCtrl::IsImage(m_broken));
        QImage shown = g.GetItem(1)->previewCtrl()->pixmap().toImage();
        QCOMPARE(shown, QPictureNode::notAvailablePixmap().toImage());
        QCOMPARE(g.GetItem(0)->previewCtrl()->pixmap().size(), QSize(64, 48));

        // A name with control characters is shown without them.
        g.SetItemText(0, QString("bad\x01name.jpg"));
        QVERIFY(!g.GetItem(0)->checkBox()->toolTip().contains(QChar(1)));
    }

    // An animated GIF steps through its frames; a one-frame GIF stays
    // still and leaves no timer running.
    void gifsThatMoveAndGifsThatDoNot()
    {
        QString moving = writeGif(m_dir.filePath("moving.gif"), 4);
        QString still = writeGif(m_dir.filePath("still.gif"), 1);
        QVERIFY(QPreviewImageCtrl::isDynamic(moving));
        QVERIFY(!QPreviewImageCtrl::isDynamic(m_png));

        QPreviewImageCtrl ctrl;
        ctrl.SetShowStyle(PreviewFit);
        ctrl.resize(200, 100);
        ctrl.show();
        ctrl.SetImage(moving);
        QVERIFY(ctrl.isAnimated());
        QImage first = ctrl.pixmap().toImage();
        // Each step is waited for as long as a busy machine needs.
        QTRY_VERIFY_WITH_TIMEOUT(ctrl.currentFrame() >= 2, 120000);
        QVERIFY(ctrl.pixmap().toImage() != first);
        QTRY_VERIFY_WITH_TIMEOUT(ctrl.currentFrame() == 0, 120000);  // loops back
        QTRY_VERIFY_WITH_TIMEOUT(ctrl.currentFrame() == 1, 120000);

        ctrl.SetImage(still);
        QVERIFY(QTest::qWaitForWindowExposed(&ctrl));
        ctrl.repaint();
        QTest::qWait(100);
        QCOMPARE(ctrl.currentFrame(), 0);
        QVERIFY(!ctrl.isAnimating());
        QVERIFY(!ctrl.pixmap().isNull());
    }

    // Fit keeps the picture's shape and centres it; natural size makes the
    // control the picture's size.
    void drawRectangles()
    {
        QPreviewImageCtrl ctrl;
        ctrl.resize(520, 225);
        ctrl.SetShowStyle(PreviewFit);
        QImage img(320, 240, QImage::Format_RGB32);
        img.fill(Qt::red);
        QString path = m_dir.filePath("wide.png");
        img.save(path);
        ctrl.SetImage(path);
        QRect r;
        ctrl.GetDrawRect(r);
        QCOMPARE(r, QRect(110, 0, 300, 225));
        ctrl.resize(160, 225);
        ctrl.GetDrawRect(r);
        QCOMPARE(r, QRect(0, 52, 160, 120));
        ctrl.SetShowStyle(PreviewStretch);
        ctrl.GetDrawRect(r);
        QCOMPARE(r, QRect(0, 0, 160, 225));
        ctrl.SetShowStyle(PreviewNatural);
        ctrl.GetDrawRect(r);
        QCOMPARE(ctrl.size(), QSize(320, 240));
        QCOMPARE(r, QRect(0, 0, 320, 240));

        // A camera-sized picture is decoded no larger than it can be shown.
        QImage big(2400, 1200, QImage::Format_RGB32);
        big.fill(Qt::blue);
        QString bigPath = m_dir.filePath("big.bmp");
        big.save(bigPath);
        ctrl.SetImage(bigPath);
        QCOMPARE(ctrl.pixmap().size(), QSize(2048, 1024));
    }
};

QTEST_MAIN(ResultsUiTest)
#include "test_results_ui.moc"
