// Fuzz inputs as ext volumes: the bytes become an image file standing in
// for /dev/disk0, and a partition record covers the whole of it, read
// partition-relative as the partition list sets it up.
#pragma once

#include "fuzz_support.h"
#include "merrow.h"

namespace svf {

class ImagePartition {
public:
    ImagePartition(const uint8_t *data, size_t size, int fsType) : img_(data, size)
    {
        const char *paths[] = {img_.path().c_str()};
        Salvitra_SetDiskImages(paths, 1);
        FullDevStruct();
        if (!GlobPointer)
            return;
        auto *dev = static_cast<Physics_Device_Struct *>(GlobPointer->data);
        copy_ = *dev;
        copy_.OwnerPartition = &part_;
        part_.Device = &copy_;
        part_.PartSize = size;
        part_.FsType = fsType;
        part_.AccessMode = '?';
        ok_ = true;
    }
    ~ImagePartition()
    {
        FullDevStruct_exit();
        Salvitra_SetDiskImages(nullptr, 0);
    }
    Partiton_Struct *part() { return ok_ ? &part_ : nullptr; }

private:
    ImageFile img_;
    Physics_Device_Struct copy_{};
    Partiton_Struct part_{};
    bool ok_ = false;
};

}  // namespace svf
