// libcosk's journal search: deleted ext3/ext4 files brought back from the
// journal's copies of their inodes, on volumes written by the kernel driver
// and by debugfs's journal commands, and on journals damaged on purpose.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "cosk.h"
#include "ext_fixture.h"
#include "ext_journal.h"

using namespace ext_test;

namespace {

struct JTruth {
    std::string kind, folder, name, source;
};

std::vector<JTruth> readJTruth(const std::string &path)
{
    std::vector<JTruth> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        JTruth t;
        std::getline(ls, t.kind, '\t');
        std::getline(ls, t.folder, '\t');
        std::getline(ls, t.name, '\t');
        std::getline(ls, t.source, '\t');
        if (t.folder == "/")
            t.folder.clear();
        out.push_back(t);
    }
    return out;
}

// One journal search over an image held in memory.
struct JScan {
    svt::MemDevice dev;
    int ok = 0;
    int64_t count = -1;
    explicit JScan(std::vector<uint8_t> image, int fsType = FS_EXT4) : dev(std::move(image))
    {
        ok = ext3_init(dev.partition(0, dev.bytes().size(), fsType));
        if (ok)
            count = ext3_journal_searchfile();
    }
    ~JScan() { ext3_exit(); }

    // "folder/name" -> record
    std::map<std::string, Ext3JournalFile *> byPath() const
    {
        std::map<std::string, Ext3JournalFile *> m;
        for (int64_t i = 0; i < count; i++) {
            Ext3JournalFile *f = ext3_journal_get_file((uint32_t)i);
            std::string folder = f->Folder ? f->Folder : "?";
            m[folder.empty() ? f->Name : folder + "/" + f->Name] = f;
        }
        return m;
    }
};

std::vector<uint8_t> readAll(Ext3JournalFile *f)
{
    std::vector<uint8_t> data(f->Size);
    uint64_t off = 0;
    while (off < f->Size) {
        uint32_t len = (uint32_t)std::min<uint64_t>(f->Size - off, 100000);  // not block-aligned
        uint32_t bad = 0;
        EXPECT_EQ(ext3_journal_readfile(f, off, data.data() + off, len, &bad), (int64_t)len);
        EXPECT_EQ(bad, 0u);
        off += len;
    }
    return data;
}

// ---- real volumes -------------------------------------------------------------

struct Volume {
    const char *script, *image;
};

class JournalImages : public ::testing::TestWithParam<Volume> {};

TEST_P(JournalImages, EveryDeletedFileWithAnInodeCopyComesBackByteForByteWithItsName)
{
    std::string dir = svt::fixture(GetParam().script);
    std::ifstream skip(dir + "/SKIP");
    std::string why;
    if (std::getline(skip, why))
        GTEST_SKIP() << why;
    std::string name = GetParam().image;
    std::vector<JTruth> truth = readJTruth(dir + "/" + name + ".truth");
    ASSERT_FALSE(truth.empty());
    JScan scan(svt::readFile(dir + "/" + name + ".img"));
    ASSERT_EQ(scan.ok, 1);
    ASSERT_GE(scan.count, 0);
    auto found = scan.byPath();
    for (const JTruth &t : truth) {
        std::string path = t.folder.empty() ? t.name : t.folder + "/" + t.name;
        SCOPED_TRACE(path);
        if (t.kind == "absent") {
            EXPECT_EQ(found.count(path), 0u);
            continue;
        }
        if (t.kind == "lost") {
            // No name: the library gives the inode number, the driver the folder.
            uint32_t ino = (uint32_t)std::stoul(t.name);
            Ext3JournalFile *lost = nullptr;
            for (int64_t i = 0; i < scan.count; i++)
                if (ext3_journal_get_file((uint32_t)i)->InodeNumber == ino)
                    lost = ext3_journal_get_file((uint32_t)i);
            ASSERT_NE(lost, nullptr);
            EXPECT_STREQ(lost->Name, "");
            EXPECT_TRUE(readAll(lost) == svt::readFile(dir + "/" + t.source));
            continue;
        }
        ASSERT_EQ(found.count(path), 1u);
        Ext3JournalFile *f = found[path];
        EXPECT_GT(f->Mtime, 0);
        EXPECT_GT(f->Dtime, 0);
        if (t.kind == "damaged") {
            EXPECT_EQ(f->State, EXT3_JFILE_DAMAGED);
            EXPECT_GT(f->ReusedBlocks, 0u);
            continue;
        }
        EXPECT_EQ(f->State, EXT3_JFILE_WHOLE);
        std::vector<uint8_t> want = svt::readFile(dir + "/" + t.source);
        ASSERT_EQ(f->Size, want.size());
        EXPECT_TRUE(readAll(f) == want) << "content differs";
    }
    if (name.find("dirty") != std::string::npos)
        EXPECT_GT(ext3_journal_transactions(1), 0) << "the journal was replayed in memory";
    else
        EXPECT_EQ(ext3_journal_transactions(1), 0);
}

