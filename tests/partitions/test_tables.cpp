// Partition tables built by hand where no tool makes them: chains that loop,
// tables that lie about their size, damaged and truncated media.
#include <gtest/gtest.h>

#include "part_util.h"
#include "test_support.h"

using svt::Bytes;
using svt::MemDisk;

namespace {

const char *kEfi = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";
const char *kBasic = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";
const char *kHfsPlus = "48465300-0000-11AA-AA11-00306543ECAC";

Bytes fixtureBytes(const std::string &name)
{
    return svt::readRange(svt::fixture("partitions") + "/" + name, 0, UINT64_MAX);
}

// A disk with an extended partition at sector 2048 whose first EBR holds
// one logical FAT12 volume; the caller adds links.
Bytes diskWithLogicalFat(size_t size)
{
    Bytes fat = fixtureBytes("card-fat12.img");  // 2 MiB
    Bytes disk(size, 0);
    svt::mbrEntry(disk, 0, 0, 0x05, 2048, (uint32_t)(size / 512 - 2048));
    svt::mbrSignature(disk, 0);
    svt::mbrEntry(disk, 2048 * 512, 0, 0x01, 2048, (uint32_t)(fat.size() / 512));
    svt::mbrSignature(disk, 2048 * 512);
    svt::putBytes(disk, 4096 * 512, fat);
    return disk;
}

TEST(ExtendedChain, SelfReferencingEbrEnds)
{
    Bytes disk = diskWithLogicalFat(8u << 20);
    // EBR A (the chain base, sector 2048) links to B at base + 100; B links
    // to itself.
    svt::mbrEntry(disk, 2048 * 512, 1, 0x05, 100, 1);
    size_t b = (2048 + 100) * 512;
    svt::mbrEntry(disk, b, 0, 0x05, 100, 1);
    svt::mbrSignature(disk, b);
    MemDisk d(disk);
    d.parse();
    auto got = svt::listedPartitions();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].offset, 4096u * 512);
    EXPECT_EQ(got[0].fsType, FS_FAT12);
    EXPECT_EQ(EbrChain.Count, 2);
}

TEST(ExtendedChain, LoopThroughSeveralEbrsAndBackToTheFirstEnds)
{
    Bytes disk = diskWithLogicalFat(8u << 20);
    // A -> B -> C -> B, and C also links back to A through every slot.
    svt::mbrEntry(disk, 2048 * 512, 1, 0x0F, 10, 1);
    size_t b = (2048 + 10) * 512, c = (2048 + 20) * 512;
    svt::mbrEntry(disk, b, 0, 0x85, 20, 1);
    svt::mbrSignature(disk, b);
    svt::mbrEntry(disk, c, 0, 0x05, 10, 1);
    svt::mbrEntry(disk, c, 1, 0x05, 10, 1);
    svt::mbrEntry(disk, c, 2, 0x05, 20, 1);
    svt::mbrEntry(disk, c, 3, 0x05, 10, 1);
    svt::mbrSignature(disk, c);
    MemDisk d(disk);
    d.parse();
    EXPECT_EQ(svt::listedPartitions().size(), 1u);
    EXPECT_EQ(EbrChain.Count, 3);
}

TEST(ExtendedChain, OverlongChainStopsAtItsBudget)
{
    // 300 distinct EBRs, each linking to the next: far more than any real
    // disk holds.  The walk ends, and the 24 recording slots are not
    // overrun.
    Bytes disk = diskWithLogicalFat(8u << 20);
    for (uint32_t i = 0; i < 300; i++) {
        size_t at = (2048 + 1 + (size_t)i) * 512;
        // The first EBR links from its second slot, the others from their first.
        svt::mbrEntry(disk, at - 512, i == 0 ? 1 : 0, 0x05, 1 + i, 1);
        svt::mbrSignature(disk, at);
    }
    MemDisk d(disk);
    d.parse();
    EXPECT_EQ(svt::listedPartitions().size(), 1u);
    EXPECT_GT(EbrChain.Count, SV_EBR_SLOTS);
    EXPECT_LE(EbrChain.Count, 128);
    EXPECT_EQ(Get_GlobOffset()[0], 2048u * 512);
    EXPECT_NE(Get_GlobOffset()[SV_EBR_SLOTS - 1], 0u);
}

