// Saving a failing medium into an image: a medium whose reads fail at
// chosen sectors (nbdkit + nbdfuse), every readable sector copied exactly,
// the map in GNU ddrescue's format agreeing with the sectors that failed,
// and a stopped copy going on from its map in Salvitra and in ddrescue.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "nbd_medium.h"
#include "imaging.h"
#include "inventory.h"
#include "test_support.h"

using namespace salvitra;

namespace {

using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;

constexpr uint64_t kSize = 8 << 20;
constexpr uint64_t kMiB = 1 << 20;

// One lone sector off any page boundary, a short run, a wide area across
// block boundaries, and the last sector of the medium.
const Ranges kBad = {
    {kMiB + 512, kMiB + 1024},
    {3 * kMiB + 1536, 3 * kMiB + 1536 + 20 * 512},
    {5 * kMiB + 4096, 5 * kMiB + 4096 + 300 * 1024},
    {kSize - 512, kSize},
};

std::vector<uint8_t> expectedImage(const std::vector<uint8_t> &src)
{
    std::vector<uint8_t> want = src;
    for (const auto &b : kBad)
        std::fill(want.begin() + (ptrdiff_t)b.first, want.begin() + (ptrdiff_t)b.second, 0);
    return want;
}

// The areas of a mapfile that are not finished.
Ranges unfinished(const std::string &mapPath, std::string *statuses = nullptr)
{
    std::string text, why;
    EXPECT_TRUE(loadMapFile(mapPath, &text, &why)) << why;
    RescueMap m;
    EXPECT_TRUE(m.parse(text, kSize, &why)) << why;
    Ranges out;
    m.forEach([&](uint64_t pos, uint64_t len, BlockStatus s) {
        if (s != BlockStatus::Finished) {
            out.emplace_back(pos, pos + len);
            if (statuses)
                *statuses += (char)s;
        }
        return true;
    });
    return out;
}

struct Copy {
    Status status;
    int exit = -1;
    bool resumed = false;
};

// Copies the whole of `medium` into out, the map beside it.
Copy copyMedium(const std::string &medium, const std::string &out, ImageObserver *obs = nullptr,
                ImageJob **running = nullptr)
{
    Inventory inv;
    std::string err;
    EXPECT_TRUE(inv.build({medium}, &err)) << err;
    ImageRequest req;
    req.part = inv.wholeDevice(0);
    req.inventory = &inv;
    req.devicePath = medium;
    req.outPath = out;
    ImageJob job(req, obs);
    if (running)
        *running = &job;
    Copy c;
    c.status = job.run();
    c.exit = job.exitStatus();
    c.resumed = job.resuming();
    return c;
}

class StopAtTrimming : public ImageObserver {
public:
    ImageJob *job = nullptr;
    void onPhase(RescuePhase phase, int) override
    {
        if (phase == RescuePhase::Trimming && job)
            job->stop();
    }
};

struct Medium {
    svt::TempDir dir;
    std::vector<uint8_t> src = svt::patternBytes(kSize, 7);
    std::string image = dir.file("source.img");
    Medium() { svt::writeFile(image, src); }
};

TEST(Imaging, EveryReadableSectorIsCopiedAndTheMapListsTheBadOnes)
{
    Medium m;
    svt::NbdMedium failing(m.image, kBad);
    if (!failing.ok())
        GTEST_SKIP() << failing.why();
    std::string out = m.dir.file("copy.img");
    Copy c = copyMedium(failing.path(), out);
    EXPECT_EQ(c.status.code, StatusCode::UnreadableMedium) << c.status.text();
    EXPECT_NE(c.status.reason.find("622 sectors"), std::string::npos) << c.status.reason;
    EXPECT_EQ(c.exit, 3);
    EXPECT_TRUE(svt::readFile(out) == expectedImage(m.src));
    std::string statuses;
    EXPECT_EQ(unfinished(out + ".map", &statuses), kBad);
    EXPECT_EQ(statuses, "----");
}

TEST(Imaging, AStoppedCopyGoesOnFromItsMapInSalvitraAndInGnuDdrescue)
{
    Medium m;
    svt::NbdMedium failing(m.image, kBad);
    if (!failing.ok())
        GTEST_SKIP() << failing.why();
    // Stopped once the copying passes are through: the failed blocks are
    // not narrowed down yet.
    std::string out = m.dir.file("copy.img");
    StopAtTrimming stopper;
    Copy first = copyMedium(failing.path(), out, &stopper, &stopper.job);
    ASSERT_EQ(first.status.code, StatusCode::Stopped) << first.status.text();
    EXPECT_EQ(first.exit, 130);
    std::string statuses;
    Ranges left = unfinished(out + ".map", &statuses);
    ASSERT_FALSE(left.empty());
    EXPECT_EQ(statuses.find_first_not_of('*'), std::string::npos) << statuses;
    // Every failed sector lies in what the map leaves open.
    for (const auto &b : kBad) {
        bool covered = false;
        for (const auto &l : left)
            covered = covered || (l.first <= b.first && b.second <= l.second);
        EXPECT_TRUE(covered) << b.first;
    }
    ASSERT_EQ(svt::run("cd " + svt::shellQuote(m.dir.path()) + " && cp copy.img dd.img && cp copy.img.map dd.map")
                  .status,
              0);

    Copy again = copyMedium(failing.path(), out);
    EXPECT_TRUE(again.resumed);
    EXPECT_EQ(again.status.code, StatusCode::UnreadableMedium) << again.status.text();
    EXPECT_TRUE(svt::readFile(out) == expectedImage(m.src));
    EXPECT_EQ(unfinished(out + ".map"), kBad);

    if (!svt::haveTool("ddrescue"))
        GTEST_SKIP() << "GNU ddrescue is missing";
    std::string dd = m.dir.file("dd.img"), ddMap = m.dir.file("dd.map");
    svt::CommandResult r = svt::run("ddrescue -d -r1 " + svt::shellQuote(failing.path()) + " " + svt::shellQuote(dd) +
                                    " " + svt::shellQuote(ddMap));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(svt::readFile(dd) == expectedImage(m.src));
    EXPECT_EQ(unfinished(ddMap), kBad);
}

TEST(Imaging, AMapGnuDdrescueStartedIsContinuedWithoutReadingWhatItHolds)
{
    if (!svt::haveTool("ddrescue"))
        GTEST_SKIP() << "GNU ddrescue is missing";
    Medium m;
    svt::NbdMedium failing(m.image, kBad);
    if (!failing.ok())
        GTEST_SKIP() << failing.why();
    // ddrescue copies the first 3 MiB of another disk: what it holds is
    // not the failing medium's, so a re-read would show.
    std::vector<uint8_t> other = svt::patternBytes(kSize, 99);
    std::string otherImg = m.dir.file("other.img"), out = m.dir.file("copy.img");
    svt::writeFile(otherImg, other);
    svt::CommandResult r = svt::run("ddrescue -s 3MiB " + svt::shellQuote(otherImg) + " " + svt::shellQuote(out) +
                                    " " + svt::shellQuote(out + ".map"));
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    Copy c = copyMedium(failing.path(), out);
    EXPECT_TRUE(c.resumed);
    EXPECT_EQ(c.status.code, StatusCode::UnreadableMedium) << c.status.text();
    std::vector<uint8_t> want = expectedImage(m.src);
    std::copy(other.begin(), other.begin() + 3 * kMiB, want.begin());
    EXPECT_TRUE(svt::readFile(out) == want);
    EXPECT_EQ(unfinished(out + ".map"), Ranges(kBad.begin() + 1, kBad.end()));
}

TEST(RescueMap, ReadsAndWritesGnuDdrescueMapfiles)
{
    // The example of ddrescue's manual, with its comments.
    const std::string text =
        "# Mapfile. Created by GNU ddrescue version 1.27\n"
        "# current_pos  current_status  current_pass\n"
        "0x00120000     ?               1\n"
        "#      pos        size  status\n"
        "0x00000000  0x00117000  +\n"
        "0x00117000  0x00000200  -\n"
        "0x00117200  0x00001000  /\n"
        "0x00118200  0x00007E00  *\n"
        "0x00120000  0x00048000  ?\n";
    RescueMap m;
    std::string why;
    ASSERT_TRUE(m.parse(text, 0x168000, &why)) << why;
    EXPECT_EQ(m.bytes(BlockStatus::Finished), 0x117000u);
    EXPECT_EQ(m.bytes(BlockStatus::BadSector), 0x200u);
    EXPECT_EQ(m.at(0x117100), BlockStatus::BadSector);
    EXPECT_EQ(m.position, 0x120000u);
    RescueMap again;
    ASSERT_TRUE(again.parse(m.text("heading"), 0x168000, &why)) << why;
    EXPECT_EQ(again.text("heading"), m.text("heading"));
    // A medium larger than the map: the rest is not tried yet.
    ASSERT_TRUE(again.parse(text, 0x200000, &why));
    EXPECT_EQ(again.bytes(BlockStatus::NonTried), 0x48000u + 0x98000u);
    // Neighbours of one status are one area.
    again.set(0x117000, 0x9000, BlockStatus::Finished);
    EXPECT_EQ(again.areaCount(), 2u);

    // Not this medium's map, or no map: refused with the line.
    EXPECT_FALSE(m.parse(text, 0x100000, &why));
    EXPECT_NE(why.find("past the end of the medium"), std::string::npos) << why;
    EXPECT_FALSE(m.parse("0 ? 1\n0x0 0x200 +\n0x100 0x200 -\n", 0x1000, &why));
    EXPECT_NE(why.find("line 3"), std::string::npos) << why;
    EXPECT_FALSE(m.parse("just some text\n", 0x1000, &why));
    EXPECT_FALSE(m.parse("0 ? 1\n0x0 0xffffffffffffffffff +\n", 0x1000, &why));
}

}  // namespace
