// The search for lost volumes on a 4 GiB disk image (sparse, read in full):
// the time of the search against cat of the same image, in the same run.
// Volumes made by mkfs.vfat, mke2fs, mkntfs and mkfs.exfat lie at 1 MiB,
// 1 GiB, 2 GiB and 3 GiB behind a zeroed sector 0.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "merrow.h"

namespace {

const uint64_t kMiB = 1024 * 1024;
const uint64_t kDisk = 4096 * kMiB;

bool sh(const std::string &cmd)
{
    return system(("PATH=$PATH:/sbin:/usr/sbin " + cmd + " >/dev/null 2>&1").c_str()) == 0;
}

double seconds(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main()
{
    char dir[] = "/tmp/svlost.XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    std::string d = dir, img = d + "/disk.img";
    const char *make[] = {"mkfs.vfat -F 32 -n BENCH", "mke2fs -q -F -t ext4 -L bench", "mkntfs -q -F -Q -L Bench",
                          "mkfs.exfat -L BENCH"};
    bool ok = sh("truncate -s " + std::to_string(kDisk) + " " + img);
    for (int i = 0; i < 4 && ok; i++) {
        std::string vol = d + "/v" + std::to_string(i);
        ok = sh("truncate -s 256M " + vol) && sh(std::string(make[i]) + " " + vol) &&
             sh("dd if=" + vol + " of=" + img + " bs=1M seek=" + std::to_string(i == 0 ? 1 : i * 1024) +
                " conv=notrunc,sparse status=none") &&
             sh("rm -f " + vol);
    }
    if (!ok) {
        printf("bench_lost: mkfs tools missing, nothing measured\n");
        sh("rm -rf " + d);
        return 0;
    }
    const char *paths[] = {img.c_str()};
    Salvitra_SetDiskImages(paths, 1);
    FullDevStruct();
    FullPartitionBlock();

    std::vector<double> cat, search;
    uint32_t found = 0;
    for (int run = 0; run < 3; run++) {
        auto t0 = std::chrono::steady_clock::now();
        sh("cat " + img + " > /dev/null");
        cat.push_back(seconds(t0));
        t0 = std::chrono::steady_clock::now();
        Volume_Search s;
        if (Salvitra_SearchVolumes(0, nullptr, nullptr, &s) == 0)
            found = s.Count;
        search.push_back(seconds(t0));
        Salvitra_FreeSearch(&s);
    }
    FullPartitionBlock_exit();
    FullDevStruct_exit();
    Salvitra_SetDiskImages(nullptr, 0);
    sh("rm -rf " + d);

    double c = *std::min_element(cat.begin(), cat.end()), s = *std::min_element(search.begin(), search.end());
    printf("bench_lost: search of a 4 GiB image (sparse, read in full) for lost volumes\n");
    printf("  volumes found:            %u (of 4)\n", found);
    printf("  cat (best of 3):          %.2f s  (%.0f MiB/s)\n", c, 4096 / c);
    printf("  search (best of 3):       %.2f s  (%.0f MiB/s)\n", s, 4096 / s);
    printf("  search speed / cat speed: %.2f (target at least 0.8)\n", c / s);
    return found == 4 ? 0 : 1;
}
