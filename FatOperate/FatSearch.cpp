/*
 * The quick scan: a depth-first walk of the directory tree from the root
 * that keeps every deleted file and every directory on the path to one.
 *
 * One directory buffer serves every level: after a subdirectory has been
 * walked, its parent is read into the buffer again (from the cluster list
 * kept for it) and the walk goes on with the parent's next entry.  The
 * levels live on an explicit stack, so a deep tree cannot exhaust the
 * thread's stack.
 */
#include "polder_i.h"

#include <cstdlib>
#include <cstring>

namespace polder {

namespace {

struct Frame {
    tagStLinkNode *node;
    EntryArray entries;      /* the node's records; node->ppEntries follows it */
    uint32_t *clusters;      /* the directory's clusters; null for a FAT12/16 root */
    uint32_t nclusters;
    bool root;
    bool deleted;
    uint32_t entryCount;     /* 32-byte entries in the buffer */
    uint32_t used;           /* entries before the first free one */
    uint32_t next;           /* next entry to examine */
    double base, span;       /* the share of the scan's progress this directory covers */
};

/* Reads a frame's directory into the shared buffer. */
void load_dir(QuickState &s, Frame &f)
{
    const FatLayout &L = s.L;
    Physics_Device_Struct *dev = s.part->Device;
    uint32_t size;
    if (!f.clusters) {
        uint64_t rootBytes = (uint64_t)L.rootDirSectors * L.bytesPerSector;
        size = rootBytes < kDirBufferSize ? (uint32_t)rootBytes : kDirBufferSize;
        dev_read(dev, s.limit, (uint64_t)L.rootDirSectorStart * L.bytesPerSector, size, s.dirBuf);
    } else {
        size = f.nclusters * L.clusterSize;  // the cluster list was cut to fit the buffer
        // Consecutive clusters are read in one go.
        uint32_t i = 0;
        while (i < f.nclusters) {
            uint32_t j = i + 1;
            while (j < f.nclusters && f.clusters[j] == f.clusters[j - 1] + 1)
                j++;
            dev_read(dev, s.limit, fat_cluster_offset(L, f.clusters[i]), (j - i) * L.clusterSize,
                     s.dirBuf + (size_t)i * L.clusterSize);
            i = j;
        }
    }
    f.entryCount = size / kEntrySize;
    f.used = f.entryCount;
    for (uint32_t i = 0; i < f.entryCount; i++) {
        if (s.dirBuf[(size_t)i * kEntrySize] == 0) {
            f.used = i;
            break;
        }
    }
}

tagStLinkNode *new_node(QuickState &s, bool root, bool deleted, uint32_t start)
{
    auto *n = static_cast<tagStLinkNode *>(MALLOC(sizeof(tagStLinkNode)));
    if (root) {
        n->bRoot = 1;
        n->pParent = n;
        s.first = n;
    } else {
        n->bDeleted = deleted ? 1 : 0;
        n->pPrev = s.head;
        s.head->pNext = n;
        n->pParent = s.tmpHead;
    }
    n->nStartCluster = start;
    s.dirCount++;
    s.nodesAllocated++;
    s.head = n;
    s.tmpHead = n;
    return n;
}

void push_record(Frame &f, tagStFatInfo *rec)
{
    entries_push(&f.entries, rec);
    f.node->ppEntries = f.entries.items;
}

void drop_record(Frame &f)
{
    entries_drop_last(&f.entries);
    f.node->ppEntries = f.entries.items;
}

double entry_fraction(const Frame &f, uint32_t i)
{
    uint32_t used = f.used ? f.used : 1;
    double v = f.base + f.span * (double)(i + 1) / used;
    return v > 1.0 ? 1.0 : v;
}

/* Opens a child frame for a directory entry at index i of the top frame. */
void open_child(QuickState &s, Frame *stack, uint32_t &depth, uint32_t *clusters, uint32_t n,
                bool deleted, uint32_t i)
{
    Frame &p = stack[depth - 1];
    Frame &c = stack[depth++];
    c = Frame{};
    uint32_t used = p.used ? p.used : 1;
    c.base = p.base + p.span * (double)i / used;
    c.span = p.span / used;
    c.clusters = clusters;
    c.nclusters = n;
    c.deleted = deleted;
    c.node = new_node(s, false, deleted, clusters[0]);
    entries_init(&c.entries);
    c.node->ppEntries = c.entries.items;
    load_dir(s, c);
    c.next = 2;  // past "." and ".."
}

/* True when the deleted directory at cluster can still be walked. */
bool deleted_dir_usable(QuickState &s, uint32_t cluster)
{
    if (!fat_cluster_valid(s.L, cluster) || bit_test(s.visited, cluster))
        return false;
    uint32_t v;
    if (fat_table_entry(&s.fat, cluster, &v) != OK)
        return false;
    // A cluster linked into a live chain belongs to someone else now.
    if (v != 0 && !fat_is_eoc(s.L, v))
        return false;
    bit_set(s.visited, cluster);
    dev_read(s.part->Device, s.limit, fat_cluster_offset(s.L, cluster), s.L.clusterSize, s.clusterBuf);
    return is_dot_entry(s.clusterBuf) && is_dotdot_entry(s.clusterBuf + kEntrySize);
}

/*
 * The first cluster of a deleted FAT32 directory whose entry may have lost
 * its high word: among the clusters low + k x 65536 of the volume, the one
 * that starts with a "." entry naming that very cluster and a ".." entry.
 * The entry's own cluster when there is no such place or more than one.
 */
uint32_t deleted_dir_cluster(QuickState &s, uint32_t cluster)
{
    const FatLayout &L = s.L;
    if (L.fsType != FS_FAT32 || (cluster >> 16) != 0)
        return cluster;
    uint64_t first = cluster >= 2 ? cluster : cluster + 65536ull;
    if (first + 65536 > L.maxCluster)
        return first <= L.maxCluster ? (uint32_t)first : cluster;  // one place at most
    uint32_t found = cluster, matches = 0;
    for (uint64_t c = first; c <= L.maxCluster && s.freeRunBudget > 0; c += 65536) {
        s.freeRunBudget--;
        uint32_t v;
        if (bit_test(s.visited, (uint32_t)c) || fat_table_entry(&s.fat, (uint32_t)c, &v) != OK ||
            (v != 0 && !fat_is_eoc(L, v)))
            continue;
        dev_read(s.part->Device, s.limit, fat_cluster_offset(L, (uint32_t)c), s.L.clusterSize, s.clusterBuf);
        if (is_dot_entry(s.clusterBuf) && is_dotdot_entry(s.clusterBuf + kEntrySize) &&
            entry_cluster(s.clusterBuf) == c) {
            found = (uint32_t)c;
            matches++;
        }
    }
    return matches == 1 ? found : cluster;
}

/* Keeps a file record: counts it and plans where its data is read from. */
void keep_file(QuickState &s, Frame &f, tagStFatInfo *rec)
{
    s.fileCount++;
    f.node->bHasFile = 1;
    plan_file(s, rec, true);
}

}  // namespace

/* Walks the whole tree; returns the root node, or null when the walk cannot start. */
static tagStLinkNode *quick_walk(QuickState &s)
{
    const FatLayout &L = s.L;
    const uint32_t maxDirClusters = kDirBufferSize / L.clusterSize;
    auto *stack = static_cast<Frame *>(MALLOC(sizeof(Frame) * (kMaxDepth + 1)));
    auto *lfn = static_cast<LfnState *>(MALLOC(sizeof(LfnState)));
    lfn_clear(lfn);
    uint32_t depth = 0;

    // The root.
    Frame &root = stack[depth++];
    root = Frame{};
    root.root = true;
    root.base = 0.0;
    root.span = 1.0;
    uint32_t rootStart;
    if (L.fsType == FS_FAT32) {
        rootStart = L.rootDirStartCluster;
        auto *chain = static_cast<uint32_t *>(MALLOC(sizeof(uint32_t) * maxDirClusters));
        uint32_t n = fat_chain_collect(&s.fat, rootStart, maxDirClusters, s.visited, chain);
        if (n == 0) {
            free(chain);
            free(lfn);
            free(stack);
            return nullptr;
        }
        root.clusters = chain;
        root.nclusters = n;
    } else {
        rootStart = L.rootDirSectorStart;
    }
    root.node = new_node(s, true, false, rootStart);
    entries_init(&root.entries);
    root.node->ppEntries = root.entries.items;
    load_dir(s, root);
    root.next = 0;

    bool stopped = false;
    uint32_t *chain = static_cast<uint32_t *>(MALLOC(sizeof(uint32_t) * maxDirClusters));

    while (depth > 0) {
        Frame &f = stack[depth - 1];
        if (!stopped && !sv_progress_running())
            stopped = true;  // finished elsewhere, or the user asked to stop
        if (stopped || f.next >= f.entryCount) {
            // This directory is done: hand its result to the parent.
            free(f.clusters);
            f.clusters = nullptr;
            if (depth == 1)
                break;
            Frame &child = stack[--depth];
            Frame &p = stack[depth - 1];
            s.tmpHead = p.node;
            if (child.node->bHasFile) {
                p.node->bHasFile = 1;
            } else if (s.head == child.node) {
                // Nothing to recover below it: forget the directory.
                for (tagStFatInfo **e = child.entries.items; *e; e++)
                    free(*e);
                free(child.entries.items);
                s.head = child.node->pPrev;
                s.head->pNext = nullptr;
                free(child.node);
                s.dirCount--;
                s.nodesAllocated--;
                drop_record(p);
            }
            if (!stopped)
                load_dir(s, p);
            lfn_clear(lfn);
            continue;
        }

        uint32_t i = f.next++;
        const uint8_t *e = s.dirBuf + (size_t)i * kEntrySize;
        if (e[0] == 0) {
            f.next = f.entryCount;  // the rest of the directory was never used
            continue;
        }
        uint8_t attr = e[11];
        if (attr == 0x0F) {
            lfn_add(lfn, s.dirBuf, i, f.entryCount);
            continue;
        }

        bool descended = false;
        // Volume labels and attribute bytes no entry can have are skipped.
        if (!(attr & 0x08) && attr <= 0x3F) {
            bool isDir = (attr & 0x10) != 0;
            bool deletedEntry = e[0] == 0xE5;
            bool insideDeleted = f.deleted && !f.root;
            uint32_t cluster = entry_cluster(e);
            if ((isDir || insideDeleted || deletedEntry) && cluster <= L.maxCluster) {
                tagStFatInfo *rec = make_record(e, lfn, true);
                push_record(f, rec);
                if (!isDir) {
                    keep_file(s, f, rec);
                } else if (deletedEntry || insideDeleted) {
                    uint32_t at = depth <= kMaxDepth ? deleted_dir_cluster(s, cluster) : cluster;
                    if (depth <= kMaxDepth && deleted_dir_usable(s, at)) {
                        rec->nStartCluster = at;
                        auto *one = static_cast<uint32_t *>(MALLOC(sizeof(uint32_t)));
                        one[0] = at;
                        open_child(s, stack, depth, one, 1, true, i);
                        descended = true;
                    } else {
                        drop_record(f);
                    }
                } else {
                    // A live directory is walked once: a start cluster seen
                    // before is a loop or a cross-link in a damaged tree.
                    uint32_t n = 0;
                    if (depth <= kMaxDepth && fat_cluster_valid(L, cluster) && !bit_test(s.visited, cluster))
                        n = fat_chain_collect(&s.fat, cluster, maxDirClusters, s.visited, chain);
                    if (n) {
                        auto *own = static_cast<uint32_t *>(MALLOC(sizeof(uint32_t) * n));
                        memcpy(own, chain, sizeof(uint32_t) * n);
                        open_child(s, stack, depth, own, n, false, i);
                        descended = true;
                    } else {
                        drop_record(f);
                    }
                }
            }
        }
        lfn_clear(lfn);
        if (!descended) {
            double frac = entry_fraction(f, i);
            if (f.root)
                s.intermediate = frac;
            progress_note(&s.progress, frac);
        }
    }

    // A stop can leave frames above the root open.
    for (uint32_t d = 0; d < depth; d++)
        free(stack[d].clusters);
    free(chain);
    free(lfn);
    free(stack);
    return s.first;
}

}  // namespace polder

using namespace polder;

extern "C" POLDER_EXPORT tagStLinkNode *fat_searchfile(bool search, int *fileCount, int *dirCount)
{
    QuickState &s = g_quick;
    sv_progress_begin();
    s.intermediate = 0.0;
    s.progress = Progress{};
    if (!search || !s.ready)
        return nullptr;
    quick_free_result(&s);  // a second search replaces the first result
    s.readCursor = FreePathCursor{};
    memset(s.visited, 0, ((size_t)s.L.maxCluster / 32 + 1) * sizeof(uint32_t));
    s.freeRunBudget = kFreeRunBudget;
    tagStLinkNode *root = quick_walk(s);
    if (!root)
        return nullptr;
    end_short_files(s);
    if (fileCount)
        *fileCount = s.fileCount;
    if (dirCount)
        *dirCount = s.dirCount;
    progress_finish();
    return root;
}
