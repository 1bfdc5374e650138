// The deep backend of the driver and salvitra-cli's deep scan and recovery,
// over the carving corpus: what is written under DIR/<type>/<index>.<type>
// must be the original files, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>

#include "deep.h"
#include "deep_support.h"
#include "mem_device.h"
#include "recover.h"
#include "scan.h"
#include "test_support.h"

namespace {

using namespace salvitra;

// Layout files of the raw image by type, in offset order (= found order).
std::map<std::string, std::vector<const svt::LayoutEntry *>> byType(uint64_t from = 0,
                                                                     uint64_t to = UINT64_MAX)
{
    std::map<std::string, std::vector<const svt::LayoutEntry *>> m;
    for (const auto &e : svt::carvingCorpus().layout)
        if (e.type != "-" && e.type != "frag" && e.offset >= from && e.offset + e.size <= to)
            m[e.type].push_back(&e);
    return m;
}

TEST(DeepDriver, SessionListsAndRecoversEveryFile)
{
    const auto &c = svt::carvingCorpus();
    FullDevStruct();
    svt::MemDevice mem(svt::readFile(c.dir + "/raw.img"));
    Partiton_Struct *part = mem.partition(0, mem.bytes().size(), FS_FAT32);
    part->BootData[11] = 0x00; // 512-byte sectors, 4 per cluster: 2048-byte chunks
    part->BootData[12] = 0x02;
    part->BootData[13] = 4;
    EXPECT_EQ(deepChunkLength(part), 2048u);
    {
        ScanRequest req;
        req.part = part;
        req.mode = RecoverDeep;
        ScanJob s(req);
        ASSERT_TRUE(s.supported());
        ASSERT_TRUE(s.run());
        auto want = byType();
        size_t n = 0;
        for (auto &kv : want)
            n += kv.second.size();
        ASSERT_EQ(s.files().size(), n);

        svt::TempDir out;
        std::vector<const FoundFile *> all;
        for (const FoundFile &f : s.files())
            all.push_back(&f);
        RecoverOptions opt;
        opt.outDir = out.path();
        RecoverSummary sum = recoverFiles(s, all, opt);
        EXPECT_EQ(sum.written, n);
        for (auto &kv : want)
            for (size_t i = 0; i < kv.second.size(); i++) {
                std::string p = out.path() + "/Found by content/" + kv.first + "/" + deepFileName((uint32_t)i, kv.first);
                EXPECT_TRUE(svt::readFile(p) == c.byName(kv.second[i]->name)->bytes) << p;
            }
        // HeadRecovery never overwrites.
        WriteStats st;
        std::string first = out.path() + "/" + s.files()[0].folder + "/" + s.files()[0].name;
        EXPECT_EQ(HeadRecovery(part, s.files()[0].record, first, st), WriteResult::Exists);
        // Without an allocation unit the chunk is 1024 bytes.
        part->FsType = FS_UNKNOWN;
        EXPECT_EQ(deepChunkLength(part), 1024u);
        std::string again = out.path() + "/again";
        EXPECT_EQ(HeadRecovery(part, s.files()[0].record, again, st), WriteResult::Ok);
        EXPECT_TRUE(svt::readFile(again) == svt::readFile(first));
        EXPECT_EQ(HeadRecovery(part, nullptr, again + "2", st), WriteResult::NoRecord);
        // Two sectors of the largest file cannot be read: exactly those are
        // named, the rest is intact.
        const FoundFile *big = &s.files()[0];
        for (const FoundFile &f : s.files())
            if (f.size > big->size)
                big = &f;
        ASSERT_GT(big->size, 4096u);
        mem.failFrom = big->offset + 1024;
        mem.failTo = big->offset + 2048;
        WriteStats bad;
        std::string cut = out.path() + "/cut";
        EXPECT_EQ(HeadRecovery(part, big->record, cut, bad), WriteResult::Damaged);
        EXPECT_EQ(bad.unreadable, (std::vector<ByteRange>{{1024, 1024}}));
        std::vector<uint8_t> bytes = mem.bytes();
        std::fill(bytes.begin() + (long)mem.failFrom, bytes.begin() + (long)mem.failTo, 0);
        EXPECT_TRUE(svt::readFile(cut) == std::vector<uint8_t>(bytes.begin() + (long)big->offset,
                                                               bytes.begin() + (long)(big->offset + big->size)));
        mem.failFrom = mem.failTo = UINT64_MAX;
    }
    FullDevStruct_exit();
}

// The picked kinds are what the engine looks for: with JPEG alone its
// store holds the corpus's JPEGs and nothing else, no other format being
// tested at all; kinds no signature finds make a scan that reads nothing.
TEST(DeepDriver, OnlyThePickedKindsAreLookedFor)
{
    const auto &c = svt::carvingCorpus();
    svt::MemDevice mem(svt::readFile(c.dir + "/raw.img"));
    ScanRequest req;
    req.part = mem.partition(0, mem.bytes().size(), FS_UNKNOWN);
    req.mode = RecoverDeep;
    req.types = {"JPEG"};  // as an extension may be written
    auto want = byType()["jpg"];
    ASSERT_GE(want.size(), 2u);
    {
        ScanJob job(req);
        ASSERT_TRUE(job.run());
        ASSERT_EQ(job.fileCount(), want.size());
        for (size_t i = 0; i < want.size(); i++) {
            EXPECT_EQ(job.files()[i].type, "jpg");
            EXPECT_EQ(job.files()[i].offset, want[i]->offset);
            EXPECT_EQ(job.files()[i].size, want[i]->size);
        }
    }
    int64_t before = mem.reads;
    req.types = {"emf"};
    ScanJob none(req);
    ASSERT_TRUE(none.run());
    EXPECT_EQ(none.fileCount(), 0u);
    EXPECT_EQ(mem.reads.load(), before);
}

struct CliFile {
    std::string type;
    uint64_t offset, size;
    unsigned index;
};

std::vector<CliFile> parseJson(const std::string &out)
{
    std::vector<CliFile> v;
    std::regex re("\"size\": ([0-9]+).*?\"type\": \"([a-z0-9]+)\", \"offset\": ([0-9]+), \"index\": ([0-9]+)");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), re); it != std::sregex_iterator(); ++it)
        v.push_back({(*it)[2], std::stoull((*it)[3]), std::stoull((*it)[1]), (unsigned)std::stoul((*it)[4])});
    return v;
}

