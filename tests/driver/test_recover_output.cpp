// The user's story on the output side, through the driver: deleted entries
// that claim more than their card holds, reads that fail, a medium that is
// gone, and an output disk that fills up.
#include <gtest/gtest.h>

#include <memory>
#include <cstring>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "medium.h"
#include "mem_device.h"
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

const FoundFile *named(const ScanJob &job, const std::string &part, uint64_t nth = 0)
{
    for (const FoundFile &f : job.files())
        if (f.name.find(part) != std::string::npos && nth-- == 0)
            return &f;
    return nullptr;
}

uint64_t treeBytes(const std::string &dir)
{
    svt::CommandResult r = svt::run("du -sb --apparent-size " + svt::shellQuote(dir));
    return std::stoull(r.out);
}

// Entries that claim 4 GiB on cards of 8 and 16 MiB: each file's data ends
// where the free space behind it reaches another file's data (or the
// volume's end), so it comes back as it was, kept as NAME.partial with the
// reason; the file that is what it says comes back whole, and all that is
// written is less than the card holds.
TEST(RecoverOutput, NoClaimMakesTheOutputLargerThanItsMedium)
{
    Inventory inv;
    std::string err;
    ASSERT_TRUE(inv.build({media() + "/big-claim.img", media() + "/five-claims.img"}, &err)) << err;
    ScanRequest req;
    req.part = inv.partition(0)->part;
    req.mode = RecoverQuick;
    req.inventory = &inv;
    ScanJob job(req);
    ASSERT_TRUE(job.run());
    const FoundFile *big = named(job, "IG.BIN"), *second = named(job, "ECOND.BIN");
    ASSERT_TRUE(big && second);
    EXPECT_EQ(big->size, 600u * 1024);
    EXPECT_EQ(big->listedSize, 0xFFFFF000u);
    EXPECT_EQ(big->state, FileState::Damaged);
    EXPECT_NE(big->note.find("its entry says 4294963200 bytes, but only the first 614400 bytes"), std::string::npos)
        << big->note;

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
    EXPECT_TRUE(b.keptPartial);
    EXPECT_EQ(b.path, out.path() + "/" + big->name + ".partial");
    EXPECT_FALSE(exists(out.path() + "/" + big->name));
    EXPECT_EQ(svt::readFile(b.path), svt::readFile(media() + "/big.bin"));
    EXPECT_EQ(svt::readFile(sum.files[1].path), svt::readFile(media() + "/second.bin"));
    job.release();

    // Five such entries on 16 MiB, a live file between the first two.
    req.part = inv.partition(1)->part;
    ScanJob five(req);
    ASSERT_TRUE(five.run());
    std::vector<const FoundFile *> all;
    for (const FoundFile &f : five.files())
        all.push_back(&f);
    ASSERT_EQ(all.size(), 5u);
    TempDir out5;
    opt.outDir = out5.path();
    sum = recoverFiles(five, all, opt);
    EXPECT_EQ(sum.damaged, 5u);
    EXPECT_LT(treeBytes(out5.path()), req.part->PartSize);
    for (size_t i = 0; i < 4; i++) {
        std::string want = std::string(1, (char)('a' + i)) + ".bin";
        EXPECT_EQ(svt::readFile(sum.files[i].path), svt::readFile(media() + "/" + want)) << want;
    }
    std::vector<uint8_t> e = svt::readFile(sum.files[4].path), wantE = svt::readFile(media() + "/e.bin");
    ASSERT_GE(e.size(), wantE.size());
    EXPECT_TRUE(std::equal(wantE.begin(), wantE.end(), e.begin()));
}

