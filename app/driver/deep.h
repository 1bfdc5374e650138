// The deep scan (signature engine libsennet) as a driver backend.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "scan.h"

namespace salvitra {

// The recovery writer of deep-scan files: reads the record through the
// engine in chunks of the partition's allocation unit (1024 bytes when that
// is unknown) and rewinds the engine's read cursor afterwards.  part is the
// record the scan ran over (partition, range copy or whole device).
WriteResult HeadRecovery(Partiton_Struct *part, void *record, const WriteDest &dest,
                         WriteStats &stats, const std::function<bool()> &gate = {});

// The content search as a backend, with a watch that sees every window
// of the medium the engine reads (offset from the start of the scanned
// record, bytes, count), in order: other searches ride on its one pass.
using WindowWatch = std::function<void(uint64_t offset, const uint8_t *data, uint32_t length)>;
std::unique_ptr<ScanBackend> makeContentBackend(const ScanRequest &req, WindowWatch watch);

// The chunk length HeadRecovery uses for a record.
uint32_t deepChunkLength(const Partiton_Struct *part);

// Output name of the index-th file of a type: "<index>.<type>" in folder "<type>".
std::string deepFileName(uint32_t index, const std::string &type);

// Every type name the deep scan can report ("jpg", "png", ...), sorted.
std::vector<std::string> deepTypeNames();

// The names of `wanted` the deep scan does not know (compared without
// regard to case); empty when every name is known.
std::vector<std::string> unknownDeepTypes(const std::vector<std::string> &wanted);

}  // namespace salvitra
