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

extern "C" BRIEL_EXPORT int ext2_readfile(Ext2FileNode *file, uint64_t length, uint64_t *got,
                                          uint64_t block, void *buffer)
{
    if (got)
        *got = 0;
    if (!file || !buffer || !g_ext2.initialised)
        return 0;
    const uint32_t bs = g_ext2.vol.m_nBlockSizeInBytes;
    uint64_t n = length < bs ? length : bs;
    if (n == bs) {
        /* A whole block goes straight into the caller's buffer. */
        if (__ext2_ReadBlock(&g_ext2.vol, block, buffer) != EXT_OK) {
            memset(buffer, 0, bs);
            return 0;
        }
    } else {
        if (__ext2_ReadBlock(&g_ext2.vol, block, g_ext2.m_szBuffer) != EXT_OK)
            return 0;
        memcpy(buffer, g_ext2.m_szBuffer, (size_t)n);
    }
    if (got)
        *got = n;
    return 1;
}
