// libcosk on ext3 volumes whose files were removed by debugfs: the deleted
// entries it finds by name, and how its walk copes with damaged directories.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <tuple>

#include "cosk.h"
#include "ext_fixture.h"

using namespace ext_test;

namespace {

struct Ext3Scan {
    int ok = 0;
    Ext3DirNode *head = nullptr;
    explicit Ext3Scan(Partiton_Struct *part)
    {
        ok = ext3_init(part);
        if (ok)
            head = ext3_searchfile();
    }
    ~Ext3Scan() { ext3_exit(); }
};

std::string folderOf(Ext3DirNode *node)
{
    std::string path;
    for (int hops = 0; node && !node->IsRoot && hops < 1000; hops++) {
        path = path.empty() ? std::string(node->Name) : std::string(node->Name) + "/" + path;
        node = ext3_user_get_parantnode(node);
    }
    return path.empty() ? "/" : path;
}

using Find = std::tuple<std::string, std::string, uint64_t>;  // folder, name, size

std::set<Find> deletedFinds(const Ext3Scan &scan)
{
    std::set<Find> out;
    for (Ext3DirNode *n = scan.head; n; n = ext3_get_next(n))
        for (uint32_t i = 0; Ext3FileNode *f = ext3_get_file(n, i); i++)
            if (!ext3_file_isdir(f))
                out.insert({folderOf(n), ext3_get_filename(f), (uint64_t)ext3_get_filesize(f)});
    return out;
}

struct Ext3Truth {
    std::set<Find> found;
    std::set<std::pair<std::string, std::string>> absent;
};

Ext3Truth readExt3Truth(const std::string &path)
{
    Ext3Truth t;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        size_t start = 0;
        for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
            f.push_back(line.substr(start, tab - start));
        f.push_back(line.substr(start));
        if (f.size() != 4)
            continue;
        if (f[0] == "found")
            t.found.insert({f[1], f[2], std::stoull(f[3])});
        else if (f[0] == "absent")
            t.absent.insert({f[1], f[2]});
    }
    return t;
}

class Ext3Fixture : public ::testing::TestWithParam<const char *> {};

