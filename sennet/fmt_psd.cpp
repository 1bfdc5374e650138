/*
 * Photoshop PSD and PSB: header, colour mode data, image resources, layer
 * and mask information, then the merged image data, raw (size from the
 * header) or RLE (size from the per-row byte counts).
 */
#include "sennet_i.h"

namespace {

const char *const kTypes[] = {"psd", nullptr};
constexpr uint64_t kMax = 2 * SN_GiB;

bool psd_header(sv_view v, sn_hit *hit)
{
    uint16_t ver, channels, depth, mode;
    uint32_t h, w;
    if (!sv_be16(v, 4, &ver) || (ver != 1 && ver != 2))
        return false;
    for (int i = 6; i < 12; i++)
        if (v.len > (size_t)i && v.data[i] != 0)
            return false;
    if (!sv_be16(v, 12, &channels) || !sv_be32(v, 14, &h) || !sv_be32(v, 18, &w) ||
        !sv_be16(v, 22, &depth) || !sv_be16(v, 24, &mode))
        return false;
    uint32_t maxdim = ver == 1 ? 30000 : 300000;
    if (channels < 1 || channels > 56 || h == 0 || w == 0 || h > maxdim || w > maxdim)
        return false;
    if (!(depth == 1 || depth == 8 || depth == 16 || depth == 32))
        return false;
    if (!(mode <= 4 || mode == 7 || mode == 8 || mode == 9))
        return false;
    hit->hint = ver;
    return true;
}

sn_status psd_end(sn_src *s, sn_hit *hit)
{
    bool psb = hit->hint == 2;
    uint16_t channels, depth;
    uint32_t h, w;
    if (!sn_rd_be16(s, 12, &channels) || !sn_rd_be32(s, 14, &h) || !sn_rd_be32(s, 18, &w) ||
        !sn_rd_be16(s, 22, &depth))
        return sn_fail(s);
    uint64_t at = 26;
    uint32_t len;
    /* colour mode data */
    if (!sn_rd_be32(s, at, &len))
        return sn_fail(s);
    at += 4 + (uint64_t)len;
    /* image resources: a chain of 8BIM blocks */
    if (!sn_rd_be32(s, at, &len))
        return sn_fail(s);
    if (len) {
        const uint8_t *p = sn_get(s, at + 4, 4);
        if (!p)
            return sn_fail(s);
        if (memcmp(p, "8BIM", 4) != 0)
            return SN_CORRUPT;
    }
    at += 4 + (uint64_t)len;
    /* layer and mask information */
    uint64_t lm;
    if (psb) {
        if (!sn_rd_be64(s, at, &lm))
            return sn_fail(s);
        at += 8;
    } else {
        if (!sn_rd_be32(s, at, &len))
            return sn_fail(s);
        lm = len;
        at += 4;
    }
    if (lm > s->limit || at > s->limit - lm)
        return SN_CORRUPT;
    at += lm;
    uint16_t comp;
    if (!sn_rd_be16(s, at, &comp))
        return sn_fail(s);
    at += 2;
    uint64_t rows = (uint64_t)channels * h;
    if (comp == 0) {
        uint64_t row = ((uint64_t)w * depth + 7) / 8;
        at += row * rows;
    } else if (comp == 1) {
        uint64_t table = at;
        unsigned width = psb ? 4 : 2;
        uint64_t sum = 0;
        uint64_t maxrow = ((uint64_t)w * depth + 7) / 8 * 2 + 2;
        for (uint64_t r = 0; r < rows; r++) {
            uint32_t n;
            if (psb) {
                if (!sn_rd_be32(s, table + r * 4, &n))
                    return sn_fail(s);
            } else {
                uint16_t n16;
                if (!sn_rd_be16(s, table + r * 2, &n16))
                    return sn_fail(s);
                n = n16;
            }
            if (n > maxrow)
                return SN_CORRUPT;
            sum += n;
        }
        at += rows * width + sum;
    } else if (comp == 2 || comp == 3) {
        /* ZIP-compressed merged data has no length of its own */
        return SN_CORRUPT;
    } else {
        return SN_CORRUPT;
    }
    if (at > s->limit)
        return SN_CORRUPT;
    hit->size = at;
    return SN_OK;
}

}  // namespace

extern const sn_format sn_fmt_psd = {
    "psd", kTypes, {'8', 'B', 'P', 'S'}, 4, 0, '8', kMax, psd_header, psd_end,
};
