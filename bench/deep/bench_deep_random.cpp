// bench_deep_random: the deep scan of random data against `cat` of the
// same (cached) image, in the same run.  The image is SIZE_MIB (1024 by
// default) of pseudo-random bytes holding 128 JPEG photos (made by ffmpeg)
// at sector boundaries, as a card full of encrypted or compressed data
// with some photos in it.  Prints the best of five of each (time and processor time), and how many
// photos the scan found.  usage: bench_deep_random [SIZE_MIB]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
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

int g_found = 0;
void onFound(void *, SCAN_TYPE, void *) { g_found++; }

double cpu(const struct rusage &r)
{
    return r.ru_utime.tv_sec + r.ru_stime.tv_sec + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// Runs cat on path into /dev/null; returns its wall time and sets *cpuTime.
double timeCat(const std::string &path, double *cpuTime)
{
    double t0 = now();
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execlp("cat", "cat", path.c_str(), (char *)nullptr);
        _exit(127);
    }
    int st = 0;
    struct rusage ru {};
    wait4(pid, &st, 0, &ru);
    *cpuTime = cpu(ru);
    return now() - t0;
}

}  // namespace

int main(int argc, char **argv)
{
    const uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1024;
    const int photos = 128;
    char dir[] = "/tmp/bench_deep_random.XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    std::string d = dir;
    std::string cmd = "ffmpeg -loglevel error -f lavfi -i testsrc2=size=640x480:rate=25 -frames:v " +
                      std::to_string(photos) + " -q:v 3 '" + d + "/p%03d.jpg'";
    std::vector<std::vector<uint8_t>> jpegs;
    if (system(cmd.c_str()) == 0)
        for (int i = 1; i <= photos; i++) {
            char name[32];
            snprintf(name, sizeof name, "/p%03d.jpg", i);
            jpegs.push_back(slurp(d + name));
        }
    if (jpegs.empty())
        printf("ffmpeg is missing: random data only\n");

    const uint64_t total = mib << 20;
    std::string img = d + "/random.img";
    int fd = open(img.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
    if (fd < 0)
        return 1;
    std::mt19937_64 rng(1402);
    std::vector<uint8_t> block(8u << 20);
    // The photos go to sector boundaries spread over the image.
    std::vector<uint64_t> at;
    for (size_t i = 0; i < jpegs.size(); i++)
        at.push_back((total / jpegs.size() * i + (rng() % (total / jpegs.size() / 2))) / 512 * 512);
    for (uint64_t off = 0; off < total; off += block.size()) {
        for (size_t k = 0; k + 8 <= block.size(); k += 8) {
            uint64_t r = rng();
            memcpy(block.data() + k, &r, 8);
        }
        for (size_t i = 0; i < jpegs.size(); i++) {
            const std::vector<uint8_t> &j = jpegs[i];
            if (at[i] + j.size() <= off || at[i] >= off + block.size())
                continue;
            uint64_t from = std::max(at[i], off), to = std::min(at[i] + j.size(), off + block.size());
            memcpy(block.data() + (from - off), j.data() + (from - at[i]), to - from);
        }
        size_t n = (size_t)std::min<uint64_t>(block.size(), total - off);
        if (pwrite(fd, block.data(), n, (off_t)off) != (ssize_t)n)
            return 1;
    }
    close(fd);

    std::string cat = "cat '" + img + "' > /dev/null";
    if (system(cat.c_str()) != 0)  // into the page cache for both
        return 1;
    double tcat = 1e9, tscan = 1e9, ccat = 1e9, cscan = 1e9;
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
    int found = 0;
    for (int r = 0; r < 5; r++) {
        double c;
        tcat = std::min(tcat, timeCat(img, &c));
        ccat = std::min(ccat, c);
        g_found = 0;
        struct rusage a {}, b {};
        getrusage(RUSAGE_THREAD, &a);
        double t0 = now();
        Search_FileHeadRceoverMian(&part);
        tscan = std::min(tscan, now() - t0);
        getrusage(RUSAGE_THREAD, &b);
        cscan = std::min(cscan, cpu(b) - cpu(a));
        found = g_found;
        Search_FileHeadRceoverMian_exit();
    }
    RemoveFoundFileCallback(nullptr);
    FullDevStruct_exit();
    Salvitra_SetDiskImages(nullptr, 0);

    double mb = (double)total / (1 << 20);
    printf("image            %llu MiB of random data with %zu JPEG photos (machine shared, figures as measured)\n",
           (unsigned long long)mib, jpegs.size());
    printf("cat              %8.1f MiB/s (%.3f s, %.3f s of processor time)\n", mb / tcat, tcat, ccat);
    printf("deep scan        %8.1f MiB/s (%.3f s, %.3f s of processor time), %d files found\n", mb / tscan, tscan,
           cscan, found);
    printf("time scan / cat  %8.2f, processor time %.2f (target <= 1.0; best of five each)\n", tscan / tcat,
           cscan / ccat);
    std::string rm = "rm -rf '" + d + "'";
    return system(rm.c_str()) == 0 ? 0 : 1;
}
