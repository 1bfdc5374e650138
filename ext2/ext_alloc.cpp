/*
 * What the present volume uses, from its block bitmaps: the merged deep
 * scan asks whether a file found by content lies inside a file of the
 * volume, and whether a deleted file's blocks are still free.
 */
#include "ext_volume.h"

#include <unordered_map>
#include <vector>

struct ExtAllocCache {
    /* Bitmap block of each group read so far; empty: could not be read. */
    std::unordered_map<uint32_t, std::vector<uint8_t>> groups;
};

void ext_alloc_cache_free(ExtVolume *vol)
{
    delete vol->allocCache;
    vol->allocCache = nullptr;
}

/* The bitmap of group g, or null when it says nothing. */
static const std::vector<uint8_t> *group_bitmap(ExtVolume *vol, uint32_t g)
{
    if (!vol->allocCache)
        vol->allocCache = new ExtAllocCache();
    auto &groups = vol->allocCache->groups;
    auto it = groups.find(g);
    if (it == groups.end()) {
        if (groups.size() > 4096)
            groups.clear();
        std::vector<uint8_t> bits(vol->m_nBlockSizeInBytes, 0);
        if (!(ext_group_flags(vol, g) & EXT_BG_BLOCK_UNINIT)) {
            uint64_t bm = ext_group_block_bitmap(vol, g);
            if (__ext2_ReadBlock(vol, bm, bits.data()) != EXT_OK)
                bits.clear();
        }
        it = groups.emplace(g, std::move(bits)).first;
    }
    return it->second.empty() ? nullptr : &it->second;
}

int ext_range_in_use(ExtVolume *vol, uint64_t offset, uint64_t length)
{
    const uint64_t bs = vol->m_nBlockSizeInBytes;
    if (!bs || !vol->blocksPerGroup || length == 0)
        return 0;
    const uint64_t end = UINT64_MAX - offset < length ? UINT64_MAX : offset + length;
    uint64_t first = offset / bs, last = (end - 1) / bs;
    int out = 0;
    if (first < vol->firstDataBlock) {
        out |= SV_ALLOC_USED;  /* the boot block of a 1 KiB volume */
        first = vol->firstDataBlock;
    }
    if (first >= vol->blocksCount)
        return out | (first <= last ? SV_ALLOC_FREE : 0);  /* past the volume's blocks */
    if (last >= vol->blocksCount) {
        out |= SV_ALLOC_FREE;
        last = vol->blocksCount - 1;
    }
    for (uint64_t b = first; b <= last && out != (SV_ALLOC_FREE | SV_ALLOC_USED);) {
        uint64_t rel = b - vol->firstDataBlock;
        uint32_t g = (uint32_t)(rel / vol->blocksPerGroup);
        uint64_t groupEnd = vol->firstDataBlock + ((uint64_t)g + 1) * vol->blocksPerGroup;
        const std::vector<uint8_t> *bits = g < vol->m_nGroupCount ? group_bitmap(vol, g) : nullptr;
        for (; b <= last && b < groupEnd && out != (SV_ALLOC_FREE | SV_ALLOC_USED); b++) {
            if (!bits)
                continue;
            uint64_t bit = (b - vol->firstDataBlock) % vol->blocksPerGroup;
            out |= (*bits)[bit / 8] >> (bit % 8) & 1 ? SV_ALLOC_USED : SV_ALLOC_FREE;
        }
        if (!bits)
            b = groupEnd;
    }
    return out;
}
