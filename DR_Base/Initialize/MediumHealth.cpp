/*
 * The health of each opened medium: which of its bytes could not be read,
 * and whether it is still there.
 *
 * Every read through a device descriptor reports here.  A byte range whose
 * read failed is kept as unreadable until a later read of it succeeds (a
 * caller that retries a failed window in smaller pieces leaves exactly the
 * sectors that really fail).  A read that fails because the medium went
 * away (it was unplugged, its image removed, its FUSE server gone) marks
 * the medium gone: from then on reads fail at once, without touching the
 * descriptor, so that no scan crawls through a medium that is no longer
 * there.  Records are keyed by descriptor: a partition's private device
 * copy shares its parent's.
 */
#include "merrow_i.h"

#include <atomic>
#include <chrono>
#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <map>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {

/* Runs kept per medium; beyond them failures are only counted. */
constexpr size_t kMaxRuns = 1u << 16;

struct Medium {
    int fd = -1;
    std::string path;      /* what was opened (a stand-in link is followed by stat) */
    struct stat opened {};  /* its identity then */
    std::map<uint64_t, uint64_t> bad;  /* unreadable runs: start -> end (device offsets) */
    uint64_t badBytes = 0;
    uint32_t overflow = 0; /* failed runs not kept (kMaxRuns reached) */
    uint32_t failedReads = 0;
    std::atomic<bool> gone{false};
    std::chrono::steady_clock::time_point looked{};  /* last presence check after a failed read */
};

/* A failed read looks whether the medium is still there at most this often
 * (a scattering of bad sectors must not cost a look each). */
constexpr auto kLookAfterFailure = std::chrono::milliseconds(200);

std::mutex g_mu;
std::vector<Medium *> g_media;
/* Media with unreadable runs, and media gone: reads look them up only then. */
std::atomic<int> g_withRuns{0};
std::atomic<int> g_gone{0};

Medium *find_locked(int fd)
{
    for (Medium *m : g_media)
        if (m->fd == fd)
            return m;
    return nullptr;
}

void add_run(Medium *m, uint64_t a, uint64_t b)
{
    bool had = !m->bad.empty();
    auto it = m->bad.upper_bound(a);
    if (it != m->bad.begin() && std::prev(it)->second >= a)
        --it;
    while (it != m->bad.end() && it->first <= b) {
        a = std::min(a, it->first);
        b = std::max(b, it->second);
        m->badBytes -= it->second - it->first;
        it = m->bad.erase(it);
    }
    if (m->bad.size() >= kMaxRuns) {
        m->overflow++;
    } else {
        m->bad.emplace(a, b);
        m->badBytes += b - a;
    }
    if (!had && !m->bad.empty())
        g_withRuns.fetch_add(1);
}

void clear_run(Medium *m, uint64_t a, uint64_t b)
{
    if (m->bad.empty())
        return;
    auto it = m->bad.upper_bound(a);
    if (it != m->bad.begin() && std::prev(it)->second > a)
        --it;
    while (it != m->bad.end() && it->first < b) {
        uint64_t s = it->first, e = it->second;
        m->badBytes -= e - s;
        it = m->bad.erase(it);
        if (s < a) {
            m->bad.emplace(s, a);
            m->badBytes += a - s;
        }
        if (e > b) {
            m->bad.emplace(b, e);
            m->badBytes += e - b;
        }
    }
    if (m->bad.empty())
        g_withRuns.fetch_sub(1);
}

/* Errors that mean the medium itself is gone, not one of its sectors. */
bool vanish_errno(int e)
{
    return e == ENODEV || e == ENXIO || e == ENOTCONN || e == ESTALE || e == ENOMEDIUM || e == ESHUTDOWN ||
           e == ECONNABORTED;
}

/* Whether the medium opened as m is still there. */
bool present(const Medium *m)
{
    struct stat now;
    if (fstat(m->fd, &now) != 0)
        return !vanish_errno(errno) && errno != EIO;
    if (S_ISREG(now.st_mode)) {
        /* An image file: removed, or replaced by another file of its name. */
        if (now.st_nlink == 0)
            return false;
        struct stat named;
        if (stat(m->path.c_str(), &named) != 0)
            return false;
        return named.st_dev == m->opened.st_dev && named.st_ino == m->opened.st_ino;
    }
    if (S_ISBLK(now.st_mode)) {
        /* A block device that was unplugged or detached reports no size
         * and leaves sysfs. */
        uint64_t size = 0;
        if (ioctl(m->fd, BLKGETSIZE64, &size) != 0 || size == 0)
            return false;
        char link[64];
        snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(now.st_rdev), minor(now.st_rdev));
        struct stat sb;
        return stat(link, &sb) == 0;
    }
    return true;
}

