// Figures of the NTFS scanner, on images built here (hand-made MFTs, since
// no tool makes 100,000 deleted files quickly):
//  1. Ntfs_Get_Del_File over an MFT of 120,000 records;
//  2. recovery of a 200 MiB file in 1,000 fragments scattered over the
//     volume (its run list spread over extension records), through the
//     driver's writer, against `cat` of the image.
// Usage: bench_ntfs [WORKDIR]   (default: $TMPDIR or /tmp)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "merrow.h"
#include "ntfs.h"
#include "ntfs_backend.h"
#include "ntfs_image.h"

using svt::NtfsRecordBuilder;
using svt::NtfsRun;
using svt::NtfsVolumeBuilder;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

void save(const std::string &path, const std::vector<uint8_t> &img)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(img.data()), (std::streamsize)img.size());
}

// A partition record over device 0 of the core's list.
struct Part {
    Partiton_Struct p{};
    Physics_Device_Struct dev{};
    explicit Part(uint64_t size)
    {
        auto *d = static_cast<Physics_Device_Struct *>(GlobPointer->data);
        dev = *d;
        dev.OwnerPartition = &p;
        p.PartSize = size;
        p.FsType = FS_NTFS;
        p.AccessMode = '?';
        p.Device = &dev;
        p.BootData = static_cast<uint8_t *>(MALLOC(4096));
        sv_dev_read(&dev, p.BootData, 4096, 0);
    }
    ~Part() { free(p.BootData); }
};

void open(const std::string &img)
{
    const char *paths[] = {img.c_str()};
    Salvitra_SetDiskImages(paths, 1);
    FullDevStruct();
}

void close()
{
    FullDevStruct_exit();
    Salvitra_SetDiskImages(nullptr, 0);
}

double catRate(const std::string &img, const std::string &work, uint64_t bytes)
{
    std::string out = work + "/bench_ntfs_cat.out";
    std::string cmd = "cat '" + img + "' > '" + out + "'";
    double best = 1e9;
    for (int i = 0; i < 3; i++) {
        auto t0 = Clock::now();
        if (system(cmd.c_str()) != 0)
            return 0;
        best = std::min(best, seconds(t0, Clock::now()));
        unlink(out.c_str());
    }
    return bytes / best / (1 << 20);
}

void benchMftWalk(const std::string &work)
{
    const uint32_t cs = 4096, rs = 1024;
    const uint64_t records = 120000;
    const uint64_t mftClusters = records * rs / cs;
    NtfsVolumeBuilder b(cs, rs, 16 + mftClusters + 4096, 16, records);
    uint64_t deleted = 0;
    for (uint64_t n = 24; n < records; n++) {
        bool del = n % 3 != 0;
        std::u16string name = u"file_" + std::u16string(1, (char16_t)('a' + n % 26)) + u".jpg";
        NtfsRecordBuilder r(rs, (uint32_t)n, del ? 0 : 1);
        r.fileName(name, 5 | (1ull << 48));
        if (n % 2)
            r.resident(0x80, std::vector<uint8_t>(200, (uint8_t)n));
        else
            r.nonResident(0x80, {{(int64_t)(16 + mftClusters + n % 4000), 3}}, 3 * cs - 5, cs);
        b.setRecord(n, r.finish());
        deleted += del;
    }
    std::string img = work + "/bench_ntfs_mft.img";
    save(img, b.image());
    open(img);
    Part part(b.bytes().size());
    double best = 1e9;
    uint64_t found = 0;
    for (int i = 0; i < 3; i++) {
        auto t0 = Clock::now();
        Initi_Ntfs_InFo(&part.p);
        NTFS_DEL_FILEINFO_t *list = Ntfs_Get_Del_File();
        double t = seconds(t0, Clock::now());
        best = std::min(best, t);
        found = 0;
        for (NTFS_DEL_FILEINFO_t *p = list; p; p = p->pNextFile)
            found++;
        NTFS_Free_Glod_Exit();
        NTFS_Free_File_Info(list);
    }
    close();
    unlink(img.c_str());
    printf("MFT walk: %llu records (%llu deleted files found of %llu) in %.3f s: %.0f records/s  [target: under 1 s]\n",
           (unsigned long long)records, (unsigned long long)found, (unsigned long long)deleted, best,
           records / best);
}

