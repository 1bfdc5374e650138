// bench_pause: the time from Pause to the last byte a paused scan reads.
// A job scans; at random moments (every 30-150 ms) Pause is pressed, the
// job is left until its worker holds at the gate, and the time from the
// press to the end of the last device read is noted; then it continues.
// Three scans: a deep scan of a cached image at full speed, the same
// through a device slowed to a card's 25 MB/s, and the formatted-volume
// search of a FAT32 card (which reads the whole volume) at 25 MB/s.
// Target: under 100 ms.  The machine may be busy: figures as measured.
// usage: bench_pause [IMAGE_MIB] [PAUSES]
#include <cstdio>
#include <cstdlib>
#include <random>

#include "bench_media.h"
#include "inventory.h"
#include "scan.h"

using namespace salvitra;
using benchmedia::nowNs;

namespace {

void measure(const char *what, Partiton_Struct *part, ScanRequest req, double bytesPerSecond, int pauses)
{
    benchmedia::Meter meter(part->Device);
    meter.bytesPerSecond = bytesPerSecond;
    req.part = part;
    std::mt19937 rng(7);
    std::vector<double> toLast, toHeld;
    uint64_t mostAfter = 0;
    // A scan that ends before enough pauses landed is run again.
    for (int scans = 0; scans < 20 && (int)toLast.size() < pauses; scans++) {
        ScanJob job(req);
        job.start();
        while ((int)toLast.size() < pauses) {
            int gap = bytesPerSecond > 0 ? 30 + (int)(rng() % 121) : 5 + (int)(rng() % 26);
            if (job.waitFor(gap))
                break;  // the scan ended first
            int64_t pressed = nowNs();
            uint64_t before = meter.bytes;
            job.pause();
            if (!job.waitHolding(10000))
                break;
            int64_t held = nowNs();
            int64_t last = meter.lastEndNs;
            toLast.push_back(last > pressed ? (last - pressed) / 1e6 : 0.0);
            toHeld.push_back((held - pressed) / 1e6);
            mostAfter = std::max<uint64_t>(mostAfter, meter.bytes - before);
            job.resume();
        }
        job.stop();
        job.wait();
    }
    if (toLast.empty()) {
        printf("%-44s no pause landed (the scan was too short)\n", what);
        return;
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    printf("%-38s %2zu pauses: Pause to the last byte read: median %5.2f ms, max %6.2f ms; "
           "to held: max %6.2f ms; at most %.2f MiB read after Pause\n",
           what, toLast.size(), median(toLast), *std::max_element(toLast.begin(), toLast.end()),
           *std::max_element(toHeld.begin(), toHeld.end()), mostAfter / 1048576.0);
}

}  // namespace

int main(int argc, char **argv)
{
    uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 512;
    int pauses = argc > 2 ? atoi(argv[2]) : 20;
    benchmedia::WorkDir dir;
    std::vector<uint8_t> corpus;
    if (benchmedia::fixture(dir.path, "carving"))
        corpus = benchmedia::slurp(dir.path + "/carving/raw.img");
    std::string img = dir.path + "/deep.img";
    if (!benchmedia::makeDeepImage(img, mib, corpus))
        return 1;
    if (system(("cat " + img + " > /dev/null").c_str()) != 0)
        return 1;
    printf("deep image %llu MiB (corpus %zu bytes repeated, random, holes); 2 cores shared with other work\n",
           (unsigned long long)mib, corpus.size());
    {
        Inventory inv;
        std::string err;
        if (!inv.build({img}, &err))
            return 1;
        ScanRequest req;
        req.mode = RecoverDeep;
        measure("deep scan, cached image, full speed", inv.wholeDevice(0), req, 0, pauses);
        measure("deep scan, device at 25 MB/s", inv.wholeDevice(0), req, 25e6, pauses);
    }
    if (benchmedia::fixture(dir.path, "fat32fmt")) {
        Inventory inv;
        std::string err;
        if (inv.build({dir.path + "/fat32fmt/fat32fmt.img"}, &err) && !inv.partitions().empty()) {
            ScanRequest req;
            req.formatted = true;
            measure("FAT formatted-volume search, 25 MB/s", inv.partitions()[0].part, req, 25e6, pauses);
        }
    } else {
        printf("FAT formatted-volume search: fixture tools missing\n");
    }
    return 0;
}
