/*
 * The scan and the engine's process-wide state: found-file records grouped
 * by type, the type enumeration cursor and the recovery read cursor.
 *
 * One pass over the range in large windows; every 512-byte boundary is a
 * candidate.  A candidate whose first byte can start no known header costs
 * one table look-up.  After a file is found the scan goes on after its end,
 * so data inside it (embedded thumbnails, nested archives) is not reported
 * again.  Memory use is the window, one read cache and the records.
 */
#include "sennet.h"
#include "sennet_i.h"
#include "source.h"

#include <stdlib.h>
#include <string.h>

const char *const *sn_known_types(void);

namespace {

constexpr uint32_t kRecordMagic = 0x534E5243u; /* "SNRC" */
/* Bytes scanned per read.  A window that stays in the processor's caches
 * makes the copy out of the page cache several times cheaper than a larger
 * one (bench_deep: 8 MiB windows ran at 0.4 of `cat`, 1 MiB at 0.6-0.8);
 * on real media the device is the limit either way. */
constexpr size_t kWindow = 1024u * 1024u;
constexpr size_t kSlabRecords = 1024;

struct sn_record {
    uint32_t magic;
    const char *type;
    uint64_t offset; /* from the start of the scanned range */
    uint64_t size;
};

struct sn_slab {
    sn_slab *next;
    size_t used;
    sn_record recs[kSlabRecords];
};

struct sn_type_list {
    const char *name;
    sn_record **items;
    uint32_t count;
    uint32_t cap;
};

/* Everything the engine keeps between calls.  Only the search and the exit
 * call change its lifetime; exit leaves it zeroed. */
struct sn_state {
    sn_slab *slabs;
    sn_type_list *types;
    uint32_t ntypes;
    uint32_t captypes;
    uint32_t dir_cursor;
    const sn_record *rw_rec;
    uint64_t rw_pos;
};

sn_state g_sn;

void state_free()
{
    for (sn_slab *s = g_sn.slabs; s;) {
        sn_slab *n = s->next;
        free(s);
        s = n;
    }
    for (uint32_t i = 0; i < g_sn.ntypes; i++)
        free(g_sn.types[i].items);
    free(g_sn.types);
    memset(&g_sn, 0, sizeof(g_sn));
}

sn_type_list *type_find(const char *name)
{
    if (!name)
        return nullptr;
    for (uint32_t i = 0; i < g_sn.ntypes; i++)
        if (strcmp(g_sn.types[i].name, name) == 0)
            return &g_sn.types[i];
    return nullptr;
}

sn_record *record_add(const char *type, uint64_t offset, uint64_t size)
{
    if (!g_sn.slabs || g_sn.slabs->used == kSlabRecords) {
        auto *s = static_cast<sn_slab *>(MALLOC(sizeof(sn_slab)));
        s->next = g_sn.slabs;
        g_sn.slabs = s;
    }
    sn_record *r = &g_sn.slabs->recs[g_sn.slabs->used++];
    r->magic = kRecordMagic;
    r->type = type;
    r->offset = offset;
    r->size = size;

    sn_type_list *t = type_find(type);
    if (!t) {
        if (g_sn.ntypes == g_sn.captypes) {
            uint32_t cap = g_sn.captypes ? g_sn.captypes * 2 : 16;
            auto *n = static_cast<sn_type_list *>(MALLOC(sizeof(sn_type_list) * cap));
            if (g_sn.ntypes)
                memcpy(n, g_sn.types, sizeof(sn_type_list) * g_sn.ntypes);
            free(g_sn.types);
            g_sn.types = n;
            g_sn.captypes = cap;
        }
        t = &g_sn.types[g_sn.ntypes++];
        t->name = type;
    }
    if (t->count == t->cap) {
        uint32_t cap = t->cap ? t->cap * 2 : 64;
        auto *n = static_cast<sn_record **>(MALLOC(sizeof(sn_record *) * cap));
        if (t->count)
            memcpy(n, t->items, sizeof(sn_record *) * t->count);
        free(t->items);
        t->items = n;
        t->cap = cap;
    }
    t->items[t->count++] = r;
    return r;
}

const sn_record *as_record(const void *p)
{
    auto *r = static_cast<const sn_record *>(p);
    return (r && r->magic == kRecordMagic) ? r : nullptr;
}

/* Device offset of the scanned range's first byte (see sennet.h). */
uint64_t scan_origin(const Partiton_Struct *part)
{
    return sv_part_origin(part);
}

/* Raises the progress value to `value` unless it is already there or a
 * finish or stop (100 and above) was written meanwhile. */
void progress_raise(int32_t value)
{
    int32_t cur = sv_progress_get();
    while (cur < value && cur < 100) {
        if (__atomic_compare_exchange_n(&ExportsData, &cur, value, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST))
            break;
    }
}

void notify(sn_record *r)
{
    /* The registry may only be changed on the interface thread while no
     * scan runs; the count is re-read for every entry all the same. */
    for (uint32_t i = 0; i < g_callbackVec.count; i++) {
        CallBackStruct cb = g_callbackVec.items[i];
        if (cb.function)
            cb.function(r, SCAN_TYPE_DEEP, cb.context);
    }
}

struct Scan {
    Physics_Device_Struct *dev;
    uint64_t origin;
    uint64_t total;
    uint8_t *win;
    uint8_t *cache;
    uint64_t cache_abs;
    size_t cache_len;
    bool fast[256];
    sn_zip_memo *zip_memo;
    const sn_selection *sel; /* the formats looked for */
};

/* Tests the candidate at absolute offset off (inside the window that starts
 * at pos and holds wlen bytes).  Returns SN_OK with the hit when a file was
 * found, SN_STOP on a stop request, SN_CORRUPT otherwise. */
sn_status try_candidate(Scan &sc, uint64_t pos, size_t wlen, uint64_t off, sn_hit *hit)
{
    const uint8_t *p = sc.win + (off - pos);
    sv_view head = sv_view_make(p, wlen - (size_t)(off - pos));
    for (const sn_format *const *fp = sn_sel_dispatch(sc.sel, p[0]); *fp; fp++) {
        const sn_format *f = *fp;
        if (!sv_has(head, f->magic_off, f->magic_len) ||
            memcmp(head.data + f->magic_off, f->magic, f->magic_len) != 0)
            continue;
        sn_src src;
        memset(&src, 0, sizeof(src));
        src.start = off;
        src.limit = sc.total - off;
        src.win = sc.win;
        src.win_abs = pos;
        src.win_len = wlen;
        src.dev = sc.dev;
        src.origin = sc.origin;
        src.range_len = sc.total;
        src.cache = sc.cache;
        src.cache_abs = sc.cache_abs;
        src.cache_len = sc.cache_len;
        src.check_stop = true;
        src.zip_memo = sc.zip_memo;
        sn_status st = sn_check(f, &src, hit);
        sc.cache_abs = src.cache_abs;
        sc.cache_len = src.cache_len;
        if (st == SN_OK || st == SN_STOP)
            return st;
    }
    return SN_CORRUPT;
}

int run_scan(Partiton_Struct *part, const sn_selection *sel, Sennet_WindowWatch watch, void *watch_ctx)
{
    Scan sc;
    memset(&sc, 0, sizeof(sc));
    sc.dev = part->Device;
    sc.origin = scan_origin(part);
    sc.total = part->PartSize;
    sc.sel = sel;
    for (unsigned b = 0; b < 256; b++)
        sc.fast[b] = *sn_sel_dispatch(sel, (uint8_t)b) != nullptr;

    sv_progress_begin();
    /* Nothing to look for and nobody watching: nothing is read. */
    if (sc.total == 0 || (sel->nformats == 0 && !watch)) {
        sv_progress_finish();
        return 0;
    }
    sc.win = static_cast<uint8_t *>(MALLOC(kWindow + SN_LOOKAHEAD));
    sc.cache = static_cast<uint8_t *>(MALLOC(SN_CACHE_LEN));
    sc.zip_memo = sn_zip_memo_new();

    bool stopped = false;
    uint64_t pos = 0;
    uint64_t have_pos = 0; /* what the window holds from the last read */
    size_t have_len = 0;
    while (pos < sc.total) {
        if (!sv_progress_running()) {
            stopped = true;
            break;
        }
        size_t wlen = sc.total - pos < kWindow + SN_LOOKAHEAD ? (size_t)(sc.total - pos)
                                                              : kWindow + SN_LOOKAHEAD;
        /* The look-ahead read with the last window is moved to the front
         * instead of being read again. */
        size_t keep = 0;
        if (have_len && pos >= have_pos && pos - have_pos < have_len) {
            keep = (size_t)(have_len - (pos - have_pos));
            if (keep > wlen)
                keep = wlen;
            memmove(sc.win, sc.win + (pos - have_pos), keep);
        }
        if (wlen > keep)
            sn_read_range(sc.dev, sc.origin + pos + keep, sc.win + keep, wlen - keep);
        have_pos = pos;
        have_len = wlen;
        uint64_t scan_end = pos + (wlen < kWindow ? wlen : kWindow);
        uint64_t next_pos = scan_end;
        if (watch)
            watch(watch_ctx, pos, sc.win, (uint32_t)(scan_end - pos));
        uint64_t off = pos;
        while (off < scan_end) {
            if (!sc.fast[sc.win[off - pos]]) {
                off += SN_SECTOR;
                continue;
            }
            sn_hit hit;
            sn_status st = try_candidate(sc, pos, wlen, off, &hit);
            if (st == SN_STOP) {
                stopped = true;
                break;
            }
            if (st != SN_OK) {
                off += SN_SECTOR;
                continue;
            }
            /* A file of a type not asked for (an AVI when only WAV was,
             * both RIFF) is passed over whole, unreported. */
            if (sn_sel_reports(sc.sel, hit.type))
                notify(record_add(hit.type, off, hit.size));
            if (!sv_progress_running()) {
                stopped = true;
                break;
            }
            uint64_t end = off + hit.size;
            uint64_t after = end + (SN_SECTOR - end % SN_SECTOR) % SN_SECTOR;
            if (after > scan_end) {
                next_pos = after;
                break;
            }
            off = after;
        }
        if (stopped)
            break;
        pos = next_pos;
        uint64_t done = pos < sc.total ? pos : sc.total;
        progress_raise((int32_t)(done * 99 / sc.total));
    }
    free(sc.win);
    free(sc.cache);
    sn_zip_memo_free(sc.zip_memo);
    sv_progress_finish();
    return stopped ? 1 : 0;
}

}  // namespace

