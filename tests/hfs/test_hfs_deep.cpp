// Mode 0 of the HFS+ library hands the partition to the signature engine;
// hfsp_exit releases the engine's results with the library's own.
#include <gtest/gtest.h>

#include <cstring>

#include "hfs_builder.h"
#include "mem_device.h"
#include "sennet.h"
#include "test_support.h"
#include "varn.h"

using namespace svt;

namespace {

uint32_t crc32(const uint8_t *p, size_t n)
{
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        c ^= p[i];
        for (int k = 0; k < 8; k++)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

void putBe32(std::vector<uint8_t> &v, uint32_t x)
{
    for (int i = 3; i >= 0; i--)
        v.push_back((uint8_t)(x >> (8 * i)));
}

void chunk(std::vector<uint8_t> &png, const char *type, const std::vector<uint8_t> &data)
{
    putBe32(png, (uint32_t)data.size());
    size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    putBe32(png, crc32(png.data() + start, png.size() - start));
}

// A 4 x 4 RGB picture, its pixels in one stored deflate block.
std::vector<uint8_t> tinyPng()
{
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::vector<uint8_t> ihdr;
    putBe32(ihdr, 4);
    putBe32(ihdr, 4);
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
    chunk(png, "IHDR", ihdr);
    std::vector<uint8_t> raw;
    for (int y = 0; y < 4; y++) {
        raw.push_back(0);
        for (int x = 0; x < 12; x++)
            raw.push_back((uint8_t)(y * 40 + x * 7));
    }
    uint32_t a = 1, b = 0;
    for (uint8_t c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    std::vector<uint8_t> z = {0x78, 0x01, 0x01, (uint8_t)raw.size(), 0, (uint8_t)~raw.size(), 0xFF};
    z.insert(z.end(), raw.begin(), raw.end());
    putBe32(z, (b << 16) | a);
    chunk(png, "IDAT", z);
    chunk(png, "IEND", {});
    return png;
}

TEST(HfsDeepMode, HandsThePartitionToTheSignatureEngine)
{
    HfsImage v;
    v.setCatalog({{v.folder(2, 1, "Untitled")}});
    v.writeData(tinyPng(), false);
    std::vector<uint8_t> img = v.image();
    MemDevice dev(img);
    ASSERT_EQ(hfsp_init(dev.partition(0, img.size(), FS_HFSPLUS)), 1);
    EXPECT_EQ(hfsp_searchfile(0), nullptr);
    bool png = false;
    for (const char *t = Get_Dir(); t; t = Get_Dir())
        png |= strcmp(t, "png") == 0;
    EXPECT_TRUE(png);
    hfsp_exit();
    EXPECT_EQ(Get_Dir(), nullptr) << "the engine's results outlived hfsp_exit";
}

}  // namespace
