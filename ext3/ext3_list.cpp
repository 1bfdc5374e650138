/*
 * Getters and setters of the result list and the block read.  All accept
 * null and then return 0 (or -1 where a number is read).
 */
#include <cstring>

#include "ext3_i.h"

extern "C" COSK_EXPORT Ext3DirNode *ext3_get_next(Ext3DirNode *node)
{
    return node ? node->Next : nullptr;
}

extern "C" COSK_EXPORT Ext3FileNode **ext3_get_filelist(Ext3DirNode *node)
{
    return node ? node->Files : nullptr;
}

extern "C" COSK_EXPORT Ext3FileNode *ext3_get_file(Ext3DirNode *node, uint32_t index)
{
    if (!node || !node->Files)
        return nullptr;
    if (index >= reinterpret_cast<Ext3DirNodeImpl *>(node)->count)
        return nullptr;
    return node->Files[index];
}

extern "C" COSK_EXPORT char *ext3_get_filename(Ext3FileNode *file)
{
    return file ? file->Name : nullptr;
}

extern "C" COSK_EXPORT int64_t ext3_get_filesize(Ext3FileNode *file)
{
    return file ? (int64_t)file->Size : -1;
}

extern "C" COSK_EXPORT int ext3_file_isdir(Ext3FileNode *file)
{
    return file && file->IsDir ? 1 : 0;
}

extern "C" COSK_EXPORT int ext3_user_set_parantnode(Ext3DirNode *node, Ext3DirNode *parent)
{
    if (!node)
        return 0;
    node->Parent = parent;
    return 1;
}

extern "C" COSK_EXPORT Ext3DirNode *ext3_user_get_parantnode(Ext3DirNode *node)
{
    return node ? node->Parent : nullptr;
}

extern "C" COSK_EXPORT int ext3_user_set_dirnum(Ext3DirNode *node, uint32_t num)
{
    if (!node)
        return 0;
    node->DirNum = num;
    return 1;
}

extern "C" COSK_EXPORT int64_t ext3_user_get_dirnum(Ext3DirNode *node)
{
    return node ? (int64_t)node->DirNum : -1;
}

extern "C" COSK_EXPORT int ext3_user_set_treenode(Ext3DirNode *node, void *treeNode)
{
    if (!node)
        return 0;
    node->TreeNode = treeNode;
    return 1;
}

extern "C" COSK_EXPORT void *ext3_user_get_treenode(Ext3DirNode *node)
{
    return node ? node->TreeNode : nullptr;
}

extern "C" COSK_EXPORT int ext3_readfile(Ext3FileNode *file, uint64_t length, uint64_t *got,
                                         uint64_t block, void *buffer)
{
    if (got)
        *got = 0;
    if (!file || !buffer || !g_ext3.initialised)
        return 0;
    const uint32_t bs = g_ext3.vol.m_nBlockSizeInBytes;
    uint64_t n = length < bs ? length : bs;
    /* The scratch buffer also caches an inode-table block for the walk. */
    g_ext3.cachedInodeBlock = 0;
    if (__ext2_ReadBlock(&g_ext3.vol, block, g_ext3.m_szBuffer) != EXT_OK)
        return 0;
    memcpy(buffer, g_ext3.m_szBuffer, (size_t)n);
    if (got)
        *got = n;
    return 1;
}

extern "C" COSK_EXPORT Ext3DirNode *ext3_get_head(void)
{
    return g_ext3.m_stHead;
}

extern "C" COSK_EXPORT uint32_t ext3_get_inodenum(Ext3FileNode *file)
{
    return file ? reinterpret_cast<Ext3FileNodeImpl *>(file)->inodeNumber : 0;
}

extern "C" COSK_EXPORT uint32_t ext3_get_blocksize(void)
{
    return g_ext3.initialised ? g_ext3.vol.m_nBlockSizeInBytes : 0;
}
