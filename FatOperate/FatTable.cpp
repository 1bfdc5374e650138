/*
 * FAT lookups.  The table is cached in windows of 1 MiB (up to 64 of
 * them, so that the FAT of a volume of a few hundred GiB stays in memory
 * whole) and, once fat_table_scan has read it from end to end in large
 * sequential reads, summed up in a bitmap of the clusters in use: free
 * tests then cost no read at all.  A window that could not be read is not
 * kept.
 */
#include "polder_i.h"

#include <cstdlib>
#include <cstring>

namespace polder {

constexpr uint32_t kWindowBytes = 1024 * 1024;
constexpr uint32_t kMaxWindows = 64;

void fat_table_open(FatTable *t, Physics_Device_Struct *dev, uint64_t limit, const FatLayout *L)
{
    fat_table_close(t);
    t->dev = dev;
    t->limit = limit;
    t->L = L;
    t->fatBytes = (uint64_t)L->sectorsPerFat * L->bytesPerSector;
    // A whole number of sectors, at least one.
    t->windowCap = kWindowBytes / L->bytesPerSector * L->bytesPerSector;
    if (t->windowCap == 0)
        t->windowCap = L->bytesPerSector;
    uint64_t windows = (t->fatBytes + t->windowCap - 1) / t->windowCap;
    t->slots = (uint32_t)(windows < kMaxWindows ? (windows ? windows : 1) : kMaxWindows);
    t->slotData = static_cast<uint8_t **>(MALLOC(sizeof(uint8_t *) * t->slots));
    t->slotWindow = static_cast<uint64_t *>(MALLOC(sizeof(uint64_t) * t->slots));
}

void fat_table_close(FatTable *t)
{
    if (t->slotData)
        for (uint32_t i = 0; i < t->slots; i++)
            free(t->slotData[i]);
    free(t->slotData);
    free(t->slotWindow);
    free(t->inUse);
    *t = FatTable{};
}

/*
 * The window holding FAT byte off, read when it is not cached.  Null when
 * it cannot be read (nothing is kept then, so a later lookup tries again).
 */
static const uint8_t *fat_window(FatTable *t, uint64_t window, uint32_t *len)
{
    uint32_t slot = (uint32_t)(window % t->slots);
    uint64_t start = window * t->windowCap;
    uint64_t left = t->fatBytes - start;
    *len = left < t->windowCap ? (uint32_t)left : t->windowCap;
    if (t->slotWindow[slot] == window + 1)
        return t->slotData[slot];
    if (!t->slotData[slot])
        t->slotData[slot] = static_cast<uint8_t *>(MALLOC(t->windowCap));
    t->slotWindow[slot] = 0;
    const FatLayout &L = *t->L;
    uint64_t devOff = (uint64_t)L.activeFatSectorStart * L.bytesPerSector + start;
    t->reads++;
    if (dev_read(t->dev, t->limit, devOff, *len, t->slotData[slot]) != OK)
        return nullptr;
    t->slotWindow[slot] = window + 1;
    return t->slotData[slot];
}

/* One byte of the FAT at byte offset off. */
static Status fat_byte(FatTable *t, uint64_t off, uint8_t *out)
{
    if (off >= t->fatBytes)
        return CORRUPT;
    uint32_t len;
    const uint8_t *w = fat_window(t, off / t->windowCap, &len);
    // Unreadable FAT bytes read as zeros (free), as a damaged sector
    // would.
    *out = w ? w[off % t->windowCap] : 0;
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
    if (off < t->fatBytes && t->fatBytes - off >= width && off % t->windowCap + width <= t->windowCap) {
        // The usual case: the whole entry lies in one window.
        uint32_t len;
        const uint8_t *w = fat_window(t, off / t->windowCap, &len);
        if (w)
            memcpy(b, w + off % t->windowCap, width);
    } else {
        for (uint32_t i = 0; i < width; i++)
            if (fat_byte(t, off + i, &b[i]) != OK)
                return CORRUPT;
    }
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

bool fat_table_scan(FatTable *t, const std::function<void(double)> &progress)
{
    const FatLayout &L = *t->L;
    const uint32_t words = L.maxCluster / 32 + 1;
    free(t->inUse);
    t->inUse = static_cast<uint32_t *>(MALLOC(sizeof(uint32_t) * words));
    t->highestUsed = 0;
    t->freeCount = 0;
    bit_set(t->inUse, 0);
    bit_set(t->inUse, 1);
    const uint32_t width = L.fsType == FS_FAT32 ? 4 : L.fsType == FS_FAT16 ? 2 : 0;
    if (width == 0) {
        // FAT12: at most 4084 clusters, whose entries straddle bytes.
        for (uint32_t c = 2; c <= L.maxCluster; c++) {
            uint32_t v;
            if (fat_table_entry(t, c, &v) != OK || v != 0) {
                bit_set(t->inUse, c);
                t->highestUsed = c;
            } else {
                t->freeCount++;
            }
        }
        return true;
    }
    // Window by window, in order: one large sequential read each.
    const uint64_t needBytes = ((uint64_t)L.maxCluster + 1) * width;
    const uint64_t windows = (needBytes + t->windowCap - 1) / t->windowCap;
    const uint32_t perWindow = t->windowCap / width;
    for (uint64_t w = 0; w < windows; w++) {
        if (!sv_progress_running())
            return false;
        uint64_t first = w * perWindow;
        uint64_t last = first + perWindow - 1;
        if (last > L.maxCluster)
            last = L.maxCluster;
        uint32_t len = 0;
        const uint8_t *p = w * t->windowCap < t->fatBytes ? fat_window(t, w, &len) : nullptr;
        for (uint64_t c = first < 2 ? 2 : first; c <= last; c++) {
            uint64_t at = (c - first) * width;
            bool used;
            if (!p || at + width > len) {
                used = false;  // unreadable FAT bytes read as zeros, as in a lookup
            } else if (width == 4) {
                used = (sv_ld_le32(p + at) & 0x0FFFFFFF) != 0;
            } else {
                used = sv_ld_le16(p + at) != 0;
            }
            if (used) {
                bit_set(t->inUse, (uint32_t)c);
                t->highestUsed = (uint32_t)c;
            } else {
                t->freeCount++;
            }
        }
        if (progress)
            progress((double)(w + 1) / (double)windows);
    }
    return true;
}

bool fat_cluster_in_use(FatTable *t, uint32_t cluster)
{
    if (!fat_cluster_valid(*t->L, cluster))
        return true;
    if (t->inUse)
        return bit_test(t->inUse, cluster);
    uint32_t v;
    return fat_table_entry(t, cluster, &v) != OK || v != 0;
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
    for (uint32_t c = start; n < max && fat_cluster_valid(*t->L, c); c++, n++)
        if (fat_cluster_in_use(t, c))
            break;
    return n;
}

}  // namespace polder
