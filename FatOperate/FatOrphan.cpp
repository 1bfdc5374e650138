/*
 * Directory parts the tree no longer reaches.
 *
 * A deleted folder's chain is gone: the walk knows its first cluster only.
 * Its later clusters, and folders whose entries were lost with them, still
 * lie in free clusters.  They are looked for there, and only there: the
 * free clusters that no walked folder and no found file's data takes, up
 * to where the volume was ever written (growing as the parts found name
 * files further on), read in order and in large blocks.  A cluster counts
 * when its entries pass the checks of the directory walk.
 *
 * What is found is walked like any folder: a part that starts with "."
 * and ".." is a folder's first cluster and goes under the folder its ".."
 * names when that one is known, as "Lost folder N"; a later part goes on
 * the deleted folder whose known clusters ended full and whose files come
 * nearest before it on the volume (that is where a folder grows while
 * files are written into it), else into a "Lost folder N" of its own.
 */
#include "polder_i.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace polder {

namespace {

/* Bytes read at once. */
constexpr uint32_t kReadBytes = 1u << 20;
/* Free clusters past the last known write that are looked at too. */
constexpr uint64_t kMarginBytes = 256u << 10;
/* The share of the phase's progress the search of the free clusters takes. */
constexpr double kScanShare = 0.9;

struct Search {
    QuickState &s;
    OrphanBlock *blocks = nullptr;
    uint32_t nBlocks = 0, capBlocks = 0;
    uint32_t *subdirs = nullptr;   /* first clusters that entries of found parts name */
    uint32_t nSubdirs = 0, capSubdirs = 0;
    uint64_t end = 0;              /* last cluster looked at */

    explicit Search(QuickState &st) : s(st) {}
    ~Search()
    {
        free(blocks);
        free(subdirs);
    }

    bool candidate(uint32_t c) const
    {
        return !bit_test(s.visited, c) && !bit_test(s.claimed, c) && !fat_cluster_in_use(&s.fat, c);
    }

    uint64_t margin() const
    {
        uint64_t m = kMarginBytes / s.L.clusterSize;
        return m < 16 ? 16 : m;
    }

    void reach(uint64_t c)
    {
        uint64_t e = c + margin();
        if (e > s.L.maxCluster)
            e = s.L.maxCluster;
        if (e > end)
            end = e;
    }

    /* The clusters a file from start on reads: its first, then free ones. */
    void claim_path(uint32_t start, uint64_t need)
    {
        const FatLayout &L = s.L;
        if (!fat_cluster_valid(L, start) || need == 0 || fat_cluster_in_use(&s.fat, start))
            return;
        uint64_t c = start, got = 0;
        while (got < need && c <= L.maxCluster && s.freeRunBudget > 0) {
            s.freeRunBudget--;
            if (!fat_cluster_in_use(&s.fat, (uint32_t)c)) {
                bit_set(s.claimed, (uint32_t)c);
                got++;
            }
            c++;
        }
        reach(c - 1);
    }

    void claim_tree()
    {
        uint64_t left = s.nodesAllocated;
        for (tagStLinkNode *n = s.first; n && left-- > 0; n = n->pNext)
            for (tagStFatInfo **e = n->ppEntries; e && *e; e++) {
                const tagStFatInfo *r = *e;
                if (r->bDirectory || !r->nFileSize || (r->bPlan & (FAT_PLAN_UNPLACED | FAT_PLAN_REUSED)))
                    continue;
                claim_path(r->nStartCluster, ((uint64_t)r->nFileSize + s.L.clusterSize - 1) / s.L.clusterSize);
            }
    }

    /* A found part: its files' data is not looked at, and may lie further on. */
    void take_block(uint32_t cluster, const uint8_t *b, const OrphanBlock &info)
    {
        if (nBlocks == capBlocks) {
            capBlocks = capBlocks ? capBlocks * 2 : 64;
            auto *grown = static_cast<OrphanBlock *>(MALLOC(sizeof(OrphanBlock) * capBlocks));
            if (nBlocks)
                memcpy(grown, blocks, sizeof(OrphanBlock) * nBlocks);
            free(blocks);
            blocks = grown;
        }
        blocks[nBlocks] = info;
        blocks[nBlocks].cluster = cluster;
        nBlocks++;
        reach(cluster);
        const uint32_t n = s.L.clusterSize / kEntrySize;
        for (uint32_t i = info.dots ? 2 : 0; i < n; i++) {
            const uint8_t *e = b + (size_t)i * kEntrySize;
            EntryKind k = entry_kind(e);
            if (k == ENTRY_END)
                break;
            if (k != ENTRY_SHORT)
                continue;
            if (e[11] & 0x10) {
                if (nSubdirs == capSubdirs) {
                    capSubdirs = capSubdirs ? capSubdirs * 2 : 64;
                    auto *grown = static_cast<uint32_t *>(MALLOC(sizeof(uint32_t) * capSubdirs));
                    if (nSubdirs)
                        memcpy(grown, subdirs, sizeof(uint32_t) * nSubdirs);
                    free(subdirs);
                    subdirs = grown;
                }
                subdirs[nSubdirs++] = entry_cluster(e);
                continue;
            }
            uint32_t size = sv_ld_le32(e + 28);
            claim_path(entry_cluster(e), ((uint64_t)size + s.L.clusterSize - 1) / s.L.clusterSize);
        }
    }

