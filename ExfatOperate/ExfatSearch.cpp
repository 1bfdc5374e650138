/*
 * The quick scan's walk: every folder from the root down, live and
 * deleted, each walked once; deleted entry sets become records.
 */
#include "hollin_i.h"

#include <cstdlib>
#include <cstring>

namespace hollin {

namespace {

/* Clusters read at once while loading a folder. */
constexpr uint32_t kReadGroup = 1u << 20;
/* How far past a folder's last cluster its lost continuation is looked for. */
constexpr uint32_t kTailWindow = 8192;
/* Clusters larger than this are probed by their first sector. */
constexpr uint32_t kProbeClusterSize = 32 * 1024;

/* True when a cluster holds nothing but directory entries. */
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

/* True when a sector starts like a folder cluster: entry types only. */
bool plausible_sector(const uint8_t *p, uint32_t len)
{
    if (p[0] == 0x00)
        return false;
    for (uint32_t off = 0; len - off >= kEntrySize; off += kEntrySize) {
        const uint8_t t = p[off] & 0x7F;
        if (p[off] != 0x00 && t != 0x05 && t != 0x40 && t != 0x41 && t != 0x60 && t != 0x61 &&
            !(t >= 0x01 && t <= 0x03) && !(t >= 0x20 && t <= 0x22))
            return false;
    }
    return true;
}

/* Entries a set begun in the cluster still needs from the next one (0: the
 * cluster ends on a set boundary). */
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

/* True when the cluster starts with need secondary entries. */
bool continues_set(const uint8_t *c, uint32_t cs, uint32_t need)
{
    for (uint32_t k = 0; k < need && k < cs / kEntrySize; k++)
        if (!(c[(size_t)k * kEntrySize] & 0x40) || (c[(size_t)k * kEntrySize] & 0x7F) == 0x05)
            return false;
    return true;
}

bool has_end_mark(const uint8_t *c, uint32_t cs)
{
    for (uint32_t off = 0; cs - off >= kEntrySize; off += kEntrySize)
        if (c[off] == 0x00)
            return true;
    return false;
}

struct Frame {
    tagExfatFile *rec;    /* null: the root */
    uint32_t first;
    uint64_t length;      /* 0: follow the chain (the root) */
    bool noFatChain;
    bool deleted;         /* the folder or one above it is deleted */
    uint32_t depth;
};

struct FrameStack {
    Frame *items = nullptr;
    uint32_t n = 0, cap = 0;
    void push(const Frame &f)
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
};

void dir_reserve(State &s, uint64_t bytes, uint64_t keep = 0)
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

/*
 * A folder whose last cluster is full without an end mark went on.  Some
 * drivers give the trailing clusters of a folder back when the entries in
 * them are deleted, and clear their FAT entries: the deleted entries then
 * lie in free clusters after the folder's last one.  Those are looked for
 * forward, free and not walked yet, until one holds the end mark.
 */
uint64_t dir_load_tail(State &s, uint64_t at)
{
    const uint32_t cs = s.L.clusterSize;
    uint32_t last = 0;
    if (s.loaded.n)
        last = s.loaded.runs[s.loaded.n - 1].start + s.loaded.runs[s.loaded.n - 1].count - 1;
    if (!last)
        return at;
    // Small clusters are read in large batches; of large ones only the free
    // candidates' first sectors are looked at before a whole one is read.
    const bool probe = cs > kProbeClusterSize;
    const uint32_t batch = probe ? 1 : kReadGroup / cs;
    if (!s.probeBuf)
        s.probeBuf = static_cast<uint8_t *>(MALLOC(probe ? cs : (size_t)batch * cs));
    uint64_t c = (uint64_t)last + 1;
    uint64_t windowEnd = c + kTailWindow;
    // A set cut at the cluster's end must go on at the start of the next part.
    uint32_t need = dangling_entries(s.dirBuf + at - cs, cs);
    bool ended = false;
    while (!ended && at + cs <= kMaxDirBytes && c < windowEnd && c - 2 < s.L.clusterCount && sv_progress_running()) {
        uint32_t n = batch;
        if (s.L.clusterCount - (c - 2) < n)
            n = (uint32_t)(s.L.clusterCount - (c - 2));
        if (windowEnd - c < n)
            n = (uint32_t)(windowEnd - c);
        if (probe) {
            const uint32_t cc = (uint32_t)c;
            const uint32_t ss = s.L.bytesPerSector;
            n = 1;
            if (cluster_in_use(s, cc) || set_contains(&s.visited, cc) ||
                dev_read(s.dev, s.limit, cluster_offset(s.L, cc), ss, s.probeBuf) != OK ||
                !plausible_sector(s.probeBuf, ss) || !continues_set(s.probeBuf, ss, need) ||
                dev_read(s.dev, s.limit, cluster_offset(s.L, cc), cs, s.probeBuf) != OK) {
                c++;
                continue;
            }
        } else {
            dev_read(s.dev, s.limit, cluster_offset(s.L, (uint32_t)c), n * cs, s.probeBuf);
        }
        for (uint32_t k = 0; k < n; k++) {
            const uint32_t cc = (uint32_t)(c + k);
            const uint8_t *p = s.probeBuf + (size_t)k * cs;
            if (cluster_in_use(s, cc) || set_contains(&s.visited, cc) || !looks_like_folder(p, cs) ||
                !continues_set(p, cs, need))
                continue;
            need = dangling_entries(p, cs);
            set_insert(&s.visited, cc);
            runs_add(&s.loaded, cc, at / cs);
            dir_reserve(s, at + cs, at);
            memcpy(s.dirBuf + at, p, cs);
            at += cs;
            // The next part may lie as far again.
            windowEnd = (uint64_t)cc + 1 + kTailWindow;
            if (has_end_mark(p, cs) || at + cs > kMaxDirBytes) {
                ended = true;
                break;
            }
        }
        c += n;
    }
    return at;
}

}  // namespace

uint64_t dir_load(State &s, uint32_t first, uint64_t length, bool noFatChain, bool deleted, bool markVisited)
{
    const uint32_t cs = s.L.clusterSize;
    const uint64_t maxClusters64 = kMaxDirBytes / cs;
    uint32_t maxClusters = (uint32_t)(maxClusters64 < s.L.clusterCount ? maxClusters64 : s.L.clusterCount);
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
            if (markVisited && !set_insert(&s.visited, c)) {
                k++;
                continue;
            }
            uint32_t g = 1;
            while (k + g < r.count && (uint64_t)(g + 1) * cs <= kReadGroup &&
                   (!markVisited || set_insert(&s.visited, c + g)))
                g++;
            dev_read(s.dev, s.limit, cluster_offset(s.L, c), g * cs, s.dirBuf + at);
            for (uint32_t j = 0; j < g; j++)
                runs_add(&s.loaded, c + j, at / cs + j);
            at += (uint64_t)g * cs;
            k += g;
        }
    }
    if (markVisited && at && !has_end_mark(s.dirBuf + at - cs, cs))
        at = dir_load_tail(s, at);
    return at;
}

void search_walk(State &s)
{
    FrameStack stack;
    stack.push(Frame{nullptr, s.L.rootCluster, 0, false, false, 0});
    uint64_t walked = 0;
    while (stack.n) {
        if (!sv_progress_running())
            break;
        const Frame f = stack.items[--stack.n];
        const uint64_t bytes = dir_load(s, f.first, f.length, f.noFatChain, f.deleted, true);
        s.dirCount++;
        const uint32_t n = (uint32_t)(bytes / kEntrySize);
        const uint8_t *dir = s.dirBuf;
        for (uint32_t i = 0; i < n;) {
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
                Status st = plan_clusters(s, rec->nFirstCluster, rec->nClusters, rec->bNoFatChain, false, nullptr,
                                          &plan, &s.planBudget);
                rec->bDataState = st == STOP ? (uint8_t)EXFAT_DATA_UNCHECKED : plan.state;
                rec->nMissing = plan.missing;
                rec->nSkipped = plan.skipped;
                s.fileCount++;
            }
            i += used;
        }
        walked++;
        progress_note((double)walked / (double)(walked + stack.n + 1));
    }
    free(stack.items);
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
}

}  // namespace hollin
