/*
 * Building one partition record: the probes that fit the table's type
 * byte, the size from the file system's own header, and the device record
 * the partition is read through.
 */
#include "merrow_i.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

Physics_Device_Struct *sv_node_dev(_Device_List *node)
{
    return node ? static_cast<Physics_Device_Struct *>(node->data) : nullptr;
}

bool sv_sector_size_ok(const Physics_Device_Struct *dev)
{
    int32_t s = dev ? dev->SectorSize : 0;
    return s >= 512 && s <= 65536 && (s & (s - 1)) == 0;
}

uint8_t *sv_read_block(_Device_List *node, uint64_t off, uint32_t len)
{
    Physics_Device_Struct *dev = sv_node_dev(node);
    if (!dev || !dev->Ops || !dev->Ops->read || len == 0 || len > 0x7fffffffu)
        return nullptr;
    /* Only ranges that lie on the medium: a table entry pointing past the
     * end must not make us read (or allocate for) what is not there. */
    if (off > dev->DiskSize || dev->DiskSize - off < len)
        return nullptr;
    auto *buf = static_cast<uint8_t *>(MALLOC(len));
    if (dev->Ops->read(dev, buf, len, off) != (int32_t)len) {
        free(buf);
        return nullptr;
    }
    return buf;
}

uint8_t *sv_probe_block(_Device_List *node, const Partiton_Struct *part, uint64_t off, uint32_t len,
                        sv_probe_test test, Partiton_Struct *probe, int32_t *rc)
{
    *rc = 1;
    if (!part || part->PartOffset > UINT64_MAX - off)
        return nullptr;
    uint8_t *buf = sv_read_block(node, part->PartOffset + off, len);
    if (!buf)
        return nullptr;
    *probe = Partiton_Struct{};
    probe->PartSize = part->PartSize;
    *rc = test(node, sv_view_make(buf, len), probe);
    if (*rc != 0) {
        free(buf);
        return nullptr;
    }
    return buf;
}

void sv_keep_boot_data(Partiton_Struct *part, uint8_t *buf)
{
    free(part->BootData);
    part->BootData = buf;
}

void Get_Part_Type(_Device_List *node, const InFoDisk *entry, Partiton_Struct *part)
{
    struct Probe {
        int32_t (*fn)(_Device_List *, Partiton_Struct *);
        const char *name;
    };
    static const Probe fat_first[] = {{check_FAT, "FAT"}, {check_EXT, "ext"}, {nullptr, nullptr}};
    static const Probe ntfs_first[] = {
        {check_NTFS, "NTFS"}, {check_EXFAT, "exFAT"}, {check_EXT, "ext"}, {nullptr, nullptr}};
    static const Probe ext_only[] = {{check_EXT, "ext"}, {nullptr, nullptr}};
    static const Probe dynamic[] = {{check_NTFS, "NTFS"}, {check_FAT, "FAT"}, {nullptr, nullptr}};
    static const Probe apple[] = {{check_HFSP, "HFS+"}, {check_HFS, "HFS"}, {check_FAT, "FAT"},
                                  {check_NTFS, "NTFS"}, {check_EXT, "ext"}, {check_EXFAT, "exFAT"},
                                  {nullptr, nullptr}};
    const Probe *order = nullptr;
    switch (entry->Type) {
    case 0x01: case 0x04: case 0x06: case 0x0B: case 0x0C: case 0x0E:
    case 0x11: case 0x14: case 0x16: case 0x1B: case 0x1C: case 0x1E:
        order = fat_first;
        break;
    case 0x07: case 0x17:
        order = ntfs_first;
        break;
    case 0x83:
        order = ext_only;
        break;
    case 0x42: case 0xEE:
        order = dynamic;
        break;
    case 0xAF:
        order = apple;
        break;
    default:
        sv_reject(node, part->PartOffset, "entry of type 0x%02X: not a file system Salvitra reads",
                  entry->Type);
        return;
    }
    char why[224];
    size_t used = 0;
    why[0] = '\0';
    for (; order->fn; order++) {
        sv_probe_reason_clear();
        int32_t code = order->fn(node, part);
        if (code == 0)
            return;
        const char *r = sv_probe_reason();
        int n = *r ? snprintf(why + used, sizeof why - used, "%s%s", used ? "; " : "", r)
                   : snprintf(why + used, sizeof why - used, "%sno %s volume (check %d)", used ? "; " : "",
                              order->name, (int)code);
        if (n > 0)
            used = (size_t)n < sizeof why - used ? used + (size_t)n : sizeof why - 1;
    }
    sv_reject(node, part->PartOffset, "entry of type 0x%02X: %s", entry->Type, why);
}

/* Where a file system's identifying bytes lie relative to its first byte. */
static uint64_t boot_data_offset(int32_t fs_type)
{
    return (fs_type >= FS_EXT2 && fs_type <= FS_HFSX) ? 1024 : 0;
}

void sv_private_copy(_Device_List *node, Partiton_Struct *part)
{
    auto *copy = static_cast<Physics_Device_Struct *>(MALLOC(sizeof(Physics_Device_Struct)));
    *copy = *sv_node_dev(node);
    copy->OwnerPartition = part;
    part->Device = copy;
    part->AccessMode = '?';
}

/* A candidate device carries this partition when its bytes at the place the
 * file system was identified from equal the partition's BootData. */
static bool device_carries(Physics_Device_Struct *d, const Partiton_Struct *part, uint32_t len,
                           uint64_t at)
{
    if (!d->Ops || !d->Ops->read || d->DiskSize < at || d->DiskSize - at < len)
        return false;
    auto *buf = static_cast<uint8_t *>(MALLOC(len));
    bool same = d->Ops->read(d, buf, len, at) == (int32_t)len &&
                memcmp(buf, part->BootData, len) == 0;
    free(buf);
    return same;
}

