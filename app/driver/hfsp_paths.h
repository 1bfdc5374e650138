// HFS+ names, times and folder paths as the front ends show them.  Plain
// data in, plain data out: no device and no scanner library needed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace salvitra {

// Seconds since 1904-01-01 UTC (HFS+ catalog dates) as seconds since the
// Unix epoch; 0, a date that was never set, gives -1.
int64_t hfsTimeToUnix(uint32_t hfsTime);

// A catalog name (UTF-16 units in host order) as UTF-8, the way macOS shows
// it in paths: '/' becomes ':', NUL becomes U+2400, an unpaired surrogate
// becomes U+FFFD.
std::string hfsNameToUtf8(const uint16_t *units, size_t count);

// Folder paths from folder records (CNID, parent CNID, name).  The root
// folder (CNID 2) and its parent (1) are the top; a folder whose record was
// not found, or a loop of parents, ends the path in "Unknown folder N".
class HfsFolderPaths {
public:
    // The first record of a CNID wins, as in the scanner's lists.
    void addFolder(uint32_t cnid, uint32_t parent, const std::string &name);
    // The '/'-separated path of folder cnid inside the volume ("" for the root).
    std::string path(uint32_t cnid);
    size_t size() const { return folders_.size(); }

private:
    struct Folder {
        uint32_t parent;
        std::string name;
    };
    std::unordered_map<uint32_t, Folder> folders_;
    std::unordered_map<uint32_t, std::string> memo_;
};

}  // namespace salvitra
