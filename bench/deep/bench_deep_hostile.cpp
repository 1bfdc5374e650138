// bench_deep_hostile: deep scan of media built to make end searches long.
// Three patterns, each at 4, 16 and 64 MiB: every sector starts like a PDF
// that never has an end marker, like a ZIP entry whose sizes live in a data
// descriptor that never comes, or holds one stored ZIP entry leading to the
// next with no central directory after the last; the rest is random.
// The time per MiB must stay flat as the medium grows: it is printed as a
// ratio to `cat` of the same (cached) image.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
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

void fill_sector(uint8_t *s, const char *pattern, std::mt19937_64 &rng)
{
    for (size_t k = 0; k < 512; k += 8) {
        uint64_t r = rng();
        memcpy(s + k, &r, 8);
    }
    if (strcmp(pattern, "pdf") == 0) {
        const char head[] = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n1 0 obj\n<< /Type /Catalog >>\nendobj\n";
        memcpy(s, head, sizeof head - 1);
        /* no "%%EOF" may turn up by chance */
        for (size_t k = sizeof head - 1; k < 512; k++)
            if (s[k] == '%')
                s[k] = '#';
    } else if (strcmp(pattern, "zipchain") == 0) {
        /* one stored entry per sector, each leading to the next, and no
         * central directory after the last */
        static const uint8_t zip[30] = {'P', 'K', 3, 4, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                        0,   0,   0xDD, 1, 0, 0, 0xDD, 1, 0, 0, 5, 0, 0, 0};
        memcpy(s, zip, sizeof zip);
        memcpy(s + 30, "a.txt", 5);
    } else {
        static const uint8_t zip[30] = {'P', 'K', 3, 4, 20, 0, 8, 0, 8, 0, 0, 0, 0, 0, 0, 0,
                                        0,   0,   0, 0, 0,  0, 0, 0, 0, 0, 5, 0, 0, 0};
        memcpy(s, zip, sizeof zip);
        memcpy(s + 30, "a.txt", 5);
        for (size_t k = 35; k < 512; k++)
            if (s[k] == 'P')
                s[k] = 'Q';
    }
}

int found = 0;
void onFound(void *, SCAN_TYPE, void *) { found++; }

}  // namespace

int main()
{
    char dir[] = "/tmp/bench_hostile.XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    std::string img = std::string(dir) + "/image.img";
    AddFoundFileCallBack(onFound, nullptr);
    printf("%-8s %6s %10s %10s %12s %10s\n", "pattern", "MiB", "cat s", "scan s", "scan s/MiB",
           "cat/scan");
    for (const char *pattern : {"pdf", "zip", "zipchain"}) {
        for (uint64_t mib : {4, 16, 64}) {
            std::mt19937_64 rng(7);
            std::vector<uint8_t> buf(mib << 20);
            for (size_t at = 0; at < buf.size(); at += 512)
                fill_sector(buf.data() + at, pattern, rng);
            int fd = open(img.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
            if (fd < 0 || write(fd, buf.data(), buf.size()) != (ssize_t)buf.size())
                return 1;
            close(fd);

            std::string cat = "cat " + img + " > /dev/null";
            if (system(cat.c_str()) != 0)
                return 1;
            double t0 = now();
            for (int i = 0; i < 4; i++)
                if (system(cat.c_str()) != 0)
                    return 1;
            double tcat = (now() - t0) / 4;

            const char *paths[] = {img.c_str()};
            Salvitra_SetDiskImages(paths, 1);
            FullDevStruct();
            if (!GlobPointer)
                return 1;
            Partiton_Struct part{};
            part.PartSize = buf.size();
            part.Device = static_cast<Physics_Device_Struct *>(GlobPointer->data);
            fflush(stdout);
            int saved = dup(1);
            int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, 1); /* the progress setter talks on standard output */
            found = 0;
            t0 = now();
            Search_FileHeadRceoverMian(&part);
            double tscan = now() - t0;
            fflush(stdout);
            dup2(saved, 1);
            close(devnull);
            close(saved);
            Search_FileHeadRceoverMian_exit();
            FullDevStruct_exit();
            Salvitra_SetDiskImages(nullptr, 0);
            printf("%-8s %6llu %10.3f %10.3f %12.4f %10.3f%s\n", pattern, (unsigned long long)mib,
                   tcat, tscan, tscan / (double)mib, tcat / tscan,
                   found ? "  (files found: unexpected)" : "");
        }
    }
    RemoveFoundFileCallback(nullptr);
    std::string rm = std::string("rm -rf ") + dir;
    return system(rm.c_str()) == 0 ? 0 : 1;
}
