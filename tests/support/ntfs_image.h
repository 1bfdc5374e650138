// Hand-built NTFS structures for what no tool makes on demand: damaged and
// hostile MFT records, run lists of any shape, and volumes with a very
// large MFT.  Everything is little-endian as on disk.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace svt {

// A run: first cluster (-1 for a sparse run) and length in clusters.
struct NtfsRun {
    int64_t lcn;
    uint64_t length;
};

// Encodes a run list (terminated) with the narrowest fields.
std::vector<uint8_t> ntfsEncodeRuns(const std::vector<NtfsRun> &runs);

// Builds one MFT record attribute by attribute.
class NtfsRecordBuilder {
public:
    explicit NtfsRecordBuilder(uint32_t size = 1024, uint32_t number = 0, uint16_t flags = 0, uint16_t seq = 1);

    NtfsRecordBuilder &fileName(const std::u16string &name, uint64_t parentRef, uint8_t nameSpace = 1,
                                uint64_t ctime = 132000000000000000ull, uint64_t dataSize = 0,
                                uint32_t fileFlags = 0x20);
    NtfsRecordBuilder &resident(uint32_t type, const std::vector<uint8_t> &value, const std::u16string &name = u"",
                                uint16_t id = 0);
    NtfsRecordBuilder &nonResident(uint32_t type, const std::vector<NtfsRun> &runs, uint64_t dataSize,
                                   uint32_t clusterSize, uint64_t lowestVcn = 0, const std::u16string &name = u"",
                                   uint16_t id = 0, uint64_t allocSize = UINT64_MAX, uint64_t highestVcn = UINT64_MAX);
    // Attribute list entries: (type, lowest VCN, MFT number holding it, attribute id).
    struct ListEntry {
        uint32_t type;
        uint64_t lowestVcn;
        uint64_t record;
        uint16_t id;
        std::u16string name;
    };
    NtfsRecordBuilder &attributeList(const std::vector<ListEntry> &entries);
    // Raw attribute bytes, appended as they are.
    NtfsRecordBuilder &raw(const std::vector<uint8_t> &bytes);
    NtfsRecordBuilder &baseRef(uint64_t ref);

    // The record with its end marker, and (unless told not to) the
    // update-sequence fixups applied as a disk holds them.
    std::vector<uint8_t> finish(bool fixups = true) const;
    uint32_t used() const { return (uint32_t)pos_; }

private:
    std::vector<uint8_t> rec_;
    size_t pos_;
    uint16_t nextId_ = 0;
};

// Applies (writes) update-sequence fixups to a record whose header is set.
void ntfsProtect(std::vector<uint8_t> &rec, uint16_t usn = 0x0001);

// A whole volume in memory: boot sector, an MFT of n records at mftLcn, and
// whatever clusters are written.  Record 0 ($MFT) is made by image().
class NtfsVolumeBuilder {
public:
    NtfsVolumeBuilder(uint32_t clusterSize, uint32_t recordSize, uint64_t clusters, uint64_t mftLcn,
                      uint64_t mftRecords, uint32_t sectorSize = 512);
    void setRecord(uint64_t n, const std::vector<uint8_t> &rec);
    void writeClusters(uint64_t lcn, const std::vector<uint8_t> &data);
    // Overrides the MFT's own run list (to fragment the MFT); default: one run.
    void setMftRuns(const std::vector<NtfsRun> &runs) { mftRuns_ = runs; }
    std::vector<uint8_t> &bytes() { return img_; }
    // Finishes record 0 and the boot sector and returns the image.
    const std::vector<uint8_t> &image();
    uint32_t clusterSize() const { return cs_; }
    uint32_t recordSize() const { return rs_; }
    uint64_t mftLcn() const { return mftLcn_; }

private:
    uint64_t recordOffset(uint64_t n) const;
    uint32_t cs_, rs_, ss_;
    uint64_t clusters_, mftLcn_, mftRecords_;
    std::vector<NtfsRun> mftRuns_;
    std::vector<uint8_t> img_;
};

}  // namespace svt
