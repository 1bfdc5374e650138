/*
 * Reads from the partition: bounded device reads, the cluster plan of a
 * file or folder, and exfat_readfile.
 */
#include "hollin_i.h"

#include <cstdlib>
#include <cstring>

namespace hollin {

Status dev_read(Physics_Device_Struct *dev, uint64_t limit, uint64_t off, uint32_t len, uint8_t *dst)
{
    return sv_dev_read_bounded(dev, limit, off, len, dst) ? OK : IO;
}

/* ---- run lists ---- */

void runs_clear(RunList *r) { r->n = 0; }

void runs_free(RunList *r)
{
    free(r->runs);
    *r = RunList{};
}

void runs_add(RunList *r, uint32_t c, uint64_t idx)
{
    if (r->n) {
        Run &last = r->runs[r->n - 1];
        const bool zero = c == 0;
        if ((last.start == 0) == zero && (zero || c - last.start == last.count) && last.count < UINT32_MAX) {
            last.count++;
            return;
        }
    }
    if (r->n == r->cap) {
        uint32_t cap = r->cap ? r->cap * 2 : 16;
        auto *runs = static_cast<Run *>(MALLOC((size_t)cap * sizeof(Run)));
        if (r->n)
            memcpy(runs, r->runs, (size_t)r->n * sizeof(Run));
        free(r->runs);
        r->runs = runs;
        r->cap = cap;
    }
    r->runs[r->n++] = Run{c, 1, idx};
}

/* ---- plans ---- */

namespace {

struct Planner {
    State &s;
    RunList *out;
    uint64_t *budget;
    uint64_t taken = 0;

    bool spend()
    {
        if (*budget == 0)
            return false;
        (*budget)--;
        return true;
    }
    void add(uint32_t c)
    {
        if (out)
            runs_add(out, c, taken);
        taken++;
    }
};

}  // namespace

Status plan_clusters(State &s, uint32_t first, uint32_t n, bool noFatChain, bool live, RunList *out, Plan *plan,
                     uint64_t *budget)
{
    *plan = Plan{};
    if (out)
        runs_clear(out);
    if (n == 0)
        return OK;
    Planner p{s, out, budget};
    const Layout &L = s.L;
    if (!cluster_valid(L, first)) {
        plan->state = EXFAT_DATA_INVALID;
        plan->missing = n;
        for (uint32_t k = 0; k < n && out; k++)
            p.add(0);
        return OK;
    }

    if (noFatChain) {
        // Contiguous: clusters past the heap, and (for a deleted set) clusters
        // now in use, are zeros.
        for (uint32_t k = 0; k < n; k++) {
            if (!p.spend()) {
                plan->state = EXFAT_DATA_UNCHECKED;
                return STOP;
            }
            const uint64_t c = (uint64_t)first + k;
            bool ok = c - 2 < L.clusterCount && (live || !cluster_in_use(s, (uint32_t)c));
            if (!ok)
                plan->missing++;
            p.add(ok ? (uint32_t)c : 0);
        }
        plan->state = plan->missing == 0   ? EXFAT_DATA_EXACT
                      : plan->missing == n ? EXFAT_DATA_OVERWRITTEN
                                           : EXFAT_DATA_DAMAGED;
        return OK;
    }

    if (!live && cluster_in_use(s, first)) {
        // Its start belongs to another file now: nothing anchors the rest.
        plan->state = EXFAT_DATA_OVERWRITTEN;
        plan->missing = n;
        for (uint32_t k = 0; k < n && out; k++)
            p.add(0);
        return OK;
    }

    // The FAT chain, while it is intact (and free, for a deleted set).
    set_clear(&s.chain);
    set_insert(&s.chain, first);
    p.add(first);
    uint32_t c = first;
    while (p.taken < n) {
        uint32_t next;
        if (!p.spend()) {
            plan->state = EXFAT_DATA_UNCHECKED;
            return STOP;
        }
        if (fat_next(s, c, &next) != OK || !cluster_valid(L, next) || !set_insert(&s.chain, next))
            break;
        if (!live && cluster_in_use(s, next))
            break;
        p.add(next);
        c = next;
    }
    if (p.taken == n) {
        plan->state = EXFAT_DATA_CHAIN;
        return OK;
    }
    if (live) {
        // A live chain that ends early: the rest is not known.
        plan->missing = (uint32_t)(n - p.taken);
        while (out && p.taken < n)
            p.add(0);
        plan->state = EXFAT_DATA_DAMAGED;
        return OK;
    }

    // The chain is gone (drivers clear it on delete) or broken: free
    // clusters from the first one on, stepping over those in use.
    if (out)
        runs_clear(out);
    p.taken = 0;
    plan->state = EXFAT_DATA_GUESSED;
    uint64_t k = first;
    while (p.taken < n && k - 2 < L.clusterCount) {
        if (!p.spend()) {
            plan->state = EXFAT_DATA_UNCHECKED;
            plan->missing = plan->skipped = 0;
            return STOP;
        }
        if (cluster_in_use(s, (uint32_t)k)) {
            plan->skipped++;
        } else {
            p.add((uint32_t)k);
        }
        k++;
    }
    plan->missing = (uint32_t)(n - p.taken);
    while (out && p.taken < n)
        p.add(0);
    return OK;
}

/* ---- progress ---- */

void progress_note(double fraction)
{
    if (!(fraction >= 0.0))
        fraction = 0.0;
    if (fraction > 1.0)
        fraction = 1.0;
    const int32_t want = (int32_t)(fraction * 99.0);
    int32_t cur = sv_progress_get();
    // Raise only a running value; 100 and above mean finished or stop.
    while (cur < want && cur < 100 &&
           !__atomic_compare_exchange_n(&ExportsData, &cur, want, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
    }
}

void progress_finish()
{
    sv_progress_finish();
}

}  // namespace hollin

using namespace hollin;

namespace {

/* The run holding file cluster idx (runs sorted by fileIndex). */
const Run *run_at(const RunList &r, uint64_t idx)
{
    uint32_t lo = 0, hi = r.n;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        const Run &m = r.runs[mid];
        if (idx < m.fileIndex)
            hi = mid;
        else if (idx - m.fileIndex >= m.count)
            lo = mid + 1;
        else
            return &m;
    }
    return nullptr;
}

/* Reads count clusters from c on into dst; on a failure reads them one at a
 * time so that only the bad ones are zeros.  Returns the clusters lost. */
uint32_t read_clusters(State &s, uint32_t c, uint32_t count, uint8_t *dst)
{
    const uint32_t cs = s.L.clusterSize;
    const uint64_t bytes = (uint64_t)count * cs;
    if (bytes <= UINT32_MAX && dev_read(s.dev, s.limit, cluster_offset(s.L, c), (uint32_t)bytes, dst) == OK)
        return 0;
    uint32_t lost = 0;
    for (uint32_t k = 0; k < count; k++)
        if (dev_read(s.dev, s.limit, cluster_offset(s.L, c + k), cs, dst + (size_t)k * cs) != OK)
            lost++;
    return lost;
}

}  // namespace

