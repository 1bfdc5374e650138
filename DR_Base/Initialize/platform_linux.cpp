/*
 * Linux platform layer: what /dev/diskN stands for, and the four values a
 * disk description gives (logical sector size, media size, vendor, model).
 *
 * /dev/diskN resolves, in this order, to
 *   1. the N-th path named through Salvitra_SetDiskImages, while a list is set;
 *   2. the entry diskN of $SALVITRA_DISK_DIR, when that variable is set;
 *   3. the N-th whole-disk block device of /sys/block in name order.
 *
 * It is also the one place that opens them: read-only, directly when this
 * process may, else through the opener a front end set (the desktop's disk
 * service hands out read-only descriptors once the user is authorised).
 */
#include "merrow_i.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {

struct PlatformState {
    std::vector<std::string> images;
    bool images_set = false;
    std::mutex opener_mu;
    Salvitra_DeviceOpener opener = nullptr;
    void *opener_context = nullptr;
};

PlatformState &state()
{
    static PlatformState s;
    return s;
}

bool read_text(const std::string &path, std::string &out)
{
    FILE *f = fopen(path.c_str(), "re");
    if (!f)
        return false;
    char buf[256];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    out = buf;
    size_t b = 0, e = out.size();
    while (b < e && isspace((unsigned char)out[b]))
        b++;
    while (e > b && isspace((unsigned char)out[e - 1]))
        e--;
    out = out.substr(b, e - b);
    return true;
}

bool starts_with(const std::string &s, const char *p)
{
    return s.compare(0, strlen(p), p) == 0;
}

/* Whole disks worth listing: not partitions, RAM disks or unbound loops. */
bool is_listed_disk(const std::string &name)
{
    if (starts_with(name, "ram") || starts_with(name, "zram") || starts_with(name, "dm-") ||
        starts_with(name, "md") || starts_with(name, "sr") || starts_with(name, "fd"))
        return false;
    std::string base = "/sys/block/" + name;
    std::string v;
    if (read_text(base + "/partition", v))
        return false;
    if (starts_with(name, "loop")) {
        std::string backing;
        return read_text(base + "/loop/backing_file", backing) && !backing.empty();
    }
    return starts_with(name, "sd") || starts_with(name, "nvme") || starts_with(name, "mmcblk") ||
           starts_with(name, "vd") || starts_with(name, "hd") || starts_with(name, "xvd");
}

std::vector<std::string> sys_block_disks()
{
    std::vector<std::string> names;
    DIR *d = opendir("/sys/block");
    if (!d)
        return names;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name[0] == '.')
            continue;
        if (is_listed_disk(name))
            names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool parse_disk_number(const char *dev_path, uint32_t *n)
{
    const char *prefix = "/dev/disk";
    size_t plen = strlen(prefix);
    if (strncmp(dev_path, prefix, plen) != 0)
        return false;
    const char *digits = dev_path + plen;
    if (!*digits || strlen(digits) > 3)
        return false;
    uint32_t v = 0;
    for (const char *p = digits; *p; p++) {
        if (!isdigit((unsigned char)*p))
            return false;
        v = v * 10 + (uint32_t)(*p - '0');
    }
    *n = v;
    return true;
}

bool copy_out(const std::string &s, char *out, size_t out_len)
{
    if (s.empty() || s.size() + 1 > out_len)
        return false;
    memcpy(out, s.c_str(), s.size() + 1);
    return true;
}

std::string base_name(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

/* The /sys/block entry of a block device node, by its device number. */
std::string sys_name_of(dev_t rdev)
{
    char link[64];
    snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(rdev), minor(rdev));
    char *real = realpath(link, nullptr);
    if (!real)
        return {};
    std::string name = base_name(real);
    free(real);
    return name;
}

/* True when fd is the file or device path names (a block device by its
 * device number, anything else by its inode). */
bool same_file(int fd, const char *path)
{
    struct stat a, b;
    if (fstat(fd, &a) != 0 || stat(path, &b) != 0)
        return false;
    if ((a.st_mode & S_IFMT) != (b.st_mode & S_IFMT))
        return false;
    if (S_ISBLK(a.st_mode))
        return a.st_rdev == b.st_rdev;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

/* A recovery tool must never write to the medium it reads, so devices are
 * opened read-only: exclusively where the system allows it, else shared. */
int open_direct(const char *path, int32_t *flags_used)
{
    int flags = O_RDONLY | O_EXCL | O_CLOEXEC;
    int fd = open(path, flags);
    if (fd < 0 && (errno == EBUSY || errno == EINVAL)) {
        flags = O_RDONLY | O_CLOEXEC;
        fd = open(path, flags);
    }
    if (fd >= 0)
        *flags_used = flags & ~O_CLOEXEC;
    return fd;
}

} // namespace

