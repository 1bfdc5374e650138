/*
 * Reads from the partition: bounded device reads and the quick scan's file
 * read.
 */
#include "polder_i.h"

#include <cstring>

namespace polder {

Status dev_read(Physics_Device_Struct *dev, uint64_t limit, uint64_t off, uint32_t len, uint8_t *dst)
{
    return sv_dev_read_bounded(dev, limit, off, len, dst) ? OK : IO;
}

}  // namespace polder

using namespace polder;

extern "C" POLDER_EXPORT bool fat_readfile(tagStFatInfo *info, void *buffer, unsigned long length,
                                           int64_t *sectorPos)
{
    QuickState &s = g_quick;
    if (!info || !buffer || length == 0 || !sectorPos)
        return false;
    if (!s.ready) {
        memset(buffer, 0, length);
        return false;
    }
    if (info->bPlan & FAT_PLAN_UNPLACED) {
        // Nowhere on the volume fits the file: nothing is read.
        memset(buffer, 0, length);
        *sectorPos += (int64_t)(length / s.L.bytesPerSector);
        return false;
    }
    FreePathRead r{s.part->Device, s.limit, s.L.bytesPerSector, s.L.dataSectorStart, s.L.sectorsPerCluster,
                   s.L.maxCluster, quick_in_use, &s.fat};
    return read_free_path(r, &s.readCursor, info, info->nStartCluster, buffer, length, sectorPos);
}
