/*
 * Reads of an attribute's value: resident values are copied, non-resident
 * ones are read cluster run by cluster run through the context's run
 * cache, so that consecutive reads decode the run list once.
 */
#include "ntfs_i.h"

#include <stdlib.h>
#include <string.h>

/* Finds the run holding offset, continuing from the cache when it can. */
static bool seek_run(NTFS_ATTR_CONTEXT *ctx, uint64_t offset)
{
    uint64_t cs = ctx->stVolume.cluster_size;
    if (ctx->nRunLength == 0 || offset < ctx->nRunStart) {
        if (!ntfs_ctx_rewind(ctx))
            return false;
    }
    /* Each step consumes at least one byte of the run list, so the walk is
     * bounded by the attribute's length. */
    while (offset - ctx->nRunStart >= ctx->nRunLength * cs) {
        if (!ntfs_ctx_advance(ctx))
            return false;
    }
    return true;
}

/* Reads clusters [vcn, vcn + n) of the value into out; false unless all of them are there. */
static bool read_clusters(NTFS_ATTR_CONTEXT *ctx, uint64_t vcn, uint64_t n, uint8_t *out, uint64_t *allocated)
{
    uint64_t cs = ctx->stVolume.cluster_size;
    uint64_t end = vcn + n;
    *allocated = 0;
    while (vcn < end) {
        if (!seek_run(ctx, vcn * cs))
            return vcn > end - n;  /* the list may end inside the last unit */
        uint64_t run_vcn = ctx->nRunStart / cs;
        uint64_t take = run_vcn + ctx->nRunLength - vcn;
        if (take > end - vcn)
            take = end - vcn;
        if (ctx->nRunLcn >= 0) {
            uint64_t disk = ((uint64_t)ctx->nRunLcn + (vcn - run_vcn)) * cs;
            int64_t at;
            if (__builtin_add_overflow((int64_t)disk, ctx->stVolume.origin, &at) || at < 0)
                return false;
            if (ntfs_dev_pread(&ctx->stVolume, (uint64_t)at, out + *allocated * cs, take * cs) != take * cs)
                return false;
            *allocated += take;
        }
        vcn += take;
    }
    return true;
}

/* Expands compression unit number k into ctx->pUnit. */
static bool load_unit(NTFS_ATTR_CONTEXT *ctx, uint64_t k, uint64_t clusters, uint64_t unit)
{
    uint64_t vcn = k * clusters;
    if (ctx->pUnit && ctx->nUnitVcn == vcn)
        return true;
    if (!ctx->pUnit)
        ctx->pUnit = (uint8_t *)MALLOC(unit);
    ctx->nUnitVcn = UINT64_MAX;
    uint8_t *raw = (uint8_t *)MALLOC(unit);
    uint64_t allocated = 0;
    bool ok = read_clusters(ctx, vcn, clusters, raw, &allocated);
    if (ok) {
        if (allocated == clusters)
            memcpy(ctx->pUnit, raw, unit);               /* stored as it is */
        else if (allocated == 0)
            memset(ctx->pUnit, 0, unit);                 /* a hole */
        else
            ok = ntfs_lznt1_decompress(raw, allocated * ctx->stVolume.cluster_size, ctx->pUnit, unit);
    }
    free(raw);
    if (ok)
        ctx->nUnitVcn = vcn;
    return ok;
}

/* Reads of a compressed value, one compression unit at a time. */
static int64_t read_compressed(NTFS_ATTR_CONTEXT *ctx, const ntfs_attr *a, uint64_t offset, uint8_t *out,
                               uint64_t length, uint64_t clusters)
{
    uint64_t unit = clusters * ctx->stVolume.cluster_size;
    uint64_t done = 0;
    while (done < length) {
        uint64_t pos = offset + done;
        uint64_t within = pos % unit;
        uint64_t piece = unit - within < length - done ? unit - within : length - done;
        if (pos >= a->init_size) {
            memset(out + done, 0, piece);
        } else {
            if (!load_unit(ctx, pos / unit, clusters, unit))
                break;
            memcpy(out + done, ctx->pUnit + within, piece);
            if (a->init_size - pos < piece)
                memset(out + done + (a->init_size - pos), 0, piece - (a->init_size - pos));
        }
        done += piece;
    }
    ctx->nReadEnd = offset + done;
    return (int64_t)done;
}

int64_t Ntfs_Read_Attribute(NTFS_ATTR_CONTEXT *ctx, int64_t offset, void *dst, int64_t length)
{
    ntfs_attr a;
    if (!ctx || !dst || offset < 0 || length <= 0 || !ntfs_ctx_attr(ctx, &a))
        return 0;
    uint8_t *out = (uint8_t *)dst;
    if (!a.nonres) {
        if ((uint64_t)offset >= a.value_len)
            return 0;
        uint64_t n = a.value_len - (uint64_t)offset;
        if ((uint64_t)length < n)
            n = (uint64_t)length;
        memcpy(out, a.p + a.value_off + offset, n);
        return (int64_t)n;
    }
    uint64_t cs = ctx->stVolume.cluster_size;
    if (cs == 0)
        return 0;
    if ((a.flags & NTFS_ATTR_COMPRESSED) && a.p[34] > 0 && a.p[34] <= 16) {
        uint64_t clusters = 1ull << a.p[34];
        if (clusters * cs <= NTFS_MAX_UNIT)
            return read_compressed(ctx, &a, (uint64_t)offset, out, (uint64_t)length, clusters);
    }
    if (!seek_run(ctx, (uint64_t)offset))
        return 0;
    uint64_t pos = (uint64_t)offset, want = (uint64_t)length, done = 0;
    while (done < want) {
        uint64_t run_end = ctx->nRunStart + ctx->nRunLength * cs;
        uint64_t piece = run_end - pos;
        if (piece > want - done)
            piece = want - done;
        if (ctx->nRunLcn < 0 || pos >= a.init_size) {
            /* Sparse runs and bytes past the initialized size read as zeros. */
            memset(out + done, 0, piece);
        } else {
            if (a.init_size - pos < piece)
                piece = a.init_size - pos;
            uint64_t disk = (uint64_t)ctx->nRunLcn * cs + (pos - ctx->nRunStart);
            int64_t at;
            if (__builtin_add_overflow((int64_t)disk, ctx->stVolume.origin, &at) || at < 0)
                break;
            uint64_t got = ntfs_dev_pread(&ctx->stVolume, (uint64_t)at, out + done, piece);
            if (got < piece) {
                done += got;
                pos += got;
                break;
            }
        }
        done += piece;
        pos += piece;
        if (done == want)
            break;
        if (pos == run_end && !ntfs_ctx_advance(ctx))
            break;
    }
    ctx->nReadEnd = (uint64_t)offset + done;
    return (int64_t)done;
}