    /* Reads the candidates in order; false when stopped. */
    bool scan()
    {
        const FatLayout &L = s.L;
        const uint32_t cs = L.clusterSize;
        const uint32_t most = kReadBytes / cs ? kReadBytes / cs : 1;
        auto *buf = static_cast<uint8_t *>(MALLOC((size_t)most * cs));
        // Reads start small and grow while they find nothing; right after
        // a part is found the files it names take the clusters that
        // follow, so the next read is small again.
        uint32_t per = 1;
        uint64_t c = 2;
        bool ok = true;
        while (c <= end) {
            if (!sv_progress_running()) {
                ok = false;
                break;
            }
            // Whole words of clusters that are not candidates are passed at once.
            if ((c & 31) == 0 && c + 31 <= end) {
                uint32_t w = (uint32_t)(c >> 5);
                uint32_t used = s.visited[w] | s.claimed[w];
                if (s.fat.inUse)
                    used |= s.fat.inUse[w];
                if (used == 0xFFFFFFFFu) {
                    c += 32;
                    continue;
                }
            }
            if (!candidate((uint32_t)c)) {
                c++;
                continue;
            }
            uint32_t k = 1;
            while (k < per && c + k <= end && candidate((uint32_t)(c + k)))
                k++;
            dev_read(s.part->Device, s.limit, fat_cluster_offset(L, (uint32_t)c), k * cs, buf);
            bool found = false;
            for (uint32_t j = 0; j < k; j++) {
                OrphanBlock info{};
                const uint8_t *b = buf + (size_t)j * cs;
                if (j && bit_test(s.claimed, (uint32_t)(c + j)))
                    continue;  // data of a file the part before names
                if (dir_block_check(b, cs, L, &info)) {
                    take_block((uint32_t)(c + j), b, info);
                    found = true;
                }
            }
            per = found ? 1 : (per * 2 < most ? per * 2 : most);
            c += k;
            quick_progress(s, kScanShare * (double)(c - 2) / (double)(end - 1));
        }
        free(buf);
        return ok;
    }

    bool named_by_entry(uint32_t cluster) const
    {
        return std::binary_search(subdirs, subdirs + nSubdirs, cluster);
    }

    /* The folder a later part belongs to: the one whose cut long name it
     * finishes when exactly one is cut so, else the nearest before it. */
    OpenFolder *choose_open(const OrphanBlock &b)
    {
        OpenFolder *named = nullptr;
        uint32_t namedCount = 0;
        for (uint32_t i = 0; b.leadPart && i < s.nOpen; i++)
            if (s.open[i].tailParts && s.open[i].tailSum == b.leadSum) {
                named = &s.open[i];
                namedCount++;
            }
        if (namedCount == 1)
            return named;
        // (Long-name parts left at a folder's end are no proof: drivers
        // also leave the parts of a name they then wrote whole elsewhere.)
        OpenFolder *best = nullptr;
        for (uint32_t i = 0; i < s.nOpen; i++) {
            OpenFolder &f = s.open[i];
            if (f.frontier <= b.cluster && (!best || f.frontier >= best->frontier))
                best = &f;
        }
        return best;
    }

    tagStLinkNode *node_of(uint32_t cluster)
    {
        if (cluster == 0 || (s.L.fsType == FS_FAT32 && cluster == s.L.rootDirStartCluster))
            return s.first;
        uint64_t left = s.nodesAllocated;
        for (tagStLinkNode *n = s.first->pNext; n && left-- > 0; n = n->pNext)
            if (n->nStartCluster == cluster)
                return n;
        return nullptr;
    }

