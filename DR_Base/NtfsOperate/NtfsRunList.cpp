/*
 * Run lists: the decoding of one run, the run cache of an attribute
 * context, and the encoding used to join the extents of an attribute
 * that spans several MFT records.
 */
#include "ntfs_i.h"

#include <string.h>

/*
 * A run is a header byte (low nibble: width of the length, high nibble:
 * width of the cluster delta) followed by both little-endian fields.  A
 * delta of width 0 marks a sparse run.  Fields up to 8 bytes are read; a
 * run that does not fit before end, or has a zero length, is damaged.
 */
const uint8_t *Ntfs_Decode_Run(const uint8_t *p, const uint8_t *end, ntfs_run *out, bool *bad)
{
    *bad = false;
    if (!p || p >= end) {
        *bad = true;
        return nullptr;
    }
    uint8_t h = p[0];
    if (h == 0)
        return nullptr;  /* end of the list */
    uint32_t lw = h & 0x0F, ow = h >> 4;
    if (lw == 0 || lw > 8 || ow > 8 || (size_t)(end - p) < 1 + (size_t)lw + ow) {
        *bad = true;
        return nullptr;
    }
    uint64_t len = 0;
    for (uint32_t i = 0; i < lw; i++)
        len |= (uint64_t)p[1 + i] << (8 * i);
    if (len == 0 || len > (uint64_t)INT64_MAX) {
        *bad = true;
        return nullptr;
    }
    uint64_t d = 0;
    for (uint32_t i = 0; i < ow; i++)
        d |= (uint64_t)p[1 + lw + i] << (8 * i);
    if (ow > 0 && ow < 8 && (p[lw + ow] & 0x80))
        d |= ~(uint64_t)0 << (8 * ow);  /* sign of the last byte */
    out->length = len;
    out->sparse = ow == 0;
    out->delta = out->sparse ? 0 : (int64_t)d;
    return p + 1 + lw + ow;
}

static bool ctx_runs(const NTFS_ATTR_CONTEXT *ctx, const uint8_t **begin, const uint8_t **end)
{
    ntfs_attr a;
    if (!ntfs_ctx_attr(ctx, &a) || !a.nonres)
        return false;
    *begin = ctx->stRecord + a.runs_off;
    *end = ctx->stRecord + a.len;
    return true;
}

/* Takes the decoded run r, starting at value offset start, into the cache. */
static bool cache_run(NTFS_ATTR_CONTEXT *ctx, const ntfs_run *r, const uint8_t *next, uint64_t start)
{
    uint64_t cs = ctx->stVolume.cluster_size;
    if (cs == 0 || r->length > (uint64_t)INT64_MAX / cs || start > (uint64_t)INT64_MAX - r->length * cs)
        return false;
    if (r->sparse) {
        ctx->nRunLcn = -1;
    } else {
        int64_t lcn;
        if (__builtin_add_overflow(ctx->nLcnBase, r->delta, &lcn) || lcn < 0)
            return false;
        if ((uint64_t)lcn > (uint64_t)INT64_MAX / cs)
            return false;
        ctx->nRunLcn = lcn;
        ctx->nLcnBase = lcn;
    }
    ctx->nRunLength = r->length;
    ctx->nRunStart = start;
    ctx->pNextRun = next;
    return true;
}

static void clear_cache(NTFS_ATTR_CONTEXT *ctx)
{
    ctx->pNextRun = nullptr;
    ctx->nRunLcn = -1;
    ctx->nRunLength = 0;
    ctx->nLcnBase = 0;
    ctx->nRunStart = 0;
}

bool ntfs_ctx_rewind(NTFS_ATTR_CONTEXT *ctx)
{
    const uint8_t *b, *e;
    clear_cache(ctx);
    if (!ctx_runs(ctx, &b, &e))
        return false;
    ntfs_run r;
    bool bad;
    const uint8_t *next = Ntfs_Decode_Run(b, e, &r, &bad);
    if (!next || !cache_run(ctx, &r, next, 0)) {
        clear_cache(ctx);
        return false;
    }
    return true;
}

bool ntfs_ctx_advance(NTFS_ATTR_CONTEXT *ctx)
{
    const uint8_t *b, *e;
    if (ctx->nRunLength == 0 || !ctx->pNextRun || !ctx_runs(ctx, &b, &e))
        return false;
    if (ctx->pNextRun < b || ctx->pNextRun >= e)
        return false;
    ntfs_run r;
    bool bad;
    const uint8_t *next = Ntfs_Decode_Run(ctx->pNextRun, e, &r, &bad);
    if (!next)
        return false;
    uint64_t start = ctx->nRunStart + ctx->nRunLength * ctx->stVolume.cluster_size;
    NTFS_ATTR_CONTEXT save = *ctx;
    if (!cache_run(ctx, &r, next, start)) {
        *ctx = save;
        return false;
    }
    return true;
}

/* Clusters of the cached run and of every run after it. */
uint64_t __getLCNlenth(NTFS_ATTR_CONTEXT *ctx)
{
    if (!ctx || ctx->nRunLength == 0)
        return 0;
    NTFS_ATTR_CONTEXT save = *ctx;
    uint64_t total = ctx->nRunLength;
    while (ntfs_ctx_advance(ctx)) {
        if (UINT64_MAX - total < ctx->nRunLength) {
            total = UINT64_MAX;
            break;
        }
        total += ctx->nRunLength;
    }
    *ctx = save;
    return total;
}

size_t ntfs_runs_count_bytes(size_t nruns)
{
    return nruns * 17 + 1;
}

static uint32_t unsigned_width(uint64_t v)
{
    uint32_t w = 1;
    while (w < 8 && (v >> (8 * w)) != 0)
        w++;
    return w;
}

static uint32_t signed_width(int64_t v)
{
    for (uint32_t w = 1; w < 8; w++) {
        int64_t lo = -((int64_t)1 << (8 * w - 1)), hi = ((int64_t)1 << (8 * w - 1)) - 1;
        if (v >= lo && v <= hi)
            return w;
    }
    return 8;
}

size_t ntfs_runs_encode(const ntfs_abs_run *runs, size_t n, uint8_t *out)
{
    size_t pos = 0;
    int64_t base = 0;
    for (size_t i = 0; i < n; i++) {
        uint32_t lw = unsigned_width(runs[i].length);
        uint32_t ow = 0;
        int64_t delta = 0;
        if (runs[i].lcn >= 0) {
            delta = runs[i].lcn - base;
            ow = signed_width(delta);
            base = runs[i].lcn;
        }
        out[pos++] = (uint8_t)(lw | (ow << 4));
        for (uint32_t b = 0; b < lw; b++)
            out[pos++] = (uint8_t)(runs[i].length >> (8 * b));
        for (uint32_t b = 0; b < ow; b++)
            out[pos++] = (uint8_t)((uint64_t)delta >> (8 * b));
    }
    out[pos++] = 0;
    return pos;
}
