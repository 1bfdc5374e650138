/*
 * FAT12/16/32 detection: the boot-sector checks, the cluster count that
 * decides the FAT width, and the volume label (root directory first, then
 * the boot sector).
 */
#include "merrow_i.h"

#include <cstdlib>
#include <cstring>

namespace {

/* What the boot sector tells about the volume's layout. */
struct FatGeometry {
    uint32_t bps, spc, reserved, nfats, root_entries;
    uint64_t fat_size, total, root_sectors, clusters;
    uint32_t root_cluster;
    int32_t type;
};

bool is_power_of_two_upto(uint32_t v, uint32_t max)
{
    return v != 0 && v <= max && (v & (v - 1)) == 0;
}

/* Minimum FAT length in sectors for C clusters. */
uint64_t min_fat_sectors(int32_t type, uint64_t c, uint64_t ss)
{
    switch (type) {
    case FS_FAT12:
        return ((3 * (c + 2 * ss / 3) + 3) / 2) / ss;
    case FS_FAT16:
        return ((ss + 2 * c + 2) & ~1ull) / ss;
    default:
        return ((ss + 4 * c + 4) & ~3ull) / ss;
    }
}

/* 0 when the boot sector describes a FAT volume on this device. */
int32_t parse_fat(sv_view b, uint32_t sector_size, uint64_t part_size, FatGeometry *g)
{
    if (!sv_has(b, 0, 512))
        return 1;
    const uint8_t *p = b.data;
    if (sv_ld_le16(p + 510) != 0xAA55 || (p[0] != 0xEB && p[0] != 0xE9) ||
        (p[16] != 1 && p[16] != 2) || (p[0] == 0xEB && p[2] != 0x90))
        return 1;
    g->bps = sv_ld_le16(p + 11);
    if (g->bps != sector_size)
        return sv_probe_fail(2, "FAT boot sector with %u-byte sectors on a device of %u-byte sectors: not supported",
                             (unsigned)g->bps, (unsigned)sector_size);
    g->spc = p[13];
    if (!is_power_of_two_upto(g->spc, 128))
        return sv_probe_fail(3, "FAT boot sector with %u sectors per cluster: not a power of two up to 128",
                             (unsigned)g->spc);
    if (p[21] != 0xF0 && p[21] < 0xF8)
        return sv_probe_fail(4, "FAT boot sector with media byte 0x%02X: not a FAT volume", p[21]);
    g->reserved = sv_ld_le16(p + 14);
    g->nfats = p[16];
    g->root_entries = sv_ld_le16(p + 17);
    uint16_t fat16 = sv_ld_le16(p + 22);
    uint16_t total16 = sv_ld_le16(p + 19);
    g->fat_size = fat16 ? fat16 : sv_ld_le32(p + 36);
    g->total = total16 ? total16 : sv_ld_le32(p + 32);
    g->root_sectors = ((uint64_t)g->root_entries * 32 + g->bps - 1) / g->bps;
    uint64_t overhead = g->reserved + g->nfats * g->fat_size + g->root_sectors;
    /* No room for a single cluster: not a volume (the unsigned difference
     * would otherwise wrap into a huge cluster count). */
    if (g->total <= overhead)
        return sv_probe_fail(5, "FAT boot sector whose tables fill the whole volume: no room for data");
    g->clusters = (g->total - overhead) / g->spc;
    g->root_cluster = sv_ld_le32(p + 44);

    /* A FAT32-shaped boot sector (no 16-bit FAT size, no fixed root
     * directory) is FAT32 whatever its cluster count: formatters make
     * such small FAT32 volumes, and reading them as FAT12/16 would fail. */
    bool fat32_shape = fat16 == 0 && g->root_entries == 0 && g->fat_size != 0;
    if (fat32_shape) {
        g->type = FS_FAT32;
        if (g->root_cluster < 2 || g->root_cluster >= g->clusters + 2)
            return 6;
    } else if (g->clusters <= 4084) {
        g->type = FS_FAT12;
        if (g->root_entries == 0 || g->root_entries % 16 != 0 || fat16 < 1 || fat16 > 256)
            return 6;
    } else if (g->clusters <= 65524) {
        g->type = FS_FAT16;
        if (fat16 == 0 || g->root_entries == 0 || g->root_entries % 16 != 0)
            return 6;
    } else {
        g->type = FS_FAT32;
        if (total16 != 0 || g->root_entries != 0 || g->root_cluster < 2 ||
            g->root_cluster >= g->clusters + 2)
            return 6;
    }
    if (part_size != 0 && g->total > part_size / sector_size)
        return sv_probe_fail(7, "FAT volume of %llu sectors in a partition of %llu: larger than its partition",
                             (unsigned long long)g->total, (unsigned long long)(part_size / sector_size));
    if (g->fat_size < min_fat_sectors(g->type, g->clusters, sector_size))
        return sv_probe_fail(7, "FAT of %llu sectors too small for %llu clusters",
                             (unsigned long long)g->fat_size, (unsigned long long)g->clusters);
    return 0;
}

/* The root directory's volume-label entry, if a valid one comes before the
 * end marker.  Long-name entries, deleted entries and files are skipped. */
bool label_from_directory(Partiton_Struct *part, sv_view dir)
{
    for (size_t off = 0; sv_has(dir, off, 32); off += 32) {
        const uint8_t *e = dir.data + off;
        if (e[0] == 0)
            break;
        uint8_t attr = e[11];
        if ((attr & 0x0F) == 0x0F || !(attr & 0x08) || e[0] == 0xE5)
            continue;
        set_part_name_chomp(part, reinterpret_cast<const char *>(e), 11);
        if (!check_VFAT_volume_name(part->VolumeName))
            part->VolumeName[0] = '\0';
        return part->VolumeName[0] != '\0';
    }
    return false;
}

/* "NO NAME" is what formatters write when the volume has no label. */
bool is_placeholder_label(const char *name)
{
    return strcmp(name, "NO NAME") == 0;
}

void set_FAT_info(_Device_List *node, Partiton_Struct *part, sv_view boot, const FatGeometry &g)
{
    const char *info = g.type == FS_FAT32 ? "FAT32" : g.type == FS_FAT16 ? "FAT16" : "FAT12";
    sv_copy_field(part->FsInfo, sizeof part->FsInfo, info, strlen(info));
    memset(part->VolumeName, 0, sizeof part->VolumeName);

    /* The label entry lies among the first entries of the root directory;
     * a bounded read of its start is enough. */
    const uint64_t kMaxDirRead = 64 * 1024;
    uint64_t ss = g.bps;
    uint64_t dir_sector = g.reserved + g.nfats * g.fat_size;
    uint64_t dir_len;
    if (g.type == FS_FAT32) {
        dir_sector += (uint64_t)g.spc * (g.root_cluster - 2);
        dir_len = (uint64_t)g.spc * ss;
    } else {
        dir_len = g.root_sectors * ss;
    }
    if (dir_len > kMaxDirRead)
        dir_len = kMaxDirRead;
    bool found = false;
    if (dir_len != 0 && part->PartOffset <= UINT64_MAX - dir_sector * ss) {
        uint8_t *dir = sv_read_block(node, part->PartOffset + dir_sector * ss, (uint32_t)dir_len);
        if (dir) {
            found = label_from_directory(part, sv_view_make(dir, dir_len));
            free(dir);
        }
    }
    if (found)
        return;
    const uint8_t *p = boot.data;
    if (g.type == FS_FAT32)
        set_part_name_chomp(part, reinterpret_cast<const char *>(p + 71), 11);
    else if (p[38] == 0x29)
        set_part_name_chomp(part, reinterpret_cast<const char *>(p + 43), 11);
    if (!check_VFAT_volume_name(part->VolumeName) || is_placeholder_label(part->VolumeName))
        memset(part->VolumeName, 0, sizeof part->VolumeName);
}

}  // namespace

