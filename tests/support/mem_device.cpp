#include "mem_device.h"

#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace svt {

MemDevice::MemDevice(std::vector<uint8_t> bytes, int32_t sectorSize) : bytes_(std::move(bytes))
{
    ops_.ops.read = readOp;
    ops_.ops.write = writeOp;
    ops_.ops.clean = cleanOp;
    ops_.self = this;
    dev_.Fd = -1;
    dev_.SectorSize = sectorSize;
    dev_.DiskSize = bytes_.size();
    dev_.Heads = 1;
    dev_.SectorsPerTrack = 1;
    dev_.Cache = &cache_;
    dev_.Ops = &ops_.ops;
}

MemDevice::~MemDevice()
{
    for (auto *p : parts_) {
        free(p->BootData);
        free(p);
    }
    for (auto *c : copies_)
        free(c);
}

MemDevice *MemDevice::owner(Physics_Device_Struct *dev)
{
    return reinterpret_cast<MemDevice::OwnedOps *>(dev->Ops)->self;
}

int32_t MemDevice::readOp(Physics_Device_Struct *dev, void *dst, uint32_t length, uint64_t offset)
{
    MemDevice *m = owner(dev);
    if (dev->OwnerPartition && dev->OwnerPartition->AccessMode == '?')
        offset += dev->OwnerPartition->PartOffset;
    memset(dst, 0, length);
    if (m->delayUs)
        usleep(m->delayUs);
    if (m->onRead)
        m->onRead(m->reads.load());
    if (m->failAfterReads >= 0 && m->reads >= m->failAfterReads)
        return -1;
    m->reads++;
    uint64_t end = offset + length;
    if (offset < m->failTo && end > m->failFrom)
        return -1;
    uint64_t avail = offset < m->bytes_.size() ? m->bytes_.size() - offset : 0;
    uint64_t n = length < avail ? length : avail;
    if (m->shortFrom >= offset && m->shortFrom < end && m->shortFrom - offset < n)
        n = m->shortFrom - offset;
    if (n == 0)
        return -1;
    memcpy(dst, m->bytes_.data() + offset, n);
    m->bytesRead += n;
    return (int32_t)n;
}

int32_t MemDevice::writeOp(Physics_Device_Struct *, const void *, uint32_t, uint64_t)
{
    return -1;  // test devices are read-only, like every scanned medium
}

int32_t MemDevice::cleanOp(Physics_Device_Struct *)
{
    return 0;
}

Partiton_Struct *MemDevice::partition(uint64_t offset, uint64_t size, int fsType)
{
    auto *p = static_cast<Partiton_Struct *>(calloc(1, sizeof(Partiton_Struct)));
    p->PartOffset = offset;
    p->PartSize = size;
    p->FsType = fsType;
    p->AccessMode = '?';
    auto *copy = static_cast<Physics_Device_Struct *>(malloc(sizeof(Physics_Device_Struct)));
    *copy = dev_;
    copy->OwnerPartition = p;
    p->Device = copy;
    p->BootData = static_cast<uint8_t *>(calloc(1, 4096));
    if (offset < bytes_.size())
        memcpy(p->BootData, bytes_.data() + offset, std::min<size_t>(4096, bytes_.size() - offset));
    parts_.push_back(p);
    copies_.push_back(copy);
    return p;
}

}  // namespace svt
