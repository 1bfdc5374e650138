// Media for the job benchmarks: a deep-scan image made of the carving
// corpus (tests/fixtures/carving.sh), pseudo-random stretches and holes,
// and a meter between a scan and its device that notes when each read
// ended and, when asked, slows reads down to a card's speed.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "merrow.h"

namespace benchmedia {

inline int64_t nowNs()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

inline std::vector<uint8_t> slurp(const std::string &path)
{
    std::vector<uint8_t> v;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return v;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        v.insert(v.end(), buf, buf + n);
    fclose(f);
    return v;
}

// A private folder under /tmp, removed by the destructor.
struct WorkDir {
    std::string path;
    WorkDir()
    {
        char t[] = "/tmp/bench_jobs.XXXXXX";
        path = mkdtemp(t) ? t : "";
    }
    ~WorkDir()
    {
        if (!path.empty() && system(("rm -rf " + path).c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", path.c_str());
    }
};

// Runs a fixture script into dir/name; true when it made its images.
inline bool fixture(const std::string &dir, const std::string &name)
{
    std::string cmd = "mkdir -p " + dir + "/" + name + " && PATH=$PATH:/sbin:/usr/sbin bash " SV_SOURCE_DIR
                      "/tests/fixtures/" + name + ".sh " + dir + "/" + name + " >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

// mib MiB: in every 8 MiB block, a third of the 4 KiB pieces hold the
// corpus (when there is one), the rest pseudo-random bytes; every fourth
// block is a hole of zeros, as on an erased card.
inline bool makeDeepImage(const std::string &path, uint64_t mib, const std::vector<uint8_t> &corpus)
{
    int fd = open(path.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    const uint64_t total = mib << 20;
    const size_t block = 8u << 20;
    std::mt19937_64 rng(42);
    std::vector<uint8_t> buf(block);
    bool ok = true;
    for (uint64_t at = 0, i = 0; ok && at < total; at += block, i++) {
        if (i % 4 == 3)
            continue;
        size_t fill = 0;
        while (fill < block) {
            if (!corpus.empty() && (fill / 4096) % 3 == 0) {
                size_t n = std::min(corpus.size(), block - fill);
                memcpy(buf.data() + fill, corpus.data(), n);
                fill += n;
            } else {
                size_t n = std::min<size_t>(1 << 20, block - fill);
                for (size_t k = 0; k + 8 <= n; k += 8) {
                    uint64_t r = rng();
                    memcpy(buf.data() + fill + k, &r, 8);
                }
                fill += n;
            }
            fill = (fill + 511) / 512 * 512;
        }
        ok = pwrite(fd, buf.data(), block, (off_t)at) == (ssize_t)block;
    }
    ok = ok && ftruncate(fd, (off_t)total) == 0;
    close(fd);
    return ok;
}

// Wraps one device record's read: notes the end of every read and the
// bytes read; with bytesPerSecond set, a read takes at least as long as
// that speed allows.  One meter at a time.
class Meter {
public:
    explicit Meter(Physics_Device_Struct *dev) : dev_(dev), saved_(dev->Ops)
    {
        ops_ = *dev->Ops;
        original_ = saved_->read;
        ops_.read = &Meter::read;
        self_ = this;
        dev_->Ops = &ops_;
    }
    ~Meter()
    {
        dev_->Ops = saved_;
        self_ = nullptr;
    }
    std::atomic<int64_t> lastEndNs{0};
    std::atomic<uint64_t> bytes{0};
    double bytesPerSecond = 0;

private:
    static int32_t read(Physics_Device_Struct *dev, void *dst, uint32_t len, uint64_t off)
    {
        Meter *m = self_;
        int64_t t0 = nowNs();
        int32_t r = m->original_(dev, dst, len, off);
        if (m->bytesPerSecond > 0) {
            int64_t due = t0 + (int64_t)(len / m->bytesPerSecond * 1e9);
            int64_t left = due - nowNs();
            if (left > 0)
                std::this_thread::sleep_for(std::chrono::nanoseconds(left));
        }
        if (r > 0)
            m->bytes += (uint64_t)r;
        m->lastEndNs = nowNs();
        return r;
    }

    Physics_Device_Struct *dev_;
    DeviceOps *saved_;
    DeviceOps ops_{};
    DeviceReadFn original_ = nullptr;
    static inline Meter *self_ = nullptr;
};

}  // namespace benchmedia
