// The deep scan that reads the file system too: on volumes made by the
// real tools (tests/fixtures/merged.sh), every deleted file comes back once
// with its name, what a quick format left comes back once by content, no
// picture of a live file is listed, and every file called good comes back
// byte for byte.  On the fixtures of the whole suite it gives at least what
// the quick, formatted and content-only scans gave together.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "inventory.h"
#include "merged.h"
#include "recover.h"
#include "test_support.h"

using namespace salvitra;

namespace {

struct Truth {
    std::string kind, path, sha;
    uint64_t size = 0;
};

std::vector<Truth> readTruth(const std::string &file)
{
    std::vector<Truth> out;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ss(line);
        Truth t;
        std::string size;
        if (std::getline(ss, t.kind, '\t') && std::getline(ss, t.path, '\t') && std::getline(ss, size, '\t') &&
            std::getline(ss, t.sha, '\t')) {
            t.size = std::stoull(size);
            out.push_back(t);
        }
    }
    return out;
}

// SHA-256 of every file below dir, by path relative to it.
std::map<std::string, std::string> digestsBelow(const std::string &dir)
{
    std::map<std::string, std::string> out;
    svt::CommandResult r =
        svt::run("cd " + svt::shellQuote(dir) + " && find . -type f -print0 | xargs -0 -r sha256sum");
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line))
        if (line.size() > 66)
            out[line.substr(66)] = line.substr(0, 64);  // "./path"
    return out;
}

struct Written {
    FoundFile file;
    std::string sha;  // "" when nothing whole was written
};

struct Outcome {
    Status status;
    std::vector<Written> files;
    std::vector<std::string> notes;
    // How many written files have each digest.
    std::map<std::string, int> count;
};

// Scans partition `partition` (or, when negative, device 0) of the image
// with the request's mode and recovers everything it lists.
Outcome scanAndRecover(const std::string &image, int partition, ScanRequest req)
{
    Outcome o;
    Inventory inv;
    std::string err;
    EXPECT_TRUE(inv.build({image}, &err)) << err;
    if (partition >= 0) {
        const PartitionInfo *p = inv.partition(partition);
        EXPECT_NE(p, nullptr) << image;
        if (!p)
            return o;
        req.part = p->part;
    } else {
        req.part = inv.wholeDevice(0);
    }
    req.inventory = &inv;
    ScanJob job(req);
    o.status = job.run();
    o.notes = job.notes();
    svt::TempDir out;
    std::vector<const FoundFile *> all;
    for (const FoundFile &f : job.files())
        all.push_back(&f);
    RecoverOptions opt;
    opt.outDir = out.path();
    RecoverSummary sum = recoverFiles(job, all, opt);
    std::map<std::string, std::string> sums = digestsBelow(out.path());
    for (const RecoveredFile &rf : sum.files) {
        Written w;
        w.file = *rf.file;
        if (rf.result == WriteResult::Ok && rf.path.size() > out.path().size())
            w.sha = sums["./" + rf.path.substr(out.path().size() + 1)];
        if (!w.sha.empty())
            o.count[w.sha]++;
        o.files.push_back(std::move(w));
    }
    return o;
}

ScanRequest deep()
{
    ScanRequest r;
    r.mode = RecoverDeep;
    return r;
}

std::string pathOf(const FoundFile &f)
{
    return f.folder.empty() ? f.name : f.folder + "/" + f.name;
}

// The checks every volume of the fixture passes; prefix: the folder its
// files go under (a volume of a whole device).
void checkVolume(const Outcome &o, const std::vector<Truth> &truth, const std::string &prefix)
{
    std::set<std::string> lost;
    for (const Truth &t : truth) {
        int n = o.count.count(t.sha) ? o.count.at(t.sha) : 0;
        if (t.kind == "deleted" || t.kind == "earlier") {
            lost.insert(t.sha);
            EXPECT_EQ(n, 1) << t.kind << " " << t.path;
        } else {
            EXPECT_EQ(n, 0) << t.kind << " " << t.path << " is listed";
        }
        if (t.kind != "deleted")
            continue;
        // With its name and folder, and the verdict its intact data earns.
        for (const Written &w : o.files) {
            if (w.sha != t.sha)
                continue;
            EXPECT_EQ(pathOf(w.file), prefix + t.path);
            EXPECT_TRUE(w.file.confirmed) << t.path;
            EXPECT_EQ(w.file.verdict, Verdict::Good) << t.path << ": " << w.file.why;
        }
    }
    for (const Written &w : o.files) {
        if (w.file.verdict != Verdict::Good)
            continue;
        EXPECT_FALSE(w.sha.empty()) << pathOf(w.file) << " was called good but not written whole";
        EXPECT_TRUE(lost.count(w.sha)) << pathOf(w.file) << " was called good but is not what was put there";
    }
}

