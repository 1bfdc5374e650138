/*
 * BMP: the file header's size, checked against the info header: the pixel
 * array must fit between the data offset and the declared size.
 */
#include "sennet_i.h"

namespace {

const char *const kTypes[] = {"bmp", nullptr};
constexpr uint64_t kMax = 512 * SN_MiB;

bool bmp_header(sv_view v, sn_hit *hit)
{
    uint32_t size, reserved, data_off, dib;
    if (!sv_le32(v, 2, &size) || !sv_le32(v, 6, &reserved) || !sv_le32(v, 10, &data_off) ||
        !sv_le32(v, 14, &dib))
        return false;
    if (reserved != 0 || size < 26 || size > kMax)
        return false;
    if (!(dib == 12 || dib == 40 || dib == 52 || dib == 56 || dib == 64 || dib == 108 ||
          dib == 124))
        return false;
    if (data_off < 14 + dib || data_off > size)
        return false;
    uint64_t width, height;
    uint16_t planes, bpp;
    uint32_t compression = 0;
    if (dib == 12) {
        uint16_t w, h;
        if (!sv_le16(v, 18, &w) || !sv_le16(v, 20, &h) || !sv_le16(v, 22, &planes) ||
            !sv_le16(v, 24, &bpp))
            return false;
        width = w;
        height = h;
    } else {
        uint32_t w, h;
        if (!sv_le32(v, 18, &w) || !sv_le32(v, 22, &h) || !sv_le16(v, 26, &planes) ||
            !sv_le16(v, 28, &bpp) || !sv_le32(v, 30, &compression))
            return false;
        if ((int32_t)w <= 0 || h == 0 || h == 0x80000000u)
            return false;
        width = w;
        height = (int32_t)h < 0 ? (uint64_t)(-(int64_t)(int32_t)h) : h;
    }
    if (planes != 1 || width == 0 || height == 0 || width > 100000 || height > 100000)
        return false;
    if (!(bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32))
        return false;
    if (compression > 6)
        return false;
    if (compression == 0 || compression == 3) {
        uint64_t row = (width * bpp + 31) / 32 * 4;
        uint64_t need = row * height;
        if (need > (uint64_t)size - data_off)
            return false;
    }
    hit->hint = size;
    return true;
}

sn_status bmp_end(sn_src *s, sn_hit *hit)
{
    hit->size = hit->hint;
    return hit->size <= s->limit ? SN_OK : SN_CORRUPT;
}

}  // namespace

extern const sn_format sn_fmt_bmp = {
    "bmp", kTypes, {'B', 'M'}, 2, 0, 'B', kMax, bmp_header, bmp_end,
};