TEST(DeepCli, ScanAWholeDeviceAndARange)
{
    const auto &c = svt::carvingCorpus();
    std::string img = svt::shellQuote(c.dir + "/raw.img");
    svt::CommandResult r = svt::runCli("scan --deep --device 0 --json --image " + img);
    ASSERT_EQ(r.status, 0) << r.err;
    auto files = parseJson(r.out);
    auto want = byType();
    size_t n = 0;
    for (auto &kv : want) {
        n += kv.second.size();
        for (size_t i = 0; i < kv.second.size(); i++) {
            bool seen = false;
            for (const CliFile &f : files)
                seen |= f.type == kv.first && f.index == i && f.offset == kv.second[i]->offset &&
                        f.size == kv.second[i]->size;
            EXPECT_TRUE(seen) << kv.second[i]->name;
        }
    }
    EXPECT_EQ(files.size(), n);

    // Text output: per type, index, offset, size; --types jpg finds JPEGs only.
    r = svt::runCli("scan --deep --device 0 --types jpg --image " + img);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("jpg: " + std::to_string(want["jpg"].size()) + " files"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("png"), std::string::npos);
    EXPECT_NE(r.out.find(std::to_string(want["jpg"].size()) + " files found."), std::string::npos) << r.out;

    // A range: offsets are relative to its start.
    const auto *a = want["mp4"][0];
    const auto *b = want["webm"][0];
    uint64_t from = a->offset, to = b->offset + b->size;
    r = svt::runCli("scan --deep --device 0 --json --range " + std::to_string(from) + " " +
                    std::to_string(to) + " --image " + img);
    ASSERT_EQ(r.status, 0) << r.err;
    files = parseJson(r.out);
    auto inRange = byType(from, to);
    size_t m = 0;
    for (auto &kv : inRange)
        m += kv.second.size();
    ASSERT_EQ(files.size(), m);
    for (const CliFile &f : files)
        EXPECT_EQ(f.offset + from, inRange[f.type][f.index]->offset);
}

