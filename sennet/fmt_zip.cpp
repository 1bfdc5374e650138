/*
 * ZIP and the formats built on it (docx, xlsx, pptx, odt, ods, odp, epub,
 * jar, apk).  Local file entries are walked by their sizes (entries with a
 * data descriptor by searching for the descriptor whose size matches), then
 * the central directory, the ZIP64 records and the end record with its
 * comment.  The end record must point back at the central directory found.
 */
#include "sennet_i.h"

#include <map>
#include <vector>

namespace {

const char *const kTypes[] = {"zip", "docx", "xlsx", "pptx", "odt", "ods", "odp", "epub",
                              "jar", "apk", nullptr};
constexpr uint64_t kMax = 4 * SN_GiB;
constexpr unsigned kMaxEntries = 1000000;

bool zip_header(sv_view v, sn_hit *hit)
{
    uint16_t ver, flags, method, nlen;
    if (!sv_le16(v, 4, &ver) || !sv_le16(v, 6, &flags) || !sv_le16(v, 8, &method) ||
        !sv_le16(v, 26, &nlen))
        return false;
    if ((ver & 0xFF) > 90 || nlen == 0 || nlen > 1024)
        return false;
    if (!(method == 0 || method == 8 || method == 9 || method == 12 || method == 14 ||
          method == 93 || method == 95 || method == 98 || method == 99))
        return false;
    return true;
}

/* What the entry names say about the kind of archive. */
enum : uint8_t {
    kContentTypes = 1,
    kWord = 2,
    kXl = 4,
    kPpt = 8,
    kManifest = 16,
    kAndroid = 32,
};

uint8_t name_kind(const uint8_t *n, size_t len)
{
    auto is = [&](const char *p) { return len >= strlen(p) && memcmp(n, p, strlen(p)) == 0; };
    if (is("[Content_Types].xml"))
        return kContentTypes;
    if (is("word/"))
        return kWord;
    if (is("xl/"))
        return kXl;
    if (is("ppt/"))
        return kPpt;
    if (is("META-INF/MANIFEST.MF"))
        return kManifest;
    if (is("AndroidManifest.xml"))
        return kAndroid;
    return 0;
}

/* A stored "mimetype" first entry names the OpenDocument or EPUB kind. */
const char *mimetype_kind(const uint8_t *d, size_t n)
{
    auto is = [&](const char *p) { return n == strlen(p) && memcmp(d, p, n) == 0; };
    if (is("application/vnd.oasis.opendocument.text"))
        return "odt";
    if (is("application/vnd.oasis.opendocument.spreadsheet"))
        return "ods";
    if (is("application/vnd.oasis.opendocument.presentation"))
        return "odp";
    if (is("application/epub+zip"))
        return "epub";
    return nullptr;
}

/* ZIP64 sizes of a local entry from its extra field. */
void zip64_sizes(sn_src *s, uint64_t extra, uint16_t xlen, uint64_t *csize, uint64_t *usize)
{
    uint64_t at = extra, end = extra + xlen;
    while (end - at >= 4) {
        uint16_t id, len;
        if (!sn_rd_le16(s, at, &id) || !sn_rd_le16(s, at + 2, &len))
            return;
        if (id == 0x0001) {
            uint64_t v = at + 4;
            if (*usize == 0xFFFFFFFFu && len >= 8 && sn_rd_le64(s, v, usize))
                v += 8;
            if (*csize == 0xFFFFFFFFu && v + 8 <= at + 4 + len)
                sn_rd_le64(s, v, csize);
            return;
        }
        at += 4ull + len;
    }
}

/* A descriptor without its signature ends the entry data that starts at
 * `data` right before the header at `at`. */
bool bare_descriptor_before(sn_src *s, uint64_t data, uint64_t at)
{
    uint32_t c32;
    uint64_t dist = at - data;
    return dist >= 12 && sn_rd_le32(s, at - 8, &c32) && c32 == dist - 12;
}

/* End of entry data with a data descriptor starting at `data`.  The search
 * ends at the next sector that starts another file (a following entry of
 * the same archive included), so a descriptor that never comes costs one
 * pass over the entry's data. */
sn_status descriptor_end(sn_src *s, uint64_t data, uint64_t *next)
{
    uint64_t from = data;
    for (unsigned tries = 0; tries < 100000; tries++) {
        uint64_t at, stop;
        if (!sn_find_end(s, from, "PK", 2, &at, &stop)) {
            if (s->stopped)
                return SN_STOP;
            const uint8_t *h = stop < s->limit ? sn_get(s, stop, 4) : nullptr;
            if (h && memcmp(h, "PK\x03\x04", 4) == 0 && bare_descriptor_before(s, data, stop)) {
                *next = stop;
                return SN_OK;
            }
            return SN_CORRUPT;
        }
        const uint8_t *p = sn_get(s, at, 4);
        if (!p)
            return sn_fail(s);
        uint64_t dist = at - data;
        if (p[2] == 7 && p[3] == 8) {
            uint32_t c32;
            uint64_t c64;
            if (sn_rd_le32(s, at + 8, &c32) && c32 == dist) {
                *next = at + 16;
                return SN_OK;
            }
            if (sn_rd_le64(s, at + 8, &c64) && c64 == dist) {
                *next = at + 24;
                return SN_OK;
            }
        } else if ((p[2] == 3 && p[3] == 4) || (p[2] == 1 && p[3] == 2)) {
            if (bare_descriptor_before(s, data, at)) {
                *next = at;
                return SN_OK;
            }
        }
        from = at + 1;
    }
    return SN_CORRUPT;
}

/* The local entries walked from a candidate. */
struct LocalWalk {
    uint64_t at = 0;      /* first byte after the last entry */
    unsigned entries = 0;
    uint8_t kind = 0;
    const char *odf = nullptr;
};

/* Entries from `w.at` on.  Every sector-aligned entry walked is remembered
 * in the scan's memo with how the walk from it ended, and a walk that
 * reaches an entry the memo knows takes the rest from there: a chain of
 * entries that each start a sector is walked once, not once per entry. */
sn_status walk_locals(sn_src *s, LocalWalk &w)
{
    sn_zip_memo *memo = s->zip_memo;
    std::vector<uint8_t> own;                            /* kind of each entry walked here */
    std::vector<std::pair<uint64_t, size_t>> aligned;    /* (absolute offset, index in own) */
    sn_zip_chain tail{};
    bool joined = false, memoable = true;
    sn_status st = SN_OK;
    for (;;) {
        const uint8_t *p = sn_get(s, w.at, 30);
        if (!p) {
            st = sn_fail(s);
            memoable = !s->stopped; /* the end of the range is the same for every candidate */
            break;
        }
        if (memcmp(p, "PK\x03\x04", 4) != 0)
            break;
        bool on_sector = sn_on_sector(s, w.at);
        if (memo && w.entries > 0 && on_sector && sn_zip_memo_find(memo, s->start + w.at, &tail)) {
            joined = true;
            break;
        }
        if (++w.entries > kMaxEntries) {
            st = SN_CORRUPT;
            memoable = false;
            break;
        }
        uint16_t flags = sv_ld_le16(p + 6), method = sv_ld_le16(p + 8);
        uint64_t csize = sv_ld_le32(p + 18), usize = sv_ld_le32(p + 22);
        uint16_t nlen = sv_ld_le16(p + 26), xlen = sv_ld_le16(p + 28);
        const uint8_t *name = sn_get(s, w.at + 30, nlen);
        if (!name) {
            st = sn_fail(s);
            memoable = !s->stopped; /* the end of the range is the same for every candidate */
            break;
        }
        uint8_t kind = name_kind(name, nlen);
        w.kind |= kind;
        if (memo) {
            if (on_sector)
                aligned.emplace_back(s->start + w.at, own.size());
            own.push_back(kind);
        }
        bool mimetype = w.entries == 1 && nlen == 8 && memcmp(name, "mimetype", 8) == 0 && method == 0;
        uint64_t data = w.at + 30 + nlen + xlen;
        zip64_sizes(s, w.at + 30 + nlen, xlen, &csize, &usize);
        if (data > s->limit) {
            st = SN_CORRUPT;
            break;
        }
        if (mimetype && csize > 0 && csize < 128) {
            const uint8_t *m = sn_get(s, data, (size_t)csize);
            if (m)
                w.odf = mimetype_kind(m, (size_t)csize);
        }
        if ((flags & 0x08) && csize == 0) {
            st = descriptor_end(s, data, &w.at);
            if (st != SN_OK) {
                memoable = st != SN_STOP;
                break;
            }
        } else {
            if (csize > s->limit - data) {
                st = SN_CORRUPT;
                break;
            }
            w.at = data + csize;
            if (flags & 0x08) {
                /* a descriptor follows, with or without its signature */
                const uint8_t *d = sn_get(s, w.at, 4);
                if (!d) {
                    st = sn_fail(s);
                    memoable = !s->stopped;
                    break;
                }
                bool zip64 = csize >= 0xFFFFFFFFu || usize >= 0xFFFFFFFFu;
                w.at += (memcmp(d, "PK\x07\x08", 4) == 0 ? 4 : 0) + (zip64 ? 20 : 12);
            }
        }
    }
    if (joined) {
        st = (sn_status)tail.status;
        w.entries += tail.left;
        w.kind |= tail.kind;
        if (st == SN_OK)
            w.at = tail.end - s->start;
    }
    if (memo && memoable) {
        uint8_t suffix = joined ? tail.kind : 0;
        uint32_t after = joined ? tail.left : 0;
        for (size_t i = own.size(); i-- > 0;) {
            suffix |= own[i];
            while (!aligned.empty() && aligned.back().second == i) {
                sn_zip_chain c;
                c.end = s->start + w.at;
                c.left = (uint32_t)(own.size() - i) + after;
                c.kind = suffix;
                c.status = (uint8_t)st;
                sn_zip_memo_add(memo, aligned.back().first, c);
                aligned.pop_back();
            }
        }
    }
    return st;
}

/* Central directory entries from `at`: where they end, how many, their
 * kinds.  Remembered per directory, since every candidate of a chain of
 * local entries reaches the same one. */
sn_status walk_central(sn_src *s, uint64_t at, uint64_t *end, unsigned *central, uint8_t *kind)
{
    sn_zip_chain known;
    if (s->zip_memo && sn_zip_memo_find_cd(s->zip_memo, s->start + at, &known)) {
        *end = known.end - s->start;
        *central = known.left;
        *kind |= known.kind;
        return (sn_status)known.status;
    }
    const uint64_t from = at;
    const uint8_t *p;
    unsigned n = 0;
    uint8_t k = 0;
    sn_status st = SN_OK;
    while ((p = sn_get(s, at, 46)) && memcmp(p, "PK\x01\x02", 4) == 0) {
        if (++n > kMaxEntries) {
            st = SN_CORRUPT;
            break;
        }
        uint16_t nlen = sv_ld_le16(p + 28), xlen = sv_ld_le16(p + 30), clen = sv_ld_le16(p + 32);
        const uint8_t *name = sn_get(s, at + 46, nlen);
        if (name)
            k |= name_kind(name, nlen);
        at += 46ull + nlen + xlen + clen;
    }
    if (s->stopped)
        return SN_STOP;
    if (s->zip_memo) {
        sn_zip_chain c;
        c.end = s->start + at;
        c.left = n;
        c.kind = k;
        c.status = (uint8_t)st;
        sn_zip_memo_add_cd(s->zip_memo, s->start + from, c);
    }
    *end = at;
    *central = n;
    *kind |= k;
    return st;
}

sn_status zip_end(sn_src *s, sn_hit *hit)
{
    LocalWalk w;
    sn_status st = walk_locals(s, w);
    if (st != SN_OK)
        return st;
    uint64_t at = w.at;
    unsigned entries = w.entries;
    uint8_t kind = w.kind;
    /* archive decryption header and extra data record are not walked */
    uint64_t cd = at;
    const uint8_t *p;
    unsigned central = 0;
    st = walk_central(s, cd, &at, &central, &kind);
    if (st != SN_OK)
        return st;
    uint64_t cd_end = at;
    p = sn_get(s, at, 4);
    if (p && memcmp(p, "PK\x05\x05", 4) == 0) { /* digital signature */
        uint16_t n;
        if (!sn_rd_le16(s, at + 4, &n))
            return sn_fail(s);
        at += 6ull + n;
        cd_end = at;
        p = sn_get(s, at, 4);
    }
    if (p && memcmp(p, "PK\x06\x06", 4) == 0) { /* ZIP64 end record and locator */
        uint64_t size;
        if (!sn_rd_le64(s, at + 4, &size) || size > s->limit - at - 12)
            return sn_fail(s);
        at += 12 + size;
        p = sn_get(s, at, 4);
        if (!p || memcmp(p, "PK\x06\x07", 4) != 0)
            return sn_fail(s);
        at += 20;
        p = sn_get(s, at, 4);
    }
    if (!p || memcmp(p, "PK\x05\x06", 4) != 0)
        return sn_fail(s);
    const uint8_t *e = sn_get(s, at, 22);
    if (!e)
        return sn_fail(s);
    uint32_t cd_size = sv_ld_le32(e + 12), cd_off = sv_ld_le32(e + 16);
    uint16_t total = sv_ld_le16(e + 10), comment = sv_ld_le16(e + 20);
    if (cd_off != 0xFFFFFFFFu && cd_off != cd)
        return SN_CORRUPT;
    if (cd_size != 0xFFFFFFFFu && cd_size != cd_end - cd &&
        !(cd_size == at - cd)) /* some writers count the signature block */
        return SN_CORRUPT;
    if (total != 0xFFFF && total != (central & 0xFFFF))
        return SN_CORRUPT;
    if (central == 0 && entries == 0)
        return SN_CORRUPT;
    at += 22ull + comment;
    if (at > s->limit)
        return SN_CORRUPT;
    hit->size = at;
    if (w.odf)
        hit->type = w.odf;
    else if ((kind & kContentTypes) && (kind & kWord))
        hit->type = "docx";
    else if ((kind & kContentTypes) && (kind & kXl))
        hit->type = "xlsx";
    else if ((kind & kContentTypes) && (kind & kPpt))
        hit->type = "pptx";
    else if (kind & kAndroid)
        hit->type = "apk";
    else if (kind & kManifest)
        hit->type = "jar";
    else
        hit->type = "zip";
    return SN_OK;
}

}  // namespace

