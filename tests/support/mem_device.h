// Devices behind the operations table for tests: one serving reads from a
// byte vector, and a faulty one that fails or reads short where told.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "merrow.h"

namespace svt {

class MemDevice {
public:
    explicit MemDevice(std::vector<uint8_t> bytes, int32_t sectorSize = 512);
    ~MemDevice();
    MemDevice(const MemDevice &) = delete;
    MemDevice &operator=(const MemDevice &) = delete;

    Physics_Device_Struct *dev() { return &dev_; }
    std::vector<uint8_t> &bytes() { return bytes_; }

    // Faults: reads touching [failFrom, failTo) fail (-1, zero-filled);
    // reads after failAfterReads successful ones fail; reads touching
    // shortFrom deliver only the bytes before it.
    uint64_t failFrom = UINT64_MAX, failTo = UINT64_MAX;
    uint64_t shortFrom = UINT64_MAX;
    int64_t failAfterReads = -1;
    std::atomic<int64_t> reads{0};
    std::atomic<uint64_t> bytesRead{0};  // bytes the successful reads delivered

    // A slow device: every read first sleeps delayUs and calls onRead with
    // the number of reads before it (0 for the first), on the reading
    // thread.  onRead may block, to hold the reader where a test wants it.
    uint32_t delayUs = 0;
    std::function<void(int64_t)> onRead;

    // A partition record reading through this device (partition-relative
    // when offset is non-zero: a private device copy, as the core builds).
    Partiton_Struct *partition(uint64_t offset, uint64_t size, int fsType);

private:
    static MemDevice *owner(Physics_Device_Struct *dev);
    static int32_t readOp(Physics_Device_Struct *dev, void *dst, uint32_t length, uint64_t offset);
    static int32_t writeOp(Physics_Device_Struct *dev, const void *src, uint32_t length, uint64_t offset);
    static int32_t cleanOp(Physics_Device_Struct *dev);

    std::vector<uint8_t> bytes_;
    Physics_Device_Struct dev_{};
    ReadCache cache_{};
    // The table a record points at, followed by its owner, so that the
    // operations find their MemDevice from the record alone.
    struct OwnedOps {
        DeviceOps ops;
        MemDevice *self;
    } ops_{};
    std::vector<Partiton_Struct *> parts_;
    std::vector<Physics_Device_Struct *> copies_;
};

}  // namespace svt
