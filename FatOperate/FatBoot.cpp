/*
 * FAT boot sector: the volume layout both searches work with.
 */
#include "polder_i.h"

namespace polder {

static bool power_of_two(uint32_t v) { return v && !(v & (v - 1)); }

int fat_layout_parse(sv_view boot, int32_t fsType, uint64_t partSize, bool strict, FatLayout *out)
{
    if (!sv_has(boot, 0, 512))
        return BOOT_SHORT;
    if (fsType < FS_FAT12 || fsType > FS_FAT32)
        return BOOT_TYPE;
    const uint8_t *b = boot.data;
    FatLayout L{};
    L.fsType = fsType;
    L.bytesPerSector = sv_ld_le16(b + 11);
    L.sectorsPerCluster = b[13];
    uint32_t reserved = sv_ld_le16(b + 14);
    L.numberOfFats = b[16];
    uint32_t rootEntries = sv_ld_le16(b + 17);
    uint32_t total16 = sv_ld_le16(b + 19);
    uint32_t total32 = sv_ld_le32(b + 32);

    if (!power_of_two(L.bytesPerSector) || L.bytesPerSector < 512 || L.bytesPerSector > 4096)
        return BOOT_SECTOR_SIZE;
    if (!power_of_two(L.sectorsPerCluster) || L.sectorsPerCluster > 128)
        return BOOT_CLUSTER_SIZE;
    if (reserved == 0)
        return BOOT_RESERVED;
    if (L.numberOfFats == 0 || L.numberOfFats > 4)
        return BOOT_FATS;
    L.clusterSize = L.bytesPerSector * L.sectorsPerCluster;

    L.sectorsPerFat = fsType == FS_FAT32 ? sv_ld_le32(b + 36) : sv_ld_le16(b + 22);
    if (L.sectorsPerFat == 0)
        return BOOT_FAT_SIZE;

    uint64_t total = total16 ? total16 : total32;
    if (partSize) {
        uint64_t fit = partSize / L.bytesPerSector;
        if (total > fit)
            total = fit;
    }
    if (total == 0)
        return BOOT_TOTAL;
    L.totalSectors = total;
    L.allClusters = total / L.sectorsPerCluster;

    L.fatSectorStart = reserved;
    L.activeFatSectorStart = reserved;
    uint64_t fatsEnd = (uint64_t)reserved + (uint64_t)L.numberOfFats * L.sectorsPerFat;
    uint64_t dataStart;
    if (fsType == FS_FAT32) {
        uint32_t flags = sv_ld_le16(b + 40);
        // Mirroring off: bits 0-3 name the one FAT in use.
        if ((flags & 0x80) && (flags & 0x0F) < L.numberOfFats)
            L.activeFatSectorStart = reserved + (flags & 0x0F) * L.sectorsPerFat;
        L.rootDirStartCluster = sv_ld_le32(b + 44);
        dataStart = fatsEnd;
    } else {
        L.rootDirSectorStart = (uint32_t)(fatsEnd > UINT32_MAX ? UINT32_MAX : fatsEnd);
        L.rootDirSectors = (rootEntries * kEntrySize + L.bytesPerSector - 1) / L.bytesPerSector;
        dataStart = fatsEnd + L.rootDirSectors;
    }
    if (dataStart >= total || dataStart > UINT32_MAX)
        return BOOT_DATA_START;
    L.dataSectorStart = (uint32_t)dataStart;

    // The highest cluster is bounded by the data area, by what the FAT can
    // hold and by the type's reserved values.
    uint64_t dataClusters = (total - dataStart) / L.sectorsPerCluster;
    uint64_t fatBytes = (uint64_t)L.sectorsPerFat * L.bytesPerSector;
    uint64_t fatEntries = fsType == FS_FAT32 ? fatBytes / 4 : fsType == FS_FAT16 ? fatBytes / 2
                                                                                  : fatBytes * 2 / 3;
    uint64_t typeMax = fsType == FS_FAT32 ? 0x0FFFFFF6u : fsType == FS_FAT16 ? 0xFFF6u : 0xFF6u;
    uint64_t maxCluster = dataClusters + 1;
    if (fatEntries == 0)
        return BOOT_FAT_SIZE;
    if (maxCluster > fatEntries - 1)
        maxCluster = fatEntries - 1;
    if (maxCluster > typeMax)
        maxCluster = typeMax;
    if (maxCluster < 2)
        return BOOT_NO_CLUSTERS;
    L.maxCluster = (uint32_t)maxCluster;

    if (strict && fsType == FS_FAT32 && !fat_cluster_valid(L, L.rootDirStartCluster))
        return BOOT_ROOT_CLUSTER;
    *out = L;
    return BOOT_OK;
}

}  // namespace polder
