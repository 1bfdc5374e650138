/*
 * CRC32C (Castagnoli), as jbd2 and ext4 use it: the register is updated
 * without pre- or post-inversion (callers seed and invert it as their
 * format says).  The processor's CRC32 instruction does the work where it
 * has one (SSE4.2, asked at run time); elsewhere eight tables take eight
 * bytes a step ("slicing by 8").
 */
#include "ext_journal.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <nmmintrin.h>
#define EXT_CRC32C_X86 1
#endif

namespace {

constexpr uint32_t kPoly = 0x82F63B78u;  /* reflected */

struct Tables {
    uint32_t t[8][256];
    Tables()
    {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++)
                c = (c >> 1) ^ (kPoly & (0u - (c & 1)));
            t[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; i++)
            for (int s = 1; s < 8; s++)
                t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    }
};

const Tables &tables()
{
    static const Tables t;  // built once, thread-safe
    return t;
}

uint32_t crc32c_sliced(uint32_t crc, const uint8_t *p, size_t len)
{
    const Tables &T = tables();
    while (len >= 8) {
        // The register takes the bytes in order: little-endian words.
        uint32_t lo = (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
        uint32_t hi = (uint32_t)p[4] | (uint32_t)p[5] << 8 | (uint32_t)p[6] << 16 | (uint32_t)p[7] << 24;
        lo ^= crc;
        crc = T.t[7][lo & 0xFF] ^ T.t[6][(lo >> 8) & 0xFF] ^ T.t[5][(lo >> 16) & 0xFF] ^ T.t[4][lo >> 24] ^
              T.t[3][hi & 0xFF] ^ T.t[2][(hi >> 8) & 0xFF] ^ T.t[1][(hi >> 16) & 0xFF] ^ T.t[0][hi >> 24];
        p += 8;
        len -= 8;
    }
    while (len--)
        crc = T.t[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return crc;
}

#if EXT_CRC32C_X86
__attribute__((target("sse4.2"))) uint32_t crc32c_sse42(uint32_t crc, const uint8_t *p, size_t len)
{
    while (len && ((uintptr_t)p & 7)) {
        crc = _mm_crc32_u8(crc, *p++);
        len--;
    }
#if defined(__x86_64__)
    uint64_t c = crc;
    while (len >= 8) {
        uint64_t v;
        memcpy(&v, p, 8);
        c = _mm_crc32_u64(c, v);
        p += 8;
        len -= 8;
    }
    crc = (uint32_t)c;
#endif
    while (len >= 4) {
        uint32_t v;
        memcpy(&v, p, 4);
        crc = _mm_crc32_u32(crc, v);
        p += 4;
        len -= 4;
    }
    while (len--)
        crc = _mm_crc32_u8(crc, *p++);
    return crc;
}

bool have_sse42()
{
    static const bool yes = __builtin_cpu_supports("sse4.2");
    return yes;
}
#endif

}  // namespace

uint32_t ext_crc32c(uint32_t crc, const uint8_t *p, size_t len)
{
#if EXT_CRC32C_X86
    if (have_sse42())
        return crc32c_sse42(crc, p, len);
#endif
    return crc32c_sliced(crc, p, len);
}

uint32_t ext_crc32c_portable(uint32_t crc, const uint8_t *p, size_t len)
{
    return crc32c_sliced(crc, p, len);
}
