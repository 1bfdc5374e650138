// libhollin on volumes no driver writes: mkfs.exfat images with damage
// built on purpose (entry sets that disagree, loops, short bitmaps,
// clusters past the end, broken boot regions, failing reads).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "exfat_editor.h"
#include "fat_test_util.h"
#include "hollin.h"
#include "hollin_i.h"
#include "test_support.h"

namespace {

struct Exit {
    ~Exit() { exfat_exit(); }
};

std::vector<uint8_t> blankImage(const std::string &name = "blank.img")
{
    return fatt::readAll(svt::fixture("exfat_blank") + "/" + name);
}

std::string utf8(const tagExfatFile *r)
{
    std::string s;
    for (uint32_t i = 0; i < r->nNameLength; i++)
        s += r->szName[i] < 0x80 ? (char)r->szName[i] : '?';
    return s;
}

// Every record of a search, by path ("folder/name").
struct Result {
    int files = 0, dirs = 0;
    std::map<std::string, tagExfatFile *> byPath;
    std::vector<tagExfatFile *> all;
};

Result search()
{
    Result res;
    for (tagExfatFile *r = exfat_searchfile(&res.files, &res.dirs); r; r = exfat_get_next(r)) {
        std::string path = utf8(r);
        for (tagExfatFile *p = r->pParent; p; p = p->pParent)
            path = utf8(p) + "/" + path;
        res.byPath[path] = r;
        res.all.push_back(r);
    }
    return res;
}

std::vector<uint8_t> readAll(tagExfatFile *r, uint32_t *bad = nullptr)
{
    std::vector<uint8_t> out(r->nSize);
    uint32_t lost = 0;
    int64_t got = exfat_readfile(r, 0, out.data(), (uint32_t)out.size(), &lost);
    EXPECT_EQ(got, (int64_t)out.size());
    if (bad)
        *bad = lost;
    return out;
}

class ExfatLib : public ::testing::Test {
protected:
    virtual std::string imageName() const { return "blank.img"; }
    void SetUp() override
    {
        img = blankImage(imageName());
        ASSERT_FALSE(img.empty());
        ed = std::make_unique<exft::Editor>(img);
        cs = ed->clusterSize();
    }
    // Data of a deleted file: n clusters of seed bytes at a free run, given
    // back (free) when the volume is made unless keepUsed names them.
    uint32_t place(uint32_t n, uint32_t seed, std::vector<uint8_t> *data)
    {
        uint32_t c = ed->findFree(n, true);
        EXPECT_NE(c, 0u);
        *data = svt::patternBytes((size_t)n * cs, seed);
        for (uint32_t k = 0; k < n; k++) {
            ed->writeCluster(c + k, *data, (size_t)k * cs);
            placed.push_back(c + k);
        }
        return c;
    }
    // A cluster that another (live) file holds now.
    void keepUsed(uint32_t c) { kept.push_back(c); }
    std::unique_ptr<fatt::Volume> volume()
    {
        for (uint32_t c : placed)
            if (std::find(kept.begin(), kept.end(), c) == kept.end())
                ed->setInUse(c, false);
        return std::make_unique<fatt::Volume>(img, FS_EXFAT);
    }

    std::vector<uint8_t> img;
    std::unique_ptr<exft::Editor> ed;
    uint32_t cs = 0;
    std::vector<uint32_t> placed, kept;
};

}  // namespace

TEST_F(ExfatLib, BootRegionChecksumBackupAndRefusal)
{
    Exit guard;
    {
        auto vol = volume();
        ASSERT_TRUE(exfat_init(vol->part()));
        EXPECT_EQ(exfat_get_blocksize(), cs);
        EXPECT_TRUE(hollin::g_state.L.checksumOk);
        EXPECT_FALSE(hollin::g_state.L.backup);
        exfat_exit();
        EXPECT_EQ(exfat_get_blocksize(), 0u);
        // init -> exit -> init works.
        ASSERT_TRUE(exfat_init(vol->part()));
    }
    // A main region whose checksum fails: the backup is read.
    img[512 + 100] ^= 0x5A;
    {
        auto vol = volume();
        ASSERT_TRUE(exfat_init(vol->part()));
        EXPECT_TRUE(hollin::g_state.L.backup);
    }
    // Main boot sector unreadable as exFAT, backup good.
    memset(img.data() + 3, 0, 8);
    {
        auto vol = volume();
        ASSERT_TRUE(exfat_init(vol->part()));
        EXPECT_TRUE(hollin::g_state.L.backup);
    }
    // Both gone: not an exFAT volume.
    memset(img.data() + 12 * 512 + 3, 0, 8);
    {
        auto vol = volume();
        EXPECT_FALSE(exfat_init(vol->part()));
        EXPECT_EQ(exfat_searchfile(nullptr, nullptr), nullptr);
    }
    // Impossible geometry in an otherwise consistent region is refused too.
    std::vector<uint8_t> bad = blankImage();
    bad[109] = 30;  // cluster shift past 32 MiB clusters
    exft::Editor(bad).fixBootChecksum();
    bad[12 * 512 + 109] = 30;
    exft::Editor(bad).fixBootChecksum(12 * 512);
    fatt::Volume v(bad, FS_EXFAT);
    EXPECT_FALSE(exfat_init(v.part()));
    EXPECT_FALSE(exfat_init(nullptr));
}

