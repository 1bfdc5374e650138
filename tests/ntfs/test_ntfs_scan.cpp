// The deleted-file search and the data read on volumes made by mkntfs and
// emptied through ntfs-3g: every deleted file comes back whole, with its
// name, size and folder, and nothing else is listed.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>

#include "ntfs.h"
#include "ntfs_paths.h"
#include "ntfs_test_util.h"

using namespace svt;

namespace {

struct ScanResult {
    std::map<std::string, const NTFS_DEL_FILEINFO_t *> byName;
    size_t count = 0;
};

ScanResult index(NTFS_DEL_FILEINFO_t *list)
{
    ScanResult r;
    for (NTFS_DEL_FILEINFO_t *p = list; p; p = p->pNextFile) {
        r.byName[recName(p)] = p;
        r.count++;
    }
    return r;
}

// The folder of a deleted file through the parent records that remain.
std::string folderOf(const NTFS_DEL_FILEINFO_t *r)
{
    salvitra::NtfsFolderResolver res(
        [](uint64_t n, NTFS_MFT_ParentID_Name *o) { return Ntfs_Get_NameParentID(n, o); });
    std::string f;
    if (!res.folderOf(r->nMftNumber, r->nParentRef, &f))
        return "?";
    return f;
}

class NtfsVolumes : public ::testing::TestWithParam<const char *> {};

TEST_P(NtfsVolumes, EveryDeletedFileComesBackWhole)
{
    NTFS_FIXTURE_OR_SKIP(dir, "ntfs");
    std::string vol = GetParam();
    std::string img = dir + "/" + vol + ".img";
    std::vector<TruthEntry> truth = loadTruth(dir + "/" + vol + ".tsv");
    ImageSet set({img});
    ASSERT_NE(set.device(0), nullptr);
    // The partition layer lists the volume as NTFS, whatever its cluster
    // size, and its allocation unit is the cluster.
    const std::map<std::string, uint32_t> clusterBytes = {{"c4k", 4096},    {"c512", 512},
                                                          {"c64k", 65536},  {"r4k", 4096},
                                                          {"c128k", 131072}, {"c2m", 2097152}};
    std::vector<Partiton_Struct *> listed = set.partitions();
    ASSERT_EQ(listed.size(), 1u) << vol;
    EXPECT_EQ(listed[0]->FsType, FS_NTFS) << vol;
    EXPECT_EQ(get_blocksize(listed[0]), clusterBytes.at(vol));
    ImagePartition p(set.device(0), 0, set.device(0)->DiskSize, FS_NTFS);

    ASSERT_TRUE(Initi_Ntfs_InFo(p.part()));
    NTFS_DEL_FILEINFO_t *list = Ntfs_Get_Del_File();
    EXPECT_EQ(get_ExportsData(), 100);
    ScanResult found = index(list);

    uint32_t block = get_blocksize(p.part());
    ASSERT_GT(block, 0u);
    size_t deleted = 0;
    for (const TruthEntry &e : truth) {
        std::string name = baseName(e.path);
        auto it = found.byName.find(name);
        if (!e.deleted) {
            EXPECT_EQ(it, found.byName.end()) << "in-use file listed: " << e.path;
            continue;
        }
        deleted++;
        ASSERT_NE(it, found.byName.end()) << "deleted file not found: " << e.path;
        const NTFS_DEL_FILEINFO_t *r = it->second;
        EXPECT_EQ(r->cIsDir, 0);
        EXPECT_EQ(pk(r->nFileSize), e.size) << e.path;
        EXPECT_GT(pk(r->nCreateTime), 0u);
        EXPECT_EQ(folderOf(r), dirName(e.path)) << e.path;

        std::vector<uint8_t> want = readFile(dir + "/" + vol + "/" + e.path);
        std::vector<int> codes;
        std::vector<uint8_t> got = readBlocks(
            [](uint64_t m, void *b, uint32_t l) { return Ntfs_Get_Data(m, b, l); }, r->nMftNumber, r->nFileSize,
            block, &codes);
        Ntfs_RWfile_Set(1);
        EXPECT_TRUE(got == want) << "data differ: " << e.path;
        for (int c : codes)
            EXPECT_EQ(c, 0) << e.path;
    }
    // Only the deleted files: no folders, no in-use files, no metadata.
    EXPECT_EQ(found.count, deleted);
    EXPECT_EQ(found.byName.count("gone"), 0u);
    EXPECT_EQ(found.byName.count("sub"), 0u);
    EXPECT_EQ(found.byName.count("emptydir"), 0u);

    NTFS_Free_Glod_Exit();
    NTFS_Free_File_Info(list);
}

TEST_P(NtfsVolumes, NamesKeepEveryUnit)
{
    NTFS_FIXTURE_OR_SKIP(dir, "ntfs");
    std::string vol = GetParam();
    ImageSet set({dir + "/" + vol + ".img"});
    ImagePartition p(set.device(0), 0, set.device(0)->DiskSize, FS_NTFS);
    ASSERT_TRUE(Initi_Ntfs_InFo(p.part()));
    NTFS_DEL_FILEINFO_t *list = Ntfs_Get_Del_File();
    bool sawLong = false, sawSurrogate = false;
    for (NTFS_DEL_FILEINFO_t *r = list; r; r = r->pNextFile) {
        uint16_t shortName[128];
        memcpy(shortName, reinterpret_cast<uint8_t *>(r) + offsetof(NTFS_DEL_FILEINFO_t, wszName), sizeof(shortName));
        std::vector<uint16_t> units = recUnits(r);
        if (r->cNameLength == 200) {
            sawLong = true;
            // The record holds the first 127 units and a zero; the whole
            // name comes with it.
            ASSERT_NE(pk(r->pwszLongName), nullptr);
            EXPECT_EQ(shortName[127], 0);
            EXPECT_EQ(memcmp(shortName, units.data(), 127 * 2), 0);
            EXPECT_EQ(recName(r), "long_name_" + std::string(186, 'x') + ".txt");
        } else {
            EXPECT_EQ(pk(r->pwszLongName), nullptr);
            EXPECT_EQ(shortName[r->cNameLength], 0);
        }
        if (recName(r) == "\xF0\x9F\x93\xB7 holiday.jpg") {
            sawSurrogate = true;
            EXPECT_EQ(r->cNameLength, 14);  // the camera is two units
        }
    }
    EXPECT_TRUE(sawLong);
    EXPECT_TRUE(sawSurrogate);
    NTFS_Free_Glod_Exit();
    NTFS_Free_File_Info(list);
}

INSTANTIATE_TEST_SUITE_P(Clusters, NtfsVolumes, ::testing::Values("c4k", "c512", "c64k", "r4k", "c128k", "c2m"));

// The read contract of one open file at a time.
class NtfsReads : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fixture("ntfs");
        std::string why;
        if (fixtureSkipped(dir_, &why))
            GTEST_SKIP() << "NTFS fixture unavailable: " << why;
        set_ = std::make_unique<ImageSet>(std::vector<std::string>{dir_ + "/c4k.img"});
        part_ = std::make_unique<ImagePartition>(set_->device(0), 0, set_->device(0)->DiskSize, FS_NTFS);
        ASSERT_TRUE(Initi_Ntfs_InFo(part_->part()));
        list_ = Ntfs_Get_Del_File();
        for (NTFS_DEL_FILEINFO_t *r = list_; r; r = r->pNextFile)
            byName_[recName(r)] = r;
    }
    void TearDown() override
    {
        NTFS_Free_Glod_Exit();
        NTFS_Free_File_Info(list_);
        part_.reset();
        set_.reset();
    }
    const NTFS_DEL_FILEINFO_t *file(const std::string &name)
    {
        auto it = byName_.find(name);
        return it == byName_.end() ? nullptr : it->second;
    }
    std::vector<uint8_t> truth(const std::string &path) { return readFile(dir_ + "/c4k/" + path); }

    std::string dir_;
    std::unique_ptr<ImageSet> set_;
    std::unique_ptr<ImagePartition> part_;
    NTFS_DEL_FILEINFO_t *list_ = nullptr;
    std::map<std::string, const NTFS_DEL_FILEINFO_t *> byName_;
};

