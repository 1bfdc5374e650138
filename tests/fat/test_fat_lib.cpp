// libpolder through its exported entry points: lifecycle, the result
// tree, reads, stop requests, and volumes damaged on purpose.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "fat_backend.h"
#include "fat_test_util.h"
#include "polder.h"
#include "test_support.h"

using namespace salvitra;

namespace {

std::unique_ptr<fatt::Volume> fat16()
{
    return fatt::Volume::load(svt::fixture("fat16") + "/fat16.img", FS_FAT16);
}

// fat_init ... fat_exit around one test.
struct Quick {
    explicit Quick(Partiton_Struct *p) { ok = fat_init(p); }
    ~Quick() { fat_exit(); }
    tagStLinkNode *search()
    {
        files = dirs = -1;
        root = fat_searchfile(true, &files, &dirs);
        return root;
    }
    // Every file record with its path, in walk order.
    std::vector<std::pair<std::string, tagStFatInfo *>> list()
    {
        std::vector<std::pair<std::string, tagStFatInfo *>> out;
        CreateQuickFatTree(root, [&](tagStFatInfo *rec, const std::vector<tagStFatInfo *> &dirs) {
            std::string p;
            for (tagStFatInfo *d : dirs)
                p += fatNameToUtf8(d->szName) + "/";
            out.push_back({p + fatNameToUtf8(rec->szName), rec});
        });
        return out;
    }
    std::map<std::string, int> counts()
    {
        std::map<std::string, int> m;
        for (auto &kv : list())
            m[kv.first]++;
        return m;
    }
    bool ok = false;
    tagStLinkNode *root = nullptr;
    int files = -1, dirs = -1;
};

TEST(PolderLifecycle, InitRejectsWhatItCannotScanAndCanBeRepeated)
{
    EXPECT_FALSE(fat_init(nullptr));
    auto v = fat16();
    v->part()->FsType = FS_NTFS;
    EXPECT_FALSE(fat_init(v->part()));
    v->part()->FsType = FS_FAT16;

    // A boot sector with no sector size is no FAT volume.
    auto bad = fat16();
    bad->bytes()[11] = bad->bytes()[12] = 0;
    bad->syncBoot();
    EXPECT_FALSE(fat_init(bad->part()));
    EXPECT_EQ(fat_searchfile(true, nullptr, nullptr), nullptr);
    fat_exit();

    int first = 0;
    for (int round = 0; round < 2; round++) {
        Quick q(v->part());
        ASSERT_TRUE(q.ok);
        EXPECT_EQ(fat_searchfile(false, nullptr, nullptr), nullptr);
        ASSERT_NE(q.search(), nullptr);
        EXPECT_EQ(get_ExportsData(), 100);
        if (round == 0) {
            first = q.files;
        } else {
            EXPECT_EQ(q.files, first);
        }
    }
    EXPECT_GT(first, 600);
}

TEST(PolderTree, NodesFollowTheDirectoryRecordsInPreOrder)
{
    auto v = fat16();
    Quick q(v->part());
    ASSERT_TRUE(q.ok);
    tagStLinkNode *root = q.search();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->bRoot, 1);
    EXPECT_EQ(root->pParent, root);
    EXPECT_EQ(root->pPrev, nullptr);

    int nodes = 0;
    for (tagStLinkNode *n = root; n; n = n->pNext) {
        nodes++;
        EXPECT_EQ(n->bHasFile, 1);  // only folders on the way to a deleted file
        if (n->pNext) {
            EXPECT_EQ(n->pNext->pPrev, n);
        }
    }
    EXPECT_EQ(nodes, q.dirs);

    // Directory records met depth-first match the nodes in creation order.
    std::vector<std::string> dirNames;
    std::function<void(tagStLinkNode *, tagStLinkNode *&)> walk = [&](tagStLinkNode *n, tagStLinkNode *&last) {
        for (tagStFatInfo **e = n->ppEntries; *e; e++) {
            if (!(*e)->bDirectory)
                continue;
            last = last->pNext;
            ASSERT_NE(last, nullptr);
            dirNames.push_back(fatNameToUtf8((*e)->szName));
            walk(last, last);
        }
    };
    tagStLinkNode *last = root;
    walk(root, last);
    EXPECT_EQ(last->pNext, nullptr);
    EXPECT_EQ((int)dirNames.size(), nodes - 1);

