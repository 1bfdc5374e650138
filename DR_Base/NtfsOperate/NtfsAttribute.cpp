/*
 * Attributes of an MFT record: the checked header, the walk, the search
 * by type and name, and attribute lists whose attributes live in
 * extension records.
 */
#include "ntfs_i.h"

#include <algorithm>
#include <stdlib.h>
#include <string.h>
#include <vector>

/* Smallest headers: resident 24 bytes, non-resident 64. */
#define NTFS_RES_HEADER 24u
#define NTFS_NONRES_HEADER 64u

bool ntfs_attr_parse(const uint8_t *p, uint32_t avail, ntfs_attr *out)
{
    sv_view v = sv_view_make(p, avail);
    memset(out, 0, sizeof(*out));
    if (!sv_le32(v, 0, &out->type) || out->type == NTFS_ATTR_END)
        return false;
    if (!sv_le32(v, 4, &out->len) || out->len < NTFS_RES_HEADER || out->len > avail)
        return false;
    v.len = out->len;
    out->p = p;
    out->nonres = p[8];
    out->name_len = p[9];
    out->name_off = sv_ld_le16(p + 10);
    out->flags = sv_ld_le16(p + 12);
    out->id = sv_ld_le16(p + 14);
    if (out->nonres > 1)
        return false;
    if (out->name_len && !sv_has(v, out->name_off, (size_t)out->name_len * 2))
        return false;
    if (!out->nonres) {
        out->value_len = sv_ld_le32(p + 16);
        out->value_off = sv_ld_le16(p + 20);
        if (!sv_has(v, out->value_off, out->value_len))
            return false;
        return true;
    }
    if (out->len < NTFS_NONRES_HEADER)
        return false;
    out->lowest_vcn = sv_ld_le64(p + 16);
    out->highest_vcn = sv_ld_le64(p + 24);
    out->runs_off = sv_ld_le16(p + 32);
    out->alloc_size = sv_ld_le64(p + 40);
    out->data_size = sv_ld_le64(p + 48);
    out->init_size = sv_ld_le64(p + 56);
    if (out->runs_off < NTFS_NONRES_HEADER || out->runs_off >= out->len)
        return false;
    if (out->lowest_vcn > out->highest_vcn + 1 || out->data_size > (uint64_t)INT64_MAX)
        return false;
    if (out->init_size > out->data_size)
        out->init_size = out->data_size;
    return true;
}

void ntfs_attr_iter_init(ntfs_attr_iter *it, const uint8_t *rec, uint32_t size)
{
    it->rec = rec;
    it->hops = 0;
    uint16_t first = sv_ld_le16(rec + NTFS_REC_FIRST_ATTR);
    uint32_t biu = sv_ld_le32(rec + NTFS_REC_BYTES_IN_USE);
    it->used = (biu > first && biu <= size) ? biu : size;
    it->pos = first;
}

bool ntfs_attr_iter_next(ntfs_attr_iter *it, ntfs_attr *out)
{
    /* Every attribute is at least 24 bytes long, so the walk ends by
     * itself; the hop count is a second guard. */
    if (it->pos >= it->used || it->used - it->pos < 8 || ++it->hops > NTFS_MAX_RECORD / 16)
        return false;
    if (!ntfs_attr_parse(it->rec + it->pos, it->used - it->pos, out))
        return false;
    it->pos += out->len;
    return true;
}

bool ntfs_attr_name_is(const ntfs_attr *a, const uint16_t *name, uint32_t name_len)
{
    if (a->name_len != name_len)
        return false;
    const uint8_t *n = a->p + a->name_off;
    for (uint32_t i = 0; i < name_len; i++)
        if (sv_ld_le16(n + 2 * i) != name[i])
            return false;
    return true;
}

