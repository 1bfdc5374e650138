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

struct Dispatch {
    /* flat NULL-terminated lists, one per first byte */
    const sn_format *flat[kCount + 256];
    uint16_t start[256];
    const char *types[256];
    Dispatch()
    {
        size_t at = 0;
        for (unsigned b = 0; b < 256; b++) {
            start[b] = (uint16_t)at;
            for (size_t i = 0; i < kCount; i++)
                if (g_formats[i]->first_byte == b)
                    flat[at++] = g_formats[i];
            flat[at++] = nullptr;
        }
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

}  // namespace

int sn_header_fits(const char *type, const uint8_t *head, size_t len)
{
    char want[16] = {0};
    bool known = false;
    if (type) {
        size_t n = 0;
        for (; type[n] && n + 1 < sizeof want; n++) {
            char c = type[n];
            want[n] = (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
        }
        if (type[n])
            want[0] = 0;  // longer than any type name
        for (const auto &a : kAliases)
            if (strcmp(want, a[0]) == 0)
                memcpy(want, a[1], strlen(a[1]) + 1);
        size_t nf;
        const sn_format *const *all = sn_formats(&nf);
        for (size_t i = 0; want[0] && i < nf && !known; i++)
            known = reports(all[i], want);
    }
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
