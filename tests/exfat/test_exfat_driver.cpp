// The user's story on a volume written and deleted through a real exFAT
// driver: a quick scan lists every deleted file with its name, folder and
// time, and recovery writes each one back byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/stat.h>

#include "cards.h"
#include "fat_test_util.h"
#include "hollin.h"
#include "recover.h"
#include "scan.h"
#include "test_support.h"

using namespace salvitra;

namespace {

struct Expected {
    uint64_t size = 0;
    std::string sha256;
    std::string state;  // exact, reused, live
    int64_t mtime = 0;
};

// The fixture's ground truth by path, or empty with the reason it was skipped.
std::map<std::string, Expected> loadTruth(const std::string &dir, std::string *skip)
{
    std::map<std::string, Expected> m;
    std::ifstream s(dir + "/SKIP");
    if (s) {
        std::getline(s, *skip);
        return m;
    }
    std::ifstream in(dir + "/truth.tsv");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string path, size, sha, state, mtime;
        std::getline(f, path, '\t');
        std::getline(f, size, '\t');
        std::getline(f, sha, '\t');
        std::getline(f, state, '\t');
        std::getline(f, mtime, '\t');
        m[path] = Expected{std::stoull(size), sha, state, std::stoll(mtime)};
    }
    return m;
}

}  // namespace

TEST(ExfatDriver, DeletedFilesComeBackWithNamesFoldersAndTimes)
{
    const std::string dir = svt::fixture("exfat");
    std::string skip;
    std::map<std::string, Expected> truth = loadTruth(dir, &skip);
    if (!skip.empty())
        GTEST_SKIP() << skip;
    ASSERT_GT(truth.size(), 1000u);

    fatt::FileVolume vol(dir + "/exfat.img", FS_EXFAT);
    ScanRequest req;
    req.part = vol.part();
    ScanJob job(req);
    ASSERT_TRUE(job.supported());
    ASSERT_STREQ(job.row()->label, "exFAT");
    Status st = job.run();
    ASSERT_TRUE(st.ok()) << st.text();

    std::map<std::string, const FoundFile *> byPath;
    for (const FoundFile &f : job.files())
        byPath[f.folder.empty() ? f.name : f.folder + "/" + f.name] = &f;

    std::vector<const FoundFile *> wanted;
    size_t deleted = 0;
    for (auto &[path, e] : truth) {
        if (e.state == "live") {
            EXPECT_EQ(byPath.count(path), 0u) << path << " is live but listed";
            continue;
        }
        deleted++;
        ASSERT_EQ(byPath.count(path), 1u) << path << " is not listed";
        const FoundFile *f = byPath[path];
        EXPECT_EQ(f->size, e.size) << path;
        EXPECT_EQ(f->mtime, e.mtime) << path;
        // Created when the fixture was made; the modification time was set back.
        EXPECT_GT(f->created, e.mtime) << path;
        EXPECT_EQ(f->times, FileTimes::Both);
        if (e.state == "reused") {
            // Listed, marked, and never written from another file's clusters.
            EXPECT_EQ(f->state, FileState::Unreadable) << path;
            EXPECT_NE(f->note.find("overwritten"), std::string::npos) << f->note;
            continue;
        }
        EXPECT_EQ(f->state, FileState::Deleted) << path << ": " << f->note;
        wanted.push_back(f);
    }
    EXPECT_EQ(job.files().size(), deleted);

    svt::TempDir out;
    RecoverOptions opt;
    opt.outDir = out.path();
    RecoverSummary sum = recoverFiles(job, wanted, opt);
    EXPECT_EQ(sum.readFailures, 0u);
    ASSERT_EQ(sum.files.size(), wanted.size());
    for (const RecoveredFile &r : sum.files) {
        const std::string path = r.file->folder.empty() ? r.file->name : r.file->folder + "/" + r.file->name;
        const Expected &e = truth[path];
        ASSERT_TRUE(r.result == WriteResult::Ok || (e.size == 0 && r.result == WriteResult::Empty)) << path;
        std::vector<uint8_t> got = fatt::readAll(r.path);
        ASSERT_EQ(got.size(), e.size) << path;
        EXPECT_EQ(fatt::sha256Hex(got), e.sha256) << path << " differs";
        struct stat st;
        ASSERT_EQ(stat(r.path.c_str(), &st), 0);
        EXPECT_EQ((int64_t)st.st_mtime, e.mtime) << path;
    }
}

TEST(ExfatCards, CameraFoldersDeletedFileByFileAndWholeComeBackWhole)
{
    // Written and deleted through exfat-fuse, which gives a folder's
    // trailing clusters back as their entries are deleted.
    fatt::expectCardComesBack("exfat.img", FS_EXFAT, [](std::string p) { return p; });
}

// A cluster of a file that cannot be read: exactly that cluster is named,
// and the file is not passed off as whole.
TEST(ExfatDriver, AClusterThatCannotBeReadIsNamed)
{
    const std::string dir = svt::fixture("exfat");
    std::string skip;
    std::map<std::string, Expected> truth = loadTruth(dir, &skip);
    if (!skip.empty())
        GTEST_SKIP() << skip;
    auto vol = fatt::Volume::load(dir + "/exfat.img", FS_EXFAT);
    ScanRequest req;
    req.part = vol->part();
    ScanJob job(req);
    ASSERT_TRUE(job.run());
    const uint32_t cs = exfat_get_blocksize();
    const FoundFile *pick = nullptr;
    for (const FoundFile &f : job.files())
        if (f.state == FileState::Deleted && f.size >= 3ull * cs && (!pick || f.size < pick->size))
            pick = &f;
    ASSERT_NE(pick, nullptr);
    svt::TempDir out;
    WriteStats whole;
    ASSERT_EQ(job.write(*pick, out.file("whole"), whole), WriteResult::Ok);
    std::vector<uint8_t> data = fatt::readAll(out.file("whole"));
    const std::vector<uint8_t> &img = vol->bytes();
    uint64_t at = std::search(img.begin(), img.end(), data.begin(), data.begin() + cs) - img.begin();
    ASSERT_LT(at, img.size());
    vol->failFrom = at + cs;
    vol->failTo = at + 2 * cs;
    WriteStats st;
    EXPECT_EQ(job.write(*pick, out.file("cut"), st), WriteResult::Damaged);
    EXPECT_EQ(st.unreadable, (std::vector<ByteRange>{{cs, cs}}));
    std::fill(data.begin() + cs, data.begin() + 2 * cs, 0);
    EXPECT_EQ(fatt::readAll(out.file("cut")), data);
}
