// salvitra-cli image: the copy lands where asked and opens as a device; an
// output on the medium being read, without room, or over a file it did not
// make is refused before anything is read or written.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "test_support.h"

namespace {

std::string q(const std::string &s)
{
    return svt::shellQuote(s);
}

TEST(ImageCli, ACopyOfAnEncaseImageIsTheDiskAndOpensAsADevice)
{
    std::string dir = svt::fixture("images");
    svt::TempDir t;
    std::string out = t.file("copy.img");
    // A partition too: its bytes, as a bare volume.
    svt::CommandResult r = svt::runCli("image --device 0 --image " + q(dir + "/ewf/disk.E01") + " --out " + q(out));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(svt::readFile(out) == svt::readFile(dir + "/disk.img"));
    EXPECT_NE(r.out.find("Map: " + out + ".map"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[0] FAT16"), std::string::npos) << r.out;

    r = svt::runCli("image --partition 0 --image " + q(dir + "/disk.img") + " --out " + q(t.file("part.img")) +
                    " --map " + q(t.file("part.map")));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::vector<uint8_t> disk = svt::readFile(dir + "/disk.img"), part = svt::readFile(t.file("part.img"));
    ASSERT_EQ(part.size(), 23u << 20);
    EXPECT_TRUE(std::equal(part.begin(), part.end(), disk.begin() + (1 << 20)));
    EXPECT_NE(r.out.find("FAT16"), std::string::npos) << r.out;

    // Once more: it is there, and its map says it is finished.
    r = svt::runCli("image --partition 0 --image " + q(dir + "/disk.img") + " --out " + q(t.file("part.img")) +
                    " --map " + q(t.file("part.map")));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Going on with the copy"), std::string::npos) << r.err;
}

TEST(ImageCli, AnOutputThatCannotTakeTheImageIsRefusedBeforeReading)
{
    std::string dir = svt::fixture("images");
    svt::TempDir t;
    std::string disk = dir + "/disk.img";
    // Over the medium itself, and over a file it did not make.
    svt::CommandResult r = svt::runCli("image --device 0 --image " + q(disk) + " --out " + q(disk) + " --map " +
                                       q(t.file("m.map")));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("is the medium being read"), std::string::npos) << r.err;
    std::string there = t.file("there.img");
    svt::writeFile(there, {1, 2, 3});
    r = svt::runCli("image --device 0 --image " + q(disk) + " --out " + q(there));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("already exists"), std::string::npos) << r.err;
    EXPECT_EQ(svt::readFile(there).size(), 3u);
    r = svt::runCli("image --device 0 --image " + q(disk));
    EXPECT_EQ(r.status, 2);

    // A 4 MiB volume: too small for the disk, and the medium being read
    // when it is the volume's own image.
    std::string vol = t.file("ext2.img"), mnt = t.file("mnt");
    svt::writeFile(vol, svt::readFile(svt::fixture("output_media") + "/ext2.img"));
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    svt::CommandResult m = svt::run("mount -o loop " + q(vol) + " " + q(mnt) + " 2>&1");
    if (m.status != 0)
        GTEST_SKIP() << "loop mounts are not allowed here: " << m.out;
    r = svt::runCli("image --device 0 --image " + q(disk) + " --out " + q(mnt + "/disk.img"));
    svt::CommandResult onItself = svt::runCli("image --device 0 --image " + q(vol) + " --out " + q(mnt + "/self.img"));
    struct stat sb;
    bool made = stat((mnt + "/disk.img").c_str(), &sb) == 0 || stat((mnt + "/self.img").c_str(), &sb) == 0;
    svt::run("umount " + q(mnt));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not enough free space"), std::string::npos) << r.err;
    EXPECT_EQ(onItself.status, 1);
    EXPECT_NE(onItself.err.find("refusing to write onto the medium being read"), std::string::npos) << onItself.err;
    EXPECT_FALSE(made) << "an image file was left on the output volume";
}

}  // namespace
