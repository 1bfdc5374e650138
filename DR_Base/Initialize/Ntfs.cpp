/*
 * NTFS detection and the volume name, taken from the $VOLUME_NAME
 * attribute of the $Volume record (the fourth MFT record).
 */
#include "merrow_i.h"

#include <cstdlib>
#include <cstring>

namespace {

const uint32_t kVolumeNameAttr = 0x60;
const uint32_t kFixupStride = 512;

/* Puts back the sector-end bytes the update sequence array stands for.
 * A record whose array does not fit or does not match is left as it is:
 * the name may still be readable from the first sector. */
void ntfs_apply_fixup(uint8_t *rec, uint32_t len)
{
    sv_view v = sv_view_make(rec, len);
    uint16_t usa_off, usa_count;
    if (!sv_le16(v, 4, &usa_off) || !sv_le16(v, 6, &usa_count) || usa_count < 2)
        return;
    if (!sv_has(v, usa_off, (size_t)usa_count * 2))
        return;
    uint32_t sectors = usa_count - 1u;
    if (sectors > len / kFixupStride)
        return;
    const uint8_t *usa = rec + usa_off;
    for (uint32_t i = 1; i <= sectors; i++) {
        uint8_t *end = rec + i * kFixupStride - 2;
        if (end[0] != usa[0] || end[1] != usa[1])
            return;
    }
    for (uint32_t i = 1; i <= sectors; i++)
        memcpy(rec + i * kFixupStride - 2, usa + 2 * i, 2);
}

/* Walks the attributes from the first one; 1 when the value was copied,
 * 0 when the record ends without it, 2 when the record is damaged. */
int32_t ntfs_get_attr_aux(const uint8_t *rec, uint32_t len, uint32_t first, uint32_t type,
                          char *name, size_t name_len)
{
    sv_view v = sv_view_make(rec, len);
    for (uint32_t a = first; a < len && len - a > 24;) {
        uint32_t atype, alen;
        if (!sv_le32(v, a, &atype))
            return 2;
        if (atype == 0xFFFFFFFFu)
            return 0;
        if (!sv_le32(v, a + 4, &alen) || alen % 8 != 0 || alen < 24 || len - a < alen)
            return 2;
        if (rec[a + 8] == 0) {
            uint32_t vlen = sv_ld_le32(rec + a + 16);
            uint16_t voff = sv_ld_le16(rec + a + 20);
            if (voff % 8 != 0 || voff >= alen || alen - voff < vlen)
                return 2;
            if (atype == type) {
                sv_utf16le_to_utf8(rec + a + voff, vlen / 2, name, name_len);
                return 1;
            }
        }
        a += alen;
    }
    return 0;
}

}  // namespace

int32_t ntfs_get_attr(uint8_t *record, uint32_t len, uint32_t type, char *name, size_t name_len)
{
    sv_view v = sv_view_make(record, len);
    uint16_t first;
    if (!sv_has(v, 0, 4) || memcmp(record, "FILE", 4) != 0 || !sv_le16(v, 20, &first) ||
        first % 8 != 0 || first < 42)
        return 2;
    return ntfs_get_attr_aux(record, len, first, type, name, name_len);
}

int32_t test_NTFS(_Device_List *node, sv_view boot, Partiton_Struct *part)
{
    (void)node;
    if (!part || !sv_has(boot, 0, 512))
        return 1;
    const uint8_t *p = boot.data;
    if (sv_ld_le16(p + 510) != 0xAA55)
        return 1;
    if (sv_ld_le16(p + 14) != 0 || p[16] || p[17] || p[18] || p[19] || p[20] ||
        sv_ld_le16(p + 22) != 0 || sv_ld_le32(p + 32) != 0)
        return 1;
    if (memcmp(p + 3, "NTFS", 4) != 0 || sv_ld_le64(p + 40) == 0)
        return 1;
    uint8_t spc = p[13];
    uint16_t bps = sv_ld_le16(p + 11);
    bool counted = spc != 0 && spc <= 128 && (spc & (spc - 1)) == 0;
    if (!counted && ntfs_cluster_bytes(p) == 0) {
        if (spc > 128 && 256 - spc <= 31 && bps) {
            /* Large clusters give their sector count as a negative power of two. */
            unsigned long long bytes = (unsigned long long)bps << (256 - spc);
            return sv_probe_fail(1, "NTFS boot sector with %llu %s clusters: not supported",
                                 bytes >= (1ull << 20) ? bytes >> 20 : bytes >> 10,
                                 bytes >= (1ull << 20) ? "MiB" : "KiB");
        }
        return sv_probe_fail(1, "NTFS boot sector with %u sectors per cluster: not supported", (unsigned)spc);
    }
    part->FsType = FS_NTFS;
    return 0;
}

