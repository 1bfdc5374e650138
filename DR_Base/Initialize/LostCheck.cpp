/*
 * What one structure met by the search for lost volumes says about the
 * volume it belongs to, and whether that volume's other structures agree.
 *
 * A boot sector, superblock or volume header may be the volume's first
 * one or a backup copy of it: each reading is a hypothesis with the start
 * it implies.  The checks of the hypotheses read a few sectors each (the
 * FAT's first sector, MFT record 0, a group descriptor block, the catalog's
 * header node); the pass over the device never waits for them.
 */
#include "merrow_i.h"

#include <cstdlib>
#include <cstring>

namespace {

bool fat_family(int32_t fs) { return fs >= FS_FAT12 && fs <= FS_FAT32; }

void put_key(sv_hint *h, size_t at, const uint8_t *src, size_t n)
{
    if (at < sizeof h->key && sizeof h->key - at >= n)
        memcpy(h->key + at, src, n);
}

void put_key64(sv_hint *h, size_t at, uint64_t v)
{
    uint8_t b[8];
    for (int i = 0; i < 8; i++)
        b[i] = (uint8_t)(v >> (8 * i));
    put_key(h, at, b, 8);
}

/* Fills the hypothesis every reading of the structure shares. */
sv_hint base_hint(int32_t fs, uint64_t at, uint64_t size)
{
    sv_hint h;
    memset(&h, 0, sizeof h);
    h.fs = fs;
    h.at = at;
    h.size = size;
    return h;
}

int fat_hints(_Device_List *node, sv_view b, uint64_t at, sv_hint out[2])
{
    Partiton_Struct scratch{};
    if (test_FAT(node, b, &scratch) != 0)
        return 0;
    const uint8_t *p = b.data;
    uint32_t bps = sv_ld_le16(p + 11);
    uint64_t total = sv_ld_le16(p + 19) ? sv_ld_le16(p + 19) : sv_ld_le32(p + 32);
    uint32_t reserved = sv_ld_le16(p + 14);
    sv_hint h = base_hint(scratch.FsType, at, total * bps);
    /* The serial number and the size name one volume. */
    bool fat32 = scratch.FsType == FS_FAT32;
    if (fat32 || p[38] == 0x29)
        put_key(&h, 0, p + (fat32 ? 67 : 39), 4);
    put_key64(&h, 4, total);
    int n = 0;
    h.start = at;
    out[n++] = h;
    /* FAT32 keeps a copy of its boot sector a few sectors on (six, as the
     * sector itself says): a copy seen here means a volume that far back. */
    uint32_t backup = fat32 ? sv_ld_le16(p + 50) : 0;
    if (backup >= 1 && backup < reserved && (uint64_t)backup * bps <= at) {
        h.start = at - (uint64_t)backup * bps;
        h.backup = true;
        out[n++] = h;
    }
    return n;
}

int ntfs_hints(_Device_List *node, sv_view b, uint64_t at, sv_hint out[2])
{
    Partiton_Struct scratch{};
    if (test_NTFS(node, b, &scratch) != 0 || ntfs_cluster_bytes(b.data) == 0)
        return 0;
    const uint8_t *p = b.data;
    uint32_t bps = sv_ld_le16(p + 11);
    uint64_t sectors = sv_ld_le64(p + 40);
    if (sectors > UINT64_MAX / bps - 1)
        return 0;
    sv_hint h = base_hint(FS_NTFS, at, (sectors + 1) * bps);
    put_key(&h, 0, p + 72, 8);
    put_key64(&h, 8, sectors);
    int n = 0;
    h.start = at;
    out[n++] = h;
    /* The backup boot sector is the volume's last sector, the one after
     * the sectors its count covers. */
    if (sectors * bps <= at) {
        h.start = at - sectors * bps;
        h.backup = true;
        out[n++] = h;
    }
    return n;
}

int exfat_hints(_Device_List *node, sv_view b, uint64_t at, sv_hint out[2])
{
    Partiton_Struct scratch{};
    if (test_EXFAT(node, b, &scratch) != 0 || !sv_has(b, 0, 512))
        return 0;
    const uint8_t *p = b.data;
    uint8_t shift = p[108], cshift = p[109], fats = p[110];
    uint64_t length = sv_ld_le64(p + 72);
    uint32_t fat_off = sv_ld_le32(p + 80), heap = sv_ld_le32(p + 88), root = sv_ld_le32(p + 96);
    if (shift < 9 || shift > 12 || shift + cshift > 25 || (fats != 1 && fats != 2) || fat_off < 24 ||
        heap <= fat_off || root < 2 || length < heap || length > (UINT64_MAX >> shift))
        return 0;
    uint64_t bps = 1ull << shift;
    sv_hint h = base_hint(FS_EXFAT, at, length << shift);
    put_key(&h, 0, p + 100, 4);
    put_key64(&h, 4, length);
    int n = 0;
    h.start = at;
    out[n++] = h;
    /* The backup boot region follows the main one's twelve sectors. */
    if (12 * bps <= at) {
        h.start = at - 12 * bps;
        h.backup = true;
        out[n++] = h;
    }
    return n;
}

/* The block size of a plausible ext superblock, else 0. */
uint32_t ext_block_size(const uint8_t *p)
{
    uint32_t log = sv_ld_le32(p + 24);
    if (log > 6)
        return 0;
    return 1024u << log;
}

int ext_hints(_Device_List *node, sv_view b, uint64_t at, sv_hint out[2])
{
    Partiton_Struct scratch{};
    if (!sv_has(b, 0, 1024) || test_EXT(node, sv_sub(b, 0, 1024), &scratch) != 0)
        return 0;
    const uint8_t *p = b.data;
    uint32_t bs = ext_block_size(p);
    uint32_t first = sv_ld_le32(p + 20), bpg = sv_ld_le32(p + 32), ipg = sv_ld_le32(p + 40);
    uint32_t ro_compat = sv_ld_le32(p + 100);
    const uint32_t kBigalloc = 0x0200;
    if (bs == 0 || first != (bs == 1024 ? 1u : 0u) || bpg == 0 || ipg == 0)
        return 0;
    if (!(ro_compat & kBigalloc) && bpg > 8 * bs)
        return 0;
    uint64_t blocks = sv_ld_le32(p + 4);
    const uint32_t k64bit = 0x0080;
    if (sv_ld_le32(p + 96) & k64bit)
        blocks |= (uint64_t)sv_ld_le32(p + 0x150) << 32;
    if (blocks > UINT64_MAX / bs)
        return 0;
    uint32_t group = sv_ld_le16(p + 90);
    /* The primary superblock lies 1024 bytes in; the copy of group g at
     * the start of the group's first block. */
    uint64_t offset = group == 0 ? 1024 : ((uint64_t)first + (uint64_t)group * bpg) * bs;
    if (offset > at)
        return 0;
    sv_hint h = base_hint(scratch.FsType, at, blocks * bs);
    put_key(&h, 0, p + 104, 16); /* the volume's UUID */
    h.start = at - offset;
    h.backup = group != 0;
    out[0] = h;
    return 1;
}

int hfsp_hints(_Device_List *node, sv_view b, uint64_t at, sv_hint out[2])
{
    Partiton_Struct scratch{};
    if (test_HFSP(node, b, &scratch) != 0)
        return 0;
    const uint8_t *p = b.data;
    uint32_t bs = sv_ld_be32(p + 40), total = sv_ld_be32(p + 44);
    if (total == 0 || (bs & (bs - 1)) != 0)
        return 0;
    uint64_t size = (uint64_t)bs * total;
    sv_hint h = base_hint(scratch.FsType, at, size);
    put_key(&h, 0, p + 16, 4); /* creation date */
    put_key(&h, 4, p + 40, 8); /* block size and count */
    int n = 0;
    if (at >= 1024) {
        h.start = at - 1024;
        out[n++] = h;
    }
    /* The alternate header: 1024 bytes before the volume's end. */
    if (size >= 2048 && at + 1024 >= size) {
        h.start = at + 1024 - size;
        h.backup = true;
        out[n++] = h;
    }
    return n;
}

/* The first sector of a FAT: the media byte, then all ones. */
bool fat_table_start(const uint8_t *f, int32_t fs, uint8_t media)
{
    if (f[0] != media || f[1] != 0xFF || f[2] != 0xFF)
        return false;
    if (fs == FS_FAT16)
        return f[3] == 0xFF;
    if (fs == FS_FAT32)
        return (f[3] & 0x0F) == 0x0F;
    return true;
}

/* Reads len bytes at the volume's offset rel; null when outside the device. */
uint8_t *read_rel(_Device_List *node, uint64_t start, uint64_t rel, uint32_t len)
{
    if (start > UINT64_MAX - rel)
        return nullptr;
    return sv_read_block(node, start + rel, len);
}

int32_t fat_agree(_Device_List *node, const sv_hint *h, const uint8_t *p)
{
    uint32_t bps = sv_ld_le16(p + 11);
    uint64_t reserved = sv_ld_le16(p + 14);
    uint64_t fat = sv_ld_le16(p + 22) ? sv_ld_le16(p + 22) : sv_ld_le32(p + 36);
    int32_t agree = 0;
    for (uint32_t i = 0; i < p[16] && i < 2; i++) {
        uint8_t *f = read_rel(node, h->start, (reserved + i * fat) * bps, bps);
        if (f && fat_table_start(f, h->fs, p[21]))
            agree++;
        free(f);
    }
    return agree;
}

int32_t ntfs_agree(_Device_List *node, const sv_hint *h, const uint8_t *p)
{
    uint64_t cluster = ntfs_cluster_bytes(p);
    int8_t per = (int8_t)p[64];
    uint64_t rs = per > 0 ? cluster * (uint64_t)per : (per >= -16 && per <= -9 ? 1ull << -per : 0);
    if (cluster == 0 || rs < 512 || rs > 65536)
        return 0;
    int32_t agree = 0;
    /* Record 0 of the MFT and of its mirror: each starts "FILE". */
    const size_t lcn_at[] = {48, 56};
    for (size_t at : lcn_at) {
        uint64_t lcn = sv_ld_le64(p + at);
        if (lcn > UINT64_MAX / cluster)
            continue;
        uint8_t *r = read_rel(node, h->start, lcn * cluster, 512);
        if (r && memcmp(r, "FILE", 4) == 0)
            agree++;
        free(r);
    }
    return agree;
}

/* The exFAT boot checksum over a region's first eleven sectors. */
uint32_t exfat_checksum(const uint8_t *region, uint32_t bps)
{
    uint32_t sum = 0;
    for (uint32_t i = 0; i < 11 * bps; i++) {
        if (i == 106 || i == 107 || i == 112)
            continue;
        sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + region[i];
    }
    return sum;
}

bool exfat_region_ok(const uint8_t *region, uint32_t bps)
{
    uint32_t sum = exfat_checksum(region, bps);
    for (uint32_t i = 0; i < bps / 4; i++)
        if (sv_ld_le32(region + 11 * bps + 4 * i) != sum)
            return false;
    return true;
}

int32_t exfat_agree(_Device_List *node, const sv_hint *h, const uint8_t *p)
{
    uint32_t bps = 1u << p[108];
    /* The FAT decides: both boot regions are alike, so a region read one
     * region too early or too late would agree with itself. */
    uint8_t *f = read_rel(node, h->start, (uint64_t)sv_ld_le32(p + 80) * bps, bps);
    bool fat = f && sv_ld_le32(f) == 0xFFFFFFF8u;
    free(f);
    if (!fat)
        return 0;
    int32_t agree = 1;
    for (uint32_t r = 0; r < 2; r++) {
        uint8_t *region = read_rel(node, h->start, (uint64_t)r * 12 * bps, 12 * bps);
        if (region && memcmp(region + 3, "EXFAT   ", 8) == 0 && exfat_region_ok(region, bps))
            agree++;
        free(region);
    }
    return agree;
}

/* Group 0's descriptor: its bitmaps and inode table inside the volume. */
bool ext_descriptor_ok(const uint8_t *d, const uint8_t *sb, uint64_t blocks)
{
    const uint32_t k64bit = 0x0080;
    bool wide = (sv_ld_le32(sb + 96) & k64bit) && sv_ld_le16(sb + 0xFE) >= 64;
    const size_t lo[] = {0, 4, 8}, hi[] = {0x20, 0x24, 0x28};
    for (int i = 0; i < 3; i++) {
        uint64_t v = sv_ld_le32(d + lo[i]);
        if (wide)
            v |= (uint64_t)sv_ld_le32(d + hi[i]) << 32;
        if (v == 0 || v >= blocks)
            return false;
    }
    return true;
}

int32_t ext_agree(_Device_List *node, const sv_hint *h, const uint8_t *p)
{
    uint32_t bs = ext_block_size(p);
    uint64_t first = sv_ld_le32(p + 20), bpg = sv_ld_le32(p + 32);
    uint64_t blocks = bs ? h->size / bs : 0;
    if (bs == 0 || blocks == 0)
        return 0;
    /* The primary descriptors, or those after this copy. */
    uint64_t group = sv_ld_le16(p + 90);
    uint64_t at[2] = {first + 1, first + group * bpg + 1};
    for (int i = 0; i < (group ? 2 : 1); i++) {
        if (at[i] >= blocks)
            continue;
        uint8_t *d = read_rel(node, h->start, at[i] * bs, 64);
        bool ok = d && ext_descriptor_ok(d, p, blocks);
        free(d);
        if (ok)
            return 1;
    }
    return 0;
}

int32_t hfsp_agree(_Device_List *node, const sv_hint *h, const uint8_t *p)
{
    uint64_t bs = sv_ld_be32(p + 40);
    uint64_t cat = sv_ld_be32(p + 0x120);
    if (bs == 0 || cat == 0 || cat * bs >= h->size)
        return 0;
    /* The catalog's first node is its B-tree header node: kind 1, leaf
     * height 0, three records. */
    uint8_t *n = read_rel(node, h->start, cat * bs, 512);
    bool ok = n && n[8] == 1 && n[9] == 0 && sv_ld_be16(n + 10) == 3;
    free(n);
    return ok ? 1 : 0;
}

}  // namespace

