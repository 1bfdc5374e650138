// Prints how fast the FAT quick scan and the FAT writer are.
//
// The volume is built in a temporary folder: mkfs.vfat makes an empty
// FAT32 file system and this program writes the directory entries and the
// FAT itself (mtools would take minutes for 20,000 files): 200 folders of
// 100 files each, every other file deleted, and one deleted 200 MiB file.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "fat_backend.h"
#include "merrow.h"
#include "scan.h"

using namespace salvitra;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kFolders = 200;
constexpr uint32_t kFilesPerFolder = 100;
constexpr uint64_t kBigSize = 200ull << 20;
constexpr uint64_t kImageSize = 320ull << 20;
constexpr uint32_t kSpc = 8;  // 4 KiB clusters

double seconds(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

void put16(uint8_t *p, uint32_t v) { p[0] = (uint8_t)v; p[1] = (uint8_t)(v >> 8); }
void put32(uint8_t *p, uint32_t v) { put16(p, v); put16(p + 2, v >> 16); }

struct Builder {
    int fd = -1;
    uint32_t bps = 512, reserved = 0, fats = 0, fatSectors = 0, rootCluster = 2;
    uint64_t dataOff = 0;
    uint32_t clusterSize = 0;
    std::vector<uint32_t> fat;
    uint32_t nextFree = 3;

    bool open(const std::string &img)
    {
        fd = ::open(img.c_str(), O_RDWR);
        uint8_t b[512];
        if (fd < 0 || pread(fd, b, 512, 0) != 512)
            return false;
        bps = b[11] | b[12] << 8;
        reserved = b[14] | b[15] << 8;
        fats = b[16];
        fatSectors = b[36] | b[37] << 8 | b[38] << 16 | (uint32_t)b[39] << 24;
        rootCluster = b[44] | b[45] << 8 | b[46] << 16 | (uint32_t)b[47] << 24;
        clusterSize = bps * b[13];
        dataOff = (uint64_t)(reserved + fats * fatSectors) * bps;
        fat.assign((size_t)fatSectors * bps / 4, 0);
        if (pread(fd, fat.data(), fat.size() * 4, (off_t)reserved * bps) != (ssize_t)(fat.size() * 4))
            return false;
        nextFree = rootCluster + 1;
        return true;
    }
    uint64_t offsetOf(uint32_t c) const { return dataOff + (uint64_t)(c - 2) * clusterSize; }
    // A chain of n clusters (n >= 1) starting at the next free one.
    uint32_t chain(uint32_t n)
    {
        uint32_t first = nextFree;
        for (uint32_t i = 0; i < n; i++)
            fat[first + i] = i + 1 < n ? first + i + 1 : 0x0FFFFFFF;
        nextFree += n;
        return first;
    }
    void writeDir(const std::vector<uint8_t> &entries, uint32_t first)
    {
        // Clusters of a fresh chain are consecutive.
        std::vector<uint8_t> buf(entries);
        buf.resize((buf.size() + clusterSize - 1) / clusterSize * clusterSize, 0);
        if (pwrite(fd, buf.data(), buf.size(), (off_t)offsetOf(first)) != (ssize_t)buf.size())
            perror("pwrite");
    }
    void finish()
    {
        for (uint32_t k = 0; k < fats; k++)
            if (pwrite(fd, fat.data(), fat.size() * 4, (off_t)(reserved + k * fatSectors) * bps) !=
                (ssize_t)(fat.size() * 4))
                perror("pwrite");
        close(fd);
    }
};

uint8_t lfnChecksum(const uint8_t *name)
{
    uint8_t sum = 0;
    for (int i = 0; i < 11; i++)
        sum = (uint8_t)(((sum & 1) << 7) + (sum >> 1) + name[i]);
    return sum;
}

// One file or folder: a long-name part (names up to 13 characters) and the
// short entry.  deleted marks both with 0xE5.
void addEntry(std::vector<uint8_t> &dir, const std::string &longName, const char *shortName, uint8_t attr,
              uint32_t cluster, uint32_t size, bool deleted)
{
    uint8_t s[32] = {};
    memcpy(s, shortName, 11);
    uint8_t l[32] = {};
    l[0] = 0x41;
    l[11] = 0x0F;
    l[13] = lfnChecksum(s);
    static const int offs[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (int i = 0; i < 13; i++) {
        uint32_t u = i < (int)longName.size() ? (uint8_t)longName[i] : i == (int)longName.size() ? 0 : 0xFFFF;
        put16(l + offs[i], u);
    }
    s[11] = attr;
    put16(s + 22, 0x5000);  // 10:00:00
    put16(s + 24, (41 << 9) | (6 << 5) | 15);
    put16(s + 20, cluster >> 16);
    put16(s + 26, cluster & 0xFFFF);
    put32(s + 28, size);
    if (deleted) {
        l[0] = 0xE5;
        s[0] = 0xE5;
    }
    dir.insert(dir.end(), l, l + 32);
    dir.insert(dir.end(), s, s + 32);
}

void addDots(std::vector<uint8_t> &dir, uint32_t self, uint32_t parent)
{
    uint8_t e[32] = {};
    memcpy(e, ".          ", 11);
    e[11] = 0x10;
    put16(e + 20, self >> 16);
    put16(e + 26, self & 0xFFFF);
    dir.insert(dir.end(), e, e + 32);
    memcpy(e, "..         ", 11);
    put16(e + 20, parent >> 16);
    put16(e + 26, parent & 0xFFFF);
    dir.insert(dir.end(), e, e + 32);
}

// Builds the volume; returns the start cluster of the big file, or 0.
uint32_t buildVolume(const std::string &img, const std::string &bigCopy)
{
    int fd = ::open(img.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    if (fd < 0 || ftruncate(fd, (off_t)kImageSize) != 0)
        return 0;
    close(fd);
    std::string cmd = "PATH=$PATH:/sbin:/usr/sbin mkfs.vfat -F 32 -s " + std::to_string(kSpc) + " '" + img +
                      "' >/dev/null";
    if (system(cmd.c_str()) != 0)
        return 0;
    Builder b;
    if (!b.open(img))
        return 0;
    std::vector<uint8_t> root;
    const uint32_t dirClusters = (2 + 2 * kFilesPerFolder) * 32 / b.clusterSize + 1;
    for (uint32_t d = 0; d < kFolders; d++) {
        uint32_t first = b.chain(dirClusters);
        char sn[16], ln[16];
        snprintf(sn, sizeof sn, "FOLDE~%03u  ", d);
        snprintf(ln, sizeof ln, "Folder %03u", d);
        addEntry(root, ln, sn, 0x10, first, 0, false);
        std::vector<uint8_t> dir;
        addDots(dir, first, 0);
        for (uint32_t f = 0; f < kFilesPerFolder; f++) {
            uint32_t n = d * kFilesPerFolder + f;
            bool deleted = f % 2 == 0;
            // Live files own one cluster; deleted ones point into free space.
            uint32_t cluster = deleted ? 60000 + n % 1000 : b.chain(1);
            snprintf(sn, sizeof sn, "F%07u DAT", n);
            snprintf(ln, sizeof ln, "file %05u.dat", n);
            addEntry(dir, ln, sn, 0x20, cluster, 1000 + n % 3000, deleted);
        }
        b.writeDir(dir, first);
    }
    // The big deleted file lies in free clusters after everything else.
    uint32_t big = b.nextFree + 16;
    addEntry(root, "Big file.bin", "BIGFIL~1BIN", 0x20, big, (uint32_t)kBigSize, true);
    // The root's first cluster is the one mkfs made; the rest follows it.
    uint32_t rootClusters = (uint32_t)((root.size() + b.clusterSize - 1) / b.clusterSize);
    if (rootClusters > 1)
        b.fat[b.rootCluster] = b.chain(rootClusters - 1);
    {
        std::vector<uint8_t> head(root.begin(), root.begin() + std::min<size_t>(root.size(), b.clusterSize));
        head.resize(b.clusterSize, 0);
        if (pwrite(b.fd, head.data(), head.size(), (off_t)b.offsetOf(b.rootCluster)) != (ssize_t)head.size())
            return 0;
        if (root.size() > b.clusterSize)
            b.writeDir(std::vector<uint8_t>(root.begin() + b.clusterSize, root.end()), b.fat[b.rootCluster]);
    }
    if (big <= b.nextFree)
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
    b.finish();
    return big;
}

struct Volume {
    Physics_Device_Struct dev{};
    Partiton_Struct part{};
    uint8_t boot[4096] = {};
};

bool openVolume(const std::string &img, Volume &v)
{
    const char *paths[] = {img.c_str()};
    Salvitra_SetDiskImages(paths, 1);
    FullDevStruct();
    if (!GlobPointer)
        return false;
    auto *d = static_cast<Physics_Device_Struct *>(GlobPointer->data);
    v.dev = *d;
    v.dev.OwnerPartition = &v.part;
    v.part.PartSize = d->DiskSize;
    v.part.FsType = FS_FAT32;
    v.part.AccessMode = '?';
    v.part.Device = &v.dev;
    v.part.BootData = v.boot;
    return sv_dev_read(&v.dev, v.boot, 512, 0) == 512;
}

}  // namespace

int main()
{
    char tmpl[] = "/tmp/svbench_fat.XXXXXX";
    if (!mkdtemp(tmpl)) {
        perror("mkdtemp");
        return 1;
    }
    std::string dir = tmpl;
    std::string img = dir + "/fat32.img", bigCopy = dir + "/big.bin";
    printf("building a FAT32 volume: %u folders x %u entries, one deleted %llu MiB file\n", kFolders,
           kFilesPerFolder, (unsigned long long)(kBigSize >> 20));
    fflush(stdout);
    int rc = 0;
    Volume v;
    if (!buildVolume(img, bigCopy) || !openVolume(img, v)) {
        fprintf(stderr, "bench_fat: could not build the volume (is mkfs.vfat installed?)\n");
        rc = 1;
    } else {
        // Quick scan: init, search and the tree walk, as a scan launch does.
        double best = 1e9, total = 0;
        size_t found = 0;
        const int runs = 5;
        for (int r = 0; r < runs; r++) {
            ScanRequest req;
            req.part = &v.part;
            ScanJob s(req);
            auto t0 = Clock::now();
            s.run();
            auto t1 = Clock::now();
            found = s.files().size();
            double t = seconds(t0, t1);
            best = t < best ? t : best;
            total += t;
        }
        printf("quick scan, %u entries in %u folders: best %.3f s, mean %.3f s over %d runs (%zu deleted "
               "files found; target < 1 s)\n",
               kFolders * kFilesPerFolder, kFolders, best, total / runs, runs, found);

        // Recovery of the big file against cat of the same bytes.
        ScanRequest req;
        req.part = &v.part;
        ScanJob s(req);
        s.run();
        const FoundFile *big = nullptr;
        for (const FoundFile &f : s.files())
            if (f.name == "Big file.bin")
                big = &f;
        if (!big) {
            fprintf(stderr, "bench_fat: the big file was not found\n");
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
                    fprintf(stderr, "bench_fat: write failed: %s\n", writeResultText(wr));
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
            printf("recovery of a %.0f MiB deleted file: %.0f MiB/s; cat of the same bytes: %.0f MiB/s; "
                   "ratio %.2f (target >= 0.5)\n",
                   mib, mib / recBest, mib / catBest, catBest / recBest);
        }
    }
    FullDevStruct_exit();
    Salvitra_SetDiskImages(nullptr, 0);
    std::string rm = "rm -rf '" + dir + "'";
    if (system(rm.c_str()) != 0)
        fprintf(stderr, "bench_fat: could not remove %s\n", dir.c_str());
    return rc;
}
