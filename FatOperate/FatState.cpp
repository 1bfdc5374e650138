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
    free(s->deferred);
    s->deferred = nullptr;
    s->nDeferred = s->capDeferred = 0;
    s->deferredNeed = 0;
    free(s->open);
    s->open = nullptr;
    s->nOpen = s->capOpen = 0;
    free(s->claimed);
    s->claimed = nullptr;
}

/* FAT32 FSInfo: the cluster after the last one written, when the sector
 * holds one that fits the volume. */
static uint32_t next_free_hint(QuickState &s, const uint8_t *boot)
{
    if (s.L.fsType != FS_FAT32)
        return 0;
    uint32_t sector = sv_ld_le16(boot + 48);
    if (sector == 0 || sector == 0xFFFF || sector >= s.L.fatSectorStart)
        return 0;
    uint8_t buf[4096];
    uint32_t len = s.L.bytesPerSector;
    if (len > sizeof buf || dev_read(s.part->Device, s.limit, (uint64_t)sector * len, len, buf) != OK)
        return 0;
    if (sv_ld_le32(buf) != 0x41615252u || sv_ld_le32(buf + 484) != 0x61417272u)
        return 0;
    uint32_t hint = sv_ld_le32(buf + 492);
    return fat_cluster_valid(s.L, hint) ? hint : 0;
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
    s.nextFreeHint = next_free_hint(s, part->BootData);
    s.ready = true;
    return true;
}

extern "C" POLDER_EXPORT void fat_exit(void)
{
    quick_release(&g_quick);
}
