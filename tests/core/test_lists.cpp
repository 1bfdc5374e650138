// White-box tests of the list operations, linked against the static twin
// of the core library.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "merrow_i.h"

namespace {

Partiton_Struct *makePart(uint64_t offset, int fs, uint64_t size, char mode, int dev)
{
    auto *p = static_cast<Partiton_Struct *>(MALLOC(sizeof(Partiton_Struct)));
    p->PartOffset = offset;
    p->FsType = fs;
    p->PartSize = size;
    p->AccessMode = mode;
    p->DevNum = dev;
    p->BootData = static_cast<uint8_t *>(MALLOC(512));
    return p;
}

Physics_Device_Struct *makeDev(const char *name, uint64_t size)
{
    auto *d = static_cast<Physics_Device_Struct *>(MALLOC(sizeof(Physics_Device_Struct)));
    d->Fd = open("/dev/null", O_RDONLY);
    d->DiskSize = size;
    d->SectorSize = 512;
    snprintf(d->DevName, sizeof d->DevName, "%s", name);
    d->Cache = static_cast<ReadCache *>(MALLOC(sizeof(ReadCache)));
    d->Ops = &Apple_System;
    return d;
}

std::vector<Partiton_Struct *> partitions()
{
    std::vector<Partiton_Struct *> v;
    for (_Device_List *n = GlobPointerPartiton; n; n = n->next)
        v.push_back(static_cast<Partiton_Struct *>(n->data));
    return v;
}

void freeAllPartitions()
{
    while (GlobPointerPartiton)
        Free_List(GlobPointerPartiton->data);
}

void freeAllDevices()
{
    while (GlobPointer)
        Free_List(GlobPointer->data);
}

TEST(PartitionList, SameFiveKeysAreOneRecordOtherwiseAppended)
{
    ASSERT_EQ(Add_Partition_List(makePart(1048576, FS_FAT32, 1 << 20, '?', 0)), 1);
    // Same keys: dropped (its buffers are freed; ASan would flag a leak).
    ASSERT_EQ(Add_Partition_List(makePart(1048576, FS_FAT32, 1 << 20, '?', 0)), 1);
    EXPECT_EQ(partitions().size(), 1u);
    // Each key on its own makes a different partition.
    Add_Partition_List(makePart(2097152, FS_FAT32, 1 << 20, '?', 0));
    Add_Partition_List(makePart(1048576, FS_NTFS, 1 << 20, '?', 0));
    Add_Partition_List(makePart(1048576, FS_FAT32, 2 << 20, '?', 0));
    Add_Partition_List(makePart(1048576, FS_FAT32, 1 << 20, 'k', 0));
    Add_Partition_List(makePart(1048576, FS_FAT32, 1 << 20, '?', 3));
    EXPECT_EQ(partitions().size(), 6u);
    EXPECT_EQ(Add_Partition_List(nullptr), 0);

    Partiton_Struct probe{};
    probe.PartOffset = 2097152;
    probe.FsType = FS_FAT32;
    probe.PartSize = 1 << 20;
    probe.AccessMode = '?';
    _Device_List *n = Inquiry_Partiton_List(&probe);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(static_cast<Partiton_Struct *>(n->data)->PartOffset, 2097152u);
    EXPECT_EQ(Inquiry_Partiton_List(nullptr), nullptr);
    freeAllPartitions();
    EXPECT_EQ(GlobPointerPartiton, nullptr);
    EXPECT_EQ(Inquiry_Partiton_List(&probe), nullptr);
}

TEST(PartitionList, HeadAndMiddleRemovalKeepTheLinksRight)
{
    Partiton_Struct *a = makePart(0, FS_FAT16, 1, '?', 0);
    Partiton_Struct *b = makePart(1, FS_FAT16, 1, '?', 0);
    Partiton_Struct *c = makePart(2, FS_FAT16, 1, '?', 0);
    Add_Partition_List(a);
    Add_Partition_List(b);
    Add_Partition_List(c);
    _Device_List *head = GlobPointerPartiton;
    ASSERT_EQ(head->prev, head);  // the head points back at itself
    _Device_List *middle = head->next;
    ASSERT_EQ(middle->prev, head);

    // Middle: neighbours relinked.
    ASSERT_EQ(RemoveList(middle), 1);
    EXPECT_EQ(head->next->data, c);
    EXPECT_EQ(head->next->prev, head);
    Free_Par(b);
    free(middle);

    // Head: successor becomes the head, pointing back at itself.
    _Device_List *oldHead = GlobPointerPartiton;
    ASSERT_EQ(RemoveList(oldHead), 1);
    ASSERT_NE(GlobPointerPartiton, nullptr);
    EXPECT_EQ(GlobPointerPartiton->data, c);
    EXPECT_EQ(GlobPointerPartiton->prev, GlobPointerPartiton);
    EXPECT_EQ(GlobPointerPartiton->next, nullptr);
    Free_Par(a);
    free(oldHead);

    // The last one: the list is empty.
    _Device_List *last = GlobPointerPartiton;
    ASSERT_EQ(RemoveList(last), 1);
    EXPECT_EQ(GlobPointerPartiton, nullptr);
    EXPECT_EQ(RemoveList(last), 0);  // in neither list any more
    Free_Par(c);
    free(last);
}

TEST(DeviceList, IdenticalMediaShowOnceAndFreeListFindsRecordsByIdentity)
{
    Add_Dev_List(makeDev("Kingston DataTraveler", 8000000000ull));
    Add_Dev_List(makeDev("Kingston DataTraveler", 8000000000ull));  // same: dropped
    Add_Dev_List(makeDev("Kingston DataTraveler", 16000000000ull)); // other size: kept
    Add_Dev_List(makeDev("SanDisk Ultra", 8000000000ull));          // other name: kept
    Add_Dev_List(nullptr);
    int count = 0;
    for (_Device_List *n = GlobPointer; n; n = n->next)
        count++;
    EXPECT_EQ(count, 3);

    // A partition record given to Free_List is never taken for a device.
    Partiton_Struct *p = makePart(0, FS_FAT12, 1, '?', 0);
    Add_Partition_List(p);
    Free_List(p);
    EXPECT_EQ(GlobPointerPartiton, nullptr);
    count = 0;
    for (_Device_List *n = GlobPointer; n; n = n->next)
        count++;
    EXPECT_EQ(count, 3);

    // A record in neither list is left alone.
    Partiton_Struct stray{};
    Free_List(&stray);
    freeAllDevices();
    EXPECT_EQ(GlobPointer, nullptr);
}

TEST(DeviceList, InsertAfterNode)
{
    _Device_List a{}, b{}, c{};
    a.prev = &a;
    a.next = &c;
    c.prev = &a;
    Insert_DevOrPartiton_List(&a, &b);
    EXPECT_EQ(a.next, &b);
    EXPECT_EQ(b.prev, &a);
    EXPECT_EQ(b.next, &c);
    EXPECT_EQ(c.prev, &b);
    Insert_DevOrPartiton_List(&a, nullptr);
    EXPECT_EQ(a.next, &b);
}

TEST(Geometry, CylindersAreTheSectorCountWithOneHeadAndOneSector)
{
    Physics_Device_Struct d{};
    d.SectorSize = 512;
    disk_get_geometry(&d, -1, "");
    EXPECT_EQ(d.Heads, 1u);
    EXPECT_EQ(d.SectorsPerTrack, 1u);
    d.DiskSize = 64ull << 20;
    Update_Disk_Car_Fields(&d);
    EXPECT_EQ(d.Cylinders, (64ull << 20) / 512);

    // Size unknown but geometry known: the size follows from it.
    Physics_Device_Struct g{};
    g.SectorSize = 4096;
    g.Heads = 2;
    g.SectorsPerTrack = 4;
    g.Cylinders = 10;
    Update_Disk_Car_Fields(&g);
    EXPECT_EQ(g.DiskSize, 10ull * 2 * 4 * 4096);
}

}  // namespace