TEST_F(NtfsReads, ResidentFileThenEnd)
{
    const NTFS_DEL_FILEINFO_t *r = file("resident_600.txt");
    ASSERT_NE(r, nullptr);
    std::vector<uint8_t> buf(4096, 0xEE);
    EXPECT_EQ(Ntfs_Get_Data(pk(r->nMftNumber), buf.data(), 4096), 0);
    std::vector<uint8_t> want = truth("resident_600.txt");
    EXPECT_TRUE(std::equal(want.begin(), want.end(), buf.begin()));
    EXPECT_EQ(Ntfs_Get_Data(pk(r->nMftNumber), buf.data(), 4096), -1);
    Ntfs_RWfile_Set(1);
}

TEST_F(NtfsReads, InterleavedFilesRestartFromTheirBeginning)
{
    const NTFS_DEL_FILEINFO_t *a = file("big.bin"), *b = file("frag_a.bin");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    std::vector<uint8_t> wa = truth("big.bin"), wb = truth("frag_a.bin");
    std::vector<uint8_t> buf(4096);
    ASSERT_EQ(Ntfs_Get_Data(pk(a->nMftNumber), buf.data(), 4096), 0);
    ASSERT_EQ(Ntfs_Get_Data(pk(a->nMftNumber), buf.data(), 4096), 0);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), wa.begin() + 4096));
    ASSERT_EQ(Ntfs_Get_Data(pk(b->nMftNumber), buf.data(), 4096), 0);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), wb.begin()));
    // Back to A: it starts over.
    ASSERT_EQ(Ntfs_Get_Data(pk(a->nMftNumber), buf.data(), 4096), 0);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), wa.begin()));
    // Closing and asking again also starts over.
    Ntfs_RWfile_Set(1);
    ASSERT_EQ(Ntfs_Get_Data(pk(a->nMftNumber), buf.data(), 4096), 0);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), wa.begin()));
    Ntfs_RWfile_Set(1);
}

