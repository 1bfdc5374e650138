// Helpers of the FAT tests: images held in memory behind the device
// operations table, the fixtures' ground truth, a FAT image editor for the
// damage no tool makes, and SHA-256.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "merrow.h"
#include "test_support.h"

namespace fatt {

// A volume image served from memory: a partition record at offset 0 that
// reads through its own device record.  onRead runs before every read
// (for instance to request a stop after N reads).
class Volume {
public:
    Volume(std::vector<uint8_t> bytes, int32_t fsType);
    ~Volume();
    Volume(const Volume &) = delete;
    Volume &operator=(const Volume &) = delete;

    static std::unique_ptr<Volume> load(const std::string &path, int32_t fsType);

    Partiton_Struct *part() { return &part_; }
    std::vector<uint8_t> &bytes() { return bytes_; }
    // Refreshes BootData after the boot sector was edited.
    void syncBoot();

    uint64_t reads = 0;
    uint64_t failFrom = UINT64_MAX, failTo = UINT64_MAX;  // reads touching this range fail
    std::function<void(uint64_t reads)> onRead;

private:
    static int32_t readOp(Physics_Device_Struct *dev, void *dst, uint32_t length, uint64_t offset);
    static int32_t writeOp(Physics_Device_Struct *, const void *, uint32_t, uint64_t) { return -1; }
    static int32_t cleanOp(Physics_Device_Struct *) { return 0; }

    struct OwnedOps {
        DeviceOps ops;
        Volume *self;
    } ops_{};
    std::vector<uint8_t> bytes_;
    Physics_Device_Struct dev_{};
    Partiton_Struct part_{};
    uint8_t boot_[4096] = {};
};

// An image file read through the core library's real device layer (as
// /dev/disk0), with a partition record made by hand over the whole image.
class FileVolume {
public:
    FileVolume(const std::string &path, int32_t fsType);
    ~FileVolume();
    Partiton_Struct *part() { return &part_; }

private:
    std::unique_ptr<svt::ImageSet> set_;
    Physics_Device_Struct dev_{};
    Partiton_Struct part_{};
    uint8_t boot_[4096] = {};
};

struct Truth {
    std::string path;   // folder/name as the scan must report it
    uint64_t size = 0;
    std::string sha256;
    std::string state;  // exact, fragmented, overwritten, live
};
std::vector<Truth> readTruth(const std::string &fixtureDir);

std::string sha256Hex(const std::vector<uint8_t> &data);
// A whole file (large images read in one go, unlike svt::readFile).
std::vector<uint8_t> readAll(const std::string &path);

// Minimal view of a FAT image for building damage on purpose.
class FatEditor {
public:
    explicit FatEditor(std::vector<uint8_t> &img);
    int type() const { return type_; }  // 12, 16 or 32
    uint32_t clusterSize() const { return bps_ * spc_; }
    uint64_t clusterOffset(uint32_t c) const;
    uint32_t fatEntry(uint32_t c) const;
    void setFatEntry(uint32_t c, uint32_t v);  // every FAT copy
    // Byte offset of the 32-byte entry whose 11-byte short name is name83,
    // in the root (dirCluster 0) or the directory starting at dirCluster
    // (following its chain); includes deleted entries when the first byte
    // of name83 is '?'.  Returns 0 when not found.
    uint64_t findEntry(const std::string &name83, uint32_t dirCluster = 0) const;
    uint32_t entryCluster(uint64_t entryOff) const;
    void setEntryCluster(uint64_t entryOff, uint32_t c);
    uint32_t rootCluster() const { return rootCluster_; }
    uint64_t rootOffset() const { return rootOff_; }
    uint32_t rootEntries() const { return rootEntries_; }

private:
    std::vector<uint8_t> &img_;
    int type_ = 0;
    uint32_t bps_ = 0, spc_ = 0, reserved_ = 0, fats_ = 0, fatSectors_ = 0;
    uint32_t rootEntries_ = 0, rootCluster_ = 0;
    uint64_t rootOff_ = 0, dataOff_ = 0;
};

}  // namespace fatt
