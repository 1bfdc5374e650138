/*
 * GIF: screen descriptor, colour tables, then extension and image blocks
 * with their sub-block chains up to the trailer byte 0x3B.
 */
#include "sennet_i.h"

namespace {

const char *const kTypes[] = {"gif", nullptr};
constexpr uint64_t kMax = 64 * SN_MiB;

bool gif_header(sv_view v, sn_hit *hit)
{
    if (!sn_magic_at(v, 3, "87a", 3) && !sn_magic_at(v, 3, "89a", 3))
        return false;
    uint16_t w, h;
    return sv_le16(v, 6, &w) && sv_le16(v, 8, &h) && w && h;
}

/* Skips a chain of data sub-blocks starting at *at. */
sn_status skip_sub_blocks(sn_src *s, uint64_t *at)
{
    for (;;) {
        uint8_t n;
        if (!sn_rd_u8(s, *at, &n))
            return sn_fail(s);
        *at += 1 + (uint64_t)n;
        if (n == 0)
            return SN_OK;
    }
}

sn_status gif_end(sn_src *s, sn_hit *hit)
{
    uint8_t flags;
    if (!sn_rd_u8(s, 10, &flags))
        return sn_fail(s);
    uint64_t at = 13;
    if (flags & 0x80)
        at += 3ull << ((flags & 7) + 1);
    bool image = false;
    for (;;) {
        uint8_t b;
        if (!sn_rd_u8(s, at, &b))
            return sn_fail(s);
        if (b == 0x3B) {
            if (!image)
                return SN_CORRUPT;
            hit->size = at + 1;
            return SN_OK;
        }
        if (b == 0x21) {
            uint8_t label;
            if (!sn_rd_u8(s, at + 1, &label))
                return sn_fail(s);
            if (!(label == 0xF9 || label == 0xFE || label == 0xFF || label == 0x01))
                return SN_CORRUPT;
            at += 2;
        } else if (b == 0x2C) {
            const uint8_t *d = sn_get(s, at, 10);
            if (!d)
                return sn_fail(s);
            uint8_t lf = d[9];
            at += 10;
            if (lf & 0x80)
                at += 3ull << ((lf & 7) + 1);
            uint8_t lzw;
            if (!sn_rd_u8(s, at, &lzw))
                return sn_fail(s);
            if (lzw < 2 || lzw > 11)
                return SN_CORRUPT;
            at += 1;
            image = true;
        } else {
            return SN_CORRUPT;
        }
        sn_status st = skip_sub_blocks(s, &at);
        if (st != SN_OK)
            return st;
    }
}

}  // namespace

extern const sn_format sn_fmt_gif = {
    "gif", kTypes, {'G', 'I', 'F', '8'}, 4, 0, 'G', kMax, gif_header, gif_end,
};
