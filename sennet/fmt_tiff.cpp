/*
 * TIFF and the camera raw formats built on it (cr2, nef, orf, rw2, dng,
 * arw, pef).  The file's end is the furthest byte any directory points at:
 * the directories themselves, out-of-line tag values, strips, tiles, JPEG
 * previews, and the sub-directories (SubIFDs, EXIF, GPS, interoperability),
 * walked with a visited set and a hop budget.
 */
#include "sennet_i.h"

namespace {

const char *const kTypes[] = {"tif", "cr2", "raw", "orf", "dng", "arw", "pef", nullptr};
constexpr uint64_t kMax = 1 * SN_GiB;
constexpr unsigned kMaxIfds = 64;
constexpr unsigned kMaxEntries = 1000;

struct Walk {
    sn_src *s;
    bool le;
    uint64_t end;
    uint64_t visited[kMaxIfds];
    unsigned nvisited;
    uint64_t queue[kMaxIfds];
    unsigned nqueue;
    bool dng, image;
    bool cut; /* something lies beyond the readable range: truncated */
    char make[16];
};

bool rd16(Walk &w, uint64_t off, uint16_t *v)
{
    return w.le ? sn_rd_le16(w.s, off, v) : sn_rd_be16(w.s, off, v);
}

bool rd32(Walk &w, uint64_t off, uint32_t *v)
{
    return w.le ? sn_rd_le32(w.s, off, v) : sn_rd_be32(w.s, off, v);
}

unsigned type_size(uint16_t t)
{
    switch (t) {
    case 1: case 2: case 6: case 7: return 1;
    case 3: case 8: return 2;
    case 4: case 9: case 11: case 13: return 4;
    case 5: case 10: case 12: case 16: case 17: case 18: return 8;
    default: return 0;
    }
}

void grow(Walk &w, uint64_t end)
{
    if (end > w.end)
        w.end = end;
}

void enqueue(Walk &w, uint64_t off)
{
    if (off < 8)
        return;
    if (off >= w.s->limit) {
        w.cut = true;
        return;
    }
    for (unsigned i = 0; i < w.nvisited; i++)
        if (w.visited[i] == off)
            return;
    for (unsigned i = 0; i < w.nqueue; i++)
        if (w.queue[i] == off)
            return;
    if (w.nqueue < kMaxIfds && w.nvisited + w.nqueue < kMaxIfds)
        w.queue[w.nqueue++] = off;
}

/* Value i of an entry holding offsets or counts (SHORT or LONG). */
bool entry_value(Walk &w, uint16_t type, uint32_t count, uint64_t voff, uint32_t i, uint64_t *v)
{
    if (i >= count)
        return false;
    if (type == 3) {
        uint16_t x;
        if (!rd16(w, voff + 2ull * i, &x))
            return false;
        *v = x;
        return true;
    }
    uint32_t x;
    if (!rd32(w, voff + 4ull * i, &x))
        return false;
    *v = x;
    return true;
}

/* Extent of data given as offset and length arrays (strips, tiles). */
sn_status data_extent(Walk &w, uint16_t ot, uint32_t oc, uint64_t ov, uint16_t lt, uint32_t lc,
                      uint64_t lv)
{
    uint32_t n = oc < lc ? oc : lc;
    if (n > 4u * 1024u * 1024u)
        return SN_CORRUPT;
    for (uint32_t i = 0; i < n; i++) {
        uint64_t o, l;
        if (!entry_value(w, ot, oc, ov, i, &o) || !entry_value(w, lt, lc, lv, i, &l))
            return sn_fail(w.s);
        if (o > w.s->limit || l > w.s->limit - o) {
            w.cut = true;
            return SN_CORRUPT;
        }
        grow(w, o + l);
    }
    return SN_OK;
}

struct Entry {
    uint16_t tag, type;
    uint32_t count;
    uint64_t voff; /* where the value lies (inline or out of line) */
};

sn_status walk_ifd(Walk &w, uint64_t off, uint64_t *next)
{
    *next = 0;
    uint16_t n;
    if (!rd16(w, off, &n)) {
        w.cut = !w.s->stopped;
        return sn_fail(w.s);
    }
    if (n == 0 || n > kMaxEntries)
        return SN_CORRUPT;
    uint64_t dir_end = off + 2 + 12ull * n + 4;
    if (dir_end > w.s->limit) {
        w.cut = true;
        return SN_CORRUPT;
    }
    grow(w, dir_end);
    Entry strip_off{}, strip_len{}, tile_off{}, tile_len{}, jpeg_off{}, jpeg_len{};
    uint16_t prev_tag = 0;
    unsigned unsorted = 0;
    for (uint16_t i = 0; i < n; i++) {
        uint64_t e = off + 2 + 12ull * i;
        Entry en;
        uint32_t val32;
        if (!rd16(w, e, &en.tag) || !rd16(w, e + 2, &en.type) || !rd32(w, e + 4, &en.count) ||
            !rd32(w, e + 8, &val32))
            return sn_fail(w.s);
        unsigned ts = type_size(en.type);
        if (ts == 0)
            return SN_CORRUPT;
        if (en.tag < prev_tag && ++unsorted > 2)
            return SN_CORRUPT;
        prev_tag = en.tag;
        uint64_t bytes = (uint64_t)ts * en.count;
        if (bytes > 4) {
            if (val32 > w.s->limit || bytes > w.s->limit - val32) {
                w.cut = true;
                return SN_CORRUPT;
            }
            en.voff = val32;
            grow(w, val32 + bytes);
        } else {
            en.voff = e + 8;
        }
        switch (en.tag) {
        case 273: strip_off = en; break;
        case 279: strip_len = en; break;
        case 324: tile_off = en; break;
        case 325: tile_len = en; break;
        case 513: jpeg_off = en; break;
        case 514: jpeg_len = en; break;
        case 271:
            if (en.type == 2 && bytes > 1 && w.make[0] == 0) {
                size_t k = bytes < sizeof(w.make) - 1 ? (size_t)bytes : sizeof(w.make) - 1;
                const uint8_t *p = sn_get(w.s, en.voff, k);
                if (p)
                    memcpy(w.make, p, k);
            }
            break;
        case 50706: w.dng = true; break;
        case 330: case 34665: case 34853: case 40965:
            if (en.type == 4 || en.type == 13 || en.type == 3) {
                uint32_t k = en.count < 16 ? en.count : 16;
                for (uint32_t j = 0; j < k; j++) {
                    uint64_t sub;
                    if (entry_value(w, en.type == 3 ? 3 : 4, en.count, en.voff, j, &sub))
                        enqueue(w, sub);
                }
            }
            break;
        default: break;
        }
    }
    sn_status st;
    if (strip_off.count) {
        if (!strip_len.count)
            return SN_CORRUPT;
        st = data_extent(w, strip_off.type, strip_off.count, strip_off.voff, strip_len.type,
                         strip_len.count, strip_len.voff);
        if (st != SN_OK)
            return st;
        w.image = true;
    }
    if (tile_off.count) {
        if (!tile_len.count)
            return SN_CORRUPT;
        st = data_extent(w, tile_off.type, tile_off.count, tile_off.voff, tile_len.type,
                         tile_len.count, tile_len.voff);
        if (st != SN_OK)
            return st;
        w.image = true;
    }
    if (jpeg_off.count && jpeg_len.count) {
        st = data_extent(w, jpeg_off.type, 1, jpeg_off.voff, jpeg_len.type, 1, jpeg_len.voff);
        if (st != SN_OK)
            return st;
        w.image = true;
    }
    uint32_t nx;
    if (!rd32(w, off + 2 + 12ull * n, &nx))
        return sn_fail(w.s);
    *next = nx;
    return SN_OK;
}

bool tiff_header(sv_view v, sn_hit *hit)
{
    bool le = v.len >= 2 && v.data[0] == 'I';
    uint32_t ifd;
    if (!(le ? sv_le32(v, 4, &ifd) : sv_be32(v, 4, &ifd)))
        return false;
    if (ifd < 8 || (ifd & 1))
        return false;
    if (ifd + 2ull <= v.len) {
        uint16_t n;
        if (!(le ? sv_le16(v, ifd, &n) : sv_be16(v, ifd, &n)) || n == 0 || n > kMaxEntries)
            return false;
    }
    return true;
}

bool has_prefix(const char *s, const char *p)
{
    return strncmp(s, p, strlen(p)) == 0;
}

sn_status tiff_end(sn_src *s, sn_hit *hit)
{
    Walk w;
    memset(&w, 0, sizeof(w));
    w.s = s;
    const uint8_t *h = sn_get(s, 0, 12);
    if (!h)
        return sn_fail(s);
    w.le = h[0] == 'I';
    uint32_t first;
    if (!rd32(w, 4, &first))
        return sn_fail(s);
    /* IFD0 and its chain: IFD1, ... (CR2 keeps its raw data in IFD3). */
    enqueue(w, first);
    unsigned chain = 0;
    while (w.nqueue) {
        uint64_t off = w.queue[--w.nqueue];
        w.visited[w.nvisited++] = off;
        uint64_t next;
        sn_status st = walk_ifd(w, off, &next);
        if (st != SN_OK) {
            if (st == SN_STOP || off == first || w.cut)
                return st;
            continue; /* a damaged sub-directory does not void the file */
        }
        if (next && ++chain < kMaxIfds)
            enqueue(w, next);
    }
    if (!w.image || w.cut)
        return SN_CORRUPT;
    hit->size = w.end;
    if (memcmp(h, "IIU", 3) == 0)
        hit->type = "raw"; /* Panasonic RW2 */
    else if (memcmp(h, "IIRO", 4) == 0 || memcmp(h, "IIRS", 4) == 0 ||
             memcmp(h, "MMOR", 4) == 0 || has_prefix(w.make, "OLYMPUS"))
        hit->type = "orf";
    else if (h[8] == 'C' && h[9] == 'R' && h[10] == 2)
        hit->type = "cr2";
    else if (w.dng)
        hit->type = "dng";
    else if (has_prefix(w.make, "NIKON"))
        hit->type = "raw"; /* Nikon NEF */
    else if (has_prefix(w.make, "Panasonic"))
        hit->type = "raw";
    else if (has_prefix(w.make, "SONY"))
        hit->type = "arw";
    else if (has_prefix(w.make, "PENTAX") || has_prefix(w.make, "RICOH"))
        hit->type = "pef";
    else
        hit->type = "tif";
    return SN_OK;
}

}  // namespace

extern const sn_format sn_fmt_tiff_le = {
    "tif", kTypes, {'I', 'I', 0x2A, 0x00}, 4, 0, 'I', kMax, tiff_header, tiff_end,
};
extern const sn_format sn_fmt_tiff_be = {
    "tif", kTypes, {'M', 'M', 0x00, 0x2A}, 4, 0, 'M', kMax, tiff_header, tiff_end,
};
extern const sn_format sn_fmt_orf_ro = {
    "orf", kTypes, {'I', 'I', 'R', 'O'}, 4, 0, 'I', kMax, tiff_header, tiff_end,
};
extern const sn_format sn_fmt_orf_rs = {
    "orf", kTypes, {'I', 'I', 'R', 'S'}, 4, 0, 'I', kMax, tiff_header, tiff_end,
};
extern const sn_format sn_fmt_orf_be = {
    "orf", kTypes, {'M', 'M', 'O', 'R'}, 4, 0, 'M', kMax, tiff_header, tiff_end,
};
extern const sn_format sn_fmt_rw2 = {
    "raw", kTypes, {'I', 'I', 'U', 0x00}, 4, 0, 'I', kMax, tiff_header, tiff_end,
};
