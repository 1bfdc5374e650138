#include "medium.h"

#include <cerrno>
#include <cstdio>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace salvitra {

const char *const kMediumRemoved = "the medium was removed";

bool mediumRemoved(const Physics_Device_Struct *dev)
{
    if (!dev || dev->Fd < 0 || dev->DevPath[0] == '\0')
        return false;
    struct stat st;
    if (fstat(dev->Fd, &st) != 0)
        return errno == ENOTCONN || errno == EIO || errno == ENODEV || errno == ENXIO;
    if (S_ISREG(st.st_mode))
        return st.st_nlink == 0;
    if (!S_ISBLK(st.st_mode))
        return false;
    uint64_t bytes = 0;
    if (ioctl(dev->Fd, BLKGETSIZE64, &bytes) != 0)
        return errno == ENXIO || errno == ENODEV;
    if (bytes == 0)
        return true;  // a detached loop device, a reader without its card
    char sys[64];
    snprintf(sys, sizeof sys, "/sys/dev/block/%u:%u", major(st.st_rdev), minor(st.st_rdev));
    return access(sys, F_OK) != 0 && errno == ENOENT;
}

}  // namespace salvitra
