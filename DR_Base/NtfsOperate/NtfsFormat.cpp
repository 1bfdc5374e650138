/*
 * Formatted-volume search: every 512-byte step of the partition is tested
 * for an MFT record.  Record 0 ($MFT) of an old volume tells where that
 * volume began and how large its clusters were; every other record with a
 * name becomes one NTFS_FORMAT_INFO_t tagged with the old volume (slot)
 * it belongs to, and its data are read through its own run list, shifted
 * by the old volume's origin.
 */
#include "ntfs_i.h"

#include <stdlib.h>
#include <string.h>
#include <vector>

#define FMT_CHUNK (1u << 20)
#define FMT_STEP 512u
#define NTFS_FIRST_USER_RECORD 24
#define NTFS_EXTEND_RECORD 11

static const uint16_t kNoName[1] = {0};
static const uint16_t kMftName[4] = {'$', 'M', 'F', 'T'};
static const uint16_t kAttrDefName[8] = {'$', 'A', 't', 't', 'r', 'D', 'e', 'f'};

namespace {

/* A record found by the scan, with what the indexing still needs. */
struct Found {
    NTFS_FORMAT_INFO_t *info;
    int64_t number;        /* the record's own number, -1 when its header has none */
    bool size_pending;     /* data attribute held in an extension record */
};

int64_t own_number(const uint8_t *rec)
{
    /* Records of NTFS 3.1 carry their number; older ones put the
     * update-sequence array where it would be. */
    return sv_ld_le16(rec + NTFS_REC_USA_OFS) >= 48 ? (int64_t)sv_ld_le32(rec + NTFS_REC_NUMBER) : -1;
}

bool fn_of(const uint8_t *rec, uint32_t rs, uint64_t *parent, uint64_t *ctime, uint8_t *n, const uint8_t **name,
           NTFS_ATTR_CONTEXT **keep)
{
    NTFS_ATTR_CONTEXT *fn = ntfs_find_attr(nullptr, rec, rs, 0, NTFS_AT_FILE_NAME, kNoName, 0, 0);
    if (!fn || !ntfs_fn_parse(fn, parent, ctime, n, name)) {
        Ntfs_Release_Attribute_Context(fn);
        return false;
    }
    *keep = fn;
    return true;
}

bool name_is(const uint8_t *name, uint8_t n, const uint16_t *want, uint8_t want_n)
{
    if (n != want_n)
        return false;
    for (uint8_t i = 0; i < n; i++)
        if (sv_ld_le16(name + 2 * i) != want[i])
            return false;
    return true;
}

/* Reads and checks a record at a partition position. */
bool read_record(const ntfs_volume *vol, uint64_t pos, uint32_t rs, std::vector<uint8_t> &buf)
{
    buf.assign(rs, 0);
    return ntfs_dev_pread(vol, pos, buf.data(), rs) == rs && ntfs_check_record(buf.data(), rs) == NTFS_OK;
}

/* First cluster and total clusters of a non-resident attribute's runs. */
bool runs_summary(const ntfs_attr &a, int64_t *first_lcn, uint64_t *total)
{
    const uint8_t *p = a.p + a.runs_off, *end = a.p + a.len;
    int64_t base = 0;
    *first_lcn = -1;
    *total = 0;
    for (uint32_t i = 0; i < a.len; i++) {
        ntfs_run r;
        bool bad;
        const uint8_t *nx = Ntfs_Decode_Run(p, end, &r, &bad);
        if (!nx)
            return !bad && *total > 0;
        if (!r.sparse) {
            if (__builtin_add_overflow(base, r.delta, &base) || base < 0)
                return false;
            if (i == 0)
                *first_lcn = base;
        }
        if (UINT64_MAX - *total < r.length)
            return false;
        *total += r.length;
        p = nx;
    }
    return false;
}

/* The base record's unnamed data attribute, first extent. */
bool base_data(const uint8_t *rec, uint32_t rs, ntfs_attr *out)
{
    ntfs_attr_iter it;
    ntfs_attr a;
    ntfs_attr_iter_init(&it, rec, rs);
    while (ntfs_attr_iter_next(&it, &a))
        if (a.type == NTFS_AT_DATA && a.name_len == 0 && (!a.nonres || a.lowest_vcn == 0)) {
            *out = a;
            return true;
        }
    return false;
}

bool has_attr_list(const uint8_t *rec, uint32_t rs)
{
    ntfs_attr_iter it;
    ntfs_attr a;
    ntfs_attr_iter_init(&it, rec, rs);
    while (ntfs_attr_iter_next(&it, &a))
        if (a.type == NTFS_AT_ATTRIBUTE_LIST)
            return true;
    return false;
}

bool cluster_size_ok(uint64_t cs)
{
    return cs >= 512 && cs <= NTFS_MAX_CLUSTER && (cs & (cs - 1)) == 0;
}

/* Builds the slot's list of MFT extents (LncOffset), clipped to the partition. */
void build_extents(uint32_t s)
{
    NTFS_FORMAT_MTF_INFO &m = g_ntfs.MTFinfo[s];
    NTFS_ATTR_CONTEXT *ctx = m.pMftData;
    ntfs_mft_extent *tail = nullptr;
    uint64_t limit = m.stVolume.limit;
    /* Only the records the MFT holds count, not the clusters kept in
     * reserve behind them: those may still hold an older volume's records. */
    uint64_t valid = ntfs_ctx_size(ctx);
    if (!ctx || !ntfs_ctx_rewind(ctx))
        return;
    do {
        if (ctx->nRunLcn < 0 || ctx->nRunStart >= valid)
            continue;
        int64_t start;
        uint64_t bytes = ctx->nRunLength * m.nClusterSize;
        if (bytes > valid - ctx->nRunStart)
            bytes = valid - ctx->nRunStart;
        if (__builtin_add_overflow(m.nOrigin, ctx->nRunLcn * (int64_t)m.nClusterSize, &start) || start < 0)
            continue;
        uint64_t s0 = (uint64_t)start;
        if (limit && s0 >= limit)
            continue;
        uint64_t e0 = (limit && limit - s0 < bytes) ? limit : s0 + bytes;
        auto *x = (ntfs_mft_extent *)MALLOC(sizeof(ntfs_mft_extent));
        x->nStart = s0;
        x->nEnd = e0;
        x->nFirstNumber = ctx->nRunStart / m.nRecordSize;
        if (tail)
            tail->pNext = x;
        else
            g_ntfs.LncOffset[s] = x;
        tail = x;
    } while (ntfs_ctx_advance(ctx));
}

/*
 * Record 0 of a volume at position pos.  The copy in the MFT mirror looks
 * the same; the records after it tell the two apart ($AttrDef, record 4,
 * follows only in the MFT itself), and a volume found twice (MFT and
 * mirror) is registered once.
 */
void try_register(const ntfs_volume *vol0, uint64_t pos, const uint8_t *rec, uint32_t rs)
{
    ntfs_attr d;
    int64_t mft_lcn, mirr_lcn;
    uint64_t clusters, mclusters;
    if (!base_data(rec, rs, &d) || !d.nonres || !runs_summary(d, &mft_lcn, &clusters) || mft_lcn < 0 ||
        clusters == 0 || d.alloc_size % clusters != 0)
        return;
    uint64_t cs = d.alloc_size / clusters;
    if (!cluster_size_ok(cs) || (uint64_t)mft_lcn > (uint64_t)INT64_MAX / cs)
        return;
    std::vector<uint8_t> r1, r4;
    ntfs_attr m;
    if (UINT64_MAX - pos < 4ull * rs || !read_record(vol0, pos + rs, rs, r1) || !base_data(r1.data(), rs, &m) ||
        !m.nonres || !runs_summary(m, &mirr_lcn, &mclusters) || mirr_lcn < 0 ||
        (uint64_t)mirr_lcn > (uint64_t)INT64_MAX / cs)
        return;
    bool at_mft = false;
    if (read_record(vol0, pos + 4ull * rs, rs, r4)) {
        uint64_t parent, ctime;
        uint8_t n;
        const uint8_t *name;
        NTFS_ATTR_CONTEXT *fn = nullptr;
        if (fn_of(r4.data(), rs, &parent, &ctime, &n, &name, &fn)) {
            at_mft = name_is(name, n, kAttrDefName, 8);
            Ntfs_Release_Attribute_Context(fn);
        }
    }
    uint64_t lcn_here = (uint64_t)(at_mft ? mft_lcn : mirr_lcn);
    if (lcn_here * cs > pos)
        return;  /* the volume would begin before the partition */
    int64_t origin = (int64_t)(pos - lcn_here * cs);
    uint32_t free_slot = UINT32_MAX;
    for (uint32_t s = 0; s < NTFS_FORMAT_SLOTS; s++) {
        NTFS_FORMAT_MTF_INFO &x = g_ntfs.MTFinfo[s];
        if (x.nClusterSize == 0) {
            if (free_slot == UINT32_MAX)
                free_slot = s;
            continue;
        }
        if (x.nOrigin == origin && x.nClusterSize == cs)
            return;  /* known: this is the other copy of the same record */
    }
    if (free_slot == UINT32_MAX)
        return;
    NTFS_FORMAT_MTF_INFO &x = g_ntfs.MTFinfo[free_slot];
    x.stVolume = *vol0;
    x.stVolume.cluster_size = (uint32_t)cs;
    x.stVolume.record_size = rs;
    x.stVolume.origin = origin;
    x.pRecord0 = (uint8_t *)MALLOC(rs);
    memcpy(x.pRecord0, rec, rs);
    x.pMftData = ntfs_open_mft(&x.stVolume, x.pRecord0, rs);
    if (!x.pMftData) {
        free(x.pRecord0);
        memset(&x, 0, sizeof(x));
        return;
    }
    x.nClusterSize = (uint32_t)cs;
    x.nRecordSize = rs;
    x.nOrigin = origin;
    x.nRecordPos = (uint64_t)origin + (uint64_t)mft_lcn * cs;
    x.nMirrorPos = (uint64_t)origin + (uint64_t)mirr_lcn * cs;
    build_extents(free_slot);
    if (g_ntfs.Input == UINT32_MAX)
        g_ntfs.Input = free_slot;
}

NTFS_FORMAT_INFO_t *make_info(const uint8_t *rec, uint32_t rs, uint64_t pos, uint64_t parent, uint64_t ctime,
                              uint8_t n, const uint8_t *name, bool *pending)
{
    bool dir = sv_ld_le16(rec + NTFS_REC_FLAGS) & NTFS_REC_DIRECTORY;
    uint64_t size = 0;
    *pending = false;
    if (!dir) {
        ntfs_attr d;
        if (base_data(rec, rs, &d))
            size = d.nonres ? d.data_size : d.value_len;
        else if (has_attr_list(rec, rs))
            *pending = true;
        else
            return nullptr;  /* a file without data */
    }
    size_t bytes = offsetof(NTFS_FORMAT_INFO_t, wszName) + ((size_t)n + 1) * 2;
    auto *info = (NTFS_FORMAT_INFO_t *)MALLOC(bytes);
    info->cFlags = (uint8_t)((dir ? 1 : 0) | (NTFS_FORMAT_NO_SLOT << 2));
    info->cNameLength = n;
    info->nParent = (uint32_t)parent;
    info->nCreateTime = ctime;
    info->nFileSize = size;
    info->nPosition = pos;
    memcpy((uint8_t *)info + offsetof(NTFS_FORMAT_INFO_t, wszName), name, (size_t)n * 2);
    return info;
}

/* Slot and MFT number of a record found at pos. */
bool locate(uint64_t pos, int64_t own, uint32_t *slot, int64_t *number)
{
    for (uint32_t s = 0; s < NTFS_FORMAT_SLOTS; s++) {
        const NTFS_FORMAT_MTF_INFO &m = g_ntfs.MTFinfo[s];
        if (!m.nClusterSize)
            continue;
        for (const ntfs_mft_extent *x = g_ntfs.LncOffset[s]; x; x = x->pNext) {
            if (pos >= x->nStart && pos < x->nEnd && (pos - x->nStart) % m.nRecordSize == 0) {
                *slot = s;
                *number = (int64_t)((pos - x->nStart) / m.nRecordSize + x->nFirstNumber);
                return true;
            }
        }
    }
    if (own >= 0) {
        /* Outside every known MFT extent (the MFT's run list was overwritten,
         * say): the volume whose record 0 sits where this number puts it. */
        for (uint32_t s = 0; s < NTFS_FORMAT_SLOTS; s++) {
            const NTFS_FORMAT_MTF_INFO &m = g_ntfs.MTFinfo[s];
            if (m.nClusterSize && (uint64_t)own <= pos / m.nRecordSize &&
                pos - (uint64_t)own * m.nRecordSize == m.nRecordPos) {
                *slot = s;
                *number = own;
                return true;
            }
        }
    }
    if (g_ntfs.Input != UINT32_MAX) {
        *slot = g_ntfs.Input;
        *number = own;
        return true;
    }
    return false;
}

uint64_t slot_records(uint32_t s)
{
    const NTFS_FORMAT_MTF_INFO &m = g_ntfs.MTFinfo[s];
    uint64_t n = 0;
    for (const ntfs_mft_extent *x = g_ntfs.LncOffset[s]; x; x = x->pNext) {
        uint64_t last = x->nFirstNumber + (x->nEnd - x->nStart) / m.nRecordSize;
        if (last > n)
            n = last;
    }
    uint64_t cap = m.stVolume.limit ? m.stVolume.limit / m.nRecordSize : n;
    return n < cap ? n : cap;
}

uint64_t data_size_via_slot(uint32_t s, const NTFS_FORMAT_INFO_t *info, int64_t number, bool *found)
{
    NTFS_FORMAT_MTF_INFO &m = g_ntfs.MTFinfo[s];
    std::vector<uint8_t> rec;
    *found = false;
    if (!read_record(&m.stVolume, info->nPosition, m.nRecordSize, rec))
        return 0;
    ntfs_finder f = {&m.stVolume, m.pMftData};
    NTFS_ATTR_CONTEXT *d = ntfs_find_attr(&f, rec.data(), m.nRecordSize, number < 0 ? 0 : (uint64_t)number,
                                          NTFS_AT_DATA, kNoName, 0, NTFS_FIND_FIRST_EXTENT);
    *found = d != nullptr;
    uint64_t size = ntfs_ctx_size(d);
    Ntfs_Release_Attribute_Context(d);
    return size;
}

/* Tags every record with its volume, files the folders by MFT number, and
 * settles the sizes that needed extension records.  Returns the new head. */
NTFS_FORMAT_INFO_t *__Ntfs_list(std::vector<Found> &found)
{
    for (uint32_t s = 0; s < NTFS_FORMAT_SLOTS; s++) {
        if (!g_ntfs.MTFinfo[s].nClusterSize)
            continue;
        uint64_t n = slot_records(s);
        if (n > 0 && n <= SIZE_MAX / sizeof(void *)) {
            g_ntfs.ArrnyList[s].nCount = n;
            g_ntfs.ArrnyList[s].ppDirs = (NTFS_FORMAT_INFO_t **)MALLOC((size_t)n * sizeof(void *));
        }
    }
    NTFS_FORMAT_INFO_t *head = nullptr, *tail = nullptr;
    for (Found &f : found) {
        NTFS_FORMAT_INFO_t *info = f.info;
        uint32_t slot;
        int64_t number;
        bool tagged = locate(info->nPosition, f.number, &slot, &number);
        info->cFlags = (uint8_t)((info->cFlags & 3) | ((tagged ? slot : NTFS_FORMAT_NO_SLOT) << 2));
        if (f.size_pending) {
            bool ok = false;
            if (tagged)
                info->nFileSize = data_size_via_slot(slot, info, number, &ok);
            if (!ok) {
                free(info);
                continue;
            }
        }
        if (tagged && (info->cFlags & 1) && number >= 0 && (uint64_t)number < g_ntfs.ArrnyList[slot].nCount)
            g_ntfs.ArrnyList[slot].ppDirs[number] = info;
        info->pNext = nullptr;
        if (tail)
            tail->pNext = info;
        else
            head = info;
        tail = info;
    }
    return head;
}

bool report(uint64_t done, uint64_t total, double *threshold)
{
    if (sv_progress_get() >= 100)
        return false;  /* a stop request: leave the value as it was set */
    double frac = total ? (double)done / (double)total : 1.0;
    while (frac >= *threshold && *threshold < 1.0) {
        sv_progress_add(1);
        *threshold += 0.01;
    }
    return sv_progress_get() < 100;
}

}  // namespace

