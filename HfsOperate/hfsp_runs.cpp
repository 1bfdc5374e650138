/*
 * Where found files' data lies, and what the present volume uses: the
 * merged deep scan matches the files it finds by content with the files
 * named here, and checks whether their data is still free.
 */
#include "varn_i.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kAllocWindow = 64 * 1024;

/* Byte pos of the allocation file into the window; false when no stored
 * extent of it covers pos or the read fails. */
bool alloc_byte(uint64_t pos, uint8_t *out)
{
    hfsp_state &s = g_hfsp;
    const hfsp_volume *v = s.m_stHfs_vh;
    if (s.allocBitsLen && pos >= s.allocBitsAt && pos - s.allocBitsAt < s.allocBitsLen) {
        *out = s.allocBits[pos - s.allocBitsAt];
        return true;
    }
    const hfsp_fork &f = v->allocationFile;
    uint64_t base = 0;
    for (int i = 0; i < HFSP_FORK_EXTENTS && f.blockCount[i]; i++) {
        uint64_t len = (uint64_t)f.blockCount[i] * v->blockSize;
        if (pos - base < len) {
            uint64_t in = pos - base;
            uint64_t from = in - in % kAllocWindow;
            uint32_t n = len - from < kAllocWindow ? (uint32_t)(len - from) : kAllocWindow;
            if (!s.allocBits)
                s.allocBits = static_cast<uint8_t *>(MALLOC(kAllocWindow));
            s.allocBitsLen = 0;
            if (hfsp_device_read(s.allocBits, n, (uint64_t)f.startBlock[i] * v->blockSize + from) != (int32_t)n)
                return false;
            s.allocBitsAt = base + from;
            s.allocBitsLen = n;
            *out = s.allocBits[in - from];
            return true;
        }
        base += len;
    }
    return false;
}

}  // namespace

extern "C" VARN_EXPORT int hfsp_file_runs(const hfsp_file_list_Journal *record, Salvitra_RunFn fn, void *context)
{
    const hfsp_volume *v = g_hfsp.m_stHfs_vh;
    if (!record || !fn || !v)
        return 0;
    const hfsp_extent *ext = hfsp_data_extents(record);
    const uint64_t size = record->DataSize, bs = v->blockSize;
    uint64_t pos = 0;
    for (int i = 0; ext && i < HFSP_FORK_EXTENTS && pos < size; i++) {
        uint32_t start = __builtin_bswap32(ext[i].startBlock);
        uint32_t count = __builtin_bswap32(ext[i].blockCount);
        if (count == 0)
            break;
        uint64_t len = (uint64_t)count * bs, off = (uint64_t)start * bs;
        if (len > size - pos)
            len = size - pos;
        /* An extent that points outside the volume is never read. */
        if (off >= g_hfsp.volumeBytes || g_hfsp.volumeBytes - off < len)
            break;
        fn(context, off, len);
        pos += len;
    }
    if (pos < size)
        fn(context, SV_RUN_LOST, size - pos);
    return 1;
}

extern "C" VARN_EXPORT int hfsp_in_use(uint64_t offset, uint64_t length)
{
    const hfsp_volume *v = g_hfsp.m_stHfs_vh;
    if (!v || length == 0 || !v->allocationFile.blockCount[0])
        return 0;
    const uint64_t bs = v->blockSize;
    const uint64_t end = UINT64_MAX - offset < length ? UINT64_MAX : offset + length;
    uint64_t first = offset / bs, last = (end - 1) / bs;
    int out = 0;
    if (first >= v->totalBlocks)
        return SV_ALLOC_FREE;  /* past the volume's blocks */
    if (last >= v->totalBlocks) {
        out |= SV_ALLOC_FREE;
        last = v->totalBlocks - 1;
    }
    /* One bit per block, the first block in the high bit of byte 0. */
    for (uint64_t b = first; b <= last && out != (SV_ALLOC_FREE | SV_ALLOC_USED); b++) {
        uint8_t byte;
        if (!alloc_byte(b / 8, &byte))
            return out;
        out |= (byte >> (7 - b % 8)) & 1 ? SV_ALLOC_USED : SV_ALLOC_FREE;
    }
    return out;
}
