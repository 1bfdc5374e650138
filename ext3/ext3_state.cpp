/*
 * libcosk's process-wide state: init and exit are the only places that
 * change its lifetime; exit leaves it zeroed so that init can run again.
 */
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "ext3_i.h"

Ext3State g_ext3;

/* The records keep the field order the program relies on. */
static_assert(offsetof(Ext3FileNode, Size) == 0, "Ext3FileNode layout");
static_assert(offsetof(Ext3FileNode, Reserved) == 8, "Ext3FileNode layout");
static_assert(offsetof(Ext3FileNode, BlockList) == 16, "Ext3FileNode layout");
static_assert(offsetof(Ext3FileNode, Inode) == 16 + sizeof(void *), "Ext3FileNode layout");
static_assert(offsetof(Ext3FileNode, Name) == offsetof(Ext3FileNode, Inode) + EXT3_INODE_COPY_LEN,
              "Ext3FileNode layout");
static_assert(offsetof(Ext3FileNode, IsDir) == offsetof(Ext3FileNode, Name) + EXT3_NAME_LEN,
              "Ext3FileNode layout");
static_assert(offsetof(Ext3DirNode, Prev) == 0, "Ext3DirNode layout");
static_assert(offsetof(Ext3DirNode, Reserved) == sizeof(void *), "Ext3DirNode layout");
static_assert(offsetof(Ext3DirNode, Parent) < offsetof(Ext3DirNode, Files), "Ext3DirNode layout");
static_assert(offsetof(Ext3DirNode, Files) < offsetof(Ext3DirNode, IsRoot), "Ext3DirNode layout");
static_assert(offsetof(Ext3DirNode, IsRoot) < offsetof(Ext3DirNode, DirNum), "Ext3DirNode layout");
static_assert(offsetof(Ext3DirNode, DirNum) < offsetof(Ext3DirNode, TreeNode), "Ext3DirNode layout");
static_assert(offsetof(Ext3DirNode, TreeNode) < offsetof(Ext3DirNode, Name), "Ext3DirNode layout");
static_assert(offsetof(Ext3DirNode, Next) >= offsetof(Ext3DirNode, Name) + EXT3_NAME_LEN,
              "Ext3DirNode layout");
static_assert(offsetof(Ext3DirNodeImpl, pub) == 0, "the public record comes first");
static_assert(offsetof(Ext3FileNodeImpl, pub) == 0, "the public record comes first");

void ext3_free_nodes(void)
{
    Ext3DirNode *node = g_ext3.m_stHead;
    while (node) {
        Ext3DirNode *next = node->Next;
        auto *impl = reinterpret_cast<Ext3DirNodeImpl *>(node);
        if (node->Files) {
            for (uint32_t i = 0; i < impl->count; i++)
                free(reinterpret_cast<Ext3FileNodeImpl *>(node->Files[i]));
            free(node->Files);
        }
        free(impl);
        node = next;
    }
    g_ext3.m_stHead = nullptr;
    g_ext3.m_stCurrDir = nullptr;
    g_ext3.m_stTmpDir = nullptr;
    free(g_ext3.visited.slots);
    memset(&g_ext3.visited, 0, sizeof g_ext3.visited);
    if (g_ext3.jr) {
        g_ext3.jr->walked = false;
        g_ext3.jr->dirBlocks.clear();
    }
}

void ext3_free_journal_files(void)
{
    if (!g_ext3.jr)
        return;
    for (Ext3JournalFileImpl *f : g_ext3.jr->files) {
        free(f->pub.Folder);
        delete f;
    }
    g_ext3.jr->files.clear();
}

extern "C" COSK_EXPORT int ext3_init(Partiton_Struct *part)
{
    /* A volume left open by an earlier scan is released first. */
    ext3_exit();
    if (!part)
        return 0;
    if (ext_volume_open_flags(&g_ext3.vol, part, EXT_ACCEPT_EXT4) != EXT_OPEN_OK)
        return 0;
    g_ext3.m_szHeadOfBuffer = static_cast<uint8_t *>(MALLOC(EXT_SCRATCH_LEN));
    g_ext3.m_szBuffer = g_ext3.m_szHeadOfBuffer;
    g_ext3.jr = new Ext3Journaled();
    ExtJournal *j = &g_ext3.jr->journal;
    g_ext3.jr->check = ext_journal_open(j, &g_ext3.vol);
    if (g_ext3.jr->check == EXT_JOURNAL_OK && !j->replay.empty()) {
        /* The journal needs recovery: every read sees the replayed blocks,
         * the group descriptors first. */
        g_ext3.vol.overlayCtx = j;
        g_ext3.vol.overlayRead = ext_journal_overlay;
        if (ext_volume_reload_descriptors(&g_ext3.vol) != EXT_OK) {
            g_ext3.vol.overlayRead = nullptr;
            g_ext3.vol.overlayCtx = nullptr;
            ext_volume_reload_descriptors(&g_ext3.vol);
        }
    }
    g_ext3.initialised = 1;
    return 1;
}

extern "C" COSK_EXPORT void ext3_exit(void)
{
    ext3_free_nodes();
    ext3_free_journal_files();
    delete g_ext3.jr;
    g_ext3.jr = nullptr;
    free(g_ext3.m_szHeadOfBuffer);
    ext_volume_close(&g_ext3.vol);
    memset(&g_ext3, 0, sizeof g_ext3);
}

extern "C" COSK_EXPORT int ext3_in_use(uint64_t offset, uint64_t length)
{
    return g_ext3.initialised ? ext_range_in_use(&g_ext3.vol, offset, length) : 0;
}