void ntfs_format_free_slots(void)
{
    for (uint32_t s = 0; s < NTFS_FORMAT_SLOTS; s++) {
        NTFS_FORMAT_MTF_INFO &m = g_ntfs.MTFinfo[s];
        free(m.pRecord0);
        Ntfs_Release_Attribute_Context(m.pMftData);
        free(g_ntfs.ArrnyList[s].ppDirs);
        g_ntfs.ArrnyList[s].ppDirs = nullptr;
        g_ntfs.ArrnyList[s].nCount = 0;
        for (ntfs_mft_extent *x = g_ntfs.LncOffset[s]; x;) {
            ntfs_mft_extent *next = x->pNext;
            free(x);
            x = next;
        }
        g_ntfs.LncOffset[s] = nullptr;
    }
    memset(g_ntfs.MTFinfo, 0, sizeof(g_ntfs.MTFinfo));
    g_ntfs.Input = UINT32_MAX;
    g_ntfs.FormatPartiton = nullptr;
    ntfs_format_scan_free();
}

static bool slot_of(const NTFS_FORMAT_INFO_t *info, uint32_t *slot);

/* A formatted-volume search under way: what it found so far and where
 * the next record may begin (records do not overlap). */
struct ntfs_format_scan {
    ntfs_volume vol0;
    std::vector<Found> found;
    std::vector<uint8_t> rec;
    uint64_t next;
};