NTFS_ATTR_CONTEXT *Ntfs_Prepare_Attribute_Context(const ntfs_attr *a, const ntfs_volume *vol)
{
    auto *ctx = (NTFS_ATTR_CONTEXT *)MALLOC(sizeof(NTFS_ATTR_CONTEXT) + a->len);
    ctx->stRecord = (uint8_t *)(ctx + 1);
    ctx->nRecordLength = a->len;
    memcpy(ctx->stRecord, a->p, a->len);
    if (vol)
        ctx->stVolume = *vol;
    ctx->nRunLcn = -1;
    ctx->nUnitVcn = UINT64_MAX;
    if (a->nonres)
        ntfs_ctx_rewind(ctx);
    return ctx;
}

void Ntfs_Release_Attribute_Context(NTFS_ATTR_CONTEXT *ctx)
{
    if (ctx)
        free(ctx->pUnit);
    free(ctx);
}

bool Ntfs_is_RepeatMTF(const NTFS_ATTR_CONTEXT *ctx)
{
    (void)ctx;
    return true;
}

bool ntfs_ctx_attr(const NTFS_ATTR_CONTEXT *ctx, ntfs_attr *out)
{
    if (!ctx || !ctx->stRecord)
        return false;
    return ntfs_attr_parse(ctx->stRecord, ctx->nRecordLength, out);
}

uint64_t ntfs_ctx_size(const NTFS_ATTR_CONTEXT *ctx)
{
    ntfs_attr a;
    if (!ntfs_ctx_attr(ctx, &a))
        return 0;
    return a.nonres ? a.data_size : a.value_len;
}

bool ntfs_ctx_value(const NTFS_ATTR_CONTEXT *ctx, const uint8_t **value, uint32_t *len)
{
    ntfs_attr a;
    if (!ntfs_ctx_attr(ctx, &a) || a.nonres)
        return false;
    *value = a.p + a.value_off;
    *len = a.value_len;
    return true;
}

/* A file name value: fixed part and the name inside the value. */
static bool fn_value_ok(const uint8_t *v, uint32_t len)
{
    if (len < NTFS_FN_NAME)
        return false;
    uint32_t n = v[NTFS_FN_NAME_LEN];
    return len - NTFS_FN_NAME >= 2 * n;
}

bool ntfs_fn_parse(const NTFS_ATTR_CONTEXT *ctx, uint64_t *parent, uint64_t *ctime, uint8_t *name_len,
                   const uint8_t **name)
{
    const uint8_t *v;
    uint32_t len;
    if (!ntfs_ctx_value(ctx, &v, &len) || !fn_value_ok(v, len))
        return false;
    if (parent)
        *parent = sv_ld_le64(v + NTFS_FN_PARENT);
    if (ctime)
        *ctime = sv_ld_le64(v + NTFS_FN_CTIME);
    if (name_len)
        *name_len = v[NTFS_FN_NAME_LEN];
    if (name)
        *name = v + NTFS_FN_NAME;
    return true;
}

/* ---- the search ---- */

