// The device and partition lists as the front ends see them.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <memory>
#include <string>
#include <vector>

#include "merrow.h"

namespace salvitra {

struct DeviceInfo {
    int devNum = 0;
    std::string name;        // vendor and model
    std::string path;        // the path actually opened
    uint64_t size = 0;
    int sectorSize = 0;
    Physics_Device_Struct *dev = nullptr;  // owned by libmerrow
};

struct PartitionInfo {
    int index = 0;           // position in the partition list (--partition N)
    int devNum = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
    int fsType = FS_UNKNOWN;
    std::string fsLabel;     // "FAT32", "NTFS", ... (trimmed tree label)
    std::string fsInfo;
    std::string volumeName;  // "Untitled" when the volume has none
    char accessMode = '?';
    // The device the partition is read through when another device record
    // carries exactly this partition (accessMode other than '?'), else -1.
    int viaDevNum = -1;
    bool bootable = false;   // boot indicator 0x80 in the MBR entry
    Partiton_Struct *part = nullptr;  // owned by libmerrow
};

// A table entry or bare-volume check that gave no partition, and why.
struct Rejection {
    int devNum = -1;
    uint64_t offset = 0;     // where the volume was looked for (bytes)
    std::string reason;
};

// Builds the core library's lists on construction and tears them down on
// destruction (partitions first).  One inventory exists at a time.
class Inventory {
public:
    Inventory() = default;
    ~Inventory();
    Inventory(const Inventory &) = delete;
    Inventory &operator=(const Inventory &) = delete;

    // images: stand-in image files for /dev/disk0.. (empty: the usual probe).
    // Fails when a named image cannot be opened; err then says why.
    bool build(const std::vector<std::string> &images, std::string *err);
    // Tears the lists down.  Refused (false) while a job holds the
    // inventory: the records are being read.
    bool teardown();

    // ---- holds and deferred rebuilds (hot-plug) ----
    // A job reading partition or device records holds the inventory from
    // its start until its release; hold() and unhold() are thread-safe.
    void hold();
    void unhold();
    int holders() const;
    enum class Rebuild { Done, Deferred, Failed };
    // Rebuilds the lists now when nobody holds them; otherwise remembers the
    // request and does it when the last holder lets go (on that thread),
    // then calls onRebuilt.  Every PartitionInfo/DeviceInfo record pointer
    // handed out before a rebuild is invalid after it.
    Rebuild requestRebuild(const std::vector<std::string> &images, std::string *err = nullptr);
    bool rebuildPending() const;
    void setOnRebuilt(std::function<void(bool ok, const std::string &err)> fn);
    bool built() const { return built_; }

    const std::vector<DeviceInfo> &devices() const { return devices_; }
    const std::vector<PartitionInfo> &partitions() const { return partitions_; }
    const std::vector<Rejection> &rejections() const { return rejections_; }
    const DeviceInfo *device(int devNum) const;
    const PartitionInfo *partition(int index) const;

    // A record covering a whole device (offset 0, the device's full size,
    // FsType 0, read through the device record itself), for deep scans of
    // media whose partitions are damaged or unknown.  Owned by the inventory.
    Partiton_Struct *wholeDevice(int devNum);
    // The device a partition record reads through (listed partitions, range
    // copies and whole-device records alike), or null.
    const DeviceInfo *deviceOf(const Partiton_Struct *part) const;

private:
    void snapshot();

    bool rebuildNow(const std::vector<std::string> &images, std::string *err);

    mutable std::mutex holdMu_;
    int holders_ = 0;
    bool pending_ = false;
    std::vector<std::string> pendingImages_;
    std::function<void(bool, const std::string &)> onRebuilt_;
    bool built_ = false;
    std::vector<DeviceInfo> devices_;
    std::vector<PartitionInfo> partitions_;
    std::vector<Rejection> rejections_;
    std::vector<std::unique_ptr<Partiton_Struct>> wholeDevices_;
};

// A disk-image format the device layer reads (the first is the plain raw
// image): its name ("EnCase Image"), file-name patterns ("*.E01 *.e01")
// and whether this build reads it.
struct ImageFormatInfo {
    std::string name;
    std::string patterns;
    bool readable = true;
};
std::vector<ImageFormatInfo> imageFormats();

// The byte offset on its device of byte 0 of what a partition record
// reads (listed partitions, range copies and whole-device records alike).
uint64_t deviceOffsetOf(const Partiton_Struct *part);

// The device tree's label for a file-system code, e.g. "  FAT32 ".
const char *fsTreeLabel(int fsType);
// The same label without its padding.
std::string fsShortLabel(int fsType);

}  // namespace salvitra
