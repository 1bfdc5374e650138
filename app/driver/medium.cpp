#include "medium.h"

namespace salvitra {

const char *const kMediumRemoved = "the medium was removed";

bool mediumRemoved(const Physics_Device_Struct *dev)
{
    // The core keeps the health of every descriptor it opened: what its
    // reads saw, and whether the file or device is still where it was.
    return dev && dev->DevPath[0] != '\0' && Salvitra_CheckMedium(dev) == 0;
}

}  // namespace salvitra
