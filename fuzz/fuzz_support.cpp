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

namespace {
ReadWatch *g_watch = nullptr;
}

ReadWatch::ReadWatch(Physics_Device_Struct *dev, uint64_t mediumSize)
    : dev_(dev), orig_(dev ? dev->Ops : nullptr), size_(mediumSize)
{
    if (!dev_ || !orig_ || g_watch)
        abort();
    ops_ = *orig_;
    ops_.read = read;
    dev_->Ops = &ops_;
    g_watch = this;
}

ReadWatch::~ReadWatch()
{
    dev_->Ops = orig_;
    g_watch = nullptr;
}

void ReadWatch::checkSize(uint64_t size) const
{
    if (size > size_)
        abort();
}

int32_t ReadWatch::read(Physics_Device_Struct *dev, void *buf, uint32_t len, uint64_t off)
{
    ReadWatch *w = g_watch;
    if (w->armed_ && len && off >= w->size_)
        abort(); // file data looked for outside the medium
    // Some devices find themselves through their operations table: give it
    // back for the read (the fuzzers run on one thread).
    DeviceOps *watched = dev->Ops;
    dev->Ops = w->orig_;
    int32_t got = w->orig_->read(dev, buf, len, off);
    dev->Ops = watched;
    return got;
}

ImageFile::~ImageFile()
{
    unlink(path_.c_str());
}

}  // namespace svf
