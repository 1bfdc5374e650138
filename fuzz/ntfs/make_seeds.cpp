// Writes seed inputs for the NTFS fuzzers: small hand-built volumes with
// deleted files (resident, non-resident, an attribute list with an
// extension record, folders) and single records.
// usage: ntfs_fuzz_seeds OUTDIR
#include <cstdio>
#include <fstream>
#include <string>
#include <sys/stat.h>

#include "ntfs_image.h"

using namespace svt;

static void save(const std::string &path, const std::vector<uint8_t> &b)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(b.data()), (std::streamsize)b.size());
}

static std::vector<uint8_t> volume(uint32_t cs)
{
    uint64_t clusters = 96 * 1024 / cs;
    NtfsVolumeBuilder b(cs, 1024, clusters, 16384 / cs, 40);
    // The mirror (record 1) and $AttrDef (record 4) make the volume one the
    // formatted search registers.
    b.setRecord(1, NtfsRecordBuilder(1024, 1, 1).fileName(u"$MFTMirr", 5, 3).nonResident(0x80, {{(int64_t)(clusters / 2), 1}}, 4096, cs).finish());
    b.setRecord(4, NtfsRecordBuilder(1024, 4, 1).fileName(u"$AttrDef", 5, 3).resident(0x80, {1, 2, 3}).finish());
    b.setRecord(5, NtfsRecordBuilder(1024, 5, 3).fileName(u".", 5, 3).finish());
    b.setRecord(24, NtfsRecordBuilder(1024, 24, 2).fileName(u"folder", 5).finish());
    b.setRecord(25, NtfsRecordBuilder(1024, 25).fileName(u"note.txt", 24 | (1ull << 48)).resident(0x80, std::vector<uint8_t>(600, 'n')).finish());
    uint64_t d = 64 * 1024 / cs;
    b.writeClusters(d, std::vector<uint8_t>(3 * cs, 'd'));
    b.setRecord(26, NtfsRecordBuilder(1024, 26).fileName(u"data.bin", 5).nonResident(0x80, {{(int64_t)d, 2}, {-1, 1}, {(int64_t)d + 2, 1}}, 4 * cs - 9, cs).finish());
    b.setRecord(27, NtfsRecordBuilder(1024, 27)
                        .attributeList({{0x30, 0, 27, 1, u""}, {0x80, 0, 27, 2, u""}, {0x80, 1, 28, 1, u""}})
                        .fileName(u"split.bin", 5)
                        .nonResident(0x80, {{(int64_t)d, 1}}, 2 * cs, cs, 0, u"", 2, 2 * cs, 0)
                        .finish());
    b.setRecord(28, NtfsRecordBuilder(1024, 28).baseRef(27 | (1ull << 48)).nonResident(0x80, {{(int64_t)d + 1, 1}}, 0, cs, 1, u"", 1, 0).finish());
    b.setRecord(29, NtfsRecordBuilder(1024, 29).fileName(u"DOSNAME.TXT", 5, 2).resident(0x80, {7}).finish());
    return b.image();
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    std::string out = argv[1];
    for (const char *sub : {"", "/volume", "/record", "/runs"})
        mkdir((out + sub).c_str(), 0755);
    save(out + "/volume/c512", volume(512));
    save(out + "/volume/c4k", volume(4096));
    std::vector<uint8_t> rec = NtfsRecordBuilder(1024, 30)
                                   .fileName(u"LONGNA~1.TXT", 5, 2)
                                   .fileName(u"long name.txt", 5, 1)
                                   .resident(0x80, {1, 2, 3}, u"stream")
                                   .nonResident(0x80, {{100, 3}, {-1, 2}, {50, 1}}, 5000, 1024)
                                   .finish();
    rec.insert(rec.begin(), 1);  // record size selector: 1024
    save(out + "/record/file", rec);
    std::vector<uint8_t> runs = {0, 20, 0, 10, 1, 7, 3, 9};
    std::vector<uint8_t> enc = ntfsEncodeRuns({{100, 3}, {-1, 2}, {50, 1}, {0x1234567, 2}, {7, 300}});
    runs.insert(runs.end(), enc.begin(), enc.end());
    save(out + "/runs/mixed", runs);
    std::ofstream(out + "/.stamp") << "ok\n";
    return 0;
}