    // More than 511 records: the array grew and still ends with null.
    auto files = q.list();
    size_t many = 0;
    for (auto &kv : files)
        many += kv.first.rfind("Many/", 0) == 0;
    EXPECT_EQ(many, 600u);
    EXPECT_EQ((int)files.size(), q.files);
}

TEST(PolderRead, PartialSectorsAdvanceByWholeSectorsOnly)
{
    auto v = fat16();
    fatt::FatEditor ed(v->bytes());
    uint64_t ent = ed.findEntry("?ELETED TXT");
    ASSERT_NE(ent, 0u);
    uint64_t data = ed.clusterOffset(ed.entryCluster(ent));
    Quick q(v->part());
    ASSERT_TRUE(q.search());
    tagStFatInfo *rec = nullptr;
    for (auto &kv : q.list())
        if (kv.first == "_ELETED.TXT")
            rec = kv.second;
    ASSERT_NE(rec, nullptr);

    int64_t pos = 0;
    std::vector<uint8_t> buf(700, 0xAA);
    EXPECT_TRUE(fat_readfile(rec, buf.data(), 700, &pos));
    EXPECT_EQ(pos, 1);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), v->bytes().begin() + data));
    EXPECT_TRUE(fat_readfile(rec, buf.data(), 512, &pos));
    EXPECT_EQ(pos, 2);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 512, v->bytes().begin() + data + 512));
    EXPECT_FALSE(fat_readfile(rec, buf.data(), 0, &pos));
    EXPECT_FALSE(fat_readfile(nullptr, buf.data(), 512, &pos));
}

TEST(PolderRead, TheFreePathEndsAtTheVolumeEndAndRereadsGiveTheSameBytes)
{
    // A deleted file whose later clusters are all in use up to the end of
    // the volume: its first cluster is read, the rest is zeros and says so.
    auto v = fat16();
    fatt::FatEditor ed(v->bytes());
    uint64_t ent = ed.findEntry("?ELETED TXT");  // 3000 bytes: two 2 KiB clusters
    ASSERT_NE(ent, 0u);
    uint32_t first = ed.entryCluster(ent);
    uint32_t last = (uint32_t)((v->bytes().size() - ed.clusterOffset(2)) / ed.clusterSize() + 1);
    for (uint32_t c = first + 1; c <= last; c++)
        if (ed.fatEntry(c) == 0)
            ed.setFatEntry(c, 0xFFF7);  // bad: never free
    Quick q(v->part());
    ASSERT_TRUE(q.search());
    tagStFatInfo *rec = nullptr;
    for (auto &kv : q.list())
        if (kv.first == "_ELETED.TXT")
            rec = kv.second;
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->bPlan, FAT_PLAN_SKIPPED | FAT_PLAN_SHORT);
    EXPECT_EQ(rec->nReserved, 1u);
    FoundFile f = fatFoundFile(rec, {}, 2048);
    EXPECT_TRUE(f.readable());
    EXPECT_NE(f.note.find("only the first 2048 bytes"), std::string::npos) << f.note;
    EXPECT_EQ(f.state, FileState::Damaged);
    EXPECT_EQ(f.size, 2048u) << "its data ends where the free space ends";
    EXPECT_EQ(f.listedSize, 3000u);

    std::vector<uint8_t> buf(4096, 0xAA);
    int64_t pos = 0;
    EXPECT_FALSE(fat_readfile(rec, buf.data(), 4096, &pos));
    EXPECT_EQ(pos, 8);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 2048, v->bytes().begin() + ed.clusterOffset(first)));
    EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 2048, buf.end()), std::vector<uint8_t>(2048, 0));

    // Around a file in use: read forward, then the same part again.
    auto w = fat16();
    fatt::FatEditor ew(w->bytes());
    uint64_t big = ew.findEntry("?OLIDA~1JPG");  // 51200 bytes: 25 clusters
    uint32_t start = ew.entryCluster(big);
    ew.setFatEntry(start + 3, 0xFFFF);
    ew.setFatEntry(start + 4, 0xFFFF);
    Quick q2(w->part());
    ASSERT_TRUE(q2.search());
    for (auto &kv : q2.list())
        if (kv.first == "Holiday photo 001.jpg")
            rec = kv.second;
    EXPECT_EQ(rec->nSkipped, 2u);
    std::vector<uint8_t> want;
    for (uint32_t k = 0; k < 25; k++) {
        uint32_t c = start + k + (k >= 3 ? 2 : 0);
        want.insert(want.end(), w->bytes().begin() + ew.clusterOffset(c),
                    w->bytes().begin() + ew.clusterOffset(c) + 2048);
    }
    std::vector<uint8_t> got(51200);
    pos = 0;
    for (uint32_t at = 0; at < 51200; at += 5120)  // pieces that straddle clusters
        EXPECT_TRUE(fat_readfile(rec, got.data() + at, 5120, &pos));
    EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin()));
    pos = 20;  // back to the third piece: the same bytes
    std::vector<uint8_t> again(5120);
    EXPECT_TRUE(fat_readfile(rec, again.data(), 5120, &pos));
    EXPECT_TRUE(std::equal(again.begin(), again.end(), want.begin() + 10240));
}