TEST_F(ExfatLib, OnlyEntrySetsWhosePartsAgreeAreTaken)
{
    Exit guard;
    const uint32_t root = ed->rootCluster();
    std::vector<uint8_t> data;
    const uint32_t c = place(1, 1, &data);
    // Stamped 2021-06-15 07:44:16 local time, +1.5 s, at UTC+2.
    exft::SetSpec good{u"good.txt", c, 1000};
    good.modified10ms = 150;
    good.modifiedUtc = 0x80 | 8;
    ed->addSet(root, good);

    // Wrong checksum.
    auto e = exft::Editor::buildSet({u"badsum.txt", c, 1000});
    e[2] ^= 1;
    ed->addRaw(root, e);
    // Secondary count larger than the set (the next set's file entry follows).
    e = exft::Editor::buildSet({u"count.txt", c, 1000});
    e[1] = 3;
    ed->addRaw(root, e);
    // Name length beyond its name entries.
    e = exft::Editor::buildSet({u"namelen.txt", c, 1000});
    e[35] = 40;
    ed->addRaw(root, e);
    // In-use bits that disagree (a live stream extension in a deleted set).
    e = exft::Editor::buildSet({u"mixed.txt", c, 1000});
    e[32] |= 0x80;
    ed->addRaw(root, e);
    // No stream extension after the file entry.
    e = exft::Editor::buildSet({u"nostream.txt", c, 1000});
    e[32] = 0x41;
    ed->addRaw(root, e);
    // A whole 255-unit name (17 name entries) is kept.
    std::u16string longName(251, u'x');
    longName += u".bin";
    exft::SetSpec west{longName, c, 1000};
    west.modifiedUtc = 0x80 | 0x78;  // UTC-2
    ed->addSet(root, west);

    auto vol = volume();
    ASSERT_TRUE(exfat_init(vol->part()));
    Result res = search();
    EXPECT_EQ(res.files, 2);
    ASSERT_EQ(res.byPath.count("good.txt"), 1u);
    std::string longUtf8(251, 'x');
    ASSERT_EQ(res.byPath.count(longUtf8 + ".bin"), 1u);
    EXPECT_EQ(res.byPath[longUtf8 + ".bin"]->nNameLength, 255);
    EXPECT_EQ(res.byPath[longUtf8 + ".bin"]->stModify.tUnix, 1623750256);  // 09:44:16 UTC
    EXPECT_EQ(res.byPath[longUtf8 + ".bin"]->stModify.nUtcMinutes, -120);
    tagExfatFile *g = res.byPath["good.txt"];
    EXPECT_EQ(g->bDataState, EXFAT_DATA_EXACT);
    EXPECT_TRUE(g->stModify.bValid && g->stModify.bUtc);
    EXPECT_EQ(g->stModify.tUnix, 1623735857);  // 05:44:17 UTC
    EXPECT_EQ(g->stModify.wMilli, 500);
    EXPECT_EQ(g->stModify.nUtcMinutes, 120);
    std::vector<uint8_t> got = readAll(g);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
}

