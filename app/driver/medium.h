// Whether the medium a scan reads is still there.
#pragma once

#include "merrow.h"

namespace salvitra {

// The reason a scan or a recovery gives when its medium went away.
extern const char *const kMediumRemoved;  // "the medium was removed"

// True when the device behind dev went away: an image file that was
// deleted or whose file system (FUSE) is gone, a loop device that was
// detached, a disk the kernel dropped (a card or stick pulled out).  A
// device that is there but fails to read is not removed.  Records that
// read through no file of the system (test devices) are never removed.
bool mediumRemoved(const Physics_Device_Struct *dev);

}  // namespace salvitra
