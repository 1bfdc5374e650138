/*
 * The quick scan: a depth-first walk of the directory tree from the root
 * that keeps every deleted file and every directory on the path to one,
 * then a search of the free clusters for directory parts the tree no
 * longer reaches (FatOrphan.cpp), walked the same way.
 *
 * One directory buffer serves every level: after a subdirectory has been
 * walked, its parent is read into the buffer again (from the cluster list
 * kept for it) and the walk goes on with the parent's next entry.  The
 * levels live on an explicit stack, so a deep tree cannot exhaust the
 * thread's stack.
 *
 * Nodes are kept in a depth-first pre-order of the tree, which is how the
 * consumer pairs directory records with nodes.  A directory part found
 * later joins its folder's records at their end, so nodes made while it
 * is walked go right after the last node of that folder's subtree.
 */
#include "polder_i.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace polder {

namespace {

/* The share of the quick scan's progress each phase covers. */
constexpr double kFatShare = 0.10;    /* reading the FAT */
constexpr double kWalkShare = 0.60;   /* the tree from the root */
constexpr double kPlanShare = 0.05;   /* entries that lost their high word */

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
    double base, span;       /* the share of the walk's progress this directory covers */
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

/* The node is a descendant of (or is) top. */
bool below(const tagStLinkNode *n, const tagStLinkNode *top)
{
    for (uint32_t hops = 0; n && hops <= kMaxDepth + 1; hops++) {
        if (n == top)
            return true;
        if (n->bRoot)
            return false;
        n = n->pParent;
    }
    return false;
}

/* The last node of top's subtree in list order. */
tagStLinkNode *subtree_end(tagStLinkNode *top)
{
    tagStLinkNode *n = top;
    while (n->pNext && below(n->pNext, top))
        n = n->pNext;
    return n;
}

/* A node after s.head (spliced into the list), child of s.tmpHead. */
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
        n->pNext = s.head->pNext;
        if (n->pNext)
            n->pNext->pPrev = n;
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

/* Unlinks and frees a node that holds nothing to recover. */
void free_node(QuickState &s, tagStLinkNode *n)
{
    for (tagStFatInfo **e = n->ppEntries; e && *e; e++)
        free(*e);
    free(n->ppEntries);
    if (n->pPrev)
        n->pPrev->pNext = n->pNext;
    if (n->pNext)
        n->pNext->pPrev = n->pPrev;
    if (s.head == n)
        s.head = n->pPrev;
    free(n);
    s.dirCount--;
    s.nodesAllocated--;
}

/* An EntryArray over a node's existing null-terminated records. */
void entries_adopt(EntryArray *a, tagStLinkNode *node)
{
    uint32_t n = 0;
    while (node->ppEntries && node->ppEntries[n])
        n++;
    a->count = n;
    a->capacity = (n / 512 + 1) * 512 + 512;
    a->items = static_cast<tagStFatInfo **>(MALLOC(sizeof(tagStFatInfo *) * a->capacity));
    if (n)
        memcpy(a->items, node->ppEntries, sizeof(tagStFatInfo *) * n);
    free(node->ppEntries);
    node->ppEntries = a->items;
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

void note_seen(QuickState &s, uint32_t cluster)
{
    if (cluster > s.maxSeen)
        s.maxSeen = cluster;
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
    note_seen(s, cluster);
    dev_read(s.part->Device, s.limit, fat_cluster_offset(s.L, cluster), s.L.clusterSize, s.clusterBuf);
    return is_dot_entry(s.clusterBuf) && is_dotdot_entry(s.clusterBuf + kEntrySize);
}

/*
 * The first cluster of a deleted FAT32 directory whose entry may have lost
 * its high word: among the clusters low + k x 65536 of the volume, the one
 * that starts with a "." entry naming that very cluster and a ".." entry.
 * The entry's own cluster when there is no such place or more than one.
 * Clusters in use are passed over without a read, and the others are
 * first probed by their first sector.
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
        if (bit_test(s.visited, (uint32_t)c) || fat_cluster_in_use(&s.fat, (uint32_t)c)) {
            // An end of chain is how a deleted one-cluster directory may
            // still read.
            if (bit_test(s.visited, (uint32_t)c) || fat_table_entry(&s.fat, (uint32_t)c, &v) != OK ||
                !fat_is_eoc(L, v))
                continue;
        }
        dev_read(s.part->Device, s.limit, fat_cluster_offset(L, (uint32_t)c), L.bytesPerSector, s.clusterBuf);
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

/*
 * Runs the walk over the frames on the stack until the bottom one is done.
 * The bottom frame's own end (pruning, its clusters) is left to the
 * caller.
 */
void run_walk(QuickState &s, Frame *stack, uint32_t &depth, LfnState *lfn, uint32_t *chain)
{
    const FatLayout &L = s.L;
    const uint32_t maxDirClusters = kDirBufferSize / L.clusterSize;
    bool stopped = false;
    lfn_clear(lfn);
    while (depth > 0) {
        Frame &f = stack[depth - 1];
        if (!stopped && !sv_progress_running())
            stopped = true;  // finished elsewhere, or the user asked to stop
        if (stopped || f.next >= f.entryCount) {
            if (depth == 1)
                break;
            // This directory is done: hand its result to the parent.
            uint32_t last = f.nclusters ? f.clusters[f.nclusters - 1] : 0;
            bool ended = f.used < f.entryCount;
            free(f.clusters);
            f.clusters = nullptr;
            Frame &child = stack[--depth];
            Frame &p = stack[depth - 1];
            s.tmpHead = p.node;
            if (child.node->bHasFile) {
                p.node->bHasFile = 1;
                // Only a deleted directory's first cluster is known: one
                // that is full went on where its chain no longer says.
                if (child.deleted && !ended && !stopped) {
                    uint8_t sum;
                    uint32_t parts = lfn_tail(s.dirBuf, child.entryCount, &sum);
                    open_folder_add(s, child.node, last, parts, sum);
                }
            } else if (s.head == child.node) {
                // Nothing to recover below it: forget the directory.
                free_node(s, child.node);
                drop_record(p);
            }
            if (!stopped)
                load_dir(s, p);
            lfn_clear(lfn);
            continue;
        }

        uint32_t i = f.next++;
        const uint8_t *e = s.dirBuf + (size_t)i * kEntrySize;
        EntryKind kind = entry_kind(e);
        if (kind == ENTRY_END) {
            f.next = f.entryCount;  // the rest of the directory was never used
            continue;
        }
        if (kind == ENTRY_LFN) {
            lfn_add(lfn, s.dirBuf, i, f.entryCount);
            continue;
        }

        bool descended = false;
        if (kind == ENTRY_SHORT) {
            uint8_t attr = e[11];
            bool isDir = (attr & 0x10) != 0;
            bool deletedEntry = e[0] == 0xE5;
            bool insideDeleted = f.deleted && !f.root;
            uint32_t cluster = entry_cluster(e);
            if ((isDir || insideDeleted || deletedEntry) && cluster <= L.maxCluster && !is_dot_entry(e) &&
                !is_dotdot_entry(e)) {
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
                        for (uint32_t k = 0; k < n; k++)
                            note_seen(s, own[k]);
                        open_child(s, stack, depth, own, n, false, i);
                        descended = true;
                    } else {
                        drop_record(f);
                    }
                }
            }
        }
        lfn_clear(lfn);
        if (!descended && f.span > 0) {
            double frac = entry_fraction(f, i);
            if (f.root)
                s.intermediate = frac;
            quick_progress(s, frac);
        }
    }
    // A stop can leave frames above the bottom one open.
    for (uint32_t d = 1; d < depth; d++) {
        free(stack[d].clusters);
        stack[d].clusters = nullptr;
    }
    depth = depth ? 1 : 0;
}

