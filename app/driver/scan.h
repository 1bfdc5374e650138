// The driver's scan interface in one include: found files, jobs, the
// backend table, and the chunked copy every writer shares.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "backends.h"
#include "found_file.h"
#include "job.h"
#include "output_dir.h"

namespace salvitra {

// Chunked copy shared by every writer: into the file the recovery opened
// for it (dest.target: no links followed, free space checked, written as
// NAME.partial until whole, at most its limit) or into a new file at
// dest.path.  For each chunk it passes the gate (which blocks while the
// job is paused and returns false once it is stopped), clears the buffer
// and asks read for the file's next piece (see PieceReader).  What cannot
// be read is never stale bytes: it is recorded in stats (stretches, bytes)
// and written as zeros only where readable data follows.  A stop inside
// the file ends the copy within one chunk: the result is Stopped and
// stats.incomplete is set.  A file with stretches that could not be read
// is Damaged.
WriteResult writeChunks(const WriteDest &dest, uint64_t size, uint32_t chunk, const PieceReader &read,
                        WriteStats &stats, const std::function<bool()> &gate = {});

}  // namespace salvitra
