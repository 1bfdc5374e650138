#include "disk_slots.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
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
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            s.readable = true;
            close(fd);
        } else {
            s.reason = strerror(errno);
        }
        out.push_back(s);
    }
    return out;
}

std::vector<std::string> slotsWithImages(const std::vector<std::string> &images)
{
    std::vector<std::string> out;
    if (images.empty())
        return out;
    for (const DiskSlot &s : probeDiskSlots())
        if (s.readable)
            out.push_back(s.path);
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
