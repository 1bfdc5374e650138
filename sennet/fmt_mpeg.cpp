/*
 * MPEG program streams (mpg, vob): pack headers (MPEG-1 and MPEG-2), the
 * system header and PES packets, each by its length, up to the program end
 * code or the first bytes that are none of these.  Navigation packets
 * (private stream 2) mark a DVD VOB.
 */
#include "sennet_i.h"

namespace {

const char *const kTypes[] = {"mpg", "vob", nullptr};
constexpr uint64_t kMax = 16 * SN_GiB;

/* Length of the pack header at p (12 or 14+stuffing), 0 when invalid. */
unsigned pack_len(const uint8_t *p, size_t avail)
{
    if (avail < 12)
        return 0;
    if ((p[4] & 0xC0) == 0x40) {
        if (avail < 14)
            return 0;
        /* MPEG-2: marker bits */
        if (!(p[4] & 0x04) || !(p[6] & 0x04) || !(p[8] & 0x04) || !(p[9] & 0x01) ||
            (p[12] & 0x03) != 0x03)
            return 0;
        return 14u + (p[13] & 0x07);
    }
    if ((p[4] & 0xF0) == 0x20) {
        if (!(p[4] & 0x01) || !(p[6] & 0x01) || !(p[8] & 0x01) || !(p[9] & 0x80) ||
            !(p[11] & 0x01))
            return 0;
        return 12;
    }
    return 0;
}

bool ps_header(sv_view v, sn_hit *hit)
{
    unsigned n = pack_len(v.data, v.len);
    if (!n || !sv_has(v, n, 4))
        return false;
    const uint8_t *q = v.data + n;
    return q[0] == 0 && q[1] == 0 && q[2] == 1 && q[3] >= 0xB9;
}

sn_status ps_end(sn_src *s, sn_hit *hit)
{
    uint64_t at = 0, good = 0;
    unsigned packs = 0;
    bool nav = false;
    for (;; good = at) {
        if (at > s->limit)
            break;
        size_t got;
        const uint8_t *p = sn_get_some(s, at, 32, &got);
        if (!p || got < 4 || p[0] || p[1] || p[2] != 1)
            break;
        uint8_t code = p[3];
        if (code == 0xB9) {
            good = at + 4;
            break;
        }
        if (code == 0xBA) {
            unsigned n = pack_len(p, got);
            if (!n)
                break;
            at += n;
            packs++;
            continue;
        }
        if (code < 0xBB || got < 6)
            break;
        if (code == 0xBF)
            nav = true;
        at += 6u + sv_ld_be16(p + 4);
    }
    if (s->stopped)
        return SN_STOP;
    if (packs < 2 || good > s->limit)
        return SN_CORRUPT;
    hit->size = good;
    hit->type = nav ? "vob" : "mpg";
    return SN_OK;
}

}  // namespace

extern const sn_format sn_fmt_mpeg_ps = {
    "mpg", kTypes, {0x00, 0x00, 0x01, 0xBA}, 4, 0, 0x00, kMax, ps_header, ps_end,
};
