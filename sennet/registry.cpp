/*
 * The format registry: the descriptor table built from formats.def and the
 * first-byte dispatch the scan uses, so that testing one sector costs one
 * table look-up unless its first byte can start a known header.
 */
#include "sennet_i.h"

#include <string.h>

namespace {

const sn_format *const g_formats[] = {
#define SN_FORMAT(id) &sn_fmt_##id,
#include "formats.def"
#undef SN_FORMAT
};

const char *const g_ids[] = {
#define SN_FORMAT(id) #id,
#include "formats.def"
#undef SN_FORMAT
};

constexpr size_t kCount = sizeof(g_formats) / sizeof(g_formats[0]);
static_assert(kCount <= SN_MAX_FORMATS, "raise SN_MAX_FORMATS");

/* Extensions that name the same kind as a type the engine reports. */
const char *const kAliases[][2] = {
    {"jpeg", "jpg"}, {"jpe", "jpg"}, {"tiff", "tif"}, {"mpeg", "mpg"}, {"midi", "mid"},
    {"aif", "aiff"}, {"mka", "mkv"}, {"qt", "mov"}, {"oga", "ogg"}, {"ogv", "ogg"},
};

bool reports(const sn_format *f, const char *type)
{
    for (const char *const *t = f->types; t && *t; t++)
        if (strcmp(*t, type) == 0)
            return true;
    return false;
}

/* The type name as the formats report it: lower case, aliases resolved;
 * false when it is longer than any type name. */
bool canonical_type(const char *type, char (&out)[16])
{
    memset(out, 0, sizeof out);
    size_t n = 0;
    for (; type[n] && n + 1 < sizeof out; n++) {
        char c = type[n];
        out[n] = (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
    }
    if (type[n])
        return false;
    for (const auto &a : kAliases)
        if (strcmp(out, a[0]) == 0)
            memcpy(out, a[1], strlen(a[1]) + 1);
    return out[0] != 0;
}

/* The descriptors' own spelling of a canonical name (stable for the
 * selection's lifetime), or NULL when no descriptor reports it. */
const char *known_type(const char *canon)
{
    for (size_t i = 0; i < kCount; i++)
        for (const char *const *t = g_formats[i]->types; t && *t; t++)
            if (strcmp(*t, canon) == 0)
                return *t;
    return nullptr;
}

void build_dispatch(const bool *chosen, const sn_format **flat, uint16_t *start)
{
    size_t at = 0;
    for (unsigned b = 0; b < 256; b++) {
        start[b] = (uint16_t)at;
        for (size_t i = 0; i < kCount; i++)
            if (chosen[i] && g_formats[i]->first_byte == b)
                flat[at++] = g_formats[i];
        flat[at++] = nullptr;
    }
}

struct Dispatch {
    /* flat NULL-terminated lists, one per first byte */
    const sn_format *flat[kCount + 256];
    uint16_t start[256];
    const char *types[256];
    Dispatch()
    {
        bool all[kCount];
        for (size_t i = 0; i < kCount; i++)
            all[i] = true;
        build_dispatch(all, flat, start);
        size_t nt = 0;
        for (size_t i = 0; i < kCount; i++) {
            for (const char *const *t = g_formats[i]->types; t && *t; t++) {
                bool seen = false;
                for (size_t k = 0; k < nt; k++)
                    if (strcmp(types[k], *t) == 0)
                        seen = true;
                if (!seen && nt + 1 < 256)
                    types[nt++] = *t;
            }
        }
        types[nt] = nullptr;
    }
};

const Dispatch &dispatch()
{
    static const Dispatch d;
    return d;
}

bool magic_ok(const sn_format *f, sv_view head)
{
    return sv_has(head, f->magic_off, f->magic_len) &&
           memcmp(head.data + f->magic_off, f->magic, f->magic_len) == 0;
}

}  // namespace

const sn_format *const *sn_formats(size_t *n)
{
    *n = kCount;
    return g_formats;
}

const sn_format *const *sn_dispatch(uint8_t b)
{
    const Dispatch &d = dispatch();
    return &d.flat[d.start[b]];
}

const char *const *sn_known_types(void)
{
    return dispatch().types;
}

void sn_select(const char *const *types, sn_selection *sel)
{
    memset(sel, 0, sizeof(*sel));
    bool chosen[kCount];
    sel->every_type = !types || !types[0];
    size_t nt = 0;
    for (size_t i = 0; i < kCount; i++)
        chosen[i] = sel->every_type;
    for (const char *const *t = types; !sel->every_type && *t; t++) {
        char canon[16];
        const char *name = canonical_type(*t, canon) ? known_type(canon) : nullptr;
        if (!name)
            continue;
        bool seen = false;
        for (size_t k = 0; k < nt; k++)
            seen = seen || sel->types[k] == name;
        if (!seen && nt < SN_MAX_TYPES)
            sel->types[nt++] = name;
        for (size_t i = 0; i < kCount; i++)
            chosen[i] = chosen[i] || reports(g_formats[i], name);
    }
    build_dispatch(chosen, sel->flat, sel->start);
    for (size_t i = 0; i < kCount; i++)
        sel->nformats += chosen[i];
}

bool sn_sel_reports(const sn_selection *sel, const char *type)
{
    if (sel->every_type)
        return true;
    for (const char *const *t = sel->types; type && *t; t++)
        if (strcmp(*t, type) == 0)
            return true;
    return false;
}

const char *sn_known_type_name(const char *type)
{
    char canon[16];
    return type && canonical_type(type, canon) ? known_type(canon) : nullptr;
}

bool sn_format_reports(const sn_format *f, const char *type)
{
    return f && type && reports(f, type);
}

const sn_format *sn_format_by_name(const char *name)
{
    for (size_t i = 0; i < kCount; i++)
        if (strcmp(g_ids[i], name) == 0)
            return g_formats[i];
    return nullptr;
}

const sn_format *sn_probe(sv_view head, sn_hit *hit)
{
    if (head.len == 0)
        return nullptr;
    for (const sn_format *const *f = sn_dispatch(head.data[0]); *f; f++) {
        if (!magic_ok(*f, head))
            continue;
        hit->type = (*f)->name;
        hit->size = 0;
        hit->hint = 0;
        if ((*f)->header(head, hit))
            return *f;
    }
    return nullptr;
}

sn_status sn_check(const sn_format *f, sn_src *src, sn_hit *hit)
{
    hit->type = f->name;
    hit->size = 0;
    hit->hint = 0;
    if (src->limit > f->max_size)
        src->limit = f->max_size;
    size_t got;
    const uint8_t *p = sn_get_some(src, 0, SN_LOOKAHEAD, &got);
    if (!p)
        return sn_fail(src);
    sv_view head = sv_view_make(p, got);
    if (!magic_ok(f, head) || !f->header(head, hit))
        return SN_CORRUPT;
    hit->size = 0;
    /* How far the walk gets counts from here: the header's look-ahead is
     * no step of it. */
    src->furthest = 0;
    sn_status st = f->file_end(src, hit);
    if (st != SN_OK)
        return st;
    if (hit->size == 0 || hit->size > src->limit)
        return SN_CORRUPT;
    return SN_OK;
}

bool sn_foreign_header_at(sn_src *s, uint64_t off)
{
    size_t got;
    const uint8_t *p = sn_get_some(s, off, 4096, &got);
    if (!p)
        return false;
    const sn_format *const *f = sn_dispatch(p[0]);
    if (!*f)
        return false;
    sn_hit h;
    return sn_probe(sv_view_make(p, got), &h) != nullptr;
}

namespace {

/* A header the engine trusts starts at sector-aligned file offset off:
 * magic of at least four bytes and the format's header check.  One-, two-
 * and three-byte magics (MPEG audio sync, TS, BMP, JPEG) also turn up in
 * the data of other files and do not count. */
bool trusted_header_at(sn_src *s, uint64_t off)
{
    size_t got;
    const uint8_t *p = sn_get_some(s, off, 4096, &got);
    if (!p)
        return false;
    sv_view head = sv_view_make(p, got);
    for (const sn_format *const *f = sn_dispatch(p[0]); *f; f++) {
        if ((*f)->magic_len < 4 || !magic_ok(*f, head))
            continue;
        sn_hit h = {(*f)->name, 0, 0};
        if ((*f)->header(head, &h))
            return true;
    }
    return false;
}

}  // namespace

bool sn_find_end(sn_src *s, uint64_t from, const void *pat, size_t plen, uint64_t *at,
                 uint64_t *stop)
{
    uint64_t pos = from;
    *stop = from;
    if (plen == 0 || plen > 64)
        return false;
    /* Sector by sector: the boundary first, then the matches that start
     * before the next one. */
    for (;;) {
        if (pos != 0 && sn_on_sector(s, pos) && trusted_header_at(s, pos)) {
            *stop = pos;
            return false;
        }
        if (pos >= s->limit || s->limit - pos < plen) {
            *stop = s->limit;
            return false;
        }
        uint64_t next = pos + (SN_SECTOR - (s->start + pos) % SN_SECTOR);
        uint64_t want = next - pos + plen - 1;
        if (want > s->limit - pos)
            want = s->limit - pos;
        const uint8_t *p = sn_get(s, pos, (size_t)want);
        if (!p) {
            *stop = pos;
            return false;
        }
        const void *m = memmem(p, (size_t)want, pat, plen);
        if (m) {
            *at = pos + (uint64_t)((const uint8_t *)m - p);
            return true;
        }
        pos = next;
    }
}

int sn_header_fits(const char *type, const uint8_t *head, size_t len)
{
    char want[16] = {0};
    bool known = type && canonical_type(type, want) && known_type(want);
    if (!head || len == 0)
        return known ? 0 : -1;
    sv_view v = sv_view_make(head, len);
    bool other = false;
    for (const sn_format *const *f = sn_dispatch(head[0]); *f; f++) {
        if (!magic_ok(*f, v))
            continue;
        sn_hit hit = {(*f)->name, 0, 0};
        if (!(*f)->header(v, &hit))
            continue;
        if (known && reports(*f, want))
            return 1;
        other = true;
    }
    if (other)
        return 2;
    return known ? 0 : -1;
}