void benchFragmentedRecovery(const std::string &work)
{
    const uint32_t cs = 4096, rs = 1024;
    const uint64_t fileBytes = 200ull << 20;
    const uint64_t fragments = 1000;
    const uint64_t fragClusters = fileBytes / cs / fragments;  // 51 clusters (204 KiB)
    const uint64_t dataStart = 16 + 64;                         // after a 256-record MFT
    const uint64_t slots = fragments + fragments / 10;          // room for gaps
    const uint64_t clusters = dataStart + slots * (fragClusters + 1) + 64;
    NtfsVolumeBuilder b(cs, rs, clusters, 16, 256);
    // Fragments land in shuffled slots, each followed by a free cluster.
    std::vector<uint64_t> order(slots);
    for (uint64_t i = 0; i < slots; i++)
        order[i] = i;
    std::mt19937_64 rng(42);
    std::shuffle(order.begin(), order.end(), rng);
    std::vector<NtfsRun> runs;
    uint64_t left = fileBytes / cs;
    for (uint64_t i = 0; i < fragments && left; i++) {
        uint64_t len = i + 1 == fragments ? left : fragClusters;
        uint64_t lcn = dataStart + order[i] * (fragClusters + 1);
        runs.push_back({(int64_t)lcn, len});
        left -= len;
    }
    std::vector<uint8_t> &img = b.bytes();
    for (size_t i = 0; i < img.size(); i += 8)
        memcpy(&img[i], &i, 8);  // every cluster distinct
    // The run list: 40 runs in base record 30, then 100 per extension record 31...
    std::vector<std::pair<size_t, size_t>> groups;  // [first run, end)
    for (size_t i = 0; i < runs.size();) {
        size_t n = groups.empty() ? 40 : 100;
        groups.push_back({i, std::min(runs.size(), i + n)});
        i = groups.back().second;
    }
    std::vector<NtfsRecordBuilder::ListEntry> entries = {{0x30, 0, 30, 1, u""}};
    std::vector<uint64_t> firstVcn;
    uint64_t vcn = 0;
    for (size_t k = 0; k < groups.size(); k++) {
        firstVcn.push_back(vcn);
        entries.push_back({0x80, vcn, 30 + k, (uint16_t)(k == 0 ? 2 : 1), u""});
        for (size_t j = groups[k].first; j < groups[k].second; j++)
            vcn += runs[j].length;
    }
    for (size_t k = 0; k < groups.size(); k++) {
        std::vector<NtfsRun> part(runs.begin() + (long)groups[k].first, runs.begin() + (long)groups[k].second);
        uint64_t len = 0;
        for (const NtfsRun &r : part)
            len += r.length;
        if (k == 0) {
            NtfsRecordBuilder base(rs, 30, 0);
            base.attributeList(entries).fileName(u"video.mkv", 5 | (1ull << 48));
            base.nonResident(0x80, part, fileBytes, cs, 0, u"", 2, fileBytes, len - 1);
            b.setRecord(30, base.finish());
        } else {
            NtfsRecordBuilder ext(rs, (uint32_t)(30 + k), 0);
            ext.baseRef(30 | (1ull << 48)).nonResident(0x80, part, 0, cs, firstVcn[k], u"", 1, 0);
            b.setRecord(30 + k, ext.finish());
        }
    }
    std::string path = work + "/bench_ntfs_frag.img";
    save(path, b.image());
    uint64_t imgBytes = b.bytes().size();
    std::vector<uint8_t>().swap(b.bytes());
    std::string warm = "cat '" + path + "' > /dev/null";
    if (system(warm.c_str()) != 0)
        return;

    open(path);
    Part part(imgBytes);
    std::string why;
    const salvitra::TaskelApi *api = salvitra::taskelApi(&why);
    if (!api) {
        printf("fragmented recovery: %s\n", why.c_str());
        close();
        return;
    }
    api->Initi_Ntfs_InFo(&part.p);
    NTFS_DEL_FILEINFO_t *list = api->Ntfs_Get_Del_File();
    if (!list || list->nFileSize != fileBytes) {
        printf("fragmented recovery: the file was not found\n");
        close();
        return;
    }
    std::string out = work + "/bench_ntfs_recovered.bin";
    double best = 1e9;
    salvitra::WriteStats st;
    for (int i = 0; i < 3; i++) {
        unlink(out.c_str());
        auto t0 = Clock::now();
        st = salvitra::WriteStats();
        salvitra::DelNtfsRecovery(*api, list, &part.p, out, st);
        best = std::min(best, seconds(t0, Clock::now()));
    }
    unlink(out.c_str());
    api->NTFS_Free_Glod_Exit();
    api->NTFS_Free_File_Info(list);
    close();
    double rec = fileBytes / best / (1 << 20);
    double cat = catRate(path, work, imgBytes);
    unlink(path.c_str());
    printf("fragmented recovery: 200 MiB in %zu fragments (allocation unit %u bytes): %.3f s, %.0f MiB/s "
           "(%u unreadable chunks)\n",
           runs.size(), get_blocksize(&part.p), best, rec, st.readFailures);
    printf("cat of the image: %.0f MiB/s; recovery / cat = %.2f  [target: at least 0.5]\n", cat,
           cat > 0 ? rec / cat : 0);
}

}  // namespace

int main(int argc, char **argv)
{
    std::string work = argc > 1 ? argv[1] : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
    benchMftWalk(work);
    benchFragmentedRecovery(work);
    return 0;
}
