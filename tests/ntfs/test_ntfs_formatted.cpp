// The formatted-volume search on NTFS volumes made by mkntfs over an older
// NTFS: the old volume's files are found, tagged with that volume, placed
// in their folders and read back whole.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "ntfs.h"
#include "ntfs_paths.h"
#include "ntfs_test_util.h"

using namespace svt;

namespace {

struct Found {
    std::map<std::string, std::vector<NTFS_FORMAT_INFO_t *>> byName;
    size_t count = 0;
};

Found collect(NTFS_FORMAT_INFO_t *list)
{
    Found f;
    for (NTFS_FORMAT_INFO_t *p = list; p; p = p->pNext) {
        f.byName[salvitra::ntfsName(*p)].push_back(p);
        f.count++;
    }
    return f;
}

class NtfsFormatted : public ::testing::TestWithParam<const char *> {};

TEST_P(NtfsFormatted, FindsTheOldVolumesFiles)
{
    NTFS_FIXTURE_OR_SKIP(dir, "ntfs_formatted");
    std::string vol = GetParam();
    ImageSet set({dir + "/" + vol + ".img"});
    ImagePartition p(set.device(0), 0, set.device(0)->DiskSize, FS_NTFS);
    std::vector<TruthEntry> truth = loadTruth(dir + "/" + vol + ".tsv");

    NTFS_FORMAT_INFO_t *list = Search_Ntfs_InFo(p.part());
    EXPECT_EQ(get_ExportsData(), 100);
    Found found = collect(list);

    salvitra::NtfsFormatFolderResolver folders(
        [](const NTFS_FORMAT_INFO_t *r, NTFS_MFT_ParentID_Name *o) { return Nfst_GetFormat_NameParentID(nullptr, r, o); });
    std::set<uint32_t> oldSlots;
    for (const TruthEntry &e : truth) {
        auto it = found.byName.find(baseName(e.path));
        ASSERT_NE(it, found.byName.end()) << e.path;
        ASSERT_EQ(it->second.size(), 1u) << e.path;
        NTFS_FORMAT_INFO_t *r = it->second[0];
        EXPECT_EQ(r->cFlags & 1, 0);
        EXPECT_EQ(pk(r->nFileSize), e.size) << e.path;
        ASSERT_LT(NTFS_FORMAT_SLOT(r), NTFS_FORMAT_SLOTS) << e.path;
        oldSlots.insert(NTFS_FORMAT_SLOT(r));
        std::string folder;
        if (std::string(vol) == "f4k" && e.path.rfind("photos/", 0) == 0) {
            // The new volume's first file took the MFT record of "photos":
            // the folder above "2023" is gone.
            EXPECT_FALSE(folders.folderOf(r, &folder)) << e.path;
        } else {
            EXPECT_TRUE(folders.folderOf(r, &folder)) << e.path;
            EXPECT_EQ(folder, dirName(e.path));
        }

        uint32_t block = Ntfs_Format_BlockSize(r);
        EXPECT_EQ(block, Nfst_GetFormat_ClusterSize(r));
        std::vector<int> codes;
        std::vector<uint8_t> got = readBlocks(
            [r](uint64_t, void *b, uint32_t l) { return Ntfs_Read_ForMat_Data(r, b, (int)l); }, 0, r->nFileSize,
            block, &codes);
        Ntfs_RWfile_Set(2);
        // (The tsv's last column says whether the new format left the
        // file's bytes in place.)
        if (e.deleted)
            EXPECT_TRUE(got == readFile(dir + "/" + vol + "/" + e.path)) << "data differ: " << e.path;
        else
            EXPECT_FALSE(got == readFile(dir + "/" + vol + "/" + e.path)) << e.path;
    }
    // Every file of the old volume carries the same slot, with the old
    // volume's cluster size.
    ASSERT_EQ(oldSlots.size(), 1u);
    const NTFS_FORMAT_INFO_t *any = found.byName[baseName(truth[0].path)][0];
    EXPECT_EQ(Nfst_GetFormat_ClusterSize(any), std::string(vol) == "f64k" ? 65536u : 4096u);

    // The new volume's file is there too, in another slot.
    ASSERT_EQ(found.byName["new.txt"].size(), 1u);
    NTFS_FORMAT_INFO_t *n = found.byName["new.txt"][0];
    EXPECT_NE(NTFS_FORMAT_SLOT(n), *oldSlots.begin());
    EXPECT_EQ(Nfst_GetFormat_ClusterSize(n), std::string(vol) == "f64k" ? 4096u : 512u);
    std::vector<uint8_t> buf(4096);
    EXPECT_EQ(Ntfs_Read_ForMat_Data(n, buf.data(), 4096), 0);
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + (long)pk(n->nFileSize)), "a file of the new volume\n");
    EXPECT_EQ(Ntfs_Read_ForMat_Data(n, buf.data(), 4096), -1);
    Ntfs_RWfile_Set(2);

    // No system files, no MFT mirror copies.
    for (const auto &kv : found.byName)
        EXPECT_NE(kv.first[0], '$') << kv.first;

    NTFS_Free_Glod_Exit();
    EXPECT_EQ(Ntfs_Format_BlockSize(n), 0u);
    NTFS_Free_Format_Info(list);
}

INSTANTIATE_TEST_SUITE_P(Reformatted, NtfsFormatted, ::testing::Values("f64k", "f4k"));

TEST(NtfsFormattedEdges, NullsAndNoVolume)
{
    EXPECT_EQ(Search_Ntfs_InFo(nullptr), nullptr);
    EXPECT_EQ(get_ExportsData(), 100);
    EXPECT_EQ(Ntfs_Format_BlockSize(nullptr), 0u);
    std::vector<uint8_t> buf(16);
    EXPECT_EQ(Ntfs_Read_ForMat_Data(nullptr, buf.data(), 16), 2);
    NTFS_MFT_ParentID_Name o;
    EXPECT_EQ(Nfst_GetFormat_NameParentID(nullptr, nullptr, &o), nullptr);
    EXPECT_EQ(NTFS_Free_Format_Info(nullptr), 1);
}

}  // namespace
