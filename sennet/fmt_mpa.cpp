/*
 * MPEG audio (mp3, mp2, mp1): an optional ID3v2 tag, then frames walked by
 * their lengths while version, layer and sample rate stay the same, then
 * the optional APEv2, Lyrics3 and ID3v1 tags.  Files without ID3v2 tag
 * must start with several consecutive good frames.  An ID3v2 tag in front
 * of a FLAC stream is passed to the FLAC walk.
 */
#include "sennet_i.h"

namespace {

const char *const kTypes[] = {"mp3", "mp2", "mp1", "flac", nullptr};
constexpr uint64_t kMax = 1 * SN_GiB;

struct FrameInfo {
    unsigned len;
    unsigned key; /* version, layer and sample rate bits */
    unsigned layer; /* 1, 2, 3 */
};

bool frame_info(const uint8_t *p, FrameInfo *fi)
{
    static const uint16_t kRate[4][14] = {
        {32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},   /* v1 L1 */
        {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},      /* v1 L2 */
        {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},       /* v1 L3 */
        {32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256}};     /* v2 L1 */
    static const uint16_t kRateV2[14] = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    static const uint32_t kFreq[3][3] = {{44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0)
        return false;
    unsigned ver = (p[1] >> 3) & 3, layer_bits = (p[1] >> 1) & 3;
    unsigned br = p[2] >> 4, sr = (p[2] >> 2) & 3, pad = (p[2] >> 1) & 1;
    if (ver == 1 || layer_bits == 0 || br == 0 || br == 15 || sr == 3 || (p[3] & 3) == 2)
        return false;
    unsigned layer = 4 - layer_bits;
    unsigned vi = ver == 3 ? 0 : ver == 2 ? 1 : 2;
    uint32_t kbps;
    if (vi == 0)
        kbps = kRate[layer - 1][br - 1];
    else
        kbps = layer == 1 ? kRate[3][br - 1] : kRateV2[br - 1];
    uint32_t freq = kFreq[vi][sr];
    unsigned len;
    if (layer == 1)
        len = (12 * kbps * 1000 / freq + pad) * 4;
    else if (layer == 3 && vi != 0)
        len = 72 * kbps * 1000 / freq + pad;
    else
        len = 144 * kbps * 1000 / freq + pad;
    if (len < 21)
        return false;
    fi->len = len;
    fi->key = (p[1] & 0x1E) << 8 | ((p[2] >> 2) & 3);
    fi->layer = layer;
    return true;
}

/* Length of the ID3v2 tag at v, 0 when there is none. */
uint64_t id3_len(const uint8_t *p)
{
    if (memcmp(p, "ID3", 3) != 0 || p[3] < 2 || p[3] > 4 || p[4] == 0xFF)
        return 0;
    if ((p[6] | p[7] | p[8] | p[9]) & 0x80)
        return 0;
    uint64_t size = ((uint64_t)p[6] << 21) | ((uint64_t)p[7] << 14) | ((uint64_t)p[8] << 7) | p[9];
    return 10 + size + ((p[5] & 0x10) ? 10 : 0);
}

bool id3_header(sv_view v, sn_hit *hit)
{
    if (!sv_has(v, 0, 10))
        return false;
    uint8_t flags = v.data[5];
    if (flags & 0x0F)
        return false;
    return id3_len(v.data) != 0;
}

bool sync_header(sv_view v, sn_hit *hit)
{
    /* Four frames in a row, all alike. */
    FrameInfo first, fi;
    if (!sv_has(v, 0, 4) || !frame_info(v.data, &first))
        return false;
    size_t at = first.len;
    for (int i = 0; i < 3; i++) {
        if (!sv_has(v, at, 4) || !frame_info(v.data + at, &fi) || fi.key != first.key)
            return false;
        at += fi.len;
    }
    return true;
}

sn_status frames_end(sn_src *s, uint64_t at, unsigned min_frames, sn_hit *hit)
{
    FrameInfo first{}, fi{};
    unsigned frames = 0;
    const uint8_t *p;
    while ((p = sn_get(s, at, 4)) && frame_info(p, &fi)) {
        if (frames == 0)
            first = fi;
        else if (fi.key != first.key)
            break;
        if (fi.len > s->limit - at)
            break;
        at += fi.len;
        frames++;
    }
    if (s->stopped)
        return SN_STOP;
    if (frames < min_frames)
        return SN_CORRUPT;
    at = sn_trailing_tags(s, at);
    hit->size = at;
    hit->type = first.layer == 3 ? "mp3" : first.layer == 2 ? "mp2" : "mp1";
    return SN_OK;
}

sn_status id3_end(sn_src *s, sn_hit *hit)
{
    const uint8_t *p = sn_get(s, 0, 10);
    if (!p)
        return sn_fail(s);
    uint64_t at = id3_len(p);
    if (at > s->limit)
        return SN_CORRUPT;
    /* Some taggers leave padding beyond the declared size. */
    size_t got;
    const uint8_t *z = sn_get_some(s, at, 64 * 1024, &got);
    if (!z)
        return sn_fail(s);
    size_t k = 0;
    while (k < got && z[k] == 0)
        k++;
    if (k == got)
        return SN_CORRUPT;
    at += k;
    p = sn_get(s, at, 4);
    if (p && memcmp(p, "fLaC", 4) == 0) {
        uint64_t end;
        sn_status st = sn_flac_walk(s, at, &end);
        if (st == SN_OK) {
            hit->size = end;
            hit->type = "flac";
        }
        return st;
    }
    return frames_end(s, at, 2, hit);
}

sn_status sync_end(sn_src *s, sn_hit *hit)
{
    return frames_end(s, 0, 8, hit);
}

}  // namespace

extern const sn_format sn_fmt_mp3_id3 = {
    "mp3", kTypes, {'I', 'D', '3'}, 3, 0, 'I', kMax, id3_header, id3_end,
};
extern const sn_format sn_fmt_mpa_sync = {
    "mp3", kTypes, {0xFF}, 1, 0, 0xFF, kMax, sync_header, sync_end,
};
