/*
 * The formatted search's state: set up by fat_fmtRec_init, released by
 * fat_fmtRec_exit, and the read of a found file.
 */
#include "../polder_i.h"

#include <cstdlib>
#include <cstring>

namespace polder {

FmtState g_fmt;

constexpr uint32_t kWindowSize = 0x80000;   /* 512 KiB scan window */
constexpr uint32_t kDirSize = 0x80000;      /* directory buffer */
constexpr uint32_t kRootStep = 4096;

/* ---- visited set: open addressing over 64-bit keys ---- */

constexpr uint64_t kVisitedMax = 1u << 22;  /* directories walked at most */

static uint64_t visited_key(uint32_t spc, uint32_t cluster) { return ((uint64_t)spc << 32) | cluster; }

static uint64_t visited_hash(uint64_t k)
{
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdULL;
    k ^= k >> 33;
    return k;
}

bool visited_contains(const VisitedSet *v, uint32_t spc, uint32_t cluster)
{
    if (!v->capacity)
        return false;
    uint64_t k = visited_key(spc, cluster);
    for (uint64_t i = visited_hash(k) & (v->capacity - 1);; i = (i + 1) & (v->capacity - 1)) {
        if (v->slots[i] == 0)
            return false;
        if (v->slots[i] == k)
            return true;
    }
}

static void visited_put(uint64_t *slots, uint64_t cap, uint64_t k)
{
    uint64_t i = visited_hash(k) & (cap - 1);
    while (slots[i] != 0 && slots[i] != k)
        i = (i + 1) & (cap - 1);
    slots[i] = k;
}

bool visited_insert(VisitedSet *v, uint32_t spc, uint32_t cluster)
{
    if (spc == 0 || visited_contains(v, spc, cluster) || v->count >= kVisitedMax)
        return false;
    if ((v->count + 1) * 2 > v->capacity) {
        uint64_t cap = v->capacity ? v->capacity * 2 : 1024;
        auto *slots = static_cast<uint64_t *>(MALLOC(sizeof(uint64_t) * cap));
        for (uint64_t i = 0; i < v->capacity; i++)
            if (v->slots[i])
                visited_put(slots, cap, v->slots[i]);
        free(v->slots);
        v->slots = slots;
        v->capacity = cap;
    }
    visited_put(v->slots, v->capacity, visited_key(spc, cluster));
    v->count++;
    return true;
}

void visited_free(VisitedSet *v)
{
    free(v->slots);
    *v = VisitedSet{};
}

bool fmt_stop_requested(const FmtState &s)
{
    return __atomic_load_n(&s.stop, __ATOMIC_RELAXED) || !sv_progress_running();
}

void fmt_free_trees(FmtState &s)
{
    for (uint32_t r = 0; r < s.nRoots; r++) {
        tagStFmtDirNode *n = s.roots[r];
        while (n) {
            tagStFmtDirNode *next = n->pNext;
            tagStFatInfo **entries = n->ppEntries;
            if (entries) {
                for (tagStFatInfo **e = entries; *e; e++)
                    free(*e);
                free(entries);
            }
            free(n);
            n = next;
        }
        s.roots[r] = nullptr;
    }
    s.nRoots = 0;
    s.dirNum = 0;
    s.fileCount = 0;
    s.head = s.tmpHead = nullptr;
    visited_free(&s.visited);
}

static void fmt_release(FmtState &s)
{
    if (s.roots)
        fmt_free_trees(s);
    free(s.roots);
    free(s.starts);
    free(s.window);
    free(s.dirBuf);
    free(s.clusterBuf);
    fat_table_close(&s.fat);
    visited_free(&s.visited);
    s = FmtState{};
}

}  // namespace polder

using namespace polder;

extern "C" POLDER_EXPORT bool fat_fmtRec_init(Partiton_Struct *part)
{
    FmtState &s = g_fmt;
    fmt_release(s);
    if (!part || !part->Device)
        return false;
    s.part = part;
    s.fsType = part->FsType;
    s.pSize = part->PartSize;
    s.capRoots = kRootStep;
    s.roots = static_cast<tagStFmtDirNode **>(MALLOC(sizeof(tagStFmtDirNode *) * (s.capRoots + 1)));
    s.window = static_cast<uint8_t *>(MALLOC(kWindowSize));
    s.dirBuf = static_cast<uint8_t *>(MALLOC(kDirSize));
    s.clusterBuf = static_cast<uint8_t *>(MALLOC(kDirSize));
    if (part->FsType >= FS_FAT12 && part->FsType <= FS_FAT32 && part->BootData) {
        // The present volume only tells which clusters are in use now; a
        // damaged boot sector leaves the search without that test.
        FatLayout L;
        if (fat_layout_parse(sv_view_make(part->BootData, 512), part->FsType, part->PartSize, false, &L) ==
            BOOT_OK) {
            s.L = L;
            s.haveLayout = true;
            s.presentDataStart = (uint64_t)L.dataSectorStart * L.bytesPerSector / 512;
            fat_table_open(&s.fat, part->Device, s.pSize, &s.L);
            if (!s.pSize)
                s.pSize = L.totalSectors * L.bytesPerSector;
        }
    }
    s.ready = true;
    return true;
}

extern "C" POLDER_EXPORT void fat_fmtStop(void)
{
    __atomic_store_n(&g_fmt.stop, 1, __ATOMIC_RELAXED);
}

