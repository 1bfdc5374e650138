/*
 * GUID partition tables.  A disk whose MBR holds the protective entry 0xEE
 * arrives here through the dynamic-disk reader, which goes on only when
 * the table holds no ordinary partition.
 */
#include "merrow_i.h"
#include "RAID.h"

#include <cstdlib>
#include <cstring>

namespace {

/* Partition type GUIDs in on-disk byte order; the index decides the action. */
const uint8_t kGptTypes[16][16] = {
    {0xAA, 0xC8, 0x08, 0x58, 0x8F, 0x7E, 0xE0, 0x42, 0x85, 0xD2, 0xE1, 0xE9, 0x04, 0x34, 0xCF, 0xB3},  /* LDM metadata */
    {0x16, 0xE3, 0xC9, 0xE3, 0x5C, 0x0B, 0xB8, 0x4D, 0x81, 0x7D, 0xF9, 0x2D, 0xF0, 0x02, 0x15, 0xAE},  /* Microsoft reserved */
    {0xA0, 0x60, 0x9B, 0xAF, 0x31, 0x14, 0x62, 0x4F, 0xBC, 0x68, 0x33, 0x11, 0x71, 0x4A, 0x69, 0xAD},  /* LDM data */
    {0x00, 0x53, 0x46, 0x48, 0x00, 0x00, 0xAA, 0x11, 0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC},  /* Apple HFS+ */
    {0x00, 0x53, 0x46, 0x55, 0x00, 0x00, 0xAA, 0x11, 0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC},  /* Apple UFS */
    {0x44, 0x49, 0x41, 0x52, 0x00, 0x00, 0xAA, 0x11, 0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC},  /* Apple RAID */
    {0x44, 0x49, 0x41, 0x52, 0x4F, 0x5F, 0xAA, 0x11, 0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC},  /* Apple RAID offline */
    {0x74, 0x6F, 0x6F, 0x42, 0x00, 0x00, 0xAA, 0x11, 0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC},  /* Apple boot */
    {0x65, 0x62, 0x61, 0x4C, 0x00, 0x6C, 0xAA, 0x11, 0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC},  /* Apple label */
    {0x6F, 0x63, 0x65, 0x52, 0x65, 0x76, 0xAA, 0x11, 0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC},  /* Apple TV recovery */
    {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11, 0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B},  /* EFI system */
    {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44, 0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7},  /* basic data */
    {}, {}, {}, {},
};

enum GptAction {
    kLdmMetadata = 0,
    kLdmData = 2,
    kAppleHfs = 3,
    kEfiSystem = 10,
    kBasicData = 11,
    kUnknownType = -1,
};

/* Upper bound on the entry array we read: 1 MiB holds 8192 entries of 128
 * bytes, sixty times what partitioning tools create. */
const uint32_t kMaxEntryBytes = 1024 * 1024;

int gpt_type_index(const uint8_t *guid)
{
    for (int i = 0; i < 12; i++)
        if (memcmp(guid, kGptTypes[i], 16) == 0)
            return i;
    return kUnknownType;
}

bool is_zero(const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (p[i])
            return false;
    return true;
}

/* The GPT header: the primary at LBA 1, else the backup in the last
 * sector (a damaged primary is what recovery is for), else whatever LBA 1
 * holds. */
uint8_t *read_gpt_header(_Device_List *node)
{
    Physics_Device_Struct *dev = sv_node_dev(node);
    uint32_t ss = (uint32_t)dev->SectorSize;
    uint8_t *primary = sv_read_block(node, ss, ss);
    if (primary && memcmp(primary, "EFI PART", 8) == 0)
        return primary;
    uint64_t sectors = dev->DiskSize / ss;
    if (sectors >= 3) {
        uint8_t *backup = sv_read_block(node, (sectors - 1) * ss, ss);
        if (backup && memcmp(backup, "EFI PART", 8) == 0) {
            free(primary);
            return backup;
        }
        free(backup);
    }
    return primary;
}

}  // namespace

