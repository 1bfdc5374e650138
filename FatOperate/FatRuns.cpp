/*
 * Where found files' data lies, and what the present volume uses: the
 * merged deep scan matches the files it finds by content with the files
 * named here, and checks whether their data is still free.
 */
#include "polder_i.h"
#include "sv_runs.h"

#include <cstring>

namespace polder {

namespace {

/*
 * The free path of a file, as read_free_path reads it: start, then the
 * clusters after it that inUse calls free, for as many clusters as the
 * size needs; what has no cluster is lost.  Offsets are in bytes from the
 * partition's start: (dataStart + (c - 2) x spc) x bytesPerSector.
 */
void emit_free_path(const void *rec, uint32_t start, uint64_t size, uint64_t dataStart, uint32_t spc,
                    uint32_t bytesPerSector, uint32_t maxCluster, InUseFn inUse, void *inUseCtx, Salvitra_RunFn fn,
                    void *ctx)
{
    sv::RunJoiner out{fn, ctx};
    const uint64_t clusterBytes = (uint64_t)spc * bytesPerSector;
    FreePathCursor cur;
    uint64_t left = size;
    for (uint64_t idx = 0; left > 0; idx++) {
        uint64_t n = left < clusterBytes ? left : clusterBytes;
        uint32_t c;
        if (!free_path_map(&cur, rec, start, idx, maxCluster, inUse, inUseCtx, &c)) {
            out.add(SV_RUN_LOST, left);
            break;
        }
        out.add((dataStart + (uint64_t)(c - 2) * spc) * bytesPerSector, n);
        left -= n;
    }
    out.flush();
}

}  // namespace

}  // namespace polder

using namespace polder;

extern "C" POLDER_EXPORT int fat_file_runs(const tagStFatInfo *info, Salvitra_RunFn fn, void *context)
{
    const QuickState &s = g_quick;
    if (!s.ready || !info || !fn || info->bDirectory)
        return 0;
    if (info->nFileSize == 0)
        return 1;
    if ((info->bPlan & FAT_PLAN_UNPLACED) || !fat_cluster_valid(s.L, info->nStartCluster))
        return 0;
    emit_free_path(info, info->nStartCluster, info->nFileSize, s.L.dataSectorStart, s.L.sectorsPerCluster,
                   s.L.bytesPerSector, s.L.maxCluster, quick_in_use, const_cast<FatTable *>(&s.fat), fn, context);
    return 1;
}

extern "C" POLDER_EXPORT int fat_fmtRec_file_runs(const tagStFatInfo *info, Salvitra_RunFn fn, void *context)
{
    FmtState &s = g_fmt;
    if (!s.ready || !info || !fn || info->bDirectory)
        return 0;
    if (info->nFileSize == 0)
        return 1;
    uint32_t tree = info->nReserved;
    if (tree == 0 || tree > s.nRoots || !s.roots[tree - 1])
        return 0;
    const tagStFmtDirNode *root = s.roots[tree - 1];
    uint32_t spc = root->nReserved;
    uint64_t dataStart = root->nDataSectorStart;
    uint32_t maxCluster = fmt_max_cluster(s, dataStart, spc);
    if (spc == 0 || info->nStartCluster < 2 || info->nStartCluster > maxCluster)
        return 0;
    FmtPathCtx ctx{&s, dataStart, spc};
    emit_free_path(info, info->nStartCluster, info->nFileSize, dataStart, spc, 512, maxCluster, fmt_in_use, &ctx, fn,
                   context);
    return 1;
}

extern "C" POLDER_EXPORT int fat_in_use(uint64_t offset, uint64_t length)
{
    QuickState &s = g_quick;
    if (!s.ready || length == 0)
        return 0;
    const FatLayout &L = s.L;
    const uint64_t data = (uint64_t)L.dataSectorStart * L.bytesPerSector;
    const uint64_t end = UINT64_MAX - offset < length ? UINT64_MAX : offset + length;
    int bits = 0;
    // The boot sector, the FATs and a FAT12/16 root folder.
    if (offset < data)
        bits |= SV_ALLOC_USED;
    uint64_t from = offset < data ? data : offset;
    if (from >= end || L.clusterSize == 0)
        return bits;
    uint64_t first = (from - data) / L.clusterSize + 2;
    uint64_t last = (end - 1 - data) / L.clusterSize + 2;
    if (first > L.maxCluster)
        return bits | SV_ALLOC_FREE;  // the slack after the last cluster holds nothing
    if (last > L.maxCluster) {
        bits |= SV_ALLOC_FREE;
        last = L.maxCluster;
    }
    for (uint64_t c = first; c <= last && bits != (SV_ALLOC_FREE | SV_ALLOC_USED); c++)
        bits |= quick_in_use(&s.fat, (uint32_t)c) ? SV_ALLOC_USED : SV_ALLOC_FREE;
    return bits;
}