INSTANTIATE_TEST_SUITE_P(Volumes, JournalImages,
                         ::testing::Values(Volume{"extj", "ext3j"}, Volume{"extj", "ext4j"},
                                           Volume{"extj", "ext4j-dirty"}, Volume{"extj", "ext4i"},
                                           Volume{"extj", "ext4m"},
                                           Volume{"extjd", "jd"}, Volume{"extjd", "jd-dirty"}),
                         [](const ::testing::TestParamInfo<Volume> &p) {
                             std::string n = p.param.image;
                             for (char &c : n)
                                 if (c == '-')
                                     c = '_';
                             return n;
                         });

TEST(JournalReplay, RevokeRecordsKeepOlderCopiesFromBeingReplayed)
{
    std::string dir = svt::fixture("extjd");
    uint64_t x = 0, y = 0;
    std::ifstream(dir + "/jd-revoke.blocks") >> x >> y;
    ASSERT_NE(x, 0u);
    JScan scan(svt::readFile(dir + "/jd-revoke.img"));
    ASSERT_EQ(scan.ok, 1);
    EXPECT_EQ(ext3_journal_transactions(1), 5);
    Ext3FileNode any{};
    std::vector<uint8_t> buf(1024);
    uint64_t got = 0;
    ASSERT_EQ(ext3_readfile(&any, 1024, &got, x, buf.data()), 1);
    EXPECT_TRUE(buf == svt::readFile(dir + "/revoke-x.expect")) << "a revoked copy was replayed";
    ASSERT_EQ(ext3_readfile(&any, 1024, &got, y, buf.data()), 1);
    EXPECT_TRUE(buf == svt::readFile(dir + "/revoke-y.expect")) << "a copy newer than its revoke was lost";
}

TEST(JournalChecksums, Crc32cWithAndWithoutTheProcessorsInstructionAgree)
{
    // The check value of CRC32C: "123456789", seeded and inverted.
    const uint8_t check[] = "123456789";
    EXPECT_EQ(~ext_crc32c(~0u, check, 9), 0xE3069283u);
    EXPECT_EQ(~ext_crc32c_portable(~0u, check, 9), 0xE3069283u);
    // Every length and alignment around the eight-byte steps.
    std::vector<uint8_t> data = svt::patternBytes(4096 + 16, 7);
    for (size_t off = 0; off < 9; off++)
        for (size_t len : {0u, 1u, 7u, 8u, 9u, 63u, 4096u})
            EXPECT_EQ(ext_crc32c(0x1234u, data.data() + off, len), ext_crc32c_portable(0x1234u, data.data() + off, len))
                << off << " " << len;
}

