// File-system probes on real volumes served from memory, with the edits
// that only a test can make: odd sector sizes, damaged labels, hostile
// superblocks, HFS headers.
#include <gtest/gtest.h>

#include "part_util.h"
#include "test_support.h"

using svt::Bytes;
using svt::MemDisk;

namespace {

Bytes fixtureBytes(const std::string &name)
{
    Bytes b = svt::readRange(svt::fixture("partitions") + "/" + name, 0, UINT64_MAX);
    EXPECT_FALSE(b.empty()) << name;
    return b;
}

// A scratch record at an offset, freed with whatever a probe put in it.
struct Scratch {
    Partiton_Struct p{};
    ~Scratch() { free(p.BootData); }
};

bool validUtf8(const std::string &s)
{
    size_t i = 0;
    while (i < s.size()) {
        uint8_t c = (uint8_t)s[i];
        size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (n == 0 || i + n > s.size())
            return false;
        for (size_t k = 1; k < n; k++)
            if (((uint8_t)s[i + k] & 0xC0) != 0x80)
                return false;
        i += n;
    }
    return true;
}

// Byte offset of the FAT32 root directory's first entry.
size_t fat32RootDir(const Bytes &b)
{
    uint32_t bps = b[11] | b[12] << 8, spc = b[13], reserved = b[14] | b[15] << 8;
    uint32_t fat = b[36] | b[37] << 8 | b[38] << 16 | (uint32_t)b[39] << 24;
    uint32_t root = b[44] | b[45] << 8 | b[46] << 16 | (uint32_t)b[47] << 24;
    return ((size_t)reserved + b[16] * (size_t)fat + spc * (size_t)(root - 2)) * bps;
}

size_t labelEntry(const Bytes &b, size_t dir)
{
    for (size_t e = dir; e < dir + 4096; e += 32)
        if ((b[e + 11] & 0x08) && (b[e + 11] & 0x0F) != 0x0F)
            return e;
    ADD_FAILURE() << "no label entry";
    return dir;
}

TEST(FatProbe, BytesPerSectorMustBeTheDeviceSectorSize)
{
    Bytes card = fixtureBytes("card-fat16.img");
    {
        MemDisk d(card);
        Scratch s;
        EXPECT_EQ(check_FAT(d.node(), &s.p), 0);
        EXPECT_EQ(s.p.FsType, FS_FAT16);
    }
    svt::putLe16(card, 11, 4096);  // says 4096-byte sectors on a 512-byte device
    MemDisk d(card);
    Scratch s;
    EXPECT_EQ(check_FAT(d.node(), &s.p), 2);
    EXPECT_EQ(s.p.FsType, FS_UNKNOWN);
    EXPECT_EQ(s.p.BootData, nullptr);
}

TEST(FatProbe, FourKibSectorDiskWithMbrListsFatAndExt)
{
    // 4096-byte sectors throughout: table entries count 4 KiB sectors, and
    // every sector buffer must hold 4096 bytes.
    Bytes fat = fixtureBytes("fs-fat32-4k.raw");
    Bytes ext = fixtureBytes("fs-ext4-4k.raw");
    Bytes disk(64u << 20, 0);
    svt::mbrEntry(disk, 0, 0, 0x0C, 256, (uint32_t)(fat.size() / 4096));
    svt::mbrEntry(disk, 0, 1, 0x05, 256 + 10240, 4096);
    svt::mbrSignature(disk, 0);
    svt::putBytes(disk, 1u << 20, fat);
    // Extended partition at sector 10496: one logical ext4 one MiB later.
    size_t ebr = (size_t)(256 + 10240) * 4096;
    svt::mbrEntry(disk, ebr, 0, 0x83, 256, (uint32_t)(ext.size() / 4096));
    svt::mbrSignature(disk, ebr);
    svt::putBytes(disk, ebr + 256 * 4096, ext);

    {
        MemDisk d(disk, 4096);
        d.parse();
        auto got = svt::listedPartitions();
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].fsType, FS_FAT32);
        EXPECT_EQ(got[0].offset, 1u << 20);
        EXPECT_EQ(got[0].size, fat.size());
        EXPECT_EQ(got[0].volumeName, "FOURK");
        EXPECT_EQ(got[1].fsType, FS_EXT4);
        EXPECT_EQ(got[1].offset, ebr + 256 * 4096);
        EXPECT_EQ(got[1].size, ext.size());
        EXPECT_EQ(got[1].volumeName, "e4k");
    }
    // The same disk read as 512-byte sectors finds nothing sensible.
    MemDisk small(disk, 512);
    small.parse();
    for (auto &p : svt::listedPartitions())
        EXPECT_NE(p.offset, 1u << 20);
}

