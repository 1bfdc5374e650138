/*
 * File data: the one open file read block after block, the handle-based
 * reader, the cluster bitmap test and the release of result lists.
 */
#include "ntfs_i.h"

#include <stdlib.h>
#include <string.h>

static const uint16_t kNoName[1] = {0};

/*
 * Reads n bytes of the value at pos.  Where a large read stops, the read
 * goes on one cluster (of the value) at a time: a cluster that cannot be
 * read is zero-filled and skipped, and large reads resume after it, so a
 * bad sector costs one cluster, not the whole request.  Returns false when
 * anything had to be zero-filled.
 */
static bool read_salvaging(NTFS_ATTR_CONTEXT *ctx, uint64_t pos, uint8_t *dst, uint64_t n)
{
    uint64_t cs = ctx->stVolume.cluster_size ? ctx->stVolume.cluster_size : 512;
    uint64_t done = 0;
    bool whole = true;
    while (done < n) {
        int64_t got = Ntfs_Read_Attribute(ctx, (int64_t)(pos + done), dst + done, (int64_t)(n - done));
        done += got > 0 ? (uint64_t)got : 0;
        if (done >= n)
            break;
        uint64_t at = pos + done;
        uint64_t one = cs - at % cs;
        if (one > n - done)
            one = n - done;
        got = Ntfs_Read_Attribute(ctx, (int64_t)at, dst + done, (int64_t)one);
        uint64_t ok = got > 0 ? (uint64_t)got : 0;
        if (ok < one) {
            memset(dst + done + ok, 0, one - ok);
            whole = false;
        }
        done += one;
    }
    return whole;
}

/*
 * The next block of the open file.  The position always moves on by the
 * block (or to the end of the data), also when part of the block could not
 * be read, so that every later block still lands at its own place; the
 * unread bytes are zeros and the call answers 2.
 */
int ntfs_read_open_file(void *dst, uint32_t length)
{
    NTFS_ATTR_CONTEXT *ctx = g_ntfs.NtfsGlobalAttrData;
    if (!ctx)
        return 2;
    uint64_t size = ntfs_ctx_size(ctx);
    uint64_t pos = g_ntfs.ReadFileOffset;
    if (pos >= size)
        return -1;
    uint64_t n = size - pos < length ? size - pos : length;
    bool whole = read_salvaging(ctx, pos, (uint8_t *)dst, n);
    g_ntfs.ReadFileOffset = pos + n;
    return whole ? 0 : 2;
}

extern "C" NTFS_EXPORT int Ntfs_Get_Data(uint64_t nMftNumber, void *dst, uint32_t length)
{
    if (!dst || length == 0)
        return 2;
    if (g_ntfs.ForMat || g_ntfs.GlobalMFTNumber != nMftNumber || !g_ntfs.NtfsGlobalAttrData) {
        /* Open the file: its record, then its unnamed data stream. */
        ntfs_close_file();
        if (g_ntfs.NtfsPartiton && g_ntfs.NtfsPartiton->Device && g_ntfs.NtfsPartiton->Device->Cache)
            g_ntfs.NtfsPartiton->Device->Cache->Valid = 0;
        ntfs_status st;
        uint8_t *rec = ntfs_load_record(nMftNumber, &st);
        if (!rec)
            return 1;
        ntfs_finder f = ntfs_present_finder();
        NTFS_ATTR_CONTEXT *data = ntfs_find_attr(&f, rec, g_ntfs.NtfsMftRecordSize, nMftNumber, NTFS_AT_DATA,
                                                 kNoName, 0, 0);
        free(rec);
        if (!data)
            return 2;
        g_ntfs.NtfsGlobalAttrData = data;
        g_ntfs.GlobalMFTNumber = nMftNumber;
        g_ntfs.ReadFileOffset = 0;
    }
    return ntfs_read_open_file(dst, length);
}

extern "C" NTFS_EXPORT void Ntfs_RWfile_Set(uint32_t mode)
{
    g_ntfs.ReadFileOffset = 0;
    if (mode == 1 && !g_ntfs.ForMat)
        ntfs_close_file();
    if (mode == 2) {
        g_ntfs.GlobalOffset = 0;
        if (g_ntfs.ForMat)
            ntfs_close_file();
    }
}

extern "C" NTFS_EXPORT int NTFS_Free_File_Info(PNTFS_DEL_FILEINFO list)
{
    /* The list is acyclic by construction; the walk frees as it goes. */
    while (list) {
        NTFS_DEL_FILEINFO_t *next = list->pNextFile;
        free(list->pwszLongName);
        free(list);
        list = next;
    }
    g_ntfs.ExternUse = nullptr;
    g_ntfs.ExternTail = nullptr;
    return 1;
}