    /* Walks a lost folder's clusters under parent; keeps it when it holds a file. */
    void walk_lost(tagStLinkNode *parent, const uint32_t *clusters, uint32_t n, uint32_t firstEntry)
    {
        tagStFatInfo *rec;
        tagStLinkNode *node = lost_folder(s, parent, clusters[0], &rec);
        uint32_t tail;
        uint8_t sum;
        bool ended = walk_more(s, node, clusters, n, firstEntry, &tail, &sum);
        if (!node->bHasFile) {
            drop_lost_folder(s, parent, node);
            s.lostFolders--;
            return;
        }
        if (!ended)
            open_folder_add(s, node, clusters[n - 1], tail, sum);
    }

    void place()
    {
        std::sort(subdirs, subdirs + nSubdirs);
        auto *run = static_cast<uint32_t *>(MALLOC(sizeof(uint32_t) * (nBlocks + 1)));
        for (uint32_t i = 0; i < nBlocks && sv_progress_running(); i++) {
            const OrphanBlock &b = blocks[i];
            if (bit_test(s.visited, b.cluster))
                continue;  // walked meanwhile, as the folder of an entry found before
            if (b.dots) {
                // Walked as a subfolder when the part naming it is.
                if (named_by_entry(b.cluster))
                    continue;
                tagStLinkNode *parent = node_of(b.parent);
                uint32_t one = b.cluster;
                walk_lost(parent ? parent : s.first, &one, 1, 2);
                continue;
            }
            // Later parts that follow each other on the volume go together;
            // run[0] is kept free for the part before them.
            uint32_t n = 1;
            run[n++] = b.cluster;
            while (i + 1 < nBlocks && !blocks[i].ended && !blocks[i + 1].dots &&
                   blocks[i + 1].cluster == blocks[i].cluster + 1 && !bit_test(s.visited, blocks[i + 1].cluster)) {
                i++;
                run[n++] = blocks[i].cluster;
            }
            OpenFolder *f = choose_open(b);
            if (!f) {
                walk_lost(s.first, run + 1, n - 1, 0);
                continue;
            }
            tagStLinkNode *node = f->node;
            // A long name cut at the end of the folder's last part is walked
            // again from its first part, so that it comes out whole.
            const uint32_t *walk = run + 1;
            uint32_t count = n - 1, firstEntry = 0;
            if (f->tailParts) {
                run[0] = f->lastCluster;
                walk = run;
                count = n;
                firstEntry = s.L.clusterSize / kEntrySize - f->tailParts;
            }
            uint32_t tail;
            uint8_t sum;
            bool ended = walk_more(s, node, walk, count, firstEntry, &tail, &sum);
            f = nullptr;  // the walk may have added open folders
            for (uint32_t k = 0; k < s.nOpen; k++) {
                if (s.open[k].node != node)
                    continue;
                if (ended) {
                    s.open[k] = s.open[--s.nOpen];
                } else {
                    s.open[k].lastCluster = run[n - 1];
                    s.open[k].frontier = node_frontier(s, node, run[n - 1]);
                    s.open[k].tailParts = tail;
                    s.open[k].tailSum = sum;
                }
                break;
            }
        }
        // Folders whose naming part could not be walked after all.
        for (uint32_t i = 0; i < nBlocks && sv_progress_running(); i++) {
            const OrphanBlock &b = blocks[i];
            if (!b.dots || bit_test(s.visited, b.cluster))
                continue;
            tagStLinkNode *parent = node_of(b.parent);
            uint32_t one = b.cluster;
            walk_lost(parent ? parent : s.first, &one, 1, 2);
        }
        free(run);
    }
};

}  // namespace

void orphan_search(QuickState &s)
{
    if (!s.first || s.L.maxCluster < 2)
        return;
    const size_t words = (size_t)s.L.maxCluster / 32 + 1;
    s.claimed = static_cast<uint32_t *>(MALLOC(words * sizeof(uint32_t)));
    Search search(s);
    // From the first cluster to where the volume was written, now that the
    // files are placed (s.extent also left room for the ones that were not).
    search.reach(s.fat.highestUsed);
    search.reach(s.nextFreeHint);
    search.reach(s.maxSeen);
    // Files placed since the folders were opened may reach further now.
    for (uint32_t i = 0; i < s.nOpen; i++)
        s.open[i].frontier = node_frontier(s, s.open[i].node, s.open[i].lastCluster);
    search.claim_tree();
    if (search.scan())
        search.place();
    free(s.claimed);
    s.claimed = nullptr;
}

}  // namespace polder
