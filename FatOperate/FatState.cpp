/*
 * The quick scan's state: set up by fat_init, released by fat_exit.
 */
#include "polder_i.h"

#include <cstdlib>
#include <cstring>

namespace polder {

QuickState g_quick;

void quick_free_result(QuickState *s)
{
    // Every node was counted when it was made, so the walk cannot run
    // further than that even if a consumer damaged the links.
    tagStLinkNode *n = s->first;
    uint64_t left = s->nodesAllocated;
    while (n && left-- > 0) {
        tagStLinkNode *next = n->pNext;
        if (n->ppEntries) {
            for (tagStFatInfo **e = n->ppEntries; *e; e++)
                free(*e);
            free(n->ppEntries);
        }
        free(n);
        n = next;
    }
    s->first = s->head = s->tmpHead = nullptr;
    s->nodesAllocated = 0;
    s->fileCount = 0;
    s->dirCount = 0;
}

static void quick_release(QuickState *s)
{
    quick_free_result(s);
    fat_table_close(&s->fat);
    free(s->clusterBuf);
    free(s->dirBuf);
    free(s->visited);
    *s = QuickState{};
}

}  // namespace polder

using namespace polder;

extern "C" POLDER_EXPORT bool fat_init(Partiton_Struct *part)
{
    QuickState &s = g_quick;
    quick_release(&s);
    if (!part || part->FsType < FS_FAT12 || part->FsType > FS_FAT32 || !part->BootData || !part->Device)
        return false;
    FatLayout L;
    if (fat_layout_parse(sv_view_make(part->BootData, 512), part->FsType, part->PartSize, true, &L) !=
        BOOT_OK)
        return false;
    s.part = part;
    s.fsType = part->FsType;
    s.L = L;
    s.limit = part->PartSize;
    // One cluster, and never less than two sectors.
    s.clusterBufSize = L.clusterSize < 2 * L.bytesPerSector ? 2 * L.bytesPerSector : L.clusterSize;
    s.clusterBuf = static_cast<uint8_t *>(MALLOC(s.clusterBufSize));
    s.dirBuf = static_cast<uint8_t *>(MALLOC(kDirBufferSize));
    s.visited = static_cast<uint32_t *>(MALLOC(((size_t)L.maxCluster / 32 + 1) * sizeof(uint32_t)));
    fat_table_open(&s.fat, part->Device, s.limit, &s.L);
    s.ready = true;
    return true;
}

extern "C" POLDER_EXPORT void fat_exit(void)
{
    quick_release(&g_quick);
}
