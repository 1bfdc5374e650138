// salvitra-cli devices, as a user runs it.
#include <gtest/gtest.h>

#include <unistd.h>

#include "test_support.h"

using svt::TempDir;

namespace {

TEST(CliDevices, ListsNamedImagesAsTextAndJson)
{
    TempDir t;
    std::string img = t.file("card.img");
    svt::writeFile(img, svt::patternBytes(3 << 20, 1));
    svt::CommandResult r = svt::runCli("devices --image " + svt::shellQuote(img));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("disk0  Disk Image card.img"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("3145728 bytes"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("sector size 512"), std::string::npos) << r.out;

    r = svt::runCli("devices --json --image " + svt::shellQuote(img));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"devNum\": 0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"devName\": \"Disk Image card.img\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"size\": 3145728"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"devPath\": \"" + img + "\""), std::string::npos) << r.out;
    // Only JSON on standard output.
    EXPECT_EQ(r.out.front(), '[');
    EXPECT_EQ(r.out.substr(r.out.size() - 2), "]\n");
}

TEST(CliDevices, DiskDirStandsInForDevices)
{
    TempDir t;
    svt::writeFile(t.file("stick.raw"), svt::patternBytes(1 << 20, 2));
    ASSERT_EQ(symlink(t.file("stick.raw").c_str(), t.file("disk4").c_str()), 0);
    svt::CommandResult r =
        svt::runCli("devices", "SALVITRA_DISK_DIR=" + svt::shellQuote(t.path()));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("disk4  Disk Image stick.raw"), std::string::npos) << r.out;
}

TEST(CliDevices, MissingOrUnusableImagesFailClearly)
{
    TempDir t;
    svt::CommandResult r = svt::runCli("devices --image " + svt::shellQuote(t.file("nope.img")));
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("nope.img: No such file or directory"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());

    r = svt::runCli("devices --image " + svt::shellQuote(t.path()));
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("not a disk image"), std::string::npos) << r.err;

    svt::writeFile(t.file("empty.img"), {});
    r = svt::runCli("devices --image " + svt::shellQuote(t.file("empty.img")));
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("empty"), std::string::npos) << r.err;

    if (geteuid() != 0) {  // root reads everything
        svt::writeFile(t.file("locked.img"), svt::patternBytes(4096, 3));
        ASSERT_EQ(chmod(t.file("locked.img").c_str(), 0), 0);
        r = svt::runCli("devices --image " + svt::shellQuote(t.file("locked.img")));
        EXPECT_NE(r.status, 0);
        EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
    }

    r = svt::runCli("devices --bogus");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown option --bogus"), std::string::npos);
}

}  // namespace
