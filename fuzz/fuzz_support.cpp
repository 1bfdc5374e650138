#include "fuzz_support.h"

#include <cstdlib>
#include <unistd.h>

namespace svf {

ImageFile::ImageFile(const uint8_t *data, size_t size)
{
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp ? tmp : "/tmp") + "/svfuzz.XXXXXX";
    int fd = mkstemp(tmpl.data());
    if (fd < 0)
        abort();
    size_t off = 0;
    while (off < size) {
        ssize_t n = write(fd, data + off, size - off);
        if (n <= 0)
            abort();
        off += (size_t)n;
    }
    close(fd);
    path_ = tmpl;
}

ImageFile::~ImageFile()
{
    unlink(path_.c_str());
}

}  // namespace svf
