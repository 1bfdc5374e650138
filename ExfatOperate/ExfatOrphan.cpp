/*
 * Folder parts the walk cannot reach.
 *
 * Some drivers give a folder's trailing clusters back once every entry in
 * them is deleted, and a deleted folder's chain may be gone: its entries
 * then lie in free clusters no length or chain names.  They are looked
 * for there, and only there: the free clusters that no walked folder and
 * no found file's data takes, up to where the volume was ever written
 * (growing as the parts found name files further on), read in order and
 * in large blocks.  A cluster counts when it holds directory entries only.
 *
 * A part goes on the folder that ended without an end mark and whose set
 * cut at its end the part finishes, when exactly one such folder is cut
 * so; else on the one whose files come nearest before it on the volume
 * (that is where a folder grows while files are written into it); else
 * into a folder of its own, "Lost folder N".
 */
#include "hollin_i.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace hollin {

void progress_phase(State &s, double fraction)
{
    if (!(fraction >= 0.0))
        fraction = 0.0;
    progress_note(s.progressBase + s.progressSpan * (fraction > 1.0 ? 1.0 : fraction));
}

namespace {

/* Bytes read at once. */
constexpr uint32_t kReadBytes = 1u << 20;
/* Found parts kept in memory between their search and their walk. */
constexpr uint64_t kKeepBytes = 64ull << 20;
/* Free clusters past the last known write that are looked at too. */
constexpr uint64_t kMarginBytes = 256u << 10;

bool claimed(const State &s, uint32_t c) { return (s.claimed[c >> 3] >> (c & 7)) & 1; }

/* The highest cluster the allocation bitmap marks in use (0: none). */
uint32_t highest_in_use(const State &s)
{
    for (uint64_t b = s.bitmapBytes; b-- > 0;) {
        if (!s.bitmap[b])
            continue;
        for (int bit = 7; bit >= 0; bit--)
            if ((s.bitmap[b] >> bit) & 1)
                return (uint32_t)(b * 8 + (uint64_t)bit + 2);
    }
    return 0;
}

/* The last cluster a record's data reaches (0: none). */
uint64_t record_end(const State &s, const tagExfatFile *r)
{
    if (r->bDirectory || !r->nClusters || !cluster_valid(s.L, r->nFirstCluster))
        return 0;
    return (uint64_t)r->nFirstCluster + r->nClusters - 1 + r->nSkipped;
}

struct Search {
    State &s;
    OrphanBlock *blocks = nullptr;
    uint32_t nBlocks = 0, capBlocks = 0;
    uint64_t end = 0;

    explicit Search(State &st) : s(st) {}
    uint8_t *kept = nullptr;       /* contents of the first keptCount blocks */
    uint32_t keptCount = 0, keptCap = 0;

    ~Search()
    {
        free(blocks);
        free(kept);
    }

    /* A found part's contents: from memory, else read again. */
    void part_bytes(uint32_t cluster, uint8_t *dst)
    {
        const uint32_t cs = s.L.clusterSize;
        uint32_t lo = 0, hi = nBlocks;
        while (lo < hi) {
            uint32_t mid = lo + (hi - lo) / 2;
            if (blocks[mid].cluster < cluster)
                lo = mid + 1;
            else
                hi = mid;
        }
        if (lo < keptCount && blocks[lo].cluster == cluster)
            memcpy(dst, kept + (size_t)lo * cs, cs);
        else
            dev_read(s.dev, s.limit, cluster_offset(s.L, cluster), cs, dst);
    }

    void reach(uint64_t c)
    {
        uint64_t m = kMarginBytes / s.L.clusterSize;
        uint64_t e = c + (m < 16 ? 16 : m);
        uint64_t last = max_cluster(s.L);
        if (e > last)
            e = last;
        if (e > end)
            end = e;
    }

    bool candidate(uint32_t c) const
    {
        return cluster_valid(s.L, c) && !claimed(s, c) && !cluster_in_use(s, c);
    }

