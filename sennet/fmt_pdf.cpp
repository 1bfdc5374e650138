/*
 * PDF: the end is an "%%EOF" whose preceding "startxref" points back into
 * the file at a cross-reference table or stream; incremental updates that
 * follow it are taken in.  A linearised file states its length in its
 * first object, which is used when the walk agrees with it.
 */
#include "sennet_i.h"

#include <ctype.h>

namespace {

const char *const kTypes[] = {"pdf", nullptr};
constexpr uint64_t kMax = 512 * SN_MiB;

bool pdf_header(sv_view v, sn_hit *hit)
{
    if (!sv_has(v, 0, 8))
        return false;
    const uint8_t *p = v.data;
    return (p[5] == '1' || p[5] == '2') && p[6] == '.' && p[7] >= '0' && p[7] <= '9';
}

bool parse_uint(const uint8_t *p, size_t n, size_t *i, uint64_t *v)
{
    while (*i < n && (p[*i] == ' ' || p[*i] == '\r' || p[*i] == '\n' || p[*i] == '\t'))
        (*i)++;
    if (*i >= n || !isdigit(p[*i]))
        return false;
    uint64_t x = 0;
    while (*i < n && isdigit(p[*i]) && x < (1ull << 40))
        x = x * 10 + (uint64_t)(p[(*i)++] - '0');
    *v = x;
    return true;
}

/* Does the "%%EOF" at `eof` close a section whose startxref points at a
 * cross-reference inside [0, eof)? */
bool closes_section(sn_src *s, uint64_t eof)
{
    uint64_t from = eof > 64 ? eof - 64 : 0;
    size_t got;
    const uint8_t *p = sn_get_some(s, from, (size_t)(eof - from), &got);
    if (!p)
        return false;
    const uint8_t *sx = nullptr;
    for (size_t i = 0; i + 9 <= got; i++)
        if (memcmp(p + i, "startxref", 9) == 0)
            sx = p + i;
    if (!sx)
        return false;
    size_t i = (size_t)(sx - p) + 9;
    uint64_t xref;
    if (!parse_uint(p, got, &i, &xref) || xref >= eof || xref == 0)
        return false;
    const uint8_t *x = sn_get_some(s, xref, 32, &got);
    if (!x)
        return false;
    if (got >= 4 && memcmp(x, "xref", 4) == 0)
        return true;
    size_t k = 0;
    uint64_t num, gen;
    if (!parse_uint(x, got, &k, &num) || !parse_uint(x, got, &k, &gen))
        return false;
    while (k < got && x[k] == ' ')
        k++;
    return got - k >= 3 && memcmp(x + k, "obj", 3) == 0;
}

/* Does an incremental update follow at `at`? */
bool update_follows(sn_src *s, uint64_t at)
{
    size_t got;
    const uint8_t *p = sn_get_some(s, at, 64, &got);
    if (!p)
        return false;
    size_t k = 0;
    while (k < got && (p[k] == '\r' || p[k] == '\n' || p[k] == ' ' || p[k] == '\t'))
        k++;
    if (got - k >= 4 && memcmp(p + k, "xref", 4) == 0)
        return true;
    uint64_t num, gen;
    if (!parse_uint(p, got, &k, &num) || !parse_uint(p, got, &k, &gen))
        return false;
    while (k < got && p[k] == ' ')
        k++;
    return got - k >= 3 && memcmp(p + k, "obj", 3) == 0;
}

/* Length of the end-of-line after %%EOF. */
uint64_t eol_len(sn_src *s, uint64_t at)
{
    size_t got;
    const uint8_t *p = sn_get_some(s, at, 2, &got);
    if (!p || got == 0)
        return 0;
    if (p[0] == '\r')
        return (got > 1 && p[1] == '\n') ? 2 : 1;
    return p[0] == '\n' ? 1 : 0;
}

sn_status pdf_end(sn_src *s, sn_hit *hit)
{
    /* Linearised files give their length in the first object. */
    uint64_t linear = 0;
    size_t got;
    const uint8_t *h = sn_get_some(s, 0, 1024, &got);
    if (!h)
        return sn_fail(s);
    const uint8_t *lin = (const uint8_t *)memmem(h, got, "/Linearized", 11);
    if (lin) {
        const uint8_t *l = (const uint8_t *)memmem(lin, got - (size_t)(lin - h), "/L ", 3);
        if (l) {
            size_t i = (size_t)(l - h) + 3;
            uint64_t v;
            if (parse_uint(h, got, &i, &v))
                linear = v;
        }
    }
    uint64_t at = 8, end = 0;
    for (unsigned n = 0; n < 10000; n++) {
        uint64_t eof, stop;
        if (!sn_find_end(s, at, "%%EOF", 5, &eof, &stop))
            break;
        at = eof + 5;
        if (!closes_section(s, eof))
            continue;
        end = at + eol_len(s, at);
        if (linear && end >= linear)
            break;
        if (!update_follows(s, end))
            break;
    }
    if (s->stopped)
        return SN_STOP;
    if (!end)
        return SN_CORRUPT;
    if (linear && linear > end && linear <= s->limit) {
        /* the stated length lies beyond: trust it only if it ends at a %%EOF */
        uint64_t e;
        if (linear >= 7 && sn_find(s, linear - 7, linear, "%%EOF", 5, &e))
            end = linear;
    }
    hit->size = end;
    return SN_OK;
}

}  // namespace

extern const sn_format sn_fmt_pdf = {
    "pdf", kTypes, {'%', 'P', 'D', 'F', '-'}, 5, 0, '%', kMax, pdf_header, pdf_end,
};
