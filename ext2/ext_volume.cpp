/*
 * Superblock checks, group descriptors and block reads of an ext2/ext3
 * volume.  Every value of the superblock is checked here, once, before it
 * sizes an allocation or a read.
 */
#include "ext_volume.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "sv_bytes.h"

namespace {

bool read_exact(Partiton_Struct *part, void *buf, uint32_t len, uint64_t off)
{
    if (!part->Device || !part->Device->Ops || !part->Device->Ops->read)
        return false;
    return sv_dev_read(part->Device, buf, len, off) == (int32_t)len;
}

bool is_power_of_two(uint32_t v)
{
    return v != 0 && (v & (v - 1)) == 0;
}

/* The superblock fields that shape the volume, checked against each other. */
/* Incompatible features a read-only scan with the journal can follow. */
const uint32_t kExt4Incompat =
    EXT_FEATURE_INCOMPAT_FILETYPE | EXT_FEATURE_INCOMPAT_RECOVER | EXT_FEATURE_INCOMPAT_EXTENTS |
    EXT_FEATURE_INCOMPAT_META_BG |
    EXT_FEATURE_INCOMPAT_64BIT | EXT_FEATURE_INCOMPAT_MMP | EXT_FEATURE_INCOMPAT_FLEX_BG |
    EXT_FEATURE_INCOMPAT_EA_INODE | EXT_FEATURE_INCOMPAT_CSUM_SEED | EXT_FEATURE_INCOMPAT_LARGEDIR |
    EXT_FEATURE_INCOMPAT_INLINE_DATA | EXT_FEATURE_INCOMPAT_ENCRYPT | EXT_FEATURE_INCOMPAT_CASEFOLD;

ExtOpenCheck check_superblock(ExtVolume *vol, const uint8_t *sb, unsigned accept)
{
    sv_view v = sv_view_make(sb, EXT_SUPERBLOCK_LEN);
    uint16_t magic = 0, inodeSize = 0;
    uint32_t logBlock = 0, logFragRaw = 0, incompat = 0;
    sv_le16(v, 56, &magic);
    if (magic != EXT_SUPER_MAGIC)
        return EXT_OPEN_MAGIC;
    sv_le32(v, 76, &vol->revLevel);
    if (vol->revLevel > 1)
        return EXT_OPEN_REVISION;
    sv_le32(v, 96, &incompat);
    sv_le32(v, 92, &vol->featureCompat);
    const uint32_t allowed =
        (accept & EXT_ACCEPT_EXT4) ? kExt4Incompat : (uint32_t)EXT_FEATURE_INCOMPAT_FILETYPE;
    if (vol->revLevel == 1 && (incompat & ~allowed) != 0)
        return EXT_OPEN_FEATURES;
    if (vol->revLevel == 0)
        incompat = 0;
    vol->featureIncompat = incompat;

    sv_le32(v, 24, &logBlock);
    if (logBlock > EXT_MAX_LOG_BLOCK)
        return EXT_OPEN_BLOCK_SIZE;
    vol->m_nBlockSizeInBytes = 1024u << logBlock;

    /* s_log_frag_size is signed: 1024 shifted right for negative values. */
    sv_le32(v, 28, &logFragRaw);
    int32_t logFrag = (int32_t)logFragRaw;
    if (logFrag >= 0 && logFrag <= 16)
        vol->m_nFragmentSizeInBytes = 1024u << logFrag;
    else if (logFrag < 0 && logFrag >= -10)
        vol->m_nFragmentSizeInBytes = 1024u >> -logFrag;
    else
        vol->m_nFragmentSizeInBytes = 0;
    if (vol->m_nFragmentSizeInBytes != vol->m_nBlockSizeInBytes)
        return EXT_OPEN_FRAGMENT_SIZE;

    const uint32_t bs = vol->m_nBlockSizeInBytes;
    if (vol->revLevel == 0) {
        vol->m_nInodeSize = EXT_INODE_LEN;
    } else {
        sv_le16(v, 88, &inodeSize);
        if (inodeSize < EXT_INODE_LEN || inodeSize > bs || !is_power_of_two(inodeSize))
            return EXT_OPEN_INODE_SIZE;
        vol->m_nInodeSize = inodeSize;
    }
    vol->m_nInodesPerBlock = bs / vol->m_nInodeSize;
    vol->descSize = EXT_DESC_LEN;
    if (incompat & EXT_FEATURE_INCOMPAT_64BIT) {
        uint16_t ds = 0;
        sv_le16(v, 0xFE, &ds);
        if (ds < EXT_DESC_LEN_64BIT_MIN || ds > EXT_DESC_LEN_MAX || ds > bs || !is_power_of_two(ds))
            return EXT_OPEN_GEOMETRY;
        vol->descSize = ds;
    }
    vol->m_nGroupDescPerBlock = bs / vol->descSize;

    sv_le32(v, 0, &vol->inodesCount);
    uint32_t blocksLo = 0, blocksHi = 0;
    sv_le32(v, 4, &blocksLo);
    if (incompat & EXT_FEATURE_INCOMPAT_64BIT)
        sv_le32(v, 0x150, &blocksHi);
    /* Block numbers stay below 2^48 (extents hold 48 bits). */
    if (blocksHi > 0xFFFF)
        return EXT_OPEN_GEOMETRY;
    vol->blocksCount = (uint64_t)blocksHi << 32 | blocksLo;
    sv_le32(v, 20, &vol->firstDataBlock);
    sv_le32(v, 32, &vol->blocksPerGroup);
    sv_le32(v, 40, &vol->inodesPerGroup);

    /* Each group's block and inode bitmaps are one block. */
    if (vol->blocksPerGroup < 8 || vol->blocksPerGroup > 8 * bs)
        return EXT_OPEN_GEOMETRY;
    if (vol->inodesPerGroup == 0 || vol->inodesPerGroup > 8 * bs)
        return EXT_OPEN_GEOMETRY;
    /* An inode table is never larger than a group (with flex_bg it may
     * lie in another group, but has the same size). */
    if ((uint64_t)vol->inodesPerGroup * vol->m_nInodeSize > (uint64_t)vol->blocksPerGroup * bs)
        return EXT_OPEN_GEOMETRY;
    if (vol->firstDataBlock > 1 || vol->blocksCount <= vol->firstDataBlock)
        return EXT_OPEN_GEOMETRY;
    if (vol->inodesCount == 0)
        return EXT_OPEN_GEOMETRY;

    uint64_t groups = ((uint64_t)vol->blocksCount - vol->firstDataBlock + vol->blocksPerGroup - 1) /
                      vol->blocksPerGroup;
    if (groups == 0 || groups > EXT_MAX_GROUPS)
        return EXT_OPEN_GEOMETRY;
    /* Inode numbers must map onto existing groups. */
    if ((uint64_t)vol->inodesCount > groups * vol->inodesPerGroup)
        return EXT_OPEN_GEOMETRY;
    vol->m_nGroupCount = (uint32_t)groups;
    vol->m_nDescBlockCount =
        (uint32_t)((groups + vol->m_nGroupDescPerBlock - 1) / vol->m_nGroupDescPerBlock);
    /* The descriptor table follows the superblock's block; with meta_bg
     * only its first s_first_meta_bg blocks do. */
    vol->firstMetaBg = UINT32_MAX;
    if (incompat & EXT_FEATURE_INCOMPAT_META_BG) {
        sv_le32(v, 0x104, &vol->firstMetaBg);
        if (vol->firstMetaBg > vol->m_nDescBlockCount)
            vol->firstMetaBg = vol->m_nDescBlockCount;
    }
    uint32_t classic = vol->firstMetaBg < vol->m_nDescBlockCount ? vol->firstMetaBg : vol->m_nDescBlockCount;
    if ((uint64_t)vol->firstDataBlock + 1 + classic > vol->blocksCount)
        return EXT_OPEN_GEOMETRY;
    return EXT_OPEN_OK;
}

/* The superblock copy of a later group that the partition record carries
 * (a volume found through it), into sb. */
bool superblock_copy(const Partiton_Struct *part, uint8_t *sb)
{
    if (!part->BootData || part->FsType < FS_EXT2 || part->FsType > FS_EXT4)
        return false;
    const uint8_t *b = part->BootData;
    if (sv_ld_le16(b + 56) != EXT_SUPER_MAGIC || sv_ld_le16(b + 90) == 0)
        return false;
    memcpy(sb, b, EXT_SUPERBLOCK_LEN);
    return true;
}

}  // namespace