void set_part_name_chomp(Partiton_Struct *part, const char *src, size_t len)
{
    sv_copy_field(part->VolumeName, sizeof part->VolumeName, src, len);
    size_t n = strlen(part->VolumeName);
    while (n > 0 && part->VolumeName[n - 1] == ' ')
        part->VolumeName[--n] = '\0';
}

bool check_VFAT_volume_name(const char *name)
{
    for (const char *c = name; *c; c++) {
        uint8_t u = (uint8_t)*c;
        if (u < 0x20 || u >= 0x80 || strchr("\"*/:<>?\\|", u))
            return false;
    }
    return true;
}

int32_t test_FAT(_Device_List *node, sv_view boot, Partiton_Struct *part)
{
    Physics_Device_Struct *dev = sv_node_dev(node);
    if (!dev || !part)
        return 1;
    FatGeometry g{};
    int32_t rc = parse_fat(boot, (uint32_t)dev->SectorSize, part->PartSize, &g);
    if (rc == 0)
        part->FsType = g.type;
    return rc;
}

int32_t take_FAT(_Device_List *node, Partiton_Struct *part, uint8_t *buf, uint32_t len)
{
    Physics_Device_Struct *dev = sv_node_dev(node);
    if (!dev || !part || !buf || !sv_sector_size_ok(dev) || len < (uint32_t)dev->SectorSize) {
        free(buf);
        return 1;
    }
    sv_view boot = sv_view_make(buf, len);
    FatGeometry g{};
    int32_t rc = parse_fat(boot, (uint32_t)dev->SectorSize, part->PartSize, &g);
    if (rc != 0) {
        free(buf);
        return rc;
    }
    part->FsType = g.type;
    set_FAT_info(node, part, boot, g);
    sv_keep_boot_data(part, buf);
    return 0;
}

int32_t check_FAT(_Device_List *node, Partiton_Struct *part)
{
    Physics_Device_Struct *dev = sv_node_dev(node);
    if (!dev || !part || !sv_sector_size_ok(dev))
        return 1;
    uint32_t ss = (uint32_t)dev->SectorSize;
    uint8_t *buf = sv_read_block(node, part->PartOffset, ss);
    if (!buf)
        return 1;
    return take_FAT(node, part, buf, ss);
}
