// Devices opened from real image files: listing, naming, and the read and
// write paths of the operations table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mem_device.h"
#include "test_support.h"

using svt::ImageSet;
using svt::TempDir;

namespace {

std::string makeImage(const TempDir &t, const std::string &name, size_t size, uint32_t seed)
{
    std::string path = t.file(name);
    svt::writeFile(path, svt::patternBytes(size, seed));
    return path;
}

int deviceCount()
{
    int n = 0;
    for (_Device_List *l = GlobPointer; l; l = l->next)
        n++;
    return n;
}

TEST(DeviceProbe, ImagesTakeTheDiskSlotsInOrderAndAreOpenedReadOnly)
{
    TempDir t;
    std::string a = makeImage(t, "card.img", 1 << 20, 1);
    std::string b = makeImage(t, "stick.img", 2 << 20, 2);
    ImageSet set({a, b});
    ASSERT_EQ(deviceCount(), 2);
    Physics_Device_Struct *d0 = set.device(0);
    Physics_Device_Struct *d1 = set.device(1);
    ASSERT_TRUE(d0 && d1);
    EXPECT_STREQ(d0->DevName, "Disk Image card.img");
    EXPECT_STREQ(d1->DevName, "Disk Image stick.img");
    EXPECT_STREQ(d0->DevPath, a.c_str());
    EXPECT_EQ(d0->DiskSize, 1u << 20);
    EXPECT_EQ(d1->DiskSize, 2u << 20);
    EXPECT_EQ(d0->SectorSize, 512);
    EXPECT_EQ(d0->Cylinders, (1u << 20) / 512);
    EXPECT_EQ(d0->Ops, &Apple_System);
    // Never opened for writing, and OpenFlags tells how it was opened.
    EXPECT_EQ(fcntl(d0->Fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_EQ(d0->OpenFlags & O_ACCMODE, O_RDONLY);
    EXPECT_EQ(get_ExportsData(), 0);
}

TEST(DeviceProbe, IdenticalMediaOfEqualSizeAreListedOnce)
{
    TempDir t;
    ASSERT_EQ(system(("mkdir " + t.file("a") + " " + t.file("b")).c_str()), 0);
    std::string a = makeImage(t, "a/card.img", 1 << 20, 1);
    std::string b = makeImage(t, "b/card.img", 1 << 20, 9);  // same name, same size
    std::string c = makeImage(t, "other.img", 1 << 20, 3);
    ImageSet set({a, b, c});
    EXPECT_EQ(deviceCount(), 2);
    EXPECT_NE(set.device(0), nullptr);  // the lowest number wins
    EXPECT_EQ(set.device(1), nullptr);
    EXPECT_NE(set.device(2), nullptr);
}

TEST(DeviceProbe, EmptyAndMissingMediaAreAbsentAndDeviceSixteenIsListed)
{
    TempDir t;
    std::vector<std::string> images;
    for (int i = 0; i < 17; i++)
        images.push_back(makeImage(t, "d" + std::to_string(i) + ".img", 4096, (uint32_t)i));
    images[3] = t.file("empty.img");
    svt::writeFile(images[3], {});
    images[5] = t.file("missing.img");
    ImageSet set(images);
    EXPECT_EQ(deviceCount(), 15);
    EXPECT_EQ(set.device(3), nullptr);
    EXPECT_EQ(set.device(5), nullptr);
    ASSERT_NE(set.device(16), nullptr);
    EXPECT_EQ(set.device(16)->DevNum, 16);
}

TEST(DeviceProbe, NoDevicesLeavesTheListEmpty)
{
    TempDir t;
    ASSERT_EQ(setenv("SALVITRA_DISK_DIR", t.path().c_str(), 1), 0);
    FullDevStruct();
    EXPECT_EQ(GlobPointer, nullptr);
    EXPECT_EQ(FullDevStruct_exit(), 0);
    unsetenv("SALVITRA_DISK_DIR");
}

TEST(DeviceProbe, DiskDirEntriesAndLinksStandForDevices)
{
    TempDir t;
    std::string img = makeImage(t, "photos-card.raw", 64 * 1024, 4);
    ASSERT_EQ(symlink(img.c_str(), t.file("disk2").c_str()), 0);
    makeImage(t, "disk7", 8192, 5);
    ASSERT_EQ(setenv("SALVITRA_DISK_DIR", t.path().c_str(), 1), 0);
    FullDevStruct();
    Physics_Device_Struct *d2 = nullptr, *d7 = nullptr;
    for (_Device_List *l = GlobPointer; l; l = l->next) {
        auto *d = static_cast<Physics_Device_Struct *>(l->data);
        if (d->DevNum == 2)
            d2 = d;
        if (d->DevNum == 7)
            d7 = d;
    }
    ASSERT_TRUE(d2 && d7);
    EXPECT_EQ(deviceCount(), 2);
    EXPECT_STREQ(d2->DevName, "Disk Image photos-card.raw");  // the link's target
    EXPECT_EQ(d2->DiskSize, 64u * 1024);
    EXPECT_STREQ(d7->DevName, "Disk Image disk7");
    char path[4096];
    EXPECT_EQ(Salvitra_ResolveDiskPath(2, path, sizeof path), 0);
    EXPECT_EQ(std::string(path), t.file("disk2"));
    EXPECT_EQ(Salvitra_ResolveDiskPath(3, path, sizeof path), -1);
    FullDevStruct_exit();
    unsetenv("SALVITRA_DISK_DIR");
}

// A device this process may not open goes to the opener a front end set;
// the descriptor it hands back is taken only when it is read-only and is
// that very device.  Run in a child without root's powers.
struct OpenerCase {
    int fd;
};

int handBack(const char *, char *why, size_t why_len, void *context)
{
    int fd = static_cast<OpenerCase *>(context)->fd;
    if (fd < 0)
        snprintf(why, why_len, "refused by the opener");
    return fd < 0 ? -1 : dup(fd);
}

// True when the image was listed, opened read-only; the failure's errno and
// text, if any, in *err and *why.
bool listed(const std::string &img, std::string *why, int *err)
{
    const char *p[] = {img.c_str()};
    Salvitra_SetDiskImages(p, 1);
    FullDevStruct();
    bool ok = GlobPointer != nullptr;
    int32_t dev = -1;
    char path[4096], text[256];
    *why = "";
    if (Salvitra_GetOpenFailure(0, &dev, err, path, sizeof path, text, sizeof text) == 0)
        *why = text;
    if (ok && (fcntl(static_cast<Physics_Device_Struct *>(GlobPointer->data)->Fd, F_GETFL) & O_ACCMODE) != O_RDONLY)
        ok = false;
    FullDevStruct_exit();
    Salvitra_SetDiskImages(nullptr, 0);
    return ok;
}

[[noreturn]] void openerStory(const std::string &img, const std::string &other)
{
    int rw = open(img.c_str(), O_RDWR), ro = open(img.c_str(), O_RDONLY), wrong = open(other.c_str(), O_RDONLY);
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                           setresuid(65534, 65534, 65534) != 0)) {
        fprintf(stderr, "cannot drop root\n");
        _exit(2);
    }
    auto fail = [](const char *what, const std::string &why) {
        fprintf(stderr, "%s (%s)\n", what, why.c_str());
        _exit(1);
    };
    std::string why;
    int err = 0;
    if (listed(img, &why, &err) || err != EACCES || why != strerror(EACCES))
        fail("without an opener: not listed, EACCES", why);
    OpenerCase c{-1};
    Salvitra_SetDeviceOpener(handBack, &c);
    if (listed(img, &why, &err) || why != "refused by the opener")
        fail("the opener's refusal is the reason", why);
    c.fd = rw;
    if (listed(img, &why, &err) || why.find("not a read-only descriptor") == std::string::npos)
        fail("a descriptor open for writing is refused", why);
    c.fd = wrong;
    if (listed(img, &why, &err) || why.find("not a read-only descriptor") == std::string::npos)
        fail("a descriptor of another file is refused", why);
    c.fd = ro;
    if (!listed(img, &why, &err))
        fail("a read-only descriptor of the image is used", why);
    Salvitra_SetDeviceOpener(nullptr, nullptr);
    _exit(0);
}

TEST(DeviceProbe, DevicesThatCannotBeOpenedGoToTheOpenerWhichMustHandBackThemReadOnly)
{
    TempDir t;
    chmod(t.path().c_str(), 0711);
    std::string img = makeImage(t, "card.img", 64 * 1024, 6);
    std::string other = makeImage(t, "other.img", 64 * 1024, 7);
    chmod(img.c_str(), 0600);
    chmod(other.c_str(), 0644);
    if (geteuid() != 0 && access(img.c_str(), R_OK) == 0)
        GTEST_SKIP() << "this user may read the image anyway";
    EXPECT_EXIT(openerStory(img, other), ::testing::ExitedWithCode(0), "");
}

TEST(DeviceProbe, LongNamesAreCutToTheField)
{
    TempDir t;
    // 60 bytes of name, with a two-byte character straddling the cut.
    std::string name = std::string(37, 'x') + "\xC3\xA9" + std::string(21, 'y') + ".img";
    std::string img = makeImage(t, name, 4096, 6);
    ImageSet set({img});
    Physics_Device_Struct *d = set.device(0);
    ASSERT_NE(d, nullptr);
    EXPECT_LT(strlen(d->DevName), sizeof d->DevName);
    EXPECT_EQ(std::string(d->DevName).rfind("Disk Image xxxx", 0), 0u);
    // No half character at the end.
    std::string n = d->DevName;
    EXPECT_NE((unsigned char)n.back(), 0xC3);
}

class ReadPath : public ::testing::Test {
protected:
    void SetUp() override
    {
        data = svt::patternBytes(8 * 512 + 100, 42);  // the medium ends mid-sector
        img = t.file("disk.img");
        svt::writeFile(img, data);
        set = std::make_unique<ImageSet>(std::vector<std::string>{img});
        dev = set->device(0);
        ASSERT_NE(dev, nullptr);
    }
    int32_t read(void *dst, uint32_t len, uint64_t off) { return dev->Ops->read(dev, dst, len, off); }

