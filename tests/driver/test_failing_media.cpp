// Scans on failing media: reads that fail in chosen places, served by a FUSE
// file system of the tests' own (svt::FailingMedium), and media that go away
// in the middle of a scan.  Every scan ends, counts what it could not read,
// and keeps what it found.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <unistd.h>

#include "bmp_run.h"
#include "failing_medium.h"
#include "inventory.h"
#include "recover.h"
#include "scan.h"
#include "test_support.h"

using namespace salvitra;

namespace {

// One scan of partition 0 (or, for deep scans, of the whole device) of the
// medium at path.
struct Scan {
    Inventory inv;
    std::unique_ptr<ScanJob> job;
    Status status;

    Scan(const std::string &path, RecoverMod mode, bool wholeDevice = false, JobObserver *observer = nullptr)
    {
        std::string err;
        EXPECT_TRUE(inv.build({path}, &err)) << err;
        ScanRequest req;
        req.part = wholeDevice ? inv.wholeDevice(0) : inv.partition(0) ? inv.partition(0)->part : nullptr;
        req.mode = mode;
        req.inventory = &inv;
        if (!req.part)
            return;
        job = std::make_unique<ScanJob>(req, observer);
        status = job->run();
    }
    ~Scan()
    {
        job.reset();  // releases the inventory first
    }
};

// 40 BMP pictures of 64 KiB, each followed by 64 KiB of zeros.
constexpr uint32_t kPicture = 64 << 10, kStride = 128 << 10, kPictures = 40;

std::vector<uint8_t> pictureMedium()
{
    std::vector<uint8_t> img;
    for (uint32_t i = 0; i < kPictures; i++) {
        std::vector<uint8_t> f = svt::bmpFile(kPicture, i + 1);
        img.insert(img.end(), f.begin(), f.end());
        img.resize((size_t)(i + 1) * kStride);
    }
    return img;
}

// A quick or deep scan of every kind of volume on a medium with 1 % of its
// sectors unreadable (the first 64 left alone, so that the volume is still
// recognised) ends Done and counts the areas it met.
TEST(FailingMedia, EveryScanGoesPastUnreadableSectorsAndCountsThem)
{
    struct Case {
        const char *fixture, *image;
        RecoverMod mode;
    } cases[] = {
        {"fat16", "fat16.img", RecoverQuick},
        {"ntfs", "c4k.img", RecoverQuick},
        {"exfat", "exfat.img", RecoverQuick},
        {"ext3", "ext4-kill.img", RecoverQuick},
        {"ext3", "ext3-1k.img", RecoverQuick},
        {"carving", "fat.img", RecoverDeep},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.image);
        std::string image = svt::fixture(c.fixture) + "/" + c.image;
        if (!std::ifstream(image).good())
            continue;  // a fixture this machine cannot make
        uint64_t sectors = svt::readFile(image).size() / 512;
        svt::BadSectors bad;
        for (const auto &b : svt::spreadBadSectors(sectors - 64, 0.01, 7))
            bad.emplace_back(b.first + 64, b.second);
        svt::FailingMedium m(image, bad);
        if (!m.ok())
            GTEST_SKIP() << m.why();
        Scan s(m.path(), c.mode);
        ASSERT_TRUE(s.job);
        EXPECT_EQ(s.status.code, StatusCode::Done) << s.status.text();
        Progress p = s.job->progress();
        EXPECT_LE(p.unreadableAreas, bad.size());
        if (c.mode == RecoverDeep) {
            // The deep scan reads every sector: it meets every bad one
            // (neighbours count as one area).
            size_t runs = 0;
            for (size_t i = 0; i < bad.size(); i++)
                runs += i == 0 || bad[i].first != bad[i - 1].first + 1;
            EXPECT_EQ(p.unreadableAreas, runs);
            EXPECT_EQ(p.unreadableBytes, bad.size() * 512);
            EXPECT_NE(s.status.reason.find("could not be read and were skipped"), std::string::npos);
        }
    }
}

