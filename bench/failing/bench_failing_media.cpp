// Scans of a medium with 1 % of its sectors unreadable, against the same
// medium without faults, both served by the tests' FUSE server (direct I/O:
// every read reaches the server).  Target: the failing medium takes at most
// twice as long.  Reference: cat of the faultless medium, in the same run.
//
//   deep   a 256 MiB medium: pseudo-random bytes with BMP pictures
//   quick  the NTFS fixture c4k.img (built on first use)
//
// Each twice: served from memory (the software's own cost per failed read
// against a scan that costs almost nothing per byte), and as a card would
// serve it (80 MB/s, 200 microseconds per request, failed ones too).
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bmp_run.h"
#include "failing_medium.h"
#include "inventory.h"
#include "scan.h"
#include "test_support.h"

using namespace salvitra;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(const std::function<void()> &f)
{
    auto t0 = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

struct Result {
    double best = 1e9;
    Progress progress;
    size_t files = 0;
};

Result scan(const std::string &path, RecoverMod mode, bool wholeDevice)
{
    Result r;
    for (int run = 0; run < 3; run++) {
        Inventory inv;
        std::string err;
        if (!inv.build({path}, &err)) {
            fprintf(stderr, "%s\n", err.c_str());
            return r;
        }
        ScanRequest req;
        req.part = wholeDevice ? inv.wholeDevice(0) : inv.partition(0) ? inv.partition(0)->part : nullptr;
        req.mode = mode;
        if (!req.part)
            return r;
        ScanJob job(req);
        double t = seconds([&] { job.run(); });
        if (t < r.best) {
            r.best = t;
            r.progress = job.progress();
            r.files = job.fileCount();
        }
    }
    return r;
}

void compare(const char *what, const std::string &image, RecoverMod mode, bool wholeDevice, uint32_t mbps,
             uint32_t latencyUs)
{
    uint64_t sectors = svt::readFile(image).size() / 512;
    svt::BadSectors bad;
    for (const auto &b : svt::spreadBadSectors(sectors - 64, 0.01, 11))
        bad.emplace_back(b.first + 64, b.second);
    Result clean, failing;
    double cat = 1e9;
    svt::FailingMedium::Options o;
    o.mbps = mbps;
    o.latencyUs = latencyUs;
    {
        svt::FailingMedium m(image, o);
        if (!m.ok()) {
            printf("  %s: skipped (%s)\n", what, m.why().c_str());
            return;
        }
        for (int run = 0; run < 3; run++)
            cat = std::min(cat, seconds([&] { svt::run("cat " + svt::shellQuote(m.path()) + " >/dev/null"); }));
        clean = scan(m.path(), mode, wholeDevice);
    }
    {
        o.bad = bad;
        svt::FailingMedium m(image, o);
        failing = scan(m.path(), mode, wholeDevice);
    }
    printf("  %-6s %-9s %6.1f MiB: clean %.3f s (%zu files), 1%% unreadable %.3f s (%zu files, %u areas met), "
           "ratio %.2f (target <= 2); cat %.3f s\n",
           what, mbps ? "card-like" : "memory", (double)sectors / 2048, clean.best, clean.files, failing.best, failing.files,
           failing.progress.unreadableAreas, failing.best / clean.best, cat);
}

}  // namespace

int main()
{
    std::ifstream la("/proc/loadavg");
    std::string load;
    std::getline(la, load);
    printf("bench_failing_media (best of 3; load average %s)\n", load.c_str());
    svt::TempDir t;
    {
        std::vector<uint8_t> img = svt::patternBytes(256u << 20, 3);
        for (uint32_t i = 0; i < 256; i++) {
            std::vector<uint8_t> f = svt::bmpFile(64 << 10, i + 1);
            std::copy(f.begin(), f.end(), img.begin() + (size_t)i * (1 << 20));
        }
        svt::writeFile(t.file("deep.img"), img);
    }
    std::string ntfs = svt::fixture("ntfs") + "/c4k.img";
    for (uint32_t mbps : {0u, 80u}) {
        uint32_t latency = mbps ? 200 : 0;
        compare("deep", t.file("deep.img"), RecoverDeep, true, mbps, latency);
        if (std::ifstream(ntfs).good())
            compare("quick", ntfs, RecoverQuick, false, mbps, latency);
    }
    return 0;
}
