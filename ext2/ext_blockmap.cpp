/*
 * Data block lists of ext2/ext3 inodes: the 12 direct pointers, then the
 * indirect, double-indirect and triple-indirect blocks.
 *
 * A pointer block that is 0 is a hole: the entries it covers stay 0.  A
 * pointer block that cannot be read (outside the volume, failed read) is
 * damage: its entries stay 0 as well and are counted, and the walk goes on
 * with the next pointer.  Every level advances the fill counter by the
 * number of entries it covers, so the walk ends after at most `want`
 * entries whatever the disk holds.
 */
#include "ext_volume.h"

#include <cstring>

#include "sv_bytes.h"

namespace {

/* Entries covered by one pointer block of the given level (1 = indirect). */
uint64_t level_span(const ExtVolume *vol, int level)
{
    uint64_t k = vol->m_nBlockSizeInBytes / 4;
    uint64_t span = 1;
    for (int i = 0; i < level; i++)
        span *= k;
    return span;
}

/* Leaves the next min(span, want - filled) entries at 0. */
uint64_t skip_entries(uint32_t *list, uint64_t *filled, uint64_t want, uint64_t span)
{
    uint64_t n = want - *filled < span ? want - *filled : span;
    memset(list + *filled, 0, (size_t)n * sizeof(uint32_t));
    *filled += n;
    return n;
}

/* Reads pointer block `block` of the given level into its buffer, or skips
 * the entries it covers.  True when the caller should walk the buffer. */
bool enter_level(const ExtVolume *vol, int level, uint32_t *list, uint64_t *filled, uint64_t want,
                 uint32_t block, uint64_t *unresolved, ExtStatus *st)
{
    *st = EXT_OK;
    if (block == 0) {
        skip_entries(list, filled, want, level_span(vol, level));
        return false;
    }
    ExtStatus r = __ext2_ReadBlock(vol, block, vol->levelBuffer[level - 1]);
    if (r != EXT_OK) {
        *unresolved += skip_entries(list, filled, want, level_span(vol, level));
        *st = r;
        return false;
    }
    return true;
}

}  // namespace

ExtStatus __ext2_CopyIndirectBlockPointers(const ExtVolume *vol, uint32_t *list, uint64_t *filled,
                                          uint64_t want, uint32_t block, uint64_t *unresolved)
{
    ExtStatus st;
    if (!enter_level(vol, 1, list, filled, want, block, unresolved, &st))
        return st;
    const uint8_t *buf = vol->levelBuffer[0];
    const uint32_t k = vol->m_nBlockSizeInBytes / 4;
    for (uint32_t i = 0; i < k && *filled < want; i++)
        list[(*filled)++] = sv_ld_le32(buf + (size_t)i * 4);
    return EXT_OK;
}

ExtStatus __ext2_CopyDoubleIndirectBlockPointers(const ExtVolume *vol, uint32_t *list,
                                                uint64_t *filled, uint64_t want, uint32_t block,
                                                uint64_t *unresolved)
{
    ExtStatus st;
    if (!enter_level(vol, 2, list, filled, want, block, unresolved, &st))
        return st;
    const uint8_t *buf = vol->levelBuffer[1];
    const uint32_t k = vol->m_nBlockSizeInBytes / 4;
    ExtStatus first = EXT_OK;
    for (uint32_t i = 0; i < k && *filled < want; i++) {
        ExtStatus r = __ext2_CopyIndirectBlockPointers(vol, list, filled, want,
                                                       sv_ld_le32(buf + (size_t)i * 4), unresolved);
        if (first == EXT_OK)
            first = r;
    }
    return first;
}

ExtStatus __ext2_CopyTripleIndirectBlockPointers(const ExtVolume *vol, uint32_t *list,
                                                uint64_t *filled, uint64_t want, uint32_t block,
                                                uint64_t *unresolved)
{
    ExtStatus st;
    if (!enter_level(vol, 3, list, filled, want, block, unresolved, &st))
        return st;
    const uint8_t *buf = vol->levelBuffer[2];
    const uint32_t k = vol->m_nBlockSizeInBytes / 4;
    ExtStatus first = EXT_OK;
    for (uint32_t i = 0; i < k && *filled < want; i++) {
        ExtStatus r = __ext2_CopyDoubleIndirectBlockPointers(
            vol, list, filled, want, sv_ld_le32(buf + (size_t)i * 4), unresolved);
        if (first == EXT_OK)
            first = r;
    }
    return first;
}

uint64_t ext_resolve_blocks(const ExtVolume *vol, const uint8_t *inode, uint32_t *list, uint64_t want)
{
    uint64_t filled = 0, unresolved = 0;
    const uint8_t *ptr = inode + EXT_I_BLOCK;
    for (int i = 0; i < EXT_N_DIRECT && filled < want; i++)
        list[filled++] = sv_ld_le32(ptr + i * 4);
    if (filled < want)
        __ext2_CopyIndirectBlockPointers(vol, list, &filled, want,
                                         sv_ld_le32(ptr + EXT_IND_BLOCK * 4), &unresolved);
    if (filled < want)
        __ext2_CopyDoubleIndirectBlockPointers(vol, list, &filled, want,
                                               sv_ld_le32(ptr + EXT_DIND_BLOCK * 4), &unresolved);
    if (filled < want)
        __ext2_CopyTripleIndirectBlockPointers(vol, list, &filled, want,
                                               sv_ld_le32(ptr + EXT_TIND_BLOCK * 4), &unresolved);
    /* Beyond the triple-indirect reach (a size no ext2 file can have). */
    if (filled < want) {
        unresolved += want - filled;
        memset(list + filled, 0, (size_t)(want - filled) * sizeof(uint32_t));
    }
    return unresolved;
}
