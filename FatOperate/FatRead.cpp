/*
 * Reads from the partition: bounded device reads and the contiguous file
 * read of both searches.
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

bool read_contiguous(Physics_Device_Struct *dev, uint64_t limit, uint32_t bytesPerSector,
                     uint64_t dataStart, uint32_t spc, uint32_t cluster, uint32_t maxCluster,
                     void *buffer, unsigned long length, int64_t *pos)
{
    if (!buffer || length == 0 || !pos)
        return false;
    auto *dst = static_cast<uint8_t *>(buffer);
    int64_t at = *pos;
    if (bytesPerSector)
        *pos = at + (int64_t)(length / bytesPerSector);
    bool valid = length <= 0x7fffffffUL && at >= 0 && bytesPerSector && cluster >= 2 && cluster <= maxCluster;
    // bytes = bps x (dataStart + (cluster - 2) x spc + at), in 64 bits and
    // refused when it would not fit.
    unsigned __int128 off = 0;
    if (valid) {
        unsigned __int128 sector =
            (unsigned __int128)dataStart + (unsigned __int128)(cluster - 2) * spc + (uint64_t)at;
        off = sector * bytesPerSector;
        valid = off <= (unsigned __int128)INT64_MAX;
    }
    if (!valid) {
        memset(dst, 0, length);
        return false;
    }
    return dev_read(dev, limit, (uint64_t)off, (uint32_t)length, dst) == OK;
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
    return read_contiguous(s.part->Device, s.limit, s.L.bytesPerSector, s.L.dataSectorStart,
                           s.L.sectorsPerCluster, info->nStartCluster, s.L.maxCluster, buffer, length,
                           sectorPos);
}
