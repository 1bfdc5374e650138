// The HFS+ writer, for the recovery loop and the preview extraction.
#pragma once

#if SALVITRA_HAVE_VARN

#include <functional>
#include <string>

#include "scan.h"
#include "varn.h"

namespace salvitra {

// Streams record's data fork (DataSize bytes, one allocation block per
// read) into a new file at path; never overwrites.  Positions the record's
// extents do not cover are written as zeros and counted in stats.
WriteResult DelHfspRecovery(file_info *record, const WriteDest &dest, WriteStats &stats,
                            const std::function<bool()> &gate = {});

}  // namespace salvitra

#endif
