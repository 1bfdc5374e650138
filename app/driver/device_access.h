// Access to the block devices of a desktop: who names them and who opens
// the ones this process may not open itself.
//
// The core library opens every device read-only on its own first (root and
// members of the disk group may).  When that is refused, it asks the device
// broker a front end installed: on a Linux desktop the disk service udisks2,
// which hands out a read-only descriptor once polkit has authorised the user
// (app/driver/udisks).  The broker also names the drives the way people know
// them (vendor, model, size, connection).  The front ends install one broker
// each at start; without one, devices that cannot be opened are listed with
// the reason.
#pragma once

#include <cstdint>
#include <string>

namespace salvitra {

// How the last attempt to open a device ended.
enum class AccessState {
    Open,           // opened (directly or through the broker)
    AuthNeeded,     // the user could be authorised, but was not asked
    NotAuthorized,  // refused by the system's policy
    Cancelled,      // the user dismissed the password prompt
    Denied,         // no permission, and nobody to ask (no disk service)
    Failed,         // any other error (gone, busy, no medium, ...)
};

// What the disk service knows of a block device and its drive.
struct DriveFacts {
    bool known = false;     // the service lists this device
    std::string vendor;     // "SanDisk"; often empty for ATA and NVMe disks
    std::string model;      // "Ultra USB 3.0"
    std::string serial;
    std::string bus;        // "usb", "sdio", "ata", "nvme", "ieee1394", ... or empty
    uint64_t size = 0;      // bytes of the block device (0: no medium)
    bool removable = false; // removable medium or drive
    bool system = false;    // a system device (opening it needs the system action)
    std::string backingFile;  // loop devices: the file behind them
};

// The outcome of asking the broker for a read-only descriptor.
struct OpenOutcome {
    int fd = -1;            // read-only, owned by the caller; -1 on failure
    AccessState state = AccessState::Failed;
    std::string why;        // one line, for the user
};

class DeviceBroker {
public:
    virtual ~DeviceBroker() = default;
    // Facts about the block device at path (a node, or a link to one).
    virtual bool describe(const std::string &path, DriveFacts *facts) = 0;
    // A read-only descriptor of the block device at path, for a process
    // that may not open it itself.  May ask the user when the broker was
    // made to (the command line in a terminal); never asks otherwise.
    virtual OpenOutcome open(const std::string &path) = 0;
};

// Installs the broker the core library asks for devices it may not open
// (null: none).  The broker must outlive every later list build.
void setDeviceBroker(DeviceBroker *broker);
DeviceBroker *deviceBroker();

// The outcome of the last broker call for path during the current list
// build, if there was one (Inventory reads it for devices that stayed shut).
bool lastOpenOutcome(const std::string &path, AccessState *state, std::string *why);
// Forgets the outcomes of the previous build.
void clearOpenOutcomes();

// The state of a device whose direct open failed with err and that no
// broker opened.
AccessState stateForError(int err);

// "64.0 GB": a drive's size as its maker states it (powers of 1000, one
// decimal).
std::string driveSizeText(uint64_t bytes);
// "SanDisk Ultra USB 3.0 — 64.0 GB": vendor and model (the vendor once,
// also when the model repeats it) and the size; a loop device by the name
// of its file; fallback (the core's name) when the service knows neither.
std::string driveDisplayName(const DriveFacts &facts, uint64_t size, const std::string &fallback);
// "USB", "SD card", "SATA", ... for a connection bus; empty when unknown.
std::string busText(const std::string &bus);

}  // namespace salvitra
