/*
 * FAT lookups.  The table is read through a window of up to 64 KiB so
 * that a chain walk costs one device read per window instead of one per
 * entry; a window that could not be read is not kept.
 */
#include "polder_i.h"

#include <cstdlib>

namespace polder {

constexpr uint32_t kWindowBytes = 64 * 1024;

void fat_table_open(FatTable *t, Physics_Device_Struct *dev, uint64_t limit, const FatLayout *L)
{
    fat_table_close(t);
    t->dev = dev;
    t->limit = limit;
    t->L = L;
    // A whole number of sectors, at least one.
    t->windowCap = kWindowBytes / L->bytesPerSector * L->bytesPerSector;
    if (t->windowCap == 0)
        t->windowCap = L->bytesPerSector;
    t->window = static_cast<uint8_t *>(MALLOC(t->windowCap));
    t->windowLen = 0;
}

void fat_table_close(FatTable *t)
{
    free(t->window);
    *t = FatTable{};
}

/* One byte of the FAT at byte offset off. */
static Status fat_byte(FatTable *t, uint64_t off, uint8_t *out)
{
    const FatLayout &L = *t->L;
    uint64_t fatBytes = (uint64_t)L.sectorsPerFat * L.bytesPerSector;
    if (off >= fatBytes)
        return CORRUPT;
    if (t->windowLen == 0 || off < t->windowStart || off - t->windowStart >= t->windowLen) {
        uint64_t start = off / t->windowCap * t->windowCap;
        uint64_t left = fatBytes - start;
        uint32_t len = left < t->windowCap ? (uint32_t)left : t->windowCap;
        uint64_t devOff = (uint64_t)L.activeFatSectorStart * L.bytesPerSector + start;
        Status st = dev_read(t->dev, t->limit, devOff, len, t->window);
        if (st != OK) {
            // Unreadable FAT bytes read as zeros (free), as a damaged
            // sector would; nothing is cached.
            t->windowLen = 0;
            *out = t->window[off - start];
            return OK;
        }
        t->windowStart = start;
        t->windowLen = len;
    }
    *out = t->window[off - t->windowStart];
    return OK;
}

Status fat_table_entry(FatTable *t, uint32_t cluster, uint32_t *value)
{
    const FatLayout &L = *t->L;
    if (cluster > L.maxCluster)
        return CORRUPT;
    uint8_t b[4] = {0, 0, 0, 0};
    uint64_t off;
    uint32_t width;
    switch (L.fsType) {
    case FS_FAT32: off = (uint64_t)cluster * 4; width = 4; break;
    case FS_FAT16: off = (uint64_t)cluster * 2; width = 2; break;
    case FS_FAT12: off = (uint64_t)cluster + cluster / 2; width = 2; break;
    default: return CORRUPT;
    }
    for (uint32_t i = 0; i < width; i++)
        if (fat_byte(t, off + i, &b[i]) != OK)
            return CORRUPT;
    switch (L.fsType) {
    case FS_FAT32: *value = sv_ld_le32(b) & 0x0FFFFFFF; break;
    case FS_FAT16: *value = sv_ld_le16(b); break;
    default: {
        uint32_t w = sv_ld_le16(b);
        *value = (cluster & 1) ? w >> 4 : w & 0xFFF;
        break;
    }
    }
    return OK;
}

bool fat_is_eoc(const FatLayout &L, uint32_t value)
{
    switch (L.fsType) {
    case FS_FAT32: return value > 0x0FFFFFF7;
    case FS_FAT16: return value > 0xFFF7;
    case FS_FAT12: return value > 0xFF7;
    default: return true;
    }
}

uint32_t fat_chain_collect(FatTable *t, uint32_t start, uint32_t max, uint32_t *seen, uint32_t *out)
{
    uint32_t n = 0;
    uint32_t cur = start;
    // Every cluster is taken at most once (seen), so the walk ends after at
    // most max steps even on a FAT that loops.
    while (n < max && fat_cluster_valid(*t->L, cur) && !bit_test(seen, cur)) {
        bit_set(seen, cur);
        out[n++] = cur;
        uint32_t next;
        if (fat_table_entry(t, cur, &next) != OK)
            break;
        if (next == 0 || fat_is_eoc(*t->L, next))
            break;
        cur = next;
    }
    return n;
}

uint32_t fat_free_run(FatTable *t, uint32_t start, uint32_t max)
{
    uint32_t n = 0;
    for (uint32_t c = start; n < max && fat_cluster_valid(*t->L, c); c++, n++) {
        uint32_t v;
        if (fat_table_entry(t, c, &v) != OK || v != 0)
            break;
    }
    return n;
}

}  // namespace polder