namespace {

/* What the walk of one record found for the wanted type and name. */
struct Match {
    ntfs_attr attr;
    bool found = false;
};

/* File names: the first name that is not a DOS 8.3 name wins; a DOS name
 * is only the fallback. */
bool is_dos_name(const ntfs_attr &a)
{
    if (a.nonres || !fn_value_ok(a.p + a.value_off, a.value_len))
        return false;
    return a.p[a.value_off + NTFS_FN_NAMESPACE] == NTFS_NAMESPACE_DOS;
}

/* An attribute of the wanted kind that can be used at all. */
bool usable(const ntfs_attr &a, uint32_t type)
{
    if (type == NTFS_AT_FILE_NAME)
        return !a.nonres && a.value_len > 0 && fn_value_ok(a.p + a.value_off, a.value_len);
    return a.nonres || a.value_len > 0 || type == NTFS_AT_DATA;
}

struct ListEntry {
    uint64_t lowest_vcn;
    uint64_t record;   /* MFT number holding the attribute */
    uint16_t id;
};

/* An extension record (or the base record) read for an attribute list. */
struct RecordCache {
    std::vector<uint8_t> buf;
    uint64_t number = UINT64_MAX;
    bool ok = false;
};

bool load_ext(const ntfs_finder *f, uint64_t number, uint64_t base, RecordCache &rc, uint32_t &reads)
{
    if (rc.number == number)
        return rc.ok;
    if (++reads > NTFS_MAX_LIST_RECORDS)
        return false;
    uint32_t rs = f->vol->record_size;
    rc.buf.assign(rs, 0);
    rc.number = number;
    rc.ok = ntfs_read_mft_record(f->mft, number, rs, rc.buf.data()) == NTFS_OK &&
            NTFS_MFT_REF_NUMBER(sv_ld_le64(rc.buf.data() + NTFS_REC_BASE_REF)) == base;
    return rc.ok;
}

/* The attribute an attribute-list entry names, inside rec. */
bool find_in_record(const uint8_t *rec, uint32_t size, uint32_t type, const uint16_t *name, uint32_t name_len,
                    const ListEntry &e, ntfs_attr *out)
{
    ntfs_attr_iter it;
    ntfs_attr a;
    bool any = false;
    ntfs_attr_iter_init(&it, rec, size);
    while (ntfs_attr_iter_next(&it, &a)) {
        if (a.type != type || !ntfs_attr_name_is(&a, name, name_len))
            continue;
        if (a.nonres && a.lowest_vcn != e.lowest_vcn)
            continue;
        if (a.id == e.id) {
            *out = a;
            return true;
        }
        if (!any) {
            *out = a;
            any = true;
        }
    }
    return any;
}

/* Reads the value of an attribute list into buf. */
bool read_list_value(const ntfs_finder *f, const ntfs_attr &list, std::vector<uint8_t> &buf)
{
    if (!list.nonres) {
        buf.assign(list.p + list.value_off, list.p + list.value_off + list.value_len);
        return true;
    }
    if (list.data_size == 0 || list.data_size > NTFS_MAX_ATTR_LIST)
        return false;
    NTFS_ATTR_CONTEXT *ctx = Ntfs_Prepare_Attribute_Context(&list, f->vol);
    buf.assign((size_t)list.data_size, 0);
    bool ok = Ntfs_Read_Attribute(ctx, 0, buf.data(), (int64_t)buf.size()) == (int64_t)buf.size();
    Ntfs_Release_Attribute_Context(ctx);
    return ok;
}

/* Entries of the list for the wanted type and name, in list order. */
void list_entries(const std::vector<uint8_t> &list, uint32_t type, const uint16_t *name, uint32_t name_len,
                  std::vector<ListEntry> &out)
{
    sv_view v = sv_view_make(list.data(), list.size());
    size_t pos = 0;
    while (sv_has(v, pos, 26) && out.size() < NTFS_MAX_LIST_RECORDS) {
        const uint8_t *p = list.data() + pos;
        uint32_t t = sv_ld_le32(p);
        uint16_t len = sv_ld_le16(p + 4);
        if (len < 26 || !sv_has(v, pos, len))
            break;
        uint8_t nl = p[6], no = p[7];
        if (t == type && nl == name_len && (nl == 0 || (no + 2u * nl <= len))) {
            bool same = true;
            for (uint32_t i = 0; i < nl && same; i++)
                same = sv_ld_le16(p + no + 2 * i) == name[i];
            if (same)
                out.push_back({sv_ld_le64(p + 8), NTFS_MFT_REF_NUMBER(sv_ld_le64(p + 16)), sv_ld_le16(p + 24)});
        }
        pos += len;
    }
}

/* One context for the extents of a non-resident attribute: the first
 * extent's header with a run list joining every extent's runs.  Joining
 * stops at the first gap or overlap; reads beyond it then fail instead of
 * returning someone else's clusters. */
NTFS_ATTR_CONTEXT *join_extents(const ntfs_volume *vol, std::vector<ntfs_attr> &ext)
{
    std::sort(ext.begin(), ext.end(),
              [](const ntfs_attr &a, const ntfs_attr &b) { return a.lowest_vcn < b.lowest_vcn; });
    if (ext.empty() || ext[0].lowest_vcn != 0)
        return nullptr;
    std::vector<ntfs_abs_run> runs;
    uint64_t next_vcn = 0;
    for (const ntfs_attr &e : ext) {
        if (e.lowest_vcn != next_vcn)
            break;
        const uint8_t *p = e.p + e.runs_off, *end = e.p + e.len;
        int64_t base = 0;
        uint64_t vcn = e.lowest_vcn;
        uint64_t last = e.highest_vcn;
        bool complete = false;
        for (uint32_t hops = 0; hops < e.len; hops++) {
            ntfs_run r;
            bool bad;
            const uint8_t *nx = Ntfs_Decode_Run(p, end, &r, &bad);
            if (!nx) {
                complete = !bad;
                break;
            }
            p = nx;
            if (vcn > last)
                break;
            uint64_t len = r.length;
            if (len > last - vcn + 1)
                len = last - vcn + 1;
            int64_t lcn = -1;
            if (!r.sparse) {
                if (__builtin_add_overflow(base, r.delta, &lcn) || lcn < 0)
                    break;
                base = lcn;
            }
            runs.push_back({vcn, len, lcn});
            vcn += len;
        }
        if (vcn != last + 1 || !complete) {
            next_vcn = vcn;
            break;  /* this extent is short or damaged: nothing after it lines up */
        }
        next_vcn = vcn;
    }
    if (runs.empty())
        return nullptr;
    const ntfs_attr &first = ext[0];
    size_t head = first.runs_off;
    std::vector<uint8_t> enc(ntfs_runs_count_bytes(runs.size()));
    size_t enc_len = ntfs_runs_encode(runs.data(), runs.size(), enc.data());
    size_t total = (head + enc_len + 7) & ~(size_t)7;
    if (total > UINT32_MAX)
        return nullptr;
    std::vector<uint8_t> joined(total, 0);
    memcpy(joined.data(), first.p, head);
    memcpy(joined.data() + head, enc.data(), enc_len);
    uint32_t len32 = (uint32_t)total;
    memcpy(joined.data() + 4, &len32, 4);
    uint64_t highest = next_vcn - 1;
    memcpy(joined.data() + 24, &highest, 8);
    ntfs_attr a;
    if (!ntfs_attr_parse(joined.data(), len32, &a))
        return nullptr;
    return Ntfs_Prepare_Attribute_Context(&a, vol);
}

/* Clusters a non-resident extent's header says the whole value needs. */
bool single_extent(const ntfs_attr &a, const ntfs_volume *vol)
{
    if (a.lowest_vcn != 0)
        return false;
    uint64_t cs = vol ? vol->cluster_size : 0;
    if (cs == 0)
        return true;
    uint64_t need = a.alloc_size / cs + (a.alloc_size % cs != 0);
    return a.highest_vcn + 1 >= need || (need == 0);
}

}  // namespace

