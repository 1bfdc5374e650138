/*
 * Disk images in container formats: the table of readers, the choice of
 * reader for an opened file, and the operations table that reads through
 * it.  Each reader lives in a file of its own; this one only dispatches.
 */
#include "DiskImage.h"
#include "merrow_i.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

/* In the order they are tried: signatures first, names (split raw) last. */
const sv_image_format *const kFormats[] = {
    &sv_image_ewf, &sv_image_vhdx, &sv_image_vhd, &sv_image_vmdk, &sv_image_split,
};
constexpr size_t kFormatCount = sizeof kFormats / sizeof kFormats[0];

/* The name and patterns of a plain raw image, for the dialogs. */
const char *const kRawName = "Disk Image";
const char *const kRawPatterns = "*.img *.dd *.raw *.bin *.iso *.dmg";

/* One opened image: the reader behind the descriptor of a device record
 * (private partition copies share that descriptor, and so the reader). */
struct OpenImage {
    int fd = -1;
    const sv_image_format *format = nullptr;
    void *reader = nullptr;
    uint64_t size = 0;
    std::mutex mu; /* the readers keep a position and caches of their own */

    ~OpenImage()
    {
        if (reader)
            format->close(reader);
    }
};

struct Registry {
    std::mutex mu;
    std::vector<std::shared_ptr<OpenImage>> open;
    bool missing[kFormatCount] = {};
};

Registry &registry()
{
    static Registry r;
    return r;
}

std::shared_ptr<OpenImage> find_image(int fd)
{
    Registry &r = registry();
    std::lock_guard<std::mutex> l(r.mu);
    for (const auto &img : r.open)
        if (img->fd == fd)
            return img;
    return nullptr;
}

size_t format_index(const sv_image_format *fmt)
{
    for (size_t i = 0; i < kFormatCount; i++)
        if (kFormats[i] == fmt)
            return i;
    return kFormatCount;
}

bool built(const sv_image_format *fmt)
{
    size_t i = format_index(fmt);
    if (i == kFormatCount)
        return false;
    Registry &r = registry();
    std::lock_guard<std::mutex> l(r.mu);
    return fmt->built && !r.missing[i];
}

bool fill_probe(int fd, const char *path, sv_image_probe *p)
{
    memset(p, 0, sizeof *p);
    p->path = path;
    struct stat sb;
    if (fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode))
        return false;
    p->file_size = (uint64_t)sb.st_size;
    ssize_t n = pread(fd, p->head, sizeof p->head, 0);
    p->head_len = n > 0 ? (size_t)n : 0;
    if (p->file_size >= sizeof p->tail) {
        n = pread(fd, p->tail, sizeof p->tail, (off_t)(p->file_size - sizeof p->tail));
        p->tail_len = n == (ssize_t)sizeof p->tail ? sizeof p->tail : 0;
    }
    return true;
}

const sv_image_format *detect_fd(int fd, const char *path)
{
    sv_image_probe probe;
    if (!fill_probe(fd, path, &probe))
        return nullptr;
    for (const sv_image_format *fmt : kFormats)
        if (fmt->claims(&probe))
            return fmt;
    return nullptr;
}

/* Opens the image behind fd with its format's reader. */
std::shared_ptr<OpenImage> open_image(const sv_image_format *fmt, int fd, const char *path,
                                      uint32_t *sector_size, char *why, size_t why_len)
{
    if (!built(fmt)) {
        sv_image_not_built(fmt, why, why_len);
        return nullptr;
    }
    sv_image_geometry geom{};
    void *reader = fmt->open(path, &geom, why, why_len);
    if (!reader)
        return nullptr;
    auto img = std::make_shared<OpenImage>();
    img->fd = fd;
    img->format = fmt;
    img->reader = reader;
    img->size = geom.media_size;
    uint32_t ss = geom.sector_size;
    if (ss < 512 || ss > 65536 || (ss & (ss - 1)) != 0)
        ss = 512;
    *sector_size = ss;
    if (img->size == 0) {
        sv_image_why(why, why_len, "%s: the disk inside it is empty", fmt->name);
        return nullptr;
    }
    return img;
}

int32_t image_pwrite(Physics_Device_Struct *, const void *, uint32_t, uint64_t)
{
    return -1; /* images are only read */
}

int32_t image_pread(Physics_Device_Struct *dev, void *dst, uint32_t length, uint64_t offset)
{
    if (!dev || !dst)
        return -1;
    if (length == 0)
        return 0;
    memset(dst, 0, length);
    if (length > 0x7fffffffu)
        return -1;
    const Partiton_Struct *owner = dev->OwnerPartition;
    if (owner && owner->AccessMode == '?') {
        if (UINT64_MAX - offset < owner->PartOffset)
            return -1;
        offset += owner->PartOffset;
    }
    std::shared_ptr<OpenImage> img = find_image(dev->Fd);
    if (!img || offset >= img->size) {
        sv_read_watched(dev, offset, length, -1);
        return -1;
    }
    uint32_t want = img->size - offset < length ? (uint32_t)(img->size - offset) : length;
    auto *out = static_cast<uint8_t *>(dst);
    uint32_t got = 0;
    {
        std::lock_guard<std::mutex> l(img->mu);
        while (got < want) {
            int64_t n = img->format->read(img->reader, out + got, want - got, offset + got);
            if (n <= 0 || (uint64_t)n > want - got)
                break;
            got += (uint32_t)n;
        }
    }
    sv_read_watched(dev, offset, length, got ? (int32_t)got : -1);
    if (got == 0) {
        memset(dst, 0, length);
        return -1;
    }
    memset(out + got, 0, length - got);
    return (int32_t)got;
}

