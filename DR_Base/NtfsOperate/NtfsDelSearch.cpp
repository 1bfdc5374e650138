/*
 * The deleted-file search: one pass over the MFT in large reads, one
 * NTFS_DEL_FILEINFO_t per record of a deleted file that still has a name
 * and a data stream.
 */
#include "ntfs_i.h"

#include <stdlib.h>
#include <string.h>

/* Bytes of the MFT read at once. */
#define NTFS_SCAN_CHUNK (1u << 20)

static const uint16_t kNoName[1] = {0};

void ntfs_copy_name_units(uint16_t *dst, const uint8_t *src, uint32_t units)
{
    /* Both sides may be unaligned: copy bytes (little-endian on disk and in memory here). */
    memcpy((void *)dst, src, (size_t)units * 2);
}

/* The record of one deleted file, or null when the record does not describe one. */
static NTFS_DEL_FILEINFO_t *deleted_file(const ntfs_finder *f, uint8_t *rec, uint32_t rs, uint64_t number)
{
    if (sv_ld_le32(rec) != NTFS_SIG_FILE || sv_ld_le16(rec + NTFS_REC_FLAGS) != 0)
        return nullptr;  /* not a record, in use, or a folder */
    if (ntfs_check_record(rec, rs) != NTFS_OK)
        return nullptr;  /* torn or damaged */
    if (sv_ld_le64(rec + NTFS_REC_BASE_REF) != 0)
        return nullptr;  /* an extension record: its base record describes the file */

    NTFS_ATTR_CONTEXT *fn = ntfs_find_attr(f, rec, rs, number, NTFS_AT_FILE_NAME, kNoName, 0, 0);
    uint64_t parent, ctime;
    uint8_t name_len;
    const uint8_t *name;
    if (!fn || !ntfs_fn_parse(fn, &parent, &ctime, &name_len, &name) || name_len == 0) {
        Ntfs_Release_Attribute_Context(fn);
        return nullptr;
    }
    NTFS_ATTR_CONTEXT *data = ntfs_find_attr(f, rec, rs, number, NTFS_AT_DATA, kNoName, 0, NTFS_FIND_FIRST_EXTENT);
    if (!data) {
        Ntfs_Release_Attribute_Context(fn);
        return nullptr;
    }
    auto *info = (NTFS_DEL_FILEINFO_t *)MALLOC(sizeof(NTFS_DEL_FILEINFO_t));
    info->cIsDir = 0;
    info->cNameLength = name_len;
    ntfs_copy_name_units(info->wszName, name, name_len < 127 ? name_len : 127);
    if (name_len > 127) {
        uint16_t *full = (uint16_t *)MALLOC(((size_t)name_len + 1) * 2);
        ntfs_copy_name_units(full, name, name_len);
        info->pwszLongName = full;
    }
    info->nCreateTime = ctime;
    info->nMftNumber = number;
    info->nParentRef = parent;
    info->nFileSize = ntfs_ctx_size(data);
    Ntfs_Release_Attribute_Context(fn);
    Ntfs_Release_Attribute_Context(data);
    return info;
}

/* Raises the progress value by one per percent passed from 5 % on; false on a stop request. */
static bool report(uint64_t done, uint64_t total, double *threshold)
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

extern "C" NTFS_EXPORT PNTFS_DEL_FILEINFO Ntfs_Get_Del_File(void)
{
    if (!ntfs_ready())
        return nullptr;
    NTFS_ATTR_CONTEXT *mft = g_ntfs.NtfsMFTContext;
    uint32_t rs = g_ntfs.NtfsMftRecordSize;
    ntfs_attr a;
    if (!ntfs_ctx_attr(mft, &a))
        return nullptr;
    /* Records that exist: the MFT's data size, capped by the partition. */
    uint64_t bytes = a.data_size;
    if (g_ntfs.Volume.limit && bytes > g_ntfs.Volume.limit)
        bytes = g_ntfs.Volume.limit;
    uint64_t records = bytes / rs;

    sv_progress_begin();
    if (records == 0) {
        sv_progress_finish();
        return nullptr;
    }
    ntfs_finder f = ntfs_present_finder();
    uint32_t per_chunk = NTFS_SCAN_CHUNK / rs;
    if (per_chunk == 0)
        per_chunk = 1;
    uint8_t *chunk = (uint8_t *)MALLOC((size_t)per_chunk * rs);
    NTFS_DEL_FILEINFO_t *head = nullptr, *tail = nullptr;
    double threshold = 0.05;
    bool stopped = false;
    for (uint64_t first = 0; first < records; first += per_chunk) {
        /* A stop requested before this chunk (during the set-up, say)
         * costs no read of it. */
        if (!sv_progress_running()) {
            stopped = true;
            break;
        }
        uint64_t n = records - first < per_chunk ? records - first : per_chunk;
        uint64_t want = n * rs;
        memset(chunk, 0, want);
        int64_t got = Ntfs_Read_Attribute(mft, (int64_t)(first * rs), chunk, (int64_t)want);
        if (got < 0)
            got = 0;
        for (uint64_t i = 0; i < n; i++) {
            uint8_t *rec = chunk + i * rs;
            if ((uint64_t)got < (i + 1) * rs) {
                /* The large read stopped here: read this record alone, and
                 * skip it when that fails too, never reusing old bytes. */
                memset(rec, 0, rs);
                if (Ntfs_Read_Attribute(mft, (int64_t)((first + i) * rs), rec, rs) != (int64_t)rs)
                    continue;
            }
            NTFS_DEL_FILEINFO_t *info = deleted_file(&f, rec, rs, first + i);
            if (!info)
                continue;
            if (tail)
                tail->pNextFile = info;
            else
                head = info;
            tail = info;
        }
        if (!report(first + n, records, &threshold)) {
            stopped = true;
            break;
        }
    }
    free(chunk);
    if (!stopped)
        sv_progress_finish();
    return head;
}
