/*
 * The directory walk: the live tree from the root, each directory block
 * stepped over by name length so that merged (deleted) entries show up.
 *
 * Directories are read one block at a time, whatever their size; each
 * directory is walked once (visited set), the depth is bounded, and the
 * walk reads at most about twice the volume's blocks of directory data, so
 * a looping or self-referencing tree ends.
 */
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ext3_i.h"
#include "sv_bytes.h"

namespace {

enum : uint8_t { FT_REG_FILE = 1, FT_DIR = 2, FT_SYMLINK = 7 };

/* ---- visited set -------------------------------------------------------- */

uint32_t hash_ino(uint32_t n)
{
    return n * 2654435761u;
}

bool set_contains(const Ext3InodeSet *s, uint32_t n)
{
    if (!s->slots)
        return false;
    uint32_t mask = s->capacity - 1;
    for (uint32_t i = hash_ino(n) & mask;; i = (i + 1) & mask) {
        if (s->slots[i] == 0)
            return false;
        if (s->slots[i] == n)
            return true;
    }
}

void set_insert(Ext3InodeSet *s, uint32_t n)
{
    if (s->used * 2 + 2 > s->capacity) {
        uint32_t cap = s->capacity ? s->capacity * 2 : 1024;
        auto *slots = static_cast<uint32_t *>(MALLOC((size_t)cap * sizeof(uint32_t)));
        for (uint32_t i = 0; i < s->capacity; i++) {
            uint32_t v = s->slots[i];
            if (!v)
                continue;
            uint32_t j = hash_ino(v) & (cap - 1);
            while (slots[j])
                j = (j + 1) & (cap - 1);
            slots[j] = v;
        }
        free(s->slots);
        s->slots = slots;
        s->capacity = cap;
    }
    uint32_t mask = s->capacity - 1;
    uint32_t i = hash_ino(n) & mask;
    while (s->slots[i] && s->slots[i] != n)
        i = (i + 1) & mask;
    if (!s->slots[i]) {
        s->slots[i] = n;
        s->used++;
    }
}

/* ---- nodes and records -------------------------------------------------- */

Ext3DirNode *create_node(Ext3DirNode *parent, const char *name, size_t nameLen, uint32_t ino)
{
    auto *impl = static_cast<Ext3DirNodeImpl *>(MALLOC(sizeof(Ext3DirNodeImpl)));
    impl->inodeNumber = ino;
    Ext3DirNode *node = &impl->pub;
    node->Parent = parent;
    sv_copy_field(node->Name, sizeof node->Name, name, nameLen);
    impl->capacity = EXT3_FILES_STEP;
    node->Files = static_cast<Ext3FileNode **>(MALLOC(EXT3_FILES_STEP * sizeof(Ext3FileNode *)));
    if (!g_ext3.m_stHead) {
        g_ext3.m_stHead = node;
        node->IsRoot = 1;
    } else {
        node->Prev = g_ext3.m_stCurrDir;
        g_ext3.m_stCurrDir->Next = node;
    }
    g_ext3.m_stCurrDir = node;
    g_ext3.m_stTmpDir = node;
    return node;
}

/* __ext3_FileInfo2List: records one entry in a directory node, growing the
 * array one step early so that a null entry always follows the last record. */
void __ext3_FileInfo2List(Ext3DirNode *dir, const uint8_t *inode, const char *name, size_t nameLen,
                          bool isDir, uint32_t ino, bool merged = false)
{
    auto *impl = reinterpret_cast<Ext3DirNodeImpl *>(dir);
    if (impl->count + 1 >= impl->capacity) {
        uint32_t cap = impl->capacity + EXT3_FILES_STEP;
        auto **grown = static_cast<Ext3FileNode **>(MALLOC((size_t)cap * sizeof(Ext3FileNode *)));
        memcpy(grown, dir->Files, (size_t)impl->count * sizeof(Ext3FileNode *));
        free(dir->Files);
        dir->Files = grown;
        impl->capacity = cap;
    }
    auto *recImpl = static_cast<Ext3FileNodeImpl *>(MALLOC(sizeof(Ext3FileNodeImpl)));
    recImpl->inodeNumber = ino;
    recImpl->merged = merged ? 1 : 0;
    recImpl->order = g_ext3.recordOrder++;
    Ext3FileNode *rec = &recImpl->pub;
    rec->Size = ext_inode_size(inode);
    memcpy(rec->Inode, inode, EXT3_INODE_COPY_LEN);
    sv_copy_field(rec->Name, sizeof rec->Name, name, nameLen);
    rec->IsDir = isDir ? 1 : 0;
    dir->Files[impl->count++] = rec;
}

/* ---- directory entries -------------------------------------------------- */

struct Entry {
    uint32_t inode;
    uint16_t recLen;
    uint8_t nameLen;
    uint8_t fileType;
    const char *name;
};

/* True when the bytes at off of a block could be a directory entry of a
 * file, a symbolic link or a directory: everything it names lies inside
 * the block. */
bool parse_entry(const uint8_t *block, uint32_t bs, uint32_t off, Entry *e)
{
    sv_view v = sv_view_make(block, bs);
    if (!sv_le32(v, off, &e->inode) || !sv_le16(v, off + 4, &e->recLen) ||
        !sv_u8(v, off + 6, &e->nameLen) || !sv_u8(v, off + 7, &e->fileType))
        return false;
    if (e->inode == 0 || e->inode > g_ext3.vol.inodesCount || e->nameLen == 0)
        return false;
    if (e->fileType != FT_REG_FILE && e->fileType != FT_DIR && e->fileType != FT_SYMLINK)
        return false;
    if (!sv_has(v, off + 8, e->nameLen))
        return false;
    if (e->recLen < 8u + e->nameLen || e->recLen % 4 != 0 || e->recLen > bs - off)
        return false;
    e->name = reinterpret_cast<const char *>(block + off + 8);
    for (uint8_t i = 0; i < e->nameLen; i++)
        if (e->name[i] == '\0' || e->name[i] == '/')
            return false;
    return true;
}

bool is_dot_entry(const Entry &e)
{
    return (e.nameLen == 1 && e.name[0] == '.') ||
           (e.nameLen == 2 && e.name[0] == '.' && e.name[1] == '.');
}

uint16_t mode_type(const uint8_t *inode)
{
    return ext_inode_mode(inode) & EXT_S_IFMT;
}

ExtStatus proc_directory(Ext3DirNode *node, const uint8_t *dirInode, uint32_t depth);

/* A live subdirectory: recorded in its parent, then walked. */
ExtStatus enter_subdirectory(Ext3DirNode *parent, const Entry &e, const uint8_t *inode, uint32_t depth)
{
    if (ext_inode_dtime(inode) != 0 || ext_inode_links(inode) <= 1 || mode_type(inode) != EXT_S_IFDIR)
        return EXT_OK;  /* deleted or unlinked directories are not walked */
    if (set_contains(&g_ext3.visited, e.inode) || depth >= EXT3_MAX_DEPTH)
        return EXT_OK;
    set_insert(&g_ext3.visited, e.inode);
    __ext3_FileInfo2List(parent, inode, e.name, e.nameLen, true, e.inode);
    Ext3DirNode *child = create_node(parent, e.name, e.nameLen, e.inode);
    uint8_t copy[EXT_INODE_LEN];
    memcpy(copy, inode, sizeof copy);
    ExtStatus st = proc_directory(child, copy, depth + 1);
    g_ext3.m_stTmpDir = parent;
    return st;
}

/* Walks the entries of one directory block by name length. */
ExtStatus walk_block(Ext3DirNode *node, const uint8_t *block, uint32_t depth)
{
    const uint32_t bs = g_ext3.vol.m_nBlockSizeInBytes;
    /* The entries on the record chain are live; the others were merged
     * into the entry before them when they were deleted. */
    std::vector<uint32_t> chain;
    for (uint32_t at = 0, hops = 0; at + 8 <= bs && hops < bs / 8; hops++) {
        chain.push_back(at);
        uint16_t rec = sv_ld_le16(block + at + 4);
        if (rec < 8 || rec % 4 != 0 || rec > bs - at)
            break;
        at += rec;
    }
    uint32_t off = 0;
    while (off + 8 <= bs) {
        Entry e;
        if (!parse_entry(block, bs, off, &e)) {
            off += 4;  /* resynchronise on the next plausible entry */
            continue;
        }
        uint32_t step = 8u + ((e.nameLen + 3u) & ~3u);
        if (!is_dot_entry(e)) {
            uint8_t inode[EXT_INODE_LEN];
            if (__ext3_ReadInode(e.inode, inode) == EXT_OK) {
                if (e.fileType == FT_DIR) {
                    if (enter_subdirectory(node, e, inode, depth) == EXT_STOP)
                        return EXT_STOP;
                } else if (ext_inode_dtime(inode) != 0 &&
                           mode_type(inode) ==
                               (e.fileType == FT_REG_FILE ? EXT_S_IFREG : EXT_S_IFLNK)) {
                    bool merged = std::find(chain.begin(), chain.end(), off) == chain.end();
                    __ext3_FileInfo2List(node, inode, e.name, e.nameLen, false, e.inode, merged);
                }
            }
        }
        off += step;
    }
    return EXT_OK;
}

/* __ext3_ProcDirectory: every block of a directory, in order. */
ExtStatus proc_directory(Ext3DirNode *node, const uint8_t *dirInode, uint32_t depth)
{
    const ExtVolume *vol = &g_ext3.vol;
    const uint32_t bs = vol->m_nBlockSizeInBytes;
    uint64_t count = ext_block_count(vol, ext_inode_size(dirInode));
    /* A directory cannot be larger than the medium. */
    if (count > vol->readableBlocks)
        count = vol->readableBlocks;
    if (count == 0)
        return EXT_OK;
    std::vector<ExtRun> runs;
    ExtMapStats stats;
    ext_map_inode(vol, dirInode, count, ext3_meta_read, nullptr, &runs, &stats);
    const uint32_t dirIno = reinterpret_cast<Ext3DirNodeImpl *>(node)->inodeNumber;
    auto *block = static_cast<uint8_t *>(MALLOC(bs));
    ExtStatus st = EXT_OK;
    for (const ExtRun &r : runs) {
        for (uint32_t i = 0; i < r.count && st != EXT_STOP; i++) {
            if (!sv_progress_running()) {
                st = EXT_STOP;
                break;
            }
            if (g_ext3.dirBlockBudget == 0)
                break;
            g_ext3.dirBlockBudget--;
            if (g_ext3.jr)
                g_ext3.jr->dirBlocks.emplace_back(r.physical + i, dirIno);
            if (__ext2_ReadBlock(vol, r.physical + i, block) != EXT_OK)
                continue;  /* an unreadable block: the next one may do */
            st = walk_block(node, block, depth);
        }
        if (st == EXT_STOP)
            break;
    }
    free(block);
    return st;
}

}  // namespace

