// The journal scan over a 64 MiB journal full of catalog node copies, read
// through the real device layer from an image file, against `cat` of the
// same 64 MiB.  Both read from the page cache after the image was written,
// so the ratio shows the scanner's own cost over plain reading.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "hfs_builder.h"
#include "merrow.h"
#include "varn.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr uint64_t kJournal = 64ull << 20;

double seconds(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

void writeFile(const std::string &path, const uint8_t *p, size_t n)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(p), (std::streamsize)n);
}

}  // namespace

int main(int argc, char **argv)
{
    const char *tmp = getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp";
    std::string dir = std::string(tmp) + "/bench_hfs." + std::to_string(getpid());
    std::string image = dir + "/volume.img", journal = dir + "/journal.bin";
    if (system(("mkdir -p '" + dir + "'").c_str()) != 0)
        return 1;
    int rounds = argc > 1 ? atoi(argv[1]) : 3;
    if (rounds < 1)
        rounds = 1;

    // A volume whose journal is filled with transactions of eight 4096-byte
    // leaf-node copies each; every fourth node repeats an earlier one.
    svt::HfsImage::Options o;
    o.volumeBytes = kJournal + (8ull << 20);
    o.journalBytes = kJournal;
    o.blockListSize = 16384;
    svt::HfsImage v(o);
    v.setCatalog({{v.folder(2, 1, "Untitled")}});
    uint32_t cnid = 100;
    std::vector<std::vector<uint8_t>> earlier;
    uint64_t nodes = 0, records = 0;
    const uint64_t perTransaction = o.blockListSize + 8ull * o.catalogNodeSize;
    while (v.journalCursor() + perTransaction < kJournal) {
        std::vector<std::pair<uint32_t, std::vector<uint8_t>>> tx;
        for (int k = 0; k < 8; k++, nodes++) {
            if (nodes % 4 == 3 && !earlier.empty()) {
                tx.push_back({1, earlier[nodes % earlier.size()]});
                continue;
            }
            std::vector<svt::HfsRecord> recs;
            uint32_t folder = cnid++;
            recs.push_back(v.folder(folder, 2, "Folder " + std::to_string(folder)));
            recs.push_back(recs.back().thread());
            for (int i = 0; i < 9; i++) {
                svt::HfsRecord f;
                f.cnid = cnid++;
                f.parent = folder;
                f.name = svt::utf16("IMG_" + std::to_string(f.cnid) + ".JPG");
                f.createDate = 0xD0000000u + f.cnid;
                f.dataSize = 2000000 + f.cnid;
                f.dataBlocks = (uint32_t)(f.dataSize / 4096 + 1);
                f.dataExtents = {{1000 + f.cnid, f.dataBlocks}};
                recs.push_back(f);
                records++;
            }
            records++;
            tx.push_back({1, v.leafNode(recs)});
            earlier.push_back(tx.back().second);
        }
        v.journalTransaction(tx);
    }
    std::vector<uint8_t> img = v.image();
    writeFile(image, img.data(), img.size());
    writeFile(journal, img.data() + v.journalOffset(), kJournal);
    img.clear();
    img.shrink_to_fit();

    // cat of the same bytes.
    double catBest = 1e9;
    for (int r = 0; r < rounds; r++) {
        auto a = Clock::now();
        if (system(("cat '" + journal + "' > /dev/null").c_str()) != 0)
            return 1;
        catBest = std::min(catBest, seconds(a, Clock::now()));
    }

    // The scan through the device layer.
    const char *paths[] = {image.c_str()};
    Salvitra_SetDiskImages(paths, 1);
    FullDevStruct();
    if (!GlobPointer) {
        fprintf(stderr, "bench_hfs: the image could not be opened\n");
        return 1;
    }
    auto *dev = static_cast<Physics_Device_Struct *>(GlobPointer->data);
    Partiton_Struct part{};
    part.FsType = FS_HFSPLUS;
    part.PartSize = o.volumeBytes;
    part.Device = dev;
    part.AccessMode = 'k';
    double scanBest = 1e9;
    size_t found = 0;
    for (int r = 0; r < rounds; r++) {
        auto a = Clock::now();
        hfsp_init(&part);
        found = 0;
        for (file_info *f = hfsp_searchfile(1); f; f = f->Next)
            found++;
        double t = seconds(a, Clock::now());
        hfsp_exit();
        scanBest = std::min(scanBest, t);
    }
    FullDevStruct_exit();
    Salvitra_SetDiskImages(nullptr, 0);
    if (system(("rm -rf '" + dir + "'").c_str()) != 0) {
        // a leftover temporary folder is harmless
    }

    double mib = (double)kJournal / (1 << 20);
    printf("bench_hfs: journal scan over a %.0f MiB journal (%llu node copies, %llu distinct records)\n",
           mib, (unsigned long long)nodes, (unsigned long long)records);
    printf("  records listed      %zu%s\n", found, found == records ? "" : "  (MISMATCH)");
    printf("  journal scan        %.3f s  %8.1f MiB/s  (best of %d)\n", scanBest, mib / scanBest, rounds);
    printf("  cat of the journal  %.3f s  %8.1f MiB/s\n", catBest, mib / catBest);
    printf("  ratio scan / cat    %.2f\n", scanBest / catBest);
    return found == records ? 0 : 1;
}
