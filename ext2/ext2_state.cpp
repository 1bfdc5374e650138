/*
 * libbriel's process-wide state: init and exit are the only places that
 * change its lifetime; exit leaves it zeroed so that init can run again.
 */
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "ext2_i.h"

Ext2State g_ext2;

/* The records keep the field order the program relies on. */
static_assert(offsetof(Ext2FileNode, Size) == 0, "Ext2FileNode layout");
static_assert(offsetof(Ext2FileNode, Reserved) == 8, "Ext2FileNode layout");
static_assert(offsetof(Ext2FileNode, BlockList) == 16, "Ext2FileNode layout");
static_assert(offsetof(Ext2FileNode, Inode) == 16 + sizeof(void *), "Ext2FileNode layout");
static_assert(offsetof(Ext2FileNode, Name) == 16 + 2 * sizeof(void *), "Ext2FileNode layout");
static_assert(offsetof(Ext2FileNode, Reserved2) == offsetof(Ext2FileNode, Name) + EXT2_FILE_NAME_LEN,
              "Ext2FileNode layout");
static_assert(offsetof(Ext2DirNode, Prev) == 0, "Ext2DirNode layout");
static_assert(offsetof(Ext2DirNode, Files) == sizeof(void *), "Ext2DirNode layout");
static_assert(offsetof(Ext2DirNode, Reserved) == 2 * sizeof(void *), "Ext2DirNode layout");
static_assert(offsetof(Ext2DirNode, FileCount) == 2 * sizeof(void *) + 4, "Ext2DirNode layout");
static_assert(offsetof(Ext2DirNode, Name) == 2 * sizeof(void *) + 8, "Ext2DirNode layout");
static_assert(offsetof(Ext2DirNode, Next) >= offsetof(Ext2DirNode, Name) + EXT2_DIR_NAME_LEN,
              "Ext2DirNode layout");
static_assert(offsetof(Ext2DirNodeImpl, pub) == 0, "the public record comes first");

void ext2_free_nodes(void)
{
    Ext2DirNode *node = g_ext2.m_stHeadDirNode;
    while (node) {
        Ext2DirNode *next = node->Next;
        if (node->Files) {
            for (uint32_t i = 0; i < node->FileCount; i++) {
                Ext2FileNode *f = node->Files[i];
                if (!f)
                    continue;
                free(f->BlockList);
                free(f->Inode);
                free(f);
            }
            free(node->Files);
        }
        free(reinterpret_cast<Ext2DirNodeImpl *>(node));
        node = next;
    }
    g_ext2.m_stHeadDirNode = nullptr;
    g_ext2.m_stCurrDirNode = nullptr;
}

extern "C" BRIEL_EXPORT int ext2_init(Partiton_Struct *part)
{
    /* A volume left open by an earlier scan is released first. */
    ext2_exit();
    if (!part)
        return 0;
    if (ext_volume_open(&g_ext2.vol, part) != EXT_OPEN_OK)
        return 0;
    const uint32_t bs = g_ext2.vol.m_nBlockSizeInBytes;
    g_ext2.m_szHeadOfBuffer = static_cast<uint8_t *>(MALLOC(EXT_SCRATCH_LEN));
    g_ext2.m_szBuffer = g_ext2.m_szHeadOfBuffer;
    g_ext2.m_szBitMapBuffer = static_cast<uint8_t *>(MALLOC(bs));
    uint32_t tableBlocks = ext_inode_table_blocks(&g_ext2.vol);
    uint32_t window = EXT2_TABLE_WINDOW / bs;
    if (window == 0)
        window = 1;
    g_ext2.tableWindowBlocks = tableBlocks < window ? tableBlocks : window;
    if (g_ext2.tableWindowBlocks == 0)
        g_ext2.tableWindowBlocks = 1;
    g_ext2.m_szInodeTable = static_cast<uint8_t *>(MALLOC((size_t)g_ext2.tableWindowBlocks * bs));
    g_ext2.initialised = 1;
    return 1;
}

extern "C" BRIEL_EXPORT void ext2_exit(void)
{
    ext2_free_nodes();
    free(g_ext2.m_szHeadOfBuffer);
    free(g_ext2.m_szBitMapBuffer);
    free(g_ext2.m_szInodeTable);
    free(g_ext2.aheadBuffer);
    ext_volume_close(&g_ext2.vol);
    memset(&g_ext2, 0, sizeof g_ext2);
}

extern "C" BRIEL_EXPORT int ext2_in_use(uint64_t offset, uint64_t length)
{
    return g_ext2.initialised ? ext_range_in_use(&g_ext2.vol, offset, length) : 0;
}