int sv_platform_open(const char *resolved, int32_t *flags_used, int *err, char *why, size_t why_len)
{
    *err = 0;
    if (why_len)
        why[0] = '\0';
    int fd = open_direct(resolved, flags_used);
    if (fd >= 0)
        return fd;
    *err = errno;
    snprintf(why, why_len, "%s", strerror(*err));
    if (*err != EACCES && *err != EPERM)
        return -1;

    PlatformState &st = state();
    Salvitra_DeviceOpener opener;
    void *context;
    {
        std::lock_guard<std::mutex> l(st.opener_mu);
        opener = st.opener;
        context = st.opener_context;
    }
    if (!opener)
        return -1;
    char text[256] = "";
    fd = opener(resolved, text, sizeof text, context);
    if (fd < 0) {
        snprintf(why, why_len, "%s", text[0] ? text : strerror(*err));
        return -1;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || (fl & O_ACCMODE) != O_RDONLY || !same_file(fd, resolved)) {
        close(fd);
        snprintf(why, why_len, "the descriptor handed over is not a read-only descriptor of %s", resolved);
        return -1;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    *flags_used = O_RDONLY;
    return fd;
}

bool sv_platform_resolve(const char *dev_path, char *out, size_t out_len)
{
    uint32_t n;
    if (!parse_disk_number(dev_path, &n)) {
        /* Any other path is taken as it stands. */
        return copy_out(dev_path, out, out_len);
    }
    PlatformState &st = state();
    if (st.images_set)
        return n < st.images.size() && copy_out(st.images[n], out, out_len);

    const char *dir = getenv("SALVITRA_DISK_DIR");
    if (dir && *dir) {
        std::string entry = std::string(dir) + "/disk" + std::to_string(n);
        struct stat sb;
        if (stat(entry.c_str(), &sb) != 0)
            return false;
        return copy_out(entry, out, out_len);
    }

    std::vector<std::string> disks = sys_block_disks();
    if (n >= disks.size())
        return false;
    return copy_out("/dev/" + disks[n], out, out_len);
}

bool sv_platform_describe(int fd, const char *resolved, sv_disk_desc *desc)
{
    memset(desc, 0, sizeof *desc);
    struct stat sb;
    if (fstat(fd, &sb) != 0)
        return false;

    if (S_ISREG(sb.st_mode)) {
        desc->sector_size = 512;
        desc->media_size = (uint64_t)sb.st_size;
        snprintf(desc->vendor, sizeof desc->vendor, "Disk Image");
        desc->has_vendor = true;
        /* The image's own name, also behind a stand-in link. */
        char *real = realpath(resolved, nullptr);
        std::string model = base_name(real ? real : resolved);
        free(real);
        snprintf(desc->model, sizeof desc->model, "%s", model.c_str());
        return true;
    }
    if (!S_ISBLK(sb.st_mode))
        return false;

    int ss = 0;
    if (ioctl(fd, BLKSSZGET, &ss) == 0 && ss > 0)
        desc->sector_size = ss;
    uint64_t size = 0;
    if (ioctl(fd, BLKGETSIZE64, &size) == 0)
        desc->media_size = size;

    std::string name = sys_name_of(sb.st_rdev);
    if (!name.empty()) {
        std::string base = "/sys/block/" + name;
        std::string vendor, model, backing;
        if (read_text(base + "/device/vendor", vendor) && !vendor.empty()) {
            snprintf(desc->vendor, sizeof desc->vendor, "%s", vendor.c_str());
            desc->has_vendor = true;
        }
        if (read_text(base + "/device/model", model) && !model.empty())
            snprintf(desc->model, sizeof desc->model, "%s", model.c_str());
        else if (read_text(base + "/loop/backing_file", backing) && !backing.empty())
            snprintf(desc->model, sizeof desc->model, "%s", base_name(backing).c_str());
        else
            snprintf(desc->model, sizeof desc->model, "%s", name.c_str());
    }
    return true;
}

extern "C" MERROW_EXPORT int Salvitra_SetDiskImages(const char *const *paths, int count)
{
    PlatformState &st = state();
    st.images.clear();
    st.images_set = false;
    if (!paths || count <= 0)
        return 0;
    if (count > SV_DEV_LAST + 1)
        return -1;
    for (int i = 0; i < count; i++)
        st.images.emplace_back(paths[i] ? paths[i] : "");
    st.images_set = true;
    return 0;
}

extern "C" MERROW_EXPORT int Salvitra_ResolveDiskPath(uint32_t n, char *out, size_t out_len)
{
    if (!out || out_len == 0)
        return -1;
    out[0] = '\0';
    char path[32];
    snprintf(path, sizeof path, "/dev/disk%u", n);
    return sv_platform_resolve(path, out, out_len) ? 0 : -1;
}

extern "C" MERROW_EXPORT void Salvitra_SetDeviceOpener(Salvitra_DeviceOpener opener, void *context)
{
    PlatformState &st = state();
    std::lock_guard<std::mutex> l(st.opener_mu);
    st.opener = opener;
    st.opener_context = opener ? context : nullptr;
}
