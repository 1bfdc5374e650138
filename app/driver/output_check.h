// The checks before a recovery, one path for both front ends: the output
// folder must not lie on the medium being scanned, and it must be
// writable.  The command line runs them before its scan; the window when
// the user has chosen the folder.
#pragma once

#include <string>

#include "job.h"
#include "output_dir.h"

namespace salvitra {

enum class OutputVerdict {
    Ok,               // opened and writable
    OnScannedMedium,  // on the medium being scanned: writing there can overwrite what is recovered
    NotWritable,      // cannot be created, opened or written
};

struct OutputCheck {
    OutputVerdict verdict = OutputVerdict::Ok;
    std::string why;  // what was found, in the system's words (empty for Ok)
    bool ok() const { return verdict == OutputVerdict::Ok; }
};

// 1. Whether dir lies on the medium at scannedDevice (outputOnScannedMedium;
//    decided before anything is created; skipped when scannedDevice is
//    empty, or when the user was asked and accepted: sameMediumAccepted).
// 2. Opens dir into out, creating it and its missing parents, and writes
//    and removes a probe file (OutputDir::open, checkWritable).
// Pass `out` on to the recovery (RecoverOptions::output).
OutputCheck prepareRecoveryOutput(const std::string &dir, const std::string &scannedDevice, OutputDir &out,
                                  bool sameMediumAccepted = false);

// The path of the device the job scans, as its inventory lists it ("" when
// the request names no inventory or the device is not in it).
std::string scannedDevicePath(const ScanJob &job);

}  // namespace salvitra
