/*
 * HFS (Mac OS Standard) detection from the master directory block at byte
 * 1024, with the volume name.
 */
#include "merrow_i.h"

#include <cstdlib>
#include <cstring>

/* Largest volume an HFS master directory block can describe. */
static const uint64_t kHfsMaxBytes = 0x20040000000ull;

int32_t test_HFS(_Device_List *node, sv_view mdb, Partiton_Struct *part)
{
    (void)node;
    if (!part || !sv_has(mdb, 0, 512))
        return 1;
    const uint8_t *p = mdb.data;
    if (p[0] != 'B' || p[1] != 'D')
        return 1;
    uint16_t blocks = sv_ld_be16(p + 18);
    uint32_t block_size = sv_ld_be32(p + 20);
    uint16_t first_block = sv_ld_be16(p + 28);
    uint16_t free_blocks = sv_ld_be16(p + 34);
    if (block_size == 0 || block_size % 512 != 0)
        return 2;
    if (blocks == 0)
        return 3;
    if (free_blocks > blocks)
        return 4;
    if ((uint64_t)blocks * block_size + (uint64_t)first_block * 512 + 1024 > kHfsMaxBytes)
        return 5;
    part->FsType = FS_HFS;
    return 0;
}

int32_t check_HFS(_Device_List *node, Partiton_Struct *part)
{
    if (!sv_node_dev(node) || !part)
        return 1;
    Partiton_Struct probe;
    int32_t rc;
    uint8_t *buf = sv_probe_block(node, part, 1024, 512, test_HFS, &probe, &rc);
    if (!buf)
        return rc;
    part->FsType = FS_HFS;
    sv_copy_field(part->FsInfo, sizeof part->FsInfo, "HFS", 3);
    /* A Pascal string of at most 27 Mac OS Roman characters. */
    uint8_t n = buf[36] > 27 ? 27 : buf[36];
    sv_macroman_to_utf8(buf + 37, n, part->VolumeName, sizeof part->VolumeName);
    sv_keep_boot_data(part, buf);
    return 0;
}