// A card whose reads fail in chosen places (a faulty memory device): the
// stretches that could not be read are named, the file is kept as
// NAME.partial with them, and a file of which nothing could be read is not
// written at all; the medium gone, nothing is read or written.
TEST(RecoverOutput, UnreadableStretchesAreNamedAndNothingPassesForWhole)
{
    std::vector<uint8_t> image = svt::readFile(media() + "/big-claim.img");
    std::vector<uint8_t> want = svt::readFile(media() + "/second.bin");
    uint64_t data = std::search(image.begin(), image.end(), want.begin(), want.begin() + 4096) - image.begin();
    ASSERT_LT(data, image.size());
    svt::MemDevice dev(image);
    ScanRequest req;
    req.part = dev.partition(0, image.size(), FS_FAT16);
    ScanJob job(req);
    ASSERT_TRUE(job.run());
    const FoundFile *second = named(job, "ECOND.BIN");
    ASSERT_NE(second, nullptr);
    const uint32_t cs = 1024;
    dev.failFrom = data + 10 * cs;
    dev.failTo = data + 12 * cs;
    TempDir out;
    RecoverOptions opt;
    opt.outDir = out.path();
    RecoverSummary sum = recoverFiles(job, {second}, opt);
    ASSERT_EQ(sum.files.size(), 1u);
    const RecoveredFile &rf = sum.files[0];
    EXPECT_EQ(rf.result, WriteResult::Damaged);
    EXPECT_EQ(rf.stats.unreadable, (std::vector<ByteRange>{{10 * cs, 2 * cs}}));
    EXPECT_NE(rf.note.find("bytes 10240-12287 could not be read (written as zeros); kept as _ECOND.BIN.partial"),
              std::string::npos)
        << rf.note;
    std::fill(want.begin() + 10 * cs, want.begin() + 12 * cs, 0);
    EXPECT_EQ(svt::readFile(out.file("_ECOND.BIN.partial")), want);
    EXPECT_FALSE(exists(out.file("_ECOND.BIN")));
    EXPECT_FALSE(sum.allWhole());

    // Every cluster fails: nothing was recovered, nothing is left.
    dev.failFrom = data;
    dev.failTo = data + want.size();
    TempDir out2;
    opt.outDir = out2.path();
    sum = recoverFiles(job, {second}, opt);
    EXPECT_EQ(sum.files[0].result, WriteResult::Unreadable);
    EXPECT_EQ(sum.failed, 1u);
    // Only the report, which lists it as unreadable.
    EXPECT_EQ(svt::run("ls -A " + svt::shellQuote(out2.path())).out, "salvitra-report.csv\nsalvitra-report.xml\n");

    // The image deleted after the scan: the medium was removed.
    job.release();
    TempDir t;
    std::string img = t.file("card.img");
    svt::writeFile(img, image);
    Inventory inv;
    std::string err;
    ASSERT_TRUE(inv.build({img}, &err)) << err;
    req.part = inv.partition(0)->part;
    req.inventory = &inv;
    ScanJob gone(req);
    ASSERT_TRUE(gone.run());
    ASSERT_EQ(unlink(img.c_str()), 0);
    TempDir out3;
    opt.outDir = out3.path();
    sum = recoverFiles(gone, {named(gone, "ECOND.BIN")}, opt);
    EXPECT_TRUE(sum.mediumRemoved);
    EXPECT_EQ(sum.status.code, StatusCode::MediumRemoved);
    EXPECT_EQ(sum.status.reason, kMediumRemoved);
    EXPECT_EQ(sum.written, 0u);
    EXPECT_EQ(svt::run("ls -A " + svt::shellQuote(out3.path())).out, "");
}

// A card with a chain of 1,000 folders, recovered by a process that may
// hold few descriptors: the folders are made, both files come back whole,
// and the output folder never holds more handles than its bound.
TEST(RecoverOutput, AFolderChainOfAnyDepthTakesABoundedNumberOfDescriptors)
{
    Inventory inv;
    std::string err;
    ASSERT_TRUE(inv.build({svt::fixture("deep_folders") + "/deep.img"}, &err)) << err;
    ScanRequest req;
    req.part = inv.partition(0)->part;
    req.inventory = &inv;
    ScanJob job(req);
    ASSERT_TRUE(job.run());
    std::vector<const FoundFile *> all;
    for (const FoundFile &f : job.files())
        all.push_back(&f);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(std::count(all[0]->folder.begin(), all[0]->folder.end(), '/'), 999);

    struct rlimit was;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &was), 0);
    struct rlimit few = was;
    few.rlim_cur = 128;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &few), 0);
    TempDir out;
    OutputDir dir;
    OutputError oe;
    ASSERT_TRUE(dir.open(out.path(), &oe)) << oe.text;
    RecoverOptions opt;
    opt.outDir = out.path();
    opt.output = &dir;
    RecoverSummary sum = recoverFiles(job, all, opt);
    size_t open = dir.openDirs();
    setrlimit(RLIMIT_NOFILE, &was);
    EXPECT_TRUE(sum.allWhole()) << (sum.files.empty() ? "" : sum.files[0].note);
    EXPECT_EQ(sum.written, 2u);
    EXPECT_LE(open, OutputDir::kMaxOpenDirs);
    std::string path = out.path();
    for (int i = 0; i < 1000; i++)
        path += "/d";
    EXPECT_EQ(svt::readFile(path + "/_eep.txt"), svt::readFile(svt::fixture("deep_folders") + "/deep.txt"));
    EXPECT_TRUE(exists(out.file("_ast.txt")));

    // Errors about one path never stop a recovery; a full disk does.
    for (int e : {EMFILE, ENFILE, ENAMETOOLONG, EINVAL, EILSEQ, EFBIG, EEXIST})
        EXPECT_FALSE(outputErrorRepeats(e)) << strerror(e);
    for (int e : {ENOSPC, EDQUOT, EROFS, EIO})
        EXPECT_TRUE(outputErrorRepeats(e)) << strerror(e);
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

    // A file whose listed size was cut that does not fit says nothing
    // about the next file: only that one is skipped.
    ASSERT_EQ(svt::run("mount -t tmpfs -o size=400k tmpfs " + svt::shellQuote(mnt)).status, 0);
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
