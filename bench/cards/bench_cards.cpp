// bench_cards: quick scans of memory cards as they grow, against The Sleuth
// Kit in the same run.
//
// For FAT32 (mkfs.vfat, 8 KiB clusters, files through mtools) and exFAT
// (mkfs.exfat, 8 KiB clusters, files through exfat-fuse) cards of 1, 16 and
// 64 GiB (sparse files), each holding 10,000 deleted .JPG files whose bytes
// after the JPEG marker are no JPEG (in 10 folders, deleted one by one),
// it prints
//   - the quick scan through the driver: time, and the bytes and reads that
//     reached the device (counted by the device's read operation), against
//     the size of the FAT plus the folders;
//   - `salvitra-cli scan --quick` as a whole, against `fls -r -d`;
//   - `salvitra-cli recover --quick` against `tsk_recover` (both write every
//     deleted file into a folder beside the image).
// Times are the best of three.  usage: bench_cards [GIB ...]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "merrow.h"
#include "scan.h"

using namespace salvitra;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFolders = 10;
constexpr int kFilesPerFolder = 1000;
constexpr uint32_t kCluster = 8192;

std::string g_dir;

int sh(const std::string &cmd)
{
    int st = system(cmd.c_str());
    if (st != 0)
        fprintf(stderr, "bench_cards: command failed (%d): %s\n", st, cmd.c_str());
    return st;
}

