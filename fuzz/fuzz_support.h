// Fuzz inputs as disk images: the bytes are written to a temporary image
// file that stands in for /dev/disk0, so the real device layer reads them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "merrow.h"

namespace svf {

class ImageFile {
public:
    ImageFile(const uint8_t *data, size_t size);
    ~ImageFile();
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// Watches a device's reads while a harness reads back the files a scanner
// listed: a read that starts at or past the end of the medium means the
// scanner handed out a run outside it, and ends the run (abort).  One watch
// at a time; the device's operations are restored when it goes.
class ReadWatch {
public:
    ReadWatch(Physics_Device_Struct *dev, uint64_t mediumSize);
    ~ReadWatch();
    void arm(bool on) { armed_ = on; }
    // Aborts when a file is listed larger than the medium it was found on
    // (after the checks the scanners make, before any cap of the writer).
    void checkSize(uint64_t size) const;

private:
    static int32_t read(Physics_Device_Struct *dev, void *buf, uint32_t len, uint64_t off);
    Physics_Device_Struct *dev_;
    DeviceOps *orig_;
    DeviceOps ops_{};
    uint64_t size_;
    bool armed_ = false;
};

}  // namespace svf
