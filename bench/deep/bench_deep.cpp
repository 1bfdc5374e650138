// bench_deep: deep-scan throughput over a 1 GiB image against `cat` of the
// same (cached) image.  The image holds the carving corpus over and over,
// pseudo-random stretches and holes; it is made in /tmp and deleted after.
// usage: bench_deep [SIZE_MIB]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "merrow.h"
#include "sennet.h"

namespace {

double now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::vector<uint8_t> slurp(const std::string &path)
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

int found = 0;
void onFound(void *, SCAN_TYPE, void *) { found++; }

}  // namespace

int main(int argc, char **argv)
{
    uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1024;
    char dir[] = "/tmp/bench_deep.XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    std::string corpusDir = std::string(dir) + "/corpus";
    std::string cmd = "mkdir -p " + corpusDir + " && PATH=$PATH:/sbin:/usr/sbin bash " SV_SOURCE_DIR
                      "/tests/fixtures/carving.sh " + corpusDir + " >/dev/null 2>&1";
    std::vector<uint8_t> corpus;
    if (system(cmd.c_str()) == 0)
        corpus = slurp(corpusDir + "/raw.img");
    if (corpus.empty())
        printf("carving corpus unavailable (tools missing): random content only\n");

    std::string img = std::string(dir) + "/image.img";
    int fd = open(img.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
    if (fd < 0)
        return 1;
    const uint64_t total = mib << 20;
    const size_t block = 8u << 20;
    std::mt19937_64 rng(42);
    std::vector<uint8_t> buf(block);
    for (uint64_t at = 0, i = 0; at < total; at += block, i++) {
        if (i % 4 == 3)
            continue; /* a hole: zeros, as in an erased card */
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
        if (pwrite(fd, buf.data(), block, (off_t)at) != (ssize_t)block)
            return 1;
    }
    if (ftruncate(fd, (off_t)total) != 0)
        return 1;
    fsync(fd);
    close(fd);

    // Warm the cache, then time cat.
    std::string cat = "cat " + img + " > /dev/null";
    if (system(cat.c_str()) != 0)
        return 1;
    double t0 = now();
    if (system(cat.c_str()) != 0)
        return 1;
    double tcat = now() - t0;

    const char *paths[] = {img.c_str()};
    Salvitra_SetDiskImages(paths, 1);
    FullDevStruct();
    if (!GlobPointer)
        return 1;
    auto *dev = static_cast<Physics_Device_Struct *>(GlobPointer->data);
    Partiton_Struct part{};
    part.PartSize = total;
    part.Device = dev;
    AddFoundFileCallBack(onFound, nullptr);
    fflush(stdout);
    int saved = dup(1);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1); /* the progress setter talks on standard output */
    t0 = now();
    Search_FileHeadRceoverMian(&part);
    double tscan = now() - t0;
    fflush(stdout);
    dup2(saved, 1);
    close(devnull);
    close(saved);
    int types = 0;
    while (Get_Dir())
        types++;
    Search_FileHeadRceoverMian_exit();
    RemoveFoundFileCallback(nullptr);
    FullDevStruct_exit();
    Salvitra_SetDiskImages(nullptr, 0);

    double mb = (double)total / (1 << 20);
    printf("image            %llu MiB (corpus %zu bytes repeated, random, holes)\n",
           (unsigned long long)mib, corpus.size());
    printf("cat              %8.1f MiB/s (%.3f s)\n", mb / tcat, tcat);
    printf("deep scan        %8.1f MiB/s (%.3f s), %d files of %d types\n", mb / tscan, tscan, found,
           types);
    printf("ratio scan/cat   %8.2f (target >= 0.50)\n", tcat / tscan);

    std::string rm = std::string("rm -rf ") + dir;
    return system(rm.c_str()) == 0 ? 0 : 1;
}
