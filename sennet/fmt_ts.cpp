/*
 * MPEG transport streams (ts): 188-byte packets, each starting with the
 * sync byte 0x47.  A stream starts with a table packet (PAT or SDT) that
 * begins a section, and ends with the last packet in step.
 */
#include "sennet_i.h"

namespace {

const char *const kTypes[] = {"ts", nullptr};
constexpr uint64_t kMax = 64 * SN_GiB;
constexpr unsigned kPacket = 188;
constexpr unsigned kMinPackets = 8;

bool ts_header(sv_view v, sn_hit *hit)
{
    if (!sv_has(v, 0, kPacket * kMinPackets))
        return false;
    const uint8_t *p = v.data;
    unsigned pid = ((p[1] & 0x1Fu) << 8) | p[2];
    if (!(p[1] & 0x40) || (p[1] & 0x80) || !(pid == 0x0000 || pid == 0x0011))
        return false;
    if ((p[3] & 0x30) == 0 || (p[3] & 0xC0)) /* no payload, or scrambled tables */
        return false;
    for (unsigned i = 1; i < kMinPackets; i++)
        if (p[i * kPacket] != 0x47)
            return false;
    return true;
}

sn_status ts_end(sn_src *s, sn_hit *hit)
{
    uint64_t at = 0;
    for (;;) {
        size_t got;
        const uint8_t *p = sn_get_some(s, at, 64 * kPacket, &got);
        if (!p)
            break;
        size_t n = got / kPacket, k = 0;
        while (k < n && p[k * kPacket] == 0x47 && !(p[k * kPacket + 1] & 0x80))
            k++;
        at += (uint64_t)k * kPacket;
        if (k < n || n == 0)
            break;
    }
    if (s->stopped)
        return SN_STOP;
    if (at < (uint64_t)kPacket * kMinPackets)
        return SN_CORRUPT;
    hit->size = at;
    return SN_OK;
}

}  // namespace

extern const sn_format sn_fmt_ts = {
    "ts", kTypes, {0x47}, 1, 0, 0x47, kMax, ts_header, ts_end,
};
