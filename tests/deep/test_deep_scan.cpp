// The deep scan end to end: images of real files, laid out raw and on a
// quick-formatted FAT32 card, are scanned through the device layer and
// every file is read back through the engine and compared byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "deep_support.h"
#include "mem_device.h"
#include "merrow.h"
#include "sennet.h"
#include "test_support.h"

namespace {

using svt::carvingCorpus;

struct Found {
    std::string type;
    uint64_t offset;
    uint64_t size;
    std::vector<uint8_t> data;
};

// Reads a record through the engine in chunks of `chunk` bytes, as the
// recovery writer does.
std::vector<uint8_t> readBack(Partiton_Struct *part, void *rec, uint32_t chunk)
{
    uint64_t size = Get_File_Size(rec);
    std::vector<uint8_t> out;
    std::vector<uint8_t> buf(chunk);
    for (uint64_t done = 0; done < size; done += chunk) {
        uint32_t n = size - done < chunk ? (uint32_t)(size - done) : chunk;
        Get_file_data(part, rec, buf.data(), n);
        out.insert(out.end(), buf.begin(), buf.begin() + n);
    }
    Set_fileRW_Head();
    return out;
}

std::vector<Found> collect(Partiton_Struct *part, uint32_t chunk = 1024)
{
    std::vector<Found> all;
    while (const char *t = Get_Dir()) {
        for (int i = 0;; i++) {
            void *r = Get_File_pr(t, i);
            if (!r)
                break;
            EXPECT_STREQ(Get_Type(r), t);
            all.push_back({t, Get_File_Offset(r), Get_File_Size(r), readBack(part, r, chunk)});
        }
    }
    std::sort(all.begin(), all.end(), [](const Found &a, const Found &b) { return a.offset < b.offset; });
    return all;
}

struct EngineGuard {
    EngineGuard() { FullDevStruct(); }
    ~EngineGuard()
    {
        Search_FileHeadRceoverMian_exit();
        FullDevStruct_exit();
    }
};

std::vector<Found> scanBytes(std::vector<uint8_t> bytes, uint32_t chunk = 1024)
{
    svt::MemDevice mem(std::move(bytes));
    Partiton_Struct *part = mem.partition(0, mem.bytes().size(), 0);
    EXPECT_EQ(Search_FileHeadRceoverMian(part), 0);
    EXPECT_EQ(get_ExportsData(), 100);
    return collect(part, chunk);
}

TEST(DeepScan, RawImageGivesBackEveryContiguousFileByteExact)
{
    const auto &c = carvingCorpus();
    EngineGuard g;
    auto found = scanBytes(svt::readFile(c.dir + "/raw.img"));
    std::map<uint64_t, const Found *> at;
    for (const Found &f : found)
        at[f.offset] = &f;
    size_t expected = 0;
    std::set<std::string> types;
    for (const auto &e : c.layout) {
        if (e.type == "-" || e.type == "frag")
            continue;
        expected++;
        types.insert(e.type);
        auto it = at.find(e.offset);
        ASSERT_NE(it, at.end()) << e.name << " at " << e.offset << " not found";
        const Found &f = *it->second;
        EXPECT_EQ(f.type, e.type) << e.name;
        EXPECT_EQ(f.size, e.size) << e.name;
        EXPECT_TRUE(f.data == c.byName(e.name)->bytes) << e.name << " differs";
    }
    // Nothing else: not the fragmented JPEG, not the random gaps.
    EXPECT_EQ(found.size(), expected);
    EXPECT_GE(types.size(), 25u);
}

TEST(DeepScan, QuickFormattedFatCardGivesBackEveryFile)
{
    const auto &c = carvingCorpus();
    EngineGuard g;
    // FAT32 with 512-byte clusters: chunks of odd sizes must not matter.
    auto found = scanBytes(svt::readFile(c.dir + "/fat.img"), 4096);
    std::multiset<std::string> missing;
    for (const auto &f : c.files) {
        bool ok = false;
        for (const Found &x : found)
            if (x.type == f.type && x.data == f.bytes)
                ok = true;
        EXPECT_TRUE(ok) << f.name << " was not recovered";
    }
    EXPECT_EQ(found.size(), c.files.size());
}

TEST(DeepScan, RandomBytesGiveNoFiles)
{
    const auto &c = carvingCorpus();
    EngineGuard g;
    auto found = scanBytes(svt::readFile(c.dir + "/random.img"));
    for (const Found &f : found)
        ADD_FAILURE() << f.type << " at " << f.offset << " size " << f.size;
    EXPECT_EQ(Get_Dir(), nullptr);
}

// A partition near 1 MiB into a device, its private device copy adding the
// offset; a range copy over part of it; the whole device.
TEST(DeepScan, RangePartitionAndWholeDeviceReadTheSameBytes)
{
    const auto &c = carvingCorpus();
    EngineGuard g;
    std::vector<uint8_t> raw = svt::readFile(c.dir + "/raw.img");
    // The partition starts 200 KiB before the end of the engine's first
    // 1 MiB window, so the whole-device scan meets files across windows.
    const uint64_t base = (1 << 20) - 200 * 1024;
    std::vector<uint8_t> disk = svt::patternBytes(base, 5);
    disk.insert(disk.end(), raw.begin(), raw.end());
    std::vector<uint8_t> tail = svt::patternBytes(base, 6);
    disk.insert(disk.end(), tail.begin(), tail.end());
    svt::MemDevice mem(disk);

    Partiton_Struct *part = mem.partition(base, raw.size(), 0);
    ASSERT_EQ(Search_FileHeadRceoverMian(part), 0);
    auto whole = collect(part);
    ASSERT_FALSE(whole.empty());

    // Range: from the 5th file to the end of the 12th, partition-relative.
    std::vector<const svt::LayoutEntry *> files;
    for (const auto &e : c.layout)
        if (e.type != "-" && e.type != "frag")
            files.push_back(&e);
    ASSERT_GT(files.size(), 12u);
    uint64_t from = files[4]->offset, to = files[11]->offset + files[11]->size;
    Partiton_Struct range = *part;
    range.PartOffset = from;
    range.PartSize = to - from;
    range.Device = part->Device;
    ASSERT_EQ(Search_FileHeadRceoverMian(&range), 0);
    auto inRange = collect(&range);
    ASSERT_EQ(inRange.size(), 8u);
    for (size_t i = 0; i < inRange.size(); i++) {
        const auto *e = files[4 + i];
        EXPECT_EQ(inRange[i].offset, e->offset - from);
        EXPECT_EQ(inRange[i].type, e->type);
        EXPECT_TRUE(inRange[i].data == c.byName(e->name)->bytes) << e->name;
    }

    // The whole device, as the driver's device record: offset 0, no owner.
    Partiton_Struct dev{};
    dev.PartOffset = 0;
    dev.PartSize = disk.size();
    dev.Device = mem.dev();
    ASSERT_EQ(Search_FileHeadRceoverMian(&dev), 0);
    auto onDevice = collect(&dev);
    ASSERT_EQ(onDevice.size(), whole.size());
    for (size_t i = 0; i < whole.size(); i++) {
        EXPECT_EQ(onDevice[i].offset, whole[i].offset + base);
        EXPECT_TRUE(onDevice[i].data == whole[i].data);
    }
}

// A file much longer than the scan window is walked through the device,
// and the scan goes on right after it.
TEST(DeepScan, FilesLongerThanTheWindow)
{
    const auto &c = carvingCorpus();
    EngineGuard g;
    const auto &mp4 = c.byName("clip.mp4")->bytes;
    uint32_t ftyp = (uint32_t)mp4[0] << 24 | mp4[1] << 16 | mp4[2] << 8 | mp4[3];
    // ftyp, a 3 MiB free box, then the rest of the movie (moov at the end)
    std::vector<uint8_t> big(mp4.begin(), mp4.begin() + ftyp);
    const uint32_t pad = 3u << 20;
    std::vector<uint8_t> freeBox = svt::patternBytes(pad, 9);
    freeBox[0] = pad >> 24;
    freeBox[1] = (pad >> 16) & 0xFF;
    freeBox[2] = (pad >> 8) & 0xFF;
    freeBox[3] = pad & 0xFF;
    memcpy(freeBox.data() + 4, "free", 4);
    big.insert(big.end(), freeBox.begin(), freeBox.end());
    big.insert(big.end(), mp4.begin() + ftyp, mp4.end());

    std::vector<uint8_t> img(700 * 1024, 0);
    img.insert(img.end(), big.begin(), big.end());
    img.resize((img.size() + 511) / 512 * 512, 0);
    uint64_t pngAt = img.size();
    const auto &png = c.byName("picture.png")->bytes;
    img.insert(img.end(), png.begin(), png.end());
    img.resize(img.size() + 4096, 0);
    auto found = scanBytes(img, 65536);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].offset, 700u * 1024);
    EXPECT_EQ(found[0].type, "mp4");
    EXPECT_TRUE(found[0].data == big);
    EXPECT_EQ(found[1].offset, pngAt);
    EXPECT_TRUE(found[1].data == png);
}

