// The user's story on the output side, through the driver: a deleted entry
// that claims more than its card holds, and an output disk that fills up.
#include <gtest/gtest.h>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "recover.h"
#include "test_support.h"

using namespace salvitra;
using svt::TempDir;

namespace {

std::string media() { return svt::fixture("hostile_names"); }

bool exists(const std::string &p)
{
    struct stat sb;
    return lstat(p.c_str(), &sb) == 0;
}

// A 4 GiB claim on an 8 MiB card: listed cut to the card, marked damaged
// with the reason, written up to where the card ends and kept as
// NAME.partial; the file beside it comes back whole.
TEST(RecoverOutput, NoFileIsWrittenLargerThanItsMedium)
{
    Inventory inv;
    std::string err;
    ASSERT_TRUE(inv.build({media() + "/big-claim.img"}, &err)) << err;
    ScanRequest req;
    req.part = inv.partition(0)->part;
    req.mode = RecoverQuick;
    req.inventory = &inv;
    ScanJob job(req);
    ASSERT_TRUE(job.run());
    const FoundFile *big = nullptr, *second = nullptr;
    for (const FoundFile &f : job.files()) {
        if (f.name.find("IG.BIN") != std::string::npos)
            big = &f;
        if (f.name.find("ECOND.BIN") != std::string::npos)
            second = &f;
    }
    ASSERT_TRUE(big && second);
    EXPECT_EQ(big->size, req.part->PartSize);
    EXPECT_EQ(big->listedSize, 0xFFFFF000u);
    EXPECT_EQ(big->state, FileState::Damaged);
    EXPECT_NE(big->note.find("listed as 4294963200 bytes on a medium of"), std::string::npos) << big->note;

    TempDir out;
    RecoverOptions opt;
    opt.outDir = out.path();
    RecoverSummary sum = recoverFiles(job, {big, second}, opt);
    ASSERT_EQ(sum.files.size(), 2u);
    EXPECT_EQ(sum.written, 1u);
    EXPECT_EQ(sum.damaged, 1u);
    EXPECT_FALSE(sum.allWhole());
    const RecoveredFile &b = sum.files[0];
    EXPECT_EQ(b.result, WriteResult::Damaged);
    EXPECT_EQ(b.path.substr(b.path.size() - 8), ".partial");
    EXPECT_FALSE(exists(out.path() + "/" + big->name));
    auto got = svt::readFile(b.path);
    auto want = svt::readFile(media() + "/big.bin");
    ASSERT_GE(got.size(), want.size());
    EXPECT_LE(got.size(), req.part->PartSize);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin())) << "the real data comes first";
    EXPECT_EQ(svt::readFile(sum.files[1].path), svt::readFile(media() + "/second.bin"));
}

// An output disk of 1 MiB: the first file fits; the next one does not, and
// the recovery stops there with the system's words, leaving nothing
// truncated under a file's name.
TEST(RecoverOutput, AFullOutputDiskStopsTheRecoveryWithTheSystemsWords)
{
    TempDir t;
    std::string mnt = t.file("small");
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    if (svt::run("mount -t tmpfs -o size=800k tmpfs " + svt::shellQuote(mnt)).status != 0)
        GTEST_SKIP() << "tmpfs mounts are not allowed here (tests run as root)";
    Inventory inv;
    std::string err;
    ASSERT_TRUE(inv.build({media() + "/big-claim.img"}, &err)) << err;
    ScanRequest req;
    req.part = inv.partition(0)->part;
    req.mode = RecoverQuick;
    req.inventory = &inv;
    ScanJob job(req);
    ASSERT_TRUE(job.run());
    std::vector<const FoundFile *> pick;
    for (const FoundFile &f : job.files())
        if (f.name.find("ECOND.BIN") != std::string::npos)
            pick = {&f, &f, &f};
    ASSERT_EQ(pick.size(), 3u);
    auto dir = std::make_unique<OutputDir>();
    OutputError oe;
    ASSERT_TRUE(dir->open(mnt, &oe));
    RecoverOptions opt;
    opt.outDir = mnt;
    opt.output = dir.get();
    RecoverSummary sum = recoverFiles(job, pick, opt);
    dir.reset(); // its folder handles keep the mount busy
    svt::CommandResult ls = svt::run("ls -la " + svt::shellQuote(mnt));
    svt::run("umount " + svt::shellQuote(mnt));
    EXPECT_EQ(sum.written, 2u) << ls.out;
    EXPECT_TRUE(sum.outputStopped);
    ASSERT_EQ(sum.files.size(), 3u);
    EXPECT_EQ(sum.files[2].result, WriteResult::OutputError);
    EXPECT_NE(sum.files[2].note.find("No space left on device"), std::string::npos) << sum.files[2].note;
    EXPECT_EQ(sum.status.code, StatusCode::OutputError);
    EXPECT_EQ(ls.out.find("(2)"), std::string::npos) << "a third file was left behind:\n" << ls.out;

    // A size cut to the medium that does not fit says nothing about the
    // next file: only that one is skipped.
    ASSERT_EQ(svt::run("mount -t tmpfs -o size=800k tmpfs " + svt::shellQuote(mnt)).status, 0);
    std::vector<const FoundFile *> both;
    for (const FoundFile &f : job.files())
        if (f.name.find("IG.BIN") != std::string::npos)
            both.insert(both.begin(), &f);
        else if (f.name.find("ECOND.BIN") != std::string::npos)
            both.push_back(&f);
    ASSERT_EQ(both.size(), 2u);
    opt.output = nullptr;
    sum = recoverFiles(job, both, opt);
    svt::run("umount " + svt::shellQuote(mnt));
    EXPECT_FALSE(sum.outputStopped);
    EXPECT_EQ(sum.written, 1u);
    EXPECT_EQ(sum.files[0].result, WriteResult::OutputError);
}

}  // namespace