extern "C" {

SENNET_EXPORT int Sennet_SearchTypes(Partiton_Struct *part, const char *const *types)
{
    return Sennet_SearchWatched(part, types, nullptr, nullptr);
}

SENNET_EXPORT int Sennet_SearchWatched(Partiton_Struct *part, const char *const *types, Sennet_WindowWatch watch,
                                       void *context)
{
    /* A new scan replaces the records of the previous one. */
    state_free();
    if (!part || !part->Device || !part->Device->Ops || !part->Device->Ops->read) {
        sv_progress_finish();
        return -1;
    }
    auto *sel = static_cast<sn_selection *>(MALLOC(sizeof(sn_selection)));
    sn_select(types, sel);
    int rc = run_scan(part, sel, watch, context);
    free(sel);
    return rc;
}

SENNET_EXPORT int Search_FileHeadRceoverMian(Partiton_Struct *part)
{
    return Sennet_SearchTypes(part, nullptr);
}

SENNET_EXPORT void Search_FileHeadRceoverMian_exit(void)
{
    state_free();
}

SENNET_EXPORT const char *Get_Dir(void)
{
    if (g_sn.dir_cursor >= g_sn.ntypes) {
        g_sn.dir_cursor = 0;
        return nullptr;
    }
    return g_sn.types[g_sn.dir_cursor++].name;
}

SENNET_EXPORT void *Get_File_pr(const char *type, int32_t index)
{
    sn_type_list *t = type_find(type);
    if (!t || index < 0 || (uint32_t)index >= t->count)
        return nullptr;
    return t->items[index];
}

SENNET_EXPORT const char *Get_Type(void *record)
{
    const sn_record *r = as_record(record);
    return r ? r->type : nullptr;
}

SENNET_EXPORT uint64_t Get_File_Size(void *record)
{
    const sn_record *r = as_record(record);
    return r ? r->size : 0;
}

SENNET_EXPORT uint64_t Get_File_Offset(void *record)
{
    const sn_record *r = as_record(record);
    return r ? r->offset : 0;
}

SENNET_EXPORT int32_t Get_file_data(Partiton_Struct *part, void *record, void *buf, uint32_t len)
{
    const sn_record *r = as_record(record);
    if (!part || !part->Device || !part->Device->Ops || !r || !buf)
        return -1;
    /* The cursor belongs to one record: reading another one starts it at
     * that record's first byte even when the rewind was missed. */
    if (r != g_sn.rw_rec) {
        g_sn.rw_rec = r;
        g_sn.rw_pos = 0;
    }
    uint64_t remain = r->size - g_sn.rw_pos;
    uint32_t n = remain < len ? (uint32_t)remain : len;
    auto *out = static_cast<uint8_t *>(buf);
    if (n < len)
        memset(out + n, 0, len - n);
    bool ok = true;
    if (n) {
        uint64_t at = scan_origin(part) + r->offset + g_sn.rw_pos;
        ok = sn_read_range(part->Device, at, out, n) == n;
    }
    g_sn.rw_pos += n;
    return ok ? (int32_t)n : -1;
}

SENNET_EXPORT void Set_fileRW_Head(void)
{
    g_sn.rw_rec = nullptr;
    g_sn.rw_pos = 0;
}

SENNET_EXPORT const char *const *Sennet_KnownTypes(void)
{
    return sn_known_types();
}

SENNET_EXPORT int Sennet_HeaderFits(const char *type, const void *head, uint32_t len)
{
    return sn_header_fits(type, static_cast<const uint8_t *>(head), len);
}

}  // extern "C"