int32_t image_clean(Physics_Device_Struct *dev)
{
    Free_List(dev);
    return 0;
}

void copy_text(char *out, size_t out_len, const char *text)
{
    if (out && out_len)
        snprintf(out, out_len, "%s", text ? text : "");
}

} // namespace

DeviceOps Image_System = {image_pwrite, image_pread, image_clean};

void sv_image_why(char *why, size_t why_len, const char *fmt, ...)
{
    if (!why || !why_len)
        return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(why, why_len, fmt, ap);
    va_end(ap);
}

void sv_image_lib_why(char *why, size_t why_len, const char *name, const char *what, const char *text)
{
    std::string t = text ? text : "";
    size_t nl = t.find('\n');
    if (nl != std::string::npos)
        t.resize(nl);
    if (t.compare(0, 3, "lib") == 0 && t.find(": ") != std::string::npos && t.find(": ") < t.find(' '))
        t = t.substr(t.find(": ") + 2);
    while (!t.empty() && (t.back() == '.' || t.back() == ' '))
        t.pop_back();
    sv_image_why(why, why_len, "%s: %s%s%s", name, what, t.empty() ? "" : " (", t.empty() ? "" : (t + ")").c_str());
}

void *sv_image_not_built(const sv_image_format *fmt, char *why, size_t why_len)
{
    sv_image_why(why, why_len, "%s files cannot be opened: this build of Salvitra was made without %s, which reads them",
                 fmt->name, fmt->library ? fmt->library : "the library");
    return nullptr;
}

const sv_image_format *sv_image_detect(const char *path)
{
    int fd = path ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0)
        return nullptr;
    const sv_image_format *fmt = detect_fd(fd, path);
    close(fd);
    return fmt;
}

bool sv_image_attach(Physics_Device_Struct *dev, const char *path, char *why, size_t why_len)
{
    const sv_image_format *fmt = detect_fd(dev->Fd, path);
    if (!fmt)
        return true; /* a block device or a plain raw image */
    uint32_t ss = 512;
    std::shared_ptr<OpenImage> img = open_image(fmt, dev->Fd, path, &ss, why, why_len);
    if (!img) {
        sv_trace("%s: %s\n", path, why ? why : "");
        return false;
    }
    dev->DiskSize = img->size;
    dev->SectorSize = (int32_t)ss;
    dev->Ops = &Image_System;
    Registry &r = registry();
    std::lock_guard<std::mutex> l(r.mu);
    r.open.push_back(std::move(img));
    return true;
}

void sv_image_detach(Physics_Device_Struct *dev)
{
    if (!dev || dev->Ops != &Image_System)
        return;
    std::shared_ptr<OpenImage> gone;
    Registry &r = registry();
    std::lock_guard<std::mutex> l(r.mu);
    for (auto it = r.open.begin(); it != r.open.end(); ++it) {
        if ((*it)->fd == dev->Fd) {
            gone = std::move(*it); /* closed when the last reader lets go */
            r.open.erase(it);
            break;
        }
    }
}

const char *sv_image_format_name(const Physics_Device_Struct *dev)
{
    if (!dev || dev->Ops != &Image_System)
        return nullptr;
    std::shared_ptr<OpenImage> img = find_image(dev->Fd);
    return img ? img->format->name : nullptr;
}

void sv_image_pretend_missing(const sv_image_format *fmt, bool missing)
{
    size_t i = format_index(fmt);
    if (i == kFormatCount)
        return;
    Registry &r = registry();
    std::lock_guard<std::mutex> l(r.mu);
    r.missing[i] = missing;
}

extern "C" MERROW_EXPORT int Salvitra_CheckDiskImage(const char *path, char *format, size_t format_len, char *why,
                                                     size_t why_len)
{
    copy_text(format, format_len, "");
    copy_text(why, why_len, "");
    if (!path)
        return -1;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        sv_image_why(why, why_len, "%s", strerror(errno));
        return -1;
    }
    const sv_image_format *fmt = detect_fd(fd, path);
    if (!fmt) {
        close(fd);
        copy_text(format, format_len, kRawName);
        return 0;
    }
    uint32_t ss = 512;
    std::shared_ptr<OpenImage> img = open_image(fmt, fd, path, &ss, why, why_len);
    close(fd);
    if (!img)
        return -1;
    copy_text(format, format_len, fmt->name);
    return 0;
}

extern "C" MERROW_EXPORT int Salvitra_GetImageFormat(int32_t index, const char **name, const char **patterns,
                                                     int32_t *readable)
{
    if (index < 0 || (size_t)index > kFormatCount)
        return -1;
    /* Index 0 is the plain raw image, read without any library. */
    const sv_image_format *fmt = index == 0 ? nullptr : kFormats[index - 1];
    if (name)
        *name = fmt ? fmt->name : kRawName;
    if (patterns)
        *patterns = fmt ? fmt->patterns : kRawPatterns;
    if (readable)
        *readable = fmt ? (int32_t)built(fmt) : 1;
    return 0;
}
