/*
 * exFAT detection and its volume label (the label entry of the root
 * directory).
 */
#include "merrow_i.h"

#include <cstdlib>
#include <cstring>

namespace {

/* The label entry (type 0x83) among the first root-directory entries. */
void exfat_label(_Device_List *node, Partiton_Struct *part, sv_view boot)
{
    uint8_t sector_shift, cluster_shift;
    uint32_t heap, root;
    if (!sv_u8(boot, 108, &sector_shift) || !sv_u8(boot, 109, &cluster_shift) ||
        !sv_le32(boot, 88, &heap) || !sv_le32(boot, 96, &root))
        return;
    if (sector_shift < 9 || sector_shift > 12 || sector_shift + cluster_shift > 25 || root < 2)
        return;
    uint64_t sector = 1ull << sector_shift;
    uint64_t cluster = sector << cluster_shift;
    uint64_t rel = (uint64_t)heap * sector + (uint64_t)(root - 2) * cluster;
    if (part->PartOffset > UINT64_MAX - rel)
        return;
    uint32_t len = (uint32_t)(cluster < 16384 ? cluster : 16384);
    uint8_t *dir = sv_read_block(node, part->PartOffset + rel, len);
    if (!dir)
        return;
    for (uint32_t off = 0; len - off >= 32; off += 32) {
        const uint8_t *e = dir + off;
        if (e[0] == 0x00)
            break;
        if (e[0] != 0x83)
            continue;
        uint8_t count = e[1] > 11 ? 11 : e[1];
        sv_utf16le_to_utf8(e + 2, count, part->VolumeName, sizeof part->VolumeName);
        break;
    }
    free(dir);
}

}  // namespace

int32_t test_EXFAT(_Device_List *node, sv_view boot, Partiton_Struct *part)
{
    (void)node;
    uint16_t sig;
    if (!part || !sv_le16(boot, 510, &sig) || sig != 0xAA55 ||
        memcmp(boot.data + 3, "EXFAT   ", 8) != 0)
        return 1;
    part->FsType = FS_EXFAT;
    return 0;
}

int32_t take_EXFAT(_Device_List *node, Partiton_Struct *part, uint8_t *buf, uint32_t len)
{
    Partiton_Struct probe{};
    if (!part || !buf || test_EXFAT(node, sv_view_make(buf, len), &probe) != 0) {
        free(buf);
        return 1;
    }
    part->FsType = FS_EXFAT;
    sv_copy_field(part->FsInfo, sizeof part->FsInfo, "exFAT", 5);
    memset(part->VolumeName, 0, sizeof part->VolumeName);
    exfat_label(node, part, sv_view_make(buf, len));
    sv_keep_boot_data(part, buf);
    return 0;
}

int32_t check_EXFAT(_Device_List *node, Partiton_Struct *part)
{
    Physics_Device_Struct *dev = sv_node_dev(node);
    if (!dev || !part || !sv_sector_size_ok(dev))
        return 1;
    uint32_t ss = (uint32_t)dev->SectorSize;
    uint8_t *buf = sv_read_block(node, part->PartOffset, ss);
    if (!buf)
        return 1;
    return take_EXFAT(node, part, buf, ss);
}
