// Raw media for deep scans built in memory: runs of small BMP pictures,
// one per 1 KiB, that the signature engine finds by their header, and a
// single large one.  Used by the job tests and the streaming benchmark.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace svt {

// A BMP file of exactly `size` bytes (at least 1024): a 24-bit picture 16
// pixels wide and as high as fits, pixel bytes from a seeded pattern.
inline std::vector<uint8_t> bmpFile(uint32_t size, uint32_t seed)
{
    std::vector<uint8_t> f(size);
    auto le32 = [&](size_t off, uint32_t v) {
        for (int i = 0; i < 4; i++)
            f[off + i] = (uint8_t)(v >> (8 * i));
    };
    const uint32_t row = 48;  // 16 pixels x 3 bytes, already a multiple of 4
    f[0] = 'B';
    f[1] = 'M';
    le32(2, size);
    le32(10, 54);              // pixel data offset
    le32(14, 40);              // info header size
    le32(18, 16);              // width
    le32(22, (size - 54) / row);  // height
    f[26] = 1;                 // planes
    f[28] = 24;                // bits per pixel
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 54; i < size; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        f[i] = (uint8_t)x;
    }
    return f;
}

// `count` BMP files of 1 KiB from offset 0, each followed by `gap` zero
// bytes (a multiple of 512), then `tail` zero bytes.
inline std::vector<uint8_t> bmpRun(size_t count, size_t tail = 0, size_t gap = 0)
{
    std::vector<uint8_t> img;
    img.reserve(count * (1024 + gap) + tail);
    for (size_t i = 0; i < count; i++) {
        std::vector<uint8_t> f = bmpFile(1024, (uint32_t)i + 1);
        img.insert(img.end(), f.begin(), f.end());
        img.resize(img.size() + gap);
    }
    img.resize(img.size() + tail);
    return img;
}

}  // namespace svt