    /* A found part: the data of its deleted files is not looked at. */
    void take(uint32_t cluster, const uint8_t *b)
    {
        const uint32_t cs = s.L.clusterSize;
        const uint32_t n = cs / kEntrySize;
        if (nBlocks == capBlocks) {
            capBlocks = capBlocks ? capBlocks * 2 : 64;
            auto *grown = static_cast<OrphanBlock *>(MALLOC(sizeof(OrphanBlock) * capBlocks));
            if (nBlocks)
                memcpy(grown, blocks, sizeof(OrphanBlock) * nBlocks);
            free(blocks);
            blocks = grown;
        }
        uint32_t lead = 0;
        while (lead < n && (b[(size_t)lead * kEntrySize] & 0x40) && (b[(size_t)lead * kEntrySize] & 0x7F) != 0x05)
            lead++;
        blocks[nBlocks++] = OrphanBlock{cluster, lead, dangling_entries(b, cs), has_end_mark(b, cs)};
        if (keptCount + 1 == nBlocks && (uint64_t)nBlocks * cs <= kKeepBytes) {
            if (keptCount == keptCap) {
                keptCap = keptCap ? keptCap * 2 : 64;
                auto *grown = static_cast<uint8_t *>(MALLOC((size_t)keptCap * cs));
                if (keptCount)
                    memcpy(grown, kept, (size_t)keptCount * cs);
                free(kept);
                kept = grown;
            }
            memcpy(kept + (size_t)keptCount++ * cs, b, cs);
        }
        reach(cluster);
        // Every stream extension names data: of whole sets, and of the sets
        // this part cuts at either end, whose other entries lie elsewhere.
        for (uint32_t i = 0; i < n; i++) {
            const uint8_t *e = b + (size_t)i * kEntrySize;
            if ((e[0] & 0x7F) != 0x40)
                continue;
            // The stream extension follows its file entry.
            bool directory;
            if (i > 0 && (b[(size_t)(i - 1) * kEntrySize] & 0x7F) == 0x05)
                directory = (sv_ld_le16(b + (size_t)(i - 1) * kEntrySize + 4) & 0x10) != 0;
            else
                // The file entry lies in the part before: a folder's length
                // is whole clusters, a file's seldom is.
                directory = sv_ld_le64(e + 24) % cs == 0;
            const uint32_t first = sv_ld_le32(e + 20);
            const uint64_t length = sv_ld_le64(e + 24);
            if (directory || !(e[1] & 1) || !cluster_valid(s.L, first))
                continue;
            uint64_t count = length / cs + (length % cs != 0);
            uint64_t cap = s.L.clusterCount;
            Plan plan;
            if (plan_clusters(s, first, (uint32_t)(count < cap ? count : cap), (e[1] & 2) != 0, false, &s.claimRuns,
                              &plan, &s.planBudget) == OK) {
                claim_runs(s, s.claimRuns);
                reach(s.maxSeen);
            }
        }
    }

    /* Reads the candidates in order; false when stopped. */
    bool scan()
    {
        const uint32_t cs = s.L.clusterSize;
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
            // Whole bytes of clusters walked or taken are passed at once.
            if ((c & 7) == 0 && c + 7 <= end && s.claimed[c >> 3] == 0xFF) {
                c += 8;
                continue;
            }
            if (!candidate((uint32_t)c)) {
                c++;
                continue;
            }
            uint32_t k = 1;
            while (k < per && c + k <= end && candidate((uint32_t)(c + k)))
                k++;
            dev_read(s.dev, s.limit, cluster_offset(s.L, (uint32_t)c), k * cs, buf);
            bool found = false;
            for (uint32_t j = 0; j < k; j++) {
                const uint8_t *b = buf + (size_t)j * cs;
                if (j && claimed(s, (uint32_t)(c + j)))
                    continue;  // data of a file the part before names
                if (looks_like_folder(b, cs)) {
                    take((uint32_t)(c + j), b);
                    found = true;
                }
            }
            per = found ? 1 : (per * 2 < most ? per * 2 : most);
            c += k;
            progress_phase(s, 0.9 * (double)(c - 2) / (double)(end - 1));
        }
        free(buf);
        return ok;
    }

    void frontiers()
    {
        for (uint32_t i = 0; i < s.nOpen; i++)
            s.open[i].frontier = s.open[i].lastCluster;
        uint64_t left = s.records;
        for (tagExfatFile *r = s.first; r && left-- > 0; r = r->pNext)
            note_file(r);
    }

    void note_file(const tagExfatFile *r)
    {
        uint64_t e = record_end(s, r);
        if (!e)
            return;
        for (uint32_t i = 0; i < s.nOpen; i++)
            if (s.open[i].rec == r->pParent && e > s.open[i].frontier)
                s.open[i].frontier = e;
    }

    /* A folder whose last part cut a set goes on only in a part that
     * starts with the rest of it. */
    OpenFolder *choose_open(const OrphanBlock &b)
    {
        OpenFolder *cut = nullptr, *best = nullptr;
        uint32_t count = 0;
        for (uint32_t i = 0; i < s.nOpen; i++) {
            OpenFolder &f = s.open[i];
            if (f.need != b.lead)
                continue;
            if (f.need) {
                cut = &f;
                count++;
            }
            if (f.frontier <= b.cluster && (!best || f.frontier >= best->frontier))
                best = &f;
        }
        return count == 1 ? cut : best;
    }

