/*
 * ext2/ext3/ext4 detection from the superblock at byte 1024, and the
 * description with the feature words.
 */
#include "merrow_i.h"

#include <cstdlib>
#include <cstring>

namespace {

const uint32_t kCompatHasJournal = 0x0004;
const uint32_t kIncompatRecover = 0x0004;
const uint32_t kIncompatJournalDev = 0x0008;
/* Incompatible features ext2 and ext3 know: compression, file type,
 * recovery, journal device, meta block groups.  Any other (extents,
 * 64-bit, MMP, flexible block groups, inline data, ...) makes an ext4
 * volume that an ext2/ext3 reader would misread. */
const uint32_t kIncompatExt3Known = 0x001F;
/* Read-only-compatible features of ext2/ext3: sparse superblocks, large
 * files, B-tree directories.  Everything above (huge files, group
 * descriptor checksums, nlink, extra inode size, quota, bigalloc,
 * metadata checksums, ...) came with ext4. */
const uint32_t kRoCompatExt3Known = 0x0007;
const uint32_t kRoCompatSparseSuper = 0x0001;
const uint32_t kRoCompatLargeFile = 0x0002;

}  // namespace

int32_t test_EXT(_Device_List *node, sv_view sb, Partiton_Struct *part)
{
    (void)node;
    if (!sv_has(sb, 0, 1024))
        return 1;
    const uint8_t *p = sb.data;
    uint32_t inodes = sv_ld_le32(p + 0), blocks = sv_ld_le32(p + 4);
    uint32_t free_blocks = sv_ld_le32(p + 12), free_inodes = sv_ld_le32(p + 16);
    uint32_t log_block = sv_ld_le32(p + 24);
    if (sv_ld_le16(p + 56) != 0xEF53)
        return 1;
    if (!(free_blocks < blocks))
        return 2;
    if (!(free_inodes < inodes))
        return 3;
    if (sv_ld_le16(p + 60) > 3)
        return 4;
    if (sv_ld_le16(p + 58) > 3)
        return 5;
    if (blocks == 0)
        return 6;
    if (log_block > 2)
        return 7;
    if (!part)
        return 8;
    if (part->PartSize != 0 && part->PartSize < ((uint64_t)blocks << (10 + log_block)))
        return 9;
    uint32_t compat = sv_ld_le32(p + 92);
    uint32_t incompat = sv_ld_le32(p + 96);
    uint32_t ro_compat = sv_ld_le32(p + 100);
    if ((incompat & ~kIncompatExt3Known) || (ro_compat & ~kRoCompatExt3Known))
        part->FsType = FS_EXT4;
    else if (compat & kCompatHasJournal)
        part->FsType = FS_EXT3;
    else
        part->FsType = FS_EXT2;
    return 0;
}

/* "EXT4 Large file Sparse superblock ...": whole words only, as many as
 * the field holds. */
static void ext_describe(Partiton_Struct *part, const uint8_t *p)
{
    const char *base = part->FsType == FS_EXT4 ? "EXT4" : part->FsType == FS_EXT3 ? "EXT3" : "EXT2";
    uint32_t incompat = sv_ld_le32(p + 96);
    uint32_t ro_compat = sv_ld_le32(p + 100);
    const struct {
        bool on;
        const char *word;
    } words[] = {
        {(ro_compat & kRoCompatLargeFile) != 0, " Large file"},
        {(ro_compat & kRoCompatSparseSuper) != 0, " Sparse superblock"},
        {(incompat & kIncompatRecover) != 0, " Recover"},
        {(incompat & kIncompatJournalDev) != 0, " Journal dev"},
        {sv_ld_le16(p + 90) != 0, " Backup superblock"},
    };
    char *out = part->FsInfo;
    size_t cap = sizeof part->FsInfo;
    memset(out, 0, cap);
    size_t n = strlen(base);
    memcpy(out, base, n);
    for (const auto &w : words) {
        size_t len = strlen(w.word);
        if (!w.on || cap - 1 - n < len)
            continue;
        memcpy(out + n, w.word, len);
        n += len;
    }
}

int32_t take_EXT(_Device_List *node, Partiton_Struct *part, uint8_t *buf, uint32_t len)
{
    Partiton_Struct probe{};
    if (part)
        probe.PartSize = part->PartSize;
    int32_t rc = part && buf ? test_EXT(node, sv_view_make(buf, len), &probe) : 1;
    if (rc != 0) {
        free(buf);
        return rc;
    }
    part->FsType = probe.FsType;
    ext_describe(part, buf);
    /* The volume label the user gave with mke2fs -L or e2label. */
    sv_copy_utf8_field(part->VolumeName, sizeof part->VolumeName,
                       reinterpret_cast<const char *>(buf + 120), 16);
    sv_keep_boot_data(part, buf);
    return 0;
}

int32_t check_EXT(_Device_List *node, Partiton_Struct *part)
{
    Physics_Device_Struct *dev = sv_node_dev(node);
    if (!dev || !part || !sv_sector_size_ok(dev) || part->PartOffset > UINT64_MAX - 1024)
        return 1;
    uint32_t len = 2 * (uint32_t)dev->SectorSize;
    uint8_t *buf = sv_read_block(node, part->PartOffset + 1024, len);
    if (!buf)
        return 1;
    return take_EXT(node, part, buf, len);
}
