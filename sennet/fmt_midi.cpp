/*
 * Standard MIDI files: the MThd header chunk, then as many MTrk chunks as
 * it announces (other chunks are skipped by their sizes).
 */
#include "sennet_i.h"

namespace {

const char *const kTypes[] = {"mid", nullptr};
constexpr uint64_t kMax = 64 * SN_MiB;

bool midi_header(sv_view v, sn_hit *hit)
{
    uint32_t len;
    uint16_t format, ntrk, division;
    if (!sv_be32(v, 4, &len) || len < 6 || len > 64)
        return false;
    if (!sv_be16(v, 8, &format) || !sv_be16(v, 10, &ntrk) || !sv_be16(v, 12, &division))
        return false;
    if (format > 2 || ntrk == 0 || (format == 0 && ntrk != 1) || division == 0)
        return false;
    hit->hint = ntrk;
    return true;
}

sn_status midi_end(sn_src *s, sn_hit *hit)
{
    uint32_t len;
    if (!sn_rd_be32(s, 4, &len))
        return sn_fail(s);
    uint64_t at = 8ull + len;
    uint64_t tracks = 0, want = hit->hint;
    for (unsigned hops = 0; tracks < want; hops++) {
        if (hops > 70000)
            return SN_CORRUPT;
        const uint8_t *p = sn_get(s, at, 8);
        if (!p)
            return sn_fail(s);
        if (!sn_is_alnum4(p))
            return SN_CORRUPT;
        if (memcmp(p, "MTrk", 4) == 0)
            tracks++;
        else if (hops == 0)
            return SN_CORRUPT;
        at += 8ull + sv_ld_be32(p + 4);
        if (at > s->limit)
            return SN_CORRUPT;
    }
    hit->size = at;
    return SN_OK;
}

}  // namespace

extern const sn_format sn_fmt_midi = {
    "mid", kTypes, {'M', 'T', 'h', 'd'}, 4, 0, 'M', kMax, midi_header, midi_end,
};
