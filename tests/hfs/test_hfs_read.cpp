// Streaming a found file's data fork back with hfsxx_readwirtelogfile.
#include <gtest/gtest.h>

#include <cstring>

#include "hfs_scenario.h"
#include "mem_device.h"
#include "test_support.h"
#include "varn.h"

using namespace svt;

namespace {

struct Scanned {
    HfsScenario s = makeHfsScenario();
    MemDevice dev{s.image};
    std::map<uint32_t, file_info *> byId;

    Scanned()
    {
        if (hfsp_init(dev.partition(0, s.image.size(), FS_HFSPLUS)) != 1)
            return;
        for (file_info *r = hfsp_searchfile(1); r; r = r->Next)
            byId[+r->FileID] = r;
    }
    ~Scanned() { hfsp_exit(); }

    // The whole data fork in pieces of len bytes, as the writer asks for it.
    std::vector<uint8_t> stream(file_info *r, uint32_t len, int *shortReads = nullptr)
    {
        std::vector<uint8_t> out;
        std::vector<uint8_t> buf(len);
        uint64_t left = r->DataSize;
        while (left) {
            uint32_t n = left < len ? (uint32_t)left : len;
            int32_t got = hfsxx_readwirtelogfile(r, buf.data(), n, left == n ? 1 : 0);
            if (got != (int32_t)n && shortReads)
                (*shortReads)++;
            out.insert(out.end(), buf.begin(), buf.begin() + n);
            left -= n;
        }
        return out;
    }
};

TEST(HfsRead, DataForksStreamBackByteExact)
{
    Scanned sc;
    ASSERT_FALSE(sc.byId.empty());
    for (uint32_t id : {30u, 31u, 32u, 33u, 35u, 36u, 37u, 40u}) {
        SCOPED_TRACE(sc.s.records[id].name);
        ASSERT_TRUE(sc.byId.count(id));
        int shorts = 0;
        EXPECT_EQ(sc.stream(sc.byId[id], 4096, &shorts), sc.s.records[id].data);
        EXPECT_EQ(shorts, 0);
    }
    // Pieces that are not whole blocks read the right bytes too.
    EXPECT_EQ(sc.stream(sc.byId[31], 1000), sc.s.records[31].data);
}

TEST(HfsRead, PositionsPastTheRecordedExtentsAreZerosAndCounted)
{
    // fragments.bin has ten extents; its record holds eight.
    Scanned sc;
    file_info *r = sc.byId[39];
    ASSERT_NE(r, nullptr);
    const std::vector<uint8_t> &want = sc.s.records[39].data;
    int shorts = 0;
    std::vector<uint8_t> got = sc.stream(r, 4096, &shorts);
    ASSERT_EQ(got.size(), want.size());
    // Ten pieces of one block plus 123 bytes: eight recorded blocks.
    size_t mapped = 8 * 4096;
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + mapped, want.begin()));
    for (size_t i = mapped; i < got.size(); i++)
        ASSERT_EQ(got[i], 0) << "byte " << i << " came from somewhere else";
    EXPECT_EQ(shorts, 3);
    // Never the volume's first blocks.
    std::vector<uint8_t> buf(4096);
    EXPECT_EQ(hfsxx_readwirtelogfile(r, buf.data(), 0, 1), 0);
    for (int i = 0; i < 9; i++)
        hfsxx_readwirtelogfile(r, buf.data(), 4096, 0);
    EXPECT_EQ(hfsxx_readwirtelogfile(r, buf.data(), 4096, 1), -1);
    EXPECT_EQ(buf, std::vector<uint8_t>(4096, 0));
}