uint32_t ntfs_cluster_bytes(const uint8_t *boot)
{
    uint32_t bps = sv_ld_le16(boot + 11);
    uint8_t spc = boot[13];
    if (bps < 256 || bps > 4096 || (bps & (bps - 1)) != 0 || spc == 0)
        return 0;
    uint64_t bytes;
    if (spc <= 128) {
        if (spc & (spc - 1))
            return 0;
        bytes = (uint64_t)bps * spc;
    } else {
        uint32_t shift = 256u - spc;
        if (shift > 21)
            return 0;
        bytes = (uint64_t)bps << shift;
    }
    return bytes <= (2u << 20) ? (uint32_t)bytes : 0;
}

/* The volume name from the first MFT records; empty when unreadable. */
static void ntfs_read_MFT(_Device_List *node, Partiton_Struct *part, const uint8_t *boot)
{
    uint32_t bps = sv_ld_le16(boot + 11);
    uint64_t cluster_bytes = ntfs_cluster_bytes(boot);
    int8_t per_record = (int8_t)boot[64];
    if (bps < 256 || bps > 65536 || (bps & (bps - 1)) != 0 || cluster_bytes == 0)
        return;
    /* A negative count means a record of 2^-n bytes, not clusters. */
    uint64_t rec_size;
    if (per_record > 0)
        rec_size = cluster_bytes * (uint64_t)per_record;
    else if (per_record >= -20)
        rec_size = 1ull << -per_record;
    else
        return;
    if (rec_size < 256 || rec_size > 65536)
        return;
    uint64_t mft_cluster = sv_ld_le64(boot + 48);
    if (mft_cluster > (UINT64_MAX - part->PartOffset) / cluster_bytes)
        return;
    uint32_t len = (uint32_t)(4 * rec_size);
    uint8_t *buf = sv_read_block(node, part->PartOffset + mft_cluster * cluster_bytes, len);
    if (!buf)
        return;
    for (uint32_t off = 0; len - off >= 48;) {
        uint8_t *rec = buf + off;
        uint32_t room = len - off;
        uint32_t alloc = sv_ld_le32(rec + 28);
        uint32_t rec_len = (alloc >= 48 && alloc <= room) ? alloc : room;
        if (memcmp(rec, "FILE", 4) == 0)
            ntfs_apply_fixup(rec, rec_len);
        if (ntfs_get_attr(rec, rec_len, kVolumeNameAttr, part->VolumeName,
                          sizeof part->VolumeName) > 0 &&
            part->VolumeName[0] != '\0')
            break;
        memset(part->VolumeName, 0, sizeof part->VolumeName);
        if (alloc < 48 || alloc > room)
            break;
        off += alloc;
    }
    free(buf);
}

int32_t take_NTFS(_Device_List *node, Partiton_Struct *part, uint8_t *buf, uint32_t len)
{
    Partiton_Struct probe{};
    if (!part || !buf || test_NTFS(node, sv_view_make(buf, len), &probe) != 0) {
        free(buf);
        return 1;
    }
    part->FsType = FS_NTFS;
    memset(part->FsInfo, 0, sizeof part->FsInfo);
    memset(part->VolumeName, 0, sizeof part->VolumeName);
    ntfs_read_MFT(node, part, buf);
    sv_keep_boot_data(part, buf);
    return 0;
}

int32_t check_NTFS(_Device_List *node, Partiton_Struct *part)
{
    Physics_Device_Struct *dev = sv_node_dev(node);
    if (!dev || !part || !sv_sector_size_ok(dev))
        return 1;
    uint32_t ss = (uint32_t)dev->SectorSize;
    uint8_t *buf = sv_read_block(node, part->PartOffset, ss);
    if (!buf)
        return 1;
    return take_NTFS(node, part, buf, ss);
}
