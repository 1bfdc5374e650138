/*
 * Reads of an attribute's value: resident values are copied, non-resident
 * ones are read cluster run by cluster run through the context's run
 * cache, so that consecutive reads decode the run list once.
 */
#include "ntfs_i.h"

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
    if (cs == 0 || !seek_run(ctx, (uint64_t)offset))
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