/*
 * The attribute of a type and name.  File names: the first name that is
 * not a DOS name, else the last DOS name.  Non-resident attributes start
 * at their first extent; when the record has an attribute list and a
 * finder that can read extension records, the extents held there are
 * joined into one run list (unless only the first extent is wanted).
 */
NTFS_ATTR_CONTEXT *ntfs_find_attr(const ntfs_finder *f, const uint8_t *rec, uint32_t size, uint64_t number,
                                  uint32_t type, const uint16_t *name, uint32_t name_len, unsigned flags)
{
    if (!rec || size < NTFS_REC_HEADER_MIN + 8)
        return nullptr;
    const ntfs_volume *vol = f ? f->vol : nullptr;
    ntfs_attr_iter it;
    ntfs_attr a, list{};
    bool have_list = false;
    Match dos, base;
    ntfs_attr_iter_init(&it, rec, size);
    while (ntfs_attr_iter_next(&it, &a)) {
        if (a.type == NTFS_AT_ATTRIBUTE_LIST && !have_list) {
            list = a;
            have_list = true;
            continue;
        }
        if (a.type != type || !ntfs_attr_name_is(&a, name, name_len) || !usable(a, type))
            continue;
        if (type == NTFS_AT_FILE_NAME) {
            if (is_dos_name(a)) {
                dos.attr = a;
                dos.found = true;
                continue;
            }
            return Ntfs_Prepare_Attribute_Context(&a, vol);
        }
        if (!a.nonres)
            return Ntfs_Prepare_Attribute_Context(&a, vol);
        if (a.lowest_vcn == 0 && !base.found) {
            base.attr = a;
            base.found = true;
        }
    }

    bool follow = have_list && f && f->mft && vol && ntfs_record_size_ok(vol->record_size);
    if (base.found && (!follow || (flags & NTFS_FIND_FIRST_EXTENT) || single_extent(base.attr, vol)))
        return Ntfs_Prepare_Attribute_Context(&base.attr, vol);
    if (follow) {
        std::vector<uint8_t> lv;
        std::vector<ListEntry> entries;
        if (read_list_value(f, list, lv))
            list_entries(lv, type, name, name_len, entries);
        RecordCache rc;
        uint32_t reads = 0;
        std::vector<ntfs_attr> extents;
        /* Extension records are copied so that attributes found in them
         * stay valid while later ones are read. */
        std::vector<std::vector<uint8_t>> keep;
        for (const ListEntry &e : entries) {
            const uint8_t *r = rec;
            uint32_t rsz = size;
            if (e.record != number) {
                if (!load_ext(f, e.record, number, rc, reads))
                    continue;
                keep.push_back(rc.buf);
                r = keep.back().data();
                rsz = (uint32_t)keep.back().size();
            }
            ntfs_attr x;
            if (!find_in_record(r, rsz, type, name, name_len, e, &x) || !usable(x, type)) {
                if (e.record != number)
                    keep.pop_back();
                continue;
            }
            if (type == NTFS_AT_FILE_NAME) {
                if (is_dos_name(x)) {
                    dos.attr = x;
                    dos.found = true;
                    continue;
                }
                return Ntfs_Prepare_Attribute_Context(&x, vol);
            }
            if (!x.nonres)
                return Ntfs_Prepare_Attribute_Context(&x, vol);
            if ((flags & NTFS_FIND_FIRST_EXTENT) && x.lowest_vcn == 0)
                return Ntfs_Prepare_Attribute_Context(&x, vol);
            extents.push_back(x);
        }
        if (!extents.empty()) {
            if (base.found) {
                bool listed = false;
                for (const ntfs_attr &x : extents)
                    listed = listed || x.lowest_vcn == 0;
                if (!listed)
                    extents.push_back(base.attr);
            }
            NTFS_ATTR_CONTEXT *joined = join_extents(vol, extents);
            if (joined)
                return joined;
        }
        if (dos.found)
            return Ntfs_Prepare_Attribute_Context(&dos.attr, vol);
    }
    if (base.found)
        return Ntfs_Prepare_Attribute_Context(&base.attr, vol);
    if (dos.found)
        return Ntfs_Prepare_Attribute_Context(&dos.attr, vol);
    return nullptr;
}

NTFS_ATTR_CONTEXT *Ntfs_Find_Attribute(const uint8_t *rec, uint32_t type, const char *name)
{
    uint16_t wname[256];
    uint32_t n = 0;
    if (name)
        while (name[n] && n < 255) {
            wname[n] = (uint8_t)name[n];
            n++;
        }
    ntfs_finder f = ntfs_present_finder();
    uint64_t number = rec ? sv_ld_le32(rec + NTFS_REC_NUMBER) : 0;
    return ntfs_find_attr(&f, rec, g_ntfs.NtfsMftRecordSize ? g_ntfs.NtfsMftRecordSize : NTFS_MIN_RECORD, number,
                          type, wname, n, 0);
}