extern const sn_format sn_fmt_zip = {
    "zip", kTypes, {'P', 'K', 0x03, 0x04}, 4, 0, 'P', kMax, zip_header, zip_end,
};

/* The scan's memory of ZIP walks (see walk_locals). */
struct sn_zip_memo {
    std::map<uint64_t, sn_zip_chain> chain; /* sector-aligned local entry -> its walk */
    std::map<uint64_t, sn_zip_chain> cd;    /* central directory start -> its walk */
};

namespace {
/* Entries kept at most; past it the memo starts again (still correct,
 * only slower on a medium built to fill it). */
constexpr size_t kMemoMax = 1u << 18;
}

sn_zip_memo *sn_zip_memo_new(void)
{
    return new sn_zip_memo;
}

void sn_zip_memo_free(sn_zip_memo *m)
{
    delete m;
}

bool sn_zip_memo_find(sn_zip_memo *m, uint64_t abs, sn_zip_chain *out)
{
    auto it = m->chain.find(abs);
    if (it == m->chain.end())
        return false;
    *out = it->second;
    return true;
}

void sn_zip_memo_add(sn_zip_memo *m, uint64_t abs, const sn_zip_chain &c)
{
    if (m->chain.size() >= kMemoMax)
        m->chain.clear();
    m->chain[abs] = c;
}

bool sn_zip_memo_find_cd(sn_zip_memo *m, uint64_t abs, sn_zip_chain *out)
{
    auto it = m->cd.find(abs);
    if (it == m->cd.end())
        return false;
    *out = it->second;
    return true;
}

void sn_zip_memo_add_cd(sn_zip_memo *m, uint64_t abs, const sn_zip_chain &c)
{
    if (m->cd.size() >= kMemoMax)
        m->cd.clear();
    m->cd[abs] = c;
}