/* Every group's bitmaps and inode table lie inside the volume. */
static bool descriptors_plausible(const ExtVolume *vol)
{
    for (uint32_t g = 0; g < vol->m_nGroupCount; g++) {
        uint64_t b[3] = {ext_group_block_bitmap(vol, g), ext_group_inode_bitmap(vol, g),
                         ext_group_inode_table(vol, g)};
        for (uint64_t v : b)
            if (v == 0 || v >= vol->blocksCount)
                return false;
    }
    return true;
}

ExtOpenCheck ext_volume_open(ExtVolume *vol, Partiton_Struct *part)
{
    return ext_volume_open_flags(vol, part, 0);
}

ExtOpenCheck ext_volume_open_flags(ExtVolume *vol, Partiton_Struct *part, unsigned accept)
{
    memset(vol, 0, sizeof *vol);
    if (!part || !part->Device)
        return EXT_OPEN_NO_PARTITION;

    uint8_t *sb = static_cast<uint8_t *>(MALLOC(EXT_SUPERBLOCK_LEN));
    ExtOpenCheck check = read_exact(part, sb, EXT_SUPERBLOCK_LEN, EXT_SUPERBLOCK_OFFSET)
                             ? check_superblock(vol, sb, accept)
                             : EXT_OPEN_READ;
    /* A volume whose first superblock is gone was found through a copy in
     * a later group: the partition record carries that copy. */
    bool fromCopy = false;
    if (check != EXT_OPEN_OK && superblock_copy(part, sb)) {
        memset(vol, 0, sizeof *vol);
        check = check_superblock(vol, sb, accept);
        fromCopy = check == EXT_OPEN_OK;
    }
    if (check != EXT_OPEN_OK) {
        free(sb);
        memset(vol, 0, sizeof *vol);
        return check;
    }
    vol->m_stPartition = part;
    vol->m_stSuperBlock = sb;

    const uint32_t bs = vol->m_nBlockSizeInBytes;
    vol->readableBlocks = vol->blocksCount;
    if (part->PartSize != 0 && part->PartSize / bs < vol->readableBlocks)
        vol->readableBlocks = part->PartSize / bs;
    /* The descriptors must lie on the medium before they size anything. */
    for (uint32_t i = 0; i < vol->m_nDescBlockCount; i++) {
        if (!ext_block_valid(vol, ext_desc_block(vol, i))) {
            ext_volume_close(vol);
            return EXT_OPEN_READ;
        }
    }

    vol->m_stGroupDescriptors = static_cast<uint8_t *>(MALLOC((size_t)vol->m_nDescBlockCount * bs));
    ExtStatus st = ext_volume_reload_descriptors(vol);
    /* With the first superblock gone, the descriptors after it are the
     * current ones when they still describe the volume; else those after
     * the copy (as old as the copy). */
    if (fromCopy && (st != EXT_OK || !descriptors_plausible(vol))) {
        vol->descGroup = sv_ld_le16(sb + 90);
        st = ext_volume_reload_descriptors(vol);
    }
    if (st != EXT_OK) {
        ext_volume_close(vol);
        return EXT_OPEN_READ;
    }
    for (int l = 0; l < 3; l++)
        vol->levelBuffer[l] = static_cast<uint8_t *>(MALLOC(bs));
    return EXT_OPEN_OK;
}