TEST(FatProbe, RootDirectoryLabelWinsAndBadLabelsAreDropped)
{
    Bytes card = fixtureBytes("card-fat32.img");
    size_t entry = labelEntry(card, fat32RootDir(card));
    svt::putText(card, 71, "BOOTSECTOR ");
    {
        MemDisk d(card);
        Scratch s;
        ASSERT_EQ(check_FAT(d.node(), &s.p), 0);
        EXPECT_STREQ(s.p.VolumeName, "MEMCARD");
        EXPECT_STREQ(s.p.FsInfo, "FAT32");
    }
    card[entry] = 0xE5;  // label entry deleted: the boot sector's label counts
    {
        MemDisk d(card);
        Scratch s;
        ASSERT_EQ(check_FAT(d.node(), &s.p), 0);
        EXPECT_STREQ(s.p.VolumeName, "BOOTSECTOR");
    }
    svt::putText(card, 71, "WHAT?      ");
    {
        MemDisk d(card);
        Scratch s;
        ASSERT_EQ(check_FAT(d.node(), &s.p), 0);
        EXPECT_STREQ(s.p.VolumeName, "");
    }
    // The root directory cannot be read: the boot sector still names it.
    svt::putText(card, 71, "FALLBACK   ");
    card[entry] = 'M';
    MemDisk d(card);
    d.mem().failFrom = fat32RootDir(card);
    d.mem().failTo = fat32RootDir(card) + 512;
    Scratch s;
    ASSERT_EQ(check_FAT(d.node(), &s.p), 0);
    EXPECT_STREQ(s.p.VolumeName, "FALLBACK");
}

TEST(FatProbe, Fat16LabelIsTrimmedAndCheckedInTheBootSector)
{
    Bytes card = fixtureBytes("card-fat12.img");
    // No label entry in the root directory: only the boot sector names it.
    size_t dir = (size_t)(card[14] | card[15] << 8) * 512 + card[16] * (size_t)(card[22] | card[23] << 8) * 512;
    size_t entry = labelEntry(card, dir);
    card[entry] = 0xE5;
    svt::putText(card, 43, "MY CARD    ");
    {
        MemDisk d(card);
        Scratch s;
        ASSERT_EQ(check_FAT(d.node(), &s.p), 0);
        EXPECT_STREQ(s.p.VolumeName, "MY CARD");
        EXPECT_STREQ(s.p.FsInfo, "FAT12");
    }
    svt::putText(card, 43, "A|B        ");
    {
        MemDisk d(card);
        Scratch s;
        ASSERT_EQ(check_FAT(d.node(), &s.p), 0);
        EXPECT_STREQ(s.p.VolumeName, "");
    }
    card[38] = 0x28;  // no extended boot signature: no label at all
    svt::putText(card, 43, "IGNORED    ");
    MemDisk d(card);
    Scratch s;
    ASSERT_EQ(check_FAT(d.node(), &s.p), 0);
    EXPECT_STREQ(s.p.VolumeName, "");
}

TEST(FatProbe, DamagedBootSectorsAreRejectedWithTheirCheck)
{
    Bytes good = fixtureBytes("card-fat16.img");
    struct Case {
        const char *what;
        size_t off;
        uint8_t value;
        int32_t code;
    } cases[] = {
        {"no jump", 0, 0x00, 1},         {"three FATs", 16, 3, 1},
        {"3 sectors per cluster", 13, 3, 3}, {"media byte", 21, 0x12, 4},
        {"FAT too short", 22, 1, 7},
    };
    for (const Case &c : cases) {
        Bytes b = good;
        b[c.off] = c.value;
        if (c.off == 22)
            b[23] = 0;
        MemDisk d(b);
        Scratch s;
        EXPECT_EQ(check_FAT(d.node(), &s.p), c.code) << c.what;
        EXPECT_EQ(s.p.BootData, nullptr) << c.what;
    }
    // Larger than the partition the table gives it.
    MemDisk d(good);
    Scratch s;
    s.p.PartSize = good.size() / 2;
    EXPECT_EQ(check_FAT(d.node(), &s.p), 7);
}

