// Fuzz inputs as disk images: the bytes are written to a temporary image
// file that stands in for /dev/disk0, so the real device layer reads them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace svf {

class ImageFile {
public:
    ImageFile(const uint8_t *data, size_t size);
    ~ImageFile();
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

}  // namespace svf
