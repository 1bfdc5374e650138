/*
 * IFF "FORM" files: AIFF and AIFF-C.  The FORM size gives the end; the
 * chunks (big-endian sizes, padded to even) must tile it and hold COMM.
 */
#include "sennet_i.h"

namespace {

const char *const kTypes[] = {"aiff", "aifc", nullptr};
constexpr uint64_t kMax = 4 * SN_GiB + 8;

bool form_header(sv_view v, sn_hit *hit)
{
    uint32_t size;
    if (!sv_be32(v, 4, &size) || size < 12)
        return false;
    if (sn_magic_at(v, 8, "AIFF", 4))
        hit->type = "aiff";
    else if (sn_magic_at(v, 8, "AIFC", 4))
        hit->type = "aifc";
    else
        return false;
    return sv_has(v, 12, 4) && sn_is_alnum4(v.data + 12);
}

sn_status form_end(sn_src *s, sn_hit *hit)
{
    uint32_t size;
    if (!sn_rd_be32(s, 4, &size))
        return sn_fail(s);
    uint64_t end = 8ull + size;
    if (end > s->limit)
        return SN_CORRUPT;
    bool comm = false, ssnd = false;
    uint64_t at = 12;
    for (unsigned hops = 0; at < end; hops++) {
        if (hops > 100000 || end - at < 8)
            return SN_CORRUPT;
        const uint8_t *p = sn_get(s, at, 8);
        if (!p)
            return sn_fail(s);
        if (!sn_is_alnum4(p))
            return SN_CORRUPT;
        if (memcmp(p, "COMM", 4) == 0)
            comm = true;
        if (memcmp(p, "SSND", 4) == 0)
            ssnd = true;
        uint64_t len = sv_ld_be32(p + 4);
        at += 8 + len + (len & 1);
        if (at > end + 1)
            return SN_CORRUPT;
    }
    if (!comm)
        return SN_CORRUPT;
    (void)ssnd;
    hit->size = end + ((size & 1) && end < s->limit ? 1 : 0);
    return SN_OK;
}

}  // namespace

extern const sn_format sn_fmt_form = {
    "aiff", kTypes, {'F', 'O', 'R', 'M'}, 4, 0, 'F', kMax, form_header, form_end,
};
