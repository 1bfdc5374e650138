/*
 * Raw AAC in ADTS frames (aac) and AC-3 / E-AC-3 (ac3): frames walked by
 * the lengths in their headers while the stream parameters stay the same.
 * Neither has a file header, so a stream must start with eight good frames
 * in a row.
 */
#include "sennet_i.h"

namespace {

const char *const kAacTypes[] = {"aac", nullptr};
const char *const kAc3Types[] = {"ac3", nullptr};
constexpr uint64_t kMax = 1 * SN_GiB;
constexpr unsigned kMinFrames = 8;

/* ---- ADTS ---- */

bool adts_frame(const uint8_t *p, unsigned *len, unsigned *key)
{
    if (p[0] != 0xFF || (p[1] & 0xF6) != 0xF0)
        return false;
    unsigned sf = (p[2] >> 2) & 0x0F;
    unsigned ch = ((p[2] & 1) << 2) | (p[3] >> 6);
    if (sf > 12 || ch == 0)
        return false;
    unsigned l = ((p[3] & 3u) << 11) | ((unsigned)p[4] << 3) | (p[5] >> 5);
    unsigned hdr = (p[1] & 1) ? 7 : 9;
    if (l <= hdr)
        return false;
    *len = l;
    *key = (p[1] & 0x09) << 16 | (p[2] & 0xFD) << 8 | ch;
    return true;
}

/* ---- AC-3 ---- */

const uint16_t kAc3Words[3][38] = {
    {64, 64, 80, 80, 96, 96, 112, 112, 128, 128, 160, 160, 192, 192, 224, 224, 256, 256, 320,
     320, 384, 384, 448, 448, 512, 512, 640, 640, 768, 768, 896, 896, 1024, 1024, 1152, 1152,
     1280, 1280},
    {69, 70, 87, 88, 104, 105, 121, 122, 139, 140, 174, 175, 208, 209, 243, 244, 278, 279, 348,
     349, 417, 418, 487, 488, 557, 558, 696, 697, 835, 836, 975, 976, 1114, 1115, 1253, 1254,
     1393, 1394},
    {96, 96, 120, 120, 144, 144, 168, 168, 192, 192, 240, 240, 288, 288, 336, 336, 384, 384, 480,
     480, 576, 576, 672, 672, 768, 768, 960, 960, 1152, 1152, 1344, 1344, 1536, 1536, 1728, 1728,
     1920, 1920}};

bool ac3_frame(const uint8_t *p, unsigned *len, unsigned *key)
{
    if (p[0] != 0x0B || p[1] != 0x77)
        return false;
    unsigned bsid = p[5] >> 3;
    if (bsid <= 10) {
        unsigned fscod = p[4] >> 6, frmsizecod = p[4] & 0x3F;
        if (fscod == 3 || frmsizecod > 37)
            return false;
        *len = 2u * kAc3Words[fscod][frmsizecod];
        *key = bsid << 8 | fscod;
        return true;
    }
    if (bsid >= 11 && bsid <= 16) { /* E-AC-3 */
        unsigned words = (((unsigned)p[2] & 7) << 8 | p[3]) + 1;
        if (words < 32)
            return false;
        *len = 2 * words;
        *key = bsid << 8 | (p[4] >> 6) | 0x10000;
        return true;
    }
    return false;
}

using FrameFn = bool (*)(const uint8_t *, unsigned *, unsigned *);

bool frames_ok(sv_view v, FrameFn fn)
{
    size_t at = 0;
    unsigned key0 = 0;
    for (unsigned i = 0; i < kMinFrames; i++) {
        unsigned len, key;
        if (!sv_has(v, at, 8) || !fn(v.data + at, &len, &key))
            return false;
        if (i == 0)
            key0 = key;
        else if (key != key0)
            return false;
        at += len;
    }
    return true;
}

sn_status frames_end(sn_src *s, sn_hit *hit, FrameFn fn)
{
    uint64_t at = 0;
    unsigned frames = 0, key0 = 0;
    const uint8_t *p;
    unsigned len, key;
    while ((p = sn_get(s, at, 8)) && fn(p, &len, &key)) {
        if (frames == 0)
            key0 = key;
        else if (key != key0)
            break;
        if (len > s->limit - at)
            break;
        at += len;
        frames++;
    }
    if (s->stopped)
        return SN_STOP;
    if (frames < kMinFrames)
        return SN_CORRUPT;
    hit->size = at;
    return SN_OK;
}

bool adts_header(sv_view v, sn_hit *hit) { return frames_ok(v, adts_frame); }
sn_status adts_end(sn_src *s, sn_hit *hit) { return frames_end(s, hit, adts_frame); }
bool ac3_header(sv_view v, sn_hit *hit) { return frames_ok(v, ac3_frame); }
sn_status ac3_end(sn_src *s, sn_hit *hit) { return frames_end(s, hit, ac3_frame); }

}  // namespace

extern const sn_format sn_fmt_adts = {
    "aac", kAacTypes, {0xFF}, 1, 0, 0xFF, kMax, adts_header, adts_end,
};
extern const sn_format sn_fmt_ac3 = {
    "ac3", kAc3Types, {0x0B, 0x77}, 2, 0, 0x0B, kMax, ac3_header, ac3_end,
};
