// Windows dynamic disks: volumes listed from the logical disk manager
// database, on one disk and across a group, and databases that lie.
#include <gtest/gtest.h>

#include "RAID.h"
#include "part_util.h"
#include "test_support.h"

using svt::Bytes;
using svt::MemDisk;

namespace {

const uint64_t kMiB = 1u << 20;
const uint64_t kDataStart = 63 * 512;
// A volume starting 1985 sectors into the data area lies at 1 MiB.
const uint64_t kStart1MiB = (kMiB - kDataStart) / 512;

Bytes fixtureBytes(const std::string &name)
{
    return svt::readRange(svt::fixture("partitions") + "/" + name, 0, UINT64_MAX);
}

// An MBR dynamic disk: entry 0x42, the database in the last MiB.
Bytes dynamicDisk(size_t size, const svt::LdmDatabase &db)
{
    Bytes disk(size, 0);
    svt::mbrEntry(disk, 0, 0, 0x42, 63, (uint32_t)(size / 512 - 63));
    svt::mbrSignature(disk, 0);
    svt::putBytes(disk, size - kMiB, db.build());
    return disk;
}

TEST(DynamicDisk, SingleDiskWithOneSimpleNtfsVolume)
{
    svt::LdmDatabase db;
    db.ownGuid = "1b77da20-c717-11d0-a5be-00a0c91db73c";
    db.disks = {{"D1", "Disk1", db.ownGuid}};
    db.partitions = {{"P1", "Volume1", kStart1MiB, 0, "D1"}};
    Bytes disk = dynamicDisk(8 * kMiB, db);
    svt::putBytes(disk, kMiB, fixtureBytes("fs-ntfs-small.raw"));

    svt::TempDir t;
    svt::writeFile(t.file("dyn.img"), disk);
    svt::ImageSet set({t.file("dyn.img")});
    auto got = svt::listedPartitions();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].offset, kDataStart + kStart1MiB * 512);
    EXPECT_EQ(got[0].fsType, FS_NTFS);
    EXPECT_EQ(got[0].volumeName, "DynVol");
    EXPECT_EQ(got[0].size, 2 * kMiB);
    EXPECT_EQ(got[0].bootable, 0);
    EXPECT_EQ(got[0].accessMode, '?');
    EXPECT_EQ(_Gindx, -1);
    EXPECT_EQ(Get_NewsPartition_Offset(), UINT64_MAX);
    EXPECT_EQ(OffsetArry[0], kMiB);
    EXPECT_EQ(LDMaddr, nullptr);  // the database buffer lives only during the call
    for (uint8_t *g : DiskGUID)
        EXPECT_EQ(g, nullptr);
}

TEST(DynamicDisk, VolumesOnEveryMemberOfAGroup)
{
    // Two disks; the first one parsed is "Disk2" of the group, so the
    // member slots must be reordered by GUID before volumes are placed.
    const std::string guidA = "aaaaaaaa-0000-0000-0000-000000000001";
    const std::string guidB = "bbbbbbbb-0000-0000-0000-000000000002";
    svt::LdmDatabase db;
    db.ownGuid = guidB;
    db.diskCount = 2;
    db.disks = {{"D1", "Disk1", guidA}, {"D2", "Disk2", guidB}};
    db.partitions = {{"P1", "Volume1", kStart1MiB, 0, "D1"},
                     {"P2", "Volume2", kStart1MiB, 0, "D2"},
                     {"P3", "Volume2b", kStart1MiB, 4096, "D2"}};  // second piece: not listed
    Bytes first = dynamicDisk(8 * kMiB, db);
    svt::putBytes(first, kMiB, fixtureBytes("fs-fat12-small.raw"));

    svt::LdmDatabase own;
    own.ownGuid = guidA;
    Bytes second = dynamicDisk(8 * kMiB, own);
    svt::putBytes(second, kMiB, fixtureBytes("fs-ntfs-small.raw"));

    svt::TempDir t;
    svt::writeFile(t.file("disk-b.img"), first);
    svt::writeFile(t.file("disk-a.img"), second);
    svt::ImageSet set({t.file("disk-b.img"), t.file("disk-a.img")});
    auto got = svt::listedPartitions();
    ASSERT_EQ(got.size(), 2u);
    // Volume1 lies on Disk1 = the second image, Volume2 on Disk2 = the first.
    EXPECT_EQ(got[0].devNum, 1);
    EXPECT_EQ(got[0].fsType, FS_NTFS);
    EXPECT_EQ(got[1].devNum, 0);
    EXPECT_EQ(got[1].fsType, FS_FAT12);
    EXPECT_EQ(got[1].volumeName, "DYNFAT");
    EXPECT_EQ(set.device(1)->Used, 1);
}

