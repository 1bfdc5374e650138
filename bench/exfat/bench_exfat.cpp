// Prints how fast the exFAT quick scan and the exFAT writer are.
//
// The volume is built in a temporary folder: mkfs.exfat makes an empty
// file system and this program writes the entry sets, the bitmap and the
// root's FAT chain itself (a FUSE mount would take minutes for 20,000
// files): 200 folders of 100 files each, every other file deleted, and one
// deleted 200 MiB file.
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
#include "scan.h"

using namespace salvitra;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kFolders = 200;
constexpr uint32_t kFilesPerFolder = 100;
constexpr uint64_t kBigSize = 200ull << 20;
constexpr uint64_t kImageSize = 320ull << 20;

double seconds(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

uint32_t le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
void put16(uint8_t *p, uint32_t v) { p[0] = (uint8_t)v; p[1] = (uint8_t)(v >> 8); }
void put32(uint8_t *p, uint32_t v) { put16(p, v); put16(p + 2, v >> 16); }
void put64(uint8_t *p, uint64_t v) { put32(p, (uint32_t)v); put32(p + 4, (uint32_t)(v >> 32)); }

// One entry set: file entry, stream extension, name entries (contiguous data).
void addSet(std::vector<uint8_t> &dir, const std::string &name, bool folder, uint32_t first, uint64_t len,
            bool deleted)
{
    const size_t names = (name.size() + 14) / 15;
    std::vector<uint8_t> e((2 + names) * 32, 0);
    e[0] = 0x85;
    e[1] = (uint8_t)(1 + names);
    put16(&e[4], folder ? 0x10 : 0x20);
    for (int t = 8; t < 20; t += 4)
        put32(&e[t], 0x52CF3D88);
    e[22] = e[23] = e[24] = 0x80;
    e[32] = 0xC0;
    e[33] = 3;
    e[35] = (uint8_t)name.size();
    put64(&e[40], len);
    put32(&e[52], first);
    put64(&e[56], len);
    for (size_t i = 0; i < name.size(); i++) {
        e[64 + (i / 15) * 32] = 0xC1;
        put16(&e[64 + (i / 15) * 32 + 2 + (i % 15) * 2], (uint8_t)name[i]);
    }
    uint16_t sum = 0;
    for (size_t i = 0; i < e.size(); i++)
        if (i != 2 && i != 3)
            sum = (uint16_t)(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + e[i]);
    put16(&e[2], sum);
    if (deleted)
        for (size_t k = 0; k < e.size(); k += 32)
            e[k] &= 0x7F;
    dir.insert(dir.end(), e.begin(), e.end());
}

struct Builder {
    int fd = -1;
    uint32_t bps = 0, cs = 0, count = 0, root = 0, bitmapCluster = 0;
    uint64_t fatOff = 0, heap = 0;
    std::vector<uint8_t> bitmap, rootDir;
    uint32_t nextFree = 0;

    uint64_t offsetOf(uint32_t c) const { return heap + (uint64_t)(c - 2) * cs; }
    bool open(const std::string &img)
    {
        fd = ::open(img.c_str(), O_RDWR);
        uint8_t b[512];
        if (fd < 0 || pread(fd, b, 512, 0) != 512)
            return false;
        bps = 1u << b[108];
        cs = bps << b[109];
        fatOff = (uint64_t)le32(b + 80) * bps;
        heap = (uint64_t)le32(b + 88) * bps;
        count = le32(b + 92);
        root = le32(b + 96);
        rootDir.assign(cs, 0);
        if (pread(fd, rootDir.data(), cs, (off_t)offsetOf(root)) != (ssize_t)cs)
            return false;
        size_t end = 0;
        while (end < cs && rootDir[end] != 0) {
            if (rootDir[end] == 0x81)
                bitmapCluster = le32(&rootDir[end + 20]);
            end += 32;
        }
        rootDir.resize(end);
        bitmap.assign((count + 7) / 8, 0);
        if (!bitmapCluster || pread(fd, bitmap.data(), bitmap.size(), (off_t)offsetOf(bitmapCluster)) !=
                                  (ssize_t)bitmap.size())
            return false;
        nextFree = 2;
        while (nextFree < count + 2 && (bitmap[(nextFree - 2) / 8] >> ((nextFree - 2) % 8) & 1))
            nextFree++;
        return true;
    }
    // n consecutive clusters, marked in use.
    uint32_t take(uint32_t n)
    {
        uint32_t first = nextFree;
        for (uint32_t c = first; c < first + n; c++)
            bitmap[(c - 2) / 8] |= (uint8_t)(1u << ((c - 2) % 8));
        nextFree += n;
        return first;
    }
    bool write(const std::vector<uint8_t> &data, uint32_t first)
    {
        std::vector<uint8_t> buf(data);
        buf.resize((buf.size() + cs - 1) / cs * cs, 0);
        return pwrite(fd, buf.data(), buf.size(), (off_t)offsetOf(first)) == (ssize_t)buf.size();
    }
};

// Builds the volume; returns the big file's first cluster, or 0.
uint32_t buildVolume(const std::string &img, const std::string &bigCopy)
{
    int fd = ::open(img.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    if (fd < 0 || ftruncate(fd, (off_t)kImageSize) != 0)
        return 0;
    close(fd);
    std::string cmd = "PATH=$PATH:/sbin:/usr/sbin mkfs.exfat -c 4096 '" + img + "' >/dev/null";
    if (system(cmd.c_str()) != 0)
        return 0;
    Builder b;
    if (!b.open(img))
        return 0;
    std::vector<uint8_t> root = b.rootDir;
    const uint32_t dirBytes = kFilesPerFolder * 3 * 32;
    const uint32_t dirClusters = (dirBytes + b.cs - 1) / b.cs;
    const uint32_t deletedBase = b.nextFree + kFolders * (dirClusters + kFilesPerFolder / 2) + 64;
    for (uint32_t d = 0; d < kFolders; d++) {
        uint32_t first = b.take(dirClusters);
        char name[32];
        snprintf(name, sizeof name, "Folder %03u", d);
        addSet(root, name, true, first, (uint64_t)dirClusters * b.cs, false);
        std::vector<uint8_t> dir;
        for (uint32_t f = 0; f < kFilesPerFolder; f++) {
            uint32_t n = d * kFilesPerFolder + f;
            bool deleted = f % 2 == 0;
            // Live files own one cluster; deleted ones point into free space.
            uint32_t cluster = deleted ? deletedBase + n % 1000 : b.take(1);
            snprintf(name, sizeof name, "file %05u.dat", n);
            addSet(dir, name, false, cluster, 1000 + n % 3000, deleted);
        }
        if (!b.write(dir, first))
            return 0;
    }
    const uint32_t big = deletedBase + 2000;
    if ((uint64_t)big + (kBigSize / b.cs) > b.count + 2)
        return 0;
    addSet(root, "Big file.bin", false, big, kBigSize, true);
    // The root grows past its first cluster through the FAT.
    const uint32_t rootClusters = (uint32_t)((root.size() + b.cs - 1) / b.cs);
    uint32_t prev = b.root;
    std::vector<uint32_t> rootChain{b.root};
    for (uint32_t k = 1; k < rootClusters; k++) {
        uint32_t c = b.take(1);
        uint8_t v[4];
        put32(v, c);
        if (pwrite(b.fd, v, 4, (off_t)(b.fatOff + 4ull * prev)) != 4)
            return 0;
        rootChain.push_back(c);
        prev = c;
    }
    uint8_t eoc[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    if (pwrite(b.fd, eoc, 4, (off_t)(b.fatOff + 4ull * prev)) != 4)
        return 0;
    root.resize((size_t)rootClusters * b.cs, 0);
    for (uint32_t k = 0; k < rootClusters; k++)
        if (pwrite(b.fd, root.data() + (size_t)k * b.cs, b.cs, (off_t)b.offsetOf(rootChain[k])) != (ssize_t)b.cs)
            return 0;
    if (pwrite(b.fd, b.bitmap.data(), b.bitmap.size(), (off_t)b.offsetOf(b.bitmapCluster)) !=
        (ssize_t)b.bitmap.size())
        return 0;

    // Data of the big file, also kept as a plain file for cat.
    int copy = ::open(bigCopy.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    std::vector<uint8_t> chunk(1 << 20);
    uint32_t x = 12345;
    for (uint64_t off = 0; off < kBigSize; off += chunk.size()) {
        for (auto &c : chunk) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            c = (uint8_t)x;
        }
        if (pwrite(b.fd, chunk.data(), chunk.size(), (off_t)(b.offsetOf(big) + off)) != (ssize_t)chunk.size() ||
            write(copy, chunk.data(), chunk.size()) != (ssize_t)chunk.size())
            return 0;
    }
    close(copy);
    close(b.fd);
    return big;
}

}  // namespace

int main()
{
    char tmpl[] = "/tmp/svbench_exfat.XXXXXX";
    if (!mkdtemp(tmpl)) {
        perror("mkdtemp");
        return 1;
    }
    std::string dir = tmpl;
    std::string img = dir + "/exfat.img", bigCopy = dir + "/big.bin";
    printf("building an exFAT volume: %u folders x %u entries, one deleted %llu MiB file\n", kFolders,
           kFilesPerFolder, (unsigned long long)(kBigSize >> 20));
    fflush(stdout);
    int rc = 0;
    const char *paths[] = {img.c_str()};
    if (!buildVolume(img, bigCopy)) {
        fprintf(stderr, "bench_exfat: could not build the volume (is mkfs.exfat installed?)\n");
        rc = 1;
    } else {
        Salvitra_SetDiskImages(paths, 1);
        FullDevStruct();
        FullPartitionBlock();
        Partiton_Struct *part = GlobPointerPartiton ? static_cast<Partiton_Struct *>(GlobPointerPartiton->data)
                                                    : nullptr;
        if (!part || part->FsType != FS_EXFAT) {
            fprintf(stderr, "bench_exfat: the volume is not listed as exFAT\n");
            rc = 1;
        } else {
            double best = 1e9, total = 0;
            size_t found = 0;
            const int runs = 5;
            for (int r = 0; r < runs; r++) {
                ScanRequest req;
                req.part = part;
                ScanJob s(req);
                auto t0 = Clock::now();
                s.run();
                auto t1 = Clock::now();
                found = s.files().size();
                best = std::min(best, seconds(t0, t1));
                total += seconds(t0, t1);
            }
            printf("quick scan, %u entries in %u folders: best %.3f s, mean %.3f s over %d runs (%zu deleted "
                   "files found; target < 1 s)\n",
                   kFolders * kFilesPerFolder, kFolders, best, total / runs, runs, found);

            ScanRequest req;
            req.part = part;
            ScanJob s(req);
            s.run();
            const FoundFile *big = nullptr;
            for (const FoundFile &f : s.files())
                if (f.name == "Big file.bin")
                    big = &f;
            if (!big) {
                fprintf(stderr, "bench_exfat: the big file was not found\n");
                rc = 1;
            } else {
                std::string cmd = "cat '" + bigCopy + "' > /dev/null";
                if (system(cmd.c_str()) != 0)  // warm the cache for both
                    rc = 1;
                double recBest = 1e9, catBest = 1e9;
                for (int r = 0; r < 3; r++) {
                    std::string out = dir + "/recovered" + std::to_string(r) + ".bin";
                    WriteStats st;
                    auto t0 = Clock::now();
                    WriteResult wr = s.write(*big, out, st);
                    auto t1 = Clock::now();
                    if (wr != WriteResult::Ok)
                        fprintf(stderr, "bench_exfat: write failed: %s\n", writeResultText(wr));
                    if (r == 0) {
                        cmd = "cmp -s '" + out + "' '" + bigCopy + "'";
                        if (system(cmd.c_str()) != 0) {
                            fprintf(stderr, "bench_exfat: the recovered file differs\n");
                            rc = 1;
                        }
                    }
                    unlink(out.c_str());
                    recBest = std::min(recBest, seconds(t0, t1));
                    std::string catOut = dir + "/cat" + std::to_string(r) + ".bin";
                    cmd = "cat '" + bigCopy + "' > '" + catOut + "'";
                    t0 = Clock::now();
                    if (system(cmd.c_str()) != 0)
                        rc = 1;
                    t1 = Clock::now();
                    unlink(catOut.c_str());
                    catBest = std::min(catBest, seconds(t0, t1));
                }
                double mib = (double)(kBigSize >> 20);
                printf("recovery of a %.0f MiB deleted file: %.0f MiB/s; cat: %.0f MiB/s (%.0f%% of cat; target "
                       ">= 50%%)\n",
                       mib, mib / recBest, mib / catBest, 100.0 * catBest / recBest);
            }
        }
        FullPartitionBlock_exit();
        FullDevStruct_exit();
        Salvitra_SetDiskImages(nullptr, 0);
    }
    std::string rm = "rm -rf '" + dir + "'";
    if (system(rm.c_str()) != 0)
        rc = 1;
    return rc;
}
