/*
 * Where a deleted file's data lies.
 *
 * A deleted file has no chain any more.  Its data starts at its first
 * cluster and goes on through the clusters after it that the FAT shows as
 * free: a cluster in use there belongs to a live file, and a file written
 * while that live file existed went around it.  When nothing in use lies
 * in between, this is one contiguous run.
 *
 * FAT32 entries deleted by Windows keep only the low word of the first
 * cluster; the candidates low + k x 65536 are weighed by whether they are
 * free and whether their first bytes fit the name's type.
 */
#include "polder_i.h"

#include <cstdlib>
#include <cstring>

#if POLDER_HAVE_SENNET
#include "sennet.h"
#endif

namespace polder {

bool free_path_map(FreePathCursor *cur, const void *rec, uint32_t start, uint64_t idx, uint32_t maxCluster,
                   InUseFn inUse, void *ctx, uint32_t *out)
{
    if (idx == 0) {
        *out = start;
        return true;
    }
    if (cur->rec != rec || cur->start != start) {
        *cur = FreePathCursor{};
        cur->rec = rec;
        cur->start = start;
        cur->cluster = start;
        cur->markCluster = start;
    }
    if (idx >= cur->failIndex)
        return false;
    uint64_t index = cur->index;
    uint32_t cluster = cur->cluster;
    if (idx < index) {
        // Back to where the current read began, else to the start.
        if (cur->markIndex <= idx) {
            index = cur->markIndex;
            cluster = cur->markCluster;
        } else {
            index = 0;
            cluster = start;
        }
    }
    while (index < idx) {
        if (cluster >= maxCluster) {
            cur->failIndex = index + 1;
            return false;
        }
        cluster++;
        if (!inUse(ctx, cluster))
            index++;
    }
    cur->index = index;
    cur->cluster = cluster;
    *out = cluster;
    return true;
}

void free_path_mark(FreePathCursor *cur)
{
    cur->markIndex = cur->index;
    cur->markCluster = cur->cluster;
}

bool read_free_path(const FreePathRead &r, FreePathCursor *cur, const void *rec, uint32_t start,
                    void *buffer, unsigned long length, int64_t *pos)
{
    if (!buffer || length == 0 || !pos)
        return false;
    auto *dst = static_cast<uint8_t *>(buffer);
    memset(dst, 0, length);
    int64_t at = *pos;
    if (r.bytesPerSector)
        *pos = at + (int64_t)(length / r.bytesPerSector);
    const uint64_t clusterBytes = (uint64_t)r.bytesPerSector * r.spc;
    if (length > 0x7fffffffUL || at < 0 || clusterBytes == 0 || start < 2 || start > r.maxCluster ||
        (uint64_t)at > UINT64_MAX / 2 / r.bytesPerSector)
        return false;
    uint64_t byte = (uint64_t)at * r.bytesPerSector;
    uint64_t left = length;
    bool ok = true;
    bool first = true;
    while (left > 0) {
        uint64_t idx = byte / clusterBytes;
        uint64_t within = byte % clusterBytes;
        uint32_t c;
        if (!free_path_map(cur, rec, start, idx, r.maxCluster, r.inUse, r.ctx, &c))
            return false;  // no free cluster left for this part: zeros
        if (first) {
            free_path_mark(cur);
            first = false;
        }
        // Clusters that follow each other on disk are read in one go.
        uint64_t run = clusterBytes - within;
        uint32_t last = c;
        while (run < left) {
            uint32_t n;
            if (!free_path_map(cur, rec, start, idx + 1, r.maxCluster, r.inUse, r.ctx, &n) || n != last + 1)
                break;
            idx++;
            last = n;
            run += clusterBytes;
        }
        uint64_t len = run < left ? run : left;
        unsigned __int128 off =
            ((unsigned __int128)r.dataStart + (unsigned __int128)(c - 2) * r.spc) * r.bytesPerSector + within;
        if (off > (unsigned __int128)INT64_MAX) {
            ok = false;
        } else if (dev_read(r.dev, r.limit, (uint64_t)off, (uint32_t)len, dst) != OK) {
            ok = false;
        }
        dst += len;
        byte += len;
        left -= len;
    }
    return ok;
}

bool quick_in_use(void *ctx, uint32_t cluster)
{
    return fat_cluster_in_use(static_cast<FatTable *>(ctx), cluster);
}

namespace {

/* The name's extension in lower case ASCII, or "" (none, or not ASCII). */
void name_extension(const tagStFatInfo *rec, char out[16])
{
    out[0] = 0;
    size_t len = 0;
    while (rec->szName[len])
        len++;
    size_t dot = len;
    for (size_t i = len; i-- > 0;)
        if (rec->szName[i] == '.') {
            dot = i;
            break;
        }
    if (dot == len || len - dot - 1 == 0 || len - dot - 1 > 15)
        return;
    size_t n = 0;
    for (size_t i = dot + 1; i < len; i++) {
        uint32_t c = rec->szName[i];
        if (c >= 'A' && c <= 'Z')
            c += 'a' - 'A';
        if (c <= 0x20 || c >= 0x7F)
            return;
        out[n++] = (char)c;
    }
    out[n] = 0;
}

/* -1 the type cannot be checked, 0 no header, 1 a header of that type, 2 another type's header. */
int header_fits(const char *ext, const uint8_t *head, uint32_t len)
{
#if POLDER_HAVE_SENNET
    return Sennet_HeaderFits(ext, head, len);
#else
    (void)ext;
    (void)head;
    (void)len;
    return -1;
#endif
}

struct Candidate {
    uint32_t cluster;
    bool whole;    /* free for the file's whole length, one run */
    int fit;
    bool zeros;    /* the first bytes are all zero: never written */
};

/* Candidates weighed per file at most (a 2 TiB volume of 512-byte clusters has 65536). */
constexpr uint32_t kMaxCandidates = 65536;
/* Free clusters past the last known write that may still hold data. */
constexpr uint64_t kExtentMarginBytes = 1u << 20;

/* Clusters a file of this record's size needs. */
uint64_t clusters_needed(const FatLayout &L, const tagStFatInfo *rec)
{
    return ((uint64_t)rec->nFileSize + L.clusterSize - 1) / L.clusterSize;
}

/*
 * Chooses the first cluster of a FAT32 entry whose high word is 0.  The
 * places are low + k x 65536 within the written extent; the ones in use
 * are passed over by the map of the FAT, and only the first sector of each
 * free one is read.  When the evidence names no single place, the file is
 * read where the entry points if that cluster is free, and says so.
 */
void choose_start(QuickState &s, tagStFatInfo *rec, uint64_t need)
{
    const FatLayout &L = s.L;
    const uint32_t low = rec->nEntryCluster & 0xFFFF;
    // With one place on the volume the entry can mean, there is nothing to
    // choose.
    const uint64_t first = low >= 2 ? low : low + 65536ull;
    if (first > L.maxCluster)
        return;
    if (first + 65536 > L.maxCluster) {
        if (first != rec->nEntryCluster) {
            rec->nStartCluster = (uint32_t)first;
            rec->bPlan |= FAT_PLAN_REBUILT;
        }
        return;
    }
    uint64_t last = s.extent && s.extent < L.maxCluster ? s.extent : L.maxCluster;
    uint8_t head[4096];
    const uint32_t headBytes = L.bytesPerSector < sizeof head ? L.bytesPerSector : (uint32_t)sizeof head;
    char ext[16];
    name_extension(rec, ext);
    const bool checkable = ext[0] && header_fits(ext, nullptr, 0) == 0;
    Candidate *cands = nullptr;
    uint32_t n = 0, cap = 0;
    for (uint64_t c = first; c <= last && n < kMaxCandidates && s.freeRunBudget > 0; c += 65536) {
        s.freeRunBudget--;
        if (fat_cluster_in_use(&s.fat, (uint32_t)c))
            continue;  // in use by a live file: known from the map, nothing read
        uint64_t want = need < s.freeRunBudget ? need : s.freeRunBudget;
        uint32_t run = fat_free_run(&s.fat, (uint32_t)c, (uint32_t)want);
        s.freeRunBudget -= s.freeRunBudget > run ? run : s.freeRunBudget;
        uint64_t avail = (uint64_t)run * L.clusterSize;
        uint32_t len = headBytes;
        if (rec->nFileSize < len)
            len = rec->nFileSize;
        if (avail < len)
            len = (uint32_t)avail;
        dev_read(s.part->Device, s.limit, fat_cluster_offset(L, (uint32_t)c), len, head);
        bool zeros = true;
        for (uint32_t i = 0; i < len && zeros; i++)
            zeros = head[i] == 0;
        if (n == cap) {
            cap = cap ? cap * 2 : 8;
            auto *grown = static_cast<Candidate *>(MALLOC(sizeof(Candidate) * cap));
            if (n)
                memcpy(grown, cands, sizeof(Candidate) * n);
            free(cands);
            cands = grown;
        }
        cands[n++] = Candidate{(uint32_t)c, run >= need, header_fits(ext[0] ? ext : nullptr, head, len), zeros};
    }
    // Which candidates the evidence allows: a type the header checks know
    // must show its header; any other must at least hold data that is not
    // the start of some other kind of file.
    uint32_t pick = UINT32_MAX, count = 0, wholeCount = 0, wholePick = UINT32_MAX;
    for (uint32_t i = 0; i < n; i++) {
        const Candidate &c = cands[i];
        bool fits = checkable ? c.fit == 1 : (c.fit != 2 && !c.zeros);
        if (!fits)
            continue;
        count++;
        pick = i;
        if (c.whole) {
            wholeCount++;
            wholePick = i;
        }
    }
    if (count > 1)
        pick = wholeCount == 1 ? wholePick : UINT32_MAX;
    if (count == 0 || pick == UINT32_MAX) {
        // No evidence for one place: the entry as it stands, when its
        // cluster is still free, else nothing.
        if (fat_cluster_valid(L, rec->nEntryCluster) && !fat_cluster_in_use(&s.fat, rec->nEntryCluster))
            rec->bPlan |= FAT_PLAN_UNVERIFIED;
        else
            rec->bPlan |= FAT_PLAN_UNPLACED;
    } else if (cands[pick].cluster != rec->nEntryCluster) {
        rec->nStartCluster = cands[pick].cluster;
        rec->bPlan |= FAT_PLAN_REBUILT;
    }
    free(cands);
}

bool ambiguous_start(const QuickState &s, const tagStFatInfo *rec, bool deleted)
{
    return deleted && s.L.fsType == FS_FAT32 && (rec->nEntryCluster >> 16) == 0 && s.L.maxCluster >= 65536 + 2;
}

void plan_free_path(QuickState &s, tagStFatInfo *rec, uint64_t need)
{
    const FatLayout &L = s.L;
    if (!fat_cluster_valid(L, rec->nStartCluster))
        return;
    // Damaged entries can claim 4 GiB apiece: the FAT lookups spent on
    // these checks are bounded per search, and a file left unchecked says
    // so.
    if (need > s.freeRunBudget) {
        rec->nReserved = kFreeRunUnknown;
        return;
    }
    if (quick_in_use(&s.fat, rec->nStartCluster)) {
        rec->bPlan |= FAT_PLAN_REUSED;
        rec->nReserved = 0;
        s.freeRunBudget--;
        return;
    }
    uint64_t found = 1, skipped = 0, spent = 1;
    uint32_t c = rec->nStartCluster;
    while (found < need) {
        if (c >= L.maxCluster || spent >= s.freeRunBudget) {
            if (c >= L.maxCluster)
                rec->bPlan |= FAT_PLAN_SHORT;
            else
                found = kFreeRunUnknown;
            break;
        }
        c++;
        spent++;
        if (quick_in_use(&s.fat, c))
            skipped++;
        else
            found++;
    }
    s.freeRunBudget = s.freeRunBudget > spent ? s.freeRunBudget - spent : 0;
    rec->nReserved = found > UINT32_MAX ? kFreeRunUnknown : (uint32_t)found;
    rec->nSkipped = skipped > UINT32_MAX ? UINT32_MAX : (uint32_t)skipped;
    if (skipped)
        rec->bPlan |= FAT_PLAN_SKIPPED;
    if (c > s.maxSeen)
        s.maxSeen = c;
}

void plan_placed(QuickState &s, tagStFatInfo *rec, uint64_t need)
{
    choose_start(s, rec, need);
    if (rec->bPlan & FAT_PLAN_UNPLACED) {
        rec->nReserved = 0;
        return;
    }
    plan_free_path(s, rec, need);
}

}  // namespace

uint32_t record_end_cluster(const QuickState &s, const tagStFatInfo *rec)
{
    if (rec->bDirectory || !rec->nFileSize || (rec->bPlan & FAT_PLAN_UNPLACED) ||
        !fat_cluster_valid(s.L, rec->nStartCluster))
        return 0;
    uint64_t span = clusters_needed(s.L, rec);
    if (rec->nReserved != kFreeRunUnknown && rec->nReserved)
        span = (uint64_t)rec->nReserved + rec->nSkipped;
    uint64_t end = (uint64_t)rec->nStartCluster + (span ? span - 1 : 0);
    return end > s.L.maxCluster ? s.L.maxCluster : (uint32_t)end;
}

void plan_file(QuickState &s, tagStFatInfo *rec, bool deleted)
{
    if (!rec->nFileSize)
        return;
    uint64_t need = clusters_needed(s.L, rec);
    if (ambiguous_start(s, rec, deleted)) {
        if (s.deferAmbiguous) {
            // Where it may lie depends on how far the volume was ever
            // written, known once the whole tree has been walked.
            if (s.nDeferred == s.capDeferred) {
                uint32_t cap = s.capDeferred ? s.capDeferred * 2 : 256;
                auto *grown = static_cast<tagStFatInfo **>(MALLOC(sizeof(tagStFatInfo *) * cap));
                if (s.nDeferred)
                    memcpy(grown, s.deferred, sizeof(tagStFatInfo *) * s.nDeferred);
                free(s.deferred);
                s.deferred = grown;
                s.capDeferred = cap;
            }
            s.deferred[s.nDeferred++] = rec;
            s.deferredNeed += need;
            return;
        }
        plan_placed(s, rec, need);
        return;
    }
    plan_free_path(s, rec, need);
}

void plan_deferred(QuickState &s)
{
    const FatLayout &L = s.L;
    // Data was written up to the last cluster in use, the FSInfo hint, the
    // walked folders and the placed files; the files still to be placed
    // may lie after that, one after the other.
    uint64_t ext = s.fat.highestUsed;
    if (s.nextFreeHint > ext)
        ext = s.nextFreeHint;
    if (s.maxSeen > ext)
        ext = s.maxSeen;
    uint64_t margin = kExtentMarginBytes / L.clusterSize;
    ext += s.deferredNeed + (margin < 16 ? 16 : margin);
    s.extent = ext < L.maxCluster ? ext : L.maxCluster;
    for (uint32_t i = 0; i < s.nDeferred; i++) {
        if ((i & 255) == 0) {
            if (!sv_progress_running())
                break;
            quick_progress(s, (double)i / s.nDeferred);
        }
        tagStFatInfo *rec = s.deferred[i];
        plan_placed(s, rec, clusters_needed(L, rec));
    }
    free(s.deferred);
    s.deferred = nullptr;
    s.nDeferred = s.capDeferred = 0;
    s.deferredNeed = 0;
}

namespace {

int compare_clusters(const void *a, const void *b)
{
    uint32_t x = *static_cast<const uint32_t *>(a), y = *static_cast<const uint32_t *>(b);
    return x < y ? -1 : x > y;
}

bool has_data(const FatLayout &L, const tagStFatInfo *rec)
{
    return !(rec->bPlan & (FAT_PLAN_REUSED | FAT_PLAN_UNPLACED)) && fat_cluster_valid(L, rec->nStartCluster);
}

}  // namespace

void end_short_files(QuickState &s)
{
    const FatLayout &L = s.L;
    // The first clusters of every kept record, sorted.
    uint64_t count = 0, shortCount = 0;
    tagStLinkNode *n = s.first;
    for (uint64_t left = s.nodesAllocated; n && left-- > 0; n = n->pNext)
        for (tagStFatInfo **e = n->ppEntries; e && *e; e++)
            if (has_data(L, *e)) {
                count++;
                shortCount += ((*e)->bPlan & FAT_PLAN_SHORT) != 0;
            }
    if (shortCount == 0 || count < 2)
        return;
    auto *starts = static_cast<uint32_t *>(MALLOC(sizeof(uint32_t) * count));
    uint64_t k = 0;
    n = s.first;
    for (uint64_t left = s.nodesAllocated; n && left-- > 0 && k < count; n = n->pNext)
        for (tagStFatInfo **e = n->ppEntries; e && *e && k < count; e++)
            if (has_data(L, *e))
                starts[k++] = (*e)->nStartCluster;
    qsort(starts, k, sizeof(uint32_t), compare_clusters);
    n = s.first;
    for (uint64_t left = s.nodesAllocated; n && left-- > 0; n = n->pNext) {
        for (tagStFatInfo **e = n->ppEntries; e && *e; e++) {
            tagStFatInfo *rec = *e;
            if (rec->bDirectory || !(rec->bPlan & FAT_PLAN_SHORT) || rec->nReserved == kFreeRunUnknown ||
                !has_data(L, rec))
                continue;
            // The nearest first cluster after this one.
            uint64_t lo = 0, hi = k;
            while (lo < hi) {
                uint64_t mid = lo + (hi - lo) / 2;
                if (starts[mid] <= rec->nStartCluster)
                    lo = mid + 1;
                else
                    hi = mid;
            }
            if (lo == k)
                continue;
            const uint32_t next = starts[lo];
            uint64_t found = 1;
            for (uint32_t c = rec->nStartCluster + 1; c < next && found < rec->nReserved; c++) {
                if (s.freeRunBudget == 0) {
                    found = rec->nReserved;
                    break;
                }
                s.freeRunBudget--;
                if (!quick_in_use(&s.fat, c))
                    found++;
            }
            if (found < rec->nReserved)
                rec->nReserved = (uint32_t)found;
        }
    }
    free(starts);
}

}  // namespace polder
