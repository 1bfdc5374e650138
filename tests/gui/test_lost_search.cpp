// The device tree's search for lost volumes: offered on a device without
// partitions, its volumes listed under "Found volumes" and scanned like any
// partition; an ambiguous partition scanned as the file system picked.
#include <QComboBox>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "gui_support.h"
#include "test_support.h"
#include "treectrldlg.h"

namespace {

// A disk without a table holding a FAT volume at 1 MiB, and an ext2 volume
// whose sector 0 is an NTFS boot sector.
bool makeDisks(const svt::TempDir &t)
{
    return svt::run("export PATH=$PATH:/sbin:/usr/sbin; cd " + svt::shellQuote(t.path()) +
                    " && truncate -s 8M lost.img && mkfs.vfat -C -n LOSTVOL fat.fs 4096 >/dev/null"
                    " && dd if=fat.fs of=lost.img bs=1M seek=1 conv=notrunc status=none"
                    " && truncate -s 8M double.img && mke2fs -q -F -t ext2 -L both double.img"
                    " && truncate -s 8M ntfs.fs && mkntfs -q -F -Q ntfs.fs >/dev/null 2>&1"
                    " && dd if=ntfs.fs of=double.img bs=512 count=1 conv=notrunc status=none")
               .status == 0;
}

QTreeWidgetItem *child(QTreeWidgetItem *parent, const QString &startsWith)
{
    for (int i = 0; parent && i < parent->childCount(); i++)
        if (parent->child(i)->text(0).startsWith(startsWith))
            return parent->child(i);
    return nullptr;
}

}  // namespace

TEST(LostSearchInTheTree, FoundVolumesArePartitionsAndAnAmbiguousOneIsPicked)
{
    svt::TempDir t;
    if (!makeDisks(t))
        GTEST_SKIP() << "mkfs.vfat, mke2fs or mkntfs is missing";
    DiskFolder folder;
    folder.link(0, t.file("lost.img"));
    folder.link(1, t.file("double.img"));
    QTreeCtrlDlg dlg(nullptr);
    QTreeWidget *tree = dlg.tree();
    QTreeWidgetItem *lost = tree->topLevelItem(0);
    ASSERT_NE(lost, nullptr);
    // No partitions: the device's row offers the search.
    auto *bar = qobject_cast<QLostSearchBar *>(tree->itemWidget(lost, 2));
    ASSERT_NE(bar, nullptr);
    ASSERT_TRUE(bar->searchButton()->isVisibleTo(bar));
    EXPECT_EQ(qobject_cast<QLostSearchBar *>(tree->itemWidget(tree->topLevelItem(1), 2)), nullptr);

    QSignalSpy ended(&dlg, &QTreeCtrlDlg::searchFinished);
    QTest::mouseClick(bar->searchButton(), Qt::LeftButton);
    EXPECT_TRUE(dlg.searching());
    ASSERT_TRUE(ended.count() || ended.wait(30000));
    EXPECT_TRUE(ended.first().first().toBool());
    EXPECT_FALSE(dlg.searching());

    lost = tree->topLevelItem(0);
    QTreeWidgetItem *group = child(lost, "Found volumes");
    ASSERT_NE(group, nullptr);
    QTreeWidgetItem *vol = child(group, "LOSTVOL (at 1.00 MiB)");
    ASSERT_NE(vol, nullptr);
    EXPECT_EQ(vol->text(2).trimmed(), "FAT12");
    // A found volume is scanned like any partition.
    QSignalSpy able(&dlg, &QTreeCtrlDlg::ableBtnCtrl);
    tree->setCurrentItem(vol);
    ASSERT_FALSE(able.isEmpty());
    EXPECT_TRUE(able.last().first().toBool());
    Partiton_Struct *p = dlg.SelectedPartition();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->PartOffset, 1u << 20);
    EXPECT_EQ(p->FsType, FS_FAT12);
    // The whole device was read: the offer is gone.
    EXPECT_EQ(qobject_cast<QLostSearchBar *>(tree->itemWidget(lost, 2)), nullptr);

    // The ambiguous partition: ext2 (its NTFS boot sector leads to no MFT)
    // unless the person picks NTFS.
    QTreeWidgetItem *both = child(tree->topLevelItem(1), "both (ambiguous)");
    ASSERT_NE(both, nullptr);
    auto *box = qobject_cast<QComboBox *>(tree->itemWidget(both, 2));
    ASSERT_NE(box, nullptr);
    ASSERT_EQ(box->count(), 2);
    EXPECT_EQ(box->currentText(), "EXT2");
    EXPECT_EQ(box->itemText(0), "NTFS (unreadable)");
    tree->setCurrentItem(both);
    EXPECT_EQ(dlg.SelectedPartition()->FsType, FS_EXT2);
    box->setCurrentIndex(0);
    EXPECT_EQ(tree->currentItem(), both);
    EXPECT_EQ(dlg.SelectedPartition()->FsType, FS_NTFS);
}