ExtStatus ext_volume_reload_descriptors(ExtVolume *vol)
{
    const uint32_t bs = vol->m_nBlockSizeInBytes;
    for (uint32_t i = 0; i < vol->m_nDescBlockCount; i++) {
        ExtStatus st = __ext2_ReadBlock(vol, ext_desc_block(vol, i), vol->m_stGroupDescriptors + (size_t)i * bs);
        if (st != EXT_OK)
            return st;
    }
    return EXT_OK;
}

void ext_volume_close(ExtVolume *vol)
{
    ext_alloc_cache_free(vol);
    free(vol->m_stSuperBlock);
    free(vol->m_stGroupDescriptors);
    for (int l = 0; l < 3; l++)
        free(vol->levelBuffer[l]);
    memset(vol, 0, sizeof *vol);
}

/* A block-number field of a group descriptor: the low half at lo, and on
 * 64-bit volumes the high half at hi. */
static uint64_t desc_field(const ExtVolume *vol, uint32_t group, size_t lo, size_t hi)
{
    if (!vol->m_stGroupDescriptors || group >= vol->m_nGroupCount)
        return 0;
    sv_view v = sv_view_make(vol->m_stGroupDescriptors,
                             (size_t)vol->m_nDescBlockCount * vol->m_nBlockSizeInBytes);
    uint32_t low = 0, high = 0;
    size_t base = (size_t)group * vol->descSize;
    sv_le32(v, base + lo, &low);
    if (vol->descSize >= EXT_DESC_LEN_64BIT_MIN)
        sv_le32(v, base + hi, &high);
    return (uint64_t)high << 32 | low;
}