struct CallbackLog {
    int calls = 0;
    int stopAfter = 0;
    std::vector<int> types;
    std::vector<int32_t> progress;
};

void onFound(void *item, SCAN_TYPE type, void *ctx)
{
    auto *log = static_cast<CallbackLog *>(ctx);
    log->calls++;
    log->types.push_back(type);
    log->progress.push_back(get_ExportsData());
    EXPECT_NE(Get_Type(item), nullptr);
    if (log->stopAfter && log->calls >= log->stopAfter)
        set_ExportsData(false); // the stop button: 200
}

TEST(DeepScan, CallbacksGetEveryFileAndAStopEndsTheScan)
{
    const auto &c = carvingCorpus();
    EngineGuard g;
    svt::MemDevice mem(svt::readFile(c.dir + "/raw.img"));
    Partiton_Struct *part = mem.partition(0, mem.bytes().size(), 0);

    CallbackLog all, second;
    AddFoundFileCallBack(onFound, &all);
    AddFoundFileCallBack(onFound, &second);
    ASSERT_EQ(Search_FileHeadRceoverMian(part), 0);
    EXPECT_GT(all.calls, 25);
    EXPECT_EQ(all.calls, second.calls);
    for (int t : all.types)
        EXPECT_EQ(t, 0);
    EXPECT_TRUE(std::is_sorted(all.progress.begin(), all.progress.end()));
    EXPECT_LT(all.progress.back(), 100);
    EXPECT_EQ(get_ExportsData(), 100);
    RemoveFoundFileCallback(&all);
    RemoveFoundFileCallback(&second);

    CallbackLog stop;
    stop.stopAfter = 3;
    AddFoundFileCallBack(onFound, &stop);
    EXPECT_EQ(Search_FileHeadRceoverMian(part), 1);
    EXPECT_EQ(stop.calls, 3);
    EXPECT_EQ(get_ExportsData(), 200); // the stop request stays
    int records = 0;
    while (const char *t = Get_Dir())
        for (int i = 0; Get_File_pr(t, i); i++)
            records++;
    EXPECT_EQ(records, 3);
    RemoveFoundFileCallback(&stop);

    // A stop set before the scan starts is not lost either: the scan
    // resets it (a new scan), so it runs; a stop during it is what counts.
    Search_FileHeadRceoverMian_exit();
    EXPECT_EQ(Get_Dir(), nullptr);
}

