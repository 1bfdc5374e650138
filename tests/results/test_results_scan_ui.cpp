// The result tree, the table and the thumbnails on a real FAT scan: what
// the results page will show, filled from the driver's model.
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdlib>
#include <memory>

#include "fat_test_util.h"
#include "pagedthumbviewer.h"
#include "result_tree.h"
#include "resultviews.h"
#include "view_files.h"

using namespace salvitra;

class ResultsScanUiTest : public QObject {
    Q_OBJECT
private:
    std::string m_dir;
    std::unique_ptr<fatt::FileVolume> m_vol;
    std::unique_ptr<ScanJob> m_job;
    ResultTree m_model;
    QTemporaryDir m_tmp;

    QStringList childTexts(QTreeWidgetItem *item)
    {
        QStringList out;
        for (int i = 0; i < item->childCount(); i++)
            out << item->child(i)->text(0);
        return out;
    }

private slots:
    void initTestCase()
    {
        setenv("TZ", "UTC", 1);
        tzset();
        setenv("TMPDIR", m_tmp.path().toUtf8().constData(), 1);
        m_dir = svt::fixture("results");
        m_vol = std::make_unique<fatt::FileVolume>(m_dir + "/results.img", FS_FAT12);
        ScanRequest req;
        req.part = m_vol->part();
        m_job = std::make_unique<ScanJob>(req);
        QVERIFY(m_job->run().ok());
        m_model.reset(resultRules(FS_FAT12, RecoverQuick), GroupFilter());
        m_model.addAll(m_job->files());
        m_model.finish(m_job->files());
    }

    // The counted tree; the table of Photo/jpg(1); ticks from the model.
    void treeAndTable()
    {
        QTreeWidget tree;
        resultviews::setupTree(&tree);
        resultviews::fillTree(&tree, m_model);
        QTreeWidgetItem *root = tree.topLevelItem(0);
        QCOMPARE(root->text(0), QString("All Files"));
        QCOMPARE(childTexts(root), (QStringList{"Photo(3)", "Music(1)", "Video(2)", "Others(1)"}));
        QCOMPARE(childTexts(root->child(0)), (QStringList{"png(2)", "jpg(1)"}));
        QCOMPARE(childTexts(root->child(1)), QStringList{"aiff(1)"});
        QCOMPARE(childTexts(root->child(2)), (QStringList{"aiff(1)", "mp4(1)"}));
        QCOMPARE(childTexts(root->child(3)), QStringList{"_eadme(1)"});
        QVERIFY(root->child(0)->isExpanded());

        NodeRef jpg = resultviews::nodeOf(root->child(0)->child(1));
        QVERIFY(jpg == m_model.find(FileGroup::Photo, "jpg"));
        QTableWidget table;
        resultviews::setupTable(&table);
        QCOMPARE(table.horizontalHeaderItem(3)->text(), QString("Modification Time"));
        resultviews::fillTable(&table, m_model.rows(jpg, m_job->files()), "jpg");
        QCOMPARE(table.rowCount(), 1);
        QCOMPARE(table.item(0, 0)->text(), QString("_MG_0001.JPG"));
        QVERIFY(table.item(0, 1)->text().endsWith("KB") || table.item(0, 1)->text().endsWith("bytes"));
        QVERIFY(table.item(0, 1)->toolTip().endsWith(" bytes"));
        QCOMPARE(table.item(0, 2)->text(), QString("Photo"));
        QVERIFY(table.item(0, 3)->text().contains("2021"));
        QCOMPARE(table.item(0, 0)->checkState(), Qt::Unchecked);

        // A tick in the model shows in the tree without itemChanged.
        QSignalSpy changed(&tree, &QTreeWidget::itemChanged);
        m_model.setCheck(jpg, CheckState::Checked);
        resultviews::syncTree(&tree, m_model);
        QCOMPARE(changed.count(), 0);
        QCOMPARE(root->child(0)->child(1)->checkState(0), Qt::Checked);
        QCOMPARE(root->child(0)->checkState(0), Qt::PartiallyChecked);
        QCOMPARE(root->checkState(0), Qt::PartiallyChecked);
        resultviews::fillTable(&table, m_model.rows(jpg, m_job->files()), "jpg");
        QCOMPARE(resultviews::checkedRows(&table), 1);
        resultviews::setAllRows(&table, false);
        QCOMPARE(resultviews::checkedRows(&table), 0);
        m_model.setCheck({}, CheckState::Unchecked);
    }

    // The Photo files extracted for the views show as pictures; the copies
    // go when the results are released.
    void thumbnailsAndPreviewFromTheScan()
    {
        const auto &files = m_job->files();
        ViewFiles views;
        QPagedThumbViewer viewer;
        viewer.resize(521, 368);
        viewer.show();
        NodeRef png = m_model.find(FileGroup::Photo, "png");
        QStringList paths;
        for (const TableRow &row : m_model.rows(png, files)) {
            std::string path = views.extract(*m_job, files[row.file], row.file, ViewFolder::Thumbnails);
            QVERIFY(!path.empty());
            paths << QString::fromStdString(path);
            viewer.AddItem(paths.last(), resultviews::shown(row.name), false, nullptr);
        }
        viewer.RedrawByData();
        QCOMPARE(viewer.grid()->GetItemCount(), 2);
        for (int i = 0; i < 2; i++)
            QCOMPARE(viewer.grid()->GetItem(i)->previewCtrl()->pixmap().size(), QSize(80, 60));
        QCOMPARE(viewer.grid()->GetItemText(1), QString("Trip.png"));

        NodeRef jpg = m_model.find(FileGroup::Photo, "jpg");
        TableRow row = m_model.rows(jpg, files).at(0);
        QString preview = QString::fromStdString(
            views.extract(*m_job, files[row.file], row.file, ViewFolder::Preview));
        QVERIFY(preview.contains("Salvitra Data Recovery Temp"));
        QPreviewImageCtrl ctrl;
        ctrl.SetShowStyle(PreviewFit);
        QVERIFY(QPreviewImageCtrl::IsImage(preview));
        ctrl.SetImage(preview);
        QCOMPARE(ctrl.pixmap().size(), QSize(96, 64));

        views.release();
        QVERIFY(!QFile::exists(preview));
        QVERIFY(!QFile::exists(paths[0]));
    }
};

QTEST_MAIN(ResultsScanUiTest)
#include "test_results_scan_ui.moc"
