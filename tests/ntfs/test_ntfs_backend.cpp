// The NTFS backends of the driver: a quick scan and a formatted-volume
// search turned into found files with folders and UTF-8 names, written out
// byte for byte by the shared recovery path; and the pure helpers behind
// them (name conversion, folder paths from parent references).
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "text.h"
#include "mem_device.h"
#include "ntfs_backend.h"
#include "ntfs_image.h"
#include "ntfs_paths.h"
#include "ntfs_test_util.h"
#include "recover.h"
#include "scan.h"

using namespace svt;
using namespace salvitra;

namespace {

// ---- names and times ----

TEST(NtfsText, Utf16ToUtf8)
{
    auto conv = [](std::vector<uint16_t> u) { return utf16leToUtf8(u.data(), u.size()); };
    EXPECT_EQ(conv({'a', 0xE9, 0x65E5}), "a\xC3\xA9\xE6\x97\xA5");
    EXPECT_EQ(conv({0xD83D, 0xDCF7, ' '}), "\xF0\x9F\x93\xB7 ");          // a pair
    EXPECT_EQ(conv({0xD83D, 'x'}), "\xEF\xBF\xBDx");                       // a lone high half
    EXPECT_EQ(conv({0xDCF7}), "\xEF\xBF\xBD");                             // a lone low half
    EXPECT_EQ(conv({0xD83D}), "\xEF\xBF\xBD");                             // cut at the end
    EXPECT_EQ(conv({'a', 0, 'b'}), "a\xEF\xBF\xBD" "b");                   // no hidden terminator
    EXPECT_EQ(ntfsTimeToUnix(116444736000000000ull), 0);
    EXPECT_EQ(ntfsTimeToUnix(132000000000000000ull), 1555526400);
    EXPECT_EQ(ntfsTimeToUnix(0), -1);
    EXPECT_EQ(extensionOf("Photo.JPG"), "jpg");
    EXPECT_EQ(extensionOf(".hidden"), "");
    EXPECT_EQ(extensionOf("noext"), "");
}

// ---- folders from parent references ----

struct FakeVolume {
    // number -> (parent reference, flags of the parent, name of the parent)
    std::map<uint64_t, std::tuple<uint64_t, uint8_t, std::u16string>> recs;
    int calls = 0;
    NtfsFolderResolver::Lookup lookup()
    {
        return [this](uint64_t n, NTFS_MFT_ParentID_Name *o) {
            calls++;
            auto it = recs.find(n);
            if (it == recs.end())
                return false;
            memset(o, 0, sizeof(*o));
            o->nNumber = std::get<0>(it->second);
            o->cFlags = std::get<1>(it->second);
            const std::u16string &name = std::get<2>(it->second);
            o->cNameLength = (uint8_t)name.size();
            memcpy(reinterpret_cast<uint8_t *>(o) + offsetof(NTFS_MFT_ParentID_Name, wszName), name.data(),
                   name.size() * 2);
            return true;
        };
    }
};

TEST(NtfsFolders, ResolvesThroughParentsAndCaches)
{
    FakeVolume v;
    // root(5) / a(30) / b(31); files 40, 41 in b; 42 in a.
    v.recs[40] = {31, 3, u"b"};
    v.recs[41] = {31, 3, u"b"};
    v.recs[42] = {30, 3, u"a"};
    v.recs[31] = {30, 3, u"a"};
    v.recs[30] = {5, 3, u"."};
    NtfsFolderResolver r(v.lookup());
    std::string f;
    ASSERT_TRUE(r.folderOf(40, 31, &f));
    EXPECT_EQ(f, "a/b");
    int after = v.calls;
    ASSERT_TRUE(r.folderOf(41, 31, &f));
    EXPECT_EQ(f, "a/b");
    ASSERT_TRUE(r.folderOf(42, 30, &f));
    EXPECT_EQ(f, "a");
    EXPECT_EQ(v.calls, after);  // both folders known already
    ASSERT_TRUE(r.folderOf(43, 5 | (7ull << 48), &f));
    EXPECT_EQ(f, "");
}

TEST(NtfsFolders, GivesUpOnGoneLoopingOrNonFolderParents)
{
    FakeVolume v;
    v.recs[40] = {31, 3, u"b"};  // 31's own record is gone
    v.recs[50] = {60, 3, u"x"};  // 60 -> 61 -> 60: a loop
    v.recs[60] = {61, 3, u"y"};
    v.recs[61] = {60, 3, u"x"};
    v.recs[70] = {71, 1, u"f"};  // the parent record is a file now
    NtfsFolderResolver r(v.lookup());
    std::string f;
    EXPECT_FALSE(r.folderOf(40, 31, &f));
    EXPECT_FALSE(r.folderOf(50, 60, &f));
    EXPECT_FALSE(r.folderOf(70, 71, &f));
    EXPECT_FALSE(r.folderOf(99, 98, &f));  // the file's own record is gone

    // A chain deeper than allowed.
    FakeVolume deep;
    for (uint64_t n = 100; n < 400; n++)
        deep.recs[n] = {n + 1, 3, u"d"};
    deep.recs[400] = {5, 3, u"d"};
    NtfsFolderResolver shallow(deep.lookup(), 50);
    EXPECT_FALSE(shallow.folderOf(100, 101, &f));
    NtfsFolderResolver roomy(deep.lookup(), 1000);
    ASSERT_TRUE(roomy.folderOf(100, 101, &f));
    EXPECT_EQ(f.size(), 300u * 2 - 1);  // folders 101 to 400
}

// ---- the backends on real volumes ----

TEST(NtfsBackend, QuickScanAndRecoverByteForByte)
{
    NTFS_FIXTURE_OR_SKIP(dir, "ntfs");
    for (const char *vol : {"c4k", "c512"}) {
        ImageSet set({dir + "/" + vol + ".img"});
        ImagePartition p(set.device(0), 0, set.device(0)->DiskSize, FS_NTFS);
        ScanRequest req;
        req.part = p.part();
        req.mode = RecoverQuick;
        ScanJob s(req);
        ASSERT_TRUE(s.supported());
        ASSERT_TRUE(s.run());
        std::map<std::string, const FoundFile *> byPath;
        for (const FoundFile &f : s.files()) {
            byPath[f.folder.empty() ? f.name : f.folder + "/" + f.name] = &f;
            EXPECT_GT(f.created, 1500000000);
            EXPECT_EQ(f.mtime, -1) << "the record keeps its creation time only";
            EXPECT_TRUE(f.note.empty()) << f.name;
        }
        std::vector<TruthEntry> truth = loadTruth(dir + "/" + vol + ".tsv");
        std::vector<const FoundFile *> pick;
        for (const TruthEntry &e : truth) {
            auto it = byPath.find(e.path);
            if (!e.deleted) {
                EXPECT_EQ(it, byPath.end()) << e.path;
                continue;
            }
            ASSERT_NE(it, byPath.end()) << e.path;
            EXPECT_EQ(it->second->size, e.size);
            pick.push_back(it->second);
        }
        EXPECT_EQ(pick.size(), s.files().size());

        TempDir out;
        RecoverOptions opt;
        opt.outDir = out.path();
        RecoverSummary sum = recoverFiles(s, pick, opt);
        EXPECT_EQ(sum.readFailures, 0u);
        for (const RecoveredFile &rf : sum.files) {
            std::string rel = rf.file->folder.empty() ? rf.file->name : rf.file->folder + "/" + rf.file->name;
            if (rf.file->size == 0) {
                EXPECT_EQ(rf.result, WriteResult::Empty);
                continue;
            }
            EXPECT_EQ(rf.result, WriteResult::Ok) << rel;
            EXPECT_EQ(rf.path, out.path() + "/" + rel);
            EXPECT_TRUE(readFile(rf.path) == readFile(dir + "/" + vol + "/" + rel)) << rel;
        }
        // Written again into the same folder: nothing is overwritten.
        RecoverSummary again = recoverFiles(s, {pick[0]}, opt);
        EXPECT_NE(again.files[0].path, sum.files[0].path);
    }
}

TEST(NtfsBackend, WriterRefusesWhatItCannotRead)
{
    NTFS_FIXTURE_OR_SKIP(dir, "ntfs");
    const TaskelApi *api = taskelApi();
    ASSERT_NE(api, nullptr);
    ImageSet set({dir + "/c4k.img"});
    ImagePartition p(set.device(0), 0, set.device(0)->DiskSize, FS_NTFS);
    ASSERT_TRUE(api->Initi_Ntfs_InFo(p.part()));
    TempDir out;
    WriteStats st;
    EXPECT_EQ(DelNtfsRecovery(*api, nullptr, p.part(), out.file("a"), st), WriteResult::NoRecord);
    NTFS_DEL_FILEINFO_t fake{};
    fake.nMftNumber = 1u << 30;  // past the MFT
    fake.nFileSize = 100;
    EXPECT_EQ(DelNtfsRecovery(*api, &fake, p.part(), out.file("b"), st), WriteResult::Unreadable);
    ImagePartition noBoot(set.device(0), 0, set.device(0)->DiskSize, FS_EXT2);
    EXPECT_EQ(DelNtfsRecovery(*api, &fake, noBoot.part(), out.file("c"), st), WriteResult::NoChunk);
    api->NTFS_Free_Glod_Exit();
}

TEST(NtfsBackend, ABadSectorBecomesOneZeroClusterInTheOutput)
{
    const TaskelApi *api = taskelApi();
    ASSERT_NE(api, nullptr);
    const uint32_t cs = 4096;
    NtfsVolumeBuilder b(cs, 1024, 2048, 4, 64);
    std::vector<uint8_t> data = patternBytes(1000 * cs + 123, 5);
    b.writeClusters(600, data);
    b.setRecord(40, NtfsRecordBuilder(1024, 40)
                        .fileName(u"movie.mp4", 5)
                        .nonResident(0x80, {{600, 1001}}, data.size(), cs)
                        .finish());
    MemDevice dev(b.image());
    Partiton_Struct *part = dev.partition(0, dev.bytes().size(), FS_NTFS);
    dev.failFrom = 900ull * cs + 512;  // a sector inside the file's cluster 300
    dev.failTo = 900ull * cs + 1024;
    ASSERT_TRUE(api->Initi_Ntfs_InFo(part));
    NTFS_DEL_FILEINFO_t *list = api->Ntfs_Get_Del_File();
    ASSERT_NE(list, nullptr);
    TempDir out;
    WriteStats st;
    EXPECT_EQ(DelNtfsRecovery(*api, list, part, out.file("movie.mp4"), st), WriteResult::Damaged);
    EXPECT_EQ(st.readFailures, 1u);
    EXPECT_EQ(st.unreadable, (std::vector<ByteRange>{{300ull * cs, cs}})) << "exactly the cluster that failed";
    std::vector<uint8_t> want = data;
    std::fill(want.begin() + 300 * cs, want.begin() + 301 * cs, 0);
    EXPECT_TRUE(readFile(out.file("movie.mp4")) == want);
    api->NTFS_Free_Glod_Exit();
    api->NTFS_Free_File_Info(list);
}

TEST(NtfsBackend, FormattedSearchPlacesFilesUnderTheirOldVolume)
{
    NTFS_FIXTURE_OR_SKIP(dir, "ntfs_formatted");
    ImageSet set({dir + "/f64k.img"});
    ImagePartition p(set.device(0), 0, set.device(0)->DiskSize, FS_NTFS);
    ScanRequest req;
    req.part = p.part();
    req.formatted = true;
    ScanJob s(req);
    ASSERT_TRUE(s.supported());
    ASSERT_TRUE(s.run());
    std::map<std::string, const FoundFile *> byName;
    std::set<std::string> volumes;
    for (const FoundFile &f : s.files())
        byName[f.name] = &f;
    std::vector<TruthEntry> truth = loadTruth(dir + "/f64k.tsv");
    std::vector<const FoundFile *> pick;
    std::string oldVolume;
    for (const TruthEntry &e : truth) {
        auto it = byName.find(baseName(e.path));
        ASSERT_NE(it, byName.end()) << e.path;
        const FoundFile &f = *it->second;
        std::string top = f.folder.substr(0, f.folder.find('/'));
        volumes.insert(top);
        std::string inner = f.folder.size() > top.size() ? f.folder.substr(top.size() + 1) : "";
        EXPECT_EQ(inner, dirName(e.path));
        pick.push_back(&f);
    }
    ASSERT_EQ(volumes.size(), 1u);  // one old volume for all of them
    EXPECT_EQ(volumes.begin()->rfind("NTFS volume ", 0), 0u);
    ASSERT_TRUE(byName.count("new.txt"));
    EXPECT_NE(byName["new.txt"]->folder, *volumes.begin());

    TempDir out;
    RecoverOptions opt;
    opt.outDir = out.path();
    RecoverSummary sum = recoverFiles(s, pick, opt);
    for (size_t i = 0; i < truth.size(); i++) {
        ASSERT_EQ(sum.files[i].result, WriteResult::Ok) << truth[i].path;
        EXPECT_TRUE(readFile(sum.files[i].path) == readFile(dir + "/f64k/" + truth[i].path)) << truth[i].path;
    }
}

}  // namespace
