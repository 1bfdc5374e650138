// A disk image served as a failing medium: a file in a FUSE file system of
// the tests' own (sv_faultyfs) whose reads fail on chosen sectors, and which
// can go away in the middle of a scan, as a pulled card does.
//
//   svt::FailingMedium m(image, {{2048, 8}});     // sectors 2048..2055 unreadable
//   if (!m.ok()) GTEST_SKIP() << m.why();
//   runCli("scan --deep --device 0 --image " + shellQuote(m.path()));
//
// The server is started as a child process and stopped by its process id;
// the mount point is unmounted when the object goes.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace svt {

// Runs of unreadable 512-byte sectors: (first sector, count).
using BadSectors = std::vector<std::pair<uint64_t, uint64_t>>;

class FailingMedium {
public:
    struct Options {
        BadSectors bad;
        // The first read at or past this byte makes the medium go away.
        uint64_t vanishAt = UINT64_MAX;
        // Reads through the page cache (4 KiB pages) instead of direct I/O.
        bool cached = false;
        // A medium of this speed: each read takes latencyUs more, and its
        // bytes the time mbps (MB/s) needs; 0: as fast as memory.
        uint32_t latencyUs = 0, mbps = 0;
    };
    FailingMedium(const std::string &image, const Options &o);
    FailingMedium(const std::string &image, const BadSectors &bad) : FailingMedium(image, Options{bad}) {}
    ~FailingMedium();
    FailingMedium(const FailingMedium &) = delete;
    FailingMedium &operator=(const FailingMedium &) = delete;

    // False (and why() says why) where FUSE cannot be used here.
    bool ok() const { return ok_; }
    const std::string &why() const { return why_; }
    // The file that stands for the medium.
    const std::string &path() const { return path_; }
    // Pulls the medium now: its server is killed.
    void vanish();

private:
    bool ok_ = false;
    std::string why_, dir_, mnt_, path_;
    pid_t pid_ = -1;
};

// `share` of the sectors of a medium of `sectors` sectors, spread over it
// evenly from a seed, as single bad sectors.
BadSectors spreadBadSectors(uint64_t sectors, double share, uint32_t seed);

}  // namespace svt