ExtStatus __ext3_ReadInode(uint32_t n, uint8_t *out)
{
    const ExtVolume *vol = &g_ext3.vol;
    if (n == 0 || n > vol->inodesCount)
        return EXT_CORRUPT;
    uint32_t group = (n - 1) / vol->inodesPerGroup;
    uint32_t index = (n - 1) % vol->inodesPerGroup;
    uint64_t table = ext_group_inode_table(vol, group);
    if (table == 0)
        return EXT_CORRUPT;
    uint64_t block = table + index / vol->m_nInodesPerBlock;
    if (block != g_ext3.cachedInodeBlock) {
        g_ext3.cachedInodeBlock = 0;
        ExtStatus st = __ext2_ReadBlock(vol, block, g_ext3.m_szBuffer);
        if (st != EXT_OK)
            return st;
        g_ext3.cachedInodeBlock = block;
    }
    memcpy(out, g_ext3.m_szBuffer + (size_t)(index % vol->m_nInodesPerBlock) * vol->m_nInodeSize,
           EXT_INODE_LEN);
    return EXT_OK;
}

ExtStatus ext3_meta_read(void *, uint64_t block, uint8_t *buf)
{
    return __ext2_ReadBlock(&g_ext3.vol, block, buf);
}

Ext3DirNode *ext3_walk(bool finish)
{
    ext3_free_nodes();
    if (!g_ext3.initialised)
        return nullptr;
    g_ext3.cachedInodeBlock = 0;
    g_ext3.dirBlockBudget = 2 * g_ext3.vol.readableBlocks + 64;

    uint8_t root[EXT_INODE_LEN];
    if (__ext3_ReadInode(2, root) != EXT_OK || mode_type(root) != EXT_S_IFDIR)
        return nullptr;
    set_insert(&g_ext3.visited, 2);
    Ext3DirNode *node = create_node(nullptr, "", 0, 2);
    proc_directory(node, root, 0);
    g_ext3.m_stTmpDir = nullptr;
    if (g_ext3.jr)
        g_ext3.jr->walked = true;
    if (finish)
        sv_progress_finish();
    return g_ext3.m_stHead;
}

extern "C" COSK_EXPORT Ext3DirNode *ext3_searchfile(void)
{
    sv_progress_begin();
    return ext3_walk(true);
}
