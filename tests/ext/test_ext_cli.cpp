// salvitra-cli on ext2 and ext3 images, as a user runs it: scan, recover,
// compare what came back with what was deleted.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "ext_fixture.h"

using namespace ext_test;

namespace {

std::string q(const std::string &s)
{
    return svt::shellQuote(s);
}

bool exists(const std::string &path)
{
    struct stat sb;
    return lstat(path.c_str(), &sb) == 0;
}

class Ext2Cli : public ::testing::TestWithParam<std::pair<const char *, const char *>> {
protected:
    void SetUp() override
    {
        dir = svt::fixture("ext2");
        image = dir + "/" + GetParam().first + ".img";
        truth = readTruth(dir + "/" + GetParam().second + ".truth");
    }
    std::string dir, image;
    Truth truth;
};

TEST_P(Ext2Cli, ScanListsLostFilesAndRecoverBringsThemBack)
{
    std::map<std::string, ShownFile> shown = shownFiles(truth);

    svt::CommandResult r = svt::runCli("scan --quick --partition 0 --image " + q(image));
    ASSERT_EQ(r.status, 0) << r.err;
    for (auto &kv : shown) {
        size_t at = r.out.find("  " + kv.first);
        ASSERT_NE(at, std::string::npos) << kv.first << " missing from:\n" << r.out;
        char after = r.out[at + 2 + kv.first.size()];
        EXPECT_TRUE(after == '\n' || after == ' ') << kv.first << " is listed under another name";
    }
    EXPECT_NE(r.out.find(std::to_string(shown.size()) + " files found."), std::string::npos) << r.out;

    r = svt::runCli("scan --quick --json --partition 0 --image " + q(image));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"name\": \"LostFile(0).jpg\", \"folder\": \"Group(0)\""), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"type\": \"png\""), std::string::npos);

    svt::TempDir out;
    r = svt::runCli("recover --quick --partition 0 --image " + q(image) + " --out " + q(out.path()));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Recovered " + std::to_string(shown.size()) + " files"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("skipped"), std::string::npos) << r.out;
    for (auto &kv : shown) {
        std::vector<uint8_t> want = expectedContent(dir, kv.second.entry);
        std::vector<uint8_t> got = svt::readFile(out.file(kv.first));
        ASSERT_EQ(got.size(), want.size()) << kv.first;
        EXPECT_TRUE(got == want) << kv.first << " differs";
    }

    // --only picks files by name; a second run never overwrites.
    svt::TempDir out2;
    r = svt::runCli("recover --quick --partition 0 --image " + q(image) + " --out " + q(out2.path()) +
                    " --only '*.jpg'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Recovered 1 file"), std::string::npos) << r.out;
    EXPECT_TRUE(exists(out2.file("Group(0)/LostFile(0).jpg")));
    r = svt::runCli("recover --quick --partition 0 --image " + q(image) + " --out " + q(out2.path()) +
                    " --only '*.jpg'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(exists(out2.file("Group(0)/LostFile(0) (1).jpg")));
}

INSTANTIATE_TEST_SUITE_P(Images, Ext2Cli,
                         ::testing::Values(std::make_pair("ext2-1k", "ext2-1k"),
                                           std::make_pair("ext2-4k", "ext2-4k"),
                                           std::make_pair("ext2-mbr", "ext2-4k")),
                         [](const auto &info) { return std::string(info.param.first).substr(5); });

TEST(Ext3Cli, DeletedEntriesWhoseInodesKeepTheirBlocksAreRecovered)
{
    std::string dir = svt::fixture("ext3");
    std::string image = dir + "/ext3-1k.img";
    svt::CommandResult r = svt::runCli("scan --quick --partition 0 --image " + q(image));
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *path : {"  gone-root.jpg\n", "  Fotos été.jpg\n", "  docs/deep/deep-gone.pdf\n"})
        EXPECT_NE(r.out.find(path), std::string::npos) << path << " in\n" << r.out;
    EXPECT_EQ(r.out.find("keep.txt"), std::string::npos);
    EXPECT_EQ(r.out.find("reused.bin"), std::string::npos);

    svt::TempDir out;
    r = svt::runCli("recover --quick --partition 0 --image " + q(image) + " --out " + q(out.path()) +
                    " --only 'gone-*' --only 'docs/deep/*'");
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_TRUE(svt::readFile(out.file("docs/deep/deep-gone.pdf")) == svt::readFile(dir + "/src-ext3-1k/f7"));
    EXPECT_TRUE(svt::readFile(out.file("gone-root.jpg")) == svt::readFile(dir + "/src-ext3-1k/f2"));
}

TEST(Ext4Cli, ScanAndRecoverBringBackDeletedFilesWithNamesAndFolders)
{
    std::string dir = svt::fixture("extj");
    std::ifstream skip(dir + "/SKIP");
    std::string why;
    if (std::getline(skip, why))
        GTEST_SKIP() << why;
    std::string image = dir + "/ext4j.img";
    svt::CommandResult r = svt::runCli("scan --quick --partition 0 --image " + q(image));
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *path : {"  tree/a/b/deep.pdf\n", "  Fotos été.jpg\n", "  big.bin\n"})
        EXPECT_NE(r.out.find(path), std::string::npos) << path << " in\n" << r.out;
    EXPECT_EQ(r.out.find("live.txt"), std::string::npos);

    svt::TempDir out;
    r = svt::runCli("recover --quick --partition 0 --image " + q(image) + " --out " + q(out.path()) +
                    " --only 'tree/*' --only big.bin");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *f : {"tree/a/b/deep.pdf", "tree/a/mid.txt", "tree/top.dat", "big.bin"})
        EXPECT_TRUE(svt::readFile(out.file(f)) == svt::readFile(dir + "/src-ext4j/" + f)) << f;
    EXPECT_FALSE(exists(out.file("small.txt")));
}

}  // namespace
