#include "disk_slots.h"

#include <sys/stat.h>
#include <unistd.h>

#include "merrow.h"

namespace salvitra {

std::vector<DiskSlot> probeDiskSlots()
{
    std::vector<DiskSlot> out;
    Salvitra_SetDiskImages(nullptr, 0);
    for (int n = SV_DEV_FIRST; n <= SV_DEV_LAST; n++) {
        char path[4096];
        if (Salvitra_ResolveDiskPath((uint32_t)n, path, sizeof path) != 0 || !path[0])
            continue;
        DiskSlot s;
        s.devNum = n;
        s.path = path;
        out.push_back(s);
    }
    return out;
}

std::vector<std::string> slotsWithImages(const std::vector<std::string> &images)
{
    std::vector<std::string> out;
    if (images.empty())
        return out;
    // Block devices stay whatever their access (the build opens them or
    // lists why not); an image file the user cannot read would fail the
    // build of the named images, and is left out as the probe would.
    for (const DiskSlot &s : probeDiskSlots()) {
        struct stat sb;
        if (stat(s.path.c_str(), &sb) != 0)
            continue;
        if (S_ISBLK(sb.st_mode) || (S_ISREG(sb.st_mode) && access(s.path.c_str(), R_OK) == 0))
            out.push_back(s.path);
    }
    for (const std::string &img : images) {
        bool seen = false;
        for (const std::string &p : out)
            seen = seen || p == img;
        if (!seen && out.size() < (size_t)(SV_DEV_LAST + 1))
            out.push_back(img);
    }
    return out;
}

}  // namespace salvitra
