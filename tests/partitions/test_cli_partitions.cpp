// salvitra-cli devices lists every partition under its device, with the
// index later commands take as --partition.
#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

#include "test_support.h"

namespace {

TEST(CliPartitions, TextListsEveryPartitionUnderItsDevice)
{
    std::string dir = svt::fixture("partitions");
    svt::CommandResult r = svt::runCli("devices --image " + svt::shellQuote(dir + "/mbr.img") +
                                       " --image " + svt::shellQuote(dir + "/card-exfat.img") +
                                       " --image " + svt::shellQuote(dir + "/ext-plain2.img"));
    ASSERT_EQ(r.status, 0) << r.err;
    const char *lines[] = {
        "    [0] FAT32   offset 1048576, size 40.0 MiB (41943040 bytes), name \"PHOTOS\", "
        "info \"FAT32\", access '?'\n",
        "    [2] NTFS    offset 52428800, size 4.00 MiB (4194304 bytes), name \"Данные\", info \"\", "
        "access '?'\n",
        "    [7] exFAT   offset 95420416, size 4.00 MiB (4194304 bytes), name \"EXCARD\", "
        "info \"exFAT\", access '?'\n",
        "disk1  Disk Image card-exfat.img\n",
        "    [8] exFAT   offset 0, size 8.00 MiB (8388608 bytes), name \"SDXC\", info \"exFAT\", "
        "access '?'\n",
        "    [9] EXT2    offset 0, size 4.00 MiB (4194304 bytes), name \"Untitled\", info \"EXT2\", "
        "access '?'\n",
    };
    size_t at = 0;
    for (const char *l : lines) {
        size_t p = r.out.find(l, at);
        ASSERT_NE(p, std::string::npos) << "missing or out of order: " << l << "\n" << r.out;
        at = p;
    }
}

TEST(CliPartitions, JsonCarriesTheSameFields)
{
    std::string dir = svt::fixture("partitions");
    svt::CommandResult r = svt::runCli("devices --json --image " + svt::shellQuote(dir + "/gpt.img"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("{\"index\": 1, \"offset\": 18874368, \"size\": 8388608, \"fsType\": 4, "
                         "\"fsLabel\": \"NTFS\", \"fsInfo\": \"\", \"volumeName\": \"Windows\", "
                         "\"accessMode\": \"?\", \"viaDevNum\": -1, \"bootable\": false, \"found\": false, "
                         "\"foundFlags\": [], \"foundHow\": \"\", \"within\": -1, \"ambiguous\": false, \"choices\": []}"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"volumeName\": \"home\""), std::string::npos) << r.out;
    // Valid JSON as far as python can tell.
    svt::CommandResult v = svt::run("printf '%s' " + svt::shellQuote(r.out) +
                                    " | python3 -c 'import json,sys; d=json.load(sys.stdin); "
                                    "print(len(d[0][\"partitions\"]))'");
    EXPECT_EQ(v.out, "4\n") << v.err;
}

TEST(CliPartitions, DeviceWithoutRecognisedPartitionsSaysSo)
{
    svt::TempDir t;
    svt::writeFile(t.file("blank.img"), std::vector<uint8_t>(1 << 20, 0));
    svt::CommandResult r = svt::runCli("devices --image " + svt::shellQuote(t.file("blank.img")));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("    no recognised partitions\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("'devices --verbose' says why"), std::string::npos) << r.out;
    r = svt::runCli("devices --verbose --image " + svt::shellQuote(t.file("blank.img")));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("    not used: at byte 0, no partition table (no boot signature in sector 0) and no "
                         "ext, HFS or HFS+ superblock at byte 1024\n"),
              std::string::npos)
        << r.out;
}

// Volumes whose headers claim more than their medium holds end where the
// device or the partition ends: the listing says so, and scans are sized by
// what can be read (they used to run on at "0 B of 512 PiB").
TEST(CliPartitions, VolumesEndWhereTheirDeviceOrPartitionEnds)
{
    std::string dir = svt::fixture("volume_sizes");
    std::string ntfsDir = svt::fixture("ntfs");
    if (!std::ifstream(ntfsDir + "/c4k.img").good())
        GTEST_SKIP() << "the NTFS fixture could not be made here";
    svt::TempDir t;
    // An NTFS volume whose total sectors say 2^50 (512 PiB) and one that
    // says 2^33 (4 TiB).
    std::vector<uint8_t> img = svt::readFile(ntfsDir + "/c4k.img");
    auto patched = [&](const std::string &name, uint64_t sectors) {
        std::vector<uint8_t> b = img;
        for (int i = 0; i < 8; i++)
            b[40 + i] = (uint8_t)(sectors >> (8 * i));
        svt::writeFile(t.file(name), b);
        return svt::shellQuote(t.file(name));
    };
    std::string huge = patched("ntfs-huge.img", 1ull << 50), big = patched("ntfs-big.img", 1ull << 33);
    std::string images = " --image " + huge + " --image " + svt::shellQuote(dir + "/exfat-huge.img") +
                         " --image " + svt::shellQuote(dir + "/ext-cut.img") + " --image " +
                         svt::shellQuote(dir + "/fat-table.img");
    svt::CommandResult r = svt::runCli("devices --verbose" + images);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *l : {"[0] NTFS    offset 0, size 32.0 MiB (33554432 bytes)",
                          "        the boot sector claims 512 PiB; the device holds 32.0 MiB\n",
                          "        the boot sector claims 512 TiB; the device holds 8.00 MiB\n",
                          "        the superblock claims 16.0 MiB; the device holds 6.00 MiB\n",
                          "[3] FAT16   offset 1048576, size 4.00 MiB (4194304 bytes)",
                          "        the boot sector claims 16.0 MiB; the partition holds 4.00 MiB\n"})
        EXPECT_NE(r.out.find(l), std::string::npos) << l << "\n" << r.out;

    // The quick scan lists what it lists on the honest volume; every scan
    // ends and counts the bytes that are there.
    std::string honest = svt::runCli("scan --quick --partition 0 --image " + svt::shellQuote(ntfsDir + "/c4k.img")).out;
    r = svt::runCli("scan --quick --partition 0" + images);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, honest);
    for (const char *scan : {"--deep --partition 0", "--formatted --partition 0", "--quick --partition 1",
                             "--deep --partition 1", "--quick --partition 2", "--quick --partition 3"}) {
        r = svt::runCli(std::string("scan ") + scan + images);
        EXPECT_EQ(r.status, 0) << scan << ": " << r.err;
        EXPECT_EQ(r.err.find("PiB"), std::string::npos) << scan << ": " << r.err;
    }
    // A formatted-volume recovery from the 4 TiB claim writes no more than
    // the medium holds.
    svt::TempDir out;
    r = svt::runCli("recover --formatted --partition 0 --image " + big + " --out " + svt::shellQuote(out.path()));
    EXPECT_NE(r.status, 1) << r.err;
    svt::CommandResult du = svt::run("du -sb --apparent-size " + svt::shellQuote(out.path()) + " | cut -f1");
    EXPECT_LE(std::stoull(du.out), img.size()) << r.out;
}

}  // namespace