int sv_lost_hints(_Device_List *node, sv_view bytes, uint64_t at, int kind, sv_hint out[2])
{
    switch (kind) {
    case SV_LOST_BOOT: {
        int n = fat_hints(node, bytes, at, out);
        if (!n)
            n = ntfs_hints(node, bytes, at, out);
        if (!n)
            n = exfat_hints(node, bytes, at, out);
        return n;
    }
    case SV_LOST_EXT:
        return ext_hints(node, bytes, at, out);
    case SV_LOST_HFSP:
        return hfsp_hints(node, bytes, at, out);
    default:
        return 0;
    }
}

int32_t sv_lost_agree(_Device_List *node, const sv_hint *h, const uint8_t *bytes)
{
    if (fat_family(h->fs))
        return fat_agree(node, h, bytes);
    switch (h->fs) {
    case FS_NTFS:
        return ntfs_agree(node, h, bytes);
    case FS_EXFAT:
        return exfat_agree(node, h, bytes);
    case FS_EXT2:
    case FS_EXT3:
    case FS_EXT4:
        return ext_agree(node, h, bytes);
    case FS_HFSPLUS:
    case FS_HFSX:
        return hfsp_agree(node, h, bytes);
    default:
        return 0;
    }
}

int32_t sv_fs_family(int32_t fs)
{
    if (fat_family(fs))
        return FS_FAT32;
    if (fs == FS_EXT2 || fs == FS_EXT3 || fs == FS_EXT4)
        return FS_EXT4;
    if (fs == FS_HFSX)
        return FS_HFSPLUS;
    return fs;
}
