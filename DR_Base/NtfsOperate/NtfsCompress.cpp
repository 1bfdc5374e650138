/*
 * NTFS compression (LZNT1).  A compressed attribute is stored in
 * compression units of 2^n clusters (16 as a rule): a unit whose clusters
 * are all allocated is stored as it is, a unit without clusters is zeros,
 * and a unit with fewer clusters than its size holds LZNT1 chunks that
 * expand to 4096 bytes each.
 */
#include "ntfs_i.h"

#include <string.h>

#define LZNT1_CHUNK 4096u

/* One compressed chunk into out (at most LZNT1_CHUNK bytes); false when damaged. */
static bool lznt1_chunk(const uint8_t *in, size_t len, uint8_t *out, size_t *produced)
{
    size_t ip = 0, op = 0;
    while (ip < len && op < LZNT1_CHUNK) {
        uint8_t flags = in[ip++];
        for (int bit = 0; bit < 8 && ip < len && op < LZNT1_CHUNK; bit++, flags >>= 1) {
            if (!(flags & 1)) {
                out[op++] = in[ip++];
                continue;
            }
            if (len - ip < 2)
                return false;
            uint16_t token = sv_ld_le16(in + ip);
            ip += 2;
            /* The split between displacement and length moves with the
             * position inside the chunk. */
            uint32_t lshift = 12, lmask = 0xFFF;
            for (size_t i = op - 1; i >= 0x10 && op > 0; i >>= 1) {
                lshift--;
                lmask >>= 1;
            }
            size_t disp = (size_t)(token >> lshift) + 1;
            size_t count = (size_t)(token & lmask) + 3;
            if (disp > op || count > LZNT1_CHUNK - op)
                return false;
            for (size_t i = 0; i < count; i++, op++)
                out[op] = out[op - disp];  /* copies may overlap */
        }
    }
    *produced = op;
    return true;
}

bool ntfs_lznt1_decompress(const uint8_t *in, size_t in_len, uint8_t *out, size_t out_len)
{
    size_t ip = 0, op = 0;
    while (op < out_len) {
        if (in_len - ip < 2)
            break;
        uint16_t h = sv_ld_le16(in + ip);
        if (h == 0)
            break;  /* end of the unit's data */
        size_t size = (size_t)(h & 0x0FFF) + 1;
        ip += 2;
        if (size > in_len - ip)
            return false;
        size_t room = out_len - op < LZNT1_CHUNK ? out_len - op : LZNT1_CHUNK;
        if (h & 0x8000) {
            uint8_t chunk[LZNT1_CHUNK];
            size_t produced = 0;
            if (!lznt1_chunk(in + ip, size, chunk, &produced))
                return false;
            if (produced > room)
                produced = room;
            memcpy(out + op, chunk, produced);
            /* A chunk that expands to less than 4096 bytes ends in zeros. */
            memset(out + op + produced, 0, room - produced);
        } else {
            size_t n = size < room ? size : room;
            memcpy(out + op, in + ip, n);
            memset(out + op + n, 0, room - n);
        }
        ip += size;
        op += room;
    }
    if (op < out_len)
        memset(out + op, 0, out_len - op);
    return true;
}
