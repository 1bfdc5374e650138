/*
 * Formatted search, phase 1: every 512-byte step of the partition is
 * tested for a directory's first cluster ("." then "..").
 */
#include "../polder_i.h"

#include <cstdlib>
#include <cstring>

namespace polder {

constexpr uint32_t kWindowSize = 0x80000;
constexpr uint32_t kMaxStarts = 1u << 22;
/* Share of the progress bar taken by the scan; the rebuild takes the rest. */
constexpr double kScanShare = 0.9;

static void add_start(FmtState &s, uint64_t sector, uint32_t cluster, uint32_t parent)
{
    if (s.nStarts >= kMaxStarts)
        return;
    if (s.nStarts == s.capStarts) {
        uint32_t cap = s.capStarts ? s.capStarts * 2 : 1024;
        auto *grown = static_cast<DirStart *>(MALLOC(sizeof(DirStart) * cap));
        if (s.nStarts)
            memcpy(grown, s.starts, sizeof(DirStart) * s.nStarts);
        free(s.starts);
        s.starts = grown;
        s.capStarts = cap;
    }
    s.starts[s.nStarts++] = DirStart{sector, cluster, parent};
    s.dirCount++;
}

void fmt_scan_bytes(FmtState &s, uint64_t off, const uint8_t *bytes, uint32_t len)
{
    // Every 512-byte step of the partition, whatever window it came in.
    uint32_t step = off % 512 ? (uint32_t)(512 - off % 512) : 0;
    for (; step < len && len - step >= 2 * kEntrySize; step += 512) {
        const uint8_t *p = bytes + step;
        uint8_t attr = p[11];
        if (!is_dot_entry(p) || !is_dotdot_entry(p + kEntrySize) || !(attr & 0x10) || attr > 0x3F)
            continue;
        uint32_t cluster = entry_cluster(p);
        if (cluster < 2)
            continue;  // names no cluster: not a directory's own "." entry
        add_start(s, (off + step) / 512, cluster, entry_cluster(p + kEntrySize));
    }
}

bool fmt_scan(FmtState &s)
{
    uint64_t size = s.pSize;
    for (uint64_t off = 0; off < size; off += kWindowSize) {
        if (fmt_stop_requested(s))
            return false;
        uint64_t left = size - off;
        uint32_t len = left < kWindowSize ? (uint32_t)left : kWindowSize;
        dev_read(s.part->Device, s.pSize, off, len, s.window);
        fmt_scan_bytes(s, off, s.window, len);
        progress_note(&s.progress, kScanShare * (double)(off + len) / (double)size);
    }
    return true;
}

}  // namespace polder
