/*
 * Flash video: the 9-byte header, then tags, each followed by the size of
 * the tag before it; the walk ends at the first tag that does not fit.
 */
#include "sennet_i.h"

namespace {

const char *const kTypes[] = {"flv", nullptr};
constexpr uint64_t kMax = 16 * SN_GiB;

bool flv_header(sv_view v, sn_hit *hit)
{
    uint8_t ver, flags;
    uint32_t hsize, prev0;
    if (!sv_u8(v, 3, &ver) || !sv_u8(v, 4, &flags) || !sv_be32(v, 5, &hsize) ||
        !sv_be32(v, 9, &prev0))
        return false;
    return ver == 1 && (flags & 0xFA) == 0 && (flags & 5) && hsize == 9 && prev0 == 0;
}

sn_status flv_end(sn_src *s, sn_hit *hit)
{
    uint64_t at = 13;
    uint64_t tags = 0;
    for (;;) {
        const uint8_t *p = sn_get(s, at, 11);
        if (!p)
            break;
        uint8_t type = p[0] & 0x1F;
        if ((p[0] & 0xC0) || !(type == 8 || type == 9 || type == 18))
            break;
        uint32_t dsize = ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
        if (p[8] || p[9] || p[10]) /* stream id is always 0 */
            break;
        uint32_t prev;
        if (!sn_rd_be32(s, at + 11 + dsize, &prev) || prev != 11 + dsize)
            break;
        at += 15ull + dsize;
        tags++;
    }
    if (s->stopped)
        return SN_STOP;
    if (tags == 0)
        return SN_CORRUPT;
    hit->size = at;
    return SN_OK;
}

}  // namespace

extern const sn_format sn_fmt_flv = {
    "flv", kTypes, {'F', 'L', 'V'}, 3, 0, 'F', kMax, flv_header, flv_end,
};
