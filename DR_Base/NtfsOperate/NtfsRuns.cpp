/*
 * Where found files' data lies, and what the present volume uses: the
 * merged deep scan matches the files it finds by content with the files
 * named here, and checks whether their data is still free.
 */
#include "ntfs_i.h"
#include "sv_runs.h"

#include <stdlib.h>
#include <string.h>

static const uint16_t kNoName[1] = {0};

namespace {

/*
 * The runs of a non-resident, uncompressed stream as Ntfs_Read_Attribute
 * reads it: clusters shifted by the volume's origin, sparse runs and bytes
 * past the initialised size as zeros, what the run list does not reach as
 * lost.  False for data that lies nowhere on its own.
 */
bool emit_stream(NTFS_ATTR_CONTEXT *ctx, Salvitra_RunFn fn, void *context)
{
    ntfs_attr a;
    if (!ctx || !ntfs_ctx_attr(ctx, &a) || !a.nonres || (a.flags & NTFS_ATTR_COMPRESSED))
        return false;
    const uint64_t cs = ctx->stVolume.cluster_size;
    const uint64_t size = a.data_size;
    const uint64_t init = a.init_size < size ? a.init_size : size;
    if (cs == 0)
        return false;
    sv::RunJoiner out{fn, context};
    uint64_t pos = 0;
    bool more = size > 0 && ntfs_ctx_rewind(ctx);
    /* Each step consumes part of the run list: bounded by its length. */
    while (more && pos < size) {
        if (ctx->nRunStart != pos)
            break;  /* a list that does not follow on is not trusted past here */
        uint64_t len = ctx->nRunLength > (size - pos) / cs + 1 ? size - pos : ctx->nRunLength * cs;
        if (len > size - pos)
            len = size - pos;
        int64_t at = 0;
        bool placed = ctx->nRunLcn >= 0 &&
                      !__builtin_mul_overflow(ctx->nRunLcn, (int64_t)cs, &at) &&
                      !__builtin_add_overflow(at, ctx->stVolume.origin, &at) && at >= 0;
        /* Split at the initialised size: what lies past it reads as zeros. */
        uint64_t live = pos >= init ? 0 : (init - pos < len ? init - pos : len);
        if (ctx->nRunLcn < 0) {
            out.add(SV_RUN_SPARSE, len);
        } else if (!placed) {
            out.add(SV_RUN_LOST, len);
        } else {
            out.add((uint64_t)at, live);
            out.add(SV_RUN_SPARSE, len - live);
        }
        pos += len;
        more = ntfs_ctx_advance(ctx);
    }
    if (pos < size)
        out.add(pos >= init ? SV_RUN_SPARSE : SV_RUN_LOST, size - pos);
    out.flush();
    return true;
}

NTFS_ATTR_CONTEXT *present_bitmap(void)
{
    if (g_ntfs.BitmapData)
        return g_ntfs.BitmapData;
    uint8_t *rec = ntfs_load_record(6, nullptr);
    if (!rec)
        return nullptr;
    ntfs_finder f = ntfs_present_finder();
    g_ntfs.BitmapData = ntfs_find_attr(&f, rec, g_ntfs.NtfsMftRecordSize, 6, NTFS_AT_DATA, kNoName, 0, 0);
    free(rec);
    return g_ntfs.BitmapData;
}

}  // namespace

extern "C" NTFS_EXPORT int Ntfs_File_Runs(uint64_t nMftNumber, Salvitra_RunFn fn, void *context)
{
    if (!fn || !ntfs_ready())
        return 0;
    uint8_t *rec = ntfs_load_record(nMftNumber, nullptr);
    if (!rec)
        return 0;
    ntfs_finder f = ntfs_present_finder();
    NTFS_ATTR_CONTEXT *data =
        ntfs_find_attr(&f, rec, g_ntfs.NtfsMftRecordSize, nMftNumber, NTFS_AT_DATA, kNoName, 0, 0);
    free(rec);
    bool ok = emit_stream(data, fn, context);
    Ntfs_Release_Attribute_Context(data);
    return ok ? 1 : 0;
}

extern "C" NTFS_EXPORT int Ntfs_Format_File_Runs(const NTFS_FORMAT_INFO_t *info, Salvitra_RunFn fn, void *context)
{
    if (!fn || !info)
        return 0;
    NTFS_ATTR_CONTEXT *data = ntfs_format_data(info);
    bool ok = emit_stream(data, fn, context);
    Ntfs_Release_Attribute_Context(data);
    return ok ? 1 : 0;
}

extern "C" NTFS_EXPORT int Ntfs_In_Use(uint64_t offset, uint64_t length)
{
    if (!ntfs_ready() || length == 0)
        return 0;
    const uint64_t cs = g_ntfs.NtfsClusterSize;
    NTFS_ATTR_CONTEXT *bm = cs ? present_bitmap() : nullptr;
    if (!bm)
        return 0;
    const uint64_t end = UINT64_MAX - offset < length ? UINT64_MAX : offset + length;
    const uint64_t first = offset / cs, last = (end - 1) / cs;
    const uint64_t bits = ntfs_ctx_size(bm) * 8;
    int out = 0;
    uint8_t buf[4096];
    for (uint64_t c = first; c <= last && out != (SV_ALLOC_FREE | SV_ALLOC_USED);) {
        if (c >= bits) {
            out |= SV_ALLOC_FREE;  /* past the bitmap: no cluster of the volume */
            break;
        }
        uint64_t byte = c / 8;
        uint64_t want = (last / 8 - byte + 1) < sizeof buf ? last / 8 - byte + 1 : sizeof buf;
        int64_t got = Ntfs_Read_Attribute(bm, (int64_t)byte, buf, (int64_t)want);
        if (got <= 0)
            return out;
        for (uint64_t i = 0; i < (uint64_t)got && c <= last && out != (SV_ALLOC_FREE | SV_ALLOC_USED); i++) {
            uint8_t b = buf[i];
            for (uint32_t k = (uint32_t)(c % 8); k < 8 && c <= last; k++, c++)
                out |= (b >> k) & 1 ? SV_ALLOC_USED : SV_ALLOC_FREE;
        }
    }
    return out;
}

extern "C" NTFS_EXPORT bool Ntfs_Format_In_Present(const NTFS_FORMAT_INFO_t *info)
{
    if (!info || !ntfs_ready() || !g_ntfs.NtfsBootSector)
        return false;
    uint32_t slot = NTFS_FORMAT_SLOT(info);
    if (slot >= NTFS_FORMAT_SLOTS)
        return false;
    const NTFS_FORMAT_MTF_INFO &m = g_ntfs.MTFinfo[slot];
    uint32_t cs, rs, is;
    uint64_t mft_lcn, total;
    if (!m.nClusterSize || !ntfs_parse_boot(g_ntfs.NtfsBootSector, 512, &cs, &rs, &is, &mft_lcn, &total))
        return false;
    /* The volume in use: cluster 0 where the partition starts, its MFT where its boot sector says. */
    return m.nOrigin == 0 && m.nClusterSize == cs && m.nRecordPos == mft_lcn * cs;
}