TEST(HfsRead, StreamPositionFollowsTheRecordAndTheLastFlag)
{
    Scanned sc;
    file_info *a = sc.byId[30], *b = sc.byId[32];
    ASSERT_TRUE(a && b);
    const auto &da = sc.s.records[30].data, &db = sc.s.records[32].data;
    std::vector<uint8_t> buf(4096);
    auto block = [](const std::vector<uint8_t> &d, size_t i) {
        return std::vector<uint8_t>(d.begin() + i * 4096, d.begin() + (i + 1) * 4096);
    };
    ASSERT_EQ(hfsxx_readwirtelogfile(a, buf.data(), 4096, 0), 4096);
    EXPECT_EQ(buf, block(da, 0));
    // The same record continues where it stopped.
    ASSERT_EQ(hfsxx_readwirtelogfile(a, buf.data(), 4096, 0), 4096);
    EXPECT_EQ(buf, block(da, 1));
    // Another record starts at its beginning...
    ASSERT_EQ(hfsxx_readwirtelogfile(b, buf.data(), 4096, 0), 4096);
    EXPECT_EQ(buf, block(db, 0));
    // ...and so does the first one when it comes back.
    ASSERT_EQ(hfsxx_readwirtelogfile(a, buf.data(), 4096, 1), 4096);
    EXPECT_EQ(buf, block(da, 0));
    // last = 1 cleared the stream: the next read starts over.
    ASSERT_EQ(hfsxx_readwirtelogfile(a, buf.data(), 4096, 0), 4096);
    EXPECT_EQ(buf, block(da, 0));
    EXPECT_EQ(hfsxx_readwirtelogfile(nullptr, buf.data(), 4096, 0), -1);
}

TEST(HfsRead, AFailingDeviceGivesZerosNotStaleBytes)
{
    Scanned sc;
    file_info *r = sc.byId[30];
    ASSERT_NE(r, nullptr);
    uint64_t start = (uint64_t)sc.s.records[30].firstStart * 4096;
    sc.dev.failFrom = start + 4096;
    sc.dev.failTo = start + 8192;
    std::vector<uint8_t> buf(4096, 0xAB);
    ASSERT_EQ(hfsxx_readwirtelogfile(r, buf.data(), 4096, 0), 4096);
    memset(buf.data(), 0xAB, buf.size());
    EXPECT_EQ(hfsxx_readwirtelogfile(r, buf.data(), 4096, 0), -1);
    EXPECT_EQ(buf, std::vector<uint8_t>(4096, 0));
    // The stream still moved on: the third block is the file's third block.
    ASSERT_EQ(hfsxx_readwirtelogfile(r, buf.data(), 4096, 1), 4096);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), sc.s.records[30].data.begin() + 8192));
}

TEST(HfsRead, DeepRecordGettersAndStream)
{
    Scanned sc;
    // A signature-engine record of the layout these getters read.
    struct DeepRecord {
        void *prev;
        char name[32];
        uint64_t size;
        uint64_t start;
        void *next;
    } rec{nullptr, "x.jpg", 5000, (uint64_t)sc.s.records[32].firstStart * 4096, nullptr};
    DeepRecord other{&rec, "y.jpg", 1, 0, nullptr};
    rec.next = &other;
    EXPECT_EQ(hfsp_get_next(&rec), &other);
    EXPECT_EQ(hfsp_get_pre(&other), &rec);
    EXPECT_STREQ(hfsp_get_filename(&rec), "x.jpg");
    EXPECT_EQ(hfsp_get_filesize(&rec), 5000u);
    EXPECT_EQ(hfsp_get_startsec(&rec), rec.start);
    EXPECT_EQ(hfsp_get_next(nullptr), nullptr);
    EXPECT_EQ(hfsp_get_filesize(nullptr), 0u);
    EXPECT_EQ(hfsp_get_startsec(nullptr), UINT64_MAX);

    std::vector<uint8_t> out, buf(4096);
    int32_t got = -1;
    uint64_t pos = 0;
    ASSERT_EQ(hfsp_readfile(&rec, &got, &pos, buf.data()), 1);
    EXPECT_EQ(got, 4096);
    out.insert(out.end(), buf.begin(), buf.end());
    ASSERT_EQ(hfsp_readfile(&rec, &got, &pos, buf.data()), 0);
    EXPECT_EQ(got, 0);
    out.insert(out.end(), buf.begin(), buf.begin() + (5000 - 4096));
    EXPECT_EQ(out, sc.s.records[32].data);
    EXPECT_EQ(hfsp_readfile(nullptr, &got, &pos, buf.data()), 0);
}

}  // namespace
