/*
 * Block maps and extent trees of ext3/ext4 inodes, as runs in file order.
 *
 * Block map: 12 direct pointers, then the indirect, double-indirect and
 * triple-indirect blocks; a zero pointer is a hole.  Extent tree: a header
 * (magic, entries, max, depth), then index entries (first logical block,
 * child node) or leaf entries (first logical block, length, start).  Node
 * reads go through the caller's callback.
 */
#include "ext_filemap.h"

#include <algorithm>
#include <cstring>

#include "sv_bytes.h"

namespace {

struct Walk {
    const ExtVolume *vol;
    ExtMetaRead read;
    void *ctx;
    uint64_t want;
    std::vector<ExtRun> *out;
    ExtMapStats *stats;
    uint64_t nodeBudget;
};

void add_run(Walk &w, uint64_t logical, uint64_t physical, uint64_t count, uint32_t flags)
{
    if (logical >= w.want || count == 0)
        return;
    if (w.want - logical < count)
        count = w.want - logical;
    /* Physical blocks must exist on the volume. */
    if (physical == 0 || !ext_block_valid(w.vol, physical)) {
        w.stats->unresolved += count;
        return;
    }
    uint64_t room = w.vol->blocksCount - physical;
    if (w.vol->readableBlocks - physical < room)
        room = w.vol->readableBlocks - physical;
    if (count > room) {
        w.stats->unresolved += count - room;
        count = room;
    }
    while (count > 0) {
        uint32_t n = count > 0x80000000u ? 0x80000000u : (uint32_t)count;
        std::vector<ExtRun> &v = *w.out;
        if (!v.empty()) {
            ExtRun &last = v.back();
            if (last.flags == flags && last.logical + last.count == logical &&
                last.physical + last.count == physical && (uint64_t)last.count + n <= 0x80000000u) {
                last.count += n;
                logical += n;
                physical += n;
                count -= n;
                continue;
            }
        }
        v.push_back(ExtRun{logical, physical, n, flags});
        logical += n;
        physical += n;
        count -= n;
    }
}

/* ---- block maps ---------------------------------------------------------- */

uint64_t span_of(uint32_t perBlock, int level)
{
    uint64_t s = 1;
    for (int i = 0; i < level; i++)
        s *= perBlock;
    return s;
}

/* Walks a pointer block of the given level (1 = indirect) covering the
 * file's blocks from first on. */
void walk_pointers(Walk &w, uint32_t block, int level, uint64_t first, std::vector<uint8_t> *bufs)
{
    const uint32_t perBlock = w.vol->m_nBlockSizeInBytes / 4;
    uint64_t span = span_of(perBlock, level);
    if (first >= w.want)
        return;
    if (block == 0)
        return;  /* a hole */
    if (w.nodeBudget == 0) {
        w.stats->unresolved += std::min(span, w.want - first);
        return;
    }
    w.nodeBudget--;
    uint8_t *buf = bufs[level - 1].data();
    if (w.read(w.ctx, block, buf) != EXT_OK) {
        w.stats->unresolved += std::min(span, w.want - first);
        return;
    }
    uint64_t child = span / perBlock;
    for (uint32_t i = 0; i < perBlock; i++) {
        uint64_t at = first + (uint64_t)i * child;
        if (at >= w.want)
            break;
        uint32_t p = sv_ld_le32(buf + (size_t)i * 4);
        if (level == 1)
            add_run(w, at, p, p ? 1 : 0, 0);
        else if (p != 0)
            walk_pointers(w, p, level - 1, at, bufs);  /* one buffer per level */
    }
}

void map_blocks(Walk &w, const uint8_t *inode)
{
    const uint8_t *ptr = inode + EXT_I_BLOCK;
    for (uint64_t i = 0; i < EXT_N_DIRECT && i < w.want; i++) {
        uint32_t p = sv_ld_le32(ptr + i * 4);
        if (p)
            add_run(w, i, p, 1, 0);
    }
    const uint32_t bs = w.vol->m_nBlockSizeInBytes;
    std::vector<uint8_t> bufs[3] = {std::vector<uint8_t>(bs), std::vector<uint8_t>(bs),
                                    std::vector<uint8_t>(bs)};
    const uint32_t perBlock = bs / 4;
    uint64_t first = EXT_N_DIRECT;
    for (int level = 1; level <= 3 && first < w.want; level++) {
        walk_pointers(w, sv_ld_le32(ptr + (EXT_N_DIRECT + level - 1) * 4), level, first, bufs);
        first += span_of(perBlock, level);
    }
    if (first < w.want)
        w.stats->unresolved += w.want - first;
}

/* ---- extent trees -------------------------------------------------------- */

void walk_extent_node(Walk &w, const uint8_t *node, uint32_t len, int expectDepth, uint64_t lo,
                      uint64_t hi)
{
    uint16_t entries = 0, depth = 0;
    if (!ext_extent_header(node, len, &entries, &depth))
        return;
    if (expectDepth >= 0 && depth != expectDepth)
        return;
    if (depth > w.stats->depth)
        w.stats->depth = depth;
    for (uint16_t i = 0; i < entries; i++) {
        const uint8_t *e = node + 12 + (size_t)i * 12;
        uint64_t first = sv_ld_le32(e);
        if (first < lo || first >= hi)
            continue;  /* an entry outside its parent's range is not trusted */
        if (depth == 0) {
            uint32_t n = sv_ld_le16(e + 4);
            uint32_t flags = 0;
            if (n > 32768) {
                n -= 32768;
                flags = EXT_RUN_UNWRITTEN;
            }
            uint64_t start = (uint64_t)sv_ld_le16(e + 6) << 32 | sv_ld_le32(e + 8);
            uint64_t end = hi - first < n ? hi : first + n;
            add_run(w, first, start, end - first, flags);
            continue;
        }
        uint64_t next = i + 1 < entries ? sv_ld_le32(e + 12) : hi;
        if (next > hi || next <= first)
            next = hi;
        uint64_t child = (uint64_t)sv_ld_le16(e + 8) << 32 | sv_ld_le32(e + 4);
        if (w.nodeBudget == 0 || first >= w.want)
            continue;
        w.nodeBudget--;
        std::vector<uint8_t> buf(w.vol->m_nBlockSizeInBytes);
        if (!ext_block_valid(w.vol, child) || w.read(w.ctx, child, buf.data()) != EXT_OK) {
            uint64_t end = std::min(next, w.want);
            w.stats->unresolved += end - first;
            continue;
        }
        walk_extent_node(w, buf.data(), (uint32_t)buf.size(), depth - 1, first, next);
    }
}

}  // namespace

