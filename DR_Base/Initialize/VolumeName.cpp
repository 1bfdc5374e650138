/*
 * Volume names as UTF-8: NTFS and exFAT store UTF-16LE, HFS stores Mac OS
 * Roman.  The result always fits its field and is never cut inside a
 * character.
 */
#include "merrow_i.h"

#include <cstring>

namespace {

/* Mac OS Roman 0x80..0xFF. */
const uint16_t kMacRoman[128] = {
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1,
    0x00E0, 0x00E2, 0x00E4, 0x00E3, 0x00E5, 0x00E7, 0x00E9, 0x00E8,
    0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3,
    0x00F2, 0x00F4, 0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC,
    0x2020, 0x00B0, 0x00A2, 0x00A3, 0x00A7, 0x2022, 0x00B6, 0x00DF,
    0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8,
    0x221E, 0x00B1, 0x2264, 0x2265, 0x00A5, 0x00B5, 0x2202, 0x2211,
    0x220F, 0x03C0, 0x222B, 0x00AA, 0x00BA, 0x03A9, 0x00E6, 0x00F8,
    0x00BF, 0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB,
    0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5, 0x0152, 0x0153,
    0x2013, 0x2014, 0x201C, 0x201D, 0x2018, 0x2019, 0x00F7, 0x25CA,
    0x00FF, 0x0178, 0x2044, 0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02,
    0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1,
    0x00CB, 0x00C8, 0x00CD, 0x00CE, 0x00CF, 0x00CC, 0x00D3, 0x00D4,
    0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9, 0x0131, 0x02C6, 0x02DC,
    0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7,
};

/* Appends one code point; false when the text buffer is full. */
bool put_utf8(uint32_t cp, char *buf, size_t cap, size_t *n)
{
    char enc[4];
    size_t len;
    if (cp < 0x80) {
        enc[0] = (char)cp;
        len = 1;
    } else if (cp < 0x800) {
        enc[0] = (char)(0xC0 | (cp >> 6));
        enc[1] = (char)(0x80 | (cp & 0x3F));
        len = 2;
    } else if (cp < 0x10000) {
        enc[0] = (char)(0xE0 | (cp >> 12));
        enc[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
        enc[2] = (char)(0x80 | (cp & 0x3F));
        len = 3;
    } else {
        enc[0] = (char)(0xF0 | (cp >> 18));
        enc[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
        enc[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
        enc[3] = (char)(0x80 | (cp & 0x3F));
        len = 4;
    }
    if (cap - *n < len + 1)
        return false;
    memcpy(buf + *n, enc, len);
    *n += len;
    buf[*n] = '\0';
    return true;
}

}  // namespace

void sv_utf16le_to_utf8(const uint8_t *src, size_t nchars, char *out, size_t out_len)
{
    if (out_len == 0)
        return;
    memset(out, 0, out_len);
    size_t n = 0;
    for (size_t i = 0; i < nchars; i++) {
        uint32_t cp = sv_ld_le16(src + 2 * i);
        if (cp == 0)
            break;
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < nchars) {
            uint32_t lo = sv_ld_le16(src + 2 * (i + 1));
            if (lo >= 0xDC00 && lo < 0xE000) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                i++;
            } else {
                cp = 0xFFFD;
            }
        } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = 0xFFFD;  /* an unpaired half */
        }
        if (!put_utf8(cp, out, out_len, &n))
            break;
    }
}

void sv_macroman_to_utf8(const uint8_t *src, size_t len, char *out, size_t out_len)
{
    if (out_len == 0)
        return;
    memset(out, 0, out_len);
    size_t n = 0;
    for (size_t i = 0; i < len; i++) {
        uint32_t cp = src[i] < 0x80 ? src[i] : kMacRoman[src[i] - 0x80];
        if (cp == 0)
            break;
        if (!put_utf8(cp, out, out_len, &n))
            break;
    }
}