TEST(Mbr, DynamicAndProtectiveEntriesEndTheTable)
{
    // A 0x42 entry first: the dynamic-disk reader finds no database, and the
    // FAT partition after it is not looked at.
    Bytes fat = fixtureBytes("card-fat12.img");
    Bytes disk(8u << 20, 0);
    svt::mbrEntry(disk, 0, 0, 0x42, 63, 100);
    svt::mbrEntry(disk, 0, 1, 0x01, 2048, (uint32_t)(fat.size() / 512));
    svt::mbrSignature(disk, 0);
    svt::putBytes(disk, 2048 * 512, fat);
    {
        MemDisk d(disk);
        d.parse();
        EXPECT_TRUE(svt::listedPartitions().empty());
        EXPECT_EQ(_Gindx, -1);
        EXPECT_EQ(Get_NewsPartition_Offset(), UINT64_MAX);
    }
    // The same FAT entry first is found.
    svt::mbrEntry(disk, 0, 0, 0x01, 2048, (uint32_t)(fat.size() / 512));
    svt::mbrEntry(disk, 0, 1, 0x42, 63, 100);
    MemDisk d(disk);
    d.parse();
    EXPECT_EQ(svt::listedPartitions().size(), 1u);
}

TEST(Mbr, BareVolumeWinsOverATableInTheSameSector)
{
    Bytes card = fixtureBytes("card-fat16.img");
    // A FAT boot sector whose code area also looks like a table entry.
    svt::mbrEntry(card, 0, 0, 0x07, 8, 64);
    MemDisk d(card);
    d.parse();
    auto got = svt::listedPartitions();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].offset, 0u);
    EXPECT_EQ(got[0].fsType, FS_FAT16);
}

TEST(Mbr, EntriesBeyondTheMediumAreNotRead)
{
    Bytes fat = fixtureBytes("card-fat12.img");
    Bytes disk(4u << 20, 0);
    svt::mbrEntry(disk, 0, 0, 0x01, 2048, (uint32_t)(fat.size() / 512));
    svt::mbrEntry(disk, 0, 1, 0x0C, 0xFFFFFF00u, 0xFFFFFFFFu);
    svt::mbrEntry(disk, 0, 2, 0x05, 0xFFFFFFF0u, 10);
    svt::mbrEntry(disk, 0, 3, 0x83, 8191, 100);  // the last sector: no room for a superblock
    svt::mbrSignature(disk, 0);
    svt::putBytes(disk, 2048 * 512, fat);
    MemDisk d(disk);
    d.parse();
    EXPECT_EQ(svt::listedPartitions().size(), 1u);
    // Sector 0, the FAT boot sector, its root directory, and the place of a
    // superblock (a second file system there): nothing past the end.
    EXPECT_EQ(d.mem().reads, 4);
}

TEST(HostileMedia, ZeroesAndNoiseGiveAnEmptyList)
{
    {
        MemDisk d(Bytes(1u << 20, 0));
        d.parse();
        EXPECT_TRUE(svt::listedPartitions().empty());
    }
    for (uint32_t seed = 1; seed <= 40; seed++) {
        Bytes noise = svt::patternBytes(256 * 1024, seed);
        if (seed % 2)
            svt::mbrSignature(noise, 0);  // looks like a table
        MemDisk d(noise);
        d.parse();
        for (auto &p : svt::listedPartitions())
            EXPECT_LT(p.offset, noise.size());
    }
    for (size_t len : {0, 1, 100, 511, 512, 1500}) {
        MemDisk d(Bytes(len, 0xAA));
        d.parse();
        EXPECT_TRUE(svt::listedPartitions().empty()) << len;
    }
}

TEST(HostileMedia, TruncatedImageKeepsWhatIsThere)
{
    std::string dir = svt::fixture("partitions");
    // Cut in the middle of the sixth logical partition (FAT16 at 74 MiB).
    Bytes mbr = svt::readRange(dir + "/mbr.img", 0, 80u << 20);
    ASSERT_EQ(mbr.size(), 80u << 20);
    MemDisk d(mbr);
    d.parse();
    auto got = svt::listedPartitions();
    ASSERT_EQ(got.size(), 7u);  // the exFAT volume after the cut is gone
    EXPECT_EQ(got.back().fsType, FS_FAT16);
    // It ends where the medium ends; what its boot sector claims is kept
    // for the listing.
    EXPECT_EQ(got.back().offset + got.back().size, mbr.size());
    Salvitra_SizeClaim c{};
    ASSERT_EQ(Salvitra_GetSizeClaim(0, &c), 0);
    EXPECT_EQ(c.PartOffset, got.back().offset);
    EXPECT_GT(c.PartOffset + c.Claimed, mbr.size());
    EXPECT_EQ(c.Holds, got.back().size);
    EXPECT_STREQ(c.Source, "boot sector");
}

TEST(Gpt, EntryCountOfTwoToThe32IsBounded)
{
    Bytes fat = fixtureBytes("card-fat16.img");  // 20 MiB
    Bytes disk(24u << 20, 0);
    svt::writeGpt(disk, {{kEfi, 2048, 2048 + fat.size() / 512 - 1}}, 0xFFFFFFFFu);
    svt::putBytes(disk, 2048 * 512, fat);
    MemDisk d(disk);
    d.parse();
    auto got = svt::listedPartitions();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].fsType, FS_FAT16);
    EXPECT_EQ(got[0].offset, 2048u * 512);
}