TEST_F(ExfatLib, DataPlansNeverHandOutAnotherFilesBytes)
{
    Exit guard;
    const uint32_t root = ed->rootCluster();
    std::vector<uint8_t> contig, chain, gone, used, tail;

    // Contiguous, with a cluster in the middle now in use by a live file.
    const uint32_t c1 = place(4, 10, &contig);
    keepUsed(c1 + 2);
    ed->addSet(root, {u"holey.jpg", c1, 4ull * cs});

    // An intact chain of free clusters, not in cluster order: followed.
    const uint32_t c2 = place(6, 11, &chain);
    ed->setFat(c2, c2 + 4);
    ed->setFat(c2 + 4, c2 + 2);
    ed->setFat(c2 + 2, 0xFFFFFFFF);
    ed->addSet(root, {u"chain.bin", c2, 3ull * cs, UINT64_MAX, false});

    // Chain gone (cleared on delete), one cluster in use inside: stepped over.
    const uint32_t c3 = place(3, 12, &gone);
    keepUsed(c3 + 1);
    ed->addSet(root, {u"guess.bin", c3, 2ull * cs, UINT64_MAX, false});

    // A chained file whose first cluster went to another file.
    const uint32_t c4 = place(2, 13, &used);
    keepUsed(c4);
    ed->addSet(root, {u"reused.bin", c4, 2ull * cs, UINT64_MAX, false});

    // Contiguous past the end of the heap; first cluster past the end;
    // a length far larger than the volume; valid data shorter than the size.
    const uint32_t last = ed->clusterCount() + 1;
    ed->addSet(root, {u"pastend.bin", last - 1, 4ull * cs});
    ed->addSet(root, {u"outside.bin", last + 10, 100});
    ed->addSet(root, {u"huge.bin", c1, 1ull << 62});
    const uint32_t c5 = place(2, 14, &tail);
    ed->addSet(root, {u"valid.bin", c5, 2ull * cs - 10, cs + 5});

    auto vol = volume();
    ASSERT_TRUE(exfat_init(vol->part()));
    Result res = search();
    ASSERT_EQ(res.files, 8);

    tagExfatFile *r = res.byPath["holey.jpg"];
    EXPECT_EQ(r->bDataState, EXFAT_DATA_DAMAGED);
    EXPECT_EQ(r->nMissing, 1u);
    std::vector<uint8_t> got = readAll(r);
    std::vector<uint8_t> want = contig;
    std::fill(want.begin() + 2 * cs, want.begin() + 3 * cs, 0);
    EXPECT_EQ(got, want);

    r = res.byPath["chain.bin"];
    EXPECT_EQ(r->bDataState, EXFAT_DATA_CHAIN);
    got = readAll(r);
    want.assign(chain.begin(), chain.begin() + cs);
    want.insert(want.end(), chain.begin() + 4 * cs, chain.begin() + 5 * cs);
    want.insert(want.end(), chain.begin() + 2 * cs, chain.begin() + 3 * cs);
    EXPECT_EQ(got, want);

    r = res.byPath["guess.bin"];
    EXPECT_EQ(r->bDataState, EXFAT_DATA_GUESSED);
    EXPECT_EQ(r->nSkipped, 1u);
    got = readAll(r);
    want.assign(gone.begin(), gone.begin() + cs);
    want.insert(want.end(), gone.begin() + 2 * cs, gone.begin() + 3 * cs);
    EXPECT_EQ(got, want);

    r = res.byPath["reused.bin"];
    EXPECT_EQ(r->bDataState, EXFAT_DATA_OVERWRITTEN);
    got = readAll(r);
    EXPECT_EQ(got, std::vector<uint8_t>(got.size(), 0));

    r = res.byPath["pastend.bin"];
    EXPECT_EQ(r->bDataState, EXFAT_DATA_DAMAGED);
    EXPECT_EQ(r->nMissing, 2u);  // the last two clusters lie past the heap
    EXPECT_EQ(res.byPath["outside.bin"]->bDataState, EXFAT_DATA_INVALID);
    r = res.byPath["huge.bin"];
    EXPECT_EQ(r->nDataLength, 1ull << 62);
    EXPECT_EQ(r->nSize, (uint64_t)ed->clusterCount() * cs);

    r = res.byPath["valid.bin"];
    got = readAll(r);
    want.assign(tail.begin(), tail.begin() + cs + 5);
    want.resize(2 * cs - 10, 0);
    EXPECT_EQ(got, want);
    // Reads past the end give nothing; a part read starts where it is asked.
    uint8_t b[16];
    EXPECT_EQ(exfat_readfile(r, r->nSize, b, sizeof b, nullptr), 0);
    EXPECT_EQ(exfat_readfile(r, cs - 8, b, sizeof b, nullptr), (int64_t)sizeof b);
    EXPECT_EQ(0, memcmp(b, tail.data() + cs - 8, 13));
    EXPECT_EQ(exfat_readfile(nullptr, 0, b, sizeof b, nullptr), -1);
}

