/*
 * Where found files' data lies, and what the present volume uses: the
 * merged deep scan matches the files it finds by content with the files
 * named here, and checks whether their data is still free.
 */
#include "hollin_i.h"
#include "sv_runs.h"

using namespace hollin;

extern "C" HOLLIN_EXPORT int exfat_file_runs(const tagExfatFile *rec, Salvitra_RunFn fn, void *context)
{
    State &s = g_state;
    if (!s.ready || !rec || !fn || rec->bDirectory)
        return 0;
    if (rec->nSize == 0)
        return 1;
    if (rec->bDataState == EXFAT_DATA_INVALID)
        return 0;
    // The plan exfat_readfile reads by.
    RunList runs;
    Plan plan;
    uint64_t budget = UINT64_MAX;
    plan_clusters(s, rec->nFirstCluster, rec->nClusters, rec->bNoFatChain, !rec->bDeleted, &runs, &plan, &budget);
    sv::RunJoiner out{fn, context};
    const uint64_t cs = s.L.clusterSize;
    // Only bytes below the valid data length were ever written; the rest
    // reads as zeros.
    const uint64_t valid = rec->nValidDataLength < rec->nSize ? rec->nValidDataLength : rec->nSize;
    uint64_t pos = 0;
    for (uint32_t i = 0; i < runs.n && pos < valid; i++) {
        const Run &r = runs.runs[i];
        uint64_t from = r.fileIndex * cs;
        if (from >= valid)
            break;
        if (from > pos) {
            out.add(SV_RUN_LOST, from - pos);
            pos = from;
        }
        if (from < pos)
            continue;  // runs come in file order; one that goes back is not trusted
        uint64_t len = (uint64_t)r.count * cs;
        if (len > valid - pos)
            len = valid - pos;
        out.add(r.start == 0 ? SV_RUN_LOST : cluster_offset(s.L, r.start), len);
        pos += len;
    }
    if (pos < valid)
        out.add(SV_RUN_LOST, valid - pos);
    if (valid < rec->nSize)
        out.add(SV_RUN_SPARSE, rec->nSize - valid);
    out.flush();
    runs_free(&runs);
    return 1;
}

extern "C" HOLLIN_EXPORT int exfat_in_use(uint64_t offset, uint64_t length)
{
    State &s = g_state;
    if (!s.ready || length == 0)
        return 0;
    const Layout &L = s.L;
    const uint64_t end = UINT64_MAX - offset < length ? UINT64_MAX : offset + length;
    int bits = 0;
    // The boot regions and the FATs.
    if (offset < L.heapOffset)
        bits |= SV_ALLOC_USED;
    uint64_t from = offset < L.heapOffset ? L.heapOffset : offset;
    if (from >= end || L.clusterSize == 0)
        return bits;
    const uint32_t shift = L.sectorShift + L.clusterShift;
    uint64_t first = ((from - L.heapOffset) >> shift) + 2;
    uint64_t last = ((end - 1 - L.heapOffset) >> shift) + 2;
    const uint64_t top = (uint64_t)max_cluster(L);
    if (first > top)
        return bits | SV_ALLOC_FREE;  // past the cluster heap
    if (last > top) {
        bits |= SV_ALLOC_FREE;
        last = top;
    }
    for (uint64_t c = first; c <= last && bits != (SV_ALLOC_FREE | SV_ALLOC_USED); c++)
        bits |= cluster_in_use(s, (uint32_t)c) ? SV_ALLOC_USED : SV_ALLOC_FREE;
    return bits;
}
