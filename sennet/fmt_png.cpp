/*
 * PNG: the chunk chain from IHDR to IEND.  IHDR's CRC is verified, every
 * chunk type must be four letters, and IEND (with its fixed CRC) ends it.
 */
#include "sennet_i.h"

namespace {

const char *const kTypes[] = {"png", nullptr};
constexpr uint64_t kMax = 256 * SN_MiB;

bool is_letters(const uint8_t *p)
{
    for (int i = 0; i < 4; i++)
        if (!((p[i] >= 'a' && p[i] <= 'z') || (p[i] >= 'A' && p[i] <= 'Z')))
            return false;
    return true;
}

bool png_header(sv_view v, sn_hit *hit)
{
    uint32_t len, w, h, crc;
    if (!sv_be32(v, 8, &len) || len != 13 || !sn_magic_at(v, 12, "IHDR", 4))
        return false;
    if (!sv_be32(v, 16, &w) || !sv_be32(v, 20, &h) || w == 0 || h == 0 || w > 0x7FFFFFFF ||
        h > 0x7FFFFFFF)
        return false;
    if (!sv_be32(v, 29, &crc))
        return false;
    return sn_crc32(0, v.data + 12, 17) == crc;
}

sn_status png_end(sn_src *s, sn_hit *hit)
{
    uint64_t at = 8;
    for (unsigned hops = 0; hops < 10000000; hops++) {
        const uint8_t *p = sn_get(s, at, 8);
        if (!p)
            return sn_fail(s);
        uint32_t len = sv_ld_be32(p);
        if (len > 0x7FFFFFFF || !is_letters(p + 4))
            return SN_CORRUPT;
        if (memcmp(p + 4, "IEND", 4) == 0) {
            uint32_t crc;
            if (len != 0 || !sn_rd_be32(s, at + 8, &crc))
                return sn_fail(s);
            if (crc != 0xAE426082u)
                return SN_CORRUPT;
            hit->size = at + 12;
            return SN_OK;
        }
        at += 12 + (uint64_t)len;
        if (at > s->limit)
            return SN_CORRUPT;
    }
    return SN_CORRUPT;
}

}  // namespace

extern const sn_format sn_fmt_png = {
    "png", kTypes, {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, 8, 0, 0x89, kMax,
    png_header, png_end,
};