// Pictures whose sectors all read come back whole; one with an unreadable
// sector inside is never called whole; one whose header cannot be read is
// not found.
TEST(FailingMedia, DeepScanAndRecoveryAroundBadSectors)
{
    svt::TempDir t;
    std::vector<uint8_t> img = pictureMedium();
    svt::writeFile(t.file("pictures.img"), img);
    const uint64_t hit = 3, lost = 7;
    svt::BadSectors bad = {{(hit * kStride + kPicture / 2) / 512, 2},  // inside picture 3
                           {lost * kStride / 512, 1},                   // picture 7's header
                           {(10 * kStride + kPicture) / 512 + 5, 3}};   // a gap
    svt::FailingMedium m(t.file("pictures.img"), bad);
    if (!m.ok())
        GTEST_SKIP() << m.why();
    Scan s(m.path(), RecoverDeep, true);
    ASSERT_TRUE(s.job);
    ASSERT_EQ(s.status.code, StatusCode::Done) << s.status.text();
    EXPECT_EQ(s.job->progress().unreadableAreas, 3u);
    EXPECT_EQ(s.status.reason, "3 areas of the medium (3.00 KiB) could not be read and were skipped");
    std::map<uint64_t, const FoundFile *> byOffset;
    for (const FoundFile &f : s.job->files())
        byOffset[f.offset] = &f;
    for (uint64_t i = 0; i < kPictures; i++)
        EXPECT_EQ(byOffset.count(i * kStride), i == lost ? 0u : 1u) << i;

    std::vector<const FoundFile *> all;
    for (const FoundFile &f : s.job->files())
        all.push_back(&f);
    svt::TempDir out;
    RecoverOptions opt;
    opt.outDir = out.path();
    RecoverSummary sum = recoverFiles(*s.job, all, opt);
    for (const RecoveredFile &rf : sum.files) {
        uint64_t i = rf.file->offset / kStride;
        SCOPED_TRACE(i);
        if (i == hit) {
            EXPECT_FALSE(rf.result == WriteResult::Ok && rf.stats.readFailures == 0) << "called whole";
            continue;
        }
        EXPECT_EQ(rf.result, WriteResult::Ok);
        std::vector<uint8_t> want(img.begin() + (ptrdiff_t)(i * kStride), img.begin() + (ptrdiff_t)(i * kStride + kPicture));
        EXPECT_TRUE(svt::readFile(rf.path) == want);
    }
    EXPECT_FALSE(sum.allWhole());
}

// A medium pulled in the middle of a scan ends it with "the medium was
// removed"; what was found before stays listed, and nothing is recovered.
TEST(FailingMedia, AMediumThatGoesAwayEndsTheScanAndKeepsWhatWasFound)
{
    svt::TempDir t;
    std::vector<uint8_t> img = pictureMedium();
    img.resize(img.size() + (64u << 20));
    svt::writeFile(t.file("pictures.img"), img);
    svt::FailingMedium::Options o;
    o.vanishAt = 20 * kStride;
    svt::FailingMedium m(t.file("pictures.img"), o);
    if (!m.ok())
        GTEST_SKIP() << m.why();
    svt::CommandResult r = svt::runCli("recover --deep --device 0 --types bmp --image " + svt::shellQuote(m.path()) +
                                       " --out " + svt::shellQuote(t.file("out")));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("salvitra-cli: the medium was removed: the scan ended there; the files found until "
                         "then are kept"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("bmp: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Nothing was recovered: the medium was removed."), std::string::npos) << r.out;
    EXPECT_NE(access(t.file("out/bmp").c_str(), F_OK), 0) << "nothing written";

    // A quick scan too: NTFS reading its MFT.
    std::string ntfs = svt::fixture("ntfs") + "/c4k.img";
    if (std::ifstream(ntfs).good()) {
        svt::FailingMedium::Options q;
        q.vanishAt = 64 << 10;  // just past the boot sector
        svt::FailingMedium gone(ntfs, q);
        ASSERT_TRUE(gone.ok()) << gone.why();
        Scan s(gone.path(), RecoverQuick);
        ASSERT_TRUE(s.job);
        EXPECT_EQ(s.status.code, StatusCode::MediumRemoved) << s.status.text();
        EXPECT_TRUE(s.job->mediumRemoved());
    }
}

// An image file removed while it is scanned (its open descriptor would
// read on): the scan ends as for a pulled card, with what it found.
TEST(FailingMedia, AnImageRemovedDuringAScanEndsIt)
{
    svt::TempDir t;
    std::string path = t.file("card.img");
    svt::writeFile(path, svt::bmpRun(4));
    ASSERT_EQ(truncate(path.c_str(), (off_t)(256ull << 30)), 0);  // sparse
    struct Remover : JobObserver {
        std::string path;
        void onFiles(uint64_t, std::vector<FoundFile>) override { unlink(path.c_str()); }
    } remover;
    remover.path = path;
    Scan s(path, RecoverDeep, true, &remover);
    ASSERT_TRUE(s.job);
    EXPECT_EQ(s.status.code, StatusCode::MediumRemoved) << s.status.text();
    EXPECT_EQ(s.job->fileCount(), 4u);
    EXPECT_LT(s.job->progress().percent, 100);
}

}  // namespace
