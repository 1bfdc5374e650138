/*
 * The library's state: init, exit, the block size, the found-record lists
 * and their CNID sets, and the progress helpers.
 */
#include "varn_i.h"

#include <cstdlib>
#include <cstring>

hfsp_state g_hfsp = {-1, nullptr, nullptr, 0, 0.0, 0, nullptr, nullptr, nullptr, nullptr,
                     {nullptr, 0, 0}, {nullptr, 0, 0}, nullptr, 0, 0, false};

/* ---- CNID sets ---- */

static uint32_t idset_hash(uint32_t id)
{
    id ^= id >> 16;
    id *= 0x7feb352du;
    id ^= id >> 15;
    id *= 0x846ca68bu;
    id ^= id >> 16;
    return id;
}

static void idset_put(uint32_t *slots, uint32_t capacity, uint32_t id)
{
    uint32_t mask = capacity - 1;
    for (uint32_t i = idset_hash(id) & mask;; i = (i + 1) & mask) {
        if (slots[i] == 0) {
            slots[i] = id;
            return;
        }
    }
}

bool hfsp_idset_has(const hfsp_idset *set, uint32_t id)
{
    if (!set || set->capacity == 0 || id == 0)
        return false;
    uint32_t mask = set->capacity - 1;
    for (uint32_t i = idset_hash(id) & mask;; i = (i + 1) & mask) {
        if (set->slots[i] == id)
            return true;
        if (set->slots[i] == 0)
            return false;
    }
}

bool hfsp_idset_insert(hfsp_idset *set, uint32_t id)
{
    if (id == 0 || hfsp_idset_has(set, id))
        return false;
    /* Keep the load below one half; a CNID is 32 bits, so at most 2^32
     * entries can ever exist and the capacity never overflows before that. */
    if ((uint64_t)(set->count + 1) * 2 > set->capacity) {
        uint32_t cap = set->capacity ? set->capacity * 2 : 256;
        uint32_t *slots = static_cast<uint32_t *>(MALLOC((size_t)cap * sizeof(uint32_t)));
        for (uint32_t i = 0; i < set->capacity; i++)
            if (set->slots[i])
                idset_put(slots, cap, set->slots[i]);
        free(set->slots);
        set->slots = slots;
        set->capacity = cap;
    }
    idset_put(set->slots, set->capacity, id);
    set->count++;
    return true;
}

void hfsp_idset_free(hfsp_idset *set)
{
    free(set->slots);
    set->slots = nullptr;
    set->capacity = 0;
    set->count = 0;
}

void hfsp_list_free(hfsp_file_list_Journal **head, hfsp_file_list_Journal **tail, hfsp_idset *seen)
{
    /* The list was built by appending, so walking Next visits each record
     * once; the walk ends at the tail whatever the links say. */
    hfsp_file_list_Journal *r = *head;
    while (r) {
        hfsp_file_list_Journal *next = (r == *tail) ? nullptr : r->Next;
        free(r->Name);
        free(r);
        r = next;
    }
    *head = nullptr;
    *tail = nullptr;
    hfsp_idset_free(seen);
}

/* ---- progress ---- */

void hfsp_progress_raise(int32_t pct)
{
    if (pct > 99)
        pct = 99;
    int32_t cur = sv_progress_get();
    while (cur < pct && cur < 100) {
        if (__atomic_compare_exchange_n(&ExportsData, &cur, pct, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST))
            return;
    }
}

void hfsp_progress_finish(void)
{
    sv_progress_finish();
}

int32_t hfsp_device_read(void *dst, uint32_t length, uint64_t volume_offset)
{
    Partiton_Struct *p = g_hfsp.m_stPartition;
    if (!p || !p->Device || !p->Device->Ops || !p->Device->Ops->read || length == 0)
        return -1;
    if (volume_offset >= g_hfsp.volumeBytes || g_hfsp.volumeBytes - volume_offset < length)
        return -1;
    /* Offsets through the partition's device record are volume-relative:
     * a private copy adds the partition offset itself, and any other
     * record it reads through starts where the partition starts. */
    return sv_dev_read(p->Device, dst, length, volume_offset);
}

