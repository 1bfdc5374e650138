// What each /dev/diskN slot stands for right now: a front end that adds
// image files keeps every probed medium in front of them.
#pragma once

#include <string>
#include <vector>

namespace salvitra {

struct DiskSlot {
    int devNum = 0;
    std::string path;     // what /dev/diskN resolves to
};

// The slots the usual probe (stand-in folder or the machine's disks) fills,
// ignoring any image list a front end set.
std::vector<DiskSlot> probeDiskSlots();

// Image list for Inventory::build that keeps every probed medium in front
// (the list build opens them, or lists them with the reason) and adds the
// given images after it (each path once, at most 20 in all).  Empty when no
// image is given: the usual probe then applies.
std::vector<std::string> slotsWithImages(const std::vector<std::string> &images);

}  // namespace salvitra
