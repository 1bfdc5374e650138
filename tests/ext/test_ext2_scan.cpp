// libbriel on ext2 volumes made by mke2fs and debugfs: which deleted files
// it lists, under which names, and whether their data comes back exactly;
// then the same volumes damaged on purpose.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "briel.h"
#include "ext_fixture.h"

using namespace ext_test;

namespace {

struct Ext2Scan {
    int ok = 0;
    Ext2DirNode *head = nullptr;
    explicit Ext2Scan(Partiton_Struct *part)
    {
        ok = ext2_init(part);
        if (ok)
            head = ext2_searchfile();
    }
    ~Ext2Scan() { ext2_exit(); }

    std::vector<Ext2DirNode *> groups() const
    {
        std::vector<Ext2DirNode *> v;
        for (Ext2DirNode *n = head; n; n = ext2_get_next(n))
            v.push_back(n);
        return v;
    }
    Ext2DirNode *group(const std::string &name) const
    {
        for (Ext2DirNode *n = head; n; n = ext2_get_next(n))
            if (name == ext2_get_filename(n, EXT2_NAME_OF_DIR))
                return n;
        return nullptr;
    }
};

// A found file's data through the library alone: one read per block-list
// entry, holes as zeros, the last block cut.
std::vector<uint8_t> readThroughLibrary(Ext2FileNode *f, uint32_t *failures = nullptr)
{
    const uint32_t bs = ext2_get_blocksize();
    uint64_t size = (uint64_t)ext2_get_filesize(f);
    const uint32_t *list = ext2_get_fileblocklist(f);
    std::vector<uint8_t> out(size, 0);
    if (!list)
        return out;
    for (uint64_t off = 0, i = 0; off < size; off += bs, i++) {
        uint64_t piece = std::min<uint64_t>(bs, size - off);
        if (list[i] == 0)
            continue;
        uint64_t got = 0;
        if (!ext2_readfile(f, piece, &got, list[i], out.data() + off) || got != piece) {
            if (failures)
                (*failures)++;
        }
    }
    return out;
}

class Ext2Fixture : public ::testing::TestWithParam<const char *> {
protected:
    void SetUp() override
    {
        dir = svt::fixture("ext2");
        image = svt::readFile(dir + "/" + GetParam() + ".img");
        truth = readTruth(dir + "/" + GetParam() + ".truth");
        ASSERT_FALSE(image.empty());
        ASSERT_GT(truth.blockSize, 0u);
    }
    std::string dir;
    std::vector<uint8_t> image;
    Truth truth;
};

TEST_P(Ext2Fixture, ListsEveryDeletedFileAndItsDataComesBackExactly)
{
    svt::MemDevice dev(image);
    Ext2Scan scan(dev.partition(0, image.size(), FS_EXT2));
    ASSERT_EQ(scan.ok, 1);
    ASSERT_NE(scan.head, nullptr);
    EXPECT_EQ(ext2_get_blocksize(), truth.blockSize);
    EXPECT_EQ(get_ExportsData(), 100);

    // One node per block group, in order, named from 0.
    std::vector<Ext2DirNode *> groups = scan.groups();
    uint32_t groupCount = get32(image, 1024 + 0) / truth.inodesPerGroup;
    ASSERT_EQ(groups.size(), groupCount);
    for (uint32_t g = 0; g < groupCount; g++) {
        EXPECT_STREQ(ext2_get_filename(groups[g], EXT2_NAME_OF_DIR), groupName(g).c_str());
        EXPECT_EQ(groups[g]->Prev, g ? groups[g - 1] : nullptr);
    }

    auto expected = truth.listedByGroup();
    ASSERT_GE(expected.size(), 2u) << "the fixture spreads files over several groups";
    for (uint32_t g = 0; g < groupCount; g++) {
        Ext2DirNode *node = groups[g];
        const std::vector<TruthEntry> &want = expected[g];
        // Exactly the expected files: reused inodes, a file whose first block
        // became a directory and deleted directories do not show up.
        ASSERT_EQ(node->FileCount, want.size()) << groupName(g);
        EXPECT_EQ(node->Files[node->FileCount], nullptr) << "the Files array ends with a null entry";
        for (uint32_t i = 0; i < want.size(); i++) {
            SCOPED_TRACE(groupName(g) + "/" + lostName(i) + " = inode " + std::to_string(want[i].ino));
            Ext2FileNode *f = ext2_get_file(node, i);
            ASSERT_NE(f, nullptr);
            EXPECT_STREQ(ext2_get_filename(f, EXT2_NAME_OF_FILE), lostName(i).c_str());
            EXPECT_EQ((uint64_t)ext2_get_filesize(f), want[i].size);
            if (want[i].kind == "symlink" && want[i].size < 60) {
                // A short link keeps its target in the inode, not in blocks.
                EXPECT_EQ(ext2_get_fileblocklist(f), nullptr);
                std::vector<uint8_t> target = svt::readFile(dir + "/" + want[i].source);
                EXPECT_EQ(0, memcmp(f->Inode + 40, target.data(), target.size()));
                continue;
            }
            ASSERT_NE(ext2_get_fileblocklist(f), nullptr);
            std::vector<uint8_t> expect =
                want[i].kind == "sparse" ? sparseContent(dir, want[i].source, want[i].size)
                                         : svt::readFile(dir + "/" + want[i].source);
            uint32_t failures = 0;
            std::vector<uint8_t> got = readThroughLibrary(f, &failures);
            EXPECT_EQ(failures, 0u);
            ASSERT_EQ(got.size(), expect.size());
            EXPECT_TRUE(got == expect) << "data differs";
        }
        EXPECT_EQ(ext2_get_file(node, node->FileCount), nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Images, Ext2Fixture, ::testing::Values("ext2-1k", "ext2-4k"),
                         [](const auto &info) {
                             std::string n = info.param;
                             return n.substr(5);
                         });

TEST(Ext2Scan, AGroupOfExactly512FilesEndsWithANullEntry)
{
    std::string dir = svt::fixture("ext2");
    std::vector<uint8_t> image = svt::readFile(dir + "/ext2-many.img");
    svt::MemDevice dev(image);
    Ext2Scan scan(dev.partition(0, image.size(), FS_EXT2));
    ASSERT_EQ(scan.ok, 1);
    std::vector<Ext2DirNode *> groups = scan.groups();
    ASSERT_EQ(groups.size(), 1u) << "a single-group volume yields the node of group 0";
    Ext2DirNode *g = groups[0];
    ASSERT_EQ(g->FileCount, 512u);
    Ext2FileNode **files = ext2_get_filelist(g);
    uint32_t walked = 0;
    while (files[walked])
        walked++;
    EXPECT_EQ(walked, 512u);
    // Inode 12 is the first candidate; the inode order is the file order.
    for (uint32_t i = 0; i < 512; i += 97) {
        Ext2FileNode *f = files[i];
        std::string text = "file " + std::to_string(i);
        std::vector<uint8_t> got = readThroughLibrary(f);
        EXPECT_EQ(std::string(got.begin(), got.end()), text) << lostName(i);
    }
}

TEST(Ext2Scan, GettersAcceptNullAndUnknownKinds)
{
    EXPECT_EQ(ext2_get_next(nullptr), nullptr);
    EXPECT_EQ(ext2_get_filelist(nullptr), nullptr);
    EXPECT_EQ(ext2_get_file(nullptr, 0), nullptr);
    EXPECT_EQ(ext2_get_filename(nullptr, EXT2_NAME_OF_FILE), nullptr);
    EXPECT_EQ(ext2_get_filesize(nullptr), -1);
    EXPECT_EQ(ext2_get_fileblocklist(nullptr), nullptr);
    Ext2DirNode node{};
    EXPECT_EQ(ext2_get_filename(&node, 101), nullptr);
    EXPECT_EQ(ext2_get_filename(&node, 0), nullptr);
    uint64_t got = 7;
    uint8_t buf[16];
    EXPECT_EQ(ext2_readfile(nullptr, 16, &got, 5, buf), 0);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(ext2_init(nullptr), 0);
    EXPECT_EQ(ext2_searchfile(), nullptr) << "nothing is scanned without a volume";
    ext2_exit();
}

TEST(Ext2Scan, InitExitInitScansTheSameVolumeAgain)
{
    std::string dir = svt::fixture("ext2");
    std::vector<uint8_t> image = svt::readFile(dir + "/ext2-4k.img");
    svt::MemDevice dev(image);
    Partiton_Struct *part = dev.partition(0, image.size(), FS_EXT2);
    uint32_t first = 0;
    for (int round = 0; round < 3; round++) {
        Ext2Scan scan(part);
        ASSERT_EQ(scan.ok, 1);
        uint32_t n = 0;
        for (Ext2DirNode *g : scan.groups())
            n += g->FileCount;
        if (round == 0)
            first = n;
        EXPECT_EQ(n, first);
        EXPECT_GT(n, 0u);
    }
}

// ---- damaged and hostile volumes --------------------------------------

class Ext2Damage : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = svt::fixture("ext2");
        image = svt::readFile(dir + "/ext2-1k.img");
        truth = readTruth(dir + "/ext2-1k.truth");
        ASSERT_FALSE(image.empty());
    }
    const TruthEntry &entry(const std::string &sourceSuffix) const
    {
        for (const TruthEntry &e : truth.entries)
            if (e.source.size() >= sourceSuffix.size() &&
                e.source.compare(e.source.size() - sourceSuffix.size(), sourceSuffix.size(),
                                 sourceSuffix) == 0)
                return e;
        throw std::runtime_error("no fixture entry " + sourceSuffix);
    }
    // The record found for an inode: its group and rank among the group's
    // expected files.
    Ext2FileNode *recordOf(const Ext2Scan &scan, uint32_t ino) const
    {
        auto byGroup = truth.listedByGroup();
        uint32_t g = (ino - 1) / truth.inodesPerGroup;
        const auto &v = byGroup[g];
        for (size_t i = 0; i < v.size(); i++)
            if (v[i].ino == ino)
                return ext2_get_file(scan.group(groupName(g)), (uint32_t)i);
        return nullptr;
    }
    uint32_t totalFiles(const Ext2Scan &scan) const
    {
        uint32_t n = 0;
        for (Ext2DirNode *g : scan.groups())
            n += g->FileCount;
        return n;
    }
    uint32_t expectedTotal() const
    {
        uint32_t n = 0;
        for (auto &kv : truth.listedByGroup())
            n += (uint32_t)kv.second.size();
        return n;
    }
    std::string dir;
    std::vector<uint8_t> image;
    Truth truth;
};

TEST_F(Ext2Damage, AZeroPointerInADoubleIndirectBlockCostsOnlyThatPartOfTheFile)
{
    const TruthEntry &dbl = entry("/double.bin");
    Geometry geo(image);
    uint32_t dind = geo.iblock(image, dbl.ino, 13);
    ASSERT_NE(dind, 0u);
    // The second indirect block named by the double-indirect block goes.
    size_t slot = (size_t)dind * geo.blockSize + 4;
    ASSERT_NE(get32(image, slot), 0u);
    put32(image, slot, 0);

    svt::MemDevice dev(image);
    Ext2Scan scan(dev.partition(0, image.size(), FS_EXT2));
    ASSERT_NE(scan.head, nullptr) << "one damaged file must not hide the others";
    EXPECT_EQ(totalFiles(scan), expectedTotal());

    Ext2FileNode *f = recordOf(scan, dbl.ino);
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> want = svt::readFile(dir + "/" + dbl.source);
    const uint32_t k = geo.blockSize / 4;
    uint64_t lostFrom = (uint64_t)(12 + k + k) * geo.blockSize;
    uint64_t lostTo = std::min<uint64_t>(lostFrom + (uint64_t)k * geo.blockSize, want.size());
    std::fill(want.begin() + (ptrdiff_t)lostFrom, want.begin() + (ptrdiff_t)lostTo, 0);
    EXPECT_TRUE(readThroughLibrary(f) == want);
    const uint32_t *list = ext2_get_fileblocklist(f);
    EXPECT_EQ(list[12 + k + k], 0u);
    EXPECT_NE(list[12 + k + k - 1], 0u);

    // The files around it are untouched.
    const TruthEntry &ind = entry("/indirect.bin");
    EXPECT_TRUE(readThroughLibrary(recordOf(scan, ind.ino)) == svt::readFile(dir + "/" + ind.source));
}

TEST_F(Ext2Damage, PointerBlocksOutsideTheVolumeAreSkipped)
{
    const TruthEntry &ind = entry("/indirect.bin");
    const TruthEntry &dbl = entry("/double.bin");
    Geometry geo(image);
    put32(image, geo.inodeOffset(image, ind.ino) + 40 + 12 * 4, 0xFFFFFFF0u);  // indirect
    put32(image, geo.inodeOffset(image, dbl.ino) + 40 + 13 * 4, 0x00FFFFFFu);  // double
    svt::MemDevice dev(image);
    Ext2Scan scan(dev.partition(0, image.size(), FS_EXT2));
    ASSERT_NE(scan.head, nullptr);
    EXPECT_EQ(totalFiles(scan), expectedTotal());

    Ext2FileNode *f = recordOf(scan, ind.ino);
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> want = svt::readFile(dir + "/" + ind.source);
    std::fill(want.begin() + 12 * geo.blockSize, want.end(), 0);
    EXPECT_TRUE(readThroughLibrary(f) == want) << "the 12 direct blocks still come back";
}

TEST_F(Ext2Damage, ASizeFarBeyondTheVolumeGetsNoBlockList)
{
    const TruthEntry &small = entry("/small.bin");
    Geometry geo(image);
    put32(image, geo.inodeOffset(image, small.ino) + 108, 0x100);  // 1 TiB more
    svt::MemDevice dev(image);
    Ext2Scan scan(dev.partition(0, image.size(), FS_EXT2));
    ASSERT_NE(scan.head, nullptr);
    EXPECT_EQ(totalFiles(scan), expectedTotal());
    Ext2FileNode *f = recordOf(scan, small.ino);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ((uint64_t)ext2_get_filesize(f), (0x100ull << 32) + small.size);
    EXPECT_EQ(ext2_get_fileblocklist(f), nullptr);
    const TruthEntry &one = entry("/one.bin");
    EXPECT_TRUE(readThroughLibrary(recordOf(scan, one.ino)) == svt::readFile(dir + "/" + one.source));
}

TEST_F(Ext2Damage, AnUnreadableDataBlockFailsOnlyThatRead)
{
    const TruthEntry &small = entry("/small.bin");
    Geometry geo(image);
    uint32_t b1 = geo.iblock(image, small.ino, 1);
    svt::MemDevice dev(image);
    dev.failFrom = (uint64_t)b1 * geo.blockSize;
    dev.failTo = dev.failFrom + geo.blockSize;
    Ext2Scan scan(dev.partition(0, image.size(), FS_EXT2));
    ASSERT_NE(scan.head, nullptr);
    Ext2FileNode *f = recordOf(scan, small.ino);
    uint32_t failures = 0;
    std::vector<uint8_t> got = readThroughLibrary(f, &failures);
    EXPECT_EQ(failures, 1u);
    std::vector<uint8_t> want = svt::readFile(dir + "/" + small.source);
    EXPECT_TRUE(std::equal(want.begin(), want.begin() + geo.blockSize, got.begin()));
    EXPECT_TRUE(std::equal(want.begin() + 2 * geo.blockSize, want.end(),
                           got.begin() + 2 * geo.blockSize));
}

TEST_F(Ext2Damage, AnUnreadableInodeTableLosesOnlyItsGroup)
{
    Geometry geo(image);
    uint32_t table1 = geo.inodeTable(image, 1);
    svt::MemDevice dev(image);
    dev.failFrom = (uint64_t)table1 * geo.blockSize;
    dev.failTo = dev.failFrom + geo.blockSize;  // the first block of group 1's table
    Ext2Scan scan(dev.partition(0, image.size(), FS_EXT2));
    ASSERT_NE(scan.head, nullptr);
    auto expected = truth.listedByGroup();
    EXPECT_EQ(scan.group(groupName(0))->FileCount, expected[0].size());
    ASSERT_NE(scan.group(groupName(1)), nullptr);
    uint32_t perBlock = geo.blockSize / geo.inodeSize;
    uint32_t survivors = 0;
    for (const TruthEntry &e : expected[1])
        survivors += (e.ino - 1) % truth.inodesPerGroup >= perBlock;
    EXPECT_EQ(scan.group(groupName(1))->FileCount, survivors);
}

TEST_F(Ext2Damage, AnInodeTableOutsideItsGroupIsNotRead)
{
    Geometry geo(image);
    put32(image, geo.descOffset(1) + 8, geo.inodeTable(image, 0));  // group 1 -> group 0's table
    put32(image, geo.descOffset(2) + 8, 0);
    put32(image, geo.descOffset(3) + 8, 0xFFFFFFFFu);
    svt::MemDevice dev(image);
    Ext2Scan scan(dev.partition(0, image.size(), FS_EXT2));
    ASSERT_NE(scan.head, nullptr);
    EXPECT_NE(scan.group("Group(0)"), nullptr);
    EXPECT_EQ(scan.group("Group(1)"), nullptr);
    EXPECT_EQ(scan.group("Group(2)"), nullptr);
    EXPECT_EQ(scan.group("Group(3)"), nullptr);
    EXPECT_NE(scan.group("Group(4)"), nullptr);
}

TEST_F(Ext2Damage, ADirectoryBlockInTheFirstBlockHidesTheFile)
{
    // "small.bin" gets a copy of the root directory's first block.
    const TruthEntry &small = entry("/small.bin");
    Geometry geo(image);
    uint32_t rootBlock = geo.iblock(image, 2, 0);
    uint32_t b0 = geo.iblock(image, small.ino, 0);
    std::copy_n(image.begin() + (ptrdiff_t)rootBlock * geo.blockSize, geo.blockSize,
                image.begin() + (ptrdiff_t)b0 * geo.blockSize);
    svt::MemDevice dev(image);
    Ext2Scan scan(dev.partition(0, image.size(), FS_EXT2));
    EXPECT_EQ(totalFiles(scan), expectedTotal() - 1);
}

TEST_F(Ext2Damage, HostileSuperblocksAreRefusedBeforeAnyAllocation)
{
    struct Case {
        const char *what;
        size_t off;
        uint32_t value;
        int width;
    };
    const Case cases[] = {
        {"bad magic", 56, 0xEF52, 2},
        {"revision 2", 76, 2, 4},
        {"an unknown incompatible feature", 96, 0x0002 | 0x0040, 4},
        {"huge log block size", 24, 20, 4},
        {"fragments unlike blocks", 28, 1, 4},
        {"negative fragment shift", 28, 0x80000000u, 4},
        {"inode size 0", 88, 0, 2},
        {"inode size not a power of two", 88, 200, 2},
        {"inode size above the block size", 88, 2048, 2},
        {"no inodes per group", 40, 0, 4},
        {"more inodes per group than a bitmap holds", 40, 8 * 1024 + 8, 4},
        {"no blocks per group", 32, 0, 4},
        {"more blocks per group than a bitmap holds", 32, 8 * 1024 + 8, 4},
        {"no blocks", 4, 0, 4},
        {"more inodes than the groups hold", 0, 0xFFFFFFFFu, 4},
        {"first data block past the end", 20, 0x7FFFFFFF, 4},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> img = image;
        if (c.width == 2)
            put16(img, 1024 + c.off, (uint16_t)c.value);
        else
            put32(img, 1024 + c.off, c.value);
        svt::MemDevice dev(img);
        EXPECT_EQ(ext2_init(dev.partition(0, img.size(), FS_EXT2)), 0) << c.what;
        ext2_exit();
    }

    // Millions of groups (4 GiB of blocks in groups of 8): refused.
    std::vector<uint8_t> img = image;
    put32(img, 1024 + 4, 0xFFFFFFFFu);
    put32(img, 1024 + 32, 8);
    svt::MemDevice dev(img);
    EXPECT_EQ(ext2_init(dev.partition(0, img.size(), FS_EXT2)), 0);
    ext2_exit();

    // A block count far beyond the medium: descriptors past its end.
    img = image;
    put32(img, 1024 + 4, 0xFFFFFFFFu);
    put32(img, 1024 + 32, 8192);
    put32(img, 1024 + 0, 32u * 524288u);
    svt::MemDevice dev2(img);
    EXPECT_EQ(ext2_init(dev2.partition(0, img.size(), FS_EXT2)), 0);
    ext2_exit();
}

TEST_F(Ext2Damage, ASuperblockThatCannotBeReadIsRefused)
{
    svt::MemDevice dev(image);
    dev.failFrom = 1024;
    dev.failTo = 2048;
    EXPECT_EQ(ext2_init(dev.partition(0, image.size(), FS_EXT2)), 0);
    ext2_exit();
    svt::MemDevice tiny(std::vector<uint8_t>(image.begin(), image.begin() + 1500));
    EXPECT_EQ(ext2_init(tiny.partition(0, 1500, FS_EXT2)), 0);
    ext2_exit();
    // A group-descriptor block that fails.
    Geometry geo(image);
    svt::MemDevice dev3(image);
    dev3.failFrom = (uint64_t)(geo.firstDataBlock + 1) * geo.blockSize;
    dev3.failTo = dev3.failFrom + 1;
    EXPECT_EQ(ext2_init(dev3.partition(0, image.size(), FS_EXT2)), 0);
    ext2_exit();
}

TEST_F(Ext2Damage, ATruncatedImageIsScannedAsFarAsItGoes)
{
    // The medium ends in group 2: groups behind it have nothing to read.
    Geometry geo(image);
    size_t keep = (size_t)(geo.firstDataBlock + 2 * 2048 + 600) * geo.blockSize;
    std::vector<uint8_t> cut(image.begin(), image.begin() + (ptrdiff_t)keep);
    svt::MemDevice dev(cut);
    Ext2Scan scan(dev.partition(0, cut.size(), FS_EXT2));
    ASSERT_EQ(scan.ok, 1);
    EXPECT_EQ(scan.groups().size(), 3u);
    EXPECT_EQ(scan.group(groupName(0))->FileCount, truth.listedByGroup()[0].size());
}

// A device whose reads raise the progress value to the stop value after a
// number of reads, as the interface does when the user presses Stop.
struct StoppingDevice {
    static StoppingDevice *self;
    std::vector<uint8_t> bytes;
    int readsBeforeStop;
    DeviceOps ops{};
    Physics_Device_Struct dev{};
    Partiton_Struct part{};
    StoppingDevice(std::vector<uint8_t> b, int n) : bytes(std::move(b)), readsBeforeStop(n)
    {
        self = this;
        ops.read = [](Physics_Device_Struct *, void *dst, uint32_t len, uint64_t off) -> int32_t {
            StoppingDevice *s = self;
            if (--s->readsBeforeStop == 0)
                set_ExportsData(false);
            memset(dst, 0, len);
            if (off >= s->bytes.size())
                return -1;
            uint64_t n = std::min<uint64_t>(len, s->bytes.size() - off);
            memcpy(dst, s->bytes.data() + off, n);
            return (int32_t)n;
        };
        dev.Ops = &ops;
        dev.SectorSize = 512;
        part.Device = &dev;
        part.PartSize = bytes.size();
        part.FsType = FS_EXT2;
    }
};
StoppingDevice *StoppingDevice::self = nullptr;

TEST_F(Ext2Damage, AStopRequestEndsTheScanWithWhatWasFound)
{
    StoppingDevice dev(image, 12);
    Ext2Scan scan(&dev.part);
    ASSERT_EQ(scan.ok, 1);
    EXPECT_EQ(get_ExportsData(), 200) << "the stop request stays visible";
    EXPECT_LT(totalFiles(scan), expectedTotal());
    changeExportsData(0);
}

}  // namespace