uint64_t ext_group_block_bitmap(const ExtVolume *vol, uint32_t group)
{
    return desc_field(vol, group, 0, 0x20);
}

uint64_t ext_group_inode_bitmap(const ExtVolume *vol, uint32_t group)
{
    return desc_field(vol, group, 4, 0x24);
}

uint64_t ext_group_inode_table(const ExtVolume *vol, uint32_t group)
{
    return desc_field(vol, group, 8, 0x28);
}

uint16_t ext_group_flags(const ExtVolume *vol, uint32_t group)
{
    if (!vol->m_stGroupDescriptors || group >= vol->m_nGroupCount)
        return 0;
    sv_view v = sv_view_make(vol->m_stGroupDescriptors,
                             (size_t)vol->m_nDescBlockCount * vol->m_nBlockSizeInBytes);
    uint16_t f = 0;
    sv_le16(v, (size_t)group * vol->descSize + 0x12, &f);
    return f;
}

uint32_t ext_group_itable_unused(const ExtVolume *vol, uint32_t group)
{
    if (!vol->m_stGroupDescriptors || group >= vol->m_nGroupCount)
        return 0;
    sv_view v = sv_view_make(vol->m_stGroupDescriptors,
                             (size_t)vol->m_nDescBlockCount * vol->m_nBlockSizeInBytes);
    size_t base = (size_t)group * vol->descSize;
    uint16_t lo = 0, hi = 0;
    sv_le16(v, base + 0x1C, &lo);
    if (vol->descSize >= EXT_DESC_LEN_64BIT_MIN)
        sv_le16(v, base + 0x32, &hi);
    return (uint32_t)hi << 16 | lo;
}

uint32_t ext_inode_table_blocks(const ExtVolume *vol)
{
    uint64_t bytes = (uint64_t)vol->inodesPerGroup * vol->m_nInodeSize;
    return (uint32_t)((bytes + vol->m_nBlockSizeInBytes - 1) / vol->m_nBlockSizeInBytes);
}

uint64_t ext_group_first_block(const ExtVolume *vol, uint32_t group)
{
    return (uint64_t)vol->firstDataBlock + (uint64_t)group * vol->blocksPerGroup;
}

uint64_t ext_group_end_block(const ExtVolume *vol, uint32_t group)
{
    uint64_t end = ext_group_first_block(vol, group) + vol->blocksPerGroup;
    return end < vol->blocksCount ? end : vol->blocksCount;
}

/* True when group g keeps a copy of the superblock (and so the first
 * block of its meta_bg descriptors comes after it). */
static bool group_has_super(const ExtVolume *vol, uint32_t g)
{
    if (g <= 1)
        return g == 0 || !(vol->featureCompat & EXT_FEATURE_COMPAT_SPARSE_SUPER2);
    const uint8_t *sb = vol->m_stSuperBlock;
    if (vol->featureCompat & EXT_FEATURE_COMPAT_SPARSE_SUPER2)
        return sb && (g == sv_ld_le32(sb + 0x24C) || g == sv_ld_le32(sb + 0x250));
    if (!sb || !(sv_ld_le32(sb + 100) & EXT_FEATURE_RO_COMPAT_SPARSE_SUPER))
        return true;
    for (uint32_t base : {3u, 5u, 7u}) {
        uint64_t p = base;
        while (p < g)
            p *= base;
        if (p == g)
            return true;
    }
    return false;
}

uint64_t ext_desc_block(const ExtVolume *vol, uint32_t i)
{
    if (i < vol->firstMetaBg)
        return (uint64_t)vol->firstDataBlock + (uint64_t)vol->descGroup * vol->blocksPerGroup + 1 + i;
    uint64_t g = (uint64_t)i * vol->m_nGroupDescPerBlock;
    if (g >= vol->m_nGroupCount)
        return 0;
    return ext_group_first_block(vol, (uint32_t)g) + (group_has_super(vol, (uint32_t)g) ? 1 : 0);
}

bool ext_block_valid(const ExtVolume *vol, uint64_t block)
{
    return block != 0 && block < vol->blocksCount && block < vol->readableBlocks;
}