double secs(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// Best of three runs of a shell command, in seconds (-1: it failed).
double timeCommand(const std::string &cmd, const std::string &before = "")
{
    double best = -1;
    for (int r = 0; r < 3; r++) {
        if (!before.empty())
            sh(before);
        auto t0 = Clock::now();
        int st = system(cmd.c_str());
        auto t1 = Clock::now();
        if (st != 0)
            return -1;
        double t = secs(t0, t1);
        best = best < 0 || t < best ? t : best;
    }
    return best;
}

// ---- a device that counts what is read through it ----

uint64_t g_bytes = 0, g_reads = 0;

int32_t countingRead(Physics_Device_Struct *dev, void *dst, uint32_t len, uint64_t off)
{
    g_reads++;
    int32_t n = File_Apple_Pread(dev, dst, len, off);
    if (n > 0)
        g_bytes += (uint64_t)n;
    return n;
}
DeviceOps g_countingOps = {File_Apple_Pwrite, countingRead, File_Apple_Clean};

struct Scan {
    double best = -1;
    uint64_t bytes = 0, reads = 0;
    size_t files = 0;
};

Scan scanInProcess(const std::string &img, int32_t fsType)
{
    Scan out;
    const char *paths[] = {img.c_str()};
    Salvitra_SetDiskImages(paths, 1);
    FullDevStruct();
    if (!GlobPointer) {
        Salvitra_SetDiskImages(nullptr, 0);
        return out;
    }
    auto *d = static_cast<Physics_Device_Struct *>(GlobPointer->data);
    Physics_Device_Struct dev = *d;
    Partiton_Struct part{};
    static uint8_t boot[4096];
    dev.Ops = &g_countingOps;
    dev.OwnerPartition = &part;
    part.PartSize = d->DiskSize;
    part.FsType = fsType;
    part.AccessMode = '?';
    part.Device = &dev;
    part.BootData = boot;
    if (sv_dev_read(&dev, boot, 512, 0) == 512) {
        for (int r = 0; r < 3; r++) {
            // The medium's bytes come from the page cache either way; what
            // is counted is what the scan asks of the device.
            g_bytes = g_reads = 0;
            ScanRequest req;
            req.part = &part;
            ScanJob job(req);
            auto t0 = Clock::now();
            job.run();
            double t = secs(t0, Clock::now());
            if (out.best < 0 || t < out.best) {
                out.best = t;
                out.bytes = g_bytes;
                out.reads = g_reads;
                out.files = job.files().size();
            }
        }
    }
    FullDevStruct_exit();
    Salvitra_SetDiskImages(nullptr, 0);
    return out;
}

// ---- the cards ----

void makeSources()
{
    sh("mkdir -p '" + g_dir + "/src' && cd '" + g_dir + "/src' && python3 - <<'PY'\n"
       "import os, random\n"
       "r = random.Random(10000)\n"
       "for d in range(" + std::to_string(kFolders) + "):\n"
       "    os.makedirs('D%02d' % d, exist_ok=True)\n"
       "    for i in range(" + std::to_string(kFilesPerFolder) + "):\n"
       "        body = bytearray(r.randbytes(r.randint(4000, 30000)))\n"
       "        body[0:3] = bytes([0xFF, 0xD8, r.randrange(0, 0xFF)])\n"
       "        open('D%02d/R%02d%04d.JPG' % (d, d, i), 'wb').write(body)\n"
       "PY");
}

bool makeFat(const std::string &img, uint64_t gib)
{
    std::string q = "'" + img + "'";
    if (sh("rm -f " + q + " && truncate -s " + std::to_string(gib) + "G " + q +
           " && PATH=$PATH:/sbin:/usr/sbin mkfs.vfat -F 32 -S 512 -s 16 " + q + " >/dev/null") != 0)
        return false;
    std::string cmds = "export MTOOLS_SKIP_CHECK=1; cd '" + g_dir + "/src' && for d in D*; do mmd -i " + q +
                       " ::$d && mcopy -i " + q + " $d/* ::$d/ && mdel -i " + q + " \"::$d/*\" || exit 1; done";
    return sh(cmds) == 0;
}

bool makeExfat(const std::string &img, uint64_t gib)
{
    std::string q = "'" + img + "'";
    std::string mnt = g_dir + "/mnt";
    if (sh("rm -f " + q + " && truncate -s " + std::to_string(gib) + "G " + q +
           " && PATH=$PATH:/sbin:/usr/sbin mkfs.exfat -c " + std::to_string(kCluster) + " " + q + " >/dev/null") != 0)
        return false;
    std::string cmds = "set -e; mkdir -p '" + mnt + "'; loop=$(losetup -f --show " + q +
                       "); trap 'umount \"" + mnt + "\" 2>/dev/null; losetup -d $loop' EXIT; mount.exfat-fuse $loop '" +
                       mnt + "' >/dev/null 2>&1; cp -r '" + g_dir + "/src/.' '" + mnt + "/'; for d in '" + mnt +
                       "'/D*; do rm \"$d\"/*; done";
    return sh(cmds) == 0;
}

// Clusters of the card's written part that hold directory entries (their
// first three entries are parts of entry sets, in use or not): exFAT
// drivers grow folders as they see fit.
uint64_t exfatDirClusters(const std::string &img)
{
    std::string cmd = "python3 - '" + img + "' <<'PY'\n"
                      "import struct, sys\n"
                      "f = open(sys.argv[1], 'rb'); b = f.read(512)\n"
                      "heap = struct.unpack_from('<I', b, 88)[0] << b[108]; cs = 1 << (b[108] + b[109])\n"
                      "f.seek(heap); n = 0; empty = 0\n"
                      "while empty < 4096:\n"
                      "    c = f.read(cs)\n"
                      "    if len(c) < cs: break\n"
                      "    empty = empty + 1 if c.count(0) == cs else 0\n"
                      "    if all(c[k * 32] & 0x7f in (5, 0x40, 0x41) for k in range(3)): n += 1\n"
                      "print(n)\n"
                      "PY";
    FILE *p = popen(cmd.c_str(), "r");
    unsigned long long n = 0;
    if (p) {
        if (fscanf(p, "%llu", &n) != 1)
            n = 0;
        pclose(p);
    }
    return n;
}

// The FAT (one copy; exFAT's too) plus the folders' clusters.
uint64_t metadataBytes(bool fat, uint64_t gib, const std::string &img)
{
    uint64_t clusters = (gib << 30) / kCluster;
    uint64_t table = clusters * 4;
    uint64_t dirBytes = fat ? (uint64_t)kFolders * (((kFilesPerFolder + 2) * 32 + kCluster - 1) / kCluster) * kCluster
                            : exfatDirClusters(img) * kCluster;
    return table + dirBytes + kCluster;
}

void runCard(bool fat, uint64_t gib)
{
    std::string img = g_dir + (fat ? "/fat.img" : "/exfat.img");
    bool made = fat ? makeFat(img, gib) : makeExfat(img, gib);
    const char *name = fat ? "FAT32" : "exFAT";
    if (!made) {
        printf("%-5s %3llu GiB: the card could not be made\n", name, (unsigned long long)gib);
        return;
    }
    std::string q = "'" + img + "'";
    sh("cat " + q + " >/dev/null");
    Scan s = scanInProcess(img, fat ? FS_FAT32 : FS_EXFAT);
    double fls = timeCommand("fls -r -d " + q + " >/dev/null 2>&1");
    double cli = timeCommand(std::string("'") + SV_CLI + "' scan --quick --partition 0 --image " + q + " >/dev/null 2>&1");
    std::string tskOut = g_dir + "/tsk", svOut = g_dir + "/sv";
    double tsk = timeCommand("tsk_recover " + q + " '" + tskOut + "' >/dev/null 2>&1", "rm -rf '" + tskOut + "'");
    double rec = timeCommand(std::string("'") + SV_CLI + "' recover --quick --partition 0 --image " + q + " --out '" +
                                 svOut + "' >/dev/null 2>&1",
                             "rm -rf '" + svOut + "'");
    sh("rm -rf '" + tskOut + "' '" + svOut + "'");
    uint64_t meta = metadataBytes(fat, gib, img);
    printf("%-5s %3llu GiB: scan %.3f s, %.1f MiB in %llu reads (FAT + folders %.1f MiB: ratio %.2f, target <= 2), "
           "%zu files\n",
           name, (unsigned long long)gib, s.best, s.bytes / 1048576.0, (unsigned long long)s.reads, meta / 1048576.0,
           (double)s.bytes / (double)meta, s.files);
    printf("            salvitra-cli scan %.3f s, fls -r -d %.3f s: ratio %.2f (target <= 0.5)\n", cli, fls,
           fls > 0 ? cli / fls : 0.0);
    printf("            salvitra-cli recover %.3f s, tsk_recover %.3f s: ratio %.2f\n", rec, tsk,
           tsk > 0 ? rec / tsk : 0.0);
    fflush(stdout);
    sh("rm -f " + q);
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<uint64_t> sizes;
    for (int i = 1; i < argc; i++)
        sizes.push_back(strtoull(argv[i], nullptr, 10));
    if (sizes.empty())
        sizes = {1, 16, 64};
    char tmpl[] = "/tmp/bench_cards.XXXXXX";
    if (!mkdtemp(tmpl))
        return 1;
    g_dir = tmpl;
    printf("cards with %d deleted .JPG files (no JPEG after the marker) in %d folders; 8 KiB clusters; the machine "
           "is shared, figures as measured\n",
           kFolders * kFilesPerFolder, kFolders);
    fflush(stdout);
    makeSources();
    for (bool fat : {true, false})
        for (uint64_t g : sizes)
            runCard(fat, g);
    sh("rm -rf '" + g_dir + "'");
    return 0;
}