TEST(JournalChecksums, CopiesWhoseBlockChecksumFailsAreNotUsed)
{
    std::string dir = svt::fixture("extj");
    std::ifstream skip(dir + "/SKIP");
    std::string why;
    if (std::getline(skip, why))
        GTEST_SKIP() << why;
    // ext4j's journal carries csum v3 block tags (metadata_csum).
    std::vector<uint8_t> image = svt::readFile(dir + "/ext4j.img");
    svt::CommandResult ex = svt::run("debugfs -R 'ex <8>' " + svt::shellQuote(dir + "/ext4j.img") +
                                     " 2>/dev/null | awk '$1 == \"0/\" { print $8, $11 }'");
    ASSERT_EQ(ex.status, 0);
    std::istringstream pieces(ex.out);
    uint64_t physical, length;
    int touched = 0;
    while (pieces >> physical >> length)
        for (uint64_t b = physical; b < physical + length; b++) {
            uint8_t *blk = image.data() + b * 1024;
            if (blk[0] == 0xC0 && blk[1] == 0x3B && blk[2] == 0x39 && blk[3] == 0x98)
                continue;  // descriptor, commit, revoke blocks and the superblock stay
            blk[1000] ^= 0x5A;
            touched++;
        }
    ASSERT_GT(touched, 100);
    JScan scan(image);
    ASSERT_EQ(scan.ok, 1);
    EXPECT_EQ(scan.count, 0) << "every copy failed its checksum";
}

// ---- hostile journals -----------------------------------------------------------

// jd.img in memory with its journal at a known place: slot 0 is the journal
// superblock; slots 1-5 hold the transaction with the older inode-table
// copies (descriptor, inodes 9-12, 13-16, 17-20, commit), 6-10 the newer one.
// The journal file is in pieces; slots are its blocks in file order.
class HostileJournal : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = svt::fixture("extjd");
        image = svt::readFile(dir + "/jd.img");
        std::ifstream map(dir + "/jd.jmap");
        uint64_t logical, physical, length;
        while (map >> logical >> physical >> length)
            for (uint64_t i = 0; i < length; i++)
                slots.push_back(physical + i);
        ASSERT_GT(slots.size(), 100u);
        ASSERT_EQ(be32(slot(0)), 0xC03B3998u);
        ASSERT_EQ(be32(slot(1) + 4), 1u) << "slot 1 holds a descriptor";
        seq = be32(slot(1) + 8);
    }
    uint8_t *slot(uint32_t n) { return image.data() + slots.at(n) * 1024; }
    static uint32_t be32(const uint8_t *p)
    {
        return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
    }
    static void putBe32(uint8_t *p, uint32_t v)
    {
        p[0] = (uint8_t)(v >> 24);
        p[1] = (uint8_t)(v >> 16);
        p[2] = (uint8_t)(v >> 8);
        p[3] = (uint8_t)v;
    }
    void header(uint32_t n, uint32_t type, uint32_t s)
    {
        memset(slot(n), 0, 1024);
        putBe32(slot(n), 0xC03B3998u);
        putBe32(slot(n) + 4, type);
        putBe32(slot(n) + 8, s);
    }
    // A descriptor whose tags (12 bytes each: 64-bit, no checksums) name
    // the given blocks; the last one carries LAST_TAG when last is set.
    void descriptor(uint32_t n, uint32_t s, const std::vector<uint64_t> &blocks, bool last)
    {
        header(n, 1, s);
        uint32_t off = 12;
        for (size_t i = 0; i < blocks.size() && off + 12 <= 1024; i++, off += 12) {
            putBe32(slot(n) + off, (uint32_t)blocks[i]);
            uint32_t flags = 2 | (last && i + 1 == blocks.size() ? 8 : 0);
            slot(n)[off + 6] = (uint8_t)(flags >> 8);
            slot(n)[off + 7] = (uint8_t)flags;
            putBe32(slot(n) + off + 8, (uint32_t)(blocks[i] >> 32));
        }
    }
    std::string dir;
    std::vector<uint8_t> image;
    std::vector<uint64_t> slots;  // journal block -> volume block
    uint32_t seq = 0;
};

