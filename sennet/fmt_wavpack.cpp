/*
 * WavPack (wv): a chain of "wvpk" blocks, each with its own size, and the
 * APEv2 or ID3v1 tag after them.
 */
#include "sennet_i.h"

namespace {

const char *const kTypes[] = {"wv", nullptr};
constexpr uint64_t kMax = 4 * SN_GiB;

bool block_ok(const uint8_t *p, uint32_t *size)
{
    if (memcmp(p, "wvpk", 4) != 0)
        return false;
    uint32_t ck = sv_ld_le32(p + 4);
    uint16_t ver = sv_ld_le16(p + 8);
    if (ck < 24 || ck > 16 * 1024 * 1024 || ver < 0x402 || ver > 0x410)
        return false;
    *size = ck + 8;
    return true;
}

bool wv_header(sv_view v, sn_hit *hit)
{
    uint32_t size;
    if (!sv_has(v, 0, 32) || !block_ok(v.data, &size))
        return false;
    return sv_ld_le32(v.data + 16) == 0; /* the first block starts at sample 0 */
}

sn_status wv_end(sn_src *s, sn_hit *hit)
{
    uint64_t at = 0;
    unsigned blocks = 0;
    const uint8_t *p;
    uint32_t size;
    while ((p = sn_get(s, at, 32)) && block_ok(p, &size)) {
        if (size > s->limit - at)
            return SN_CORRUPT; /* cut off */
        at += size;
        blocks++;
    }
    if (s->stopped)
        return SN_STOP;
    if (!blocks)
        return SN_CORRUPT;
    hit->size = sn_trailing_tags(s, at);
    return SN_OK;
}

}  // namespace

extern const sn_format sn_fmt_wavpack = {
    "wv", kTypes, {'w', 'v', 'p', 'k'}, 4, 0, 'w', kMax, wv_header, wv_end,
};
