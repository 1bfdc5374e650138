// The exFAT scanner's side of the driver: record conversion and the writer.
#pragma once

#if SALVITRA_HAVE_HOLLIN

#include <cstdint>
#include <functional>
#include <string>

#include "hollin.h"
#include "scan.h"

namespace salvitra {

// A record's name as UTF-8 ('/' cannot be part of a name: shown as '_').
std::string exfatName(const tagExfatFile *rec);
// A timestamp as seconds since the epoch: UTC when the entry carried its
// offset, else the volume's local wall-clock time read as local time; -1
// when there is none.
int64_t exfatTime(const tagExfatTime &t);
// A FoundFile for a deleted file record (folder path from its parents).
FoundFile exfatFoundFile(tagExfatFile *rec);
// The bytes of a record's data that can be read back: its size (cut to the
// volume), or less when the free clusters a chain-less file is taken from
// run out before its end.
uint64_t exfatReadableSize(const tagExfatFile *rec, uint32_t clusterSize);
// Writes one found file to dest (never over an existing file), passing
// gate before every chunk.
WriteResult DelExfatRecovery(tagExfatFile *rec, const WriteDest &dest, WriteStats &stats,
                             const std::function<bool()> &gate = {});

}  // namespace salvitra

#endif  // SALVITRA_HAVE_HOLLIN
