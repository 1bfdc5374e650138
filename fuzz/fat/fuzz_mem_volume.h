// A fuzz input as a FAT partition: byte 0 picks the type (FAT12, FAT16,
// FAT32; low seven bits modulo 3), the rest is the volume, served from
// memory through the device operations table.  With bit 7 of byte 0 set the
// partition is 1 GiB and reads past the input give zeros, so that small
// inputs can stand for volumes of many clusters.
#pragma once

#include <cstdint>
#include <cstring>

#include "merrow.h"

namespace svf {

class MemVolume {
public:
    // allowSparse false: bit 7 of byte 0 means nothing (for searches that
    // read the whole partition).
    MemVolume(const uint8_t *data, size_t size, bool allowSparse = true)
    {
        type_ = size ? FS_FAT12 + (data[0] & 0x7F) % 3 : FS_FAT12;
        sparse_ = allowSparse && size && (data[0] & 0x80);
        data_ = size ? data + 1 : data;
        size_ = size ? size - 1 : 0;
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
        part_.PartSize = sparse_ ? (1ull << 30) : size_;
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
            return v->sparse_ ? (int32_t)len : -1;
        uint64_t n = v->size_ - off < len ? v->size_ - off : len;
        memcpy(dst, v->data_ + off, n);
        return v->sparse_ ? (int32_t)len : (int32_t)n;
    }
    struct Owned {
        DeviceOps ops;
        MemVolume *self;
    } ops_{};
    const uint8_t *data_;
    size_t size_;
    int32_t type_;
    bool sparse_ = false;
    Physics_Device_Struct dev_{};
    Partiton_Struct part_{};
    uint8_t boot_[512] = {};
};

}  // namespace svf
