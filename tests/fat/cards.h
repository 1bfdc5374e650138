// Memory cards of a real size (tests/fixtures/cards.sh: 16 GiB sparse
// images with tens of MiB in use): a quick scan through the driver, then a
// recovery of everything compared with the fixture's ground truth.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace fatt {

// Scans IMAGE of the cards fixture as fsType and recovers every file; each
// file of the truth must be listed under rename(path) in its state (exact:
// deleted, unverified) with its size and come back byte for byte, and
// nothing else may be listed.  Skips when the fixture could not make the
// image (the reason is in SKIP_<name>).
void expectCardComesBack(const std::string &image, int32_t fsType,
                         const std::function<std::string(std::string)> &rename);

}  // namespace fatt
