/*
 * Bounds-checked access to on-disk bytes.
 *
 * Every library reads disk structures through a view {pointer, length};
 * each getter returns false instead of reading past the end.  Checks are
 * written in subtraction form so that a huge offset cannot wrap.
 */
#ifndef SV_BYTES_H
#define SV_BYTES_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

typedef struct sv_view {
    const uint8_t *data;
    size_t len;
} sv_view;

static inline sv_view sv_view_make(const void *data, size_t len)
{
    sv_view v;
    v.data = (const uint8_t *)data;
    v.len = data ? len : 0;
    return v;
}

/* True when [off, off + need) lies inside the view. */
static inline bool sv_has(sv_view v, size_t off, size_t need)
{
    return off <= v.len && v.len - off >= need;
}

/* Sub-view of [off, off + len), or an empty view when out of range. */
static inline sv_view sv_sub(sv_view v, size_t off, size_t len)
{
    if (!sv_has(v, off, len))
        return sv_view_make(NULL, 0);
    return sv_view_make(v.data + off, len);
}

static inline bool sv_u8(sv_view v, size_t off, uint8_t *out)
{
    if (!sv_has(v, off, 1))
        return false;
    *out = v.data[off];
    return true;
}

static inline bool sv_le16(sv_view v, size_t off, uint16_t *out)
{
    if (!sv_has(v, off, 2))
        return false;
    *out = (uint16_t)(v.data[off] | (v.data[off + 1] << 8));
    return true;
}

static inline bool sv_le32(sv_view v, size_t off, uint32_t *out)
{
    if (!sv_has(v, off, 4))
        return false;
    const uint8_t *p = v.data + off;
    *out = (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
    return true;
}

static inline bool sv_le64(sv_view v, size_t off, uint64_t *out)
{
    uint32_t lo, hi;
    if (!sv_le32(v, off, &lo) || !sv_le32(v, off + 4, &hi))
        return false;
    *out = ((uint64_t)hi << 32) | lo;
    return true;
}

static inline bool sv_be16(sv_view v, size_t off, uint16_t *out)
{
    if (!sv_has(v, off, 2))
        return false;
    *out = (uint16_t)((v.data[off] << 8) | v.data[off + 1]);
    return true;
}

static inline bool sv_be32(sv_view v, size_t off, uint32_t *out)
{
    if (!sv_has(v, off, 4))
        return false;
    const uint8_t *p = v.data + off;
    *out = ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | (uint32_t)p[3];
    return true;
}

static inline bool sv_be64(sv_view v, size_t off, uint64_t *out)
{
    uint32_t hi, lo;
    if (!sv_be32(v, off, &hi) || !sv_be32(v, off + 4, &lo))
        return false;
    *out = ((uint64_t)hi << 32) | lo;
    return true;
}

/* Unchecked little/big-endian loads for buffers whose size is already validated. */
static inline uint16_t sv_ld_le16(const uint8_t *p) { return (uint16_t)(p[0] | (p[1] << 8)); }
static inline uint32_t sv_ld_le32(const uint8_t *p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
static inline uint64_t sv_ld_le64(const uint8_t *p)
{
    return (uint64_t)sv_ld_le32(p) | ((uint64_t)sv_ld_le32(p + 4) << 32);
}
static inline uint16_t sv_ld_be16(const uint8_t *p) { return (uint16_t)((p[0] << 8) | p[1]); }
static inline uint32_t sv_ld_be32(const uint8_t *p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}
static inline uint64_t sv_ld_be64(const uint8_t *p)
{
    return ((uint64_t)sv_ld_be32(p) << 32) | sv_ld_be32(p + 4);
}

/* Copy a possibly unterminated text into a fixed field, always terminated. */
static inline void sv_copy_field(char *dst, size_t dst_len, const char *src, size_t src_len)
{
    if (dst_len == 0)
        return;
    size_t n = 0;
    while (n < src_len && n + 1 < dst_len && src[n] != '\0')
        n++;
    memcpy(dst, src, n);
    memset(dst + n, 0, dst_len - n);
}

/* As sv_copy_field, but never cuts a UTF-8 sequence in half. */
static inline void sv_copy_utf8_field(char *dst, size_t dst_len, const char *src, size_t src_len)
{
    sv_copy_field(dst, dst_len, src, src_len);
    size_t n = strlen(dst);
    if (n == 0 || n + 1 < dst_len)
        return; /* nothing was cut */
    size_t start = n;
    while (start > 0 && ((uint8_t)dst[start - 1] & 0xC0) == 0x80)
        start--;
    if (start == 0)
        return;
    uint8_t lead = (uint8_t)dst[start - 1];
    size_t want = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (n - (start - 1) < want)
        memset(dst + start - 1, 0, dst_len - (start - 1));
}

#endif /* SV_BYTES_H */