namespace polder {

/*
 * An old cluster is in use when a present FAT cluster that shares any of
 * its bytes is.  Where the present FAT says nothing (another file system
 * now, or bytes before the present data area) the cluster counts as free.
 */
bool fmt_in_use(void *p, uint32_t cluster)
{
    auto *c = static_cast<FmtPathCtx *>(p);
    FmtState &s = *c->s;
    if (!s.haveLayout || cluster < 2)
        return false;
    const FatLayout &L = s.L;
    uint64_t from = (c->dataStart + (uint64_t)(cluster - 2) * c->spc) * 512;
    uint64_t to = from + (uint64_t)c->spc * 512;
    uint64_t data = (uint64_t)L.dataSectorStart * L.bytesPerSector;
    if (to <= data || L.clusterSize == 0)
        return false;
    if (from < data)
        from = data;
    uint64_t first = (from - data) / L.clusterSize + 2;
    uint64_t last = (to - 1 - data) / L.clusterSize + 2;
    for (uint64_t p2 = first; p2 <= last && p2 <= L.maxCluster; p2++) {
        uint32_t v;
        if (fat_table_entry(&s.fat, (uint32_t)p2, &v) == OK && v != 0)
            return true;
    }
    return false;
}

uint32_t fmt_max_cluster(const FmtState &s, uint64_t dataStart, uint32_t spc)
{
    uint64_t sectors = s.pSize / 512;
    uint64_t maxCluster = spc && sectors > dataStart ? (sectors - dataStart) / spc + 1 : 0;
    return maxCluster > UINT32_MAX ? UINT32_MAX : (uint32_t)maxCluster;
}

void fmt_plan_file(FmtState &s, tagStFatInfo *rec, uint64_t dataStart, uint32_t spc)
{
    if (!s.haveLayout || !rec->nFileSize || rec->nStartCluster < 2 || !spc)
        return;
    uint64_t clusterBytes = (uint64_t)spc * 512;
    uint64_t need = (rec->nFileSize + clusterBytes - 1) / clusterBytes;
    uint32_t maxCluster = fmt_max_cluster(s, dataStart, spc);
    FmtPathCtx ctx{&s, dataStart, spc};
    uint64_t found = 1, skipped = 0;
    for (uint32_t c = rec->nStartCluster; found < need && c < maxCluster && s.planBudget > 0; s.planBudget--) {
        c++;
        if (fmt_in_use(&ctx, c))
            skipped++;
        else
            found++;
    }
    rec->nSkipped = skipped > UINT32_MAX ? UINT32_MAX : (uint32_t)skipped;
    if (skipped)
        rec->bPlan |= FAT_PLAN_SKIPPED;
}

}  // namespace polder

extern "C" POLDER_EXPORT bool fat_fmtRec_readfile(tagStFatInfo *info, void *buffer, unsigned long length,
                                                  int64_t *sectorPos)
{
    FmtState &s = g_fmt;
    if (!info || !buffer || length == 0 || !sectorPos)
        return false;
    // Each record is read with the layout inferred for its own tree.
    uint32_t tree = info->nReserved;
    if (!s.ready || tree == 0 || tree > s.nRoots || !s.roots[tree - 1]) {
        memset(buffer, 0, length);
        *sectorPos += (int64_t)(length / 512);
        return false;
    }
    const tagStFmtDirNode *root = s.roots[tree - 1];
    uint32_t spc = root->nReserved;
    uint64_t dataStart = root->nDataSectorStart;
    FmtPathCtx ctx{&s, dataStart, spc};
    FreePathRead r{s.part->Device, s.pSize, 512, dataStart, spc, fmt_max_cluster(s, dataStart, spc), fmt_in_use,
                   &ctx};
    return read_free_path(r, &s.readCursor, info, info->nStartCluster, buffer, length, sectorPos);
}

extern "C" POLDER_EXPORT void fat_fmtRec_exit(void)
{
    fmt_release(g_fmt);
}

extern "C" POLDER_EXPORT tagStFmtDirNode **fat_fmtRec_search(int)
{
    FmtState &s = g_fmt;
    if (!s.ready)
        return nullptr;
    sv_progress_begin();
    s.progress = Progress{};
    fmt_free_trees(s);
    s.readCursor = FreePathCursor{};  // records of the last search are gone
    s.planBudget = kFreeRunBudget;
    s.nStarts = 0;
    s.dirCount = 0;
    if (fmt_scan(s))
        fmt_rebuild(s);
    s.roots[s.nRoots] = nullptr;
    progress_finish();
    return s.roots;
}

extern "C" POLDER_EXPORT void fat_fmtRec_feed(uint64_t offset, const void *data, uint32_t length)
{
    FmtState &s = g_fmt;
    if (!s.ready || !data || offset >= s.pSize)
        return;
    if (s.pSize - offset < length)
        length = (uint32_t)(s.pSize - offset);
    fmt_scan_bytes(s, offset, static_cast<const uint8_t *>(data), length);
}

extern "C" POLDER_EXPORT tagStFmtDirNode **fat_fmtRec_rebuild(void)
{
    FmtState &s = g_fmt;
    if (!s.ready)
        return nullptr;
    sv_progress_begin();
    s.progress = Progress{};
    fmt_free_trees(s);
    s.readCursor = FreePathCursor{};
    s.planBudget = kFreeRunBudget;
    fmt_rebuild(s);
    s.roots[s.nRoots] = nullptr;
    progress_finish();
    return s.roots;
}