TEST_F(NtfsReads, NonResidentTailEndsAtTheDataSize)
{
    const NTFS_DEL_FILEINFO_t *r = file("sparse.bin");
    ASSERT_NE(r, nullptr);
    uint64_t size = r->nFileSize;
    std::vector<int> codes;
    std::vector<uint8_t> got = readBlocks([](uint64_t m, void *b, uint32_t l) { return Ntfs_Get_Data(m, b, l); },
                                          r->nMftNumber, size, 4096, &codes);
    EXPECT_EQ(got, truth("sparse.bin"));
    EXPECT_EQ(codes.back(), 0);
    std::vector<uint8_t> buf(4096);
    EXPECT_EQ(Ntfs_Get_Data(pk(r->nMftNumber), buf.data(), 4096), -1);
    Ntfs_RWfile_Set(1);
}

TEST_F(NtfsReads, RecordsWithoutDataLeaveNoFileOpen)
{
    // Record 5 is the root folder: a record without an unnamed data stream.
    std::vector<uint8_t> buf(4096);
    EXPECT_EQ(Ntfs_Get_Data(5, buf.data(), 4096), 2);
    EXPECT_EQ(Ntfs_Get_Data(5, buf.data(), 4096), 2);
    // A number past the MFT: the record cannot be read.
    EXPECT_EQ(Ntfs_Get_Data(1u << 30, buf.data(), 4096), 1);
    // A real file still opens afterwards.
    const NTFS_DEL_FILEINFO_t *r = file("small.txt");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(Ntfs_Get_Data(pk(r->nMftNumber), buf.data(), 4096), 0);
    Ntfs_RWfile_Set(1);
}

TEST_F(NtfsReads, HandleReaderAndSizes)
{
    const NTFS_DEL_FILEINFO_t *r = file("frag_b.bin");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(Ntfs_Get_FlieSize(pk(r->nMftNumber), list_), pk(r->nFileSize));
    EXPECT_EQ(Ntfs_Get_FlieSize(pk(r->nMftNumber), nullptr), pk(r->nFileSize));
    NTFS_FILE_HANDLE h;
    ASSERT_TRUE(Ntfs_Open_File(pk(r->nMftNumber), &h));
    std::vector<uint8_t> got, buf(10000);
    uint32_t n;
    while (Ntfs_Read_File(&h, (uint32_t)buf.size(), &n, buf.data()))
        got.insert(got.end(), buf.begin(), buf.begin() + n);
    Ntfs_Close_File(&h);
    EXPECT_EQ(got, truth("frag_b.bin"));
}

