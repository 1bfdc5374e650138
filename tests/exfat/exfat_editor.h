// A minimal exFAT image editor for the tests: writes entry sets, FAT
// entries, bitmap bits and cluster data into an image made by mkfs.exfat,
// to build the damage no driver leaves behind.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace exft {

struct SetSpec {
    std::u16string name;
    uint32_t firstCluster = 0;
    uint64_t dataLength = 0;
    uint64_t validLength = UINT64_MAX;  // default: dataLength
    bool noFatChain = true;
    bool directory = false;
    bool deleted = true;
    uint32_t modified = 0x52CF3D88;     // 2021-06-15 07:44:16 (a timestamp as stored)
    uint8_t modified10ms = 0;
    uint8_t modifiedUtc = 0x80;         // offset valid, UTC
};

class Editor {
public:
    explicit Editor(std::vector<uint8_t> &img);
    uint32_t clusterSize() const { return cs_; }
    uint32_t clusterCount() const { return count_; }
    uint32_t rootCluster() const { return root_; }
    uint64_t clusterOffset(uint32_t c) const { return heap_ + (uint64_t)(c - 2) * cs_; }
    uint64_t bitmapLengthOffset() const { return bitmapEntry_ + 24; }

    uint32_t fat(uint32_t c) const;
    void setFat(uint32_t c, uint32_t v);
    bool inUse(uint32_t c) const;
    void setInUse(uint32_t c, bool used);
    // First run of n free clusters, marked in use when take (0: none).
    uint32_t findFree(uint32_t n, bool take);
    void writeCluster(uint32_t c, const std::vector<uint8_t> &data, size_t from = 0);
    // Writes the set at the first free slot of the folder starting at dir
    // (one cluster folders only); returns the entry offset.
    uint64_t addSet(uint32_t dir, const SetSpec &set);
    // Raw entries at the first free slot of dir (count x 32 bytes).
    uint64_t addRaw(uint32_t dir, const std::vector<uint8_t> &entries);
    static std::vector<uint8_t> buildSet(const SetSpec &set);
    static uint16_t setChecksum(const uint8_t *e, size_t count);
    // Recomputes the main boot region's checksum sector.
    void fixBootChecksum(uint64_t regionOffset = 0);

private:
    std::vector<uint8_t> &img_;
    uint32_t bps_ = 0, cs_ = 0, count_ = 0, root_ = 0, bitmapCluster_ = 0;
    uint64_t fatOff_ = 0, heap_ = 0, bitmapEntry_ = 0;
};

}  // namespace exft