TEST(DeepScan, RecordsEnumerateInFoundOrderAndReadInPieces)
{
    const auto &c = carvingCorpus();
    EngineGuard g;
    svt::MemDevice mem(svt::readFile(c.dir + "/raw.img"));
    Partiton_Struct *part = mem.partition(0, mem.bytes().size(), 0);
    ASSERT_EQ(Search_FileHeadRceoverMian(part), 0);

    // Get_Dir ends with NULL and starts again.
    std::vector<std::string> first, again;
    while (const char *t = Get_Dir())
        first.push_back(t);
    while (const char *t = Get_Dir())
        again.push_back(t);
    EXPECT_EQ(first, again);
    EXPECT_EQ(first.front(), "gif"); // the first file of the image

    // Per type in found order.
    uint64_t last = 0;
    for (int i = 0; void *r = Get_File_pr("jpg", i); i++) {
        EXPECT_GT(Get_File_Offset(r) + 1, last);
        last = Get_File_Offset(r);
    }
    EXPECT_EQ(Get_File_pr("jpg", -1), nullptr);
    EXPECT_EQ(Get_File_pr("nope", 0), nullptr);
    EXPECT_EQ(Get_File_pr(nullptr, 0), nullptr);
    EXPECT_EQ(Get_Type(nullptr), nullptr);
    EXPECT_EQ(Get_File_Size(nullptr), 0u);

    // Odd chunk sizes, and a read past the end gives zeros.
    void *r = Get_File_pr("png", 0);
    ASSERT_NE(r, nullptr);
    const auto &png = c.byName("gradient.png")->bytes;
    ASSERT_EQ(Get_File_Size(r), png.size());
    for (uint32_t chunk : {1u, 7u, 100u, 359u, 512u, 5000u}) {
        std::vector<uint8_t> got;
        std::vector<uint8_t> buf(chunk, 0xEE);
        while (got.size() < png.size()) {
            int32_t n = Get_file_data(part, r, buf.data(), chunk);
            ASSERT_GT(n, 0);
            got.insert(got.end(), buf.begin(), buf.begin() + n);
        }
        EXPECT_TRUE(got == png) << chunk;
        EXPECT_EQ(Get_file_data(part, r, buf.data(), chunk), 0);
        EXPECT_EQ(buf[0], 0);
        Set_fileRW_Head();
    }
    // Switching records restarts the cursor even without a rewind.
    std::vector<uint8_t> a(16), b(16);
    Get_file_data(part, r, a.data(), 16);
    void *other = Get_File_pr("gif", 0);
    Get_file_data(part, other, b.data(), 16);
    EXPECT_EQ(memcmp(b.data(), "GIF89a", 6), 0);
    Set_fileRW_Head();

    // init -> exit -> init
    Search_FileHeadRceoverMian_exit();
    EXPECT_EQ(Get_Dir(), nullptr);
    ASSERT_EQ(Search_FileHeadRceoverMian(part), 0);
    std::vector<std::string> third;
    while (const char *t = Get_Dir())
        third.push_back(t);
    EXPECT_EQ(third, first);
}