TEST(DynamicDisk, GptDiskWithDatabasePartition)
{
    Bytes disk(8 * kMiB, 0);
    // LDM metadata at LBA 34 (1 MiB), LDM data from LBA 4096.
    svt::writeGpt(disk, {{"5808C8AA-7E8F-42E0-85D2-E1E90434CFB3", 34, 34 + 2047},
                         {"AF9B60A0-1431-4F62-BC68-3311714A69AD", 4096, 16383}});
    svt::LdmDatabase db;
    db.ownGuid = "cccccccc-0000-0000-0000-000000000003";
    db.disks = {{"D1", "Disk1", db.ownGuid}};
    db.partitions = {{"P1", "Volume1", 2048, 0, "D1"}};
    svt::putBytes(disk, 34 * 512, db.build());
    svt::putBytes(disk, (4096 + 2048) * 512, fixtureBytes("fs-ntfs-small.raw"));
    MemDisk d(disk);
    d.parse();
    auto got = svt::listedPartitions();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].fsType, FS_NTFS);
    EXPECT_EQ(got[0].offset, (4096u + 2048) * 512);
}

TEST(DynamicDisk, LyingDatabaseStaysInsideItsTables)
{
    svt::LdmDatabase db;
    db.ownGuid = "dddddddd-0000-0000-0000-000000000004";
    db.diskCount = 1000;  // far more members than devices
    // Disk names whose last character gives no usable index, and one that does.
    db.disks = {{"D0", "Disk0", "x"}, {"DZ", "DiskZ", "y"}, {"DB", "Disk~", "z"},
                {"DE", "", "w"},      {"D1", "Disk1", db.ownGuid}};
    // Far more partition records than the record list holds, and more
    // simple volumes than there are offset slots.
    for (int i = 0; i < 40; i++)
        db.partitions.push_back({"P" + std::to_string(i), "V", kStart1MiB, 0, "D1"});
    for (int i = 0; i < 200; i++)
        db.partitions.push_back({"Q", "W", (uint64_t)i * 7, 0, "D1"});
    Bytes disk = dynamicDisk(8 * kMiB, db);
    svt::putBytes(disk, kMiB, fixtureBytes("fs-ntfs-small.raw"));
    MemDisk d(disk);
    d.parse();
    auto got = svt::listedPartitions();
    ASSERT_EQ(got.size(), 1u);  // forty records of one volume: one partition
    EXPECT_EQ(got[0].fsType, FS_NTFS);
    EXPECT_EQ(_Gindx, -1);

    // Record sizes that would make the per-sector count explode or divide
    // by zero.
    for (uint32_t size : {0u, 1u, 7u, 0xFFFFFFFFu}) {
        db.recordSize = size;
        Bytes bad = dynamicDisk(8 * kMiB, db);
        MemDisk b(bad);
        b.parse();
        EXPECT_LE(svt::listedPartitions().size(), 1u) << size;
    }
}

TEST(DynamicDisk, StringsRunningOffTheEndOfTheDatabase)
{
    svt::LdmDatabase db;
    db.ownGuid = "eeeeeeee-0000-0000-0000-000000000005";
    db.disks = {{"D1", "Disk1", db.ownGuid}};
    Bytes disk = dynamicDisk(4 * kMiB, db);
    // The last sector of the database: a VBLK record whose var-strings
    // claim 255 bytes each, past the end of the buffer.
    size_t last = disk.size() - 512;
    for (size_t i = last; i < disk.size(); i++)
        disk[i] = 0xFF;
    svt::putText(disk, last, "VBLK");
    disk[last + 19] = 0x33;
    svt::putText(disk, last + 384, "VBLK");
    disk[last + 384 + 19] = 0x34;
    MemDisk d(disk);
    d.parse();
    EXPECT_TRUE(svt::listedPartitions().empty());
}

TEST(DynamicDisk, MissingOrShortDatabaseListsNothing)
{
    Bytes disk(4 * kMiB, 0);
    svt::mbrEntry(disk, 0, 0, 0x42, 63, 1000);
    svt::mbrSignature(disk, 0);
    {
        MemDisk d(disk);
        d.parse();
        EXPECT_TRUE(svt::listedPartitions().empty());
    }
    Bytes tiny(600 * 1024, 0);  // smaller than the database itself
    svt::mbrEntry(tiny, 0, 0, 0x42, 63, 1000);
    svt::mbrSignature(tiny, 0);
    MemDisk d(tiny);
    d.parse();
    EXPECT_TRUE(svt::listedPartitions().empty());
}

}  // namespace
