/*
 * ZIP and the formats built on it (docx, xlsx, pptx, odt, ods, odp, epub,
 * jar, apk).  Local file entries are walked by their sizes (entries with a
 * data descriptor by searching for the descriptor whose size matches), then
 * the central directory, the ZIP64 records and the end record with its
 * comment.  The end record must point back at the central directory found.
 */
#include "sennet_i.h"

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

struct Kind {
    bool content_types = false, word = false, xl = false, ppt = false, manifest = false,
         android = false;
    const char *odf = nullptr;
};

void note_name(Kind &k, const uint8_t *n, size_t len)
{
    auto is = [&](const char *p) { return len >= strlen(p) && memcmp(n, p, strlen(p)) == 0; };
    if (is("[Content_Types].xml"))
        k.content_types = true;
    else if (is("word/"))
        k.word = true;
    else if (is("xl/"))
        k.xl = true;
    else if (is("ppt/"))
        k.ppt = true;
    else if (is("META-INF/MANIFEST.MF"))
        k.manifest = true;
    else if (is("AndroidManifest.xml"))
        k.android = true;
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

sn_status zip_end(sn_src *s, sn_hit *hit)
{
    Kind kind;
    uint64_t at = 0;
    unsigned entries = 0;
    /* local entries */
    for (;;) {
        const uint8_t *p = sn_get(s, at, 30);
        if (!p)
            return sn_fail(s);
        if (memcmp(p, "PK\x03\x04", 4) != 0)
            break;
        if (++entries > kMaxEntries)
            return SN_CORRUPT;
        uint16_t flags = sv_ld_le16(p + 6), method = sv_ld_le16(p + 8);
        uint64_t csize = sv_ld_le32(p + 18), usize = sv_ld_le32(p + 22);
        uint16_t nlen = sv_ld_le16(p + 26), xlen = sv_ld_le16(p + 28);
        const uint8_t *name = sn_get(s, at + 30, nlen);
        if (!name)
            return sn_fail(s);
        note_name(kind, name, nlen);
        bool mimetype = entries == 1 && nlen == 8 && memcmp(name, "mimetype", 8) == 0 && method == 0;
        uint64_t data = at + 30 + nlen + xlen;
        zip64_sizes(s, at + 30 + nlen, xlen, &csize, &usize);
        if (data > s->limit)
            return SN_CORRUPT;
        if (mimetype && csize > 0 && csize < 128) {
            const uint8_t *m = sn_get(s, data, (size_t)csize);
            if (m)
                kind.odf = mimetype_kind(m, (size_t)csize);
        }
        if ((flags & 0x08) && csize == 0) {
            sn_status st = descriptor_end(s, data, &at);
            if (st != SN_OK)
                return st;
        } else {
            if (csize > s->limit - data)
                return SN_CORRUPT;
            at = data + csize;
            if (flags & 0x08) {
                /* a descriptor follows, with or without its signature */
                const uint8_t *d = sn_get(s, at, 4);
                if (!d)
                    return sn_fail(s);
                bool zip64 = csize >= 0xFFFFFFFFu || usize >= 0xFFFFFFFFu;
                at += (memcmp(d, "PK\x07\x08", 4) == 0 ? 4 : 0) + (zip64 ? 20 : 12);
            }
        }
    }
    /* archive decryption header and extra data record are not walked */
    uint64_t cd = at;
    const uint8_t *p;
    unsigned central = 0;
    while ((p = sn_get(s, at, 46)) && memcmp(p, "PK\x01\x02", 4) == 0) {
        if (++central > kMaxEntries)
            return SN_CORRUPT;
        uint16_t nlen = sv_ld_le16(p + 28), xlen = sv_ld_le16(p + 30), clen = sv_ld_le16(p + 32);
        const uint8_t *name = sn_get(s, at + 46, nlen);
        if (name)
            note_name(kind, name, nlen);
        at += 46ull + nlen + xlen + clen;
    }
    if (s->stopped)
        return SN_STOP;
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
    if (kind.odf)
        hit->type = kind.odf;
    else if (kind.content_types && kind.word)
        hit->type = "docx";
    else if (kind.content_types && kind.xl)
        hit->type = "xlsx";
    else if (kind.content_types && kind.ppt)
        hit->type = "pptx";
    else if (kind.android)
        hit->type = "apk";
    else if (kind.manifest)
        hit->type = "jar";
    else
        hit->type = "zip";
    return SN_OK;
}

}  // namespace

extern const sn_format sn_fmt_zip = {
    "zip", kTypes, {'P', 'K', 0x03, 0x04}, 4, 0, 'P', kMax, zip_header, zip_end,
};