    TempDir t;
    std::vector<uint8_t> data;
    std::string img;
    std::unique_ptr<ImageSet> set;
    Physics_Device_Struct *dev = nullptr;
};

TEST_F(ReadPath, UnalignedReadAcrossASectorBoundary)
{
    uint8_t buf[100];
    ASSERT_EQ(read(buf, 100, 510), 100);
    EXPECT_EQ(memcmp(buf, data.data() + 510, 100), 0);
    // It went through the bounce buffer: two sectors from offset 0.
    EXPECT_EQ(dev->Cache->Capacity, 1024u);
    EXPECT_EQ(dev->Cache->LastLength, 100u);
    EXPECT_EQ(dev->Cache->Valid, 1);

    // The same aligned size again reuses the buffer.
    uint8_t *buffer = dev->Cache->Buffer;
    ASSERT_EQ(read(buf, 100, 1022), 100);
    EXPECT_EQ(memcmp(buf, data.data() + 1022, 100), 0);
    EXPECT_EQ(dev->Cache->Buffer, buffer);

    // Odd sizes and offsets everywhere in the medium.
    for (uint64_t off : {1ull, 511ull, 513ull, 2047ull, 3000ull}) {
        std::vector<uint8_t> b(777);
        ASSERT_EQ(read(b.data(), 777, off), 777) << off;
        EXPECT_EQ(memcmp(b.data(), data.data() + off, 777), 0) << off;
    }
}

TEST_F(ReadPath, AlignedReadsGoStraightToTheMedium)
{
    std::vector<uint8_t> b(1024);
    ASSERT_EQ(read(b.data(), 1024, 2048), 1024);
    EXPECT_EQ(memcmp(b.data(), data.data() + 2048, 1024), 0);
    EXPECT_EQ(dev->Cache->Buffer, nullptr);
}

TEST_F(ReadPath, ShortReadsPastTheEndZeroFillTheRest)
{
    // The last full sector plus the 100-byte tail, asked as two sectors.
    std::vector<uint8_t> b(1024, 0xEE);
    ASSERT_EQ(read(b.data(), 1024, 7 * 512), 612);
    EXPECT_EQ(memcmp(b.data(), data.data() + 7 * 512, 612), 0);
    for (size_t i = 612; i < b.size(); i++)
        ASSERT_EQ(b[i], 0) << i;

    // Entirely past the end: -1 and a zeroed buffer, never stale bytes.
    std::fill(b.begin(), b.end(), 0xEE);
    EXPECT_EQ(read(b.data(), 1024, 64 * 512), -1);
    EXPECT_TRUE(std::all_of(b.begin(), b.end(), [](uint8_t v) { return v == 0; }));

    // Unaligned and partly past the end.
    std::vector<uint8_t> u(300, 0xEE);
    int32_t n = read(u.data(), 300, data.size() - 50);
    EXPECT_EQ(n, 50);
    EXPECT_EQ(memcmp(u.data(), data.data() + data.size() - 50, 50), 0);
    EXPECT_TRUE(std::all_of(u.begin() + 50, u.end(), [](uint8_t v) { return v == 0; }));

    // Offsets near 2^64 cannot wrap around.
    EXPECT_EQ(read(u.data(), 300, UINT64_MAX - 10), -1);
}

TEST_F(ReadPath, PrivateCopyReadsAreRelativeToThePartition)
{
    Partiton_Struct part{};
    part.PartOffset = 1024;
    part.AccessMode = '?';
    Physics_Device_Struct copy = *dev;
    copy.OwnerPartition = &part;
    part.Device = &copy;

    uint8_t buf[512];
    ASSERT_EQ(copy.Ops->read(&copy, buf, 512, 0), 512);
    EXPECT_EQ(memcmp(buf, data.data() + 1024, 512), 0);
    uint8_t small[10];
    ASSERT_EQ(copy.Ops->read(&copy, small, 10, 5), 10);
    EXPECT_EQ(memcmp(small, data.data() + 1029, 10), 0);

    // Any other mode: offsets relative to the device itself.
    part.AccessMode = 'k';
    ASSERT_EQ(copy.Ops->read(&copy, buf, 512, 0), 512);
    EXPECT_EQ(memcmp(buf, data.data(), 512), 0);
}

// The write path, on an image opened for writing by the test itself (the
// library never opens a medium that way).
TEST(WritePath, UnalignedWriteIsAReadModifyWriteOfWholeSectors)
{
    TempDir t;
    std::vector<uint8_t> data = svt::patternBytes(4096, 7);
    std::string img = t.file("rw.img");
    svt::writeFile(img, data);

    Physics_Device_Struct dev{};
    ReadCache cache{};
    dev.Fd = open(img.c_str(), O_RDWR);
    ASSERT_GE(dev.Fd, 0);
    dev.SectorSize = 512;
    dev.Cache = &cache;
    dev.Ops = &Apple_System;

    const uint8_t patch[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(dev.Ops->write(&dev, patch, 10, 5), 512);
    std::vector<uint8_t> after = svt::readFile(img);
    ASSERT_EQ(after.size(), data.size());
    EXPECT_EQ(memcmp(after.data() + 5, patch, 10), 0);
    EXPECT_EQ(memcmp(after.data(), data.data(), 5), 0);
    EXPECT_EQ(memcmp(after.data() + 15, data.data() + 15, data.size() - 15), 0);

    // Aligned: written as it is.
    std::vector<uint8_t> block(512, 0xAB);
    EXPECT_EQ(dev.Ops->write(&dev, block.data(), 512, 1024), 512);
    after = svt::readFile(img);
    EXPECT_EQ(memcmp(after.data() + 1024, block.data(), 512), 0);

    // Through a private partition copy the sector goes back where it was read.
    Partiton_Struct part{};
    part.PartOffset = 2048;
    part.AccessMode = '?';
    Physics_Device_Struct copy = dev;
    copy.OwnerPartition = &part;
    EXPECT_EQ(copy.Ops->write(&copy, patch, 3, 100), 512);
    after = svt::readFile(img);
    EXPECT_EQ(memcmp(after.data() + 2148, patch, 3), 0);
    EXPECT_EQ(memcmp(after.data() + 2048, data.data() + 2048, 100), 0);
    EXPECT_EQ(memcmp(after.data() + 100, data.data() + 100, 3), 0);

    // A device opened read-only refuses to write.
    close(dev.Fd);
    dev.Fd = open(img.c_str(), O_RDONLY);
    EXPECT_EQ(dev.Ops->write(&dev, block.data(), 512, 0), -1);
    close(dev.Fd);
    free(cache.Buffer);
}

TEST(MemDeviceSupport, FaultsAreServedWhereAsked)
{
    svt::MemDevice m(svt::patternBytes(4096, 3));
    uint8_t buf[512];
    m.failFrom = 1024;
    m.failTo = 1536;
    EXPECT_EQ(m.dev()->Ops->read(m.dev(), buf, 512, 1024), -1);
    EXPECT_EQ(m.dev()->Ops->read(m.dev(), buf, 512, 0), 512);
    m.shortFrom = 2100;
    EXPECT_EQ(m.dev()->Ops->read(m.dev(), buf, 512, 2048), 52);
    Partiton_Struct *p = m.partition(512, 2048, FS_FAT16);
    EXPECT_EQ(p->Device->Ops->read(p->Device, buf, 512, 0), 512);
    EXPECT_EQ(memcmp(buf, m.bytes().data() + 512, 512), 0);
}

}  // namespace