TEST_F(NtfsReads, ParentFoldersAndTheDirectoryLister)
{
    const NTFS_DEL_FILEINFO_t *r = file("report.txt");
    ASSERT_NE(r, nullptr);
    NTFS_MFT_ParentID_Name o;
    ASSERT_TRUE(Ntfs_Get_NameParentID(pk(r->nMftNumber), &o));
    EXPECT_EQ(pk(o.nNumber), pk(r->nParentRef));
    EXPECT_TRUE(o.cFlags & 0x02);
    EXPECT_EQ(salvitra::utf16leToUtf8(reinterpret_cast<uint8_t *>(&o) + offsetof(NTFS_MFT_ParentID_Name, wszName),
                                      o.cNameLength),
              "2024");

    // The root lists what is still there, deleted files not among them.
    _Set_ExternUse();
    ASSERT_TRUE(Shwo_Ntfs_Dir(NTFS_ROOT_MFT_NUMBER));
    std::set<std::string> names;
    for (NTFS_DEL_FILEINFO_t *e = _Get_ExternUse(); e; e = e->pNextFile) {
        names.insert(recName(e));
        if (recName(e) == "keep_dir") {
            EXPECT_EQ(e->cIsDir, 1);
        }
        if (recName(e) == "keep.txt") {
            EXPECT_EQ(pk(e->nFileSize), 960u);
        }
    }
    EXPECT_EQ(names, (std::set<std::string>{"keep.txt", "keep_dir", "docs", "compressed"}));
    NTFS_Free_File_Info(_Get_ExternUse());
    EXPECT_EQ(_Get_ExternUse(), nullptr);

    char first[16];
    EXPECT_EQ(FsGetFirstNameFromPath("docs\\2024/report.txt", first, sizeof first), 4);
    EXPECT_STREQ(first, "docs");
    EXPECT_EQ(FsGetNumPathParts("docs/2024/report.txt"), 3);
}

TEST_F(NtfsReads, ClusterBitmap)
{
    // Cluster 0 holds the boot sector; the free clusters are those that
    // ntfs-3g counts as free.
    EXPECT_TRUE(Ntfs_Fat_Cmp(part_->part(), 0));
    auto number = [&](const std::string &f) {
        std::vector<uint8_t> b = readFile(dir_ + "/" + f);
        return std::stoull(std::string(b.begin(), b.end()));
    };
    uint64_t clusters = number("c4k.clusters"), free = number("c4k.free");
    uint64_t counted = 0;
    for (uint64_t c = 0; c < clusters; c++)
        counted += !Ntfs_Fat_Cmp(part_->part(), c);
    EXPECT_EQ(counted, free);
    EXPECT_FALSE(Ntfs_Fat_Cmp(part_->part(), UINT64_MAX / 2));
    EXPECT_FALSE(Ntfs_Fat_Cmp(nullptr, 0));
}

TEST(NtfsInit, RefusesOtherFileSystemsAndStartsAgainAfterExit)
{
    NTFS_FIXTURE_OR_SKIP(dir, "ntfs");
    ImageSet set({dir + "/c512.img"});
    ImagePartition fat(set.device(0), 0, set.device(0)->DiskSize, FS_FAT32);
    EXPECT_FALSE(Initi_Ntfs_InFo(fat.part()));
    EXPECT_EQ(Ntfs_Get_Del_File(), nullptr);
    EXPECT_FALSE(Initi_Ntfs_InFo(nullptr));

    ImagePartition p(set.device(0), 0, set.device(0)->DiskSize, FS_NTFS);
    size_t first = 0, second = 0;
    for (int round = 0; round < 2; round++) {
        ASSERT_TRUE(Initi_Ntfs_InFo(p.part()));
        NTFS_DEL_FILEINFO_t *list = Ntfs_Get_Del_File();
        size_t n = 0;
        for (NTFS_DEL_FILEINFO_t *r = list; r; r = r->pNextFile)
            n++;
        (round ? second : first) = n;
        EXPECT_EQ(NTFS_Free_Glod_Exit(), 1);
        EXPECT_EQ(NTFS_Free_File_Info(list), 1);
        // After the teardown nothing is open and nothing can be read.
        std::vector<uint8_t> buf(512);
        EXPECT_EQ(Ntfs_Get_Del_File(), nullptr);
        EXPECT_EQ(Ntfs_Get_Data(64, buf.data(), 512), 1);
    }
    EXPECT_GT(first, 10u);
    EXPECT_EQ(first, second);
}

}  // namespace
