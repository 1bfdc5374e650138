/*
 * Folders of the present volume: the "$I30" index of a folder listed
 * entry by entry, the parent folder of a record, and small path helpers.
 */
#include "ntfs_i.h"

#include <stdlib.h>
#include <string.h>
#include <vector>

static const uint16_t kNoName[1] = {0};
static const uint16_t kI30[4] = {'$', 'I', '3', '0'};

/* Index header offsets (relative to the header). */
enum { IH_ENTRIES = 0, IH_LENGTH = 4, IH_ALLOCATED = 8, IH_FLAGS = 12, IH_SIZE = 16 };
/* Index entry offsets. */
enum { IE_REF = 0, IE_LENGTH = 8, IE_KEY_LENGTH = 10, IE_FLAGS = 12, IE_KEY = 16 };
#define IE_FLAG_LAST 0x02
#define IH_FLAG_LARGE 0x01
/* Records below this number are the volume's own metadata. */
#define NTFS_FIRST_USER_RECORD 24

/* Appends one entry to the lister's list. */
static void ntfs_full(const uint8_t *key, uint32_t key_len, uint64_t ref)
{
    uint32_t n = key[NTFS_FN_NAME_LEN];
    auto *info = (NTFS_DEL_FILEINFO_t *)MALLOC(sizeof(NTFS_DEL_FILEINFO_t));
    info->nMftNumber = NTFS_MFT_REF_NUMBER(ref);
    info->nParentRef = sv_ld_le64(key + NTFS_FN_PARENT);
    info->nCreateTime = sv_ld_le64(key + NTFS_FN_CTIME);
    info->cNameLength = (uint8_t)n;
    ntfs_copy_name_units(info->wszName, key + NTFS_FN_NAME, n < 127 ? n : 127);
    if (n > 127) {
        uint16_t *full = (uint16_t *)MALLOC(((size_t)n + 1) * 2);
        ntfs_copy_name_units(full, key + NTFS_FN_NAME, n);
        info->pwszLongName = full;
    }
    if (sv_ld_le32(key + NTFS_FN_FLAGS) & NTFS_FILE_ATTR_DIRECTORY) {
        info->cIsDir = 1;
        info->nFileSize = 0;
    } else {
        info->nFileSize = sv_ld_le64(key + NTFS_FN_DATA_SIZE);
    }
    (void)key_len;
    if (g_ntfs.ExternTail)
        g_ntfs.ExternTail->pNextFile = info;
    else
        g_ntfs.ExternUse = info;
    g_ntfs.ExternTail = info;
}

/* The entries behind one index header; hdr lies at off inside the buffer v. */
static void walk_entries(sv_view v, size_t hdr)
{
    uint32_t first, length;
    if (!sv_le32(v, hdr + IH_ENTRIES, &first) || !sv_le32(v, hdr + IH_LENGTH, &length))
        return;
    if (first < IH_SIZE || length > v.len - hdr || first >= length)
        return;
    size_t end = hdr + length;
    size_t pos = hdr + first;
    /* Entries are at least 16 bytes long, so the walk ends within the block. */
    while (pos < end && end - pos >= IE_KEY) {
        const uint8_t *e = v.data + pos;
        uint16_t len = sv_ld_le16(e + IE_LENGTH), key_len = sv_ld_le16(e + IE_KEY_LENGTH);
        uint16_t flags = sv_ld_le16(e + IE_FLAGS);
        if (len < IE_KEY || len > end - pos)
            return;
        if (flags & IE_FLAG_LAST)
            return;
        if (key_len >= NTFS_FN_NAME && key_len <= len - IE_KEY) {
            const uint8_t *key = e + IE_KEY;
            uint32_t n = key[NTFS_FN_NAME_LEN];
            uint64_t ref = sv_ld_le64(e + IE_REF);
            if ((uint32_t)key_len - NTFS_FN_NAME >= 2 * n && n > 0 && NTFS_MFT_REF_NUMBER(ref) >= NTFS_FIRST_USER_RECORD &&
                key[NTFS_FN_NAMESPACE] != NTFS_NAMESPACE_DOS)
                ntfs_full(key, key_len, ref);
        }
        pos += len;
    }
}

