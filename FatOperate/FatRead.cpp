/*
 * Reads from the partition: bounded device reads and the quick scan's file
 * read.
 */
#include "polder_i.h"

#include <cstring>

namespace polder {

Status dev_read(Physics_Device_Struct *dev, uint64_t limit, uint64_t off, uint32_t len, uint8_t *dst)
{
    if (len == 0)
        return OK;
    memset(dst, 0, len);
    if (!dev || !dev->Ops || !dev->Ops->read)
        return IO;
    uint32_t want = len;
    if (limit) {
        // Nothing past the partition end belongs to this volume.
        if (off >= limit)
            return IO;
        if (limit - off < want)
            want = (uint32_t)(limit - off);
    }
    int32_t got = sv_dev_read(dev, dst, want, off);
    if (got < 0 || (uint32_t)got > want) {
        memset(dst, 0, len);
        return IO;
    }
    if ((uint32_t)got < want)
        memset(dst + got, 0, want - got);
    return (uint32_t)got == len ? OK : IO;
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