TEST(DeepCli, RecoverWritesTypeFoldersAndHonoursTypes)
{
    const auto &c = svt::carvingCorpus();
    std::string img = svt::shellQuote(c.dir + "/raw.img");
    svt::TempDir out;
    svt::CommandResult r = svt::runCli("recover --deep --device 0 --types jpg,wav,mid --out " +
                                       svt::shellQuote(out.path()) + " --image " + img);
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    auto want = byType();
    for (const char *t : {"jpg", "wav", "mid"})
        for (size_t i = 0; i < want[t].size(); i++) {
            std::string p = out.file("Found by content/" + std::string(t) + "/" + std::to_string(i) + "." + t);
            EXPECT_TRUE(svt::readFile(p) == c.byName(want[t][i]->name)->bytes) << p;
        }
    svt::CommandResult ls = svt::run("ls " + svt::shellQuote(out.path() + "/Found by content"));
    EXPECT_EQ(ls.out, "jpg\nmid\nwav\n");
}

TEST(DeepCli, FormattedCardThroughTheDevice)
{
    const auto &c = svt::carvingCorpus();
    svt::TempDir out;
    svt::CommandResult r = svt::runCli("recover --deep --device 0 --out " + svt::shellQuote(out.path()) +
                                       " --image " + svt::shellQuote(c.dir + "/fat.img"));
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    // Each file comes back whole: by content, or by its name where the
    // formatted card's folders still name it (a lost folder).
    svt::CommandResult all = svt::run("find " + svt::shellQuote(out.path()) + " -type f ! -name 'salvitra-report.*'");
    std::vector<std::vector<uint8_t>> got;
    std::istringstream paths(all.out);
    for (std::string p; std::getline(paths, p);)
        got.push_back(svt::readFile(p));
    for (const auto &f : c.files)
        EXPECT_TRUE(std::find(got.begin(), got.end(), f.bytes) != got.end()) << f.name;
}

// A partition whose bytes another listed device holds exactly (an image of
// the partition beside the image of the disk) is read through that device
// from its first byte: quick, formatted-volume and deep scans and ranges
// give what the partition's own image gives.
TEST(DeepCli, PartitionReadThroughAnotherDeviceScansItsOwnBytes)
{
    const auto &c = svt::carvingCorpus();
    if (!svt::haveTool("sfdisk"))
        GTEST_SKIP() << "sfdisk is not installed";
    svt::TempDir t;
    std::string part = c.dir + "/fat.img", disk = t.file("disk.img");
    uint64_t size = svt::readFile(part).size();
    svt::CommandResult r = svt::run("truncate -s " + std::to_string(size + (2 << 20)) + " " + svt::shellQuote(disk) +
                                    " && echo 'start=2048, size=" + std::to_string(size / 512) +
                                    ", type=c' | sfdisk -q " + svt::shellQuote(disk) + " && dd if=" +
                                    svt::shellQuote(part) + " of=" + svt::shellQuote(disk) +
                                    " bs=1M seek=1 conv=notrunc,sparse status=none");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string both = " --image " + svt::shellQuote(disk) + " --image " + svt::shellQuote(part);
    r = svt::runCli("devices" + both);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_NE(r.out.find("[0] FAT32   offset 1048576"), std::string::npos) << r.out;
    ASSERT_NE(r.out.find("(read through disk1)"), std::string::npos) << r.out;

    std::string from = std::to_string(size / 3), to = std::to_string(size / 3 * 2);
    for (const std::string &scan : std::vector<std::string>{"--deep", "--quick", "--formatted", "--deep --range " + from + " " + to}) {
        svt::CommandResult alone = svt::runCli("scan --json --partition 0 " + scan + " --image " + svt::shellQuote(part));
        svt::CommandResult through = svt::runCli("scan --json --partition 0 " + scan + both);
        ASSERT_EQ(alone.status, 0) << scan << ": " << alone.err;
        ASSERT_EQ(through.status, 0) << scan << ": " << through.err;
        EXPECT_EQ(through.out, alone.out) << scan;
        if (scan == "--deep") {
            EXPECT_GE(parseJson(alone.out).size(), c.files.size());
        }
    }
}

}  // namespace
