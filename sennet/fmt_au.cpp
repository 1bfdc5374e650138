/*
 * Sun/NeXT audio (au): the header gives the data offset and the data size;
 * files whose writer did not know the size (~0) are not reported.
 */
#include "sennet_i.h"

namespace {

const char *const kTypes[] = {"au", nullptr};
constexpr uint64_t kMax = 4 * SN_GiB + 64 * SN_KiB;

bool au_header(sv_view v, sn_hit *hit)
{
    uint32_t off, size, enc, rate, ch;
    if (!sv_be32(v, 4, &off) || !sv_be32(v, 8, &size) || !sv_be32(v, 12, &enc) ||
        !sv_be32(v, 16, &rate) || !sv_be32(v, 20, &ch))
        return false;
    if (off < 24 || off > 64 * 1024 || size == 0 || size == 0xFFFFFFFFu)
        return false;
    if (enc < 1 || enc > 27 || rate < 1000 || rate > 768000 || ch < 1 || ch > 16)
        return false;
    hit->hint = (uint64_t)off + size;
    return true;
}

sn_status au_end(sn_src *s, sn_hit *hit)
{
    if (hit->hint > s->limit)
        return SN_CORRUPT;
    hit->size = hit->hint;
    return SN_OK;
}

}  // namespace

extern const sn_format sn_fmt_au = {
    "au", kTypes, {'.', 's', 'n', 'd'}, 4, 0, '.', kMax, au_header, au_end,
};
