// Sizes, dates, durations and a job's progress as a person reads them.
// Plain text, no toolkit: the window and the command line share them.
#pragma once

#include <cstdint>
#include <string>

namespace salvitra {

struct Progress;

// Three significant digits in units of 1024, as the size search counts
// them: "18.1 KB", "33.0 MB", "1.20 GB", "512 KB", "0.98 KB"; below 1000
// the bytes themselves ("0 bytes", "1 byte", "999 bytes").
std::string readableSize(uint64_t bytes);
// The exact count with thousands separators: "18,569 bytes", "1 byte".
std::string exactBytes(uint64_t bytes);
// Seconds since the epoch as local date and time in the short form of the
// LC_TIME locale, always with the whole year ("06/15/2021 10:20 AM";
// "2021-06-15 10:20" in the C locale); "" when unknown (t < 0) or out of
// range.
std::string dateText(int64_t t);
// "about 30 s left", "about 4 min left", "about 2 h 5 min left"; "" when
// unknown (seconds < 0).
std::string timeLeftText(double seconds);
// "7 files found", "1 file found".
std::string filesFoundText(uint64_t files);
// What a running scan has done, each part only when it is known:
// "12.3 GB of 48.0 GB · 1.20 GB/s · about 30 s left · 7 files found".
std::string scanProgressText(const Progress &p);

}  // namespace salvitra
