// bench_deep_types: a deep scan looking for every kind against one looking
// for JPEG only, over the same cached image, with `cat` of the image as the
// reference.  The two scans alternate and the best of each is kept (the
// machine may be busy).  usage: bench_deep_types [IMAGE_MIB] [ROUNDS]
#include <cstdio>
#include <cstdlib>

#include "bench_media.h"
#include "inventory.h"
#include "scan.h"

using namespace salvitra;
using benchmedia::nowNs;

int main(int argc, char **argv)
{
    uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 512;
    int rounds = argc > 2 ? atoi(argv[2]) : 3;
    benchmedia::WorkDir dir;
    std::vector<uint8_t> corpus;
    if (benchmedia::fixture(dir.path, "carving"))
        corpus = benchmedia::slurp(dir.path + "/carving/raw.img");
    else
        printf("carving corpus unavailable (tools missing): random content only\n");
    std::string img = dir.path + "/deep.img";
    if (!benchmedia::makeDeepImage(img, mib, corpus))
        return 1;
    std::string cat = "cat " + img + " > /dev/null";
    if (system(cat.c_str()) != 0)
        return 1;
    Inventory inv;
    std::string err;
    if (!inv.build({img}, &err))
        return 1;

    double bestCat = 1e9, bestAll = 1e9, bestJpeg = 1e9;
    size_t filesAll = 0, filesJpeg = 0;
    for (int r = 0; r < rounds; r++) {
        int64_t t0 = nowNs();
        if (system(cat.c_str()) != 0)
            return 1;
        bestCat = std::min(bestCat, (nowNs() - t0) / 1e9);
        for (bool jpegOnly : {false, true}) {
            ScanRequest req;
            req.part = inv.wholeDevice(0);
            req.mode = RecoverDeep;
            if (jpegOnly)
                req.types = {"jpg"};
            ScanJob job(req);
            t0 = nowNs();
            if (!job.run().ok())
                return 1;
            double t = (nowNs() - t0) / 1e9;
            (jpegOnly ? bestJpeg : bestAll) = std::min(jpegOnly ? bestJpeg : bestAll, t);
            (jpegOnly ? filesJpeg : filesAll) = job.fileCount();
        }
    }
    double m = (double)mib;
    printf("image %llu MiB (corpus %zu bytes repeated, random, holes), best of %d; "
           "2 cores shared with other work\n",
           (unsigned long long)mib, corpus.size(), rounds);
    printf("  cat                 %8.1f MiB/s\n", m / bestCat);
    printf("  deep, every kind    %8.1f MiB/s (%.2f of cat), %zu files\n", m / bestAll, bestCat / bestAll, filesAll);
    printf("  deep, JPEG only     %8.1f MiB/s (%.2f of cat), %zu files\n", m / bestJpeg, bestCat / bestJpeg,
           filesJpeg);
    printf("  JPEG only is %.2fx as fast as every kind\n", bestAll / bestJpeg);
    return 0;
}