TEST(Gpt, EntryArrayOrPartitionsBeyondTheMedium)
{
    Bytes disk(1u << 20, 0);
    svt::writeGpt(disk, {{kBasic, 1u << 30, (1u << 30) + 100}, {kEfi, 100, 200}});
    svt::putLe64(disk, 512 + 72, 1ull << 40);  // entry array far beyond the end
    {
        MemDisk d(disk);
        d.parse();
        EXPECT_TRUE(svt::listedPartitions().empty());
    }
    svt::putLe64(disk, 512 + 72, 2);
    MemDisk d(disk);
    d.parse();
    EXPECT_TRUE(svt::listedPartitions().empty());
}

TEST(Gpt, DamagedPrimaryHeaderFallsBackToTheBackup)
{
    Bytes gpt = fixtureBytes("gpt.img");
    ASSERT_FALSE(gpt.empty());
    for (size_t i = 512; i < 1024; i++)
        gpt[i] = 0;  // primary header wiped
    for (size_t i = 1024; i < 34 * 512; i++)
        gpt[i] = 0;  // and its entry array
    MemDisk d(gpt);
    d.parse();
    auto got = svt::listedPartitions();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].fsType, FS_FAT16);
    EXPECT_EQ(got[3].fsType, FS_EXT4);
}

TEST(Gpt, HfsPlusTypeHoldsTheRealMacVolume)
{
    Bytes hfs = svt::readFile(svt::sourceDir() + "/tests/data/hfsplus-macos.raw");
    if (hfs.empty())
        FAIL() << "tests/data/hfsplus-macos.raw is missing";
    Bytes disk(8u << 20, 0);
    svt::writeGpt(disk, {{kHfsPlus, 2048, 2048 + hfs.size() / 512 - 1}});
    svt::putBytes(disk, 2048 * 512, hfs);
    MemDisk d(disk);
    d.parse();
    auto got = svt::listedPartitions();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].fsType, FS_HFSPLUS);
    EXPECT_EQ(got[0].offset, 1u << 20);
    EXPECT_EQ(got[0].size, 1014u * 4096);  // the volume header's blocks, not the entry's
}

// An Apple map: driver descriptor, the map's own entry, then `entries`.
struct MapEntry {
    std::string name, type;
    uint32_t start, count;
};
Bytes appleMap(size_t size, const std::vector<MapEntry> &entries, uint32_t mapCount = 0)
{
    Bytes disk(size, 0);
    svt::putText(disk, 0, "ER");
    svt::putBe16(disk, 2, 512);
    std::vector<MapEntry> all = {{"Apple", "Apple_partition_map", 1, 63}};
    all.insert(all.end(), entries.begin(), entries.end());
    for (size_t i = 0; i < all.size(); i++) {
        size_t e = (i + 1) * 512;
        svt::putText(disk, e, "PM");
        svt::putBe32(disk, e + 4, mapCount ? mapCount : (uint32_t)all.size());
        svt::putBe32(disk, e + 8, all[i].start);
        svt::putBe32(disk, e + 12, all[i].count);
        svt::putText(disk, e + 16, all[i].name);
        svt::putText(disk, e + 48, all[i].type);
    }
    return disk;
}

TEST(AppleMap, HfsEntriesAreProbedAndOthersSkipped)
{
    Bytes hfsp = svt::hfsPlusVolume(2u << 20, 500, 4096);
    Bytes hfs = svt::hfsVolume(1u << 20, 400, 1024, "Old Mac");
    Bytes ext = fixtureBytes("ext-plain2.img");
    Bytes disk = appleMap(16u << 20, {{"Macintosh HD", "Apple_HFS", 2048, 4096},
                                      {"Classic", "Apple_HFS", 6144, 2048},
                                      {"Driver", "Apple_Driver43", 8192, 64},
                                      {"swap", "Apple_UNIX_SVR2", 8192, 8192},
                                      {"Extra", "Apple_Free", 16384, 100}});
    svt::putBytes(disk, 2048 * 512, hfsp);
    svt::putBytes(disk, 6144 * 512, hfs);
    svt::putBytes(disk, 8192 * 512, ext);  // in the swap entry: skipped by name
    MemDisk d(disk);
    d.parse();
    auto got = svt::listedPartitions();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].fsType, FS_HFSPLUS);
    EXPECT_EQ(got[0].offset, 2048u * 512);
    EXPECT_EQ(got[0].size, 4096u * 512);  // the map's size, not the volume's
    EXPECT_EQ(got[1].fsType, FS_HFS);
    EXPECT_EQ(got[1].volumeName, "Old Mac");
    EXPECT_EQ(got[1].accessMode, '?');
}