void ntfs_format_scan_free(void)
{
    ntfs_format_scan *sc = g_ntfs.FormatScan;
    if (!sc)
        return;
    for (Found &f : sc->found)
        free(f.info);
    delete sc;
    g_ntfs.FormatScan = nullptr;
}

namespace {

bool format_begin(Partiton_Struct *part)
{
    if (g_ntfs.ForMat)
        ntfs_close_file();
    ntfs_format_free_slots();
    if (!part || !part->Device || !part->Device->Ops)
        return false;
    auto *sc = new ntfs_format_scan();
    memset(&sc->vol0, 0, sizeof(sc->vol0));
    sc->vol0.part = part;
    sc->vol0.limit = part->PartSize ? part->PartSize : part->Device->DiskSize;
    sc->next = 0;
    g_ntfs.FormatPartiton = part;
    g_ntfs.FormatScan = sc;
    return true;
}

/* The records among got bytes of the partition read at pos (a multiple
 * of FMT_STEP); records that run past them are read from the device. */
void format_feed(ntfs_format_scan &sc, uint64_t pos, const uint8_t *chunk, uint64_t got)
{
    std::vector<uint8_t> &rec = sc.rec;
    uint64_t o = sc.next > pos ? sc.next - pos : 0;
    while (o < got && got - o >= 32) {
        if (sv_ld_le32(chunk + o) != NTFS_SIG_FILE) {
            o += FMT_STEP;
            continue;
        }
        uint32_t rs = sv_ld_le32(chunk + o + NTFS_REC_BYTES_ALLOCATED);
        uint64_t at = pos + o;
        if (!ntfs_record_size_ok(rs)) {
            o += FMT_STEP;
            continue;
        }
        bool ok;
        if (got - o >= rs) {
            rec.assign(chunk + o, chunk + o + rs);
            ok = ntfs_check_record(rec.data(), rs) == NTFS_OK;
        } else {
            ok = read_record(&sc.vol0, at, rs, rec);
        }
        if (!ok || sv_ld_le64(rec.data() + NTFS_REC_BASE_REF) != 0) {
            o += FMT_STEP;
            continue;
        }
        uint64_t parent, ctime;
        uint8_t n;
        const uint8_t *name;
        NTFS_ATTR_CONTEXT *fn = nullptr;
        if (fn_of(rec.data(), rs, &parent, &ctime, &n, &name, &fn)) {
            int64_t own = own_number(rec.data());
            if (name_is(name, n, kMftName, 4) && (own <= 0)) {
                try_register(&sc.vol0, at, rec.data(), rs);
            } else if (n > 0 && !(own >= 0 && own < NTFS_FIRST_USER_RECORD) &&
                       NTFS_MFT_REF_NUMBER(parent) != NTFS_EXTEND_RECORD) {
                bool pending;
                NTFS_FORMAT_INFO_t *info = make_info(rec.data(), rs, at, parent, ctime, n, name, &pending);
                if (info)
                    sc.found.push_back({info, own, pending});
            }
            Ntfs_Release_Attribute_Context(fn);
        }
        o += rs;  /* records do not overlap */
    }
    if (pos + o > sc.next)
        sc.next = pos + o;
}

NTFS_FORMAT_INFO_t *format_end(void)
{
    ntfs_format_scan *sc = g_ntfs.FormatScan;
    if (!sc)
        return nullptr;
    NTFS_FORMAT_INFO_t *head = __Ntfs_list(sc->found);
    sc->found.clear();
    ntfs_format_scan_free();
    return head;
}

}  // namespace