TEST_P(Ext3Fixture, FindsTheDeletedEntriesByNameAndFolder)
{
    std::string dir = svt::fixture("ext3");
    std::vector<uint8_t> image = svt::readFile(dir + "/" + GetParam() + ".img");
    Ext3Truth truth = readExt3Truth(dir + "/" + GetParam() + ".truth");
    ASSERT_FALSE(truth.found.empty());
    svt::MemDevice dev(image);
    Ext3Scan scan(dev.partition(0, image.size(), FS_EXT3));
    ASSERT_EQ(scan.ok, 1);
    ASSERT_NE(scan.head, nullptr);
    EXPECT_EQ(get_ExportsData(), 100);
    EXPECT_EQ(scan.head->IsRoot, 1);
    EXPECT_STREQ(scan.head->Name, "");
    EXPECT_EQ(scan.head->Parent, nullptr);

    // Exactly the deleted entries of the fixture, merged ones included.
    std::set<Find> finds = deletedFinds(scan);
    EXPECT_EQ(finds, truth.found);
    for (const Find &f : finds)
        EXPECT_EQ(truth.absent.count({std::get<0>(f), std::get<1>(f)}), 0u) << std::get<1>(f);

    for (Ext3DirNode *n = scan.head; n; n = ext3_get_next(n)) {
        uint32_t count = 0;
        while (ext3_get_file(n, count))
            count++;
        EXPECT_EQ(ext3_get_filelist(n)[count], nullptr) << "Files ends with a null entry";
        if (n != scan.head) {
            EXPECT_EQ(n->IsRoot, 0);
            EXPECT_NE(n->Prev, nullptr);
            EXPECT_EQ(n->Prev->Next, n);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Images, Ext3Fixture, ::testing::Values("ext3-1k", "ext3-4k", "ext3-nolf"),
                         [](const auto &info) { return std::string(info.param).substr(5); });

TEST(Ext3Scan, NodesMirrorTheTreeDepthFirst)
{
    std::string dir = svt::fixture("ext3");
    std::vector<uint8_t> image = svt::readFile(dir + "/ext3-1k.img");
    svt::MemDevice dev(image);
    Ext3Scan scan(dev.partition(0, image.size(), FS_EXT3));
    ASSERT_NE(scan.head, nullptr);
    std::vector<std::string> order;
    for (Ext3DirNode *n = scan.head; n; n = ext3_get_next(n))
        order.push_back(folderOf(n));
    // lost+found, docs and docs/deep are live; olddir was deleted.
    auto pos = [&](const std::string &f) {
        return std::find(order.begin(), order.end(), f) - order.begin();
    };
    ASSERT_LT(pos("docs"), (ptrdiff_t)order.size());
    ASSERT_LT(pos("docs/deep"), (ptrdiff_t)order.size());
    EXPECT_EQ(pos("docs/deep"), pos("docs") + 1);
    EXPECT_EQ(pos("olddir"), (ptrdiff_t)order.size());
    EXPECT_EQ(order[0], "/");

    // Subdirectories are recorded in their parent as directory entries.
    bool sawDocs = false;
    for (uint32_t i = 0; Ext3FileNode *f = ext3_get_file(scan.head, i); i++)
        if (ext3_file_isdir(f) && std::string(ext3_get_filename(f)) == "docs")
            sawDocs = true;
    EXPECT_TRUE(sawDocs);
}

TEST(Ext3Scan, CallerFieldsAndNullArguments)
{
    EXPECT_EQ(ext3_get_next(nullptr), nullptr);
    EXPECT_EQ(ext3_get_filelist(nullptr), nullptr);
    EXPECT_EQ(ext3_get_file(nullptr, 0), nullptr);
    EXPECT_EQ(ext3_get_filename(nullptr), nullptr);
    EXPECT_EQ(ext3_get_filesize(nullptr), -1);
    EXPECT_EQ(ext3_file_isdir(nullptr), 0);
    EXPECT_EQ(ext3_user_set_parantnode(nullptr, nullptr), 0);
    EXPECT_EQ(ext3_user_get_parantnode(nullptr), nullptr);
    EXPECT_EQ(ext3_user_set_dirnum(nullptr, 3), 0);
    EXPECT_EQ(ext3_user_get_dirnum(nullptr), -1);
    EXPECT_EQ(ext3_user_set_treenode(nullptr, nullptr), 0);
    EXPECT_EQ(ext3_user_get_treenode(nullptr), nullptr);
    EXPECT_EQ(ext3_init(nullptr), 0);
    EXPECT_EQ(ext3_searchfile(), nullptr);

    std::string dir = svt::fixture("ext3");
    std::vector<uint8_t> image = svt::readFile(dir + "/ext3-1k.img");
    svt::MemDevice dev(image);
    Ext3Scan scan(dev.partition(0, image.size(), FS_EXT3));
    ASSERT_NE(scan.head, nullptr);
    int tag = 0;
    EXPECT_EQ(ext3_user_set_dirnum(scan.head, 41), 1);
    EXPECT_EQ(ext3_user_get_dirnum(scan.head), 41);
    EXPECT_EQ(ext3_user_set_treenode(scan.head, &tag), 1);
    EXPECT_EQ(ext3_user_get_treenode(scan.head), &tag);
    Ext3DirNode *second = ext3_get_next(scan.head);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(ext3_user_get_parantnode(second), scan.head);
    EXPECT_EQ(ext3_user_set_parantnode(second, nullptr), 1);
    EXPECT_EQ(ext3_user_get_parantnode(second), nullptr);
}

TEST(Ext3Scan, InitExitInitFindsTheSameEntries)
{
    std::string dir = svt::fixture("ext3");
    std::vector<uint8_t> image = svt::readFile(dir + "/ext3-4k.img");
    svt::MemDevice dev(image);
    Partiton_Struct *part = dev.partition(0, image.size(), FS_EXT3);
    std::set<Find> first;
    for (int round = 0; round < 3; round++) {
        Ext3Scan scan(part);
        ASSERT_EQ(scan.ok, 1);
        std::set<Find> finds = deletedFinds(scan);
        if (round == 0)
            first = finds;
        EXPECT_EQ(finds, first);
    }
    EXPECT_FALSE(first.empty());
}

// ---- damaged directories ----------------------------------------------

class Ext3Damage : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = svt::fixture("ext3");
        image = svt::readFile(dir + "/ext3-1k.img");
        truth = readExt3Truth(dir + "/ext3-1k.truth");
        ASSERT_FALSE(image.empty());
    }
    // Byte offset of the entry named `name` in the first block of directory
    // inode `dirIno`, found by walking record lengths.
    size_t entryOffset(uint32_t dirIno, const std::string &name, uint32_t blockIndex = 0)
    {
        Geometry geo(image);
        size_t base = (size_t)geo.iblock(image, dirIno, (int)blockIndex) * geo.blockSize;
        for (size_t off = 0; off + 8 <= geo.blockSize;) {
            uint16_t rec = (uint16_t)(image[base + off + 4] | image[base + off + 5] << 8);
            uint8_t len = image[base + off + 6];
            if (std::string((const char *)&image[base + off + 8], len) == name)
                return base + off;
            if (rec < 8)
                break;
            off += rec;
        }
        return 0;
    }
    uint32_t inodeOf(uint32_t dirIno, const std::string &name)
    {
        size_t off = entryOffset(dirIno, name);
        return off ? get32(image, off) : 0;
    }
    std::string dir;
    std::vector<uint8_t> image;
    Ext3Truth truth;
};

