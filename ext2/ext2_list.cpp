/*
 * Getters of the result list and the block read for recovery.  All accept
 * null and then return 0 (or -1 for the size).
 */
#include <cstring>

#include "ext2_i.h"

extern "C" BRIEL_EXPORT Ext2DirNode *ext2_get_next(Ext2DirNode *node)
{
    return node ? node->Next : nullptr;
}

extern "C" BRIEL_EXPORT Ext2FileNode **ext2_get_filelist(Ext2DirNode *node)
{
    return node ? node->Files : nullptr;
}

extern "C" BRIEL_EXPORT Ext2FileNode *ext2_get_file(Ext2DirNode *node, uint32_t index)
{
    if (!node || !node->Files || index >= node->FileCount)
        return nullptr;
    return node->Files[index];
}

extern "C" BRIEL_EXPORT char *ext2_get_filename(void *record, int kind)
{
    if (!record)
        return nullptr;
    if (kind == EXT2_NAME_OF_FILE)
        return static_cast<Ext2FileNode *>(record)->Name;
    if (kind == EXT2_NAME_OF_DIR)
        return static_cast<Ext2DirNode *>(record)->Name;
    return nullptr;
}

extern "C" BRIEL_EXPORT int64_t ext2_get_filesize(Ext2FileNode *file)
{
    return file ? (int64_t)file->Size : -1;
}

extern "C" BRIEL_EXPORT uint32_t *ext2_get_fileblocklist(Ext2FileNode *file)
{
    return file ? file->BlockList : nullptr;
}

extern "C" BRIEL_EXPORT uint32_t ext2_get_blocksize(void)
{
    return g_ext2.vol.m_nBlockSizeInBytes;
}

/*
 * A file's blocks usually follow each other on disk.  When a block is asked
 * for right after the one before it, the blocks behind it are read in one
 * go and later requests are served from that window; a window that cannot
 * be read whole (a bad sector) is not used: its blocks are read one by one,
 * so a damaged spot costs only its own blocks.
 */
static const uint8_t *readahead_block(uint64_t block)
{
    Ext2State &s = g_ext2;
    const uint32_t bs = s.vol.m_nBlockSizeInBytes;
    if (s.aheadCount && block >= s.aheadFirst && block - s.aheadFirst < s.aheadCount)
        return s.aheadBuffer + (size_t)(block - s.aheadFirst) * bs;
    bool sequential = s.lastBlock != 0 && block == s.lastBlock + 1;
    uint32_t window = EXT2_READAHEAD / bs;
    if (!sequential || window < 2 || !ext_block_valid(&s.vol, block) || block < s.aheadPausedUntil)
        return nullptr;
    uint64_t avail = s.vol.readableBlocks - block;
    if (s.vol.blocksCount - block < avail)
        avail = s.vol.blocksCount - block;
    uint32_t n = avail < window ? (uint32_t)avail : window;
    if (!s.aheadBuffer)
        s.aheadBuffer = static_cast<uint8_t *>(MALLOC(EXT2_READAHEAD));
    s.aheadCount = 0;
    if (ext_read_blocks(&s.vol, block, n, s.aheadBuffer) != EXT_OK) {
        /* Somewhere in the window the medium fails: read its blocks one by
         * one, so that the bad spot is not read again for every block. */
        s.aheadPausedUntil = block + n;
        return nullptr;
    }
    s.aheadFirst = block;
    s.aheadCount = n;
    return s.aheadBuffer;
}

extern "C" BRIEL_EXPORT int ext2_readfile(Ext2FileNode *file, uint64_t length, uint64_t *got,
                                          uint64_t block, void *buffer)
{
    if (got)
        *got = 0;
    if (!file || !buffer || !g_ext2.initialised)
        return 0;
    const uint32_t bs = g_ext2.vol.m_nBlockSizeInBytes;
    uint64_t n = length < bs ? length : bs;
    const uint8_t *src = readahead_block(block);
    g_ext2.lastBlock = block;
    if (!src) {
        if (__ext2_ReadBlock(&g_ext2.vol, block, g_ext2.m_szBuffer) != EXT_OK)
            return 0;
        src = g_ext2.m_szBuffer;
    }
    memcpy(buffer, src, (size_t)n);
    if (got)
        *got = n;
    return 1;
}