void mark_gone(Medium *m)
{
    if (!m->gone.exchange(true))
        g_gone.fetch_add(1);
}

}  // namespace

void sv_medium_open(int fd, const char *path)
{
    if (fd < 0)
        return;
    auto *m = new Medium();
    m->fd = fd;
    m->path = path ? path : "";
    fstat(fd, &m->opened);
    std::lock_guard<std::mutex> l(g_mu);
    g_media.push_back(m);
}

void sv_medium_close(int fd)
{
    std::lock_guard<std::mutex> l(g_mu);
    for (size_t i = 0; i < g_media.size(); i++) {
        Medium *m = g_media[i];
        if (m->fd != fd)
            continue;
        if (!m->bad.empty())
            g_withRuns.fetch_sub(1);
        if (m->gone)
            g_gone.fetch_sub(1);
        delete m;
        g_media.erase(g_media.begin() + (ptrdiff_t)i);
        return;
    }
}

bool sv_medium_gone(int fd)
{
    if (fd < 0 || g_gone.load(std::memory_order_relaxed) == 0)
        return false;
    std::lock_guard<std::mutex> l(g_mu);
    Medium *m = find_locked(fd);
    return m && m->gone.load();
}

bool sv_medium_known_bad(int fd, uint64_t offset)
{
    if (fd < 0 || g_withRuns.load(std::memory_order_relaxed) == 0)
        return false;
    std::lock_guard<std::mutex> l(g_mu);
    Medium *m = find_locked(fd);
    if (!m || m->bad.empty())
        return false;
    auto it = m->bad.upper_bound(offset);
    return it != m->bad.begin() && std::prev(it)->second > offset;
}

void sv_medium_read_ok(int fd, uint64_t offset, uint64_t length)
{
    if (fd < 0 || length == 0 || g_withRuns.load(std::memory_order_relaxed) == 0)
        return;
    std::lock_guard<std::mutex> l(g_mu);
    if (Medium *m = find_locked(fd))
        clear_run(m, offset, offset + length);
}

void sv_medium_read_failed(int fd, uint64_t offset, uint64_t length, int err)
{
    if (fd < 0 || length == 0)
        return;
    std::lock_guard<std::mutex> l(g_mu);
    Medium *m = find_locked(fd);
    if (!m)
        return;
    m->failedReads++;
    if (m->gone)
        return;
    bool look = false;
    if (!vanish_errno(err)) {
        auto now = std::chrono::steady_clock::now();
        look = now - m->looked >= kLookAfterFailure;
        if (look)
            m->looked = now;
    }
    if (vanish_errno(err) || (look && !present(m))) {
        mark_gone(m);
        return;
    }
    add_run(m, offset, UINT64_MAX - offset < length ? UINT64_MAX : offset + length);
}

extern "C" MERROW_EXPORT int32_t Salvitra_GetMediumHealth(const Physics_Device_Struct *dev,
                                                          Salvitra_MediumHealth *out)
{
    if (out)
        memset(out, 0, sizeof *out);
    if (!dev)
        return -1;
    std::lock_guard<std::mutex> l(g_mu);
    Medium *m = find_locked(dev->Fd);
    if (!m)
        return -1;
    if (out) {
        out->UnreadableBytes = m->badBytes;
        out->UnreadableAreas = (uint32_t)m->bad.size() + m->overflow;
        out->FailedReads = m->failedReads;
        out->Gone = m->gone ? 1 : 0;
    }
    return 0;
}

extern "C" MERROW_EXPORT void Salvitra_ResetMediumHealth(const Physics_Device_Struct *dev)
{
    if (!dev)
        return;
    std::lock_guard<std::mutex> l(g_mu);
    Medium *m = find_locked(dev->Fd);
    if (!m)
        return;
    if (!m->bad.empty())
        g_withRuns.fetch_sub(1);
    m->bad.clear();
    m->badBytes = 0;
    m->overflow = 0;
    m->failedReads = 0;
}

extern "C" MERROW_EXPORT int32_t Salvitra_CheckMedium(const Physics_Device_Struct *dev)
{
    if (!dev)
        return 0;
    std::lock_guard<std::mutex> l(g_mu);
    Medium *m = find_locked(dev->Fd);
    if (!m)
        return 1;  /* not a descriptor of ours (a memory device): nothing to lose */
    if (!m->gone && !present(m))
        mark_gone(m);
    return m->gone ? 0 : 1;
}