TEST(PolderStop, AStopRequestEndsTheWalkAndKeepsWhatWasFound)
{
    int full = 0;
    uint64_t reads = 0;
    {
        auto v = fat16();
        Quick q(v->part());
        q.search();
        full = q.files;
        reads = v->reads;
    }
    ASSERT_GT(reads, 10u);
    auto v = fat16();
    v->onRead = [&](uint64_t n) {
        if (n == reads / 2)
            set_ExportsData(false);  // the user's stop (200)
    };
    Quick q(v->part());
    ASSERT_NE(q.search(), nullptr);
    EXPECT_EQ(get_ExportsData(), 200);  // a stop is never turned into "finished"
    EXPECT_LT(q.files, full);
    // What was kept is still a well-formed tree.
    int nodes = 0;
    for (tagStLinkNode *n = q.root; n; n = n->pNext)
        nodes++;
    EXPECT_EQ(nodes, q.dirs);
    EXPECT_EQ((int)q.list().size(), q.files);
    changeExportsData(0);
}

TEST(PolderStop, ProgressRisesAndReachesOneHundredOnlyAtTheEnd)
{
    auto v = fat16();
    std::vector<int32_t> seen;
    v->onRead = [&](uint64_t) { seen.push_back(get_ExportsData()); };
    Quick q(v->part());
    ASSERT_NE(q.search(), nullptr);
    ASSERT_FALSE(seen.empty());
    for (size_t i = 1; i < seen.size(); i++)
        EXPECT_LE(seen[i - 1], seen[i]);
    EXPECT_LT(seen.back(), 100);
    EXPECT_GT(seen.back(), 0);
    EXPECT_EQ(get_ExportsData(), 100);
}

TEST(PolderDamage, LoopsAndCrossLinksInTheTreeAreWalkedOnce)
{
    auto v = fat16();
    fatt::FatEditor ed(v->bytes());
    // The chain of the folder Many loops back to its first cluster.
    uint32_t many = ed.entryCluster(ed.findEntry("MANY       "));
    uint32_t c = many;
    for (int i = 0; i < 1000 && ed.fatEntry(c) < 0xFFF8; i++)
        c = ed.fatEntry(c);
    ed.setFatEntry(c, many);
    // Documents/Archive names its own parent: a loop in the tree.
    uint32_t docs = ed.entryCluster(ed.findEntry("DOCUME~1   "));
    uint64_t archive = ed.findEntry("ARCHIVE    ", docs);
    ASSERT_NE(archive, 0u);
    ed.setEntryCluster(archive, docs);
    // Scratch is cross-linked with Documents.
    ed.setEntryCluster(ed.findEntry("SCRATCH    "), docs);
    // Inside the deleted tree, Sub Folder names Old Projects again.
    uint32_t old = ed.entryCluster(ed.findEntry("?LDPRO~1   "));
    uint64_t sub = ed.findEntry("?UBFOL~1   ", old);
    ASSERT_NE(sub, 0u);
    ed.setEntryCluster(sub, old);

    Quick q(v->part());
    ASSERT_NE(q.search(), nullptr);
    auto counts = q.counts();
    for (auto &kv : counts)
        EXPECT_EQ(kv.second, 1) << kv.first;
    size_t inMany = 0;
    for (auto &kv : counts)
        inMany += kv.first.rfind("Many/", 0) == 0;
    EXPECT_EQ(inMany, 600u);
    EXPECT_EQ(counts.count("Documents/Quarterly report.pdf"), 1u);
    EXPECT_EQ(counts.count("Old Projects/Plan 2020.txt"), 1u);
}

