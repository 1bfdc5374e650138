// The quick scan on real FAT volumes made by mkfs.vfat and mtools: what is
// listed, and what comes back through the driver's writer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <algorithm>
#include <map>
#include <sys/stat.h>

#include "cards.h"
#include "fat_backend.h"
#include "fat_test_util.h"
#include "recover.h"
#include "scan.h"
#include "test_support.h"

using namespace salvitra;

namespace {

// The wall-clock time every fixture file was stamped with (UTC).
const int64_t kStamp = 1623752430;  // 2021-06-15 10:20:30

class UtcZone : public ::testing::Environment {
public:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};
const auto *const kUtc = ::testing::AddGlobalTestEnvironment(new UtcZone);

std::string pathOf(const FoundFile &f)
{
    return f.folder.empty() ? f.name : f.folder + "/" + f.name;
}

struct Scan {
    std::unique_ptr<fatt::Volume> vol;
    std::unique_ptr<fatt::FileVolume> fileVol;
    std::unique_ptr<ScanJob> session;
    std::map<std::string, const FoundFile *> byPath;
    std::vector<fatt::Truth> truth;
};

std::unique_ptr<Scan> scan(const std::string &fixture, const std::string &image, int32_t fsType,
                           bool formatted = false)
{
    auto s = std::make_unique<Scan>();
    std::string dir = svt::fixture(fixture);
    s->truth = fatt::readTruth(dir);
    ScanRequest req;
    if (formatted) {
        s->fileVol = std::make_unique<fatt::FileVolume>(dir + "/" + image, fsType);
        req.part = s->fileVol->part();
    } else {
        s->vol = fatt::Volume::load(dir + "/" + image, fsType);
        req.part = s->vol->part();
    }
    req.formatted = formatted;
    s->session = std::make_unique<ScanJob>(req);
    EXPECT_TRUE(s->session->supported());
    EXPECT_TRUE(s->session->run());
    for (const FoundFile &f : s->session->files()) {
        EXPECT_EQ(s->byPath.count(pathOf(f)), 0u) << "listed twice: " << pathOf(f);
        s->byPath[pathOf(f)] = &f;
    }
    return s;
}

// Every file the truth expects is listed with its size, no live file is.
void expectListing(const Scan &s)
{
    for (const fatt::Truth &t : s.truth) {
        auto it = s.byPath.find(t.path);
        if (t.state == "live" || t.state == "gone") {
            EXPECT_TRUE(it == s.byPath.end()) << "must not be listed: " << t.path;
            continue;
        }
        ASSERT_TRUE(it != s.byPath.end()) << "not found: " << t.path;
        EXPECT_EQ(it->second->size, t.size) << t.path;
    }
}

// Recovers everything and compares the exact files byte for byte (by sha256)
// and their modification times.
RecoverSummary recoverAndCompare(Scan &s, const svt::TempDir &out)
{
    std::vector<const FoundFile *> all;
    for (const FoundFile &f : s.session->files())
        all.push_back(&f);
    RecoverOptions opt;
    opt.outDir = out.path();
    RecoverSummary sum = recoverFiles(*s.session, all, opt);
    EXPECT_EQ(sum.files.size(), all.size());
    std::map<std::string, std::string> written;
    for (const RecoveredFile &rf : sum.files)
        written[pathOf(*rf.file)] = rf.path;
    for (const fatt::Truth &t : s.truth) {
        if (t.state != "exact")
            continue;
        std::string p = written[t.path];
        std::vector<uint8_t> got = fatt::readAll(p);
        EXPECT_EQ(got.size(), t.size) << t.path;
        EXPECT_EQ(fatt::sha256Hex(got), t.sha256) << t.path;
        struct stat sb {};
        EXPECT_EQ(stat(p.c_str(), &sb), 0) << p;
        EXPECT_EQ((int64_t)sb.st_mtime, kStamp) << t.path;
    }
    return sum;
}

TEST(FatQuick, Fat16DeletedFilesComeBackExactWithTheirNamesAndDates)
{
    auto s = scan("fat16", "fat16.img", FS_FAT16);
    expectListing(*s);
    // Folders that hold no deleted file are not shown at all.
    for (const auto &kv : s->byPath)
        EXPECT_EQ(kv.first.find("Archive"), std::string::npos) << kv.first;
    const FoundFile *holiday = s->byPath["Holiday photo 001.jpg"];
    ASSERT_TRUE(holiday);
    EXPECT_EQ(holiday->mtime, kStamp);
    EXPECT_EQ(holiday->type, "jpg");
    EXPECT_TRUE(holiday->note.empty()) << holiday->note;

    svt::TempDir out;
    RecoverSummary sum = recoverAndCompare(*s, out);
    EXPECT_EQ(sum.readFailures, 0u);
    // All but the file whose first cluster went to a live file.
    EXPECT_EQ(sum.written, s->session->files().size() - 1);
}

TEST(FatQuick, Fat16FolderWithMoreThan511DeletedEntries)
{
    auto s = scan("fat16", "fat16.img", FS_FAT16);
    size_t many = 0;
    for (const FoundFile &f : s->session->files())
        many += f.folder == "Many";
    EXPECT_EQ(many, 600u);
    EXPECT_TRUE(s->byPath.count("Many/entry 001.dat"));
    EXPECT_TRUE(s->byPath.count("Many/entry 600.dat"));
}

TEST(FatQuick, Fat16FilesAroundLiveFilesComeBackAndReusedClustersAreNeverCopied)
{
    auto s = scan("fat16", "fat16.img", FS_FAT16);
    const FoundFile *frag = s->byPath["Fragmented file.bin"];
    const FoundFile *reused = s->byPath["Scratch/Reused data.bin"];
    const FoundFile *tail = s->byPath["Camera/Tail.bin"];
    ASSERT_TRUE(frag && reused && tail);
    // Written around a live file: the skip is said (and the file comes
    // back exact, below).
    EXPECT_NE(frag->note.find("skipped"), std::string::npos) << frag->note;
    EXPECT_TRUE(frag->readable());
    // Its first cluster went to a live file: damaged, nothing to copy.
    EXPECT_FALSE(reused->readable());
    EXPECT_NE(reused->note.find("damaged"), std::string::npos) << reused->note;
    // Its later clusters went to a live file: said, and read past them.
    EXPECT_NE(tail->note.find("skipped"), std::string::npos) << tail->note;
    EXPECT_NE(tail->note.find("damaged"), std::string::npos) << tail->note;

    svt::TempDir out;
    recoverAndCompare(*s, out);
    struct stat none {};
    EXPECT_NE(stat(out.file("Scratch/Reused data.bin").c_str(), &none), 0);
    std::vector<uint8_t> got = fatt::readAll(out.file("Camera/Tail.bin"));
    std::vector<uint8_t> own = fatt::readAll(svt::fixture("fat16") + "/tail.bin");
    std::vector<uint8_t> cover = fatt::readAll(svt::fixture("fat16") + "/cover.bin");
    ASSERT_EQ(got.size(), own.size());
    ASSERT_EQ(cover.size(), 4000u);
    // Its own first cluster, then its own clusters after the live file:
    // nothing of the live file in it.
    EXPECT_TRUE(std::equal(own.begin(), own.begin() + 2048, got.begin()));
    EXPECT_TRUE(std::equal(own.begin() + 3 * 2048, own.end(), got.begin() + 2048));
    EXPECT_EQ(std::search(got.begin(), got.end(), cover.begin(), cover.begin() + 512), got.end());
}

TEST(FatQuick, Fat12LongNamesAndAReusedDeletedFolder)
{
    auto s = scan("fat12", "fat12.img", FS_FAT12);
    expectListing(*s);
    // The 255-character name (20 long-name parts) arrives whole.
    bool longSeen = false;
    for (const auto &kv : s->byPath)
        if (kv.first.size() == 255) {
            longSeen = true;
            EXPECT_EQ(kv.first.substr(0, 17), "A very long name ");
        }
    EXPECT_TRUE(longSeen);
    // The deleted folder whose first cluster went to a later file yields
    // neither a folder nor its file; its live parent is not shown.
    for (const auto &kv : s->byPath)
        EXPECT_NE(kv.first.rfind("Box", 0), 0u) << kv.first;
    svt::TempDir out;
    recoverAndCompare(*s, out);
}

TEST(FatQuick, Fat16AboveSixtyFiveThousandSectors)
{
    std::string dir = svt::fixture("fat16big");
    std::vector<uint8_t> boot = fatt::readAll(dir + "/fat16big.img");
    ASSERT_GT(boot.size(), 512u);
    EXPECT_EQ(boot[19] | boot[20] << 8, 0);  // only the 32-bit count is set
    auto s = scan("fat16big", "fat16big.img", FS_FAT16);
    expectListing(*s);
    svt::TempDir out;
    recoverAndCompare(*s, out);
}

TEST(FatQuick, Fat32UnicodeNamesAndDeletedFolderTrees)
{
    auto s = scan("fat32", "fat32.img", FS_FAT32);
    expectListing(*s);
    svt::TempDir out;
    RecoverSummary sum = recoverAndCompare(*s, out);
    EXPECT_EQ(sum.written, s->session->files().size());
}

TEST(FatQuick, Fat32FilesDeletedByWindowsAboveClusterSixtyFiveThousand)
{
    // Every deleted entry lost the high word of its first cluster.
    auto s = scan("fat32hi", "fat32hi.img", FS_FAT32);
    expectListing(*s);
    const FoundFile *photo = s->byPath["Camera/Photo 2041.jpg"];
    const FoundFile *decoy = s->byPath["Camera/Decoy.jpg"];
    const FoundFile *low = s->byPath["Low photo.jpg"];
    ASSERT_TRUE(photo && decoy && low);
    EXPECT_NE(photo->note.find("was chosen"), std::string::npos) << photo->note;
    // Below the line the entry was right all along: nothing to say.
    EXPECT_TRUE(low->note.empty()) << low->note;
    // No place on the volume holds a JPEG for it.
    EXPECT_FALSE(decoy->readable());
    EXPECT_NE(decoy->note.find("damaged"), std::string::npos) << decoy->note;

    svt::TempDir out;
    RecoverSummary sum = recoverAndCompare(*s, out);
    EXPECT_EQ(sum.readFailures, 0u);
    struct stat none {};
    EXPECT_NE(stat(out.file("Camera/Decoy.jpg").c_str(), &none), 0);
}

TEST(FatFormatted, FindsTheOldFoldersOfAReformattedVolume)
{
    auto s = scan("fat32fmt", "fat32fmt.img", FS_FAT32, true);
    // Each old file is listed once, below a numbered top folder.
    std::map<std::string, const FoundFile *> bySuffix;
    for (const FoundFile &f : s->session->files()) {
        std::string p = pathOf(f);
        ASSERT_EQ(p.rfind("Dir", 0), 0u) << p;
        size_t slash = p.find('/');
        ASSERT_NE(slash, std::string::npos) << p;
        std::string suffix = p.substr(slash + 1);
        EXPECT_EQ(bySuffix.count(suffix), 0u) << "listed twice: " << suffix;
        bySuffix[suffix] = &f;
        EXPECT_EQ(f.name.find("new.txt"), std::string::npos);
    }
    svt::TempDir out;
    std::vector<const FoundFile *> all;
    for (const FoundFile &f : s->session->files())
        all.push_back(&f);
    RecoverOptions opt;
    opt.outDir = out.path();
    RecoverSummary sum = recoverFiles(*s->session, all, opt);
    EXPECT_EQ(sum.readFailures, 0u);
    for (const fatt::Truth &t : s->truth) {
        auto it = bySuffix.find(t.path);
        ASSERT_TRUE(it != bySuffix.end()) << "not found: " << t.path;
        EXPECT_EQ(it->second->size, t.size);
        std::string written = out.path() + "/" + pathOf(*it->second);
        EXPECT_EQ(fatt::sha256Hex(fatt::readAll(written)), t.sha256) << t.path;
    }
}

}  // namespace

// ---- memory cards of a real size (16 GiB sparse images) ----

TEST(FatCards, CameraFoldersDeletedFileByFileAndWholeComeBackWhole)
{
    // 101PHOTO was deleted whole: its 8.3 name lost its first character,
    // and its later clusters, which lie between the photos, no chain.
    fatt::expectCardComesBack("fat32.img", FS_FAT32, [](std::string p) {
        size_t at = p.find("/101PHOTO/");
        return at == std::string::npos ? p : p.replace(at + 1, 1, "_");
    });
}

TEST(FatCards, DamagedPhotosComeBackWhereTheirEntriesPointMarkedUnverified)
{
    fatt::expectCardComesBack("random.img", FS_FAT32, [](std::string p) { return p; });
}
