// The driver's scan interface in one include: found files, jobs, the
// backend table, and the chunked copy every writer shares.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "backends.h"
#include "found_file.h"
#include "job.h"

namespace salvitra {

// Chunked copy shared by every writer: creates path exclusively, then for
// each chunk passes the gate (which blocks while the job is paused and
// returns false once it is stopped), clears the buffer, asks
// read(buffer, length) for the next piece and writes it.  A piece that
// cannot be read is written as zeros and counted, so a damaged sector never
// repeats stale bytes of the previous chunk.  read returns the number of
// bytes it delivered, or -1.  A stop inside the file ends the copy within
// one chunk: the result is Stopped and stats.incomplete is set.
WriteResult writeChunks(const std::string &path, uint64_t size, uint32_t chunk,
                        const std::function<int64_t(uint8_t *, uint32_t)> &read, WriteStats &stats,
                        const std::function<bool()> &gate = {});


}  // namespace salvitra