TEST_F(ExfatLib, WalkEndsOnLoopsAndFoldersThatContainThemselves)
{
    Exit guard;
    const uint32_t root = ed->rootCluster();
    std::vector<uint8_t> data;
    const uint32_t fileC = place(1, 20, &data);

    // A live folder whose first cluster is the root.
    ed->addSet(root, {u"Root again", root, cs, UINT64_MAX, false, true, false});
    // A deleted folder that lists itself, holding a deleted file.
    std::vector<uint8_t> scratch;
    const uint32_t self = place(1, 21, &scratch);
    ed->writeCluster(self, std::vector<uint8_t>(cs, 0));
    ed->addSet(self, {u"Myself", self, cs, UINT64_MAX, true, true, true});
    ed->addSet(self, {u"inner.txt", fileC, 300});
    ed->addSet(root, {u"Myself", self, cs, UINT64_MAX, true, true, true});
    // The root's own FAT chain loops back on itself.
    ed->setFat(root, root);
    // A deleted chained file whose FAT chain loops, one whose chain leaves
    // the heap: neither chain is taken as it stands.
    std::vector<uint8_t> looped, leaving;
    const uint32_t l = place(3, 22, &looped);
    ed->setFat(l, l + 1);
    ed->setFat(l + 1, l);
    ed->addSet(root, {u"loop.bin", l, 3ull * cs, UINT64_MAX, false});
    const uint32_t o = place(2, 23, &leaving);
    ed->setFat(o, ed->clusterCount() + 7);
    ed->addSet(root, {u"leaves.bin", o, 2ull * cs, UINT64_MAX, false});

    auto vol = volume();
    ASSERT_TRUE(exfat_init(vol->part()));
    Result res = search();
    EXPECT_EQ(res.dirs, 2);  // the root and Myself, once each
    EXPECT_EQ(res.files, 3);
    ASSERT_TRUE(res.byPath.count("loop.bin") && res.byPath.count("leaves.bin"));
    EXPECT_EQ(res.byPath["loop.bin"]->bDataState, EXFAT_DATA_GUESSED);
    EXPECT_EQ(readAll(res.byPath["loop.bin"]), looped);
    EXPECT_EQ(res.byPath["leaves.bin"]->bDataState, EXFAT_DATA_GUESSED);
    EXPECT_EQ(readAll(res.byPath["leaves.bin"]), leaving);
    ASSERT_EQ(res.byPath.count("Myself/inner.txt"), 1u);
    EXPECT_EQ(readAll(res.byPath["Myself/inner.txt"]), std::vector<uint8_t>(data.begin(), data.begin() + 300));
}

TEST_F(ExfatLib, ShortBitmapAndReusedFolderClustersAreNotTrusted)
{
    Exit guard;
    const uint32_t root = ed->rootCluster();
    std::vector<uint8_t> low, high;
    const uint32_t lowC = place(1, 30, &low);
    ed->addSet(root, {u"low.txt", lowC, 500});
    const uint32_t highC = ed->clusterCount() - 5;
    high = svt::patternBytes(cs, 31);
    ed->writeCluster(highC, high);
    ed->addSet(root, {u"high.txt", highC, 500});

    // A deleted folder whose cluster now belongs to a live folder: what is
    // in that cluster is the live folder's, not the deleted one's.
    const uint32_t shared = ed->findFree(1, true);
    std::vector<uint8_t> zero(cs, 0);
    ed->writeCluster(shared, zero);
    ed->addSet(shared, {u"kept-deleted.txt", lowC, 10});
    ed->addSet(root, {u"Old", shared, cs, UINT64_MAX, true, true, true});
    ed->addSet(root, {u"New", shared, cs, UINT64_MAX, true, true, false});

    // The bitmap's entry claims only the first 64 clusters.
    const uint64_t lenOff = ed->bitmapLengthOffset();
    for (int i = 0; i < 8; i++)
        img[lenOff + i] = i == 0 ? 8 : 0;

    auto vol = volume();
    ASSERT_TRUE(exfat_init(vol->part()));
    Result res = search();
    ASSERT_TRUE(res.byPath.count("low.txt"));
    ASSERT_TRUE(res.byPath.count("high.txt"));
    EXPECT_EQ(res.byPath["low.txt"]->bDataState, EXFAT_DATA_EXACT);
    // Past the bitmap nothing is known to be free.
    EXPECT_EQ(res.byPath["high.txt"]->bDataState, EXFAT_DATA_OVERWRITTEN);
    EXPECT_EQ(res.byPath.count("New/kept-deleted.txt"), 1u);
    EXPECT_EQ(res.byPath.count("Old/kept-deleted.txt"), 0u);
}

