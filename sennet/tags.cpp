/* Tags that audio writers append after the last frame or block. */
#include "sennet_i.h"

uint64_t sn_trailing_tags(sn_src *s, uint64_t at)
{
    /* APEv2 (with or without its header), Lyrics3 v2, then ID3v1 */
    const uint8_t *p;
    for (int round = 0; round < 3; round++) {
        p = sn_get(s, at, 32);
        if (p && memcmp(p, "APETAGEX", 8) == 0) {
            uint64_t size = sv_ld_le32(p + 12);
            uint32_t flags = sv_ld_le32(p + 20);
            uint64_t len = size + ((flags & 0x80000000u) ? 32 : 0);
            if (len >= 32 && len <= s->limit - at) {
                at += len;
                continue;
            }
        }
        if (p && memcmp(p, "LYRICSBEGIN", 11) == 0) {
            uint64_t e;
            if (sn_find(s, at, at + 6000, "LYRICS200", 9, &e)) {
                at = e + 9;
                continue;
            }
        }
        break;
    }
    p = sn_get(s, at, 3);
    if (p && memcmp(p, "TAG", 3) == 0 && sn_avail(s, at, 128))
        at += 128;
    return at;
}
