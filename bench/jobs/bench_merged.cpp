// bench_merged: the deep scan that reads the file system too, against the
// scans it replaces on the same cached image: the quick scan, the
// formatted-volume search and the content search alone.  Card-like FAT32
// and NTFS volumes made by the real tools (merged_image.sh); `cat` of the
// image is the reference of the same run.  Best of ROUNDS for each; the
// bytes each scan read from the medium show the one pass.
// usage: bench_merged [MIB] [ROUNDS]
#include <cstdio>
#include <cstdlib>
#include <map>

#include "bench_media.h"
#include "inventory.h"
#include "scan.h"

using namespace salvitra;
using benchmedia::nowNs;

namespace {

struct Run {
    double seconds = 1e9;
    uint64_t bytes = 0;
    size_t files = 0;
};

Run scan(Inventory &inv, const ScanRequest &base, int rounds)
{
    Run best;
    for (int r = 0; r < rounds; r++) {
        ScanRequest req = base;
        req.part = inv.partition(0)->part;
        benchmedia::Meter meter(req.part->Device);
        ScanJob job(req);
        int64_t t0 = nowNs();
        Status s = job.run();
        double t = (nowNs() - t0) / 1e9;
        if (!s.ok()) {
            printf("  scan failed: %s\n", s.text().c_str());
            return best;
        }
        if (t < best.seconds)
            best = Run{t, meter.bytes.load(), job.fileCount()};
    }
    return best;
}

}  // namespace

int main(int argc, char **argv)
{
    uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 512;
    int rounds = argc > 2 ? atoi(argv[2]) : 3;
    benchmedia::WorkDir dir;
    std::string make = "PATH=$PATH:/sbin:/usr/sbin bash " SV_SOURCE_DIR "/bench/jobs/merged_image.sh " + dir.path +
                       " " + std::to_string(mib) + " >/dev/null 2>&1";
    if (system(make.c_str()) != 0) {
        printf("the volumes could not be made (tools missing?)\n");
        return 0;
    }
    printf("volumes of %llu MiB (a first life, a quick format, a second life half deleted), best of %d, cached;\n"
           "2 cores shared with other work\n",
           (unsigned long long)mib, rounds);
    for (const char *name : {"fat32", "ntfs"}) {
        std::string img = dir.path + "/" + name + ".img";
        if (access(img.c_str(), R_OK) != 0) {
            printf("%s: not made here\n", name);
            continue;
        }
        std::string cat = "cat " + img + " > /dev/null";
        double bestCat = 1e9;
        for (int r = 0; r < rounds; r++) {
            int64_t t0 = nowNs();
            if (system(cat.c_str()) != 0)
                return 1;
            bestCat = std::min(bestCat, (nowNs() - t0) / 1e9);
        }
        Inventory inv;
        std::string err;
        if (!inv.build({img}, &err) || !inv.partition(0)) {
            printf("%s: %s\n", name, err.c_str());
            continue;
        }
        ScanRequest quick, formatted, content, merged;
        formatted.formatted = true;
        content.mode = merged.mode = RecoverDeep;
        content.contentOnly = true;
        Run q = scan(inv, quick, rounds), f = scan(inv, formatted, rounds), c = scan(inv, content, rounds),
            m = scan(inv, merged, rounds);
        auto line = [&](const char *what, const Run &r) {
            printf("  %-22s %7.3f s  %8.1f MiB read  %6zu files\n", what, r.seconds, r.bytes / 1048576.0, r.files);
        };
        printf("%s:\n  %-22s %7.3f s\n", name, "cat", bestCat);
        line("quick", q);
        line("formatted-volume", f);
        line("deep, content only", c);
        line("deep, merged", m);
        printf("  merged / (quick + content only) = %.2f; merged / (quick + formatted + content only) = %.2f\n",
               m.seconds / (q.seconds + c.seconds), m.seconds / (q.seconds + f.seconds + c.seconds));
    }
    return 0;
}
