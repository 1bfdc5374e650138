// What each /dev/diskN slot stands for right now, and whether this user may
// read it: a front end lists unreadable media with the reason instead of
// letting them vanish, and adds image files beside the probed media.
#pragma once

#include <string>
#include <vector>

namespace salvitra {

struct DiskSlot {
    int devNum = 0;
    std::string path;     // what /dev/diskN resolves to
    bool readable = false;
    std::string reason;   // why it cannot be read ("Permission denied", ...)
};

// The slots the usual probe (stand-in folder or the machine's disks) fills,
// ignoring any image list a front end set.
std::vector<DiskSlot> probeDiskSlots();

// Image list for Inventory::build that keeps every readable probed medium
// in front and adds the given images after it (each path once, at most 20
// in all).  Empty when no image is given: the usual probe then applies.
std::vector<std::string> slotsWithImages(const std::vector<std::string> &images);

}  // namespace salvitra