class MergedVolume : public ::testing::TestWithParam<const char *> {};

TEST_P(MergedVolume, DeletedFilesOnceWithNamesNoPictureOfALiveFileGoodMeansWhole)
{
    std::string dir = svt::fixture("merged");
    std::string name = GetParam();
    std::ifstream skip(dir + "/" + name + ".skip");
    std::string why;
    if (std::getline(skip, why))
        GTEST_SKIP() << why;
    std::vector<Truth> truth = readTruth(dir + "/" + name + ".truth");
    size_t earlier = 0;
    for (const Truth &t : truth)
        earlier += t.kind == "earlier";
    ASSERT_GE(earlier, 2u) << "the quick format left too little to find";

    Outcome o = scanAndRecover(dir + "/" + name + ".img", 0, deep());
    ASSERT_TRUE(o.status.ok()) << o.status.text();
    checkVolume(o, truth, "");
    // What was left out is said, not hidden.
    bool said = false;
    for (const std::string &n : o.notes)
        said = said || n.find("left out") != std::string::npos;
    EXPECT_TRUE(said);
    // Files found only by content go under their own folder, by type.
    for (const Written &w : o.files)
        if (w.file.state == FileState::Carved)
            EXPECT_EQ(w.file.folder, std::string(kFoundByContentFolder) + "/" + w.file.type);
}

INSTANTIATE_TEST_SUITE_P(Volumes, MergedVolume, ::testing::Values("fat32", "exfat", "ntfs", "ext4"));

TEST(MergedDevice, EveryVolumeOfTheTableThenTheSpaceOutsideThem)
{
    std::string dir = svt::fixture("merged");
    std::ifstream check(dir + "/disk.img");
    if (!check)
        GTEST_SKIP() << "no disk image (sfdisk or the ext4 volume is missing)";
    Outcome o = scanAndRecover(dir + "/disk.img", -1, deep());
    ASSERT_TRUE(o.status.ok()) << o.status.text();
    std::vector<Truth> fat = readTruth(dir + "/fat32.truth"), ext = readTruth(dir + "/ext4.truth");
    std::vector<Truth> gap = readTruth(dir + "/disk.truth");
    ASSERT_EQ(gap.size(), 1u);
    // The volumes' first lives share their pictures: count them per volume
    // by where they were written.
    auto only = [&](const std::vector<Truth> &t, const std::string &prefix) {
        Outcome part = o;
        part.count.clear();
        part.files.clear();
        for (const Written &w : o.files)
            if (pathOf(w.file).compare(0, prefix.size(), prefix) == 0) {
                part.files.push_back(w);
                if (!w.sha.empty())
                    part.count[w.sha]++;
            }
        checkVolume(part, t, prefix);
    };
    only(fat, "Partition 0 (FAT32)/");
    only(ext, "Partition 1 (EXT4)/");
    int n = 0;
    for (const Written &w : o.files)
        if (w.sha == gap[0].sha) {
            n++;
            EXPECT_EQ(w.file.folder, std::string(kFoundByContentFolder) + "/jpg");
            EXPECT_EQ(w.file.verdict, Verdict::Good) << w.file.why;
        }
    EXPECT_EQ(n, 1);
}

// ---- the suite's own fixtures ----