TEST(Probes, AFailedProbeLeavesTheRecordAlone)
{
    Bytes card = fixtureBytes("card-fat32.img");
    MemDisk d(card);
    Partiton_Struct before;
    memset(&before, 0x5A, sizeof before);
    before.BootData = nullptr;
    before.Device = nullptr;
    before.ExtraBuf = nullptr;
    before.PartOffset = 0;
    before.PartSize = 0;
    Partiton_Struct p = before;
    EXPECT_NE(check_NTFS(d.node(), &p), 0);
    EXPECT_NE(check_EXFAT(d.node(), &p), 0);
    EXPECT_NE(check_EXT(d.node(), &p), 0);
    EXPECT_NE(check_HFS(d.node(), &p), 0);
    EXPECT_NE(check_HFSP(d.node(), &p), 0);
    EXPECT_EQ(memcmp(&p, &before, sizeof p), 0);
}

TEST(Probes, ShortReadsAreFailures)
{
    Bytes card = fixtureBytes("card-ntfs.img");
    MemDisk d(card);
    d.mem().shortFrom = 300;  // the boot sector comes back short
    Scratch s;
    EXPECT_NE(check_NTFS(d.node(), &s.p), 0);
    EXPECT_EQ(s.p.BootData, nullptr);
    d.parse();
    EXPECT_TRUE(svt::listedPartitions().empty());
}

TEST(NtfsProbe, ClusterSizesUpToTwoMebibytes)
{
    // Sectors per cluster: a count up to 128, else 2^(256 - value) sectors.
    const struct {
        uint8_t value;
        uint32_t block;  // 0: not NTFS
    } cases[] = {{0x08, 4096},     {0x80, 65536},     {0xF8, 131072}, {0xF4, 2097152},
                 {0xF3, 0},        {0x81, 0},         {0x03, 0},      {0x00, 0}};
    Bytes card = fixtureBytes("card-ntfs.img");
    ASSERT_EQ(card[11] | card[12] << 8, 512);
    for (const auto &c : cases) {
        Bytes b = card;
        b[13] = c.value;
        MemDisk d(b);
        Scratch s;
        EXPECT_EQ(check_NTFS(d.node(), &s.p) == 0, c.block != 0) << std::hex << (int)c.value;
        if (c.block) {
            EXPECT_EQ(get_blocksize(&s.p), c.block) << std::hex << (int)c.value;
        }
    }
}

TEST(NtfsProbe, LongNonLatinNameIsCutOnACharacterBoundary)
{
    Bytes vol = fixtureBytes("fs-ntfs-longname.raw");
    MemDisk d(vol);
    Scratch s;
    ASSERT_EQ(check_NTFS(d.node(), &s.p), 0);
    EXPECT_EQ(s.p.FsType, FS_NTFS);
    EXPECT_STREQ(s.p.FsInfo, "");
    std::string name = s.p.VolumeName;
    EXPECT_EQ(name, "АБВГДЕЖЗИЙКЛМНО");  // 15 characters, 30 bytes
    EXPECT_TRUE(validUtf8(name));
}

TEST(NtfsProbe, UnreadableMftKeepsTheVolumeWithoutAName)
{
    Bytes vol = fixtureBytes("card-ntfs.img");
    uint64_t cluster = (uint64_t)vol[13] * (vol[11] | vol[12] << 8);
    uint64_t mft = 0;
    for (int i = 7; i >= 0; i--)
        mft = mft << 8 | vol[48 + i];
    size_t at = (size_t)(mft * cluster);
    for (size_t i = 0; i < 4096; i++)
        vol[at + i] = 0xFF;  // records destroyed
    MemDisk d(vol);
    Scratch s;
    ASSERT_EQ(check_NTFS(d.node(), &s.p), 0);
    EXPECT_STREQ(s.p.VolumeName, "");
    // An MFT cluster beyond the device: no read, still NTFS.
    svt::putLe64(vol, 48, 1ull << 40);
    MemDisk far(vol);
    Scratch t;
    ASSERT_EQ(check_NTFS(far.node(), &t.p), 0);
    EXPECT_STREQ(t.p.VolumeName, "");
}

TEST(ExtProbe, SuperblockChecksReturnTheirNumber)
{
    Bytes good = fixtureBytes("ext-ext3.img");
    struct Case {
        const char *what;
        size_t off;
        uint32_t value;
        int width;
        int32_t code;
    } cases[] = {
        {"magic", 1024 + 56, 0x1234, 2, 1},     {"free blocks", 1024 + 12, 0xFFFFFFFF, 4, 2},
        {"free inodes", 1024 + 16, 0xFFFFFFFF, 4, 3}, {"errors", 1024 + 60, 4, 2, 4},
        {"state", 1024 + 58, 9, 2, 5},          {"log block size", 1024 + 24, 3, 4, 7},
    };
    for (const Case &c : cases) {
        Bytes b = good;
        if (c.width == 2)
            svt::putLe16(b, c.off, (uint16_t)c.value);
        else
            svt::putLe32(b, c.off, c.value);
        MemDisk d(b);
        Scratch s;
        EXPECT_EQ(check_EXT(d.node(), &s.p), c.code) << c.what;
    }
    MemDisk d(good);
    Scratch s;
    s.p.PartSize = good.size() - 4096;  // the table gives less than the file system needs
    EXPECT_EQ(check_EXT(d.node(), &s.p), 9);
    svt::MemDevice mem(good);
    EXPECT_EQ(test_EXT(nullptr, sv_view_make(good.data() + 1024, 1024), nullptr), 8);
}

