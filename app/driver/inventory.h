// The device and partition lists as the front ends see them.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <memory>
#include <string>
#include <vector>

#include "device_access.h"
#include "merrow.h"
#include "volume_search.h"

namespace salvitra {

struct DeviceInfo {
    int devNum = 0;
    std::string name;        // vendor and model
    std::string path;        // the path actually opened
    uint64_t size = 0;
    int sectorSize = 0;
    Physics_Device_Struct *dev = nullptr;  // owned by libmerrow
    DriveFacts facts;        // what the disk service says (block devices)
    // "SanDisk Ultra USB 3.0 — 64.0 GB" where the disk service names the
    // drive, else the name above.
    std::string displayName;
};

// A /dev/diskN that stands for a device or image that could not be opened.
struct ClosedDevice {
    int devNum = 0;
    std::string path;        // what /dev/diskN resolves to
    int err = 0;             // errno of the direct open
    AccessState state = AccessState::Failed;
    std::string reason;      // one line: "Permission denied", "not authorized", ...
    DriveFacts facts;
    std::string displayName; // as DeviceInfo's, or the path
};

// A file system a partition can be scanned as.  An ambiguous partition
// (two file systems whose checks pass where it starts) has several.
struct FsChoice {
    int fsType = FS_UNKNOWN;
    std::string fsLabel;      // "EXT2", ...
    std::string volumeName;   // as PartitionInfo::volumeName
    uint64_t size = 0;
    Partiton_Struct *part = nullptr;  // owned by libmerrow
    bool accepted = true;     // its scanner library accepts the volume (or there is no quick scanner)
    std::string note;         // why it does not, when it does not
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
    // When the file system's header claims more than its partition or device
    // holds (size is then what can be read): the claim, and which ends first.
    uint64_t claimedSize = 0;
    bool cutByTable = false;
    std::string claimSource;  // "boot sector", "superblock", "volume header"
    Partiton_Struct *part = nullptr;  // owned by libmerrow; the chosen file system's record

    // ---- volumes the search found (no table lists them) ----
    bool found = false;
    uint32_t foundFlags = 0; // SV_VOL_*
    std::string foundHow;    // "found through its backup boot sector", "inside [2]", ...
    int within = -1;         // the partition it lies in or overlaps (index), or -1

    // ---- two file systems where the partition starts ----
    bool ambiguous = false;
    std::vector<FsChoice> choices;  // every file system whose checks pass; empty unless ambiguous
    int chosen = 0;                 // the one part, fsType, ... describe: the first one its scanner accepts
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
    // The devices of the last build that could not be opened.
    const std::vector<ClosedDevice> &closed() const { return closed_; }
    const DeviceInfo *device(int devNum) const;
    const PartitionInfo *partition(int index) const;

    // ---- the search for lost volumes ----
    // Lists the volumes of a finished search (VolumeSearchJob::result())
    // that no table lists and their scanners accept, as partitions after
    // the others, and keeps them through later rebuilds while the device
    // stays (same path and size).  Rebuilds the lists: every record pointer
    // handed out before is invalid after it.  Refused while held.
    bool addSearch(const SearchResult &result, std::string *err = nullptr);
    // The last search of a device, or null.
    const SearchResult *lastSearch(int devNum) const;
    // The device has no partitions, or space of 4 MiB or more no partition
    // covers, and no search has read it whole: a search may find more.
    bool hasUnlistedSpace(int devNum) const;

    // A record covering a whole device (offset 0, the device's full size,
    // FsType 0, read through the device record itself), for deep scans of
    // media whose partitions are damaged or unknown.  Owned by the inventory.
    Partiton_Struct *wholeDevice(int devNum);
    // The device a partition record reads through (listed partitions, range
    // copies and whole-device records alike), or null.
    const DeviceInfo *deviceOf(const Partiton_Struct *part) const;

private:
    void snapshot();
    void applySearches();
    void describeFound(PartitionInfo &info, size_t search, size_t volume) const;
    void noteChoices(PartitionInfo &info);

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
    std::vector<ClosedDevice> closed_;
    std::vector<std::unique_ptr<Partiton_Struct>> wholeDevices_;
    std::vector<std::string> images_;        // of the last build
    std::vector<SearchResult> searches_;     // kept through rebuilds
    struct FoundRecord {
        const Partiton_Struct *part;
        size_t search, volume;
    };
    std::vector<FoundRecord> foundRecords_;  // records made from searches_, this build
    // Scanner checks of ambiguous partitions: device path, offset, FsType.
    std::vector<std::pair<std::string, Status>> checks_;
};

// The choice of an ambiguous partition named by its file system ("ext2",
// "ntfs", "fat", ...; case ignored), or null.  A partition that is not
// ambiguous has one choice: its own file system.
const FsChoice *findChoice(const PartitionInfo &p, const std::string &fsName);
// The record to scan for a partition and a file-system name (empty: the
// chosen one); null with *why when the partition has no such file system.
Partiton_Struct *choiceRecord(const PartitionInfo &p, const std::string &fsName, std::string *why);
// "the boot sector claims 512 PiB; the device holds 32.0 MiB" for a volume
// cut to what can be read, else "".
std::string sizeClaimText(const PartitionInfo &p);
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
