// Disk images in every format Salvitra reads, each made by the format's own
// tool from one raw disk (tests/fixtures/images.sh): the device shows the
// same bytes as the raw image, and a quick scan brings back the same files.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "inventory.h"
#include "recover.h"
#include "scan.h"
#include "test_support.h"

using namespace salvitra;

namespace {

struct Format {
    const char *path;   // inside the fixture folder
    const char *name;   // the format's name, as the device list shows it
};

const Format kFormats[] = {
    {"disk.img", "Disk Image"},          {"split/disk.000", "Split Raw Image"},
    {"split1/disk.001", "Split Raw Image"}, {"splitaa/disk.aa", "Split Raw Image"},
    {"ewf/disk.E01", "EnCase Image"},    {"disk.vhd", "VHD Image"},
    {"fixed.vhd", "VHD Image"},          {"disk.vhdx", "VHDX Image"},
    {"disk.vmdk", "VMDK Image"},         {"stream.vmdk", "VMDK Image"},
};

std::string sha256(const std::string &path)
{
    svt::CommandResult r = svt::run("sha256sum " + svt::shellQuote(path));
    return r.out.substr(0, 64);
}

// The deleted files a quick scan of the FAT partition brings back: name ->
// sha256 of what was written.
std::map<std::string, std::string> recoverAll(const std::string &image, const svt::TempDir &tmp)
{
    std::map<std::string, std::string> out;
    Inventory inv;
    std::string err;
    EXPECT_TRUE(inv.build({image}, &err)) << err;
    const PartitionInfo *p = inv.partition(0);
    EXPECT_NE(p, nullptr);
    if (!p)
        return out;
    EXPECT_EQ(p->fsType, FS_FAT16);
    ScanRequest req;
    req.part = p->part;
    req.inventory = &inv;
    ScanJob job(req);
    EXPECT_TRUE(job.run().ok());
    std::string dir = tmp.file("out" + std::to_string(std::hash<std::string>()(image)));
    RecoverOptions opt;
    opt.outDir = dir;
    RecoverSummary sum = recoverFiles(job, selectFiles(job, {}, {}), opt);
    EXPECT_TRUE(sum.allWhole()) << image;
    for (const RecoveredFile &rf : sum.files)
        out[rf.file->name] = sha256(rf.path);
    return out;
}

TEST(ImageFormats, EveryFormatShowsTheRawDiskAndItsFiles)
{
    std::string dir = svt::fixture("images");
    std::vector<uint8_t> raw = svt::readFile(dir + "/disk.img");
    ASSERT_FALSE(raw.empty());
    std::map<std::string, std::string> want;
    std::ifstream tsv(dir + "/deleted.tsv");
    for (std::string line; std::getline(tsv, line);) {
        std::istringstream fields(line);
        std::string name, size, sum;
        std::getline(fields, name, '\t');
        std::getline(fields, size, '\t');
        std::getline(fields, sum, '\t');
        want[name] = sum;
    }
    ASSERT_EQ(want.size(), 3u);

    svt::TempDir tmp;
    for (const Format &f : kFormats) {
        SCOPED_TRACE(f.path);
        std::string path = dir + "/" + f.path;
        char format[64], why[512];
        ASSERT_EQ(Salvitra_CheckDiskImage(path.c_str(), format, sizeof format, why, sizeof why), 0) << why;
        EXPECT_STREQ(format, f.name);
        {
            // Byte for byte the raw disk; a VHD may round its size up
            // (to whole cylinders), with zeros.
            svt::ImageSet set({path});
            Physics_Device_Struct *dev = set.device(0);
            ASSERT_NE(dev, nullptr);
            EXPECT_EQ(std::string(dev->DevName).rfind(f.name, 0), 0u) << dev->DevName;
            ASSERT_GE(dev->DiskSize, raw.size());
            std::vector<uint8_t> got(dev->DiskSize);
            const uint32_t step = 3 << 20;  // not a multiple of any segment or chunk size
            for (uint64_t at = 0; at < got.size(); at += step) {
                uint32_t n = (uint32_t)std::min<uint64_t>(step, got.size() - at);
                ASSERT_EQ(dev->Ops->read(dev, got.data() + at, n, at), (int32_t)n) << "at " << at;
            }
            EXPECT_TRUE(std::equal(raw.begin(), raw.end(), got.begin()));
            EXPECT_TRUE(std::all_of(got.begin() + (ptrdiff_t)raw.size(), got.end(), [](uint8_t b) { return b == 0; }));
            // Past the end: nothing, and nothing stale.
            uint8_t tail[512];
            memset(tail, 0xAA, sizeof tail);
            EXPECT_EQ(dev->Ops->read(dev, tail, sizeof tail, dev->DiskSize), -1);
            EXPECT_EQ(tail[0], 0);
        }
        EXPECT_EQ(recoverAll(path, tmp), want);
    }
}

TEST(ImageFormats, AnyPartOfASplitImageOpensTheSetAndALonePartIsRaw)
{
    std::string dir = svt::fixture("images");
    svt::TempDir tmp;
    std::vector<std::string> parts = {dir + "/split/disk.003", dir + "/splitaa/disk.ab"};
    for (const std::string &p : parts) {
        svt::ImageSet set({p});
        ASSERT_NE(set.device(0), nullptr) << p;
        EXPECT_EQ(set.device(0)->DiskSize, 24u << 20) << p;
    }
    // A numbered name with no neighbour is a raw image of its own.
    svt::writeFile(tmp.file("lone.001"), std::vector<uint8_t>(4096, 7));
    char format[64], why[256];
    ASSERT_EQ(Salvitra_CheckDiskImage(tmp.file("lone.001").c_str(), format, sizeof format, why, sizeof why), 0);
    EXPECT_STREQ(format, "Disk Image");
}

TEST(ImageFormats, ADamagedContainerIsRefusedWithItsReason)
{
    svt::TempDir tmp;
    // A VHD footer's signature on a file that is no VHD.
    std::vector<uint8_t> bytes(4096, 0);
    memcpy(bytes.data() + bytes.size() - 512, "conectix", 8);
    svt::writeFile(tmp.file("broken.vhd"), bytes);
    Inventory inv;
    std::string err;
    EXPECT_FALSE(inv.build({tmp.file("broken.vhd")}, &err));
    EXPECT_NE(err.find("VHD Image: it could not be opened"), std::string::npos) << err;
    svt::CommandResult r = svt::runCli("devices --image " + svt::shellQuote(tmp.file("broken.vhd")));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("broken.vhd: VHD Image"), std::string::npos) << r.err;
}

}  // namespace
