// A medium whose reads fail at chosen places, as a file: nbdkit serves an
// image through its ddrescue filter (which fails every read of an area its
// map does not mark finished) and nbdfuse shows it as a file.  Reads that
// bypass the cache fail sector by sector; buffered reads fail by page.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace svt {

class NbdMedium {
public:
    // bad: byte ranges [start, end) whose reads fail.
    NbdMedium(const std::string &image, const std::vector<std::pair<uint64_t, uint64_t>> &bad);
    ~NbdMedium();  // stops nbdfuse by its process id (it takes nbdkit along)
    NbdMedium(const NbdMedium &) = delete;
    NbdMedium &operator=(const NbdMedium &) = delete;

    // False when the medium could not be set up (no FUSE here, a tool
    // missing): why() says why, for the skip.
    bool ok() const { return pid_ > 0; }
    const std::string &why() const { return why_; }
    const std::string &path() const { return path_; }

private:
    TempDir dir_;
    std::string path_;
    std::string why_;
    int pid_ = -1;
};

}  // namespace svt
