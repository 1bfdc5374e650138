// Images made by sfdisk, parted, mkfs.vfat, mkfs.exfat, mkntfs and mke2fs:
// the partition list must hold exactly what the fixture put there, and
// agree with what blkid, sfdisk and parted say about the same image.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "part_util.h"
#include "test_support.h"

namespace {

struct Expect {
    std::string image;
    uint64_t offset = 0, size = 0;
    std::string fs, label, info;
};

std::map<std::string, std::vector<Expect>> loadExpectations(const std::string &dir)
{
    std::map<std::string, std::vector<Expect>> byImage;
    std::ifstream f(dir + "/expect.tsv");
    std::string line;
    while (std::getline(f, line)) {
        std::vector<std::string> cols;
        std::stringstream ss(line);
        std::string c;
        while (std::getline(ss, c, '\t'))
            cols.push_back(c);
        cols.resize(6);
        Expect e;
        e.image = cols[0];
        e.offset = std::stoull(cols[1]);
        e.size = std::stoull(cols[2]);
        e.fs = cols[3];
        e.label = cols[4];
        e.info = cols[5];
        byImage[e.image].push_back(e);
    }
    return byImage;
}

std::map<std::string, std::string> blkid(const std::string &image, uint64_t offset, uint64_t size)
{
    svt::CommandResult r = svt::run("PATH=$PATH:/sbin:/usr/sbin blkid -p -o udev --offset " +
                                    std::to_string(offset) + " --size " + std::to_string(size) +
                                    " " + svt::shellQuote(image));
    std::map<std::string, std::string> kv;
    std::stringstream ss(r.out);
    std::string line;
    while (std::getline(ss, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos)
            kv[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return kv;
}

// blkid's name for what the library calls FAT12, EXT3, ...
std::string blkidName(std::map<std::string, std::string> kv)
{
    std::string t = kv["ID_FS_TYPE"];
    if (t == "vfat")
        return kv["ID_FS_VERSION"];  // FAT12 / FAT16 / FAT32
    if (t == "exfat")
        return "exFAT";
    std::transform(t.begin(), t.end(), t.begin(), ::toupper);
    return t;
}

// blkid writes blanks and other unsafe bytes of a label as \xNN.
std::string unescape(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x') {
            out += (char)std::stoi(s.substr(i + 2, 2), nullptr, 16);
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// start and size in bytes of each table entry, as sfdisk or parted reads it.
std::vector<std::pair<uint64_t, uint64_t>> toolTable(const std::string &image, bool mac)
{
    std::vector<std::pair<uint64_t, uint64_t>> v;
    if (mac) {
        svt::CommandResult r = svt::run("PATH=$PATH:/sbin:/usr/sbin parted -s -m " +
                                        svt::shellQuote(image) + " unit B print 2>/dev/null");
        std::stringstream ss(r.out);
        std::string line;
        while (std::getline(ss, line)) {
            unsigned long long n, a, b, s;
            if (sscanf(line.c_str(), "%llu:%lluB:%lluB:%lluB", &n, &a, &b, &s) == 4)
                v.push_back({a, s});
        }
        return v;
    }
    svt::CommandResult r =
        svt::run("PATH=$PATH:/sbin:/usr/sbin sfdisk --dump " + svt::shellQuote(image));
    std::stringstream ss(r.out);
    std::string line;
    while (std::getline(ss, line)) {
        unsigned long long a, s;
        size_t p = line.find("start=");
        if (p != std::string::npos &&
            sscanf(line.c_str() + p, "start= %llu, size= %llu", &a, &s) == 2)
            v.push_back({a * 512, s * 512});
    }
    return v;
}

class RealImages : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = svt::fixture("partitions");
        expect_ = loadExpectations(dir_);
        ASSERT_GE(expect_.size(), 10u);
    }
    std::string dir_;
    std::map<std::string, std::vector<Expect>> expect_;
};

TEST_F(RealImages, EveryImageListsExactlyItsPartitions)
{
    for (auto &[image, want] : expect_) {
        SCOPED_TRACE(image);
        svt::ImageSet set({dir_ + "/" + image});
        std::vector<svt::PartView> got = svt::listedPartitions();
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < want.size(); i++) {
            SCOPED_TRACE(i);
            const svt::PartView &p = got[i];
            EXPECT_EQ(p.offset, want[i].offset);
            EXPECT_EQ(p.size, want[i].size);
            EXPECT_EQ(svt::fsName(p.fsType), want[i].fs);
            EXPECT_EQ(p.volumeName, want[i].label);
            EXPECT_EQ(p.fsInfo, want[i].info);
            EXPECT_EQ(p.devNum, 0);
            // Read through a private copy: partition-relative from byte 0.
            ASSERT_EQ(p.accessMode, '?');
            Physics_Device_Struct *d = p.rec->Device;
            ASSERT_NE(d, nullptr);
            EXPECT_EQ(d->OwnerPartition, p.rec);
            bool at1024 = p.fsType >= FS_EXT2;
            uint8_t buf[512];
            ASSERT_EQ(d->Ops->read(d, buf, 512, at1024 ? 1024 : 0), 512);
            EXPECT_EQ(memcmp(buf, p.rec->BootData, 512), 0);
        }
        EXPECT_EQ(set.device(0)->Used, 1);
    }
}

TEST_F(RealImages, AgreeWithBlkidSfdiskAndParted)
{
    if (!svt::haveTool("blkid") || !svt::haveTool("sfdisk"))
        GTEST_SKIP() << "blkid or sfdisk missing";
    for (auto &[image, want] : expect_) {
        SCOPED_TRACE(image);
        std::string path = dir_ + "/" + image;
        bool table = image == "mbr.img" || image == "gpt.img" || image == "mac.img";
        std::vector<std::pair<uint64_t, uint64_t>> entries;
        if (table)
            entries = toolTable(path, image == "mac.img");
        svt::ImageSet set({path});
        for (const svt::PartView &p : svt::listedPartitions()) {
            SCOPED_TRACE(p.offset);
            auto kv = blkid(path, p.offset, p.size);
            EXPECT_EQ(blkidName(kv), svt::fsName(p.fsType));
            EXPECT_EQ(unescape(kv["ID_FS_LABEL_ENC"]), p.volumeName);
            if (table) {
                auto it = std::find_if(entries.begin(), entries.end(),
                                       [&](auto &e) { return e.first == p.offset; });
                ASSERT_NE(it, entries.end()) << "no table entry at this offset";
                EXPECT_EQ(it->second, p.size);
            } else {
                EXPECT_EQ(p.offset, 0u);
                EXPECT_EQ(p.size, svt::fileSize(path));
            }
        }
    }
}

TEST_F(RealImages, MbrKeepsBootFlagAndRecordsTheEbrChain)
{
    svt::ImageSet set({dir_ + "/mbr.img"});
    std::vector<svt::PartView> got = svt::listedPartitions();
    ASSERT_EQ(got.size(), 8u);
    EXPECT_EQ(got[0].bootable, 1);
    EXPECT_EQ(got[1].bootable, 0);
    // Seven logical partitions: seven EBRs, recorded in chain order.
    EXPECT_EQ(EbrChain.Count, 7);
    for (int i = 1; i < 7; i++)
        EXPECT_LT(Get_GlobOffset()[i - 1], Get_GlobOffset()[i]);
    EXPECT_EQ(Get_GlobOffset()[7], 0u);
}

TEST_F(RealImages, BuildTeardownBuildGivesTheSameList)
{
    std::string path = dir_ + "/gpt.img";
    std::vector<uint64_t> first, second;
    {
        svt::ImageSet set({path});
        for (auto &p : svt::listedPartitions())
            first.push_back(p.offset);
    }
    EXPECT_EQ(GlobPointerPartiton, nullptr);
    EXPECT_EQ(GlobPointer, nullptr);
    {
        svt::ImageSet set({path});
        for (auto &p : svt::listedPartitions())
            second.push_back(p.offset);
    }
    EXPECT_EQ(first, second);
    EXPECT_EQ(first.size(), 4u);
}

TEST_F(RealImages, ADeviceCarryingAPartitionIsReadThroughAndNotParsedAgain)
{
    // disk1 is a byte copy of the FAT12 logical partition of disk0.
    svt::TempDir t;
    std::string mbr = dir_ + "/mbr.img";
    const Expect &fat12 = expect_["mbr.img"][4];
    ASSERT_EQ(fat12.fs, "FAT12");
    svt::writeFile(t.file("copy.img"), svt::readRange(mbr, fat12.offset, fat12.size));
    svt::ImageSet set({mbr, t.file("copy.img")});
    std::vector<svt::PartView> got = svt::listedPartitions();
    ASSERT_EQ(got.size(), 8u);
    const svt::PartView &p = got[4];
    EXPECT_EQ(p.fsType, FS_FAT12);
    EXPECT_EQ(p.rec->Device, set.device(1));
    EXPECT_EQ(p.accessMode, set.device(1)->DevName[4]);
    EXPECT_EQ(set.device(1)->Used, 1);
    for (const svt::PartView &q : got)
        EXPECT_EQ(q.devNum, 0);  // disk1 got no partitions of its own
}

TEST_F(RealImages, DeviceSixteenIsNeverParsed)
{
    std::vector<std::string> images;
    svt::TempDir t;
    for (int i = 0; i < 17; i++) {
        std::string p = t.file("blank" + std::to_string(i) + ".img");
        svt::writeFile(p, svt::patternBytes(4096 + (size_t)i * 512, (uint32_t)i));
        images.push_back(p);
    }
    images[16] = dir_ + "/card-fat16.img";
    images[2] = dir_ + "/card-fat12.img";
    svt::ImageSet set(images);
    std::vector<svt::PartView> got = svt::listedPartitions();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].devNum, 2);
    EXPECT_NE(set.device(16), nullptr);
    EXPECT_EQ(set.device(16)->Used, 0);
}

}  // namespace
