// Shared pieces of the NTFS tests: fixture volumes as partition records,
// their ground truth, and reading a found file back block by block.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "merrow.h"
#include "ntfs.h"
#include "test_support.h"

namespace svt {

// Runs a fixture script; when it left a SKIP note (no FUSE, no tools) the
// calling test is skipped with that note.
#define NTFS_FIXTURE_OR_SKIP(var, script)                         \
    std::string var = svt::fixture(script);                       \
    do {                                                          \
        std::string why_;                                         \
        if (svt::fixtureSkipped(var, &why_))                      \
            GTEST_SKIP() << "NTFS fixture unavailable: " << why_; \
    } while (0)

bool fixtureSkipped(const std::string &dir, std::string *why);

// A copy of a field of a packed record, for the test macros (which bind
// references, and a reference to an unaligned field is not allowed).
template <typename T>
T pk(T v)
{
    return v;
}

struct TruthEntry {
    std::string path;   // inside the volume, '/'-separated
    uint64_t size = 0;
    bool deleted = false;
};
// OUTDIR/<volume>.tsv
std::vector<TruthEntry> loadTruth(const std::string &tsv);
std::string baseName(const std::string &path);
std::string dirName(const std::string &path);

// A partition record over a whole device of the core's list, read
// partition-relative through a private device copy, as the core builds them.
class ImagePartition {
public:
    ImagePartition(Physics_Device_Struct *dev, uint64_t offset, uint64_t size, int fsType);
    ~ImagePartition();
    ImagePartition(const ImagePartition &) = delete;
    ImagePartition &operator=(const ImagePartition &) = delete;
    Partiton_Struct *part() { return &part_; }

private:
    Partiton_Struct part_{};
    Physics_Device_Struct copy_{};
};

// The name of a deleted-file record as UTF-8 (the whole name).
std::string recName(const NTFS_DEL_FILEINFO_t *r);
std::vector<uint16_t> recUnits(const NTFS_DEL_FILEINFO_t *r);

// Reads a file with a reader in the writer's pattern: whole blocks, then
// the remainder.  codes receives every return value.
using DataReader = std::function<int(uint64_t, void *, uint32_t)>;
std::vector<uint8_t> readBlocks(const DataReader &read, uint64_t mft, uint64_t size, uint32_t block,
                                std::vector<int> *codes = nullptr);

}  // namespace svt