extern "C" NTFS_EXPORT NTFS_FORMAT_INFO_t *Search_Ntfs_InFo(Partiton_Struct *part)
{
    sv_progress_begin();
    if (!format_begin(part)) {
        sv_progress_finish();
        return nullptr;
    }
    ntfs_format_scan &sc = *g_ntfs.FormatScan;
    const uint64_t size = sc.vol0.limit;
    std::vector<uint8_t> chunk(FMT_CHUNK);
    double threshold = 0.05;
    bool stopped = false;
    uint64_t pos = 0;
    while (pos < size) {
        uint64_t want = size - pos < FMT_CHUNK ? size - pos : FMT_CHUNK;
        uint64_t got = ntfs_dev_pread(&sc.vol0, pos, chunk.data(), want);
        /* An unreadable stretch is passed over; the rest is still searched. */
        format_feed(sc, pos, chunk.data(), got);
        pos = sc.next > pos + want ? sc.next : pos + want;
        if (!report(pos < size ? pos : size, size, &threshold)) {
            stopped = true;
            break;
        }
    }
    NTFS_FORMAT_INFO_t *head = format_end();
    if (!stopped)
        sv_progress_finish();
    return head;
}

extern "C" NTFS_EXPORT bool Ntfs_Format_Begin(Partiton_Struct *part)
{
    return format_begin(part);
}

