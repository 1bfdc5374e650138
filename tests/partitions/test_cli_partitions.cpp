// salvitra-cli devices lists every partition under its device, with the
// index later commands take as --partition.
#include <gtest/gtest.h>

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

}  // namespace
