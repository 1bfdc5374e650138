/*
 * The Apple partition map: a driver descriptor ("ER") in block 0, then one
 * "PM" entry per block from block 1.  All numbers are big-endian.
 */
#include "merrow_i.h"

#include <cstdlib>
#include <cstring>

namespace {

/* Entries followed per map; real maps hold a few dozen. */
const uint32_t kMaxMapEntries = 1024;

/* The map's block size from the driver descriptor; 512 unless it names
 * another usual size (CD and 4 KiB-sector media). */
uint32_t map_block_size(_Device_List *node)
{
    uint8_t *ddr = sv_read_block(node, 0, 512);
    if (!ddr)
        return 512;
    uint32_t bs = sv_ld_be16(ddr + 2);
    free(ddr);
    return (bs == 512 || bs == 1024 || bs == 2048 || bs == 4096) ? bs : 512;
}

void text_field(char *out, const uint8_t *src)
{
    memcpy(out, src, 32);
    out[32] = '\0';
}

/* Type byte for a map entry, 0 to skip it. */
uint8_t map_type(const uint8_t *entry)
{
    char type[33], name[33];
    text_field(type, entry + 48);
    text_field(name, entry + 16);
    if (strcmp(type, "Apple_UNIX_SVR2") == 0)
        return (strcmp(name, "Swap") == 0 || strcmp(name, "swap") == 0) ? 0 : 0x83;
    if (strcmp(type, "Apple_HFS") == 0 || strcmp(type, "Apple_HFSX") == 0)
        return 0xAF;
    if (strcmp(type, "DOS_FAT_32") == 0)
        return 0x0B;
    return 0;
}

uint32_t compare_length(const Partiton_Struct *part, uint32_t ss)
{
    switch (part->FsType) {
    case FS_FAT12: case FS_FAT16: case FS_FAT32: case FS_NTFS: case FS_EXFAT:
        return ss;
    case FS_EXT2: case FS_EXT3: case FS_EXT4:
        return 1024;
    default:
        return 512;
    }
}

}  // namespace

void Init_Part_mac(_Device_List *node)
{
    Physics_Device_Struct *dev = sv_node_dev(node);
    if (!dev || !sv_sector_size_ok(dev))
        return;
    uint32_t bs = map_block_size(node);
    uint64_t limit = 1;
    for (uint64_t a = 1; a <= limit; a++) {
        uint8_t *entry = sv_read_block(node, a * bs, 512);
        if (!entry)
            break;
        if (entry[0] != 'P' || entry[1] != 'M') {
            free(entry);
            break;
        }
        if (a == 1) {
            /* The map's own count, bounded by the medium and a budget. */
            limit = sv_ld_be32(entry + 4);
            uint64_t blocks = dev->DiskSize / bs;
            if (limit > blocks)
                limit = blocks;
            if (limit > kMaxMapEntries)
                limit = kMaxMapEntries;
        }
        uint8_t type = map_type(entry);
        if (type == 0) {
            free(entry);
            continue;
        }
        auto *part = static_cast<Partiton_Struct *>(MALLOC(sizeof(Partiton_Struct)));
        part->PartOffset = (uint64_t)sv_ld_be32(entry + 8) * bs;
        part->PartSize = (uint64_t)sv_ld_be32(entry + 12) * bs;
        free(entry);
        InFoDisk e{};
        e.Type = type;
        Get_Part_Type(node, &e, part);
        if (!part->BootData) {
            Free_Par(part);
            continue;
        }
        part->DevNum = dev->DevNum;
        sv_choose_device(node, part, compare_length(part, (uint32_t)dev->SectorSize));
        Add_Partition_List(part);
    }
}
