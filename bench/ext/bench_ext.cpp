// bench_ext: ext2 quick scan and recovery speed.
//
// Builds an ext2 volume in a temporary folder with mke2fs (64 block groups,
// about 100,000 inodes) and fills it with debugfs: 10,000 small files and
// one large file, all deleted again.  Then it times
//   - the library scan (ext2_init + ext2_searchfile) and the driver's scan
//     (which also reads each find's first block to guess its type);
//   - the recovery of the large file through DelExt2Recovery, against `cat`
//     copying a file of the same size, on 4 KiB and 1 KiB block volumes.
// Everything it made is deleted at the end.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "briel.h"
#include "ext_backend.h"
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
        fprintf(stderr, "bench_ext: command failed (%d): %s\n", st, cmd.c_str());
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

// A partition record over a whole image, as the partition list builds it.
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
        copy.OwnerPartition = &part;
        part.Device = &copy;
        part.PartSize = dev->DiskSize;
        part.FsType = FS_EXT2;
        part.AccessMode = '?';
        ok = true;
    }
    ~ImagePartition()
    {
        FullDevStruct_exit();
        Salvitra_SetDiskImages(nullptr, 0);
    }
};

bool makeVolume(const std::string &img, int blockSize, int groupBlocks, int inodes, int smallFiles,
                uint64_t bigBytes, const std::string &bigSrc)
{
    uint64_t bytes = (uint64_t)64 * groupBlocks * blockSize;
    std::string q = "'" + img + "'";
    if (sh("rm -f " + q + " && truncate -s " + std::to_string(bytes) + " " + q) != 0)
        return false;
    if (sh("mke2fs -q -F -t ext2 -b " + std::to_string(blockSize) + " -g " +
           std::to_string(groupBlocks) + " -N " + std::to_string(inodes) + " " + q +
           " >/dev/null 2>&1") != 0)
        return false;
    std::string small = g_dir + "/small.bin";
    std::string cmds = g_dir + "/cmds";
    if (sh("head -c 5000 /dev/urandom > '" + small + "'") != 0)
        return false;
    if (sh("head -c " + std::to_string(bigBytes) + " /dev/urandom > '" + bigSrc + "'") != 0)
        return false;
    FILE *f = fopen(cmds.c_str(), "w");
    if (!f)
        return false;
    fprintf(f, "write %s big.bin\n", bigSrc.c_str());
    for (int i = 0; i < smallFiles; i++)
        fprintf(f, "write %s f%d\n", small.c_str(), i);
    fprintf(f, "rm big.bin\n");
    for (int i = 0; i < smallFiles; i++)
        fprintf(f, "rm f%d\n", i);
    fclose(f);
    return sh("debugfs -w -f '" + cmds + "' " + q + " >/dev/null 2>&1") == 0;
}

void benchScan(const std::string &img)
{
    ImagePartition ip(img);
    if (!ip.ok)
        return;
    std::vector<double> lib, drv;
    uint32_t found = 0, groups = 0, inodes = 0;
    for (int run = 0; run < 5; run++) {
        auto t0 = Clock::now();
        if (!ext2_init(&ip.part)) {
            fprintf(stderr, "bench_ext: ext2_init refused the volume\n");
            return;
        }
        Ext2DirNode *head = ext2_searchfile();
        auto t1 = Clock::now();
        found = groups = 0;
        for (Ext2DirNode *n = head; n; n = ext2_get_next(n)) {
            groups++;
            found += n->FileCount;
        }
        ext2_exit();
        lib.push_back(seconds(t0, t1));

        ScanRequest req;
        req.part = &ip.part;
        auto t2 = Clock::now();
        ScanJob s(req);
        s.run();
        auto t3 = Clock::now();
        drv.push_back(seconds(t2, t3));
    }
    FILE *p = popen(("dumpe2fs -h '" + img + "' 2>/dev/null | awk -F: '/^Inode count/ {print $2}'").c_str(), "r");
    if (p) {
        if (fscanf(p, "%u", &inodes) != 1)
            inodes = 0;
        pclose(p);
    }
    printf("scan: %u groups, %u inodes, %u deleted files found\n", groups, inodes, found);
    printf("  library scan (ext2_init + ext2_searchfile): median %.3f s, best %.3f s (target < 1 s)\n",
           median(lib), *std::min_element(lib.begin(), lib.end()));
    printf("  driver scan (adds a type guess per file):   median %.3f s, best %.3f s\n", median(drv),
           *std::min_element(drv.begin(), drv.end()));
}

void benchRecovery(const std::string &img, const std::string &bigSrc, uint64_t bigBytes, int bs)
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
        if (f.size == bigBytes)
            big = &f;
    if (!big) {
        fprintf(stderr, "bench_ext: the large deleted file was not found\n");
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
    printf("recovery, %d-byte blocks, %.0f MiB file%s:\n", bs, mib, same ? "" : " (DATA MISMATCH)");
    printf("  DelExt2Recovery %.0f MiB/s, cat %.0f MiB/s, ratio %.2f (target >= 0.5)\n", oursRate,
           catRate, oursRate / catRate);
    unlink(out.c_str());
    unlink(copy.c_str());
}

}  // namespace

int main()
{
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp ? tmp : "/tmp") + "/bench_ext.XXXXXX";
    if (!mkdtemp(tmpl.data())) {
        perror("mkdtemp");
        return 1;
    }
    g_dir = tmpl;
    if (sh("PATH=$PATH:/sbin:/usr/sbin command -v mke2fs >/dev/null && "
           "PATH=$PATH:/sbin:/usr/sbin command -v debugfs >/dev/null") != 0) {
        fprintf(stderr, "bench_ext: mke2fs and debugfs are needed\n");
        return 1;
    }
    setenv("PATH", (std::string(getenv("PATH") ? getenv("PATH") : "") + ":/sbin:/usr/sbin").c_str(), 1);

    const uint64_t big4k = 256ull << 20, big1k = 64ull << 20;
    std::string img4k = g_dir + "/v4k.img", img1k = g_dir + "/v1k.img";
    std::string src4k = g_dir + "/big4k.bin", src1k = g_dir + "/big1k.bin";
    // 64 groups of 4096 4 KiB blocks (1 GiB), 100,000 inodes.
    if (makeVolume(img4k, 4096, 4096, 100000, 10000, big4k, src4k)) {
        benchScan(img4k);
        benchRecovery(img4k, src4k, big4k, 4096);
    }
    // 64 groups of 8192 1 KiB blocks (512 MiB).
    if (makeVolume(img1k, 1024, 8192, 100000, 0, big1k, src1k))
        benchRecovery(img1k, src1k, big1k, 1024);
    sh("rm -rf '" + g_dir + "'");
    return 0;
}