void sv_choose_device(_Device_List *node, Partiton_Struct *part, uint32_t cmp_len)
{
    uint64_t cmp_offset = boot_data_offset(part->FsType);
    for (_Device_List *n = node; n && part->BootData; n = n->next) {
        auto *d = static_cast<Physics_Device_Struct *>(n->data);
        if (d->Used != 0)
            continue;
        if (!device_carries(d, part, cmp_len, cmp_offset))
            continue;
        part->Device = d;
        d->Used = 1;
        part->AccessMode = d->DevName[4];
        return;
    }
    sv_private_copy(node, part);
}

void sv_size_from_boot(Partiton_Struct *part, uint32_t ss, uint32_t *cmp_len)
{
    /* The size the file system gives itself; BootData holds at least one
     * sector (512 bytes) for every type. */
    const uint8_t *b = part->BootData;
    *cmp_len = 512;
    if (!b)
        return;
    switch (part->FsType) {
    case FS_FAT12:
    case FS_FAT16:
    case FS_FAT32: {
        uint64_t t = sv_ld_le16(b + 19);
        if (t == 0)
            t = sv_ld_le32(b + 32);
        part->PartSize = t * ss;
        *cmp_len = ss;
        break;
    }
    case FS_NTFS:
        part->PartSize = (sv_ld_le64(b + 40) + 1) * ss;
        *cmp_len = ss;
        break;
    case FS_EXFAT: {
        /* Volume length counts the file system's own sectors. */
        uint8_t shift = b[108];
        uint64_t unit = (shift >= 9 && shift <= 12) ? (1ull << shift) : ss;
        part->PartSize = sv_ld_le64(b + 72) * unit;
        *cmp_len = ss;
        break;
    }
    case FS_EXT2:
    case FS_EXT3:
    case FS_EXT4:
        part->PartSize = (uint64_t)sv_ld_le32(b + 4) << (10 + sv_ld_le32(b + 24));
        *cmp_len = 1024;
        break;
    case FS_HFS:
        part->PartSize = (uint64_t)sv_ld_be16(b + 18) * sv_ld_be32(b + 20);
        break;
    case FS_HFSPLUS:
    case FS_HFSX:
        part->PartSize = (uint64_t)sv_ld_be32(b + 44) * sv_ld_be32(b + 40);
        break;
    default:
        break;
    }
}

/* A volume ends where its partition or device ends, whatever its own
 * header claims: scans, reads and progress are sized by what can be read.
 * The claim is noted for the front ends. */
void sv_cap_to_medium(const Physics_Device_Struct *dev, const InFoDisk *entry, Partiton_Struct *part)
{
    uint64_t room = dev->DiskSize > part->PartOffset ? dev->DiskSize - part->PartOffset : 0;
    bool by_table = false;
    /* A real table entry's length (not the stand-in of a bare volume, nor
     * the entries of a dynamic disk or GPT that carry none). */
    bool sized = entry && entry->SectorCount != 0 && entry->SectorCount != 0xFFFFFFFFu && entry->Type != 0x42 &&
                 entry->Type != 0xEE;
    if (sized) {
        uint64_t len = (uint64_t)entry->SectorCount * (uint32_t)dev->SectorSize;
        if (len < room) {
            room = len;
            by_table = true;
        }
    }
    if (part->PartSize <= room)
        return;
    const char *source = part->FsType >= FS_EXT2 && part->FsType <= FS_EXT4 ? "superblock"
                         : part->FsType >= FS_HFS                            ? "volume header"
                                                                             : "boot sector";
    sv_note_size_claim(part, part->PartSize, room, by_table, source);
    part->PartSize = room;
}

Partiton_Struct *sv_full_part_at(_Device_List *node, const InFoDisk *entry, uint64_t offset)
{
    Physics_Device_Struct *dev = sv_node_dev(node);
    if (!dev || !entry || !sv_sector_size_ok(dev))
        return nullptr;
    if (entry->Type != 0x42 && entry->Type != 0xEE && offset >= dev->DiskSize) {
        sv_reject(node, offset, "entry of type 0x%02X starts past the end of the device (%llu bytes)", entry->Type,
                  (unsigned long long)dev->DiskSize);
        return nullptr;
    }
    auto *part = static_cast<Partiton_Struct *>(MALLOC(sizeof(Partiton_Struct)));
    uint64_t ss = (uint32_t)dev->SectorSize;
    if (entry->Type == 0x42 || entry->Type == 0xEE) {
        part->PartOffset = Get_NewsPartition_Offset();
        part->Bootable = 0;
    } else {
        part->PartOffset = offset;
        part->Bootable = entry->BootIndicator == 0x80 ? 1 : 0;
    }
    Get_Part_Type(node, entry, part);
    if (!part->BootData) {
        Free_Par(part);
        return nullptr;
    }
    part->DevNum = dev->DevNum;

    uint32_t cmp_len = 512;
    sv_size_from_boot(part, (uint32_t)ss, &cmp_len);
    sv_cap_to_medium(dev, entry, part);
    sv_choose_device(node, part, cmp_len);
    part->ExtraBuf = nullptr;
    sv_note_alternatives(node, part);
    return part;
}

Partiton_Struct *Full_Part_Struct(_Device_List *node, const InFoDisk *entry)
{
    Physics_Device_Struct *dev = sv_node_dev(node);
    if (!dev || !entry)
        return nullptr;
    return sv_full_part_at(node, entry, (uint64_t)entry->FirstSector * (uint32_t)dev->SectorSize);
}
