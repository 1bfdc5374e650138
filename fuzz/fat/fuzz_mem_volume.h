// A fuzz input as a partition served from memory through the device
// operations table.  Without a fixed type, byte 0 picks FAT12, FAT16 or
// FAT32 and the rest is the volume; with one, all of it is the volume.
#pragma once

#include <cstdint>
#include <cstring>

#include "merrow.h"

namespace svf {

class MemVolume {
public:
    MemVolume(const uint8_t *data, size_t size, int32_t fixedType = 0)
    {
        if (fixedType) {
            type_ = fixedType;
            data_ = data;
            size_ = size;
        } else {
            type_ = size ? FS_FAT12 + data[0] % 3 : FS_FAT12;
            data_ = size ? data + 1 : data;
            size_ = size ? size - 1 : 0;
        }
        ops_.ops.read = readOp;
        ops_.ops.write = [](Physics_Device_Struct *, const void *, uint32_t, uint64_t) -> int32_t { return -1; };
        ops_.ops.clean = [](Physics_Device_Struct *) -> int32_t { return 0; };
        ops_.self = this;
        dev_.SectorSize = 512;
        dev_.Fd = -1;
        dev_.Ops = &ops_.ops;
        dev_.OwnerPartition = &part_;
        memcpy(boot_, data_, size_ < sizeof boot_ ? size_ : sizeof boot_);
        part_.FsType = type_;
        part_.PartSize = size_;
        part_.AccessMode = '?';
        part_.Device = &dev_;
        part_.BootData = boot_;
    }
    Partiton_Struct *part() { return &part_; }

private:
    static int32_t readOp(Physics_Device_Struct *dev, void *dst, uint32_t len, uint64_t off)
    {
        MemVolume *v = reinterpret_cast<Owned *>(dev->Ops)->self;
        memset(dst, 0, len);
        if (off >= v->size_)
            return -1;
        uint64_t n = v->size_ - off < len ? v->size_ - off : len;
        memcpy(dst, v->data_ + off, n);
        return (int32_t)n;
    }
    struct Owned {
        DeviceOps ops;
        MemVolume *self;
    } ops_{};
    const uint8_t *data_;
    size_t size_;
    int32_t type_;
    Physics_Device_Struct dev_{};
    Partiton_Struct part_{};
    uint8_t boot_[512] = {};
};

}  // namespace svf
