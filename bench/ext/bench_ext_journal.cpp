// bench_ext_journal: ext4 journal search and recovery speed.
//
// Makes a 1 GiB ext4 volume (metadata_csum, 64bit, flex_bg; 100,000 inodes;
// a 64 MiB journal), mounts it on a loop device and writes 10,000 small
// files in 100 folders and one 256 MiB file through the kernel driver, then
// deletes them all, one transaction per folder.  Then it times
//   - the journal search (ext3_init + ext3_journal_searchfile), with the
//     bytes it reads, and the driver's scan (which adds a type guess per
//     file), against `fls -r -d` in the same runs;
//   - the recovery of the large file through the driver's writer, against
//     `cat` copying a file of the same size.
// Loop mounts need root; without them it says so and stops.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "cosk.h"
#include "merrow.h"
#include "scan.h"

using namespace salvitra;
using Clock = std::chrono::steady_clock;

namespace {

std::string g_dir;

int sh(const std::string &cmd)
{
    int st = system(cmd.c_str());
    if (st != 0)
        fprintf(stderr, "bench_ext_journal: command failed (%d): %s\n", st, cmd.c_str());
    return st;
}

double seconds(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Bytes and reads that reach the device (its read operation, wrapped).
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

struct ImagePartition {
    Physics_Device_Struct copy{};
    Partiton_Struct part{};
    bool ok = false;
    explicit ImagePartition(const std::string &path)
    {
        const char *paths[] = {path.c_str()};
        Salvitra_SetDiskImages(paths, 1);
        FullDevStruct();
        if (!GlobPointer)
            return;
        auto *dev = static_cast<Physics_Device_Struct *>(GlobPointer->data);
        copy = *dev;
        copy.Ops = &g_countingOps;
        copy.OwnerPartition = &part;
        part.Device = &copy;
        part.PartSize = dev->DiskSize;
        part.FsType = FS_EXT4;
        part.AccessMode = '?';
        ok = true;
    }
    ~ImagePartition()
    {
        FullDevStruct_exit();
        Salvitra_SetDiskImages(nullptr, 0);
    }
};

bool makeVolume(const std::string &img, const std::string &bigSrc, uint64_t bigBytes)
{
    std::string q = "'" + img + "'", mnt = g_dir + "/mnt";
    if (sh("truncate -s 1G " + q + " && mke2fs -q -F -t ext4 -b 4096 -N 100000 -J size=64 "
           "-O metadata_csum,64bit,flex_bg " + q + " >/dev/null 2>&1") != 0)
        return false;
    if (sh("head -c " + std::to_string(bigBytes) + " /dev/urandom > '" + bigSrc + "'") != 0)
        return false;
    if (sh("mkdir -p '" + mnt + "' && mount -o loop " + q + " '" + mnt + "' 2>/dev/null") != 0) {
        fprintf(stderr, "bench_ext_journal: loop mounts are not possible here (they need root)\n");
        return false;
    }
    // One transaction per folder written and per folder deleted: the
    // journal then holds many copies of the same inode-table blocks.
    std::string py = "import os,shutil,sys\nm=sys.argv[1]\n"
                     "for d in range(100):\n"
                     "    os.mkdir('%s/d%d' % (m, d))\n"
                     "    for i in range(100):\n"
                     "        open('%s/d%d/f%d.txt' % (m, d, i), 'wb').write(os.urandom(3000 + i))\n"
                     "    os.sync()\n"
                     "for d in range(100):\n"
                     "    shutil.rmtree('%s/d%d' % (m, d))\n"
                     "    os.sync()\n";
    FILE *f = fopen((g_dir + "/fill.py").c_str(), "w");
    if (!f)
        return false;
    fputs(py.c_str(), f);
    fclose(f);
    bool ok = sh("cp '" + bigSrc + "' '" + mnt + "/big.bin' && sync") == 0 &&
              sh("python3 '" + g_dir + "/fill.py' '" + mnt + "'") == 0 &&
              sh("rm -f '" + mnt + "/big.bin' && sync") == 0;
    sh("umount '" + mnt + "'");
    return ok;
}

void benchScan(const std::string &img)
{
    ImagePartition ip(img);
    if (!ip.ok)
        return;
    std::vector<double> lib, drv, fls;
    int64_t found = 0, transactions = 0;
    size_t listed = 0;
    uint64_t bytes = 0, reads = 0;
    for (int run = 0; run < 5; run++) {
        g_bytes = g_reads = 0;
        auto t0 = Clock::now();
        if (!ext3_init(&ip.part)) {
            fprintf(stderr, "bench_ext_journal: ext3_init refused the volume\n");
            return;
        }
        found = ext3_journal_searchfile();
        auto t1 = Clock::now();
        transactions = ext3_journal_transactions(0);
        ext3_exit();
        lib.push_back(seconds(t0, t1));
        bytes = g_bytes;
        reads = g_reads;

        ScanRequest req;
        req.part = &ip.part;
        auto t2 = Clock::now();
        ScanJob s(req);
        s.run();
        auto t3 = Clock::now();
        listed = s.files().size();
        drv.push_back(seconds(t2, t3));

        auto t4 = Clock::now();
        sh("fls -r -d '" + img + "' >/dev/null 2>&1");
        fls.push_back(seconds(t4, Clock::now()));
    }
    printf("scan: 100,000 inodes, 64 MiB journal, %lld committed transactions, %lld deleted files "
           "brought back (%zu listed)\n",
           (long long)transactions, (long long)found, listed);
    printf("  library (ext3_init + ext3_journal_searchfile): median %.3f s, best %.3f s (target < 2 s)\n",
           median(lib), *std::min_element(lib.begin(), lib.end()));
    printf("  driver scan (adds a type guess per file):       median %.3f s, best %.3f s\n",
           median(drv), *std::min_element(drv.begin(), drv.end()));
    printf("  fls -r -d in the same runs:                     median %.3f s, best %.3f s; driver / fls %.2f "
           "(target <= 1)\n",
           median(fls), *std::min_element(fls.begin(), fls.end()), median(drv) / median(fls));
    printf("  the library read %.1f MiB in %llu reads (the 64 MiB journal is read once)\n", bytes / 1048576.0,
           (unsigned long long)reads);
}

void benchRecovery(const std::string &img, const std::string &bigSrc, uint64_t bigBytes)
{
    ImagePartition ip(img);
    if (!ip.ok)
        return;
    ScanRequest req;
    req.part = &ip.part;
    ScanJob s(req);
    s.run();
    const FoundFile *big = nullptr;
    for (const FoundFile &f : s.files())
        if (f.size == bigBytes && f.readable())
            big = &f;
    if (!big) {
        fprintf(stderr, "bench_ext_journal: the large deleted file was not found\n");
        return;
    }
    std::string out = g_dir + "/recovered.bin", copy = g_dir + "/cat.bin";
    std::vector<double> ours, cat;
    bool same = true;
    for (int run = 0; run < 5; run++) {
        unlink(out.c_str());
        unlink(copy.c_str());
        WriteStats st;
        auto t0 = Clock::now();
        WriteResult r = s.write(*big, out, st);
        auto t1 = Clock::now();
        if (r != WriteResult::Ok || st.readFailures)
            same = false;
        ours.push_back(seconds(t0, t1));
        auto t2 = Clock::now();
        sh("cat '" + bigSrc + "' > '" + copy + "'");
        auto t3 = Clock::now();
        cat.push_back(seconds(t2, t3));
    }
    same = same && sh("cmp -s '" + out + "' '" + bigSrc + "'") == 0;
    double mib = (double)bigBytes / (1024 * 1024);
    double oursRate = mib / median(ours), catRate = mib / median(cat);
    printf("recovery of a %.0f MiB file%s:\n", mib, same ? "" : " (DATA MISMATCH)");
    printf("  DelExt3Recovery %.0f MiB/s, cat %.0f MiB/s, ratio %.2f (target >= 0.5)\n", oursRate,
           catRate, oursRate / catRate);
    unlink(out.c_str());
    unlink(copy.c_str());
}

}  // namespace

int main()
{
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp ? tmp : "/tmp") + "/bench_extj.XXXXXX";
    if (!mkdtemp(tmpl.data())) {
        perror("mkdtemp");
        return 1;
    }
    g_dir = tmpl;
    setenv("PATH", (std::string(getenv("PATH") ? getenv("PATH") : "") + ":/sbin:/usr/sbin").c_str(), 1);
    const uint64_t bigBytes = 256ull << 20;
    std::string img = g_dir + "/v.img", src = g_dir + "/big.bin";
    if (makeVolume(img, src, bigBytes)) {
        benchScan(img);
        benchRecovery(img, src, bigBytes);
    }
    sh("rm -rf '" + g_dir + "'");
    return 0;
}