// The digests of the files a fixture lost (deleted, or on a volume that was
// formatted over), from its ground truth.
std::set<std::string> lostFiles(const std::string &fixture, const std::string &image)
{
    std::string dir = svt::fixture(fixture);
    std::set<std::string> out;
    auto lines = [](const std::string &path) {
        std::vector<std::vector<std::string>> rows;
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line)) {
            std::vector<std::string> cols;
            std::istringstream ss(line);
            std::string c;
            while (std::getline(ss, c, '\t'))
                cols.push_back(c);
            rows.push_back(cols);
        }
        return rows;
    };
    if (fixture == "merged") {
        for (const Truth &t : readTruth(dir + "/" + image + ".truth"))
            if (t.kind == "deleted" || t.kind == "earlier")
                out.insert(t.sha);
    } else if (fixture == "ntfs" || fixture == "ntfs_formatted") {
        // PATH SIZE FLAG, the bytes under <image>/PATH; flag 1: lost.
        std::map<std::string, std::string> sums = digestsBelow(dir + "/" + image);
        for (const auto &r : lines(dir + "/" + image + ".tsv"))
            if (r.size() >= 3 && r[2] == "1" && sums.count("./" + r[0]))
                out.insert(sums["./" + r[0]]);
    } else if (fixture == "carving") {
        for (const auto &kv : digestsBelow(dir + "/files"))
            out.insert(kv.second);
    } else {
        // PATH SIZE SHA STATE ...: every state but "live".
        for (const auto &r : lines(dir + "/truth.tsv"))
            if (r.size() >= 4 && r[3] != "live")
                out.insert(r[2]);
    }
    return out;
}

struct CorpusImage {
    const char *fixture, *image, *file;
};

void PrintTo(const CorpusImage &c, std::ostream *os)
{
    *os << c.fixture << "/" << c.file;
}

class MergedCorpus : public ::testing::TestWithParam<CorpusImage> {};

TEST_P(MergedCorpus, AtLeastWhatTheThreeScansGaveTogetherNothingTwice)
{
    const CorpusImage &c = GetParam();
    std::string dir = svt::fixture(c.fixture);
    std::string image = dir + "/" + c.file;
    std::ifstream present(image);
    if (!present)
        GTEST_SKIP() << c.file << " was not made here";
    std::set<std::string> lost = lostFiles(c.fixture, c.image);
    ASSERT_FALSE(lost.empty());
    // Byte-exact lost files the three scans give, each on its own.
    std::set<std::string> separate;
    ScanRequest quick, formatted, content = deep();
    formatted.formatted = true;
    content.contentOnly = true;
    for (const ScanRequest &r : {quick, formatted, content})
        for (const auto &kv : scanAndRecover(image, 0, r).count)
            if (lost.count(kv.first))
                separate.insert(kv.first);
    Outcome merged = scanAndRecover(image, 0, deep());
    ASSERT_TRUE(merged.status.ok()) << merged.status.text();
    for (const std::string &sha : separate)
        EXPECT_TRUE(merged.count.count(sha)) << "a file the separate scans bring back byte for byte is missing: "
                                             << sha;
    size_t exact = 0;
    for (const auto &kv : merged.count) {
        if (!lost.count(kv.first))
            continue;
        exact++;
        EXPECT_EQ(kv.second, 1) << "written twice: " << kv.first;
    }
    EXPECT_GE(exact, separate.size());
    RecordProperty("separate", (int)separate.size());
    RecordProperty("merged", (int)exact);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, MergedCorpus,
    ::testing::Values(CorpusImage{"fat32", "fat32", "fat32.img"}, CorpusImage{"fat16", "fat16", "fat16.img"},
                      CorpusImage{"fat32fmt", "fat32fmt", "fat32fmt.img"},
                      CorpusImage{"exfat", "exfat", "exfat.img"}, CorpusImage{"ntfs", "c4k", "c4k.img"},
                      CorpusImage{"ntfs_formatted", "f64k", "f64k.img"},
                      CorpusImage{"ntfs_formatted", "f4k", "f4k.img"},
                      CorpusImage{"carving", "fat", "fat.img"}, CorpusImage{"merged", "fat32", "fat32.img"},
                      CorpusImage{"merged", "ntfs", "ntfs.img"}, CorpusImage{"merged", "ext4", "ext4.img"}),
    [](const ::testing::TestParamInfo<CorpusImage> &i) {
        std::string n = std::string(i.param.fixture) + "_" + i.param.image;
        for (char &ch : n)
            if (!isalnum((unsigned char)ch))
                ch = '_';
        return n;
    });

}  // namespace
