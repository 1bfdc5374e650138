// The HFS+ quick scan as the front ends use it: found files with their
// folder paths, and recovery byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "backends.h"
#include "hfs_scenario.h"
#include "hfsp_backend.h"
#include "hfsp_paths.h"
#include "mem_device.h"
#include "recover.h"
#include "scan.h"
#include "test_support.h"

using namespace salvitra;
using namespace svt;

namespace {

TEST(HfsNames, Utf16ToUtf8AsMacOSShowsIt)
{
    std::u16string s = u"Caf\u00e9 \u65e5\u672c a/b \U0001F600";
    EXPECT_EQ(hfsNameToUtf8(reinterpret_cast<const uint16_t *>(s.data()), s.size()),
              "Caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC a:b \xF0\x9F\x98\x80");
    const uint16_t lone[] = {'x', 0xD800, 'y', 0xDC00};
    EXPECT_EQ(hfsNameToUtf8(lone, 4), "x\xEF\xBF\xBDy\xEF\xBF\xBD");
    const uint16_t nul[] = {0, 'H'};
    EXPECT_EQ(hfsNameToUtf8(nul, 2), "\xE2\x90\x80H");
    EXPECT_EQ(hfsNameToUtf8(nullptr, 3), "");
}

TEST(HfsNames, TimesCountFrom1904)
{
    EXPECT_EQ(hfsTimeToUnix(2082844800u), 0);
    EXPECT_EQ(hfsTimeToUnix(2082844800u + 86400), 86400);
    EXPECT_EQ(hfsTimeToUnix(0), -1);
    EXPECT_LT(hfsTimeToUnix(1000), 0);  // before 1970 stays before 1970
}

TEST(HfsFolderPaths, BuildsPathsAndSurvivesLoops)
{
    HfsFolderPaths p;
    p.addFolder(20, 2, "DCIM");
    p.addFolder(21, 20, "100APPLE");
    p.addFolder(21, 2, "ignored: the first record wins");
    p.addFolder(30, 31, "loopA");
    p.addFolder(31, 30, "loopB");
    p.addFolder(40, 40, "self");
    EXPECT_EQ(p.path(2), "");
    EXPECT_EQ(p.path(1), "");
    EXPECT_EQ(p.path(21), "DCIM/100APPLE");
    EXPECT_EQ(p.path(20), "DCIM");
    EXPECT_EQ(p.path(99), "Unknown folder 99");
    EXPECT_EQ(p.path(30), "Unknown folder 30/loopB/loopA");
    EXPECT_EQ(p.path(40), "Unknown folder 40/self");
    // A chain longer than any real volume's.
    HfsFolderPaths deep;
    for (uint32_t i = 100; i < 5100; i++)
        deep.addFolder(i, i + 1, "d");
    EXPECT_EQ(deep.path(100).rfind("Unknown folder", 0), 0u);
}

struct Session {
    HfsScenario s = makeHfsScenario();
    MemDevice dev{s.image};
    ScanRequest req;
    std::unique_ptr<ScanJob> session;