TEST(PolderDamage, OverlongLongNameRunsAndOutOfRangeClusters)
{
    auto v = fat16();
    fatt::FatEditor ed(v->bytes());
    // 25 long-name parts before one deleted short entry: only 20 fit a name.
    uint64_t slot = 0;
    for (uint32_t i = 0; i < ed.rootEntries(); i++)
        if (v->bytes()[ed.rootOffset() + 32 * i] == 0) {
            slot = ed.rootOffset() + 32 * i;
            break;
        }
    ASSERT_NE(slot, 0u);
    static const int offs[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (int part = 0; part < 25; part++) {
        uint8_t *e = v->bytes().data() + slot + 32 * part;
        memset(e, 0, 32);
        e[0] = 0xE5;
        e[11] = 0x0F;
        e[13] = 0x5A;
        for (int k = 0; k < 13; k++)
            e[offs[k]] = (uint8_t)('A' + part);
    }
    uint8_t *s = v->bytes().data() + slot + 32 * 25;
    memcpy(s, "\xE5ONG    TXT", 11);
    s[11] = 0x20;
    s[26] = 100;  // cluster 100
    s[28] = 200;  // 200 bytes

    // A start cluster past the end of the volume, and one of zero.
    ed.setEntryCluster(ed.findEntry("?OLIDA~1JPG"), 0xFFF0);
    ed.setEntryCluster(ed.findEntry("?ELETED TXT"), 0);

    Quick q(v->part());
    ASSERT_NE(q.search(), nullptr);
    auto counts = q.counts();
    std::string expect;
    for (int slotNo = 0; slotNo < 20; slotNo++)
        expect += std::string(13, (char)('A' + 24 - slotNo));
    EXPECT_EQ(counts.count(expect), 1u);
    EXPECT_EQ(counts.count("Holiday photo 001.jpg"), 0u);
    ASSERT_EQ(counts.count("_ELETED.TXT"), 1u);

    // The record without a data location is listed but not readable.
    tagStFatInfo *rec = nullptr;
    for (auto &kv : q.list())
        if (kv.first == "_ELETED.TXT")
            rec = kv.second;
    FoundFile f = fatFoundFile(rec, {}, 2048);
    EXPECT_FALSE(f.readable());
    int64_t pos = 0;
    std::vector<uint8_t> buf(512, 0x55);
    EXPECT_FALSE(fat_readfile(rec, buf.data(), 512, &pos));
    EXPECT_EQ(buf, std::vector<uint8_t>(512, 0));
}

TEST(PolderOrphans, AFolderWhoseEntryIsLostComesBackUnderItsParentWithItsTree)
{
    // Trips (deleted whole, holding the deleted folder 2020) loses its
    // entry: the entry now names a cluster of the live root.  Its first
    // cluster, free, still starts with "." and "..", which name the root.
    auto v = fatt::Volume::load(svt::fixture("fat32") + "/fat32.img", FS_FAT32);
    fatt::FatEditor ed(v->bytes());
    uint64_t trips = ed.findEntry("?RIPS      ");
    ASSERT_NE(trips, 0u);
    ed.setEntryCluster(trips, ed.rootCluster());
    fatt::Truth paris;
    for (const fatt::Truth &t : fatt::readTruth(svt::fixture("fat32")))
        if (t.path == "Trips/_020/Paris.jpg")
            paris = t;

    Quick q(v->part());
    ASSERT_NE(q.search(), nullptr);
    auto counts = q.counts();
    EXPECT_EQ(counts.count("Trips/Trip notes.txt"), 0u);
    EXPECT_EQ(counts["Lost folder 1/Trip notes.txt"], 1);
    EXPECT_EQ(counts["Lost folder 1/_020/Paris.jpg"], 1);
    // Nothing else moved, and the nodes still pair with the folders.
    EXPECT_EQ(counts["Big file.bin"], 1);
    EXPECT_EQ(counts["Photos/Sunset at the beach.jpg"], 1);
    EXPECT_EQ(q.files, (int)q.list().size());

    tagStFatInfo *rec = nullptr;
    for (auto &kv : q.list())
        if (kv.first == "Lost folder 1/_020/Paris.jpg")
            rec = kv.second;
    ASSERT_NE(rec, nullptr);
    svt::TempDir t;
    WriteStats st;
    ASSERT_EQ(DelFatRecovery(v->part(), rec, t.file("p.jpg"), st), WriteResult::Ok);
    EXPECT_EQ(fatt::sha256Hex(fatt::readAll(t.file("p.jpg"))), paris.sha256);
}

TEST(PolderDamage, UnreadableClustersBecomeZerosAndAreCounted)
{
    auto v = fat16();
    fatt::FatEditor ed(v->bytes());
    uint64_t ent = ed.findEntry("?OLIDA~1JPG");
    uint64_t data = ed.clusterOffset(ed.entryCluster(ent));
    uint32_t cs = ed.clusterSize();
    std::vector<uint8_t> want(v->bytes().begin() + data, v->bytes().begin() + data + 51200);
    // The file's third cluster cannot be read.
    v->failFrom = data + 2 * cs;
    v->failTo = data + 3 * cs;
    std::fill(want.begin() + 2 * cs, want.begin() + 3 * cs, 0);

    Quick q(v->part());
    ASSERT_NE(q.search(), nullptr);
    tagStFatInfo *rec = nullptr;
    for (auto &kv : q.list())
        if (kv.first == "Holiday photo 001.jpg")
            rec = kv.second;
    ASSERT_NE(rec, nullptr);
    svt::TempDir t;
    WriteStats st;
    EXPECT_EQ(DelFatRecovery(v->part(), rec, t.file("h.jpg"), st), WriteResult::Damaged);
    EXPECT_EQ(st.readFailures, 1u);
    EXPECT_EQ(st.unreadable, (std::vector<ByteRange>{{2ull * cs, cs}}));
    EXPECT_EQ(fatt::readAll(t.file("h.jpg")), want);

    // Never over an existing file; no record; no cluster size.
    WriteStats st2;
    EXPECT_EQ(DelFatRecovery(v->part(), rec, t.file("h.jpg"), st2), WriteResult::Exists);
    EXPECT_EQ(DelFatRecovery(v->part(), nullptr, t.file("n.jpg"), st2), WriteResult::NoRecord);
    Partiton_Struct noBoot = *v->part();
    noBoot.BootData = nullptr;
    EXPECT_EQ(DelFatRecovery(&noBoot, rec, t.file("z.jpg"), st2), WriteResult::NoChunk);
}

TEST(PolderFormatted, DeletedFoldersOfAVolumeStillInUseAndStops)
{
    auto v = fat16();
    ASSERT_FALSE(fat_fmtRec_init(nullptr));
    ASSERT_TRUE(fat_fmtRec_init(v->part()));
    tagStFmtDirNode **roots = fat_fmtRec_search(0);
    ASSERT_NE(roots, nullptr);
    // Live folders belong to the present volume; the deleted tree does not.
    std::set<std::string> names;
    for (size_t r = 0; roots[r]; r++) {
        EXPECT_EQ(std::string(roots[r]->szName, 3), "Dir");
        EXPECT_EQ(roots[r]->bRoot, 1);
        walkFmtFatTree(roots[r], [&](tagStFatInfo *rec, const std::vector<tagStFatInfo *> &dirs) {
            std::string p;
            for (auto *d : dirs)
                p += fatNameToUtf8(d->szName) + "/";
            names.insert(p + fatNameToUtf8(rec->szName));
        });
    }
    EXPECT_TRUE(names.count("Plan 2020.txt")) << names.size();
    EXPECT_TRUE(names.count("Sub Folder/Design draft.png"));
    EXPECT_FALSE(names.count("Quarterly report.pdf"));
    EXPECT_EQ(get_ExportsData(), 100);

    // A record that belongs to no tree reads nothing.
    uint8_t rec[sizeof(tagStFatInfo) + 8] = {};
    auto *bogus = reinterpret_cast<tagStFatInfo *>(rec);
    bogus->nReserved = 9999;
    bogus->nStartCluster = 5;
    int64_t pos = 0;
    std::vector<uint8_t> buf(512);
    EXPECT_FALSE(fat_fmtRec_readfile(bogus, buf.data(), 512, &pos));
    fat_fmtRec_exit();

    // A stop during the rebuild returns the trees done so far.
    auto w = fat16();
    uint64_t scanReads = 16 * 1024 * 1024 / 0x80000;
    w->onRead = [&](uint64_t n) {
        if (n == scanReads + 1)
            fat_fmtStop();
    };
    ASSERT_TRUE(fat_fmtRec_init(w->part()));
    roots = fat_fmtRec_search(0);
    ASSERT_NE(roots, nullptr);
    size_t kept = 0;
    while (roots[kept])
        kept++;
    EXPECT_LE(kept, 1u);
    fat_fmtRec_exit();
}

TEST(PolderFormatted, OldClustersThePresentVolumeUsesAreSkipped)
{
    auto v = fatt::Volume::load(svt::fixture("fat32fmt") + "/fat32fmt.img", FS_FAT32);
    // The old photo and the layout of its tree.
    uint32_t skipped = UINT32_MAX;
    auto find = [&](std::vector<uint8_t> *data, uint32_t *clusterOff) {
        EXPECT_TRUE(fat_fmtRec_init(v->part()));
        tagStFmtDirNode **roots = fat_fmtRec_search(0);
        for (size_t r = 0; roots && roots[r]; r++)
            walkFmtFatTree(roots[r], [&](tagStFatInfo *rec, const std::vector<tagStFatInfo *> &) {
                if (fatNameToUtf8(rec->szName) != "img_001.jpg")
                    return;
                // The second old cluster's byte offset in the image.
                *clusterOff = (roots[r]->nDataSectorStart + (rec->nStartCluster - 1) * roots[r]->nReserved) * 512;
                skipped = rec->nSkipped;
                data->assign(rec->nFileSize, 0);
                int64_t pos = 0;
                for (uint32_t at = 0; at < rec->nFileSize; at += 4096)
                    fat_fmtRec_readfile(rec, data->data() + at, std::min(4096u, rec->nFileSize - at), &pos);
            });
        fat_fmtRec_exit();
    };
    std::vector<uint8_t> before, after;
    uint32_t second = 0;
    find(&before, &second);
    ASSERT_EQ(before.size(), 50000u);
    ASSERT_NE(second, 0u);
    EXPECT_EQ(skipped, 0u);
    for (const fatt::Truth &t : fatt::readTruth(svt::fixture("fat32fmt")))
        if (t.path == "2019/img_001.jpg") {
            EXPECT_EQ(fatt::sha256Hex(before), t.sha256);
        }

    // The present FAT now gives one 512-byte cluster inside the photo's
    // second (2 KiB) cluster to a file: that old cluster is passed over.
    fatt::FatEditor ed(v->bytes());
    ASSERT_EQ(ed.clusterSize(), 512u);
    uint32_t present = (uint32_t)((second + 1024 - ed.clusterOffset(2)) / 512 + 2);
    ed.setFatEntry(present, 0x0FFFFFFF);
    uint32_t dummy = 0;
    find(&after, &dummy);
    EXPECT_EQ(skipped, 1u);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + 2048, after.begin()));
    EXPECT_TRUE(std::equal(before.begin() + 4096, before.end(), after.begin() + 2048));
}

