/*
 * Ogg: pages with verified CRCs, from the first page (beginning of stream)
 * until every logical stream that began has ended.  A stream cut off
 * without its end page is still reported when at least two pages check
 * out; it ends at its last good page.
 */
#include "sennet_i.h"

namespace {

const char *const kTypes[] = {"ogg", "ogm", nullptr};
constexpr uint64_t kMax = 4 * SN_GiB;
constexpr unsigned kMaxStreams = 32;

bool ogg_header(sv_view v, sn_hit *hit)
{
    uint8_t ver, flags, nseg;
    if (!sv_u8(v, 4, &ver) || !sv_u8(v, 5, &flags) || !sv_u8(v, 26, &nseg))
        return false;
    /* the first page begins a stream and continues nothing */
    return ver == 0 && (flags & 0x02) && !(flags & 0x01) && nseg > 0;
}

/* Verifies the page at `at`; its length in *len and serial, flags out. */
sn_status page(sn_src *s, uint64_t at, uint64_t *len, uint32_t *serial, uint8_t *flags)
{
    const uint8_t *p = sn_get(s, at, 27);
    if (!p)
        return sn_fail(s);
    if (memcmp(p, "OggS", 4) != 0 || p[4] != 0)
        return SN_CORRUPT;
    uint8_t nseg = p[26];
    const uint8_t *seg = sn_get(s, at, 27u + nseg);
    if (!seg)
        return sn_fail(s);
    uint64_t body = 0;
    for (unsigned i = 0; i < nseg; i++)
        body += seg[27 + i];
    uint64_t total = 27u + nseg + body;
    if (total > SN_GET_MAX)
        return SN_CORRUPT;
    const uint8_t *all = sn_get(s, at, (size_t)total);
    if (!all)
        return sn_fail(s);
    uint32_t stored = sv_ld_le32(all + 22);
    uint8_t zero[4] = {0, 0, 0, 0};
    uint32_t crc = sn_crc32_ogg(0, all, 22);
    crc = sn_crc32_ogg(crc, zero, 4);
    crc = sn_crc32_ogg(crc, all + 26, (size_t)total - 26);
    if (crc != stored)
        return SN_CORRUPT;
    *len = total;
    *serial = sv_ld_le32(all + 14);
    *flags = all[5];
    return SN_OK;
}

sn_status ogg_end(sn_src *s, sn_hit *hit)
{
    uint32_t serials[kMaxStreams];
    bool ended[kMaxStreams];
    unsigned n = 0;
    uint64_t at = 0;
    unsigned pages = 0;
    for (;;) {
        uint64_t len;
        uint32_t serial;
        uint8_t flags;
        sn_status st = page(s, at, &len, &serial, &flags);
        if (st == SN_STOP)
            return st;
        if (st != SN_OK)
            break;
        if (pages == 0) {
            const uint8_t *h = sn_get(s, at, 27);
            const uint8_t *b = h ? sn_get(s, at + 27 + h[26], 8) : nullptr;
            if (b && memcmp(b, "\x01video", 6) == 0)
                hit->type = "ogm";
        }
        unsigned k = 0;
        while (k < n && serials[k] != serial)
            k++;
        if (k == n) {
            if (!(flags & 0x02) || n == kMaxStreams)
                break; /* a page of a stream that never began here */
            serials[n] = serial;
            ended[n] = false;
            n++;
        }
        if (flags & 0x04)
            ended[k] = true;
        at += len;
        pages++;
        bool all = true;
        for (unsigned i = 0; i < n; i++)
            all = all && ended[i];
        if (all) {
            hit->size = at;
            return SN_OK;
        }
    }
    if (pages < 2)
        return SN_CORRUPT;
    hit->size = at;
    return SN_OK;
}

}  // namespace

extern const sn_format sn_fmt_ogg = {
    "ogg", kTypes, {'O', 'g', 'g', 'S'}, 4, 0, 'O', kMax, ogg_header, ogg_end,
};