    /* A "Lost folder N" record at the root. */
    tagExfatFile *lost_record()
    {
        EntrySet e{};
        char name[32];
        int len = snprintf(name, sizeof name, "Lost folder %u", ++s.lostFolders);
        for (int i = 0; i < len; i++)
            e.name[i] = (uint16_t)(uint8_t)name[i];
        e.nameLength = (uint8_t)len;
        e.attributes = 0x10;
        e.deleted = true;
        return new_record(s, e, nullptr, true, 0);
    }

    /* Drops the records made after `before` (a lost folder with no file). */
    void drop_after(tagExfatFile *before)
    {
        tagExfatFile *r = before ? before->pNext : s.first;
        while (r) {
            tagExfatFile *next = r->pNext;
            free(r);
            s.records--;
            r = next;
        }
        if (before)
            before->pNext = nullptr;
        else
            s.first = nullptr;
        s.last = before;
    }

    /*
     * Loads clusters (the folder's last part first when a set was cut at
     * its end) and walks them as part of folder rec.
     */
    void walk_parts(tagExfatFile *rec, bool deleted, const OpenFolder *prev, const uint32_t *clusters, uint32_t n)
    {
        const uint32_t cs = s.L.clusterSize;
        const uint32_t per = cs / kEntrySize;
        uint32_t total = n + (prev && prev->need ? 1 : 0);
        dir_reserve(s, (uint64_t)total * cs);
        runs_clear(&s.loaded);
        uint64_t at = 0;
        uint32_t start = 0;
        if (prev && prev->need) {
            part_bytes(prev->lastCluster, s.dirBuf);
            runs_add(&s.loaded, prev->lastCluster, 0);
            // From the cut set's file entry on.
            for (uint32_t i = per; i-- > 0;)
                if ((s.dirBuf[(size_t)i * kEntrySize] & 0x7F) == 0x05) {
                    start = i;
                    break;
                }
            at = cs;
        }
        for (uint32_t k = 0; k < n; k++)
            part_bytes(clusters[k], s.dirBuf + at + (size_t)k * cs);
        for (uint32_t k = 0; k < n; k++) {
            runs_add(&s.loaded, clusters[k], at / cs + k);
            mark_walked(s, clusters[k]);
        }
        FrameStack stack;
        walk_sets(s, stack, Frame{rec, 0, 0, false, deleted, 1}, start, (uint32_t)((at + (uint64_t)n * cs) / kEntrySize));
        walk_frames(s, stack, false);
    }

    void add_open(tagExfatFile *rec, bool deleted, const OrphanBlock &last)
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
        s.open[s.nOpen++] = OpenFolder{rec, deleted, last.cluster, last.need, last.cluster};
    }

    void place()
    {
        auto *run = static_cast<uint32_t *>(MALLOC(sizeof(uint32_t) * (nBlocks ? nBlocks : 1)));
        for (uint32_t i = 0; i < nBlocks && sv_progress_running(); i++) {
            if (set_contains(&s.visited, blocks[i].cluster))
                continue;  // walked meanwhile as part of a folder found before
            // Parts that follow each other on the volume and go on one
            // another's cut set go together.
            uint32_t n = 0;
            const OrphanBlock &b = blocks[i];
            run[n++] = b.cluster;
            while (i + 1 < nBlocks && !blocks[i].ended && blocks[i + 1].cluster == blocks[i].cluster + 1 &&
                   blocks[i + 1].lead == blocks[i].need && !set_contains(&s.visited, blocks[i + 1].cluster)) {
                i++;
                run[n++] = blocks[i].cluster;
            }
            const OrphanBlock last = blocks[i];
            tagExfatFile *before = s.last;
            const int32_t filesBefore = s.fileCount;
            OpenFolder *f = choose_open(b);
            if (!f) {
                tagExfatFile *lost = lost_record();
                walk_parts(lost, true, nullptr, run, n);
                if (s.fileCount == filesBefore) {
                    drop_after(before);
                    s.lostFolders--;
                } else {
                    if (!last.ended)
                        add_open(lost, true, last);
                    frontiers();
                }
                continue;
            }
            OpenFolder prev = *f;
            walk_parts(prev.rec, prev.deleted, &prev, run, n);
            for (uint32_t k = 0; k < s.nOpen; k++) {
                if (s.open[k].rec != prev.rec)
                    continue;
                if (last.ended) {
                    s.open[k] = s.open[--s.nOpen];
                } else {
                    s.open[k].lastCluster = last.cluster;
                    s.open[k].need = last.need;
                }
                break;
            }
            frontiers();
        }
        free(run);
    }
};

}  // namespace

void orphan_search(State &s)
{
    Search search(s);
    search.reach(highest_in_use(s));
    search.reach(s.maxSeen);
    search.frontiers();
    if (search.scan())
        search.place();
}

}  // namespace hollin
