// salvitra-cli on NTFS partitions: the user's story from the partition list
// to the recovered files, compared byte for byte with what was deleted.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "ntfs_test_util.h"

using namespace svt;

namespace {

bool exists(const std::string &p)
{
    struct stat sb;
    return stat(p.c_str(), &sb) == 0;
}

TEST(NtfsCli, QuickScanListsDeletedFilesInTheirFolders)
{
    NTFS_FIXTURE_OR_SKIP(dir, "ntfs");
    CommandResult r = runCli("scan --quick --partition 0 --json --image " + shellQuote(dir + "/c4k.img"));
    ASSERT_EQ(r.status, 0) << r.err;
    for (const TruthEntry &e : loadTruth(dir + "/c4k.tsv")) {
        bool listed = r.out.find("\"path\": \"" + e.path + "\"") != std::string::npos;
        EXPECT_EQ(listed, e.deleted) << e.path;
    }
}

TEST(NtfsCli, RecoverWritesEveryDeletedFileByteForByte)
{
    NTFS_FIXTURE_OR_SKIP(dir, "ntfs");
    if (!exists(dir + "/mbr.img"))
        GTEST_SKIP() << "sfdisk is not installed";
    // The second partition of the MBR disk: the volume sits 2 MiB into the image.
    CommandResult d = runCli("devices --image " + shellQuote(dir + "/mbr.img"));
    ASSERT_EQ(d.status, 0) << d.err;
    size_t at = d.out.find("] NTFS");
    ASSERT_NE(at, std::string::npos) << d.out;
    ASSERT_NE(d.out.find("offset 2097152", at), std::string::npos) << d.out;
    std::string index = d.out.substr(d.out.rfind('[', at) + 1, at - d.out.rfind('[', at) - 1);
    TempDir out;
    CommandResult r = runCli("recover --quick --partition " + index + " --out " + shellQuote(out.path()) +
                             " --image " + shellQuote(dir + "/mbr.img"));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("skipped"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("unreadable"), std::string::npos) << r.out;
    for (const TruthEntry &e : loadTruth(dir + "/c4k.tsv")) {
        std::string p = out.path() + "/" + e.path;
        if (!e.deleted) {
            EXPECT_FALSE(exists(p)) << e.path;
            continue;
        }
        ASSERT_TRUE(exists(p)) << e.path << "\n" << r.out;
        EXPECT_TRUE(readFile(p) == readFile(dir + "/c4k/" + e.path)) << e.path;
    }
}

TEST(NtfsCli, FormattedSearchRecoversTheOldVolume)
{
    NTFS_FIXTURE_OR_SKIP(dir, "ntfs_formatted");
    TempDir out;
    CommandResult r = runCli("recover --formatted --partition 0 --out " + shellQuote(out.path()) +
                             " --only '*photos*' --only '*deep*' --image " + shellQuote(dir + "/f64k.img"));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // Everything lands under one folder for the old volume.
    CommandResult ls = run("ls " + shellQuote(out.path()));
    std::string volume = ls.out.substr(0, ls.out.find('\n'));
    ASSERT_EQ(volume.rfind("NTFS volume ", 0), 0u) << ls.out;
    for (const TruthEntry &e : loadTruth(dir + "/f64k.tsv")) {
        if (e.path.find("photos") == std::string::npos && e.path.find("deep") == std::string::npos)
            continue;
        std::string p = out.path() + "/" + volume + "/" + e.path;
        ASSERT_TRUE(exists(p)) << e.path << "\n" << r.out;
        EXPECT_TRUE(readFile(p) == readFile(dir + "/f64k/" + e.path)) << e.path;
    }
}

}  // namespace
