// The scanner's inner layers on hand-built records and volumes: fixups,
// run lists, the attribute search, reads through the run cache, attribute
// lists in extension records, and what damaged or hostile structures do.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "mem_device.h"
#include "ntfs_i.h"
#include "ntfs_image.h"

using namespace svt;

namespace {

const uint16_t kNone[1] = {0};

// A copy of a field of a packed record (the test macros bind references).
template <typename T>
T pk(T v)
{
    return v;
}

std::vector<uint8_t> bytesOf(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 7;
    for (auto &b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = (uint8_t)x;
    }
    return v;
}

// ---- fixups ----

TEST(NtfsFixup, RestoresTheSectorTailsAndRefusesTornRecords)
{
    // Resident data from about byte 300 to 900 crosses the first sector's tail.
    std::vector<uint8_t> value = bytesOf(600, 1);
    std::vector<uint8_t> rec = NtfsRecordBuilder(1024, 40).fileName(u"a.bin", 5).resident(0x80, value).finish();
    std::vector<uint8_t> plain = NtfsRecordBuilder(1024, 40).fileName(u"a.bin", 5).resident(0x80, value).finish(false);
    ASSERT_NE(rec, plain);  // the disk form differs at the sector tails
    std::vector<uint8_t> torn = rec;
    ASSERT_TRUE(ntfs_apply_fixup(rec.data(), 1024, NTFS_SIG_FILE));
    memcpy(rec.data() + 48, plain.data() + 48, 6);  // the array itself
    EXPECT_EQ(rec, plain);

    // The second sector was not written with the first: its tail is stale.
    torn[1022] ^= 0xFF;
    std::vector<uint8_t> before = torn;
    EXPECT_FALSE(ntfs_apply_fixup(torn.data(), 1024, NTFS_SIG_FILE));
    EXPECT_EQ(torn, before);  // nothing changed
    EXPECT_EQ(ntfs_check_record(torn.data(), 1024), NTFS_CORRUPT);

    // Headers that do not describe the record.
    std::vector<uint8_t> r2 = NtfsRecordBuilder(1024, 41).fileName(u"b", 5).finish();
    for (auto mutate : std::vector<std::function<void(std::vector<uint8_t> &)>>{
             [](std::vector<uint8_t> &r) { r[6] = 9; },                    // count does not fit the size
             [](std::vector<uint8_t> &r) { r[4] = 49; },                   // odd offset
             [](std::vector<uint8_t> &r) { r[4] = 0xF0; r[5] = 0x03; },    // array past the first sector
             [](std::vector<uint8_t> &r) { r[6] = 0; },                    // no array
             [](std::vector<uint8_t> &r) { r[0] = 'B'; },                  // "BAAD"
             [](std::vector<uint8_t> &r) { r[20] = 0xFC; r[21] = 0x03; },  // first attribute at the end
         }) {
        std::vector<uint8_t> m = r2;
        mutate(m);
        EXPECT_EQ(ntfs_check_record(m.data(), 1024), NTFS_CORRUPT);
    }
    // 4096-byte records carry eight strides.
    std::vector<uint8_t> big = NtfsRecordBuilder(4096, 42).fileName(u"c", 5).resident(0x80, bytesOf(3000, 2)).finish();
    EXPECT_EQ(ntfs_check_record(big.data(), 4096), NTFS_OK);
}

// ---- run lists ----

TEST(NtfsRuns, DecodesWideNegativeAndSparseRuns)
{
    // 8-byte length and 8-byte offset, then a negative delta, then a sparse run.
    std::vector<uint8_t> list = {0x88, 1, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x10, 0, 0, 0, 0, 0x01, 0x00,
                                 0x11, 4, 0xF0,
                                 0x01, 9,
                                 0x00};
    const uint8_t *p = list.data(), *end = list.data() + list.size();
    ntfs_run r;
    bool bad;
    p = Ntfs_Decode_Run(p, end, &r, &bad);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(r.length, 1u);
    EXPECT_EQ(r.delta, 0x0001000000001000LL);
    EXPECT_FALSE(r.sparse);
    p = Ntfs_Decode_Run(p, end, &r, &bad);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(r.delta, -16);
    p = Ntfs_Decode_Run(p, end, &r, &bad);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(r.sparse);
    EXPECT_EQ(r.length, 9u);
    EXPECT_EQ(Ntfs_Decode_Run(p, end, &r, &bad), nullptr);
    EXPECT_FALSE(bad);  // the end, not damage

    // A delta of exactly -1 is a real run one cluster back, not a hole.
    std::vector<uint8_t> back = {0x11, 2, 0xFF, 0x00};
    ASSERT_NE(Ntfs_Decode_Run(back.data(), back.data() + back.size(), &r, &bad), nullptr);
    EXPECT_FALSE(r.sparse);
    EXPECT_EQ(r.delta, -1);

    // Damaged runs: fields past the end, no length, widths over 8, zero length.
    for (std::vector<uint8_t> b : {std::vector<uint8_t>{0x44, 1, 2, 3}, std::vector<uint8_t>{0x10, 5},
                                   std::vector<uint8_t>{0x19, 1, 2, 3, 4, 5, 6, 7, 8, 9, 1},
                                   std::vector<uint8_t>{0x91, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9},
                                   std::vector<uint8_t>{0x11, 0, 5}}) {
        EXPECT_EQ(Ntfs_Decode_Run(b.data(), b.data() + b.size(), &r, &bad), nullptr);
        EXPECT_TRUE(bad);
    }

    // Encoding and decoding agree for any mix, large clusters included.
    std::vector<ntfs_abs_run> runs = {{0, 3, 100}, {3, 2, -1}, {5, 7, 40}, {12, 1, 0x12345678901LL}, {13, 300, 5}};
    std::vector<uint8_t> enc(ntfs_runs_count_bytes(runs.size()));
    size_t n = ntfs_runs_encode(runs.data(), runs.size(), enc.data());
    std::vector<NtfsRun> viaBuilder = {{100, 3}, {-1, 2}, {40, 7}, {0x12345678901LL, 1}, {5, 300}};
    EXPECT_EQ(std::vector<uint8_t>(enc.begin(), enc.begin() + (long)n), ntfsEncodeRuns(viaBuilder));
}

TEST(NtfsCompression, Lznt1ChunksAndDamage)
{
    // A stored chunk, then a compressed one: "abc" and a copy of 9 bytes 3 back.
    std::vector<uint8_t> in;
    in.push_back(0xFF);
    in.push_back(0x3F);  // stored, 4096 bytes
    for (int i = 0; i < 4096; i++)
        in.push_back((uint8_t)i);
    std::vector<uint8_t> c = {0x08, 'a', 'b', 'c', 0, 0};
    // token at position 3: 12 - 0 = 12 bits of length... position 3 < 16: 4 displacement bits
    uint16_t token = (uint16_t)(((3 - 1) << 12) | (9 - 3));
    c[4] = (uint8_t)token;
    c[5] = (uint8_t)(token >> 8);
    uint16_t h = (uint16_t)(0xB000 | (c.size() - 1));
    in.push_back((uint8_t)h);
    in.push_back((uint8_t)(h >> 8));
    in.insert(in.end(), c.begin(), c.end());
    std::vector<uint8_t> out(16384, 0xEE);
    ASSERT_TRUE(ntfs_lznt1_decompress(in.data(), in.size(), out.data(), out.size()));
    for (int i = 0; i < 4096; i++)
        ASSERT_EQ(out[i], (uint8_t)i);
    EXPECT_EQ(std::string(out.begin() + 4096, out.begin() + 4108), "abcabcabcabc");
    EXPECT_TRUE(std::all_of(out.begin() + 4108, out.end(), [](uint8_t b) { return b == 0; }));

    // A copy from before the chunk, a chunk longer than its input.
    std::vector<uint8_t> bad1 = {0x05, 0xB0, 0x01, 0x00, 0x10};
    EXPECT_FALSE(ntfs_lznt1_decompress(bad1.data(), bad1.size(), out.data(), 4096));
    std::vector<uint8_t> bad2 = {0xFF, 0xBF, 1, 2, 3};
    EXPECT_FALSE(ntfs_lznt1_decompress(bad2.data(), bad2.size(), out.data(), 4096));
}

// ---- the attribute search ----

NTFS_ATTR_CONTEXT *findIn(const std::vector<uint8_t> &rec, uint32_t type, const std::u16string &name = u"")
{
    std::vector<uint8_t> copy = rec;
    EXPECT_EQ(ntfs_check_record(copy.data(), (uint32_t)copy.size()), NTFS_OK);
    std::vector<uint16_t> n(name.begin(), name.end());
    n.push_back(0);
    static std::vector<uint8_t> keep;
    keep = copy;
    return ntfs_find_attr(nullptr, keep.data(), (uint32_t)keep.size(), 0, type, n.data(), (uint32_t)name.size(), 0);
}

std::string fnName(NTFS_ATTR_CONTEXT *ctx)
{
    uint8_t n;
    const uint8_t *name;
    if (!ntfs_fn_parse(ctx, nullptr, nullptr, &n, &name))
        return "?";
    std::string s;
    for (uint8_t i = 0; i < n; i++)
        s += (char)name[2 * i];
    return s;
}

TEST(NtfsAttributes, FileNamePreferenceAndNamedStreams)
{
    auto dosOnly = NtfsRecordBuilder(1024).fileName(u"LONGNA~1.TXT", 5, 2).finish();
    NTFS_ATTR_CONTEXT *c = findIn(dosOnly, 0x30);
    EXPECT_EQ(fnName(c), "LONGNA~1.TXT");
    Ntfs_Release_Attribute_Context(c);

    for (bool dosFirst : {true, false}) {
        NtfsRecordBuilder b(1024);
        if (dosFirst)
            b.fileName(u"LONGNA~1.TXT", 5, 2).fileName(u"long name.txt", 5, 1);
        else
            b.fileName(u"long name.txt", 5, 1).fileName(u"LONGNA~1.TXT", 5, 2);
        c = findIn(b.finish(), 0x30);
        EXPECT_EQ(fnName(c), "long name.txt");
        Ntfs_Release_Attribute_Context(c);
    }

    // The unnamed data stream, not an alternate one before it.
    auto streams = NtfsRecordBuilder(1024)
                       .fileName(u"f", 5)
                       .resident(0x80, {1, 2, 3}, u"Zone.Identifier")
                       .resident(0x80, {9, 8, 7, 6})
                       .finish();
    c = findIn(streams, 0x80);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(ntfs_ctx_size(c), 4u);
    Ntfs_Release_Attribute_Context(c);
    c = findIn(streams, 0x80, u"Zone.Identifier");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(ntfs_ctx_size(c), 3u);
    Ntfs_Release_Attribute_Context(c);
}

TEST(NtfsAttributes, DamagedHeadersEndTheWalk)
{
    // A zero length, a length past the record, a name outside the attribute,
    // a value outside the attribute: the walk stops there, never loops and
    // never reads outside the record.
    std::vector<std::vector<uint8_t>> bad = {
        {0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {0x80, 0, 0, 0, 0xF0, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {0x80, 0, 0, 0, 24, 0, 0, 0, 0, 5, 0xF0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {0x80, 0, 0, 0, 24, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0x18, 0, 0, 0},
        {0x80, 0, 0, 0, 64, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
         0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    };
    for (const auto &attr : bad) {
        auto rec = NtfsRecordBuilder(1024).raw(attr).fileName(u"after", 5).finish();
        std::vector<uint8_t> copy = rec;
        ASSERT_EQ(ntfs_check_record(copy.data(), 1024), NTFS_OK);
        EXPECT_EQ(ntfs_find_attr(nullptr, copy.data(), 1024, 0, 0x30, kNone, 0, 0), nullptr);
        EXPECT_EQ(ntfs_find_attr(nullptr, copy.data(), 1024, 0, 0x80, kNone, 0, 0), nullptr);
    }
    // Bytes-in-use shorter than the attributes: the walk stays inside them.
    auto rec = NtfsRecordBuilder(1024).fileName(u"x", 5).resident(0x80, bytesOf(100, 3)).finish();
    ASSERT_EQ(ntfs_check_record(rec.data(), 1024), NTFS_OK);
    rec[24] = 0x80;
    rec[25] = 0;
    EXPECT_EQ(ntfs_find_attr(nullptr, rec.data(), 1024, 0, 0x80, kNone, 0, 0), nullptr);
}

// ---- reads on a hand-built volume ----

struct Vol {
    explicit Vol(NtfsVolumeBuilder &b, uint64_t extra = 0) : dev(withExtra(b.image(), extra))
    {
        part = dev.partition(0, b.bytes().size(), FS_NTFS);
    }
    static std::vector<uint8_t> withExtra(std::vector<uint8_t> img, uint64_t extra)
    {
        // Bytes after the partition that must never be read as its own.
        img.resize(img.size() + extra, 0xAB);
        return img;
    }
    MemDevice dev;
    Partiton_Struct *part;
};

TEST(NtfsReads, ResidentOffsetsAndRunsAcrossSparseHoles)
{
    const uint32_t cs = 4096;
    NtfsVolumeBuilder b(cs, 1024, 256, 4, 64);
    std::vector<uint8_t> small = bytesOf(700, 4);
    b.setRecord(30, NtfsRecordBuilder(1024, 30).fileName(u"small", 5).resident(0x80, small).finish());
    // Three pieces: clusters 100-101, a two-cluster hole, then 50-52 (a
    // negative delta taken from 100, not from the hole).
    std::vector<uint8_t> p1 = bytesOf(2 * cs, 5), p3 = bytesOf(3 * cs, 6);
    b.writeClusters(100, p1);
    b.writeClusters(50, p3);
    uint64_t size = 7 * cs - 100;
    b.setRecord(31, NtfsRecordBuilder(1024, 31)
                        .fileName(u"holes", 5)
                        .nonResident(0x80, {{100, 2}, {-1, 2}, {50, 3}}, size, cs)
                        .finish());
    Vol v(b);
    ASSERT_TRUE(Initi_Ntfs_InFo(v.part));

    uint8_t *rec = ntfs_load_record(30, nullptr);
    ASSERT_NE(rec, nullptr);
    NTFS_ATTR_CONTEXT *c = ntfs_find_attr(nullptr, rec, 1024, 30, 0x80, kNone, 0, 0);
    free(rec);
    ASSERT_NE(c, nullptr);
    std::vector<uint8_t> buf(4096, 0xEE);
    EXPECT_EQ(Ntfs_Read_Attribute(c, 700, buf.data(), 10), 0);
    EXPECT_EQ(Ntfs_Read_Attribute(c, 600, buf.data(), 4096), 100);
    EXPECT_TRUE(std::equal(small.begin() + 600, small.end(), buf.begin()));
    Ntfs_Release_Attribute_Context(c);

    std::vector<uint8_t> want = p1;
    want.resize(4 * cs, 0);
    want.insert(want.end(), p3.begin(), p3.end());
    want.resize(size);
    NTFS_FILE_HANDLE h;
    ASSERT_TRUE(Ntfs_Open_File(31, &h));
    // One read across all three runs, then reads that start inside each.
    std::vector<uint8_t> all(size);
    uint32_t n = 0;
    ASSERT_TRUE(Ntfs_Read_File(&h, (uint32_t)size, &n, all.data()));
    EXPECT_EQ(n, size);
    EXPECT_EQ(all, want);
    auto *ctx = static_cast<NTFS_ATTR_CONTEXT *>(h.pAttribute);
    for (int64_t off : {int64_t(5 * cs + 17), int64_t(cs + 5), int64_t(3 * cs), int64_t(0)}) {
        std::vector<uint8_t> part(cs + 300);
        int64_t got = Ntfs_Read_Attribute(ctx, off, part.data(), (int64_t)part.size());
        int64_t expect = std::min<int64_t>((int64_t)part.size(), 7 * cs - off);
        ASSERT_EQ(got, expect) << off;
        EXPECT_TRUE(std::equal(part.begin(), part.begin() + std::min<int64_t>(got, (int64_t)size - off),
                               want.begin() + off));
    }
    Ntfs_Close_File(&h);
    NTFS_Free_Glod_Exit();
}

TEST(NtfsReads, NeverBeyondThePartitionOrTheInitializedSize)
{
    const uint32_t cs = 4096;
    NtfsVolumeBuilder b(cs, 1024, 128, 4, 64);
    // Runs reaching past the partition's last cluster.
    b.setRecord(30, NtfsRecordBuilder(1024, 30)
                        .fileName(u"out", 5)
                        .nonResident(0x80, {{120, 20}}, 20 * cs, cs)
                        .finish());
    // Only half of the data was ever written (initialized).
    std::vector<uint8_t> data = bytesOf(4 * cs, 7);
    b.writeClusters(60, data);
    std::vector<uint8_t> r = NtfsRecordBuilder(1024, 31).fileName(u"half", 5).nonResident(0x80, {{60, 4}}, 4 * cs, cs).finish(false);
    // initialized size at attribute offset 56
    size_t at = 0;
    for (size_t i = 56; i < 1000; i++)
        if (r[i] == 0x80 && r[i + 8] == 1) {
            at = i;
            break;
        }
    ASSERT_NE(at, 0u);
    uint64_t init = 2 * cs - 10;
    memcpy(&r[at + 56], &init, 8);
    ntfsProtect(r);
    b.setRecord(31, r);
    Vol v(b, 64 * cs);
    ASSERT_TRUE(Initi_Ntfs_InFo(v.part));

    std::vector<uint8_t> buf(cs);
    // Clusters 120-127 are the partition's; 128 on are not.
    std::vector<int> codes;
    for (int i = 0; i < 20; i++)
        codes.push_back(Ntfs_Get_Data(30, buf.data(), cs));
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(codes[i], 0) << i;
    for (int i = 8; i < 20; i++) {
        EXPECT_EQ(codes[i], 2) << i;
    }
    EXPECT_EQ(std::count(buf.begin(), buf.end(), 0xAB), 0);  // never the bytes after it
    EXPECT_EQ(Ntfs_Get_Data(30, buf.data(), cs), -1);
    Ntfs_RWfile_Set(1);

    std::vector<uint8_t> got;
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(Ntfs_Get_Data(31, buf.data(), cs), 0);
        got.insert(got.end(), buf.begin(), buf.end());
    }
    std::vector<uint8_t> want(data.begin(), data.begin() + (long)init);
    want.resize(4 * cs, 0);
    EXPECT_EQ(got, want);
    Ntfs_RWfile_Set(1);
    NTFS_Free_Glod_Exit();
}

TEST(NtfsReads, ABadSectorCostsOneClusterNotTheBlock)
{
    const uint32_t cs = 4096;
    NtfsVolumeBuilder b(cs, 1024, 256, 4, 64);
    std::vector<uint8_t> data = bytesOf(8 * cs, 9);
    b.writeClusters(100, std::vector<uint8_t>(data.begin(), data.begin() + 4 * cs));
    b.writeClusters(200, std::vector<uint8_t>(data.begin() + 4 * cs, data.end()));
    b.setRecord(30, NtfsRecordBuilder(1024, 30)
                        .fileName(u"f", 5)
                        .nonResident(0x80, {{100, 4}, {200, 4}}, 8 * cs, cs)
                        .finish());
    Vol v(b);
    ASSERT_TRUE(Initi_Ntfs_InFo(v.part));
    // One sector of the third cluster and one of the sixth cannot be read.
    v.dev.failFrom = 102ull * cs + 1024;
    v.dev.failTo = 102ull * cs + 1536;
    std::vector<uint8_t> buf(8 * cs, 0xEE);
    EXPECT_EQ(Ntfs_Get_Data(30, buf.data(), 8 * cs), 2);
    std::vector<uint8_t> want = data;
    std::fill(want.begin() + 2 * cs, want.begin() + 3 * cs, 0);
    EXPECT_EQ(buf, want);
    EXPECT_EQ(Ntfs_Get_Data(30, buf.data(), 8 * cs), -1);  // the position moved on all the same
    Ntfs_RWfile_Set(1);
    // In blocks, the later blocks stay in their places.
    std::vector<int> codes;
    std::vector<uint8_t> got;
    for (int i = 0; i < 8; i++) {
        codes.push_back(Ntfs_Get_Data(30, buf.data(), cs));
        got.insert(got.end(), buf.begin(), buf.begin() + cs);
    }
    EXPECT_EQ(codes, (std::vector<int>{0, 0, 2, 0, 0, 0, 0, 0}));
    EXPECT_EQ(got, want);
    Ntfs_RWfile_Set(1);
    NTFS_Free_Glod_Exit();
}

// ---- attribute lists and extension records ----

TEST(NtfsAttributeLists, ExtentsInExtensionRecordsAreJoined)
{
    const uint32_t cs = 512;
    NtfsVolumeBuilder b(cs, 1024, 4096, 16, 128);
    // 30 one-cluster fragments, ten per record: base 40, extensions 41, 42.
    std::vector<NtfsRun> runs;
    std::vector<uint8_t> want;
    for (int i = 0; i < 30; i++) {
        int64_t lcn = 1000 + i * 7 - (i % 3) * 100;
        runs.push_back({lcn, 1});
        std::vector<uint8_t> c = bytesOf(cs, (uint8_t)(i + 10));
        b.writeClusters((uint64_t)lcn, c);
        want.insert(want.end(), c.begin(), c.end());
    }
    uint64_t size = 30 * cs - 33;
    want.resize(size);
    std::vector<NtfsRun> r0(runs.begin(), runs.begin() + 10), r1(runs.begin() + 10, runs.begin() + 20),
        r2(runs.begin() + 20, runs.end());
    auto base = NtfsRecordBuilder(1024, 40)
                    .attributeList({{0x30, 0, 40, 1, u""},
                                    {0x80, 0, 40, 2, u""},
                                    {0x80, 10, 41, 1, u""},
                                    {0x80, 20, 42, 1, u""}})
                    .fileName(u"fragmented.bin", 5)
                    .nonResident(0x80, r0, size, cs, 0, u"", 2, 30 * cs, 9);
    b.setRecord(40, base.finish());
    b.setRecord(41, NtfsRecordBuilder(1024, 41).baseRef(40 | (1ull << 48)).nonResident(0x80, r1, 0, cs, 10, u"", 1, 0).finish());
    b.setRecord(42, NtfsRecordBuilder(1024, 42).baseRef(40 | (1ull << 48)).nonResident(0x80, r2, 0, cs, 20, u"", 1, 0).finish());
    // A deleted twin whose last extension record now belongs to another file.
    b.setRecord(50, NtfsRecordBuilder(1024, 50)
                        .attributeList({{0x80, 0, 50, 2, u""}, {0x80, 10, 51, 1, u""}, {0x80, 20, 43, 1, u""}})
                        .fileName(u"broken.bin", 5)
                        .nonResident(0x80, r0, size, cs, 0, u"", 2, 30 * cs, 9)
                        .finish());
    b.setRecord(51, NtfsRecordBuilder(1024, 51).baseRef(50 | (1ull << 48)).nonResident(0x80, r1, 0, cs, 10, u"", 1, 0).finish());
    b.setRecord(43, NtfsRecordBuilder(1024, 43).baseRef(99 | (1ull << 48)).nonResident(0x80, r2, 0, cs, 20, u"", 1, 0).finish());
    Vol v(b);
    ASSERT_TRUE(Initi_Ntfs_InFo(v.part));

    NTFS_DEL_FILEINFO_t *list = Ntfs_Get_Del_File();
    std::map<uint64_t, NTFS_DEL_FILEINFO_t *> byNumber;
    for (NTFS_DEL_FILEINFO_t *p = list; p; p = p->pNextFile)
        byNumber[pk(p->nMftNumber)] = p;
    // Extension records are not files of their own.
    EXPECT_EQ(byNumber.size(), 2u);
    ASSERT_EQ(byNumber.count(40), 1u);
    EXPECT_EQ(pk(byNumber[40]->nFileSize), size);

    std::vector<uint8_t> got, buf(cs);
    int code;
    while ((code = Ntfs_Get_Data(40, buf.data(), cs)) == 0)
        got.insert(got.end(), buf.begin(), buf.begin() + std::min<size_t>(cs, size - got.size()));
    EXPECT_EQ(code, -1);
    EXPECT_EQ(got, want);
    Ntfs_RWfile_Set(1);

    // The broken twin: the first two extents read, the third is not taken
    // from a record that belongs to someone else.
    std::vector<int> codes;
    while ((code = Ntfs_Get_Data(50, buf.data(), cs)) != -1 && codes.size() < 100)
        codes.push_back(code);
    ASSERT_EQ(codes.size(), 30u);
    for (size_t i = 0; i < 30; i++)
        EXPECT_EQ(codes[i], i < 20 ? 0 : 2) << i;
    Ntfs_RWfile_Set(1);
    NTFS_Free_Glod_Exit();
    NTFS_Free_File_Info(list);
}

// ---- the deleted-file search on hand-built MFTs ----

TEST(NtfsSearch, NumbersAndWhatIsDelivered)
{
    for (uint32_t cs : {512u, 4096u}) {
        NtfsVolumeBuilder b(cs, 1024, 8192 * 4096 / cs, 16384 / cs, 256);
        std::u16string longName(200, u'n');
        b.setRecord(30, NtfsRecordBuilder(1024, 30).fileName(u"deleted.txt", 5).resident(0x80, {1, 2}).finish());
        b.setRecord(31, NtfsRecordBuilder(1024, 31, 0x0001).fileName(u"in use.txt", 5).resident(0x80, {1}).finish());
        b.setRecord(32, NtfsRecordBuilder(1024, 32, 0x0002).fileName(u"deleted dir", 5).finish());
        b.setRecord(33, NtfsRecordBuilder(1024, 33).fileName(u"DOSONLY.TXT", 5, 2).resident(0x80, {3}).finish());
        b.setRecord(34, NtfsRecordBuilder(1024, 34).fileName(longName, 5).resident(0x80, {4}).finish());
        b.setRecord(35, NtfsRecordBuilder(1024, 35).fileName(u"no data", 5).finish());
        auto torn = NtfsRecordBuilder(1024, 36).fileName(u"torn.txt", 5).resident(0x80, {5}).finish();
        torn[510] ^= 1;
        b.setRecord(36, torn);
        b.setRecord(37, NtfsRecordBuilder(1024, 37).baseRef(30).fileName(u"extension", 5).resident(0x80, {6}).finish());
        b.setRecord(255, NtfsRecordBuilder(1024, 255).fileName(u"last.txt", 5).resident(0x80, {7}).finish());
        Vol v(b);
        ASSERT_TRUE(Initi_Ntfs_InFo(v.part));
        NTFS_DEL_FILEINFO_t *list = Ntfs_Get_Del_File();
        std::map<uint64_t, std::string> got;
        for (NTFS_DEL_FILEINFO_t *p = list; p; p = p->pNextFile) {
            std::string n;
            for (uint8_t i = 0; i < std::min<uint8_t>(p->cNameLength, 127); i++)
                n += (char)reinterpret_cast<uint8_t *>(p)[offsetof(NTFS_DEL_FILEINFO_t, wszName) + 2 * i];
            got[pk(p->nMftNumber)] = n;
            if (p->nMftNumber == 34) {
                EXPECT_EQ(p->cNameLength, 200);
            }
        }
        EXPECT_EQ(got, (std::map<uint64_t, std::string>{{30, "deleted.txt"},
                                                        {33, "DOSONLY.TXT"},
                                                        {34, std::string(127, 'n')},
                                                        {255, "last.txt"}}))
            << cs;
        NTFS_Free_Glod_Exit();
        NTFS_Free_File_Info(list);
    }
}

TEST(NtfsSearch, UnreadableMftPiecesAreSkippedNotRepeated)
{
    const uint32_t cs = 4096;
    const uint64_t records = 3000;  // three large reads
    NtfsVolumeBuilder b(cs, 1024, 4096, 16, records);
    std::set<uint64_t> deleted;
    for (uint64_t n = 24; n < records; n += 7) {
        b.setRecord(n, NtfsRecordBuilder(1024, (uint32_t)n)
                           .fileName(u"f" + std::u16string(1, (char16_t)('a' + n % 26)), 5)
                           .resident(0x80, {(uint8_t)n})
                           .finish());
        deleted.insert(n);
    }
    Vol v(b);
    ASSERT_TRUE(Initi_Ntfs_InFo(v.part));
    // Records 1100-1139 (inside the second large read) cannot be read.
    uint64_t mft = 16ull * cs;
    v.dev.failFrom = mft + 1100 * 1024;
    v.dev.failTo = mft + 1140 * 1024;
    NTFS_DEL_FILEINFO_t *list = Ntfs_Get_Del_File();
    std::multiset<uint64_t> got;
    for (NTFS_DEL_FILEINFO_t *p = list; p; p = p->pNextFile) {
        got.insert(pk(p->nMftNumber));
        // Each record is its own: the data byte is its number.
        uint8_t byte = 0;
        ASSERT_EQ(Ntfs_Get_Data(pk(p->nMftNumber), &byte, 1), 0);
        EXPECT_EQ(byte, (uint8_t)pk(p->nMftNumber));
        Ntfs_RWfile_Set(1);
    }
    std::multiset<uint64_t> want;
    for (uint64_t n : deleted)
        if (n < 1100 || n >= 1140)
            want.insert(n);
    EXPECT_EQ(got, want);
    NTFS_Free_Glod_Exit();
    NTFS_Free_File_Info(list);
}

// A device that asks the scan to stop after a number of reads, as the
// interface does when the user presses Stop.
struct StopAfter {
    static int32_t read(Physics_Device_Struct *dev, void *dst, uint32_t len, uint64_t off)
    {
        if (++self->reads == self->stopAt)
            set_ExportsData(false);
        return self->inner(dev, dst, len, off);
    }
    static StopAfter *self;
    DeviceReadFn inner;
    int reads = 0;
    int stopAt = 0;
};
StopAfter *StopAfter::self = nullptr;

TEST(NtfsSearch, AStopReturnsWhatWasFound)
{
    const uint32_t cs = 4096;
    const uint64_t records = 4096;
    NtfsVolumeBuilder b(cs, 1024, 4096, 16, records);
    for (uint64_t n = 24; n < records; n += 5)
        b.setRecord(n, NtfsRecordBuilder(1024, (uint32_t)n).fileName(u"x", 5).resident(0x80, {1}).finish());
    Vol v(b);
    ASSERT_TRUE(Initi_Ntfs_InFo(v.part));
    DeviceOps ops = *v.part->Device->Ops;
    StopAfter stop;
    stop.inner = ops.read;
    stop.stopAt = 2;  // during the second of four large reads
    StopAfter::self = &stop;
    DeviceOps *saved = v.part->Device->Ops;
    // The memory device finds itself through its table: keep the table's
    // owner pointer, swap only the read.
    struct Owned {
        DeviceOps ops;
        void *self;
    } owned{ops, reinterpret_cast<Owned *>(saved)->self};
    owned.ops.read = StopAfter::read;
    v.part->Device->Ops = &owned.ops;
    NTFS_DEL_FILEINFO_t *list = Ntfs_Get_Del_File();
    v.part->Device->Ops = saved;
    size_t n = 0;
    uint64_t highest = 0;
    for (NTFS_DEL_FILEINFO_t *p = list; p; p = p->pNextFile) {
        n++;
        highest = std::max(highest, pk(p->nMftNumber));
    }
    EXPECT_EQ(get_ExportsData(), 200);  // left as the stop request set it
    EXPECT_GT(n, 0u);
    EXPECT_LT(highest, 2048u);  // nothing after the second read
    set_ExportsData(true);
    NTFS_Free_Glod_Exit();
    NTFS_Free_File_Info(list);
}

// ---- boot sectors ----

TEST(NtfsBoot, HostileGeometryIsRefused)
{
    NtfsVolumeBuilder b(4096, 1024, 64, 4, 16);
    std::vector<uint8_t> img = b.image();
    auto boot = [&](std::function<void(std::vector<uint8_t> &)> f) {
        std::vector<uint8_t> m = img;
        f(m);
        MemDevice dev(m);
        return Initi_Ntfs_InFo(dev.partition(0, m.size(), FS_NTFS));
    };
    EXPECT_TRUE(boot([](std::vector<uint8_t> &) {}));
    EXPECT_FALSE(boot([](std::vector<uint8_t> &m) { m[13] = 0; }));          // no sectors per cluster
    EXPECT_FALSE(boot([](std::vector<uint8_t> &m) { m[13] = 3; }));          // not a power of two
    EXPECT_FALSE(boot([](std::vector<uint8_t> &m) { m[11] = 0; m[12] = 0; }));  // no sector size
    EXPECT_FALSE(boot([](std::vector<uint8_t> &m) { m[64] = 0x7F; }));       // 127-cluster records
    EXPECT_FALSE(boot([](std::vector<uint8_t> &m) { m[64] = 0xE0; }));       // 2^32-byte records
    EXPECT_FALSE(boot([](std::vector<uint8_t> &m) { m[48] = 0xFF; m[55] = 0x7F; }));  // MFT past the end
    EXPECT_FALSE(boot([](std::vector<uint8_t> &m) { m[16 * 1024 + 1] = 'X'; }));  // record 0 damaged
    // A data size far larger than the partition only walks the partition.
    std::vector<uint8_t> m = img;
    std::vector<uint8_t> r0(m.begin() + 16384, m.begin() + 16384 + 1024);
    ASSERT_TRUE(ntfs_apply_fixup(r0.data(), 1024, NTFS_SIG_FILE));
    for (size_t i = 56; i < 1000; i++)
        if (r0[i] == 0x80 && r0[i + 8] == 1) {
            uint64_t huge = 1ull << 60;
            memcpy(&r0[i + 48], &huge, 8);
            memcpy(&r0[i + 40], &huge, 8);
            break;
        }
    ntfsProtect(r0);
    memcpy(m.data() + 16384, r0.data(), 1024);
    MemDevice dev(m);
    ASSERT_TRUE(Initi_Ntfs_InFo(dev.partition(0, m.size(), FS_NTFS)));
    EXPECT_EQ(Ntfs_Get_Del_File(), nullptr);
    EXPECT_EQ(get_ExportsData(), 100);
    NTFS_Free_Glod_Exit();
}

}  // namespace
