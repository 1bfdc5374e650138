/*
 * Split raw images: one raw disk cut into parts that follow each other by
 * name, "disk.000, disk.001, ...", "disk.001, disk.002, ..." or
 * "disk.aa, disk.ab, ...".  Any part may be named; the set runs from the
 * lowest to the highest part present without a gap.  A name with no
 * neighbour is a plain raw image.
 */
#include "DiskImage.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint64_t kMaxParts = 100000;  /* more than any splitter names */
constexpr size_t kOpenParts = 8;        /* descriptors kept open at once */

/* The numbering in a file name's last suffix. */
struct Naming {
    std::string stem;   /* everything up to and including the last '.' */
    bool digits = false;
    size_t width = 0;
    uint64_t index = 0;
    uint64_t count = 0; /* names the width allows */
};

bool parse_naming(const std::string &path, Naming *n)
{
    size_t slash = path.find_last_of('/');
    size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot + 1 >= path.size())
        return false;
    std::string suffix = path.substr(dot + 1);
    n->stem = path.substr(0, dot + 1);
    n->width = suffix.size();
    bool digits = true, lower = true;
    for (char c : suffix) {
        digits = digits && isdigit((unsigned char)c);
        lower = lower && c >= 'a' && c <= 'z';
    }
    if (digits && n->width >= 2 && n->width <= 5) {
        n->digits = true;
        n->index = strtoull(suffix.c_str(), nullptr, 10);
        n->count = 1;
        for (size_t i = 0; i < n->width; i++)
            n->count *= 10;
        return true;
    }
    if (lower && n->width >= 2 && n->width <= 3) {
        n->digits = false;
        n->index = 0;
        n->count = 1;
        for (char c : suffix) {
            n->index = n->index * 26 + (uint64_t)(c - 'a');
            n->count *= 26;
        }
        return true;
    }
    return false;
}

std::string part_name(const Naming &n, uint64_t index)
{
    std::string suffix(n.width, n.digits ? '0' : 'a');
    for (size_t i = n.width; i-- > 0;) {
        uint64_t base = n.digits ? 10 : 26;
        suffix[i] = (char)((n.digits ? '0' : 'a') + index % base);
        index /= base;
    }
    return n.stem + suffix;
}

bool part_exists(const Naming &n, uint64_t index, uint64_t *size)
{
    if (index >= n.count)
        return false;
    struct stat sb;
    if (stat(part_name(n, index).c_str(), &sb) != 0 || !S_ISREG(sb.st_mode))
        return false;
    if (size)
        *size = (uint64_t)sb.st_size;
    return true;
}

/* The first and last index of the run of parts around n.index. */
bool find_run(const Naming &n, uint64_t *first, uint64_t *last)
{
    uint64_t lo = n.index, hi = n.index;
    while (lo > 0 && n.index - lo < kMaxParts && part_exists(n, lo - 1, nullptr))
        lo--;
    while (hi + 1 < n.count && hi - lo + 1 < kMaxParts && part_exists(n, hi + 1, nullptr))
        hi++;
    *first = lo;
    *last = hi;
    return hi > lo;
}

bool split_claims(const sv_image_probe *probe)
{
    Naming n;
    uint64_t first, last;
    return parse_naming(probe->path, &n) && find_run(n, &first, &last);
}

struct Part {
    std::string path;
    uint64_t start = 0;
    uint64_t size = 0;
    int fd = -1;
    uint64_t used = 0; /* last use, for closing the least recently used */
};

struct SplitReader {
    std::vector<Part> parts;
    uint64_t clock = 0;
    size_t open_count = 0;
};

void split_close(void *reader)
{
    auto *r = static_cast<SplitReader *>(reader);
    for (Part &p : r->parts)
        if (p.fd >= 0)
            close(p.fd);
    delete r;
}

void *split_open(const char *path, sv_image_geometry *geom, char *why, size_t why_len)
{
    Naming n;
    uint64_t first = 0, last = 0;
    if (!parse_naming(path, &n) || !find_run(n, &first, &last)) {
        sv_image_why(why, why_len, "%s: no other part of a split image next to it", path);
        return nullptr;
    }
    auto *r = new SplitReader;
    uint64_t total = 0;
    for (uint64_t i = first; i <= last; i++) {
        Part p;
        p.path = part_name(n, i);
        if (!part_exists(n, i, &p.size)) {
            sv_image_why(why, why_len, "%s: part went away while the image was opened", p.path.c_str());
            split_close(r);
            return nullptr;
        }
        if (UINT64_MAX - total < p.size) {
            sv_image_why(why, why_len, "%s: the parts add up to more than a disk can hold", path);
            split_close(r);
            return nullptr;
        }
        p.start = total;
        total += p.size;
        r->parts.push_back(p);
    }
    geom->media_size = total;
    geom->sector_size = 512;
    return r;
}

int part_fd(SplitReader *r, Part &p)
{
    p.used = ++r->clock;
    if (p.fd >= 0)
        return p.fd;
    if (r->open_count >= kOpenParts) {
        Part *oldest = nullptr;
        for (Part &q : r->parts)
            if (q.fd >= 0 && (!oldest || q.used < oldest->used))
                oldest = &q;
        if (oldest) {
            close(oldest->fd);
            oldest->fd = -1;
            r->open_count--;
        }
    }
    p.fd = open(p.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (p.fd >= 0)
        r->open_count++;
    return p.fd;
}

int64_t split_read(void *reader, uint8_t *dst, uint32_t len, uint64_t off)
{
    auto *r = static_cast<SplitReader *>(reader);
    /* The part holding off: the last one starting at or before it. */
    size_t lo = 0, hi = r->parts.size();
    while (hi - lo > 1) {
        size_t mid = lo + (hi - lo) / 2;
        if (r->parts[mid].start <= off)
            lo = mid;
        else
            hi = mid;
    }
    uint64_t got = 0;
    for (size_t i = lo; i < r->parts.size() && got < len; i++) {
        Part &p = r->parts[i];
        uint64_t at = off + got;
        if (at < p.start || at - p.start >= p.size)
            continue; /* an empty part */
        uint64_t in_part = p.size - (at - p.start);
        uint32_t want = (uint32_t)(len - got < in_part ? len - got : in_part);
        int fd = part_fd(r, p);
        if (fd < 0)
            break;
        ssize_t n = pread(fd, dst + got, want, (off_t)(at - p.start));
        if (n <= 0)
            break;
        got += (uint64_t)n;
        if ((uint32_t)n < want)
            break; /* the part is shorter than it was */
    }
    return got ? (int64_t)got : -1;
}

} // namespace

const sv_image_format sv_image_split = {
    "Split Raw Image", "*.000 *.001 *.aa", nullptr, true, split_claims, split_open, split_read, split_close,
};