int Get_MAC_Type(_Device_List *node, uint64_t offset)
{
    Physics_Device_Struct *dev = sv_node_dev(node);
    if (!dev || !sv_sector_size_ok(dev))
        return 0;
    auto *scratch = static_cast<Partiton_Struct *>(MALLOC(sizeof(Partiton_Struct)));
    scratch->PartOffset = offset;
    uint8_t type = 0;
    if (check_FAT(node, scratch) == 0)
        type = scratch->FsType == FS_FAT32 ? 0x0B : scratch->FsType == FS_FAT16 ? 0x04 : 0x01;
    else if (check_NTFS(node, scratch) == 0 || check_EXFAT(node, scratch) == 0)
        type = 0x07;
    else if (check_EXT(node, scratch) == 0)
        type = 0x83;
    else if (check_HFSP(node, scratch) == 0 || check_HFS(node, scratch) == 0)
        type = 0xAF;
    Free_Par(scratch);
    if (!type)
        return 0;
    InFoDisk e{};
    e.Type = type;
    uint64_t first = offset / (uint32_t)dev->SectorSize;
    e.FirstSector = first > UINT32_MAX ? UINT32_MAX : (uint32_t)first;
    Add_Partition_List(sv_full_part_at(node, &e, offset));
    return 1;
}

int Init_GTP_DataOffset(_Device_List *node, GPT_INFO *info)
{
    Physics_Device_Struct *dev = sv_node_dev(node);
    if (!dev || !sv_sector_size_ok(dev))
        return 0;
    GPT_INFO scratch_info;
    if (!info) {
        memset(&scratch_info, 0, sizeof scratch_info);
        info = &scratch_info;
    }
    uint32_t ss = (uint32_t)dev->SectorSize;
    uint8_t *hdr = read_gpt_header(node);
    if (!hdr)
        return 0;
    uint64_t table_lba = sv_ld_le64(hdr + 72);
    uint32_t count = sv_ld_le32(hdr + 80);
    uint32_t esize = sv_ld_le32(hdr + 84);
    free(hdr);
    /* Entries are 128 bytes, or a larger power of two of that. */
    if (esize < 128 || esize > 4096 || (esize & (esize - 1)) != 0)
        esize = 128;
    uint64_t disk_sectors = dev->DiskSize / ss;
    if (count == 0 || table_lba == 0 || table_lba >= disk_sectors)
        return 0;
    /* Only whole entries that exist on the medium, and at most 1 MiB. */
    uint64_t room = dev->DiskSize - table_lba * ss;
    uint64_t want = (uint64_t)count * esize;
    if (want > kMaxEntryBytes)
        want = kMaxEntryBytes / esize * esize;
    if (want > room)
        want = room / esize * esize;
    if (want == 0)
        return 0;
    uint8_t *table = sv_read_block(node, table_lba * ss, (uint32_t)want);
    if (!table)
        return 0;

    bool added = false;
    for (uint64_t off = 0; want - off >= esize; off += esize) {
        const uint8_t *e = table + off;
        uint64_t first = sv_ld_le64(e + 32);
        /* Unused slots may sit between used ones. */
        if (first == 0 || is_zero(e, 16))
            continue;
        if (first >= disk_sectors)
            continue;
        uint64_t offset = first * ss;
        InFoDisk fab{};
        fab.FirstSector = first > UINT32_MAX ? UINT32_MAX : (uint32_t)first;
        switch (gpt_type_index(e)) {
        case kLdmMetadata:
            info->MetadataLocation = offset;
            break;
        case kLdmData:
            info->DataStart = offset;
            break;
        case kAppleHfs:
        case kEfiSystem:
            info->MetadataLocation = offset;
            fab.Type = gpt_type_index(e) == kAppleHfs ? 0xAF : 0x0B;
            Add_Partition_List(sv_full_part_at(node, &fab, offset));
            added = true;
            break;
        case kBasicData:
            info->MetadataLocation = offset;
            Get_MAC_Type(node, offset);
            added = true;
            break;
        case kUnknownType:
            /* Types the table does not name (Linux file systems, ...):
             * listed when a known file system is found in them. */
            if (Get_MAC_Type(node, offset))
                added = true;
            break;
        default:
            break;
        }
    }
    free(table);
    return added ? 0 : 1;
}
