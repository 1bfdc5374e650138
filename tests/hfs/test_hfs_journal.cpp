// The journal scan: what a journal full of catalog node copies yields.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

#include "hfs_scenario.h"
#include "mem_device.h"
#include "test_support.h"
#include "varn.h"

using namespace svt;

namespace {

// hfsp_exit on scope exit, whatever the test did.
struct VarnSession {
    ~VarnSession() { hfsp_exit(); }
};

std::string nameOf(const file_info *r)
{
    std::u16string u(reinterpret_cast<const char16_t *>(r->Name), r->NameLen);
    std::string out;
    for (char16_t c : u) {
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::vector<file_info *> listOf(file_info *head)
{
    std::vector<file_info *> v;
    for (file_info *r = head; r && v.size() < 100000; r = r->Next)
        v.push_back(r);
    return v;
}

// Checks a list against the expected records: each once, first-copy values.
void expectList(const std::vector<file_info *> &list, const std::map<uint32_t, HfsExpected> &want)
{
    std::set<uint32_t> seen;
    for (const file_info *r : list) {
        SCOPED_TRACE("CNID " + std::to_string(r->FileID));
        EXPECT_TRUE(seen.insert(+r->FileID).second) << "listed twice";
        auto it = want.find(+r->FileID);
        ASSERT_NE(it, want.end()) << "unexpected record " << nameOf(r);
        const HfsExpected &e = it->second;
        EXPECT_EQ(nameOf(r), e.name);
        EXPECT_EQ(+r->RecordType, e.folder ? 1 : 2);
        EXPECT_EQ(+r->ParentID, e.parent);
        EXPECT_EQ(+r->DataSize, e.dataSize);
        EXPECT_EQ(+r->CreateDate, e.createDate);
        EXPECT_EQ(+r->HasDataFork, e.hasData ? 1 : 0);
        EXPECT_EQ(+r->HasRsrcFork, e.hasRsrc ? 1 : 0);
        if (e.hasData || e.hasRsrc) {
            EXPECT_EQ(__builtin_bswap32(r->Extents[0].startBlock), e.firstStart);
            EXPECT_EQ(__builtin_bswap32(r->Extents[0].blockCount), e.firstCount);
        }
        EXPECT_EQ(r->Name[r->NameLen], 0) << "name not terminated";
    }
    for (const auto &kv : want)
        EXPECT_TRUE(seen.count(kv.first)) << "missing " << kv.second.name;
}

TEST(HfsJournalScan, ListsEveryRecordOnceWithTheFirstCopysValues)
{
    for (bool bigEndian : {false, true}) {
        SCOPED_TRACE(bigEndian ? "PowerPC journal" : "Intel journal");
        HfsScenario s = makeHfsScenario(bigEndian);
        MemDevice dev(s.image);
        Partiton_Struct *p = dev.partition(0, s.image.size(), FS_HFSPLUS);
        VarnSession vs;
        ASSERT_EQ(hfsp_init(p), 1);
        EXPECT_EQ(hfsp_get_blocksize(), 4096);
        file_info *head = hfsp_searchfile(1);
        EXPECT_EQ(get_ExportsData(), 100);
        ASSERT_NE(head, nullptr);
        EXPECT_EQ(+head->Prev, nullptr);
        std::vector<file_info *> list = listOf(head);
        expectList(list, s.records);
        // The links run both ways.
        for (size_t i = 1; i < list.size(); i++)
            EXPECT_EQ(+list[i]->Prev, list[i - 1]);
        hfsp_exit();
    }
}

TEST(HfsJournalScan, ResourceOnlyFileKeepsItsResourceExtentInTheFirstSlot)
{
    HfsScenario s = makeHfsScenario();
    MemDevice dev(s.image);
    VarnSession vs;
    ASSERT_EQ(hfsp_init(dev.partition(0, s.image.size(), FS_HFSPLUS)), 1);
    std::vector<file_info *> list = listOf(hfsp_searchfile(1));
    const file_info *icon = nullptr;
    for (const file_info *r : list)
        if (r->FileID == 34)
            icon = r;
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(+icon->HasDataFork, 0);
    EXPECT_EQ(+icon->HasRsrcFork, 1);
    EXPECT_EQ(+icon->DataSize, 0u);
    EXPECT_EQ(__builtin_bswap32(icon->Extents[0].startBlock), s.records[34].firstStart);
    // Its data fork cannot be streamed: nothing is read from anywhere.
    std::vector<uint8_t> buf(4096, 0xEE);
    EXPECT_EQ(hfsxx_readwirtelogfile(const_cast<file_info *>(icon), buf.data(), 4096, 1), -1);
    EXPECT_EQ(buf, std::vector<uint8_t>(4096, 0));
}

TEST(HfsJournalScan, NodeSizeComesFromTheCatalogNotTheAttributesFile)
{
    // The scenario's attributes B-tree has 8192-byte nodes; catalog nodes
    // are 4096 bytes.  With a wiped catalog header the scanner has to find
    // the node size from the node copies themselves.
    HfsScenario s = makeHfsScenario();
    for (bool wipe : {false, true}) {
        SCOPED_TRACE(wipe ? "catalog header wiped" : "catalog header intact");
        std::vector<uint8_t> img = s.image;
        if (wipe)
            HfsImage::wipeCatalogHeader(img, s.catalogOffset);
        MemDevice dev(img);
        VarnSession vs;
        ASSERT_EQ(hfsp_init(dev.partition(0, img.size(), FS_HFSPLUS)), 1);
        expectList(listOf(hfsp_searchfile(1)), s.records);
        hfsp_exit();
    }
}

TEST(HfsJournalScan, VolumesWithoutAUsableJournalYieldNothing)
{
    HfsScenario s = makeHfsScenario();
    struct Case {
        const char *what;
        std::function<void(std::vector<uint8_t> &)> damage;
    } cases[] = {
        {"journaled bit clear", [](std::vector<uint8_t> &img) { HfsImage::clearJournaledBit(img); }},
        {"journal outside the volume",
         [&](std::vector<uint8_t> &img) {
             HfsImage::setJournalInfo(img, s.jibOffset, 1, img.size() - 4096, 1u << 20);
         }},
        {"journal size wraps around",
         [&](std::vector<uint8_t> &img) {
             HfsImage::setJournalInfo(img, s.jibOffset, 1, s.journalOffset, ~0ull - 100);
         }},
        {"journal on another device",
         [&](std::vector<uint8_t> &img) {
             HfsImage::setJournalInfo(img, s.jibOffset, 2, s.journalOffset, s.journalSize);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> img = s.image;
        c.damage(img);
        MemDevice dev(img);
        VarnSession vs;
        ASSERT_EQ(hfsp_init(dev.partition(0, img.size(), FS_HFSPLUS)), 1);
        int64_t before = dev.reads;
        EXPECT_EQ(hfsp_searchfile(1), nullptr);
        EXPECT_EQ(get_ExportsData(), 100);
        // At most the journal info block and the journal header were read.
        EXPECT_LE(dev.reads - before, 2);
        hfsp_exit();
    }
}

TEST(HfsJournalScan, InitRefusesWhatIsNotHfsPlus)
{
    VarnSession vs;
    EXPECT_EQ(hfsp_init(nullptr), 0);
    EXPECT_EQ(hfsp_searchfile(1), nullptr);
    EXPECT_EQ(get_ExportsData(), 100);

    std::vector<uint8_t> zeros(1 << 20, 0);
    MemDevice dev(zeros);
    EXPECT_EQ(hfsp_init(dev.partition(0, zeros.size(), FS_HFSPLUS)), 0);
    EXPECT_EQ(hfsp_get_blocksize(), 0);
    EXPECT_EQ(hfsp_searchfile(1), nullptr);

    // A header whose block size is not a power of two.
    HfsScenario s = makeHfsScenario();
    s.image[1024 + 42] = 0x0F;
    MemDevice bad(s.image);
    EXPECT_EQ(hfsp_init(bad.partition(0, s.image.size(), FS_HFSPLUS)), 0);
}

TEST(HfsJournalScan, ANodeCopyThatWrapsAroundTheJournalEndIsFound)
{
    HfsImage::Options o;
    HfsImage v(o);
    HfsRecord f = v.file(50, 2, "wrapped.txt", patternBytes(5000, 50));
    HfsRecord g = v.file(51, 2, "after.txt", patternBytes(100, 51));
    v.setCatalog({{v.folder(2, 1, "Untitled")}});
    // The block list header ends 1536 bytes before the journal's end, so
    // the node copy runs on after the journal header.
    v.setJournalCursor(o.journalBytes - o.blockListSize - 1536);
    v.journalTransaction({{1, v.leafNode({f, f.thread()})}});
    v.journalTransaction({{1, v.leafNode({g})}});
    std::vector<uint8_t> img = v.image();
    MemDevice dev(img);
    VarnSession vs;
    ASSERT_EQ(hfsp_init(dev.partition(0, img.size(), FS_HFSPLUS)), 1);
    std::set<std::string> names;
    for (file_info *r : listOf(hfsp_searchfile(1)))
        names.insert(nameOf(r));
    EXPECT_EQ(names, (std::set<std::string>{"wrapped.txt", "after.txt"}));
}

TEST(HfsJournalScan, UnreadableJournalSectorsLoseOnlyTheNodesOnThem)
{
    HfsScenario s = makeHfsScenario();
    // The second transaction (leaf node 2) sits behind the journal header,
    // the first block list header and the first node copy.
    uint64_t node2 = s.journalOffset + 512 + 4096 + 4096 + 4096;
    struct Case {
        const char *what;
        uint64_t failFrom, failTo;
        bool node2Lost;
    } cases[] = {
        {"bad sector inside the second node copy", node2 + 1024, node2 + 1536, true},
        {"bad sectors between transactions", node2 + 4096 + 1024, node2 + 4096 + 2048, false},
        {"bad sectors late in the journal", s.journalOffset + 600000, s.journalOffset + 700000, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        MemDevice dev(s.image);
        dev.failFrom = c.failFrom;
        dev.failTo = c.failTo;
        VarnSession vs;
        ASSERT_EQ(hfsp_init(dev.partition(0, s.image.size(), FS_HFSPLUS)), 1);
        std::set<uint32_t> ids;
        for (file_info *r : listOf(hfsp_searchfile(1)))
            ids.insert(+r->FileID);
        EXPECT_EQ(ids.count(30), 1u);  // node 1, first copy
        EXPECT_EQ(ids.count(40), 1u);  // node 1, second copy
        EXPECT_EQ(ids.count(32), c.node2Lost ? 0u : 1u);
        hfsp_exit();
    }
}

TEST(HfsJournalScan, ExitReleasesEverythingAndInitWorksAgain)
{
    HfsScenario s = makeHfsScenario();
    MemDevice dev(s.image);
    for (int round = 0; round < 3; round++) {
        ASSERT_EQ(hfsp_init(dev.partition(0, s.image.size(), FS_HFSPLUS)), 1);
        EXPECT_EQ(listOf(hfsp_searchfile(1)).size(), s.records.size());
        EXPECT_NE(hfsp_searchCatalogFile(), nullptr);
        hfsp_exit();
        EXPECT_EQ(hfsp_get_blocksize(), 0);
    }
    // A second search without exit adds nothing twice.
    VarnSession vs;
    ASSERT_EQ(hfsp_init(dev.partition(0, s.image.size(), FS_HFSPLUS)), 1);
    hfsp_searchfile(1);
    EXPECT_EQ(listOf(hfsp_searchfile(1)).size(), s.records.size());
    // Modes other than 1 find nothing here (mode 0 belongs to the signature
    // engine) and leave the journal list alone.
    EXPECT_EQ(hfsp_searchfile(7), nullptr);
}

TEST(HfsCatalogScan, ListsTheLiveCatalogsRecords)
{
    HfsScenario s = makeHfsScenario();
    MemDevice dev(s.image);
    VarnSession vs;
    ASSERT_EQ(hfsp_init(dev.partition(0, s.image.size(), FS_HFSPLUS)), 1);
    expectList(listOf(hfsp_searchCatalogFile()), s.live);
    EXPECT_EQ(get_ExportsData(), 100);
}

}  // namespace

namespace {

// Block and node sizes other than the usual 4096/4096: small images made
// with 512-byte blocks, large volumes with 8192-byte blocks, and catalogs
// with 8192-byte nodes.
TEST(HfsJournalScan, WorksForEveryBlockAndNodeSize)
{
    struct Geometry {
        uint32_t block, node;
    } geometries[] = {{512, 4096}, {4096, 4096}, {8192, 4096}, {4096, 8192}, {2048, 512}};
    for (const Geometry &g : geometries) {
        SCOPED_TRACE("block " + std::to_string(g.block) + ", node " + std::to_string(g.node));
        HfsImage::Options o;
        o.blockSize = g.block;
        o.catalogNodeSize = g.node;
        o.journalBytes = 512u << 10;
        HfsImage v(o);
        std::vector<uint8_t> data = patternBytes(30000, g.block + g.node);
        HfsRecord d = v.folder(20, 2, "Photos");
        HfsRecord f = v.file(21, 20, "p.jpg", data, 0, 2);
        v.setCatalog({{v.folder(2, 1, "Untitled")}});
        v.journalTransaction({{1, v.leafNode({d, d.thread(), f, f.thread()})}});
        std::vector<uint8_t> img = v.image();
        MemDevice dev(img);
        VarnSession vs;
        ASSERT_EQ(hfsp_init(dev.partition(0, img.size(), FS_HFSPLUS)), 1);
        EXPECT_EQ(hfsp_get_blocksize(), (int)g.block);
        std::vector<file_info *> list = listOf(hfsp_searchfile(1));
        ASSERT_EQ(list.size(), 2u);
        file_info *file = list[0]->RecordType == 2 ? list[0] : list[1];
        std::vector<uint8_t> got, buf(g.block);
        for (uint64_t left = file->DataSize; left;) {
            uint32_t n = left < g.block ? (uint32_t)left : g.block;
            ASSERT_EQ(hfsxx_readwirtelogfile(file, buf.data(), n, 0), (int32_t)n);
            got.insert(got.end(), buf.begin(), buf.begin() + n);
            left -= n;
        }
        EXPECT_EQ(got, data);
        hfsp_exit();
    }
}

}  // namespace