TEST(DeepScan, BadSectorsDoNotHideTheFilesAroundThem)
{
    const auto &c = carvingCorpus();
    EngineGuard g;
    svt::MemDevice mem(svt::readFile(c.dir + "/raw.img"));
    // Fail the reads of one file's data (the mkv).
    const svt::LayoutEntry *mkv = nullptr;
    for (const auto &e : c.layout)
        if (e.name == "clip.mkv")
            mkv = &e;
    ASSERT_NE(mkv, nullptr);
    mem.failFrom = mkv->offset + 1024;
    mem.failTo = mkv->offset + 2048;
    Partiton_Struct *part = mem.partition(0, mem.bytes().size(), 0);
    ASSERT_EQ(Search_FileHeadRceoverMian(part), 0);
    auto found = collect(part);
    size_t good = 0;
    for (const auto &e : c.layout) {
        if (e.type == "-" || e.type == "frag" || e.name == "clip.mkv")
            continue;
        for (const Found &f : found)
            if (f.offset == e.offset && f.data == c.byName(e.name)->bytes)
                good++;
    }
    size_t expected = 0;
    for (const auto &e : c.layout)
        if (e.type != "-" && e.type != "frag" && e.name != "clip.mkv")
            expected++;
    EXPECT_EQ(good, expected);
}

TEST(DeepScan, BadRecordsAreRefused)
{
    EngineGuard g;
    EXPECT_EQ(Search_FileHeadRceoverMian(nullptr), -1);
    Partiton_Struct p{};
    EXPECT_EQ(Search_FileHeadRceoverMian(&p), -1);
    EXPECT_EQ(get_ExportsData(), 100);
    // An empty range finishes at once.
    svt::MemDevice mem(std::vector<uint8_t>(4096, 0));
    Partiton_Struct *part = mem.partition(0, 0, 0);
    EXPECT_EQ(Search_FileHeadRceoverMian(part), 0);
    EXPECT_EQ(Get_Dir(), nullptr);
    char buf[4];
    EXPECT_EQ(Get_file_data(part, nullptr, buf, 4), -1);
    EXPECT_EQ(Get_file_data(part, buf, buf, 4), -1); // not a record
}

}  // namespace

namespace {

TEST(DeepHeaderFits, NamesTypeAgainstTheFirstBytes)
{
    const uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01, 0x01, 0x00};
    const char pdf[] = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
    const uint8_t text[] = "Dear diary, today the card died.";
    const uint8_t zeros[64] = {};
    EXPECT_EQ(Sennet_HeaderFits("jpg", jpeg, sizeof jpeg), SENNET_FIT_YES);
    EXPECT_EQ(Sennet_HeaderFits("JPEG", jpeg, sizeof jpeg), SENNET_FIT_YES);  // any case, other spelling
    EXPECT_EQ(Sennet_HeaderFits("pdf", pdf, sizeof pdf - 1), SENNET_FIT_YES);
    EXPECT_EQ(Sennet_HeaderFits("png", jpeg, sizeof jpeg), SENNET_FIT_OTHER);
    EXPECT_EQ(Sennet_HeaderFits("jpg", text, sizeof text), SENNET_FIT_NO);
    EXPECT_EQ(Sennet_HeaderFits("jpg", zeros, sizeof zeros), SENNET_FIT_NO);
    EXPECT_EQ(Sennet_HeaderFits("jpg", nullptr, 0), SENNET_FIT_NO);
    // Types without a header check: only another type's header says anything.
    EXPECT_EQ(Sennet_HeaderFits("txt", text, sizeof text), SENNET_FIT_UNKNOWN);
    EXPECT_EQ(Sennet_HeaderFits("txt", jpeg, sizeof jpeg), SENNET_FIT_OTHER);
    EXPECT_EQ(Sennet_HeaderFits(nullptr, jpeg, sizeof jpeg), SENNET_FIT_OTHER);
    EXPECT_EQ(Sennet_HeaderFits("averyveryverylongextension", jpeg, sizeof jpeg), SENNET_FIT_OTHER);
    // A header cut short is no header.
    EXPECT_EQ(Sennet_HeaderFits("jpg", jpeg, 3), SENNET_FIT_NO);
}

}  // namespace
