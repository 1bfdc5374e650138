/*
 * HFS+ and HFSX detection from the volume header at byte 1024.
 */
#include "merrow_i.h"

#include <cstdlib>
#include <cstring>

int32_t test_HFSP(_Device_List *node, sv_view vh, Partiton_Struct *part)
{
    (void)node;
    if (!part || !sv_has(vh, 0, 512))
        return 1;
    const uint8_t *p = vh.data;
    uint16_t version = sv_ld_be16(p + 2);
    uint32_t block_size = sv_ld_be32(p + 40);
    uint32_t total = sv_ld_be32(p + 44);
    uint32_t free_blocks = sv_ld_be32(p + 48);
    if (block_size == 0 || block_size % 512 != 0)
        return 2;
    if (free_blocks > total)
        return 3;
    if (p[0] == 'H' && p[1] == '+' && version == 4)
        part->FsType = FS_HFSPLUS;
    else if (p[0] == 'H' && p[1] == 'X' && version == 5)
        part->FsType = FS_HFSX;
    else
        return 1;
    return 0;
}

int32_t take_HFSP(_Device_List *node, Partiton_Struct *part, uint8_t *buf, uint32_t len)
{
    Partiton_Struct probe{};
    int32_t rc = part && buf ? test_HFSP(node, sv_view_make(buf, len), &probe) : 1;
    if (rc != 0) {
        free(buf);
        return rc;
    }
    part->FsType = probe.FsType;
    const char *info = probe.FsType == FS_HFSX ? "HFSX" : "HFS+";
    sv_copy_field(part->FsInfo, sizeof part->FsInfo, info, 4);
    memset(part->VolumeName, 0, sizeof part->VolumeName);
    sv_keep_boot_data(part, buf);
    return 0;
}

int32_t check_HFSP(_Device_List *node, Partiton_Struct *part)
{
    if (!sv_node_dev(node) || !part || part->PartOffset > UINT64_MAX - 1024)
        return 1;
    uint8_t *buf = sv_read_block(node, part->PartOffset + 1024, 512);
    if (!buf)
        return 1;
    return take_HFSP(node, part, buf, 512);
}
