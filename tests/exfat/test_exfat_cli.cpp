// salvitra-cli end to end on an exFAT volume written and deleted through a
// real driver: scan lists, recover writes the files back.
#include <gtest/gtest.h>

#include <fstream>

#include "fat_test_util.h"
#include "test_support.h"

TEST(ExfatCli, ScanAndRecoverQuick)
{
    const std::string dir = svt::fixture("exfat");
    std::ifstream skip(dir + "/SKIP");
    if (skip) {
        std::string why;
        std::getline(skip, why);
        GTEST_SKIP() << why;
    }
    const std::string image = svt::shellQuote(dir + "/exfat.img");
    svt::CommandResult r = svt::runCli("scan --quick --partition 0 --image " + image, "TZ=UTC");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("5243003  2021-06-15 10:22:32  Big video.mov"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Trips/2020/Paris/img1.jpg"), std::string::npos);
    EXPECT_NE(r.out.find("Many/file_0999.txt"), std::string::npos);
    EXPECT_NE(r.out.find("日本語のファイル.txt"), std::string::npos);
    EXPECT_EQ(r.out.find("Kept alongside.bin"), std::string::npos);

    svt::TempDir out;
    r = svt::runCli("recover --quick --partition 0 --image " + image + " --out " + svt::shellQuote(out.path()) +
                        " --only 'Trips/*'",
                    "TZ=UTC");
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<uint8_t> got = fatt::readAll(out.file("Trips/2021/rome.jpg"));
    EXPECT_EQ(got.size(), 120000u);
    EXPECT_TRUE(fatt::readAll(out.file("Big video.mov")).empty());  // not picked
}
