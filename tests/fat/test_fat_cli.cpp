// salvitra-cli end to end on FAT images: scan lists, recover writes the
// files back byte for byte, keeping folders and never overwriting.
#include <gtest/gtest.h>

#include <map>
#include <sys/stat.h>
#include <unistd.h>

#include "fat_test_util.h"
#include "test_support.h"

namespace {

const std::string kEnv = "TZ=UTC";

std::string img(const std::string &fixture, const std::string &name)
{
    return svt::fixture(fixture) + "/" + name;
}

// Partition 0 of the image must be the FAT volume; without the partition
// list in this build there is nothing to run against.
bool havePartition(const std::string &image)
{
    svt::CommandResult r = svt::runCli("devices --image " + svt::shellQuote(image));
    return r.status == 0 && r.out.find("[0]") != std::string::npos;
}

#define REQUIRE_PARTITION(image)                                                   \
    do {                                                                           \
        if (!havePartition(image))                                                 \
            GTEST_SKIP() << "the partition list does not show " << (image);        \
    } while (0)

std::map<std::string, fatt::Truth> truthByPath(const std::string &fixture)
{
    std::map<std::string, fatt::Truth> m;
    for (const fatt::Truth &t : fatt::readTruth(svt::fixture(fixture)))
        m[t.path] = t;
    return m;
}

TEST(FatCli, ScanListsDeletedFilesWithPathsSizesAndDates)
{
    std::string image = img("fat16", "fat16.img");
    REQUIRE_PARTITION(image);
    svt::CommandResult r = svt::runCli("scan --quick --partition 0 --image " + svt::shellQuote(image), kEnv);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("51200  2021-06-15 10:20:30  Holiday photo 001.jpg"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Old Projects/Sub Folder/Design draft.png"), std::string::npos);
    EXPECT_NE(r.out.find("Many/entry 600.dat"), std::string::npos);
    EXPECT_NE(r.out.find("fragmented"), std::string::npos);
    EXPECT_EQ(r.out.find("keep.txt"), std::string::npos);
    EXPECT_EQ(r.out.find("Archive"), std::string::npos);
    EXPECT_NE(r.err.find("Scanning"), std::string::npos);  // progress on standard error

    svt::CommandResult j =
        svt::runCli("scan --quick --json --partition 0 --image " + svt::shellQuote(image), kEnv);
    ASSERT_EQ(j.status, 0) << j.err;
    EXPECT_NE(j.out.find("\"path\": \"Documents/Quarterly report.pdf\", \"size\": 20000, \"mtime\": 1623752430"),
              std::string::npos)
        << j.out.substr(0, 2000);
}

TEST(FatCli, RecoverWritesEveryFileBackKeepingFoldersAndNeverOverwrites)
{
    std::string image = img("fat16", "fat16.img");
    REQUIRE_PARTITION(image);
    svt::TempDir out;
    std::string cmd = "recover --quick --partition 0 --image " + svt::shellQuote(image) + " --out " +
                      svt::shellQuote(out.path());
    svt::CommandResult r = svt::runCli(cmd, kEnv);
    // 3: one listed file lost its data to a later one and is not written.
    ASSERT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.out.find("skipped Scratch/Reused data.bin: damaged: its first cluster now belongs to another file"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Recovered "), std::string::npos) << r.out;
    for (const auto &kv : truthByPath("fat16")) {
        const fatt::Truth &t = kv.second;
        std::string p = out.path() + "/" + t.path;
        struct stat sb {};
        if (t.state == "live" || t.state == "overwritten") {
            // Live files are not listed; overwritten ones are not copied.
            EXPECT_NE(stat(p.c_str(), &sb), 0) << t.path;
            continue;
        }
        ASSERT_EQ(stat(p.c_str(), &sb), 0) << t.path;
        EXPECT_EQ((uint64_t)sb.st_size, t.size) << t.path;
        if (t.state == "exact") {
            EXPECT_EQ(fatt::sha256Hex(fatt::readAll(p)), t.sha256) << t.path;
            EXPECT_EQ(sb.st_mtime, 1623752430) << t.path;
        }
    }

    // A second run leaves the first files alone and writes numbered copies.
    std::string first = out.file("Holiday photo 001.jpg");
    svt::writeFile(first, {1, 2, 3});
    r = svt::runCli(cmd + " --only 'Holiday*'", kEnv);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(fatt::readAll(first), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(fatt::sha256Hex(fatt::readAll(out.file("Holiday photo 001 (1).jpg"))),
              truthByPath("fat16")["Holiday photo 001.jpg"].sha256);
}

TEST(FatCli, OnlyGlobsPickFilesByNameOrPath)
{
    std::string image = img("fat16", "fat16.img");
    REQUIRE_PARTITION(image);
    svt::TempDir out;
    svt::CommandResult r = svt::runCli("recover --quick --partition 0 --image " + svt::shellQuote(image) +
                                           " --out " + svt::shellQuote(out.path()) +
                                           " --only '*.pdf' --only 'Old Projects/*'",
                                       kEnv);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Recovered 3 files"), std::string::npos) << r.out;
    struct stat sb {};
    EXPECT_EQ(stat(out.file("Documents/Quarterly report.pdf").c_str(), &sb), 0);
    EXPECT_EQ(stat(out.file("Old Projects/Sub Folder/Design draft.png").c_str(), &sb), 0);
    EXPECT_NE(stat(out.file("Holiday photo 001.jpg").c_str(), &sb), 0);
}

TEST(FatCli, QuickScanOfAPartitionInsideADiskImage)
{
    if (!svt::haveTool("sfdisk"))
        GTEST_SKIP() << "sfdisk is missing";
    svt::TempDir t;
    std::string disk = t.file("disk.img");
    std::string vol = img("fat12", "fat12.img");
    // An MBR disk with the FAT12 volume as its partition at 1 MiB.
    svt::CommandResult mk = svt::run("truncate -s 4M " + svt::shellQuote(disk) +
                                     " && echo 'start=2048, size=4096, type=1' | sfdisk -q " +
                                     svt::shellQuote(disk) + " && dd if=" + svt::shellQuote(vol) + " of=" +
                                     svt::shellQuote(disk) + " bs=512 seek=2048 conv=notrunc status=none");
    ASSERT_EQ(mk.status, 0) << mk.err;
    REQUIRE_PARTITION(disk);
    svt::TempDir out;
    svt::CommandResult r = svt::runCli("recover --quick --partition 0 --image " + svt::shellQuote(disk) +
                                           " --out " + svt::shellQuote(out.path()),
                                       kEnv);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const auto &kv : truthByPath("fat12")) {
        if (kv.second.state != "exact" || kv.first.size() > 200)
            continue;
        EXPECT_EQ(fatt::sha256Hex(fatt::readAll(out.file(kv.first))), kv.second.sha256) << kv.first;
    }
}

TEST(FatCli, FormattedSearchShowsTheOldFoldersUnderNumberedNames)
{
    std::string image = img("fat32fmt", "fat32fmt.img");
    REQUIRE_PARTITION(image);
    svt::CommandResult r = svt::runCli("scan --formatted --partition 0 --image " + svt::shellQuote(image), kEnv);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("/2019/img_001.jpg"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  Dir"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("new.txt"), std::string::npos);

    svt::TempDir out;
    r = svt::runCli("recover --formatted --partition 0 --image " + svt::shellQuote(image) + " --out " +
                        svt::shellQuote(out.path()),
                    kEnv);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Recovered 6 files"), std::string::npos) << r.out;
    // Every old file lies below one of the numbered folders, byte-exact.
    for (const auto &kv : truthByPath("fat32fmt")) {
        bool found = false;
        for (int n = 0; n < 8 && !found; n++) {
            std::string p = out.path() + "/Dir" + std::to_string(n) + "/" + kv.first;
            struct stat sb {};
            if (stat(p.c_str(), &sb) == 0) {
                found = true;
                EXPECT_EQ(fatt::sha256Hex(fatt::readAll(p)), kv.second.sha256) << kv.first;
            }
        }
        EXPECT_TRUE(found) << kv.first;
    }
}

// A loop mount of a scanned image is the scanned medium: recover refuses
// to write there.  Needs root and a kernel that mounts ext2 (the check does
// not depend on the file system; this kernel may lack vfat).
TEST(FatCli, RecoverRefusesAnOutputFolderOnTheScannedImage)
{
    if (geteuid() != 0 || !svt::haveTool("mkfs.ext2"))
        GTEST_SKIP() << "needs root and mkfs.ext2 to mount an image";
    svt::TempDir t;
    std::string image = t.file("scanned.img"), mnt = t.file("mnt");
    ASSERT_EQ(svt::run("truncate -s 8M " + svt::shellQuote(image) + " && mkfs.ext2 -q " + svt::shellQuote(image) +
                       " && mkdir " + svt::shellQuote(mnt))
                  .status,
              0);
    if (svt::run("mount -o loop " + svt::shellQuote(image) + " " + svt::shellQuote(mnt)).status != 0)
        GTEST_SKIP() << "loop mounts are not available here";
    struct Unmount {
        std::string dir;
        ~Unmount() { svt::run("umount " + svt::shellQuote(dir)); }
    } unmount{mnt};
    ASSERT_EQ(svt::run("mkdir " + svt::shellQuote(mnt + "/out")).status, 0);
    svt::CommandResult r = svt::runCli("recover --quick --partition 0 --image " + svt::shellQuote(image) +
                                       " --out " + svt::shellQuote(mnt + "/out"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("refusing to write recovered files onto the medium being scanned"), std::string::npos)
        << r.err;
}

}  // namespace

// The command line groups and filters as the results page does: an aiff
// of a FAT scan is music and video, a name without a dot is "Others".
TEST(FatCli, ScanShowsAndFiltersTheResultGroups)
{
    std::string image = img("results", "results.img");
    REQUIRE_PARTITION(image);
    std::string base = "scan --quick --partition 0 --image " + svt::shellQuote(image);
    svt::CommandResult r = svt::runCli(base + " --json", kEnv);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"path\": \"Song.aiff\"", 0), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"groups\": [\"Music\", \"Video\"]"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"name\": \"_EADME\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"groups\": [\"Others\"]"), std::string::npos) << r.out;

    r = svt::runCli(base + " --filter audio", kEnv);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Song.aiff"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Clip.mp4"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1 file found."), std::string::npos) << r.out;
    EXPECT_NE(svt::runCli(base + " --filter pictures", kEnv).status, 0);
}