bool ext_extent_header(const uint8_t *buf, uint32_t len, uint16_t *entries, uint16_t *depth)
{
    sv_view v = sv_view_make(buf, len);
    uint16_t magic = 0, n = 0, max = 0, d = 0;
    if (!sv_le16(v, 0, &magic) || !sv_le16(v, 2, &n) || !sv_le16(v, 4, &max) || !sv_le16(v, 6, &d))
        return false;
    if (magic != EXT_EXTENT_MAGIC || d > EXT_EXTENT_MAX_DEPTH)
        return false;
    uint32_t room = (len - 12) / 12;
    if (max > room || n > max)
        return false;
    *entries = n;
    *depth = d;
    return true;
}

ExtStatus ext_map_inode(const ExtVolume *vol, const uint8_t *inode, uint64_t blockCount,
                        ExtMetaRead read, void *ctx, std::vector<ExtRun> *out, ExtMapStats *stats)
{
    memset(stats, 0, sizeof *stats);
    out->clear();
    if (blockCount > vol->readableBlocks)
        blockCount = vol->readableBlocks;
    Walk w{vol, read, ctx, blockCount, out, stats, 0};
    /* Each pointer block or node maps at least one block; a few more for
     * empty nodes. */
    w.nodeBudget = blockCount + 64;
    uint32_t flags = sv_ld_le32(inode + EXT_I_FLAGS);
    if (flags & EXT_INODE_FL_INLINE_DATA)
        return EXT_OK;
    if (flags & EXT_INODE_FL_EXTENTS) {
        uint16_t entries = 0, depth = 0;
        if (!ext_extent_header(inode + EXT_I_BLOCK, 60, &entries, &depth))
            return EXT_CORRUPT;
        walk_extent_node(w, inode + EXT_I_BLOCK, 60, -1, 0, UINT32_MAX + (uint64_t)1);
        /* Hostile trees may overlap: keep the first run that claims a block. */
        std::sort(out->begin(), out->end(),
                  [](const ExtRun &a, const ExtRun &b) { return a.logical < b.logical; });
        std::vector<ExtRun> clean;
        uint64_t next = 0;
        for (ExtRun r : *out) {
            if (r.logical + r.count <= next)
                continue;
            if (r.logical < next) {
                uint64_t cut = next - r.logical;
                r.logical += cut;
                r.physical += cut;
                r.count -= (uint32_t)cut;
            }
            next = r.logical + r.count;
            clean.push_back(r);
        }
        out->swap(clean);
        return EXT_OK;
    }
    map_blocks(w, inode);
    return EXT_OK;
}
