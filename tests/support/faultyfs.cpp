// sv_faultyfs: a FUSE file system of one read-only file, "disk", that serves
// an image whose reads fail in chosen places, as a worn card or a disk with
// bad sectors does.
//
//   sv_faultyfs IMAGE MOUNTPOINT [--bad FILE] [--vanish-at BYTE] [--cached]
//               [--latency-us N] [--mbps N]
//
// --bad FILE     lines "FIRST COUNT": runs of 512-byte sectors that cannot be
//                read.  A read that starts on one fails with EIO; a read that
//                reaches one returns the bytes before it (as a block device
//                does, a short read), or fails too with --cached.
// --vanish-at B  the first read at or past byte B makes the server go away
//                (it exits without answering): from then on every access
//                to the file fails, as when a medium is pulled.  Reads of
//                the last 4 KiB alone (an image-format probe) do not count.
// --cached       reads go through the page cache (the default is direct
//                I/O: every read reaches the server with its own size).
// --latency-us N, --mbps N
//                every read takes N microseconds more, and its bytes take
//                the time a medium of that speed needs (a card, say),
//                failed reads included.
//
// The server runs in the foreground, single-threaded; it is stopped by
// SIGTERM (or killed) and unmounted by its owner (tests/support's
// FailingMedium).
#define FUSE_USE_VERSION 35
#include <fuse.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr uint64_t kSector = 512;
constexpr const char *kName = "/disk";

struct Server {
    int fd = -1;
    uint64_t size = 0;
    std::vector<std::pair<uint64_t, uint64_t>> bad;  // [first, end) sectors, sorted, merged
    uint64_t vanishAt = UINT64_MAX;
    bool cached = false;
    uint64_t latencyUs = 0;
    uint64_t mbps = 0;
} g;

// The first bad sector at or after `sector`, or UINT64_MAX.
uint64_t nextBad(uint64_t sector)
{
    auto it = std::upper_bound(g.bad.begin(), g.bad.end(), std::make_pair(sector, UINT64_MAX));
    if (it != g.bad.begin() && std::prev(it)->second > sector)
        return sector;
    return it == g.bad.end() ? UINT64_MAX : it->first;
}

int fsGetattr(const char *path, struct stat *st, struct fuse_file_info *)
{
    memset(st, 0, sizeof *st);
    if (strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (strcmp(path, kName) != 0)
        return -ENOENT;
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = (off_t)g.size;
    return 0;
}

int fsReaddir(const char *path, void *buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info *,
              enum fuse_readdir_flags)
{
    if (strcmp(path, "/") != 0)
        return -ENOENT;
    fill(buf, ".", nullptr, 0, (fuse_fill_dir_flags)0);
    fill(buf, "..", nullptr, 0, (fuse_fill_dir_flags)0);
    fill(buf, kName + 1, nullptr, 0, (fuse_fill_dir_flags)0);
    return 0;
}

int fsOpen(const char *path, struct fuse_file_info *fi)
{
    if (strcmp(path, kName) != 0)
        return -ENOENT;
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    fi->direct_io = g.cached ? 0 : 1;
    fi->keep_cache = g.cached ? 1 : 0;
    return 0;
}

int fsRead(const char *path, char *buf, size_t len, off_t off, struct fuse_file_info *)
{
    if (strcmp(path, kName) != 0)
        return -ENOENT;
    if (off < 0)
        return -EINVAL;
    uint64_t at = (uint64_t)off;
    // The image probe's read of the last page at open (a VHD footer is
    // looked for there) does not pull the medium: only the scan's reads do.
    const bool probe = g.size >= 4096 && at >= g.size - 4096;
    if (at + len > g.vanishAt && at < g.size && !probe)
        _exit(0);  // the medium is pulled: this read is never answered
    if (at >= g.size)
        return 0;
    uint64_t want = std::min<uint64_t>(len, g.size - at);
    uint64_t bad = nextBad(at / kSector);
    bool fails = false;
    if (bad != UINT64_MAX) {
        uint64_t badByte = bad * kSector;
        // Through the page cache a short answer would mean the end of the
        // file: a request that meets a bad sector fails whole (the kernel
        // then asks for its pages one by one).
        if (badByte <= at || (g.cached && badByte < at + want))
            fails = true;
        else if (badByte < at + want)
            want = badByte - at;
    }
    // The medium's time: the request, and the bytes it delivers.
    uint64_t delay = g.latencyUs + (g.mbps && !fails ? want / g.mbps : 0);
    if (delay)
        usleep((useconds_t)delay);
    if (fails)
        return -EIO;
    uint64_t got = 0;
    while (got < want) {
        ssize_t n = pread(g.fd, buf + got, want - got, (off_t)(at + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += (uint64_t)n;
    }
    return got ? (int)got : -EIO;
}

bool loadBad(const char *file)
{
    FILE *f = fopen(file, "re");
    if (!f)
        return false;
    unsigned long long first, count;
    while (fscanf(f, "%llu %llu", &first, &count) == 2)
        if (count)
            g.bad.emplace_back(first, first + count);
    fclose(f);
    std::sort(g.bad.begin(), g.bad.end());
    std::vector<std::pair<uint64_t, uint64_t>> merged;
    for (const auto &r : g.bad) {
        if (!merged.empty() && r.first <= merged.back().second)
            merged.back().second = std::max(merged.back().second, r.second);
        else
            merged.push_back(r);
    }
    g.bad.swap(merged);
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: sv_faultyfs IMAGE MOUNTPOINT [--bad FILE] [--vanish-at BYTE] [--cached]\n");
        return 2;
    }
    for (int i = 3; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--bad" && i + 1 < argc) {
            if (!loadBad(argv[++i])) {
                perror(argv[i]);
                return 2;
            }
        } else if (a == "--vanish-at" && i + 1 < argc) {
            g.vanishAt = strtoull(argv[++i], nullptr, 10);
        } else if (a == "--cached") {
            g.cached = true;
        } else if (a == "--latency-us" && i + 1 < argc) {
            g.latencyUs = strtoull(argv[++i], nullptr, 10);
        } else if (a == "--mbps" && i + 1 < argc) {
            g.mbps = strtoull(argv[++i], nullptr, 10);
        } else {
            fprintf(stderr, "sv_faultyfs: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    g.fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    struct stat sb;
    if (g.fd < 0 || fstat(g.fd, &sb) != 0) {
        perror(argv[1]);
        return 1;
    }
    g.size = (uint64_t)sb.st_size;

    static struct fuse_operations ops;
    ops.getattr = fsGetattr;
    ops.readdir = fsReaddir;
    ops.open = fsOpen;
    ops.read = fsRead;
    std::vector<char *> args = {argv[0], argv[2], (char *)"-f", (char *)"-s", (char *)"-o",
                                (char *)"ro,fsname=sv_faultyfs"};
    return fuse_main((int)args.size(), args.data(), &ops, nullptr);
}
