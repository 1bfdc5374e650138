// Listing a 16 GiB sparse disk with an MBR, one primary and 20 logical
// partitions (FAT32, NTFS, ext4, exFAT in turn): the time from
// FullDevStruct to a complete partition list, and the teardown.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "merrow.h"

namespace {

const uint64_t kMiB = 1024 * 1024;
const uint64_t kDisk = 16 * 1024 * kMiB;
const uint64_t kVolume = 512 * kMiB;

bool sh(const std::string &cmd)
{
    return system(("PATH=$PATH:/sbin:/usr/sbin " + cmd + " >/dev/null 2>&1").c_str()) == 0;
}

// Copies the data extents of a sparse file to an offset of another file.
bool copySparse(const std::string &from, int to, uint64_t at)
{
    int fd = open(from.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    std::vector<char> buf(kMiB);
    off_t pos = 0;
    while ((pos = lseek(fd, pos, SEEK_DATA)) >= 0) {
        off_t hole = lseek(fd, pos, SEEK_HOLE);
        while (pos < hole) {
            ssize_t n = pread(fd, buf.data(), std::min<off_t>(buf.size(), hole - pos), pos);
            if (n <= 0 || pwrite(to, buf.data(), n, (off_t)at + pos) != n) {
                close(fd);
                return false;
            }
            pos += n;
        }
    }
    close(fd);
    return true;
}

void entry(uint8_t *sector, int i, uint8_t type, uint32_t first, uint32_t count)
{
    uint8_t *e = sector + 446 + 16 * i;
    e[4] = type;
    memcpy(e + 8, &first, 4);
    memcpy(e + 12, &count, 4);
    sector[510] = 0x55;
    sector[511] = 0xAA;
}

}  // namespace

int main()
{
    char dir[] = "/tmp/svbench.XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    std::string d = dir;
    std::string vols[4] = {d + "/fat32", d + "/ntfs", d + "/ext4", d + "/exfat"};
    bool ok = true;
    for (auto &v : vols)
        ok = ok && sh("truncate -s " + std::to_string(kVolume) + " " + v);
    ok = ok && sh("mkfs.vfat -F 32 -n BENCH " + vols[0]) && sh("mkntfs -q -F -Q -L Bench " + vols[1]) &&
         sh("mke2fs -q -F -t ext4 -L bench " + vols[2]) && sh("mkfs.exfat -L BENCH " + vols[3]);
    if (!ok) {
        printf("bench_partitions: mkfs tools missing, nothing measured\n");
        sh("rm -rf " + d);
        return 0;
    }

    std::string img = d + "/disk.img";
    int fd = open(img.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ftruncate(fd, (off_t)kDisk) != 0)
        return 1;
    uint8_t mbr[512] = {};
    uint32_t volSectors = (uint32_t)(kVolume / 512);
    entry(mbr, 0, 0x0C, 2048, volSectors);
    uint64_t ext = 2 * 1024 * kMiB;
    entry(mbr, 1, 0x05, (uint32_t)(ext / 512), (uint32_t)((kDisk - ext) / 512));
    ok = pwrite(fd, mbr, 512, 0) == 512 && copySparse(vols[0], fd, kMiB);
    const int logicals = 20;
    for (int i = 0; i < logicals && ok; i++) {
        uint64_t ebr = ext + (uint64_t)i * (kVolume + kMiB);
        uint8_t s[512] = {};
        entry(s, 0, i % 4 == 1 ? 0x07 : i % 4 == 2 ? 0x83 : i % 4 == 3 ? 0x07 : 0x0C, 2048, volSectors);
        if (i + 1 < logicals)
            entry(s, 1, 0x05, (uint32_t)((ebr + kVolume + kMiB - ext) / 512), 2048 + volSectors);
        ok = pwrite(fd, s, 512, (off_t)ebr) == 512 && copySparse(vols[i % 4], fd, ebr + kMiB);
    }
    close(fd);
    if (!ok) {
        printf("bench_partitions: could not build the image\n");
        return 1;
    }

    const char *paths[] = {img.c_str()};
    Salvitra_SetDiskImages(paths, 1);
    std::vector<double> build, teardown;
    size_t listed = 0;
    for (int run = 0; run < 25; run++) {
        auto t0 = std::chrono::steady_clock::now();
        FullDevStruct();
        FullPartitionBlock();
        auto t1 = std::chrono::steady_clock::now();
        listed = 0;
        for (_Device_List *n = GlobPointerPartiton; n; n = n->next)
            listed++;
        FullPartitionBlock_exit();
        FullDevStruct_exit();
        auto t2 = std::chrono::steady_clock::now();
        build.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        teardown.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
    }
    Salvitra_SetDiskImages(nullptr, 0);
    double first = build[0];
    std::sort(build.begin(), build.end());
    std::sort(teardown.begin(), teardown.end());
    printf("bench_partitions: 16 GiB sparse MBR disk, 1 primary + %d logical partitions\n", logicals);
    printf("  partitions listed:          %zu\n", listed);
    printf("  list build (median of 25):  %.2f ms  (min %.2f, max %.2f)\n", build[12], build[0],
           build.back());
    printf("  first run (fresh image):    %.2f ms\n", first);
    printf("  teardown (median):          %.3f ms\n", teardown[12]);
    sh("rm -rf " + d);
    return listed == (size_t)logicals + 1 ? 0 : 1;
}