TEST(ExtProbe, TypeAndFeatureWords)
{
    Bytes b = fixtureBytes("ext-plain2.img");
    auto probe = [&](const Bytes &img) {
        MemDisk d(img);
        Scratch s;
        EXPECT_EQ(check_EXT(d.node(), &s.p), 0);
        return std::make_pair(s.p.FsType, std::string(s.p.FsInfo));
    };
    EXPECT_EQ(probe(b), std::make_pair((int32_t)FS_EXT2, std::string("EXT2")));
    b[1024 + 92] |= 0x04;  // has_journal
    EXPECT_EQ(probe(b).first, FS_EXT3);
    // Every word at once: the field keeps the whole words that fit.
    b[1024 + 100] |= 0x03;
    b[1024 + 96] |= 0x0C;
    svt::putLe16(b, 1024 + 90, 3);
    auto all = probe(b);
    EXPECT_EQ(all.second, "EXT3 Large file Sparse superblock Recover");
    EXPECT_LT(all.second.size(), (size_t)SV_FSINFO_LEN);
    b[1024 + 100] |= 0x08;  // huge_file
    EXPECT_EQ(probe(b).first, FS_EXT4);
}

TEST(HfsProbe, MasterDirectoryBlockWithMacRomanName)
{
    Bytes vol = svt::hfsVolume(4u << 20, 2000, 2048, std::string("Caf\x8E Photos"));
    MemDisk d(vol);
    d.parse();
    auto got = svt::listedPartitions();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].fsType, FS_HFS);
    EXPECT_EQ(got[0].fsInfo, "HFS");
    EXPECT_EQ(got[0].volumeName, "Café Photos");
    EXPECT_EQ(got[0].size, 2000u * 2048);
    EXPECT_EQ(get_blocksize(got[0].rec), 2048u);

    Bytes bad = vol;
    svt::putBe16(bad, 1024 + 34, 2001);  // more free blocks than blocks
    MemDisk b(bad);
    Scratch s;
    EXPECT_EQ(check_HFS(b.node(), &s.p), 4);
    Bytes huge = svt::hfsVolume(4096, 65535, 0x7FFFFE00, "x");  // beyond the largest HFS volume
    MemDisk h(huge);
    Scratch t;
    EXPECT_EQ(check_HFS(h.node(), &t.p), 5);
}

TEST(HfsPlusProbe, SignatureMustMatchVersion)
{
    struct Case {
        bool hfsx;
        uint16_t version;
        int32_t fs;
    } cases[] = {{false, 4, FS_HFSPLUS}, {true, 5, FS_HFSX}, {false, 5, FS_UNKNOWN},
                 {true, 4, FS_UNKNOWN}};
    for (const Case &c : cases) {
        Bytes vol = svt::hfsPlusVolume(2u << 20, 512, 4096, c.hfsx, c.version);
        MemDisk d(vol);
        d.parse();
        auto got = svt::listedPartitions();
        if (c.fs == FS_UNKNOWN) {
            EXPECT_TRUE(got.empty());
            continue;
        }
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].fsType, c.fs);
        EXPECT_EQ(got[0].fsInfo, c.hfsx ? "HFSX" : "HFS+");
        EXPECT_EQ(got[0].size, 512u * 4096);
        EXPECT_EQ(get_blocksize(got[0].rec), 4096u);
    }
}

TEST(HfsPlusProbe, RealVolumeMadeOnMacOS)
{
    std::string path = svt::sourceDir() + "/tests/data/hfsplus-macos.raw";
    Bytes vol = svt::readFile(path);
    if (vol.empty())
        FAIL() << path << " is missing";
    MemDisk d(vol);
    d.parse();
    auto got = svt::listedPartitions();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].fsType, FS_HFSPLUS);
    EXPECT_EQ(got[0].fsInfo, "HFS+");
    EXPECT_EQ(got[0].offset, 0u);
    EXPECT_EQ(got[0].size, 1014u * 4096);  // total blocks x block size of the header
    EXPECT_EQ(get_blocksize(got[0].rec), 4096u);
}

}  // namespace