ExtStatus __ext2_ReadBlock(const ExtVolume *vol, uint64_t block, void *buf)
{
    if (!buf || !vol->m_stPartition)
        return EXT_CORRUPT;
    if (vol->overlayRead && ext_block_valid(vol, block)) {
        ExtStatus st = EXT_OK;
        if (vol->overlayRead(vol->overlayCtx, block, static_cast<uint8_t *>(buf), &st))
            return st;
    }
    return ext_read_block_raw(vol, block, buf);
}

ExtStatus ext_read_block_raw(const ExtVolume *vol, uint64_t block, void *buf)
{
    if (!buf || !vol->m_stPartition)
        return EXT_CORRUPT;
    const uint32_t bs = vol->m_nBlockSizeInBytes;
    memset(buf, 0, bs);
    if (!ext_block_valid(vol, block))
        return EXT_CORRUPT;
    Physics_Device_Struct *dev = vol->m_stPartition->Device;
    if (sv_dev_read(dev, buf, bs, block * bs) != (int32_t)bs)
        return EXT_IO;
    return EXT_OK;
}

ExtStatus ext_read_blocks(const ExtVolume *vol, uint64_t first, uint32_t count, void *buf)
{
    const uint32_t bs = vol->m_nBlockSizeInBytes;
    uint8_t *out = static_cast<uint8_t *>(buf);
    memset(out, 0, (size_t)count * bs);
    if (count == 0)
        return EXT_OK;
    if (!ext_block_valid(vol, first))
        return EXT_CORRUPT;
    /* Only the blocks that exist are asked for. */
    uint64_t avail = vol->readableBlocks - first;
    if (vol->blocksCount - first < avail)
        avail = vol->blocksCount - first;
    uint32_t n = avail < count ? (uint32_t)avail : count;
    uint64_t len = (uint64_t)n * bs;
    ExtStatus st = n == count ? EXT_OK : EXT_IO;
    Physics_Device_Struct *dev = vol->m_stPartition->Device;
    /* Device reads take 32-bit lengths; callers stay far below. */
    if (len > 0x40000000u)
        return EXT_CORRUPT;
    int32_t got = sv_dev_read(dev, out, (uint32_t)len, first * bs);
    if (got != (int32_t)len) {
        /* A failed or short read: whatever came back is kept, the rest is zero. */
        size_t keep = got > 0 ? (size_t)got : 0;
        memset(out + keep, 0, (size_t)len - keep);
        st = EXT_IO;
    }
    if (vol->overlayRead) {
        for (uint32_t i = 0; i < n; i++) {
            ExtStatus ost = EXT_OK;
            vol->overlayRead(vol->overlayCtx, first + i, out + (size_t)i * bs, &ost);
        }
    }
    return st;
}

uint16_t ext_inode_mode(const uint8_t *inode)
{
    return sv_ld_le16(inode + EXT_I_MODE);
}

uint32_t ext_inode_dtime(const uint8_t *inode)
{
    return sv_ld_le32(inode + EXT_I_DTIME);
}

uint32_t ext_inode_mtime(const uint8_t *inode)
{
    return sv_ld_le32(inode + EXT_I_MTIME);
}

uint16_t ext_inode_links(const uint8_t *inode)
{
    return sv_ld_le16(inode + EXT_I_LINKS);
}

uint64_t ext_inode_size(const uint8_t *inode)
{
    uint64_t size = sv_ld_le32(inode + EXT_I_SIZE);
    if ((ext_inode_mode(inode) & EXT_S_IFMT) != EXT_S_IFDIR)
        size |= (uint64_t)sv_ld_le32(inode + EXT_I_SIZE_HIGH) << 32;
    return size;
}

uint64_t ext_block_count(const ExtVolume *vol, uint64_t size)
{
    return size / vol->m_nBlockSizeInBytes + (size % vol->m_nBlockSizeInBytes != 0);
}

bool ext_inode_has_data_blocks(const ExtVolume *vol, const uint8_t *inode)
{
    uint64_t size = ext_inode_size(inode);
    if ((ext_inode_mode(inode) & EXT_S_IFMT) != EXT_S_IFLNK)
        return size > 0;
    if (size < EXT_FAST_SYMLINK_MAX)
        return false;
    if (size > EXT_FAST_SYMLINK_MAX)
        return true;
    uint32_t sectors = sv_ld_le32(inode + EXT_I_BLOCKS);
    uint32_t aclSectors = sv_ld_le32(inode + EXT_I_FILE_ACL) ? vol->m_nBlockSizeInBytes / 512 : 0;
    return sectors > aclSectors;
}