/* Lists the folder held by MFT record number into the lister's list. */
static bool Ntfs_Find_Mft_Record(uint32_t number)
{
    uint8_t *rec = ntfs_load_record(number, nullptr);
    if (!rec)
        return false;
    uint32_t rs = g_ntfs.NtfsMftRecordSize;
    ntfs_finder f = ntfs_present_finder();
    NTFS_ATTR_CONTEXT *root = ntfs_find_attr(&f, rec, rs, number, NTFS_AT_INDEX_ROOT, kI30, 4, 0);
    const uint8_t *rv;
    uint32_t rlen;
    if (!root || !ntfs_ctx_value(root, &rv, &rlen) || rlen < 16 + IH_SIZE) {
        Ntfs_Release_Attribute_Context(root);
        free(rec);
        return false;
    }
    sv_view rview = sv_view_make(rv, rlen);
    walk_entries(rview, 16);
    uint32_t block = sv_ld_le32(rv + 8);
    bool large = rv[16 + IH_FLAGS] & IH_FLAG_LARGE;
    Ntfs_Release_Attribute_Context(root);
    if (!ntfs_record_size_ok(block))
        block = g_ntfs.NtfsIndexRecordSize;

    bool ok = true;
    if (large) {
        NTFS_ATTR_CONTEXT *bm = ntfs_find_attr(&f, rec, rs, number, NTFS_AT_BITMAP, kI30, 4, 0);
        NTFS_ATTR_CONTEXT *alloc = ntfs_find_attr(&f, rec, rs, number, NTFS_AT_INDEX_ALLOCATION, kI30, 4, 0);
        uint64_t bm_size = ntfs_ctx_size(bm), alloc_size = ntfs_ctx_size(alloc);
        uint64_t blocks = alloc_size / block;
        if (bm_size > blocks / 8 + 1)
            bm_size = blocks / 8 + 1;
        std::vector<uint8_t> bits((size_t)bm_size);
        std::vector<uint8_t> buf(block);
        if (bm && alloc && bm_size && Ntfs_Read_Attribute(bm, 0, bits.data(), (int64_t)bm_size) == (int64_t)bm_size) {
            for (uint64_t i = 0; i < blocks && i / 8 < bm_size; i++) {
                if (!((bits[i / 8] >> (i % 8)) & 1))
                    continue;
                if (Ntfs_Read_Attribute(alloc, (int64_t)(i * block), buf.data(), block) != (int64_t)block ||
                    !ntfs_apply_fixup(buf.data(), block, NTFS_SIG_INDX))
                    continue;  /* a damaged block: the others still list */
                walk_entries(sv_view_make(buf.data(), block), 24);
            }
        } else {
            ok = false;
        }
        Ntfs_Release_Attribute_Context(bm);
        Ntfs_Release_Attribute_Context(alloc);
    }
    free(rec);
    return ok;
}

extern "C" NTFS_EXPORT bool Shwo_Ntfs_Dir(uint32_t nMftNumber)
{
    return Ntfs_Find_Mft_Record(nMftNumber);
}

extern "C" NTFS_EXPORT bool Ntfs_Lookup_File(uint32_t nMftNumber)
{
    return Ntfs_Find_Mft_Record(nMftNumber);
}

extern "C" NTFS_EXPORT PNTFS_DEL_FILEINFO _Get_ExternUse(void)
{
    return g_ntfs.ExternUse;
}

extern "C" NTFS_EXPORT void _Set_ExternUse(void)
{
    g_ntfs.ExternUse = nullptr;
    g_ntfs.ExternTail = nullptr;
}

/*
 * A parent reference fits the record it names when the sequence numbers
 * agree; a folder deleted after the file was made has had its sequence
 * number raised by one.
 */
static bool parent_fits(const uint8_t *parent, uint64_t ref)
{
    uint16_t want = NTFS_MFT_REF_SEQUENCE(ref), have = sv_ld_le16(parent + NTFS_REC_SEQUENCE);
    if (want == 0 || have == want)
        return true;
    bool in_use = sv_ld_le16(parent + NTFS_REC_FLAGS) & NTFS_REC_IN_USE;
    return !in_use && have == (uint16_t)(want + 1);
}

extern "C" NTFS_EXPORT bool Ntfs_Get_NameParentID(uint64_t nMftNumber, NTFS_MFT_ParentID_Name *out)
{
    if (!out)
        return false;
    memset(out, 0, sizeof(*out));
    uint32_t rs = g_ntfs.NtfsMftRecordSize;
    ntfs_finder f = ntfs_present_finder();
    uint8_t *rec = ntfs_load_record(nMftNumber, nullptr);
    if (!rec)
        return false;
    NTFS_ATTR_CONTEXT *fn = ntfs_find_attr(&f, rec, rs, nMftNumber, NTFS_AT_FILE_NAME, kNoName, 0, 0);
    uint64_t parent;
    bool ok = fn && ntfs_fn_parse(fn, &parent, nullptr, nullptr, nullptr);
    Ntfs_Release_Attribute_Context(fn);
    free(rec);
    if (!ok)
        return false;
    out->nNumber = parent;
    uint64_t pnum = NTFS_MFT_REF_NUMBER(parent);
    uint8_t *prec = ntfs_load_record(pnum, nullptr);
    if (!prec)
        return false;
    if (!parent_fits(prec, parent)) {
        free(prec);
        return false;
    }
    out->cFlags = (uint8_t)sv_ld_le16(prec + NTFS_REC_FLAGS);
    NTFS_ATTR_CONTEXT *pfn = ntfs_find_attr(&f, prec, rs, pnum, NTFS_AT_FILE_NAME, kNoName, 0, 0);
    uint8_t n;
    const uint8_t *name;
    ok = pfn && ntfs_fn_parse(pfn, nullptr, nullptr, &n, &name);
    if (ok) {
        out->cNameLength = n;
        ntfs_copy_name_units(out->wszName, name, n < 128 ? n : 128);
    }
    Ntfs_Release_Attribute_Context(pfn);
    free(prec);
    return ok;
}

extern "C" NTFS_EXPORT int FsGetFirstNameFromPath(const char *path, char *name, uint32_t nameSize)
{
    if (!path || !name || nameSize == 0)
        return 0;
    uint32_t n = 0;
    while (path[n] && path[n] != '/' && path[n] != '\\' && n + 1 < nameSize) {
        name[n] = path[n];
        n++;
    }
    name[n] = '\0';
    return (int)n;
}

extern "C" NTFS_EXPORT int FsGetNumPathParts(const char *path)
{
    if (!path)
        return 0;
    int parts = 1;
    for (const char *p = path; *p; p++)
        if (*p == '/' || *p == '\\')
            parts++;
    return parts;
}