struct WalkTools {
    Frame *stack;
    LfnState *lfn;
    uint32_t *chain;
    explicit WalkTools(const FatLayout &L)
    {
        stack = static_cast<Frame *>(MALLOC(sizeof(Frame) * (kMaxDepth + 1)));
        lfn = static_cast<LfnState *>(MALLOC(sizeof(LfnState)));
        chain = static_cast<uint32_t *>(MALLOC(sizeof(uint32_t) * (kDirBufferSize / L.clusterSize)));
    }
    ~WalkTools()
    {
        free(chain);
        free(lfn);
        free(stack);
    }
};

}  // namespace

void quick_progress(QuickState &s, double fraction)
{
    if (!(fraction >= 0.0))
        fraction = 0.0;
    progress_note(&s.progress, s.phaseBase + s.phaseSpan * (fraction > 1.0 ? 1.0 : fraction));
}

/* The highest cluster a node's files and its own clusters reach. */
uint64_t node_frontier(const QuickState &s, const tagStLinkNode *node, uint32_t lastCluster)
{
    uint64_t fr = lastCluster;
    for (tagStFatInfo **e = node->ppEntries; e && *e; e++) {
        if ((*e)->bDirectory)
            continue;
        uint32_t end = record_end_cluster(s, *e);
        if (end > fr)
            fr = end;
    }
    return fr;
}

void open_folder_add(QuickState &s, tagStLinkNode *node, uint32_t lastCluster, uint32_t tailParts, uint8_t tailSum)
{
    if (s.nOpen == s.capOpen) {
        uint32_t cap = s.capOpen ? s.capOpen * 2 : 16;
        auto *grown = static_cast<OpenFolder *>(MALLOC(sizeof(OpenFolder) * cap));
        if (s.nOpen)
            memcpy(grown, s.open, sizeof(OpenFolder) * s.nOpen);
        free(s.open);
        s.open = grown;
        s.capOpen = cap;
    }
    s.open[s.nOpen++] = OpenFolder{node, lastCluster, node_frontier(s, node, lastCluster), tailParts, tailSum};
}

