/*
 * The deleted-file search: every inode table, group by group, for inodes
 * that carry a deletion time and are free in the inode bitmap.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ext2_i.h"
#include "sv_bytes.h"

namespace {

/* Entries a triple-indirect tree can reach with this block size. */
uint64_t max_mappable_blocks(const ExtVolume *vol)
{
    uint64_t k = vol->m_nBlockSizeInBytes / 4;
    return EXT_N_DIRECT + k + k * k + k * k * k;
}

Ext2DirNode *append_group_node(uint32_t group)
{
    auto *impl = static_cast<Ext2DirNodeImpl *>(MALLOC(sizeof(Ext2DirNodeImpl)));
    Ext2DirNode *node = &impl->pub;
    snprintf(node->Name, sizeof node->Name, "Group(%u)", group);
    impl->capacity = EXT2_FILES_STEP;
    node->Files = static_cast<Ext2FileNode **>(MALLOC(EXT2_FILES_STEP * sizeof(Ext2FileNode *)));
    if (!g_ext2.m_stHeadDirNode) {
        g_ext2.m_stHeadDirNode = node;
    } else {
        node->Prev = g_ext2.m_stCurrDirNode;
        g_ext2.m_stCurrDirNode->Next = node;
    }
    g_ext2.m_stCurrDirNode = node;
    return node;
}

/* Stores a record, growing the array one step early so that a null entry
 * always follows the last record. */
void append_file(Ext2DirNode *node, Ext2FileNode *file)
{
    auto *impl = reinterpret_cast<Ext2DirNodeImpl *>(node);
    if (node->FileCount + 1 >= impl->capacity) {
        uint32_t cap = impl->capacity + EXT2_FILES_STEP;
        auto **grown = static_cast<Ext2FileNode **>(MALLOC((size_t)cap * sizeof(Ext2FileNode *)));
        memcpy(grown, node->Files, (size_t)node->FileCount * sizeof(Ext2FileNode *));
        free(node->Files);
        node->Files = grown;
        impl->capacity = cap;
    }
    node->Files[node->FileCount++] = file;
}

/* True when the block starts with the "." and ".." entries of a directory:
 * a deleted file whose first block holds one has been overwritten. */
bool looks_like_directory_block(uint32_t block)
{
    if (__ext2_ReadBlock(&g_ext2.vol, block, g_ext2.m_szBuffer) != EXT_OK)
        return false;
    const uint8_t *b = g_ext2.m_szBuffer;
    return b[7] == 2 && b[8] == '.' && b[19] == 2 && b[20] == '.' && b[21] == '.';
}

/* Builds the record of one deleted file from its inode; null when the
 * inode is passed over. */
Ext2FileNode *make_file(const uint8_t *inode, uint32_t indexInGroup)
{
    const ExtVolume *vol = &g_ext2.vol;
    uint64_t size = ext_inode_size(inode);
    uint32_t *list = nullptr;
    if (ext_inode_has_data_blocks(vol, inode)) {
        uint32_t first = sv_ld_le32(inode + EXT_I_BLOCK);
        if (first != 0 && looks_like_directory_block(first))
            return nullptr;
        uint64_t count = ext_block_count(vol, size);
        /* A size no block tree can map, far beyond the volume, or more
         * lists than one scan may hold: the file is listed without one. */
        if (count <= max_mappable_blocks(vol) && count <= g_ext2.fileListCap &&
            count <= g_ext2.listBudget) {
            list = static_cast<uint32_t *>(MALLOC((size_t)count * sizeof(uint32_t)));
            ext_resolve_blocks(vol, inode, list, count);
            g_ext2.listBudget -= count;
        }
    }
    auto *file = static_cast<Ext2FileNode *>(MALLOC(sizeof(Ext2FileNode)));
    file->Size = size;
    file->BlockList = list;
    file->Inode = static_cast<uint8_t *>(MALLOC(EXT2_INODE_COPY_LEN));
    memcpy(file->Inode, inode, EXT2_INODE_COPY_LEN);
    snprintf(file->Name, sizeof file->Name, "LostFile(%u)", indexInGroup);
    return file;
}

/* Scans the inode slots of one group.  EXT_STOP when the progress value
 * asks the scan to end. */