TEST_F(HostileJournal, AbsurdSuperblocksAreRefusedOrCutToTheJournalFile)
{
    struct Case {
        const char *what;
        uint32_t off, value;
        bool usable;
    } cases[] = {
        {"block size 512", 0x0C, 512, false},
        {"ring of 2^32-1 blocks", 0x10, 0xFFFFFFFFu, true},
        {"first slot 0", 0x14, 0, false},
        {"first slot past the ring", 0x14, 5000, false},
        {"start outside the ring", 0x1C, 0xFFFFFF00u, true},
        {"sequence far away", 0x18, 0x80000000u, true},
        {"unknown block type", 0x04, 9, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> saved = image;
        putBe32(slot(0) + c.off, c.value);
        JScan scan(image);
        ASSERT_EQ(scan.ok, 1) << "the volume itself stays readable";
        if (c.usable) {
            EXPECT_EQ(scan.count, 4);
        } else {
            // No journal to read; the inodes in place map nothing.
            EXPECT_EQ(ext3_journal_transactions(0), -1);
            EXPECT_EQ(scan.count, 0);
            EXPECT_NE(ext3_searchfile(), nullptr) << "the name walk still works";
        }
        image = saved;
    }
}

TEST_F(HostileJournal, LoopingTruncatedAndOutOfRangeDescriptorsStayBounded)
{
    // A tiny ring in which a descriptor names more blocks than the ring
    // holds: its data would wrap over itself.
    {
        std::vector<uint8_t> saved = image;
        putBe32(slot(0) + 0x10, 12);
        std::vector<uint64_t> many(80, 7);
        descriptor(10, seq + 5, many, false);
        header(11, 2, seq + 5);
        JScan scan(image);
        ASSERT_EQ(scan.ok, 1);
        EXPECT_GE(scan.count, 0);
        image = saved;
    }
    // A descriptor without LAST_TAG and garbage behind its tags; one next
    // to the end of the ring whose data wraps onto the first slot (which
    // holds a descriptor, so the claim is void); tags naming blocks outside
    // the volume (32- and 64-bit).
    uint32_t maxlen = be32(slot(0) + 0x10);
    descriptor(600, seq + 7, {0xFFFFFFF0u, 0x123456789ABull, 3}, false);
    for (uint32_t off = 12 + 36; off < 1024; off++)
        slot(600)[off] = (uint8_t)(off * 37);
    descriptor(maxlen - 2, seq + 8, {1u << 30, 0xFFFFFFFFFFFFull}, true);
    header(20, 2, seq + 8);
    JScan scan(image);
    ASSERT_EQ(scan.ok, 1);
    auto found = scan.byPath();
    EXPECT_EQ(found.count("a.bin"), 1u);
    EXPECT_EQ(found.count("d/c.bin"), 1u);
    if (found.count("a.bin")) {
        EXPECT_TRUE(readAll(found["a.bin"]) == svt::readFile(dir + "/small.src"));
    }
}

TEST_F(HostileJournal, CopiesOverwrittenByANewerTransactionNoLongerCount)
{
    // A newer commit block lands on slot 2, where the older copy of the
    // inode-table block holding a.bin lay; slot 3 (b.bin's) stays intact.
    header(2, 2, seq + 10);
    JScan scan(image);
    ASSERT_EQ(scan.ok, 1);
    auto found = scan.byPath();
    EXPECT_EQ(found.count("a.bin"), 0u);
    EXPECT_EQ(found.count("b.bin"), 1u);
}

TEST_F(HostileJournal, UncommittedTransactionsAreNotUsed)
{
    memset(slot(5), 0, 1024);  // the older transaction loses its commit block
    JScan scan(image);
    ASSERT_EQ(scan.ok, 1);
    EXPECT_EQ(scan.count, 0);
}

TEST_F(HostileJournal, AStopRequestEndsTheSearchAndIsNotOverwritten)
{
    svt::MemDevice dev(image);
    ASSERT_EQ(ext3_init(dev.partition(0, image.size(), FS_EXT4)), 1);
    changeExportsData(200);
    EXPECT_GE(ext3_journal_searchfile(), 0);
    EXPECT_EQ(get_ExportsData(), 200);
    changeExportsData(0);
    ext3_exit();
}

}  // namespace
