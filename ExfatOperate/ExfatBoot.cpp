/*
 * The boot region: the main boot sector's layout fields and the region's
 * checksum.
 */
#include "hollin_i.h"

#include <cstring>

namespace hollin {

uint32_t boot_checksum(const uint8_t *region, uint32_t bytesPerSector)
{
    uint32_t sum = 0;
    const uint32_t n = bytesPerSector * 11;
    for (uint32_t i = 0; i < n; i++) {
        // VolumeFlags and PercentInUse change while the volume is in use.
        if (i == 106 || i == 107 || i == 112)
            continue;
        sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + region[i];
    }
    return sum;
}

int boot_parse(sv_view region, uint64_t partSize, Layout *out)
{
    uint16_t sig;
    uint64_t volSectors;
    uint32_t fatOff, fatLen, heapOff, count, root;
    uint16_t flags;
    uint8_t bps, spc, fats;
    if (!sv_le16(region, 510, &sig) || !sv_le64(region, 72, &volSectors) || !sv_le32(region, 80, &fatOff) ||
        !sv_le32(region, 84, &fatLen) || !sv_le32(region, 88, &heapOff) || !sv_le32(region, 92, &count) ||
        !sv_le32(region, 96, &root) || !sv_le16(region, 106, &flags) || !sv_u8(region, 108, &bps) ||
        !sv_u8(region, 109, &spc) || !sv_u8(region, 110, &fats))
        return BOOT_SHORT;
    if (sig != 0xAA55 || memcmp(region.data + 3, "EXFAT   ", 8) != 0)
        return BOOT_SIGNATURE;
    if (bps < 9 || bps > 12)
        return BOOT_SECTOR_SIZE;
    if (spc > 25 - bps)
        return BOOT_CLUSTER_SIZE;
    if (fats != 1 && fats != 2)
        return BOOT_FATS;

    Layout L{};
    L.sectorShift = bps;
    L.clusterShift = spc;
    L.bytesPerSector = 1u << bps;
    L.clusterSize = 1u << (bps + spc);
    // Volume size in bytes, capped by the partition.
    uint64_t vol = volSectors > (UINT64_MAX >> bps) ? UINT64_MAX : volSectors << bps;
    if (partSize && vol > partSize)
        vol = partSize;
    L.volumeBytes = vol;
    const uint64_t volS = vol >> bps;

    // FATs lie after the boot regions and before the heap.
    if (fatOff < 24 || fatLen == 0 || fatOff >= volS || volS - fatOff < (uint64_t)fatLen * fats)
        return BOOT_FAT_PLACE;
    if (heapOff < fatOff || heapOff - fatOff < (uint64_t)fatLen * fats || heapOff >= volS)
        return BOOT_HEAP_PLACE;
    L.activeFat = (fats == 2 && (flags & 1)) ? 1 : 0;
    L.fatOffset = ((uint64_t)fatOff + (uint64_t)L.activeFat * fatLen) << bps;
    L.fatBytes = (uint64_t)fatLen << bps;
    L.heapOffset = (uint64_t)heapOff << bps;

    // Only clusters that lie inside the volume and have a FAT entry.
    uint64_t fit = (volS - heapOff) >> spc;
    uint64_t inFat = L.fatBytes / 4 > 2 ? L.fatBytes / 4 - 2 : 0;
    uint64_t n = count;
    if (n > fit)
        n = fit;
    if (n > inFat)
        n = inFat;
    if (n > 0xFFFFFFF5ull)
        n = 0xFFFFFFF5ull;
    if (n == 0)
        return BOOT_NO_CLUSTERS;
    L.clusterCount = (uint32_t)n;
    if (!cluster_valid(L, root))
        return BOOT_ROOT_CLUSTER;
    L.rootCluster = root;

    // The checksum sector follows the eleven sectors it covers.
    const uint32_t ss = L.bytesPerSector;
    if (sv_has(region, 0, (size_t)ss * 12)) {
        uint32_t sum = boot_checksum(region.data, ss);
        L.checksumOk = true;
        for (uint32_t off = 0; off < ss; off += 4)
            if (sv_ld_le32(region.data + (size_t)ss * 11 + off) != sum) {
                L.checksumOk = false;
                break;
            }
    }
    *out = L;
    return BOOT_OK;
}

}  // namespace hollin