TEST(AppleMap, RealMacVolumeInAnAppleHfsEntry)
{
    Bytes hfs = svt::readFile(svt::sourceDir() + "/tests/data/hfsplus-macos.raw");
    if (hfs.empty())
        FAIL() << "tests/data/hfsplus-macos.raw is missing";
    Bytes disk = appleMap(8u << 20, {{"disk image", "Apple_HFS", 64, (uint32_t)(hfs.size() / 512)}});
    svt::putBytes(disk, 64 * 512, hfs);
    MemDisk d(disk);
    d.parse();
    auto got = svt::listedPartitions();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].fsType, FS_HFSPLUS);
    EXPECT_EQ(got[0].fsInfo, "HFS+");
    EXPECT_EQ(got[0].size, hfs.size());
}

TEST(AppleMap, MapClaimingABillionEntriesEnds)
{
    Bytes hfsp = svt::hfsPlusVolume(1u << 20, 200, 4096);
    Bytes disk = appleMap(4u << 20, {{"Macintosh HD", "Apple_HFS", 2048, 2048}}, 1000000000u);
    svt::putBytes(disk, 2048 * 512, hfsp);
    // Every later block also looks like a map entry.
    for (size_t blk = 3; blk < 2048; blk++) {
        svt::putText(disk, blk * 512, "PM");
        svt::putText(disk, blk * 512 + 48, "Apple_HFS");
        svt::putBe32(disk, blk * 512 + 8, 2048);
        svt::putBe32(disk, blk * 512 + 12, 2048);
    }
    MemDisk d(disk);
    d.parse();
    EXPECT_EQ(svt::listedPartitions().size(), 1u);  // one volume, found again and again
    EXPECT_LT(d.mem().reads, 2048 * 8);
}

}  // namespace

namespace {

std::vector<std::string> rejections()
{
    std::vector<std::string> out;
    char text[256];
    int32_t dev;
    uint64_t off;
    for (int32_t i = 0; Salvitra_GetRejection(i, &dev, &off, text, sizeof text) == 0; i++)
        out.push_back(std::to_string(dev) + "@" + std::to_string(off) + " " + text);
    return out;
}

// Every entry that gave no partition, and a medium that gave none at all,
// is noted with the reason, until the list is torn down.
TEST(Rejections, EveryUnusedEntryAndBareVolumeSaysWhy)
{
    Bytes fat = fixtureBytes("card-fat16.img");
    Bytes bad = fat;
    bad[13] = 3; // 3 sectors per cluster
    Bytes disk(2048 * 512 + 2 * fat.size(), 0);
    svt::mbrEntry(disk, 0, 0, 0x12, 63, 100);  // a vendor's recovery partition
    svt::mbrEntry(disk, 0, 1, 0x0C, 2048, (uint32_t)(fat.size() / 512));
    svt::mbrEntry(disk, 0, 2, 0x06, 2048 + (uint32_t)(fat.size() / 512), (uint32_t)(fat.size() / 512));
    svt::mbrSignature(disk, 0);
    svt::putBytes(disk, 2048 * 512, bad);
    svt::putBytes(disk, 2048 * 512 + fat.size(), fat);
    {
        MemDisk d(disk);
        d.parse();
        EXPECT_EQ(svt::listedPartitions().size(), 1u);
        auto r = rejections();
        ASSERT_EQ(r.size(), 2u);
        EXPECT_EQ(r[0], "3@32256 entry 1 of type 0x12: not a file system Salvitra reads");
        EXPECT_EQ(r[1].rfind("3@1048576 entry of type 0x0C: FAT boot sector with 3 sectors per cluster", 0), 0u)
            << r[1];
    }
    EXPECT_TRUE(rejections().empty()); // torn down with the list

    Bytes ntfs = fixtureBytes("card-ntfs.img");
    ASSERT_GT(ntfs.size(), 512u);
    ntfs[13] = 256 - 13; // 8192 sectors of 512 bytes per cluster
    {
        MemDisk d(ntfs);
        d.parse();
        EXPECT_TRUE(svt::listedPartitions().empty());
        auto r = rejections();
        ASSERT_EQ(r.size(), 1u);
        EXPECT_NE(r[0].find("NTFS boot sector with 4 MiB clusters: not supported"), std::string::npos) << r[0];
    }
    Bytes noise = svt::patternBytes(1 << 20, 5);
    MemDisk d(noise);
    d.parse();
    auto r = rejections();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_NE(r[0].find("no partition table"), std::string::npos) << r[0];
}

}  // namespace