extern "C" NTFS_EXPORT void Ntfs_Format_Feed(uint64_t offset, const void *data, uint32_t length)
{
    ntfs_format_scan *sc = g_ntfs.FormatScan;
    if (!sc || !data || offset >= sc->vol0.limit || offset % FMT_STEP)
        return;
    if (sc->vol0.limit - offset < length)
        length = (uint32_t)(sc->vol0.limit - offset);
    format_feed(*sc, offset, static_cast<const uint8_t *>(data), length);
}

extern "C" NTFS_EXPORT NTFS_FORMAT_INFO_t *Ntfs_Format_End(void)
{
    sv_progress_begin();
    NTFS_FORMAT_INFO_t *head = format_end();
    sv_progress_finish();
    return head;
}

/* The unnamed data stream of a record of an old volume, or null. */
NTFS_ATTR_CONTEXT *ntfs_format_data(const NTFS_FORMAT_INFO_t *info)
{
    uint32_t s;
    if (!info || !slot_of(info, &s))
        return nullptr;
    NTFS_FORMAT_MTF_INFO &m = g_ntfs.MTFinfo[s];
    std::vector<uint8_t> rec;
    if (!read_record(&m.stVolume, info->nPosition, m.nRecordSize, rec))
        return nullptr;
    uint32_t slot;
    int64_t number = own_number(rec.data());
    locate(info->nPosition, number, &slot, &number);
    ntfs_finder f = {&m.stVolume, m.pMftData};
    return ntfs_find_attr(&f, rec.data(), m.nRecordSize, number < 0 ? 0 : (uint64_t)number, NTFS_AT_DATA, kNoName,
                          0, 0);
}