extern "C" NTFS_EXPORT int NTFS_Free_Format_Info(NTFS_FORMAT_INFO_t *list)
{
    while (list) {
        NTFS_FORMAT_INFO_t *next = list->pNext;
        if (g_ntfs.TempInFo == list)
            ntfs_close_file();
        free(list);
        list = next;
    }
    return 1;
}

extern "C" NTFS_EXPORT uint64_t Ntfs_Get_FlieSize(uint64_t nMftNumber, PNTFS_DEL_FILEINFO list)
{
    for (NTFS_DEL_FILEINFO_t *p = list; p; p = p->pNextFile)
        if (p->nMftNumber == nMftNumber && p->cIsDir == 0)
            return p->nFileSize;
    uint8_t *rec = ntfs_load_record(nMftNumber, nullptr);
    if (!rec)
        return 0;
    ntfs_finder f = ntfs_present_finder();
    NTFS_ATTR_CONTEXT *data =
        ntfs_find_attr(&f, rec, g_ntfs.NtfsMftRecordSize, nMftNumber, NTFS_AT_DATA, kNoName, 0, NTFS_FIND_FIRST_EXTENT);
    free(rec);
    uint64_t size = ntfs_ctx_size(data);
    Ntfs_Release_Attribute_Context(data);
    return size;
}

extern "C" NTFS_EXPORT bool Ntfs_Open_File(uint64_t nMftNumber, NTFS_FILE_HANDLE *handle)
{
    if (!handle)
        return false;
    memset(handle, 0, sizeof(*handle));
    uint8_t *rec = ntfs_load_record(nMftNumber, nullptr);
    if (!rec)
        return false;
    ntfs_finder f = ntfs_present_finder();
    NTFS_ATTR_CONTEXT *data =
        ntfs_find_attr(&f, rec, g_ntfs.NtfsMftRecordSize, nMftNumber, NTFS_AT_DATA, kNoName, 0, 0);
    free(rec);
    if (!data)
        return false;
    handle->pAttribute = data;
    handle->nSize = ntfs_ctx_size(data);
    return true;
}

extern "C" NTFS_EXPORT bool Ntfs_Read_File(NTFS_FILE_HANDLE *handle, uint32_t length, uint32_t *count, void *dst)
{
    if (count)
        *count = 0;
    if (!handle || !handle->pAttribute || !dst || length == 0 || handle->nOffset >= handle->nSize)
        return false;
    uint64_t n = handle->nSize - handle->nOffset < length ? handle->nSize - handle->nOffset : length;
    int64_t got = Ntfs_Read_Attribute((NTFS_ATTR_CONTEXT *)handle->pAttribute, (int64_t)handle->nOffset, dst,
                                      (int64_t)n);
    if (got <= 0)
        return false;
    handle->nOffset += (uint64_t)got;
    if (count)
        *count = (uint32_t)got;
    return true;
}

extern "C" NTFS_EXPORT void Ntfs_Close_File(NTFS_FILE_HANDLE *handle)
{
    if (!handle)
        return;
    Ntfs_Release_Attribute_Context((NTFS_ATTR_CONTEXT *)handle->pAttribute);
    memset(handle, 0, sizeof(*handle));
}

extern "C" NTFS_EXPORT void Get_File_Time(void *record, uint64_t time, bool del)
{
    if (!record)
        return;
    if (del)
        ((NTFS_DEL_FILEINFO_t *)record)->nCreateTime = time;
    else
        ((NTFS_FORMAT_INFO_t *)record)->nCreateTime = time;
}

/*
 * Whether the volume's cluster bitmap (the data of MFT record 6) marks a
 * cluster as allocated: bit (cluster mod 8) of byte (cluster / 8).  The
 * volume is set up for the partition when it is not the one in use.
 */
extern "C" NTFS_EXPORT bool Ntfs_Fat_Cmp(Partiton_Struct *part, uint64_t cluster)
{
    if (!part)
        return false;
    if (!ntfs_ready() || g_ntfs.NtfsPartiton != part) {
        if (ntfs_ready())
            ntfs_exit();
        if (!ntfs_init(part))
            return false;
    }
    uint8_t *rec = ntfs_load_record(6, nullptr);
    if (!rec)
        return false;
    ntfs_finder f = ntfs_present_finder();
    NTFS_ATTR_CONTEXT *bm = ntfs_find_attr(&f, rec, g_ntfs.NtfsMftRecordSize, 6, NTFS_AT_DATA, kNoName, 0, 0);
    free(rec);
    uint8_t byte = 0;
    bool ok = bm && Ntfs_Read_Attribute(bm, (int64_t)(cluster / 8), &byte, 1) == 1;
    Ntfs_Release_Attribute_Context(bm);
    return ok && (byte >> (cluster % 8)) & 1;
}