tagStLinkNode *quick_walk(QuickState &s)
{
    const FatLayout &L = s.L;
    const uint32_t maxDirClusters = kDirBufferSize / L.clusterSize;
    WalkTools w(L);
    uint32_t depth = 0;

    // The root.
    Frame &root = w.stack[depth++];
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
            return nullptr;
        }
        for (uint32_t k = 0; k < n; k++)
            note_seen(s, chain[k]);
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

    run_walk(s, w.stack, depth, w.lfn, w.chain);
    free(w.stack[0].clusters);
    return s.first;
}

bool walk_more(QuickState &s, tagStLinkNode *node, const uint32_t *clusters, uint32_t n, uint32_t firstEntry,
               uint32_t *tailParts, uint8_t *tailSum)
{
    *tailParts = 0;
    *tailSum = 0;
    const uint32_t maxDirClusters = kDirBufferSize / s.L.clusterSize;
    if (n == 0)
        return true;
    if (n > maxDirClusters)
        n = maxDirClusters;
    WalkTools w(s.L);
    uint32_t depth = 1;
    Frame &f = w.stack[0];
    f = Frame{};
    f.node = node;
    entries_adopt(&f.entries, node);
    f.clusters = static_cast<uint32_t *>(MALLOC(sizeof(uint32_t) * n));
    memcpy(f.clusters, clusters, sizeof(uint32_t) * n);
    f.nclusters = n;
    f.deleted = true;
    for (uint32_t k = 0; k < n; k++) {
        bit_set(s.visited, clusters[k]);
        note_seen(s, clusters[k]);
    }
    // Nodes made now follow the folder's subtree.
    s.head = subtree_end(node);
    s.tmpHead = node;
    load_dir(s, f);
    f.next = firstEntry;
    bool ended = f.used < f.entryCount;
    run_walk(s, w.stack, depth, w.lfn, w.chain);
    // The walk leaves the bottom folder's parts in the buffer.
    if (!ended)
        *tailParts = lfn_tail(s.dirBuf, f.entryCount, tailSum);
    free(f.clusters);
    if (node->bHasFile)
        for (tagStLinkNode *p = node; p && !p->bRoot; p = p->pParent)
            p->pParent->bHasFile = 1;
    return ended;
}

tagStLinkNode *lost_folder(QuickState &s, tagStLinkNode *parent, uint32_t cluster, tagStFatInfo **rec)
{
    char name[32];
    snprintf(name, sizeof name, "Lost folder %u", ++s.lostFolders);
    *rec = make_named_record(name, cluster, true);
    EntryArray a;
    entries_adopt(&a, parent);
    entries_push(&a, *rec);
    parent->ppEntries = a.items;
    s.head = subtree_end(parent);
    s.tmpHead = parent;
    tagStLinkNode *node = new_node(s, false, true, cluster);
    EntryArray mine;
    entries_init(&mine);
    node->ppEntries = mine.items;
    return node;
}

void drop_lost_folder(QuickState &s, tagStLinkNode *parent, tagStLinkNode *node)
{
    // Whatever the walk made below it was dropped with it already, since
    // nothing below holds a file either.
    free_node(s, node);
    EntryArray a;
    entries_adopt(&a, parent);
    entries_drop_last(&a);
    parent->ppEntries = a.items;
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
    const size_t words = (size_t)s.L.maxCluster / 32 + 1;
    memset(s.visited, 0, words * sizeof(uint32_t));
    s.freeRunBudget = kFreeRunBudget;
    s.maxSeen = 0;
    s.extent = 0;
    s.lostFolders = 0;

    // The FAT once, from end to end: the map of clusters in use.
    s.phaseBase = 0.0;
    s.phaseSpan = kFatShare;
    if (!s.fat.inUse && !fat_table_scan(&s.fat, [&](double f) { quick_progress(s, f); })) {
        fat_table_close(&s.fat);
        fat_table_open(&s.fat, s.part->Device, s.limit, &s.L);  // no partial map is kept
    }

    s.phaseBase = kFatShare;
    s.phaseSpan = kWalkShare;
    s.deferAmbiguous = true;
    tagStLinkNode *root = quick_walk(s);
    s.deferAmbiguous = false;
    if (!root) {
        s.nDeferred = 0;
        return nullptr;
    }
    s.phaseBase = kFatShare + kWalkShare;
    s.phaseSpan = kPlanShare;
    plan_deferred(s);
    s.phaseBase = kFatShare + kWalkShare + kPlanShare;
    s.phaseSpan = 0.99 - s.phaseBase;
    if (sv_progress_running())
        orphan_search(s);
    end_short_files(s);
    if (fileCount)
        *fileCount = s.fileCount;
    if (dirCount)
        *dirCount = s.dirCount;
    progress_finish();
    return root;
}
