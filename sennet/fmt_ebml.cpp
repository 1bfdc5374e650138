/*
 * Matroska and WebM: the EBML header (DocType), then the Segment.  A
 * segment of known size ends the file; one of unknown size (live
 * recordings) is walked through its level-1 elements and the children of
 * clusters of unknown size until an element that cannot belong to it.
 */
#include "sennet_i.h"

namespace {

const char *const kTypes[] = {"mkv", "webm", nullptr};
constexpr uint64_t kMax = 64 * SN_GiB;
constexpr uint64_t kUnknown = ~0ull;

/* Element ID (with its length marker) at *at. */
bool read_id(sn_src *s, uint64_t *at, uint32_t *id)
{
    uint8_t b;
    if (!sn_rd_u8(s, *at, &b) || b == 0)
        return false;
    unsigned len = b >= 0x80 ? 1 : b >= 0x40 ? 2 : b >= 0x20 ? 3 : b >= 0x10 ? 4 : 0;
    if (len == 0)
        return false;
    const uint8_t *p = sn_get(s, *at, len);
    if (!p)
        return false;
    uint32_t v = 0;
    for (unsigned i = 0; i < len; i++)
        v = (v << 8) | p[i];
    *id = v;
    *at += len;
    return true;
}

/* Data size (a variable-length integer) at *at; all ones means unknown. */
bool read_size(sn_src *s, uint64_t *at, uint64_t *size)
{
    uint8_t b;
    if (!sn_rd_u8(s, *at, &b) || b == 0)
        return false;
    unsigned len = 1;
    while (!(b & (0x80 >> (len - 1))))
        len++;
    const uint8_t *p = sn_get(s, *at, len);
    if (!p)
        return false;
    uint64_t v = p[0] & (0xFF >> len);
    bool ones = v == (0xFFu >> len);
    for (unsigned i = 1; i < len; i++) {
        v = (v << 8) | p[i];
        ones = ones && p[i] == 0xFF;
    }
    *size = ones ? kUnknown : v;
    *at += len;
    return true;
}

bool is_level1(uint32_t id)
{
    switch (id) {
    case 0x114D9B74: case 0x1549A966: case 0x1654AE6B: case 0x1F43B675: case 0x1C53BB6B:
    case 0x1941A469: case 0x1043A770: case 0x1254C367: case 0xEC: case 0xBF:
        return true;
    default:
        return false;
    }
}

bool is_cluster_child(uint32_t id)
{
    switch (id) {
    case 0xE7: case 0xA3: case 0xA0: case 0xA7: case 0xAB: case 0xEC: case 0xBF: case 0x5854:
    case 0xAF:
        return true;
    default:
        return false;
    }
}

bool ebml_header(sv_view v, sn_hit *hit)
{
    /* The header's size is small; its body must name the doc type. */
    if (!sv_has(v, 4, 1))
        return false;
    uint8_t b = v.data[4];
    if (b == 0)
        return false;
    const uint8_t *hit_mkv = (const uint8_t *)memmem(v.data, v.len < 128 ? v.len : 128, "matroska", 8);
    const uint8_t *hit_webm = (const uint8_t *)memmem(v.data, v.len < 128 ? v.len : 128, "webm", 4);
    if (hit_webm)
        hit->type = "webm";
    else if (hit_mkv)
        hit->type = "mkv";
    else
        return false;
    return true;
}

sn_status ebml_end(sn_src *s, sn_hit *hit)
{
    uint64_t at = 0;
    uint32_t id;
    uint64_t size;
    if (!read_id(s, &at, &id) || !read_size(s, &at, &size))
        return sn_fail(s);
    if (id != 0x1A45DFA3 || size == kUnknown || size > 4096)
        return SN_CORRUPT;
    at += size;
    if (!read_id(s, &at, &id) || !read_size(s, &at, &size))
        return sn_fail(s);
    if (id != 0x18538067)
        return SN_CORRUPT;
    uint64_t seg = at;
    if (size != kUnknown) {
        if (size > s->limit - seg)
            return SN_CORRUPT;
        /* the first child must be a level-1 element */
        uint64_t c = seg;
        uint32_t cid;
        if (!read_id(s, &c, &cid))
            return sn_fail(s);
        if (!is_level1(cid))
            return SN_CORRUPT;
        hit->size = seg + size;
        return SN_OK;
    }
    bool cluster = false;
    for (unsigned hops = 0; hops < 10000000 && at < s->limit; hops++) {
        uint64_t el = at;
        if (!read_id(s, &at, &id) || !read_size(s, &at, &size)) {
            at = el;
            break;
        }
        if (!is_level1(id)) {
            at = el;
            break;
        }
        if (id == 0x1F43B675)
            cluster = true;
        if (size != kUnknown) {
            if (size > s->limit - at)
                return SN_CORRUPT;
            at += size;
            continue;
        }
        if (id != 0x1F43B675)
            return SN_CORRUPT;
        /* cluster of unknown size: its children up to the next non-child */
        for (; hops < 10000000 && at < s->limit; hops++) {
            uint64_t ch = at;
            uint32_t cid;
            uint64_t csz;
            if (!read_id(s, &at, &cid) || !read_size(s, &at, &csz) || !is_cluster_child(cid) ||
                csz == kUnknown) {
                at = ch;
                break;
            }
            if (csz > s->limit - at)
                return SN_CORRUPT;
            at += csz;
        }
    }
    if (!cluster)
        return sn_fail(s);
    hit->size = at;
    return SN_OK;
}

}  // namespace

extern const sn_format sn_fmt_ebml = {
    "mkv", kTypes, {0x1A, 0x45, 0xDF, 0xA3}, 4, 0, 0x1A, kMax, ebml_header, ebml_end,
};
