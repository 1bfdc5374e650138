/*
 * Reading found files back: the block mapping of a record's data fork, the
 * stream the recovery writer drives, and the getters and stream for
 * signature-engine records.
 */
#include "varn_i.h"

#include <cstring>

bool hfsp_map_position(const hfsp_file_list_Journal *rec, uint64_t pos, uint32_t block_size,
                       uint64_t volume_bytes, uint64_t *volume_offset, uint64_t *run)
{
    const hfsp_extent *ext = hfsp_data_extents(rec);
    if (!ext || block_size == 0)
        return false;
    uint64_t base = 0;
    for (int i = 0; i < HFSP_FORK_EXTENTS; i++) {
        uint32_t start = __builtin_bswap32(ext[i].startBlock);
        uint32_t count = __builtin_bswap32(ext[i].blockCount);
        if (count == 0)
            break;
        uint64_t len = (uint64_t)count * block_size;
        if (pos - base < len) {
            uint64_t in = pos - base;
            uint64_t off = (uint64_t)start * block_size;
            if (off >= volume_bytes || volume_bytes - off <= in)
                return false; /* the extent points outside the volume */
            off += in;
            uint64_t r = len - in;
            if (volume_bytes - off < r)
                r = volume_bytes - off;
            *volume_offset = off;
            *run = r;
            return true;
        }
        base += len;
    }
    return false;
}

extern "C" VARN_EXPORT int32_t hfsxx_readwirtelogfile(hfsp_file_list_Journal *record, void *buffer,
                                                      uint32_t length, int last)
{
    if (!record || !buffer || !g_hfsp.m_stHfs_vh)
        return -1;
    if (record != g_hfsp.m_rwinfo) {
        g_hfsp.m_rwinfo = record;
        g_hfsp.FileOffset = 0;
    }
    uint8_t *out = static_cast<uint8_t *>(buffer);
    uint32_t done = 0;
    while (done < length) {
        uint64_t off, run;
        /* A position no stored extent covers is never read from anywhere
         * else: the caller gets what came before it, and zeros. */
        if (!hfsp_map_position(record, g_hfsp.FileOffset + done, g_hfsp.m_stHfs_vh->blockSize,
                               g_hfsp.volumeBytes, &off, &run))
            break;
        uint32_t n = run < (uint64_t)(length - done) ? (uint32_t)run : length - done;
        int32_t got = hfsp_device_read(out + done, n, off);
        if (got > 0)
            done += (uint32_t)got;
        if (got != (int32_t)n)
            break;
    }
    memset(out + done, 0, length - done);
    g_hfsp.FileOffset += length;
    if (last) {
        g_hfsp.m_rwinfo = nullptr;
        g_hfsp.FileOffset = 0;
    }
    if (length == 0)
        return 0;
    return done ? (int32_t)done : -1;
}

/* ---- signature-engine records ---- */

typedef struct hfsp_deep_record {
    void *prev;
    char name[32];
    uint64_t size;
    uint64_t start;
    void *next;
} hfsp_deep_record;

extern "C" VARN_EXPORT void *hfsp_get_next(void *record)
{
    return record ? static_cast<hfsp_deep_record *>(record)->next : nullptr;
}

extern "C" VARN_EXPORT void *hfsp_get_pre(void *record)
{
    return record ? static_cast<hfsp_deep_record *>(record)->prev : nullptr;
}

extern "C" VARN_EXPORT char *hfsp_get_filename(void *record)
{
    return record ? static_cast<hfsp_deep_record *>(record)->name : nullptr;
}

extern "C" VARN_EXPORT uint64_t hfsp_get_filesize(void *record)
{
    return record ? static_cast<hfsp_deep_record *>(record)->size : 0;
}

extern "C" VARN_EXPORT uint64_t hfsp_get_startsec(void *record)
{
    return record ? static_cast<hfsp_deep_record *>(record)->start : UINT64_MAX;
}

extern "C" VARN_EXPORT int hfsp_readfile(void *record, int32_t *got, uint64_t *position, void *buffer)
{
    if (!record) {
        g_hfsp.m_Num = 0;
        return 0;
    }
    uint32_t bs = g_hfsp.m_stHfs_vh ? g_hfsp.m_stHfs_vh->blockSize : 0;
    if (!got || !position || !buffer || bs == 0)
        return 0;
    const hfsp_deep_record *r = static_cast<const hfsp_deep_record *>(record);
    if (g_hfsp.m_Num == 0) {
        g_hfsp.m_Num = r->size;
        if (*position == 0)
            *position = r->start;
    }
    if (g_hfsp.m_Num > bs) {
        if (hfsp_device_read(buffer, bs, *position) != (int32_t)bs)
            memset(buffer, 0, bs);
        *position += bs;
        g_hfsp.m_Num -= bs;
        *got = (int32_t)bs;
        return 1;
    }
    uint32_t n = (uint32_t)g_hfsp.m_Num;
    if (n && hfsp_device_read(buffer, n, *position) != (int32_t)n)
        memset(buffer, 0, n);
    g_hfsp.m_Num = 0;
    *got = 0;
    return 0;
}