TEST(PolderFormatted, ClustersOfOneOrTwoSectorsGiveNoTree)
{
    // The FAT32 fixture uses 512-byte clusters: its deleted folders are
    // found as directory starts but yield no tree.
    auto v = fatt::Volume::load(svt::fixture("fat32") + "/fat32.img", FS_FAT32);
    ASSERT_TRUE(fat_fmtRec_init(v->part()));
    tagStFmtDirNode **roots = fat_fmtRec_search(0);
    ASSERT_NE(roots, nullptr);
    EXPECT_EQ(roots[0], nullptr);
    fat_fmtRec_exit();
}

TEST(FatNames, Utf8ConversionAndDates)
{
    const uint32_t emoji[] = {'a', 0xD83D, 0xDE00, '.', 't', 'x', 't', 0};
    EXPECT_EQ(fatNameToUtf8(emoji), "a\xF0\x9F\x98\x80.txt");
    const uint32_t lone[] = {0xDC00, 'x', 0};
    EXPECT_EQ(fatNameToUtf8(lone), "\xEF\xBF\xBDx");
    const uint32_t deleted[] = {0xE5, 'B', 'C', 0};
    EXPECT_EQ(fatNameToUtf8(deleted), "_BC");
    const uint32_t latin[] = {'c', 'a', 'f', 0xE9, 0};
    EXPECT_EQ(fatNameToUtf8(latin), "caf\xC3\xA9");

    uint8_t raw[sizeof(tagStFatInfo) + 8] = {};
    auto *r = reinterpret_cast<tagStFatInfo *>(raw);
    EXPECT_EQ(fatRecordTime(r), -1);  // no date
    r->wYear = 41;
    r->wMonth = 6;
    r->wDay = 15;
    r->wHour = 10;
    r->wMinute = 20;
    r->wSecond = 15;
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(fatRecordTime(r), 1623752430);
    r->wMonth = 13;
    EXPECT_EQ(fatRecordTime(r), -1);
}

}  // namespace
