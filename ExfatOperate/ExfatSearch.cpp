/*
 * The quick scan's walk: every folder from the root down, live and
 * deleted, each walked once; deleted entry sets become records.  Folder
 * parts the walk cannot reach (trailing clusters a driver gave back, the
 * rest of a deleted folder whose chain is gone) are looked for afterwards
 * in the free clusters (ExfatOrphan.cpp).
 */
#include "hollin_i.h"

#include <cstdlib>
#include <cstring>

namespace hollin {

namespace {

/* Clusters read at once while loading a folder. */
constexpr uint32_t kReadGroup = 1u << 20;

/* The clusters of a live chained folder, to the end of its chain. */
void chain_clusters(State &s, uint32_t first, uint32_t max, RunList *out)
{
    runs_clear(out);
    set_clear(&s.chain);
    uint32_t c = first;
    for (uint32_t k = 0; k < max && cluster_valid(s.L, c) && set_insert(&s.chain, c); k++) {
        runs_add(out, c, k);
        uint32_t next;
        if (fat_next(s, c, &next) != OK)
            break;
        c = next;
    }
}

/* Byte offset on the volume of byte pos of the folder last loaded. */
uint64_t dir_byte_offset(const State &s, uint64_t pos)
{
    uint64_t skip = 0;
    for (uint32_t r = 0; r < s.loaded.n; r++) {
        const Run &run = s.loaded.runs[r];
        if (!run.start)
            continue;
        const uint64_t len = (uint64_t)run.count * s.L.clusterSize;
        if (pos - skip < len)
            return cluster_offset(s.L, run.start) + (pos - skip);
        skip += len;
    }
    return 0;
}

}  // namespace

bool looks_like_folder(const uint8_t *c, uint32_t cs)
{
    bool ended = false, anySet = false;
    const uint32_t n = cs / kEntrySize;
    for (uint32_t i = 0; i < n; i++) {
        const uint8_t t = c[(size_t)i * kEntrySize];
        if (t == 0x00) {
            if (i == 0)
                return false;
            ended = true;
            continue;
        }
        if (ended)
            return false;
        switch (t & 0x7F) {
        case 0x05:
            if (!anySet) {
                EntrySet e;
                anySet = entry_set_parse(c, i, n, &e) != 0;
            }
            break;
        case 0x01: case 0x02: case 0x03:      /* bitmap, up-case, label */
        case 0x20: case 0x21: case 0x22:      /* GUID, padding entries */
        case 0x40: case 0x41: case 0x60: case 0x61:
            break;
        default:
            return false;
        }
    }
    // A cluster that starts inside a set may hold no whole one.
    return anySet || (c[0] & 0x40);
}

uint32_t dangling_entries(const uint8_t *c, uint32_t cs)
{
    const uint32_t n = cs / kEntrySize;
    for (uint32_t i = n; i-- > 0;) {
        const uint8_t *e = c + (size_t)i * kEntrySize;
        if ((e[0] & 0x7F) == 0x05 || !(e[0] & 0x40)) {
            // The last primary entry: does its set run past the cluster?
            if ((e[0] & 0x7F) != 0x05)
                return 0;
            const uint32_t end = i + 1 + e[1];
            return end > n ? end - n : 0;
        }
    }
    return 0;
}

bool has_end_mark(const uint8_t *c, uint32_t cs)
{
    for (uint32_t off = 0; cs - off >= kEntrySize; off += kEntrySize)
        if (c[off] == 0x00)
            return true;
    return false;
}

void FrameStack::push(const Frame &f)
{
    if (n == cap) {
        uint32_t c = cap ? cap * 2 : 64;
        auto *it = static_cast<Frame *>(MALLOC((size_t)c * sizeof(Frame)));
        if (n)
            memcpy(it, items, (size_t)n * sizeof(Frame));
        free(items);
        items = it;
        cap = c;
    }
    items[n++] = f;
}

FrameStack::~FrameStack() { free(items); }

void dir_reserve(State &s, uint64_t bytes, uint64_t keep)
{
    if (bytes <= s.dirCap)
        return;
    uint64_t cap = s.dirCap ? s.dirCap : 64 * 1024;
    while (cap < bytes)
        cap *= 2;
    auto *buf = static_cast<uint8_t *>(MALLOC((size_t)cap));
    if (s.dirBuf && keep)
        memcpy(buf, s.dirBuf, (size_t)keep);
    free(s.dirBuf);
    s.dirBuf = buf;
    s.dirCap = cap;
}

void mark_walked(State &s, uint32_t c)
{
    set_insert(&s.visited, c);
    if (s.claimed && cluster_valid(s.L, c))
        s.claimed[c >> 3] |= (uint8_t)(1u << (c & 7));
    if (c > s.maxSeen)
        s.maxSeen = c;
}

void claim_runs(State &s, const RunList &runs)
{
    for (uint32_t i = 0; i < runs.n; i++) {
        const Run &r = runs.runs[i];
        if (!r.start)
            continue;
        for (uint32_t k = 0; k < r.count; k++) {
            uint32_t c = r.start + k;
            if (s.claimed && cluster_valid(s.L, c))
                s.claimed[c >> 3] |= (uint8_t)(1u << (c & 7));
        }
        if (r.start + r.count - 1 > s.maxSeen)
            s.maxSeen = r.start + r.count - 1;
    }
}

tagExfatFile *new_record(State &s, const EntrySet &e, tagExfatFile *parent, bool deleted, uint64_t entryOffset)
{
    auto *r = static_cast<tagExfatFile *>(MALLOC(sizeof(tagExfatFile)));
    r->pParent = parent;
    r->wAttributes = e.attributes;
    r->bDirectory = (e.attributes & 0x10) ? 1 : 0;
    r->bDeleted = deleted ? 1 : 0;
    r->bSetDeleted = e.deleted ? 1 : 0;
    r->bNoFatChain = (e.flags & 2) ? 1 : 0;
    r->nNameLength = e.nameLength;
    r->nFirstCluster = e.firstCluster;
    r->nDataLength = e.dataLength;
    // Nothing is larger than the cluster heap.
    const uint64_t heap = (uint64_t)s.L.clusterCount * s.L.clusterSize;
    r->nSize = e.dataLength < heap ? e.dataLength : heap;
    r->nValidDataLength = e.validLength < r->nSize ? e.validLength : r->nSize;
    const uint32_t cs = s.L.clusterSize;
    r->nClusters = (uint32_t)(r->nSize / cs + (r->nSize % cs != 0));
    // Data is only where the set says allocation is possible.
    if (!(e.flags & 1)) {
        r->nSize = r->nValidDataLength = 0;
        r->nClusters = 0;
    }
    r->nEntryOffset = entryOffset;
    r->stCreate = e.create;
    r->stModify = e.modify;
    r->stAccess = e.access;
    memcpy(r->szName, e.name, sizeof r->szName);
    r->nId = (uint32_t)++s.records;
    if (s.last)
        s.last->pNext = r;
    else
        s.first = r;
    s.last = r;
    return r;
}

uint64_t dir_load(State &s, uint32_t first, uint64_t length, bool noFatChain, bool deleted, bool markVisited)
{
    const uint32_t cs = s.L.clusterSize;
    const uint64_t maxClusters64 = kMaxDirBytes / cs;
    uint32_t maxClusters = (uint32_t)(maxClusters64 < s.L.clusterCount ? maxClusters64 : s.L.clusterCount);
    bool guessed = false;
    if (length == 0 || (!noFatChain && !deleted)) {
        uint32_t want = maxClusters;
        if (length) {
            uint64_t n = length / cs + (length % cs != 0);
            if (n < want)
                want = (uint32_t)n;
        }
        chain_clusters(s, first, want, &s.scratch);
    } else {
        uint64_t n = length / cs + (length % cs != 0);
        if (n > maxClusters)
            n = maxClusters;
        uint64_t budget = UINT64_MAX;
        Plan plan;
        plan_clusters(s, first, (uint32_t)n, noFatChain, !deleted, &s.scratch, &plan, &budget);
        guessed = plan.state == EXFAT_DATA_GUESSED;
    }
    runs_clear(&s.loaded);
    uint64_t total = 0;
    for (uint32_t i = 0; i < s.scratch.n; i++)
        if (s.scratch.runs[i].start)
            total += s.scratch.runs[i].count;
    dir_reserve(s, total * cs + cs);
    uint64_t at = 0;
    for (uint32_t i = 0; i < s.scratch.n; i++) {
        const Run &r = s.scratch.runs[i];
        if (!r.start)
            continue;
        // Groups of clusters not walked before, read at once.
        uint32_t k = 0;
        while (k < r.count) {
            uint32_t c = r.start + k;
            if (markVisited && set_contains(&s.visited, c)) {
                k++;
                continue;
            }
            uint32_t g = 1;
            while (k + g < r.count && (uint64_t)(g + 1) * cs <= kReadGroup &&
                   (!markVisited || !set_contains(&s.visited, c + g)))
                g++;
            dev_read(s.dev, s.limit, cluster_offset(s.L, c), g * cs, s.dirBuf + at);
            uint32_t kept = 0;
            for (uint32_t j = 0; j < g; j++) {
                uint8_t *part = s.dirBuf + at + (uint64_t)j * cs;
                // A deleted folder's chain is gone: its free clusters after
                // the first are a guess, kept only where they hold entries.
                if (guessed && (at || j) && !looks_like_folder(part, cs))
                    continue;
                if (kept != j)
                    memmove(s.dirBuf + at + (uint64_t)kept * cs, part, cs);
                if (markVisited)
                    mark_walked(s, c + j);
                runs_add(&s.loaded, c + j, at / cs + kept);
                kept++;
            }
            at += (uint64_t)kept * cs;
            k += g;
        }
    }
    return at;
}

void walk_sets(State &s, FrameStack &stack, const Frame &f, uint32_t start, uint32_t n)
{
    const uint8_t *dir = s.dirBuf;
    for (uint32_t i = start; i < n;) {
        const uint8_t type = dir[(size_t)i * kEntrySize];
        if (type == 0x00)
            break;  // end of the folder
        EntrySet e;
        const uint32_t used = entry_set_parse(dir, i, n, &e);
        if (!used) {
            i++;
            continue;
        }
        const bool deleted = e.deleted || f.deleted;
        const uint64_t entryOffset = (e.deleted || f.deleted || (e.attributes & 0x10))
                                         ? dir_byte_offset(s, (uint64_t)i * kEntrySize)
                                         : 0;
        if (e.attributes & 0x10) {
            tagExfatFile *rec = new_record(s, e, f.rec, deleted, entryOffset);
            if (f.depth + 1 < kMaxDepth && cluster_valid(s.L, e.firstCluster) && (e.flags & 1) &&
                !set_contains(&s.visited, e.firstCluster))
                stack.push(Frame{rec, e.firstCluster, e.dataLength ? e.dataLength : s.L.clusterSize,
                                 (e.flags & 2) != 0, deleted, f.depth + 1});
        } else if (deleted) {
            tagExfatFile *rec = new_record(s, e, f.rec, true, entryOffset);
            Plan plan;
            Status st = plan_clusters(s, rec->nFirstCluster, rec->nClusters, rec->bNoFatChain, false, &s.claimRuns,
                                      &plan, &s.planBudget);
            rec->bDataState = st == STOP ? (uint8_t)EXFAT_DATA_UNCHECKED : plan.state;
            rec->nMissing = plan.missing;
            rec->nSkipped = plan.skipped;
            if (st != STOP)
                claim_runs(s, s.claimRuns);
            s.fileCount++;
        }
        i += used;
    }
}

void walk_frames(State &s, FrameStack &stack, bool progress)
{
    uint64_t walked = 0;
    while (stack.n) {
        if (!sv_progress_running())
            break;
        const Frame f = stack.items[--stack.n];
        const uint64_t bytes = dir_load(s, f.first, f.length, f.noFatChain, f.deleted, true);
        s.dirCount++;
        const uint32_t cs = s.L.clusterSize;
        walk_sets(s, stack, f, 0, (uint32_t)(bytes / kEntrySize));
        if (bytes >= cs && s.loaded.n) {
            // Ends without an end mark: the folder went on somewhere.
            const uint8_t *last = s.dirBuf + bytes - cs;
            if (!has_end_mark(last, cs)) {
                const Run &r = s.loaded.runs[s.loaded.n - 1];
                if (s.nOpen == s.capOpen) {
                    uint32_t cap = s.capOpen ? s.capOpen * 2 : 16;
                    auto *grown = static_cast<OpenFolder *>(MALLOC(sizeof(OpenFolder) * cap));
                    if (s.nOpen)
                        memcpy(grown, s.open, sizeof(OpenFolder) * s.nOpen);
                    free(s.open);
                    s.open = grown;
                    s.capOpen = cap;
                }
                s.open[s.nOpen++] = OpenFolder{f.rec, f.deleted, r.start + r.count - 1, dangling_entries(last, cs), 0};
            }
        }
        walked++;
        if (progress)
            progress_phase(s, (double)walked / (double)(walked + stack.n + 1));
    }
}

void free_records(State &s)
{
    tagExfatFile *r = s.first;
    uint64_t left = s.records;
    while (r && left-- > 0) {
        tagExfatFile *next = r->pNext;
        free(r);
        r = next;
    }
    s.first = s.last = nullptr;
    s.records = 0;
    s.fileCount = s.dirCount = 0;
    s.readRec = nullptr;
    free(s.open);
    s.open = nullptr;
    s.nOpen = s.capOpen = 0;
    s.lostFolders = 0;
}

void search_walk(State &s)
{
    const uint64_t bytes = ((uint64_t)s.L.clusterCount + 2 + 7) / 8;
    free(s.claimed);
    s.claimed = static_cast<uint8_t *>(MALLOC((size_t)bytes));
    s.maxSeen = 0;
    s.progressBase = 0.0;
    s.progressSpan = 0.7;
    FrameStack stack;
    stack.push(Frame{nullptr, s.L.rootCluster, 0, false, false, 0});
    walk_frames(s, stack, true);
    s.progressBase = 0.7;
    s.progressSpan = 0.29;
    if (sv_progress_running())
        orphan_search(s);
    free(s.claimed);
    s.claimed = nullptr;
}

}  // namespace hollin