static bool slot_of(const NTFS_FORMAT_INFO_t *info, uint32_t *slot)
{
    if (!info)
        return false;
    uint32_t s = NTFS_FORMAT_SLOT(info);
    if (s >= NTFS_FORMAT_SLOTS || !g_ntfs.MTFinfo[s].nClusterSize)
        return false;
    *slot = s;
    return true;
}

extern "C" NTFS_EXPORT int Ntfs_Read_ForMat_Data(NTFS_FORMAT_INFO_t *info, void *dst, int length)
{
    if (!info || !dst || length <= 0)
        return 2;
    if (!g_ntfs.ForMat || g_ntfs.TempInFo != info || !g_ntfs.NtfsGlobalAttrData) {
        ntfs_close_file();
        uint32_t s;
        if (!slot_of(info, &s))
            return 2;
        NTFS_FORMAT_MTF_INFO &m = g_ntfs.MTFinfo[s];
        std::vector<uint8_t> rec;
        if (!read_record(&m.stVolume, info->nPosition, m.nRecordSize, rec))
            return 2;
        uint32_t slot;
        int64_t number = own_number(rec.data());
        locate(info->nPosition, number, &slot, &number);
        ntfs_finder f = {&m.stVolume, m.pMftData};
        NTFS_ATTR_CONTEXT *data = ntfs_find_attr(&f, rec.data(), m.nRecordSize, number < 0 ? 0 : (uint64_t)number,
                                                 NTFS_AT_DATA, kNoName, 0, 0);
        if (!data)
            return 2;
        g_ntfs.NtfsGlobalAttrData = data;
        g_ntfs.TempInFo = info;
        g_ntfs.ForMat = true;
        g_ntfs.ReadFileOffset = 0;
        g_ntfs.GlobalOffset = info->nPosition;
    }
    return ntfs_read_open_file(dst, (uint32_t)length);
}

