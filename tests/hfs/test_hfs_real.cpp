// A volume made by macOS itself (hdiutil, not journaled).
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <set>

#include "mem_device.h"
#include "test_support.h"
#include "varn.h"

using namespace svt;

namespace {

std::string realImage()
{
    return svt::sourceDir() + "/tests/data/hfsplus-macos.raw";
}

std::string ascii(const file_info *r)
{
    std::string s;
    for (int i = 0; i < r->NameLen; i++)
        s += r->Name[i] < 0x80 ? (char)r->Name[i] : '?';
    return s;
}

class RealHfsImage : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::ifstream(realImage()).good())
            FAIL() << "real HFS+ image missing: " << realImage();
        bytes = readFile(realImage());
        dev = std::make_unique<MemDevice>(bytes);
    }
    void TearDown() override { hfsp_exit(); }

    std::vector<uint8_t> bytes;
    std::unique_ptr<MemDevice> dev;
};

TEST_F(RealHfsImage, NotJournaledSoTheJournalScanFindsNothing)
{
    ASSERT_EQ(hfsp_init(dev->partition(0, bytes.size(), FS_HFSPLUS)), 1);
    EXPECT_EQ(hfsp_get_blocksize(), 4096);
    int64_t before = dev->reads;
    EXPECT_EQ(hfsp_searchfile(1), nullptr);
    EXPECT_EQ(dev->reads, before) << "the journal of an unjournaled volume was read";
    EXPECT_EQ(get_ExportsData(), 100);
}

TEST_F(RealHfsImage, CatalogScanFindsTheLiveFilesWithMacOSNodeSizes)
{
    // This volume's attributes B-tree has 8192-byte nodes and its catalog
    // 4096-byte nodes, as Mac OS X makes them.
    auto be32 = [&](size_t o) {
        return (uint32_t)bytes[o] << 24 | (uint32_t)bytes[o + 1] << 16 | (uint32_t)bytes[o + 2] << 8 |
               bytes[o + 3];
    };
    auto nodeSize = [&](size_t forkOffset) {
        size_t node0 = (size_t)be32(1024 + forkOffset + 16) * 4096;
        return (uint32_t)(bytes[node0 + 32] << 8 | bytes[node0 + 33]);
    };
    ASSERT_EQ(nodeSize(272), 4096u);  // catalog
    ASSERT_EQ(nodeSize(352), 8192u);  // attributes
    ASSERT_EQ(hfsp_init(dev->partition(0, bytes.size(), FS_HFSPLUS)), 1);
    std::set<std::string> files, folders;
    std::map<std::string, const file_info *> byName;
    for (const file_info *r = hfsp_searchCatalogFile(); r; r = r->Next) {
        EXPECT_GT(+r->FileID, 16u);
        (r->RecordType == 1 ? folders : files).insert(ascii(r));
        byName[ascii(r)] = r;
    }
    for (const char *f : {"a_file", "another_file", "a_resourcefork", "passwords.txt", "a_link"})
        EXPECT_TRUE(files.count(f)) << f;
    EXPECT_TRUE(folders.count("a_directory"));
    // The folder of CNID 16 (the private metadata folder) is not listed.
    for (const std::string &f : folders)
        EXPECT_EQ(f.find("HFS+ Private Data"), std::string::npos) << f;

    // passwords.txt lies in the root and streams back as text.
    const file_info *pw = byName["passwords.txt"];
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(+pw->ParentID, 2u);
    ASSERT_GT(+pw->DataSize, 0u);
    ASSERT_LT(+pw->DataSize, 4096u);
    std::vector<uint8_t> buf(4096);
    ASSERT_EQ(hfsxx_readwirtelogfile(const_cast<file_info *>(pw), buf.data(), (uint32_t)pw->DataSize, 1),
              (int32_t)pw->DataSize);
    for (uint64_t i = 0; i < pw->DataSize; i++)
        EXPECT_TRUE(buf[i] == '\n' || (buf[i] >= 0x20 && buf[i] < 0x7f)) << "byte " << i;

    // Files of a_directory name it as their parent.
    const file_info *dir = byName["a_directory"];
    ASSERT_NE(dir, nullptr);
    EXPECT_EQ(+byName["a_file"]->ParentID, +dir->FileID);
    const file_info *rf = byName["a_resourcefork"];
    EXPECT_EQ(+rf->HasRsrcFork, 1);
}

}  // namespace