TEST_F(Ext3Damage, DirectoryLoopsAreWalkedOnce)
{
    // docs/deep gets entries pointing back at the root and at docs itself.
    uint32_t docs = inodeOf(2, "docs");
    uint32_t deep = inodeOf(docs, "deep");
    ASSERT_NE(deep, 0u);
    size_t keep = entryOffset(deep, "deep-keep.pdf");
    ASSERT_NE(keep, 0u);
    put32(image, keep, 2);
    image[keep + 7] = 2;
    size_t dot = entryOffset(deep, ".");
    ASSERT_NE(dot, 0u);
    memcpy(&image[dot + 8], "x", 1);  // "." renamed: it now names deep itself
    svt::MemDevice dev(image);
    Ext3Scan scan(dev.partition(0, image.size(), FS_EXT3));
    ASSERT_NE(scan.head, nullptr);
    EXPECT_EQ(deletedFinds(scan), truth.found);
    uint32_t nodes = 0;
    for (Ext3DirNode *n = scan.head; n; n = ext3_get_next(n))
        nodes++;
    EXPECT_EQ(nodes, 4u) << "root, lost+found, docs, docs/deep";
}

TEST_F(Ext3Damage, GarbageAndHugeSizesStayInsideTheDirectory)
{
    Geometry geo(image);
    uint32_t docs = inodeOf(2, "docs");
    // The third block of docs turns into 0xFF bytes; its claimed size grows
    // to 4 GiB - 1.
    uint32_t b2 = geo.iblock(image, docs, 2);
    std::fill_n(image.begin() + (ptrdiff_t)b2 * geo.blockSize, geo.blockSize, 0xFF);
    put32(image, geo.inodeOffset(image, docs) + 4, 0xFFFFFFFFu);
    svt::MemDevice dev(image);
    Ext3Scan scan(dev.partition(0, image.size(), FS_EXT3));
    ASSERT_NE(scan.head, nullptr);
    std::set<Find> finds = deletedFinds(scan);
    // Block 2's entry is gone; the rest is found.
    std::set<Find> want = truth.found;
    for (auto it = want.begin(); it != want.end();)
        it = std::get<0>(*it) == "docs" && std::get<1>(*it).rfind("044-", 0) == 0 ? want.erase(it)
                                                                                   : std::next(it);
    EXPECT_EQ(finds, want);
}

TEST_F(Ext3Damage, EntriesWhoseNamesRunPastTheBlockAreIgnored)
{
    // The last live entry of docs' first block claims a 255-byte name.
    uint32_t docs = inodeOf(2, "docs");
    Geometry geo(image);
    size_t base = (size_t)geo.iblock(image, docs, 0) * geo.blockSize;
    size_t last = 0;
    for (size_t off = 0; off + 8 <= geo.blockSize;) {
        uint16_t rec = (uint16_t)(image[base + off + 4] | image[base + off + 5] << 8);
        if (rec < 8 || off + rec >= geo.blockSize) {
            last = base + off;
            break;
        }
        off += rec;
    }
    ASSERT_NE(last, 0u);
    image[last + 6] = 255;
    svt::MemDevice dev(image);
    Ext3Scan scan(dev.partition(0, image.size(), FS_EXT3));
    ASSERT_NE(scan.head, nullptr);
    EXPECT_FALSE(deletedFinds(scan).empty());
}

TEST_F(Ext3Damage, AnUnreadableRootGivesNoResult)
{
    Geometry geo(image);
    svt::MemDevice dev(image);
    dev.failFrom = (uint64_t)geo.inodeTable(image, 0) * geo.blockSize;
    dev.failTo = dev.failFrom + geo.blockSize;
    Ext3Scan scan(dev.partition(0, image.size(), FS_EXT3));
    ASSERT_EQ(scan.ok, 1);
    EXPECT_EQ(scan.head, nullptr);

    // A root inode that is not a directory.
    std::vector<uint8_t> img = image;
    put16(img, geo.inodeOffset(img, 2), 0x81A4);
    svt::MemDevice dev2(img);
    Ext3Scan scan2(dev2.partition(0, img.size(), FS_EXT3));
    EXPECT_EQ(scan2.head, nullptr);
}

TEST_F(Ext3Damage, AnUnreadableSubdirectoryBlockCostsOnlyItsEntries)
{
    Geometry geo(image);
    uint32_t docs = inodeOf(2, "docs");
    uint32_t b1 = geo.iblock(image, docs, 1);
    svt::MemDevice dev(image);
    dev.failFrom = (uint64_t)b1 * geo.blockSize;
    dev.failTo = dev.failFrom + geo.blockSize;
    Ext3Scan scan(dev.partition(0, image.size(), FS_EXT3));
    ASSERT_NE(scan.head, nullptr);
    std::set<Find> finds = deletedFinds(scan);
    EXPECT_EQ(finds.size(), truth.found.size() - 1);
    EXPECT_EQ(finds.count({"/", "gone-root.jpg", 102}), 1u);
}

TEST_F(Ext3Damage, HostileSuperblockIsRefused)
{
    put32(image, 1024 + 40, 0);  // no inodes per group
    svt::MemDevice dev(image);
    EXPECT_EQ(ext3_init(dev.partition(0, image.size(), FS_EXT3)), 0);
    ext3_exit();
}

}  // namespace