/* ---- init / exit ---- */

extern "C" VARN_EXPORT int hfsp_init(Partiton_Struct *part)
{
    if (!part)
        return 0;
    /* A new init starts a new volume; earlier results are released first
     * so that nothing of another volume can be streamed from this one. */
    if (g_hfsp.m_stHfs_vh || g_hfsp.m_stLog || g_hfsp.m_stLog2)
        hfsp_exit();
    g_hfsp.m_stPartition = part;
    g_hfsp.volumeBytes = UINT64_MAX;

    uint8_t sector[HFSP_SECTOR];
    hfsp_volume vol;
    bool read = hfsp_device_read(sector, sizeof sector, HFSP_VH_OFFSET) == (int32_t)sizeof sector;
    if (!read || hfsp_parse_volume_header(sv_view_make(sector, sizeof sector), &vol) != HFSP_OK) {
        /* A volume found through its alternate header (the first one is
         * gone): the partition record carries that copy. */
        if (!part->BootData || (part->FsType != FS_HFSPLUS && part->FsType != FS_HFSX) ||
            hfsp_parse_volume_header(sv_view_make(part->BootData, HFSP_SECTOR), &vol) != HFSP_OK)
            return 0;
    }

    uint64_t bytes = (uint64_t)vol.totalBlocks * vol.blockSize;
    if (part->PartSize && part->PartSize < bytes)
        bytes = part->PartSize;
    g_hfsp.volumeBytes = bytes;
    g_hfsp.m_stHfs_vh = static_cast<hfsp_volume *>(MALLOC(sizeof(hfsp_volume)));
    *g_hfsp.m_stHfs_vh = vol;
    g_hfsp.m_nBlockSize = vol.blockSize;

    /* The scans parse catalog leaf nodes, so the node size is the catalog
     * B-tree's, from its header node (node 0 at the first extent). */
    g_hfsp.m_nodeSize = 0;
    uint64_t cat = (uint64_t)vol.catalogFile.startBlock[0] * vol.blockSize;
    if (vol.catalogFile.blockCount[0] != 0 &&
        hfsp_device_read(sector, sizeof sector, cat) == (int32_t)sizeof sector)
        g_hfsp.m_nodeSize = hfsp_header_node_size(sv_view_make(sector, sizeof sector));
    return 1;
}

extern "C" VARN_EXPORT void hfsp_exit(void)
{
    free(g_hfsp.m_stHfs_vh);
    g_hfsp.m_stHfs_vh = nullptr;
    free(g_hfsp.allocBits);
    g_hfsp.allocBits = nullptr;
    g_hfsp.allocBitsAt = 0;
    g_hfsp.allocBitsLen = 0;
    /* The engine's results go with this library's, whichever mode ran last. */
    hfsp_deep_exit();
    hfsp_list_free(&g_hfsp.m_stLog, &g_hfsp.m_stLog1, &g_hfsp.journalIds);
    hfsp_list_free(&g_hfsp.m_stLog2, &g_hfsp.m_stLog3, &g_hfsp.catalogIds);
    g_hfsp.m_Mold = -1;
    g_hfsp.m_stPartition = nullptr;
    g_hfsp.m_nodeSize = 0;
    g_hfsp.m_nBlockSize = 0;
    g_hfsp.volumeBytes = 0;
    g_hfsp.m_rwinfo = nullptr;
    g_hfsp.FileOffset = 0;
    g_hfsp.m_Num = 0;
}

extern "C" VARN_EXPORT int hfsp_get_blocksize(void)
{
    return g_hfsp.m_stHfs_vh ? (int)g_hfsp.m_stHfs_vh->blockSize : 0;
}