ExtStatus scan_group(uint32_t group, Ext2DirNode *node)
{
    const ExtVolume *vol = &g_ext2.vol;
    const uint32_t bs = vol->m_nBlockSizeInBytes;
    const uint32_t isz = vol->m_nInodeSize;
    const uint32_t ipg = vol->inodesPerGroup;
    const uint64_t table = ext_group_inode_table(vol, group);

    bool bitmapOk =
        __ext2_ReadBlock(vol, ext_group_inode_bitmap(vol, group), g_ext2.m_szBitMapBuffer) == EXT_OK;
    const uint32_t slotsPerWindow = g_ext2.tableWindowBlocks * bs / isz;
    const uint32_t firstSlot = group == 0 ? 11 : 0;
    uint32_t windowStart = UINT32_MAX;

    for (uint32_t slot = firstSlot; slot < ipg; slot++) {
        if (!sv_progress_running())
            return EXT_STOP;
        if (!bitmapOk)
            break;
        uint32_t window = slot / slotsPerWindow * slotsPerWindow;
        if (window != windowStart) {
            windowStart = window;
            uint64_t firstBlock = table + (uint64_t)window * isz / bs;
            uint32_t tableBlocks = ext_inode_table_blocks(vol);
            uint32_t left = tableBlocks - (uint32_t)((uint64_t)window * isz / bs);
            uint32_t n = left < g_ext2.tableWindowBlocks ? left : g_ext2.tableWindowBlocks;
            /* A failed read leaves zeros: those slots show no deletion time. */
            ext_read_blocks(vol, firstBlock, n, g_ext2.m_szInodeTable);
        }
        const uint8_t *inode = g_ext2.m_szInodeTable + (size_t)(slot - windowStart) * isz;
        if (ext_inode_dtime(inode) == 0)
            continue;
        if (g_ext2.m_szBitMapBuffer[slot / 8] & (1u << (slot % 8)))
            continue;  /* in use again */
        uint16_t type = ext_inode_mode(inode) & EXT_S_IFMT;
        if (type != EXT_S_IFREG && type != EXT_S_IFLNK)
            continue;
        Ext2FileNode *file = make_file(inode, node->FileCount);
        if (file)
            append_file(node, file);
    }
    return EXT_OK;
}

/* An inode table that starts at block 0, outside the volume, past the end of
 * the medium or outside its own group (every ext2 group without flex_bg
 * holds its table) is not read. */
bool inode_table_usable(uint32_t group)
{
    const ExtVolume *vol = &g_ext2.vol;
    uint64_t table = ext_group_inode_table(vol, group);
    if (table == 0 || table >= vol->blocksCount || table >= vol->readableBlocks)
        return false;
    uint64_t end = table + ext_inode_table_blocks(vol);
    return table >= ext_group_first_block(vol, group) && end <= ext_group_end_block(vol, group);
}

void progress_step(uint32_t group)
{
    g_ext2.m_nIntermeDiate = (double)(group + 1) / g_ext2.vol.m_nGroupCount;
    if (g_ext2.m_nIntermeDiate >= g_ext2.m_nTempValue) {
        sv_progress_add(1);
        g_ext2.m_nTempValue += 0.01;
        g_ext2.m_nIntermeDiate += 0.01;
    }
}

}  // namespace

extern "C" BRIEL_EXPORT Ext2DirNode *ext2_searchfile(void)
{
    sv_progress_begin();
    g_ext2.m_nIntermeDiate = 0;
    g_ext2.m_nTempValue = 0.05;
    ext2_free_nodes();
    uint64_t perVolume = EXT2_LIST_PER_BLOCK * g_ext2.vol.readableBlocks;
    g_ext2.listBudget = perVolume < EXT2_LIST_BUDGET_MIN   ? EXT2_LIST_BUDGET_MIN
                        : perVolume > EXT2_LIST_BUDGET_MAX ? EXT2_LIST_BUDGET_MAX
                                                           : perVolume;
    g_ext2.fileListCap = perVolume < EXT2_FILE_LIST_MIN ? EXT2_FILE_LIST_MIN : perVolume;

    if (g_ext2.initialised && g_ext2.vol.m_stGroupDescriptors) {
        for (uint32_t g = 0; g < g_ext2.vol.m_nGroupCount && sv_progress_running(); g++) {
            if (!inode_table_usable(g))
                continue;
            Ext2DirNode *node = append_group_node(g);
            if (scan_group(g, node) == EXT_STOP)
                break;
            progress_step(g);
        }
    }
    /* Finished; a stop request (200) is left as it is. */
    sv_progress_finish();
    return g_ext2.m_stHeadDirNode;
}