extern "C" HOLLIN_EXPORT int64_t exfat_readfile(tagExfatFile *rec, uint64_t offset, void *buffer, uint32_t length,
                                                uint32_t *unreadable)
{
    State &s = g_state;
    if (unreadable)
        *unreadable = 0;
    if (!rec || !buffer || !s.ready || rec->bDirectory || length > (1u << 26))
        return -1;
    auto *dst = static_cast<uint8_t *>(buffer);
    memset(dst, 0, length);
    if (offset >= rec->nSize || length == 0)
        return 0;
    uint32_t want = rec->nSize - offset < length ? (uint32_t)(rec->nSize - offset) : length;
    if (s.readRec != rec) {
        uint64_t budget = UINT64_MAX;
        Plan plan;
        plan_clusters(s, rec->nFirstCluster, rec->nClusters, rec->bNoFatChain, !rec->bDeleted, &s.readRuns, &plan,
                      &budget);
        s.readRec = rec;
    }
    // Only bytes below the valid data length were ever written.
    const uint64_t valid = rec->nValidDataLength;
    const uint32_t cs = s.L.clusterSize;
    const uint32_t shift = s.L.sectorShift + s.L.clusterShift;
    uint32_t lost = 0;
    uint32_t done = 0;
    while (done < want) {
        const uint64_t pos = offset + done;
        if (pos >= valid)
            break;
        const uint64_t idx = pos >> shift;
        const uint32_t within = (uint32_t)(pos & (cs - 1));
        const Run *r = run_at(s.readRuns, idx);
        // Bytes of this step: to the end of the run, the request or the valid length.
        uint64_t runLeft = r ? (uint64_t)(r->count - (idx - r->fileIndex)) * cs - within : (uint64_t)cs - within;
        uint64_t step = want - done;
        if (runLeft < step)
            step = runLeft;
        if (valid - pos < step)
            step = valid - pos;
        if (r && r->start != 0) {
            const uint32_t c = r->start + (uint32_t)(idx - r->fileIndex);
            const uint64_t span = within + step;
            const uint32_t nclus = (uint32_t)((span + cs - 1) / cs);
            if (within == 0 && step % cs == 0) {
                lost += read_clusters(s, c, nclus, dst + done);
            } else {
                // A part of a cluster: through a bounce buffer of whole clusters.
                auto *tmp = static_cast<uint8_t *>(MALLOC((size_t)nclus * cs));
                lost += read_clusters(s, c, nclus, tmp);
                memcpy(dst + done, tmp + within, (size_t)step);
                free(tmp);
            }
        }
        done += (uint32_t)step;
    }
    if (unreadable)
        *unreadable = lost;
    return want;
}
