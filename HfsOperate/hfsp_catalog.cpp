/*
 * The catalog scan: the same leaf-node search over the catalog file's own
 * extents, which finds records a damaged index no longer leads to.
 */
#include "varn_i.h"

extern "C" VARN_EXPORT hfsp_file_list_Journal *hfsp_searchCatalogFile(void)
{
    const hfsp_volume *v = g_hfsp.m_stHfs_vh;
    sv_progress_begin();
    if (!v) {
        hfsp_progress_finish();
        return g_hfsp.m_stLog2;
    }
    /* The catalog file as the volume header describes it: up to eight
     * extents, ending at the first empty one, each inside the volume. */
    hfsp_segment seg[HFSP_FORK_EXTENTS];
    uint32_t count = 0;
    uint64_t total = 0;
    for (int i = 0; i < HFSP_FORK_EXTENTS; i++) {
        const hfsp_fork &f = v->catalogFile;
        if (f.blockCount[i] == 0)
            break;
        uint64_t off = (uint64_t)f.startBlock[i] * v->blockSize;
        uint64_t len = (uint64_t)f.blockCount[i] * v->blockSize;
        if (off >= g_hfsp.volumeBytes)
            break;
        if (g_hfsp.volumeBytes - off < len)
            len = g_hfsp.volumeBytes - off;
        seg[count].offset = off;
        seg[count].length = len;
        count++;
        total += len;
    }
    hfsp_stream st = {seg, count, total};
    hfsp_list list = {&g_hfsp.m_stLog2, &g_hfsp.m_stLog3, &g_hfsp.catalogIds};
    hfsp_walk_stream(&st, g_hfsp.m_nodeSize, &list);
    hfsp_progress_finish();
    return g_hfsp.m_stLog2;
}