static uint32_t slot_cluster_size(const NTFS_FORMAT_INFO_t *info)
{
    uint32_t s;
    return slot_of(info, &s) ? g_ntfs.MTFinfo[s].nClusterSize : 0;
}

extern "C" NTFS_EXPORT uint32_t Nfst_GetFormat_ClusterSize(const NTFS_FORMAT_INFO_t *info)
{
    return slot_cluster_size(info);
}

extern "C" NTFS_EXPORT uint32_t Ntfs_Format_BlockSize(const NTFS_FORMAT_INFO_t *info)
{
    return slot_cluster_size(info);
}

extern "C" NTFS_EXPORT NTFS_FORMAT_INFO_t *Nfst_GetFormat_NameParentID(void *unused, const NTFS_FORMAT_INFO_t *info,
                                                                       NTFS_MFT_ParentID_Name *out)
{
    (void)unused;
    if (!info || !out)
        return nullptr;
    memset(out, 0, sizeof(*out));
    uint32_t s;
    bool have = slot_of(info, &s);
    out->cSlot = have ? (uint8_t)s : (uint8_t)NTFS_FORMAT_NO_SLOT;
    out->nNumber = info->nParent == NTFS_ROOT_MFT_NUMBER ? NTFS_ROOT_MFT_NUMBER : 0;
    if (!have || info->nParent >= g_ntfs.ArrnyList[s].nCount)
        return nullptr;
    NTFS_FORMAT_INFO_t *dir = g_ntfs.ArrnyList[s].ppDirs[info->nParent];
    if (!dir || dir == info || info->nParent == NTFS_ROOT_MFT_NUMBER)
        return nullptr;
    out->nNumber = info->nParent;
    out->cFlags = dir->cFlags;
    out->cNameLength = dir->cNameLength;
    uint32_t n = dir->cNameLength < 128 ? dir->cNameLength : 128;
    memcpy(out->wszName, (const uint8_t *)dir + offsetof(NTFS_FORMAT_INFO_t, wszName), (size_t)n * 2);
    return dir;
}