TEST_F(ExfatLib, StopRequestHoldsAndFailedReadsAreZerosAndCounted)
{
    Exit guard;
    const uint32_t root = ed->rootCluster();
    std::vector<uint8_t> data;
    const uint32_t c = place(3, 40, &data);
    ed->addSet(root, {u"three.bin", c, 3ull * cs});
    auto vol = volume();
    ASSERT_TRUE(exfat_init(vol->part()));

    changeExportsData(200);
    int files = -1;
    exfat_searchfile(&files, nullptr);
    EXPECT_EQ(get_ExportsData(), 200);
    EXPECT_EQ(files, 0);

    changeExportsData(0);
    Result res = search();
    EXPECT_EQ(get_ExportsData(), 100);
    ASSERT_TRUE(res.byPath.count("three.bin"));
    tagExfatFile *r = res.byPath["three.bin"];
    vol->failFrom = ed->clusterOffset(c + 1);
    vol->failTo = vol->failFrom + cs;
    uint32_t bad = 0;
    std::vector<uint8_t> got = readAll(r, &bad);
    EXPECT_EQ(bad, 1u);
    std::vector<uint8_t> want = data;
    std::fill(want.begin() + cs, want.begin() + 2 * cs, 0);
    EXPECT_EQ(got, want);
}

// Some drivers give a folder's trailing clusters back once every entry in
// them is deleted: the entries are then found in free clusters past the
// folder's end, but only in one that continues the set its last cluster
// cuts.  Small clusters are searched in batches, large ones sector first.
class ExfatTail : public ExfatLib, public ::testing::WithParamInterface<const char *> {
protected:
    std::string imageName() const override { return GetParam(); }
};

TEST_P(ExfatTail, LostFolderTailIsTakenOnlyWhereItContinuesTheCutSet)
{
    Exit guard;
    std::vector<uint8_t> data, scratch;
    const uint32_t fileC = place(1, 50, &data);
    const uint32_t folder = ed->findFree(3, true);
    ed->addSet(ed->rootCluster(), {u"Shrunk", folder, cs, UINT64_MAX, true, true, false});
    // Three-entry sets fill all but two slots; a four-entry set is cut after two.
    const int sets = (int)(cs / 32 - 2) / 3;
    std::vector<uint8_t> dir;
    for (int i = 0; i < sets; i++) {
        std::u16string n = u"f" + std::u16string(1, (char16_t)(u'A' + i % 26)) +
                           std::u16string(1, (char16_t)(u'a' + i / 26 % 26)) +
                           std::u16string(1, (char16_t)(u'a' + i / 676));
        auto e = exft::Editor::buildSet({n, fileC, 100});
        dir.insert(dir.end(), e.begin(), e.end());
    }
    auto cut = exft::Editor::buildSet({u"cut across two clusters.txt", fileC, 200});
    ASSERT_EQ(cut.size(), 4u * 32);
    dir.insert(dir.end(), cut.begin(), cut.end());
    ASSERT_EQ(dir.size(), (size_t)cs + 64);
    ed->writeCluster(folder, dir);
    // The next free cluster holds a stranger's set; the one after it the rest.
    std::vector<uint8_t> stranger = exft::Editor::buildSet({u"stranger.txt", fileC, 300});
    stranger.resize(cs, 0);
    ed->writeCluster(folder + 1, stranger);
    std::vector<uint8_t> rest(dir.begin() + cs, dir.end());
    auto more = exft::Editor::buildSet({u"after.txt", fileC, 400});
    rest.insert(rest.end(), more.begin(), more.end());
    rest.resize(cs, 0);
    ed->writeCluster(folder + 2, rest);
    ed->setInUse(folder + 1, false);
    ed->setInUse(folder + 2, false);

    auto vol = volume();
    ASSERT_TRUE(exfat_init(vol->part()));
    Result res = search();
    EXPECT_EQ(res.files, sets + 3);
    ASSERT_EQ(res.byPath.count("Shrunk/cut across two clusters.txt"), 1u);
    EXPECT_EQ(res.byPath["Shrunk/cut across two clusters.txt"]->nEntryOffset, ed->clusterOffset(folder) + (cs - 64));
    EXPECT_EQ(res.byPath.count("Shrunk/after.txt"), 1u);
    EXPECT_EQ(res.byPath["Shrunk/after.txt"]->nEntryOffset, ed->clusterOffset(folder + 2) + 64);
    // The stranger's set does not go on the cut one: a folder of its own.
    EXPECT_EQ(res.byPath.count("Shrunk/stranger.txt"), 0u);
    EXPECT_EQ(res.byPath.count("Lost folder 1/stranger.txt"), 1u);
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, ExfatTail, ::testing::Values("blank.img", "blank64k.img"),
                         [](const auto &info) { return std::string(info.param) == "blank.img" ? "4k" : "64k"; });
