/*
 * Formatted search, phase 2: the old cluster size and data-area start are
 * inferred from pairs of directory starts, and every tree reachable from a
 * start is rebuilt under a numbered "Dir%d" root.
 *
 * Starts whose ".." names cluster 0 were folders of the old root: their
 * trees are rebuilt first, so that folders found inside them keep their
 * names and places instead of becoming roots of their own.
 */
#include "../polder_i.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace polder {

namespace {

constexpr double kScanShare = 0.9;
constexpr int32_t kMaxTrees = 10000;   /* "Dir9999" still fits the 8-byte name */
constexpr uint32_t kRootStep = 4096;
constexpr uint32_t kMaxComparisons = 10;
constexpr uint32_t kVoteSlots = 100;

struct FmtFrame {
    tagStFmtDirNode *node;
    EntryArray entries;
    uint32_t cluster;
    uint64_t sector;
    uint32_t next;
};

bool usable_spc(uint64_t spc)
{
    return spc == 4 || spc == 8 || spc == 16 || spc == 32 || spc == 64 || spc == 128;
}

/*
 * The (sectors per cluster, data start) pair that most of the following
 * starts agree on; the first one on a tie.  False when none fits.
 */
bool infer_layout(const FmtState &s, uint32_t idx, uint32_t *spcOut, uint64_t *dataOut)
{
    struct Vote {
        uint32_t spc;
        uint64_t data;
        uint32_t votes;
    } votes[kVoteSlots];
    uint32_t nv = 0;
    const DirStart &a = s.starts[idx];
    for (uint32_t j = idx + 1; j < s.nStarts && j - idx <= kMaxComparisons; j++) {
        const DirStart &b = s.starts[j];
        if (b.cluster <= a.cluster || b.sector <= a.sector)
            continue;
        uint64_t ds = b.sector - a.sector, dc = b.cluster - a.cluster;
        // Two directories of one layout lie a whole number of clusters apart.
        if (ds % dc)
            continue;
        uint64_t spc = ds / dc;
        if (!usable_spc(spc))
            continue;
        uint64_t before = spc * (a.cluster - 2);
        if (a.sector <= before)
            continue;
        uint64_t data = a.sector - before;
        if (data > UINT32_MAX)
            continue;
        uint32_t k = 0;
        while (k < nv && !(votes[k].spc == spc && votes[k].data == data))
            k++;
        if (k == nv) {
            if (nv == kVoteSlots)
                continue;
            votes[nv++] = Vote{(uint32_t)spc, data, 0};
        }
        votes[k].votes++;
    }
    if (nv == 0)
        return false;
    uint32_t best = 0;
    for (uint32_t k = 1; k < nv; k++)
        if (votes[k].votes > votes[best].votes)
            best = k;
    *spcOut = votes[best].spc;
    *dataOut = votes[best].data;
    return true;
}

/* True when the start lies in what the present volume uses (or cannot be judged). */
bool in_present_volume(FmtState &s, const DirStart &d)
{
    if (s.fsType == FS_NTFS)
        return false;
    if (s.fsType < FS_FAT12 || s.fsType > FS_FAT32)
        return true;
    if (!s.haveLayout)
        return false;
    if (d.sector <= s.presentDataStart)
        return true;
    const FatLayout &L = s.L;
    uint64_t sector = d.sector * 512 / L.bytesPerSector;
    uint64_t cluster = (sector - L.dataSectorStart) / L.sectorsPerCluster + 2;
    if (cluster > L.maxCluster)
        return false;
    uint32_t v;
    return fat_table_entry(&s.fat, (uint32_t)cluster, &v) == OK && v != 0;
}

/* Reads one directory cluster; false when it lies outside the partition or the old data area. */
bool read_dir_cluster(FmtState &s, uint64_t dataStart, uint32_t spc, uint32_t cluster, uint8_t *dst,
                      uint64_t *sectorOut)
{
    if (cluster < 2)
        return false;
    uint64_t sector = dataStart + (uint64_t)spc * (cluster - 2);
    if (sector <= s.presentDataStart)
        return false;
    uint64_t sectors = s.pSize / 512;
    if (sector >= sectors || sectors - sector < spc)
        return false;
    dev_read(s.part->Device, s.pSize, sector * 512, spc * 512, dst);
    *sectorOut = sector;
    return true;
}

tagStFmtDirNode *new_fmt_node(FmtState &s, bool root, uint32_t cluster)
{
    auto *n = static_cast<tagStFmtDirNode *>(MALLOC(sizeof(tagStFmtDirNode)));
    n->nStartCluster = cluster;
    if (root) {
        n->bRoot = 1;
        n->pParent = n;
    } else {
        n->pPrev = s.head;
        s.head->pNext = n;
        n->pParent = s.tmpHead;
    }
    s.head = n;
    s.tmpHead = n;
    return n;
}

void set_entries(FmtFrame &f)
{
    f.node->ppEntries = f.entries.items;
}

/* Walks one tree from a directory start; returns its root, or null when it holds nothing. */
tagStFmtDirNode *walk_tree(FmtState &s, const DirStart &d, uint32_t spc, uint64_t dataStart, uint32_t treeNo)
{
    const uint32_t perDir = spc * 512 / kEntrySize;
    uint64_t sector;
    if (!read_dir_cluster(s, dataStart, spc, d.cluster, s.dirBuf, &sector))
        return nullptr;
    auto *stack = static_cast<FmtFrame *>(MALLOC(sizeof(FmtFrame) * (kMaxDepth + 1)));
    auto *lfn = static_cast<LfnState *>(MALLOC(sizeof(LfnState)));
    lfn_clear(lfn);

    tagStFmtDirNode *root = new_fmt_node(s, true, d.cluster);
    root->nDataSectorStart = (uint32_t)dataStart;
    root->nReserved = spc;
    uint32_t depth = 0;
    FmtFrame &top = stack[depth++];
    top = FmtFrame{};
    top.node = root;
    top.cluster = d.cluster;
    top.sector = sector;
    top.next = 2;
    entries_init(&top.entries);
    set_entries(top);

    bool stopped = false;
    while (depth > 0) {
        FmtFrame &f = stack[depth - 1];
        if (!stopped && fmt_stop_requested(s))
            stopped = true;
        if (stopped || f.next >= perDir) {
            if (depth == 1)
                break;
            depth--;
            FmtFrame &p = stack[depth - 1];
            s.tmpHead = p.node;
            if (!stopped)
                dev_read(s.part->Device, s.pSize, p.sector * 512, spc * 512, s.dirBuf);
            lfn_clear(lfn);
            continue;
        }
        uint32_t i = f.next++;
        const uint8_t *e = s.dirBuf + (size_t)i * kEntrySize;
        if (e[0] == 0) {
            f.next = perDir;
            continue;
        }
        uint8_t attr = e[11];
        if (attr == 0x0F) {
            lfn_add(lfn, s.dirBuf, i, perDir);
            continue;
        }
        if (!(attr & 0x08) && attr <= 0x3F) {
            tagStFatInfo *rec = make_record(e, lfn, false);
            rec->nReserved = treeNo;
            entries_push(&f.entries, rec);
            set_entries(f);
            if (!(attr & 0x10)) {
                s.fileCount++;
                fmt_plan_file(s, rec, dataStart, spc);
            } else {
                // A directory is listed once: where it was first reached.
                uint32_t cluster = rec->nStartCluster;
                uint64_t childSector;
                bool walk = depth <= kMaxDepth && cluster >= 2 && !visited_contains(&s.visited, spc, cluster) &&
                            read_dir_cluster(s, dataStart, spc, cluster, s.clusterBuf, &childSector) &&
                            is_dot_entry(s.clusterBuf) && is_dotdot_entry(s.clusterBuf + kEntrySize) &&
                            visited_insert(&s.visited, spc, cluster);
                if (walk) {
                    FmtFrame &c = stack[depth++];
                    c = FmtFrame{};
                    c.node = new_fmt_node(s, false, cluster);
                    c.node->nDataSectorStart = (uint32_t)dataStart;
                    c.cluster = cluster;
                    c.sector = childSector;
                    c.next = 2;
                    entries_init(&c.entries);
                    set_entries(c);
                    memcpy(s.dirBuf, s.clusterBuf, (size_t)spc * 512);
                } else {
                    entries_drop_last(&f.entries);
                    set_entries(f);
                }
            }
        }
        lfn_clear(lfn);
    }
    free(lfn);
    free(stack);

    if (root->ppEntries[0] == nullptr) {
        // Nothing in it: a start without entries is no tree.  Its
        // subdirectories cannot exist either, so the root is alone.
        tagStFmtDirNode *n = root;
        while (n) {
            tagStFmtDirNode *next = n->pNext;
            free(n->ppEntries);
            free(n);
            n = next;
        }
        s.head = s.tmpHead = nullptr;
        return nullptr;
    }
    return root;
}

void add_root(FmtState &s, tagStFmtDirNode *root)
{
    if (s.nRoots == s.capRoots) {
        uint32_t cap = s.capRoots + kRootStep;
        auto *grown = static_cast<tagStFmtDirNode **>(MALLOC(sizeof(tagStFmtDirNode *) * (cap + 1)));
        memcpy(grown, s.roots, sizeof(tagStFmtDirNode *) * s.nRoots);
        free(s.roots);
        s.roots = grown;
        s.capRoots = cap;
    }
    snprintf(root->szName, sizeof root->szName, "Dir%d", (int)s.dirNum++);
    s.roots[s.nRoots++] = root;
    s.roots[s.nRoots] = nullptr;
}

}  // namespace

void fmt_rebuild(FmtState &s)
{
    uint32_t done = 0;
    for (int pass = 0; pass < 2; pass++) {
        for (uint32_t idx = 0; idx < s.nStarts; idx++) {
            if (fmt_stop_requested(s) || s.dirNum >= kMaxTrees)
                return;
            const DirStart &d = s.starts[idx];
            // First the folders of the old root, then everything else.
            if ((pass == 0) != (d.parent == 0))
                continue;
            done++;
            progress_note(&s.progress, kScanShare + (1.0 - kScanShare) * done / s.nStarts);
            if (in_present_volume(s, d))
                continue;
            uint32_t spc;
            uint64_t dataStart;
            if (!infer_layout(s, idx, &spc, &dataStart))
                continue;
            if (!visited_insert(&s.visited, spc, d.cluster))
                continue;
            tagStFmtDirNode *root = walk_tree(s, d, spc, dataStart, s.nRoots + 1);
            if (root)
                add_root(s, root);
        }
    }
}

}  // namespace polder