    Session()
    {
        req.part = dev.partition(0, s.image.size(), FS_HFSPLUS);
        req.mode = RecoverQuick;
        session = std::make_unique<ScanJob>(req);
    }
};

TEST(HfsBackend, QuickScanListsFilesUnderTheirFolders)
{
    Session t;
    ASSERT_TRUE(t.session->supported());
    ASSERT_TRUE(t.session->run());
    std::map<std::string, const FoundFile *> byPath;
    for (const FoundFile &f : t.session->files())
        byPath[f.folder.empty() ? f.name : f.folder + "/" + f.name] = &f;

    size_t files = 0;
    for (const auto &kv : t.s.records) {
        const HfsExpected &e = kv.second;
        if (e.folder)
            continue;
        files++;
        std::string name = e.name;
        for (char &c : name)
            if (c == '/')
                c = ':';
        std::string path = e.path.empty() ? name : e.path + "/" + name;
        SCOPED_TRACE(path);
        ASSERT_TRUE(byPath.count(path));
        const FoundFile &f = *byPath[path];
        EXPECT_EQ(std::max(f.size, f.listedSize), e.dataSize);
        EXPECT_EQ(f.created, (int64_t)e.createDate - 2082844800);
        EXPECT_EQ(f.mtime, -1) << "the creation date is not a modification time";
        EXPECT_EQ(f.times, FileTimes::CreatedOnly);
        EXPECT_NE(f.record, nullptr);
    }
    EXPECT_EQ(t.session->files().size(), files);

    const FoundFile &icon = *byPath["Icon\r"];
    EXPECT_FALSE(icon.readable());
    EXPECT_FALSE(icon.note.empty());
    const FoundFile &frag = *byPath["Documents/fragments.bin"];
    EXPECT_TRUE(frag.readable());
    EXPECT_EQ(frag.state, FileState::Damaged);
    EXPECT_EQ(frag.size, 8 * 4096u) << "the file ends where its recorded blocks end";
    EXPECT_NE(frag.note.find("32768"), std::string::npos) << frag.note;
    EXPECT_EQ(byPath["DCIM/100APPLE/IMG_0001.JPG"]->type, "jpg");
}

TEST(HfsBackend, RecoveredFilesMatchByteForByte)
{
    Session t;
    ASSERT_TRUE(t.session->run());
    TempDir out;
    std::vector<const FoundFile *> all;
    for (const FoundFile &f : t.session->files())
        all.push_back(&f);
    RecoverOptions opt;
    opt.outDir = out.path();
    RecoverSummary sum = recoverFiles(*t.session, all, opt);

    for (const auto &kv : t.s.records) {
        const HfsExpected &e = kv.second;
        if (e.folder || e.dataSize == 0 || !e.complete)
            continue;
        std::string name = e.name;
        for (char &c : name)
            if (c == '/')
                c = ':';
        std::string path = out.path() + "/" + (e.path.empty() ? "" : e.path + "/") + name;
        SCOPED_TRACE(path);
        EXPECT_EQ(readFile(path), e.data);
    }
    // The fragmented file: eight recorded extents and nothing after them,
    // kept as NAME.partial.
    EXPECT_FALSE(svt::exists(out.file("Documents/fragments.bin")));
    std::vector<uint8_t> frag = readFile(out.file("Documents/fragments.bin.partial"));
    const std::vector<uint8_t> &want = t.s.records[39].data;
    ASSERT_EQ(frag.size(), 8 * 4096u);
    EXPECT_TRUE(std::equal(frag.begin(), frag.end(), want.begin()));
    EXPECT_EQ(sum.damaged, 1u);
    EXPECT_EQ(sum.readFailures, 0u);

    // Recovering again never overwrites and still starts every file at its
    // first byte.
    RecoverSummary again = recoverFiles(*t.session, all, opt);
    EXPECT_EQ(again.written, sum.written);
    EXPECT_EQ(readFile(out.file("DCIM/100APPLE/IMG_0002 (1).JPG")), t.s.records[31].data);
}

TEST(HfsBackend, WriterStartsOverAfterAStreamWasCutShort)
{
    Session t;
    ASSERT_TRUE(t.session->run());
    file_info *img = nullptr;
    for (const FoundFile &f : t.session->files())
        if (f.name == "IMG_0001.JPG")
            img = static_cast<file_info *>(f.record);
    ASSERT_NE(img, nullptr);
    // Somebody read two blocks of it and stopped.
    std::vector<uint8_t> buf(4096);
    hfsxx_readwirtelogfile(img, buf.data(), 4096, 0);
    hfsxx_readwirtelogfile(img, buf.data(), 4096, 0);
    TempDir out;
    WriteStats st;
    ASSERT_EQ(DelHfspRecovery(img, out.file("a.jpg"), st), WriteResult::Ok);
    EXPECT_EQ(readFile(out.file("a.jpg")), t.s.records[30].data);
    EXPECT_EQ(DelHfspRecovery(nullptr, out.file("b.jpg"), st), WriteResult::NoRecord);
    EXPECT_EQ(DelHfspRecovery(img, out.file("a.jpg"), st), WriteResult::Exists);
}

TEST(HfsBackend, ReleaseEndsTheScanAndANewOneWorks)
{
    Session t;
    ASSERT_TRUE(t.session->run());
    size_t n = t.session->files().size();
    t.session->release();
    EXPECT_EQ(hfsp_get_blocksize(), 0);
    ScanJob again(t.req);
    ASSERT_TRUE(again.run());
    EXPECT_EQ(again.files().size(), n);
}

TEST(HfsBackend, NoFormattedScanAndHfsxHasTheHfsPlusScanner)
{
    HfsScenario s = makeHfsScenario();
    MemDevice dev(s.image);
    ScanRequest req;
    req.part = dev.partition(0, s.image.size(), FS_HFSPLUS);
    req.formatted = true;
    EXPECT_EQ(makeBackend(req), nullptr);
    req.formatted = false;
    req.part->FsType = FS_HFSX;
    const BackendRow *row = nullptr;
    EXPECT_NE(makeBackend(req, nullptr, &row), nullptr);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row->label, "HFSX");
    EXPECT_EQ(row->library, ScanLibrary::Varn);
}

}  // namespace
