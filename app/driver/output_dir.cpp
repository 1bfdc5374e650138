#include "output_dir.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace salvitra {

namespace {

void closeFd(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

std::string joinRel(const std::string &a, const std::string &b)
{
    return a.empty() ? b : a + "/" + b;
}

bool taken(int dirfd, const std::string &name)
{
    struct stat sb;
    return fstatat(dirfd, name.c_str(), &sb, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

}  // namespace

std::string numberedName(const std::string &name, unsigned n)
{
    size_t dot = name.find_last_of('.');
    std::string stem = name, ext;
    if (dot != std::string::npos && dot > 0) {
        stem = name.substr(0, dot);
        ext = name.substr(dot);
    }
    return stem + " (" + std::to_string(n) + ")" + ext;
}

bool outputErrorRepeats(int errnum)
{
    switch (errnum) {
    case ENOSPC:
    case EDQUOT:
    case EROFS:
    case EIO:
        return true;
    default:
        return false;
    }
}

void OutputDir::setError(OutputError *err, int errnum, const std::string &what, int dirfd) const
{
    if (!err)
        return;
    err->errnum = errnum;
    err->text = what + ": " + strerror(errnum);
    // A permission refused in the output folder itself holds for every
    // file; below it, only for that folder.
    err->repeats = outputErrorRepeats(errnum) || ((errnum == EACCES || errnum == EPERM) && dirfd == root_);
}

OutputDir::~OutputDir()
{
    dropDirs();
    closeFd(root_);
}

void OutputDir::dropDirs(int keep)
{
    for (auto it = dirs_.begin(); it != dirs_.end();) {
        if (it->second.fd == keep) {
            ++it;
            continue;
        }
        closeFd(it->second.fd);
        it = dirs_.erase(it);
    }
}

void OutputDir::remember(const std::string &relDir, int fd)
{
    if (dirs_.size() >= kMaxOpenDirs) {
        auto oldest = dirs_.begin();
        for (auto it = dirs_.begin(); it != dirs_.end(); ++it)
            if (it->second.used < oldest->second.used)
                oldest = it;
        closeFd(oldest->second.fd);
        dirs_.erase(oldest);
    }
    dirs_[relDir] = CachedDir{fd, ++uses_};
}

bool OutputDir::open(const std::string &path, OutputError *err)
{
    closeFd(root_);
    dropDirs();
    path_ = path;
    while (path_.size() > 1 && path_.back() == '/')
        path_.pop_back();
    if (path_.empty()) {
        setError(err, ENOENT, "(empty output folder name)", -1);
        return false;
    }
    // Missing parents of the chosen folder, as the user named them.
    for (size_t pos = 1; pos <= path_.size(); pos++) {
        if (pos != path_.size() && path_[pos] != '/')
            continue;
        std::string cur = path_.substr(0, pos);
        if (mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) {
            setError(err, errno, cur, -1);
            if (err)
                err->repeats = true;
            return false;
        }
    }
    root_ = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root_ < 0) {
        setError(err, errno, path_, -1);
        if (err)
            err->repeats = true;
        return false;
    }
    return true;
}

bool OutputDir::checkWritable(OutputError *err)
{
    if (root_ < 0) {
        setError(err, EBADF, path_, root_);
        return false;
    }
    struct statvfs vfs;
    if (fstatvfs(root_, &vfs) == 0 && (vfs.f_flag & ST_RDONLY)) {
        setError(err, EROFS, path_, root_);
        return false;
    }
    std::string probe = ".salvitra-write-test-" + std::to_string(getpid());
    int fd = openat(root_, probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        setError(err, errno, path_, root_);
        return false;
    }
    bool ok = ::write(fd, "s", 1) == 1;
    int e = ok ? 0 : (errno ? errno : ENOSPC);
    close(fd);
    unlinkat(root_, probe.c_str(), 0);
    if (!ok) {
        setError(err, e, path_, root_);
        return false;
    }
    return true;
}

int OutputDir::folder(const std::string &relDir, OutputError *err)
{
    if (root_ < 0) {
        setError(err, EBADF, path_, root_);
        return -1;
    }
    if (relDir.empty())
        return root_;
    auto hit = dirs_.find(relDir);
    if (hit != dirs_.end()) {
        hit->second.used = ++uses_;
        return hit->second.fd;
    }
    // From the nearest folder still open, one component at a time; each
    // folder opened on the way is remembered, the least recently used
    // closed, so the depth of the medium's tree never decides how many
    // handles are open.
    int parent = root_;
    size_t start = 0;
    for (size_t slash = relDir.find_last_of('/'); slash != std::string::npos && slash > 0;
         slash = relDir.find_last_of('/', slash - 1)) {
        auto it = dirs_.find(relDir.substr(0, slash));
        if (it != dirs_.end()) {
            it->second.used = ++uses_;
            parent = it->second.fd;
            start = slash + 1;
            break;
        }
    }
    for (;;) {
        size_t slash = relDir.find('/', start);
        std::string comp = relDir.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        std::string rel = relDir.substr(0, slash);
        std::string shown = path_ + "/" + rel;
        if (comp.empty() || comp == "." || comp == "..") {
            setError(err, EINVAL, shown, -1);
            return -1;
        }
        if (mkdirat(parent, comp.c_str(), 0755) != 0 && errno != EEXIST) {
            setError(err, errno, shown, parent);
            return -1;
        }
        int fd = openat(parent, comp.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && (errno == EMFILE || errno == ENFILE)) {
            // Descriptors ran out elsewhere in the process: give back ours
            // (all but the one in hand) and try once more.
            dropDirs(parent);
            fd = openat(parent, comp.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (fd < 0) {
            int e = errno;
            struct stat sb;
            if (fstatat(parent, comp.c_str(), &sb, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(sb.st_mode)) {
                if (err) {
                    err->errnum = ELOOP;
                    err->text = shown + ": is a symbolic link; files are never written through links";
                    err->repeats = false;
                }
            } else {
                setError(err, e, shown, parent);
            }
            return -1;
        }
        remember(rel, fd);
        if (slash == std::string::npos)
            return fd;
        parent = fd;
        start = slash + 1;
    }
}

uint64_t OutputDir::freeSpace(int dirfd)
{
    struct statvfs vfs;
    if (dirfd < 0 || fstatvfs(dirfd, &vfs) != 0 || vfs.f_frsize == 0)
        return UINT64_MAX;
    uint64_t blocks = geteuid() == 0 ? vfs.f_bfree : vfs.f_bavail;
    if (blocks > UINT64_MAX / vfs.f_frsize)
        return UINT64_MAX;
    return blocks * vfs.f_frsize;
}

bool OutputDir::create(const std::string &relPath, uint64_t size, OutputFile &out, OutputError *err, bool number)
{
    size_t slash = relPath.find_last_of('/');
    std::string relDir = slash == std::string::npos ? "" : relPath.substr(0, slash);
    std::string name = relPath.substr(slash == std::string::npos ? 0 : slash + 1);
    if (name.empty() || name == "." || name == "..") {
        setError(err, EINVAL, path_ + "/" + relPath, -1);
        return false;
    }
    int cached = folder(relDir, err);
    if (cached < 0)
        return false;
    uint64_t room = freeSpace(cached);
    if (size > room) {
        if (err) {
            err->errnum = ENOSPC;
            err->text = path_ + "/" + relPath + ": " + strerror(ENOSPC) + " (the file needs " +
                        std::to_string(size) + " bytes, " + std::to_string(room) + " are free)";
            err->repeats = true;
        }
        return false;
    }
    // The file keeps a handle of its folder of its own: the cache may
    // close its copy while the file is written.
    int dirfd = fcntl(cached, F_DUPFD_CLOEXEC, 0);
    if (dirfd < 0 && (errno == EMFILE || errno == ENFILE)) {
        dropDirs(cached);
        dirfd = fcntl(cached, F_DUPFD_CLOEXEC, 0);
    }
    if (dirfd < 0) {
        setError(err, errno, path_ + "/" + relPath, -1);
        return false;
    }
    if (!number && taken(dirfd, name)) {
        setError(err, EEXIST, path_ + "/" + relPath, -1);
        close(dirfd);
        return false;
    }
    for (unsigned n = 0; n <= 100000; n++) {
        // With numbering, the first free .partial gives the final name (one
        // that is taken by then gets a number of its own in finish);
        // without, the final name is fixed and only the .partial is
        // numbered when an earlier run left one.
        std::string final = number && n ? numberedName(name, n) : name;
        std::string partial = (number || !n ? final : numberedName(name, n)) + ".partial";
        int fd = openat(dirfd, partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && (errno == EMFILE || errno == ENFILE)) {
            dropDirs();
            fd = openat(dirfd, partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        }
        if (fd >= 0) {
            out.fd = fd;
            out.dirfd = dirfd;
            out.name = partial;
            out.finalName = final;
            out.relDir = relDir;
            out.relPath = joinRel(relDir, final);
            out.number = number;
            return true;
        }
        if (errno != EEXIST) {
            setError(err, errno, path_ + "/" + joinRel(relDir, partial), relDir.empty() ? root_ : -1);
            close(dirfd);
            return false;
        }
    }
    setError(err, EEXIST, path_ + "/" + relPath, -1);
    close(dirfd);
    return false;
}

namespace {

// Gives `from` the name `to` in dirfd, never over a file that has it:
// renameat2 with RENAME_NOREPLACE; where the file system refuses the flag,
// a hard link and the removal of the old name; where it has no hard links
// either, a plain rename after making sure nothing has the name.  0 or an
// errno (EEXIST: the name is taken).
int renameNoReplace(int dirfd, const std::string &from, const std::string &to)
{
    if (renameat2(dirfd, from.c_str(), dirfd, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    int e = errno;
    if (e != EINVAL && e != ENOSYS && e != ENOTSUP && e != EOPNOTSUPP)
        return e;
    if (linkat(dirfd, from.c_str(), dirfd, to.c_str(), 0) == 0) {
        unlinkat(dirfd, from.c_str(), 0);
        return 0;
    }
    e = errno;
    if (e == EEXIST)
        return e;
    if (taken(dirfd, to))
        return EEXIST;
    return renameat(dirfd, from.c_str(), dirfd, to.c_str()) == 0 ? 0 : errno;
}

}  // namespace

bool OutputDir::finish(OutputFile &f, bool whole, int64_t mtime, bool keepPartial, OutputError *err,
                       std::string *kept)
{
    if (f.fd < 0)
        return false;
    if (whole && mtime >= 0) {
        struct timespec ts[2];
        ts[0].tv_sec = (time_t)mtime;
        ts[0].tv_nsec = 0;
        ts[1] = ts[0];
        futimens(f.fd, ts); // a time that cannot be set does not spoil the data
    }
    if (close(f.fd) != 0) {
        // Delayed write errors (NFS, FUSE) show up here.
        setError(err, errno, path_ + "/" + f.relPath, -1);
        whole = false;
    }
    f.fd = -1;
    bool named = false;
    if (whole) {
        int e = renameNoReplace(f.dirfd, f.name, f.finalName);
        // A file that took the name while this one was written keeps it.
        for (unsigned n = 1; e == EEXIST && f.number && n <= 1000; n++) {
            std::string other = numberedName(f.finalName, n);
            if (!taken(f.dirfd, other + ".partial") && (e = renameNoReplace(f.dirfd, f.name, other)) == 0) {
                f.finalName = other;
                f.relPath = joinRel(f.relDir, other);
            }
        }
        if (e == 0) {
            named = true;
        } else {
            setError(err, e, path_ + "/" + f.relPath, -1);
            keepPartial = true; // whole, but without its name: never lost
        }
    }
    if (!named) {
        if (keepPartial) {
            if (kept)
                *kept = joinRel(f.relDir, f.name);
        } else {
            unlinkat(f.dirfd, f.name.c_str(), 0);
        }
    }
    closeFd(f.dirfd);
    return named;
}

bool writeAll(OutputFile &f, const void *buf, size_t len, OutputError *err)
{
    const uint8_t *p = static_cast<const uint8_t *>(buf);
    while (len > 0) {
        ssize_t n = ::write(f.fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // A write that takes nothing means the disk is full.
            if (err) {
                int e = n < 0 ? errno : ENOSPC;
                err->errnum = e;
                err->text = joinRel(f.relDir, f.name) + ": " + strerror(e);
                err->repeats = outputErrorRepeats(e);
            }
            return false;
        }
        p += n;
        len -= (size_t)n;
    }
    return true;
}

uint32_t copyPiece(uint32_t unit, uint64_t size)
{
    constexpr uint64_t kPiece = 1u << 20;
    if (unit == 0)
        unit = 512;
    uint64_t piece = unit >= kPiece ? unit : kPiece / unit * unit;
    uint64_t need = (size + unit - 1) / unit * unit;
    if (need < piece)
        piece = need ? need : unit;
    return (uint32_t)piece;
}

bool addRange(std::vector<ByteRange> &list, uint64_t offset, uint64_t length)
{
    if (length == 0)
        return false;
    if (!list.empty()) {
        ByteRange &last = list.back();
        if (offset >= last.offset && offset - last.offset <= last.length) {
            uint64_t end = offset + length;
            if (end > last.offset + last.length)
                last.length = end - last.offset;
            return false;
        }
    }
    if (list.size() < WriteStats::kMaxListedRanges)
        list.push_back({offset, length});
    return true;
}

std::string rangesText(const std::vector<ByteRange> &ranges, uint32_t total, size_t max)
{
    std::vector<std::string> parts;
    for (const ByteRange &r : ranges) {
        if (parts.size() == max)
            break;
        parts.push_back(std::to_string(r.offset) + "-" + std::to_string(r.offset + r.length - 1));
    }
    if (total > parts.size())
        parts.push_back(std::to_string(total - parts.size()) + " more");
    std::string out = "bytes ";
    for (size_t i = 0; i < parts.size(); i++)
        out += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    return out;
}

void markZeroUnits(const uint8_t *buf, uint32_t len, uint32_t unit, ReadGaps &gaps,
                   const std::function<bool(uint32_t, uint32_t)> &readsAgain)
{
    if (unit == 0)
        unit = 512;
    for (uint32_t off = 0; off < len; off += unit) {
        uint32_t n = len - off < unit ? len - off : unit;
        bool zeros = true;
        for (uint32_t i = 0; i < n && zeros; i++)
            zeros = buf[off + i] == 0;
        if (zeros && (!readsAgain || !readsAgain(off, n)))
            gaps.unreadable(off, n);
    }
}

namespace {

// Writes n zero bytes at the file's end.
bool writeZeros(OutputFile &f, uint64_t n, OutputError *err)
{
    static const uint8_t zeros[64 * 1024] = {};
    while (n > 0) {
        size_t k = n < sizeof zeros ? (size_t)n : sizeof zeros;
        if (!writeAll(f, zeros, k, err))
            return false;
        n -= k;
    }
    return true;
}

}  // namespace

bool copyInto(OutputFile &f, uint64_t size, uint32_t piece, const PieceReader &read, CopyStats &stats,
              const std::function<bool()> &gate, uint64_t giveUpAfter, const std::function<bool()> &mediumGone)
{
    if (piece == 0)
        piece = 512;
    if (piece > size && size > 0)
        piece = (uint32_t)size; // a small file gets a buffer of its size
    std::vector<uint8_t> buf((size_t)piece);
    ReadGaps gaps;
    std::vector<ByteRange> bad; // of the piece, sorted and joined
    // Bytes after stats.bytes that could not be read: written (as zeros)
    // only once something readable follows them.
    uint64_t pending = 0;
    while (stats.covered < size) {
        if (gate && !gate()) {
            stats.stopped = true;
            return false;
        }
        const uint64_t at = stats.covered;
        uint64_t left = size - at;
        uint32_t len = (uint32_t)(left < piece ? left : piece);
        // Readers may leave holes (sparse files) untouched: they read as zeros.
        memset(buf.data(), 0, len);
        gaps.clear();
        int64_t got = read(buf.data(), len, gaps);
        bad.clear();
        for (const ByteRange &g : gaps.ranges())
            if (g.offset < len)
                bad.push_back({g.offset, g.length < len - g.offset ? g.length : len - g.offset});
        if (got != (int64_t)len) {
            uint32_t keep = got > 0 && got < (int64_t)len ? (uint32_t)got : 0;
            bad.push_back({keep, len - keep});
        }
        std::sort(bad.begin(), bad.end(), [](const ByteRange &a, const ByteRange &b) { return a.offset < b.offset; });
        // Whatever a failed read left in the buffer is not trusted.
        uint64_t lastGood = 0, badHere = 0, cursor = 0;
        for (const ByteRange &b : bad) {
            uint64_t from = b.offset > cursor ? b.offset : cursor;
            uint64_t to = b.offset + b.length;
            if (to <= from)
                continue;
            if (from > cursor)
                lastGood = from;
            memset(buf.data() + from, 0, (size_t)(to - from));
            badHere += to - from;
            if (addRange(stats.unreadable, at + from, to - from))
                stats.unreadablePieces++;
            cursor = to;
        }
        if (cursor < len)
            lastGood = len;
        stats.unreadableBytes += badHere;
        stats.readBytes += len - badHere;
        if (lastGood > 0) {
            if ((pending && !writeZeros(f, pending, &stats.err)) || !writeAll(f, buf.data(), (size_t)lastGood, &stats.err))
                return false;
            stats.bytes += pending + lastGood;
            pending = len - lastGood;
        } else {
            pending += len;
        }
        stats.covered += len;
        if (badHere && mediumGone && mediumGone()) {
            stats.mediumGone = true;
            return false;
        }
        if (giveUpAfter && pending >= giveUpAfter && stats.covered < size) {
            // Nothing more is read: the rest counts as not read.
            if (addRange(stats.unreadable, stats.covered, size - stats.covered))
                stats.unreadablePieces++;
            stats.unreadableBytes += size - stats.covered;
            stats.cutShort = true;
            return false;
        }
    }
    return true;
}

uint64_t sizeCappedByMedium(uint64_t listed, uint64_t medium, std::string *why)
{
    if (listed <= medium)
        return listed;
    if (why)
        *why = "listed as " + std::to_string(listed) + " bytes on a medium of " + std::to_string(medium) +
               ": cut to the medium's size";
    return medium;
}

// ---- the scanned medium ----

namespace {

struct Scanned {
    std::string path;
    bool block = false;
    dev_t rdev = 0;     // block device
    dev_t fileDev = 0;  // image file
    ino_t fileIno = 0;
};

bool readLine(const std::string &path, std::string &out)
{
    FILE *f = fopen(path.c_str(), "re");
    if (!f)
        return false;
    char buf[PATH_MAX];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    out = buf;
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return true;
}

std::string sysfsDir(dev_t dev)
{
    char link[64];
    snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(dev), minor(dev));
    char *real = realpath(link, nullptr);
    if (!real)
        return {};
    std::string p = real;
    free(real);
    return p;
}

// The whole disk of a block device (itself, or the parent of a partition).
std::string wholeDiskDir(dev_t dev)
{
    std::string p = sysfsDir(dev);
    std::string v;
    if (!p.empty() && readLine(p + "/partition", v))
        p = p.substr(0, p.find_last_of('/'));
    return p;
}

bool parseDevNum(const std::string &s, dev_t *out)
{
    unsigned ma, mi;
    char extra;
    if (sscanf(s.c_str(), "%u:%u%c", &ma, &mi, &extra) != 2)
        return false;
    *out = makedev(ma, mi);
    return true;
}

bool blockHolds(dev_t b, const Scanned &s, int depth, std::string *via);

// Is the file (or block device) st the scanned medium, or stored on it?
bool statHolds(const struct stat &st, const Scanned &s, int depth, std::string *via)
{
    if (depth > 8)
        return false;
    if (S_ISBLK(st.st_mode))
        return blockHolds(st.st_rdev, s, depth + 1, via);
    if (!s.block && st.st_dev == s.fileDev && st.st_ino == s.fileIno)
        return true;
    // An image stored on the scanned disk.
    return s.block && major(st.st_dev) != 0 && blockHolds(st.st_dev, s, depth + 1, via);
}

bool pathHolds(const std::string &path, const Scanned &s, int depth, std::string *via)
{
    struct stat st;
    if (path.empty() || path[0] != '/' || stat(path.c_str(), &st) != 0)
        return false;
    if (!statHolds(st, s, depth, via))
        return false;
    if (via && via->empty())
        *via = path;
    return true;
}

// What a loop device reads: its backing file's identity from the driver,
// else the path sysfs shows.
bool loopHolds(const std::string &sysDir, const Scanned &s, int depth, std::string *via)
{
    std::string backing;
    if (!readLine(sysDir + "/loop/backing_file", backing))
        return false;
    std::string name = sysDir.substr(sysDir.find_last_of('/') + 1);
    int fd = ::open(("/dev/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        struct loop_info64 info;
        memset(&info, 0, sizeof info);
        bool got = ioctl(fd, LOOP_GET_STATUS64, &info) == 0;
        close(fd);
        if (got && !s.block && (dev_t)info.lo_device == s.fileDev && (ino_t)info.lo_inode == s.fileIno) {
            if (via)
                *via = "/dev/" + name + " (backed by " + backing + ")";
            return true;
        }
    }
    if (pathHolds(backing, s, depth + 1, nullptr)) {
        if (via)
            *via = "/dev/" + name + " (backed by " + backing + ")";
        return true;
    }
    return false;
}

bool blockHolds(dev_t b, const Scanned &s, int depth, std::string *via)
{
    if (depth > 8)
        return false;
    if (s.block) {
        if (b == s.rdev)
            return true;
        std::string a = wholeDiskDir(b), c = wholeDiskDir(s.rdev);
        if (!a.empty() && a == c)
            return true;
    }
    std::string dir = sysfsDir(b);
    if (dir.empty())
        return false;
    std::string disk = wholeDiskDir(b);
    if (loopHolds(dir, s, depth, via) || (disk != dir && loopHolds(disk, s, depth, via)))
        return true;
    // Device-mapper, md and the like: the devices it is built on.
    for (const std::string &d : {dir, disk}) {
        DIR *sl = opendir((d + "/slaves").c_str());
        if (!sl)
            continue;
        bool found = false;
        while (struct dirent *e = readdir(sl)) {
            if (e->d_name[0] == '.')
                continue;
            std::string num;
            dev_t sd;
            if (readLine(d + "/slaves/" + e->d_name + "/dev", num) && parseDevNum(num, &sd) &&
                blockHolds(sd, s, depth + 1, via)) {
                found = true;
                break;
            }
        }
        closedir(sl);
        if (found)
            return true;
        if (disk == dir)
            break;
    }
    return false;
}

// Undoes the octal escapes of /proc/self/mountinfo ("\040" for a space).
std::string unescapeMount(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '\\' && s.size() - i >= 4 && s[i + 1] >= '0' && s[i + 1] <= '3') {
            out += (char)((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The sources of the mounts whose device number is dev.
std::vector<std::string> mountSources(dev_t dev)
{
    std::vector<std::string> out;
    FILE *f = fopen("/proc/self/mountinfo", "re");
    if (!f)
        return out;
    char *line = nullptr;
    size_t cap = 0;
    while (getline(&line, &cap, f) > 0) {
        // ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - FSTYPE SOURCE SUPER
        char idbuf[32], parbuf[32], devbuf[32];
        if (sscanf(line, "%31s %31s %31s", idbuf, parbuf, devbuf) != 3)
            continue;
        dev_t d;
        if (!parseDevNum(devbuf, &d) || d != dev)
            continue;
        const char *sep = strstr(line, " - ");
        if (!sep)
            continue;
        char fstype[256], source[PATH_MAX];
        if (sscanf(sep + 3, "%255s %4095s", fstype, source) == 2)
            out.push_back(unescapeMount(source));
    }
    free(line);
    fclose(f);
    return out;
}

// "/a/b/c" made absolute and cut back to its nearest existing folder.
std::string nearestExisting(const std::string &path)
{
    std::string p = path;
    if (p.empty() || p[0] != '/') {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd))
            return {};
        p = std::string(cwd) + "/" + p;
    }
    struct stat sb;
    while (stat(p.c_str(), &sb) != 0) {
        size_t slash = p.find_last_of('/');
        if (slash == std::string::npos || p == "/")
            return {};
        p = slash == 0 ? "/" : p.substr(0, slash);
    }
    return p;
}

}  // namespace

bool outputOnScannedMedium(const std::string &outDir, const std::string &devicePath, std::string *why)
{
    Scanned s;
    s.path = devicePath;
    struct stat src;
    if (stat(devicePath.c_str(), &src) != 0)
        return false;
    if (S_ISBLK(src.st_mode)) {
        s.block = true;
        s.rdev = src.st_rdev;
    } else {
        s.fileDev = src.st_dev;
        s.fileIno = src.st_ino;
    }
    std::string at = nearestExisting(outDir);
    struct stat out;
    if (at.empty() || stat(at.c_str(), &out) != 0)
        return false;
    std::string via;
    bool holds = false;
    if (major(out.st_dev) != 0)
        holds = blockHolds(out.st_dev, s, 0, &via);
    // Mounts without a block device of their own (FUSE, network) name
    // their source in the mount table; fuseblk mounts are covered above.
    if (!holds) {
        for (const std::string &source : mountSources(out.st_dev)) {
            via.clear();
            if (pathHolds(source, s, 0, &via)) {
                via = source;
                holds = true;
                break;
            }
        }
    }
    if (holds && why) {
        *why = outDir + " is on " + (via.empty() ? devicePath : via) + ", which holds " + devicePath +
               ", the medium being scanned";
    }
    return holds;
}

}  // namespace salvitra
