// The ext2 and ext3 quick scans through the driver: what a user sees
// (names, folders, notes) and what recovery writes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <map>

#include "backends.h"
#include "cosk.h"
#include "ext_backend.h"
#include "ext_fixture.h"
#include "file_signature.h"
#include "recover.h"
#include "scan.h"

using namespace salvitra;
using namespace ext_test;

namespace {

// ---- type guessing from the first bytes --------------------------------

std::vector<uint8_t> bytes(std::initializer_list<int> head, size_t total = 64)
{
    std::vector<uint8_t> v(std::max(total, head.size()), 0x20);
    size_t i = 0;
    for (int b : head)
        v[i++] = (uint8_t)b;
    return v;
}

std::vector<uint8_t> text(const std::string &s, size_t total = 64)
{
    std::vector<uint8_t> v(std::max(total, s.size()), 0x20);
    memcpy(v.data(), s.data(), s.size());
    return v;
}

std::string guess(const std::vector<uint8_t> &v)
{
    const char *e = guessExtension(v.data(), v.size());
    return e ? e : "";
}

TEST(GuessExtension, CommonSignatures)
{
    EXPECT_EQ(guess(bytes({0xFF, 0xD8, 0xFF, 0xE1})), "jpg");
    EXPECT_EQ(guess(bytes({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A})), "png");
    EXPECT_EQ(guess(text("GIF89a")), "gif");
    EXPECT_EQ(guess(bytes({'I', 'I', 0x2A, 0, 8, 0, 0, 0})), "tif");
    EXPECT_EQ(guess(bytes({'M', 'M', 0, 0x2A})), "tif");
    EXPECT_EQ(guess(bytes({'I', 'I', 0x2A, 0, 16, 0, 0, 0, 'C', 'R', 2, 0})), "cr2");
    EXPECT_EQ(guess(text("%PDF-1.7\n")), "pdf");
    EXPECT_EQ(guess(bytes({0, 0, 0, 0x18, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm'})), "mp4");
    EXPECT_EQ(guess(bytes({0, 0, 0, 0x14, 'f', 't', 'y', 'p', 'q', 't', ' ', ' '})), "mov");
    EXPECT_EQ(guess(bytes({0, 0, 0, 0x18, 'f', 't', 'y', 'p', 'h', 'e', 'i', 'c'})), "heic");
    EXPECT_EQ(guess(bytes({0, 0, 0, 0x1C, 'f', 't', 'y', 'p', '3', 'g', 'p', '4'})), "3gp");
    EXPECT_EQ(guess(text(std::string("RIFF\x24\x08\x00\x00WAVEfmt ", 16))), "wav");
    EXPECT_EQ(guess(text(std::string("RIFF\x24\x08\x00\x00" "AVI LIST", 16))), "avi");
    EXPECT_EQ(guess(text("ID3\x03")), "mp3");
    EXPECT_EQ(guess(bytes({0xFF, 0xFB, 0x90, 0x64})), "mp3");
    EXPECT_EQ(guess(bytes({0xFF, 0xF1, 0x50, 0x80})), "aac");
    EXPECT_EQ(guess(text("fLaC")), "flac");
    EXPECT_EQ(guess(bytes({'O', 'g', 'g', 'S', 0})), "ogg");
    EXPECT_EQ(guess(bytes({0x1A, 0x45, 0xDF, 0xA3, 0x42, 0x82, 0x88, 'm', 'a', 't', 'r', 'o', 's', 'k', 'a'})),
              "mkv");
    EXPECT_EQ(guess(bytes({0x1A, 0x45, 0xDF, 0xA3, 0x42, 0x82, 0x84, 'w', 'e', 'b', 'm'})), "webm");
    EXPECT_EQ(guess(bytes({'7', 'z', 0xBC, 0xAF, 0x27, 0x1C})), "7z");
    EXPECT_EQ(guess(bytes({0x1F, 0x8B, 0x08})), "gz");
    EXPECT_EQ(guess(text("BZh9")), "bz2");
    EXPECT_EQ(guess(text("{\\rtf1\\ansi")), "rtf");
    EXPECT_EQ(guess(text("  <!DOCTYPE html>")), "html");
    EXPECT_EQ(guess(text("<?xml version=\"1.0\"?><svg xmlns=")), "svg");

    // BMP: a plausible header only.
    std::vector<uint8_t> bmp = text("BM", 64);
    put32(bmp, 2, 1000);
    put32(bmp, 6, 0);
    put32(bmp, 10, 54);
    put32(bmp, 14, 40);
    EXPECT_EQ(guess(bmp), "bmp");
    put32(bmp, 14, 41);
    EXPECT_EQ(guess(bmp), "") << "an unknown BMP header size";

    // ZIP containers by their first entry.
    std::vector<uint8_t> zip = bytes({'P', 'K', 3, 4}, 200);
    put16(zip, 26, 19);
    put16(zip, 28, 0);
    memcpy(&zip[30], "[Content_Types].xml", 19);
    EXPECT_EQ(guess(zip), "zip");
    memcpy(&zip[120], "word/document.xml", 17);
    EXPECT_EQ(guess(zip), "docx");
    std::vector<uint8_t> odt = bytes({'P', 'K', 3, 4}, 200);
    put16(odt, 26, 8);
    put16(odt, 28, 0);
    memcpy(&odt[30], "mimetypeapplication/vnd.oasis.opendocument.text", 47);
    EXPECT_EQ(guess(odt), "odt");
}

TEST(GuessExtension, NearMissesAndShortDataAreRefused)
{
    EXPECT_EQ(guess({}), "");
    EXPECT_EQ(guessExtension(nullptr, 10), nullptr);
    EXPECT_EQ(guess(bytes({0xFF, 0xD8}, 2)), "") << "a JPEG marker cut short";
    EXPECT_EQ(guess(bytes({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A}, 7)), "");
    EXPECT_EQ(guess(text("GIF88a")), "");
    EXPECT_EQ(guess(text(std::string("RIFF\x24\x08\x00\x00XXXX", 12))), "");
    EXPECT_EQ(guess(bytes({0xFF, 0xFF, 0xFF, 0xFF})), "") << "no valid MPEG layer or bit rate";
    EXPECT_EQ(guess(bytes({0xFF, 0xFB, 0xF0, 0x00})), "") << "bit rate index 15";
    EXPECT_EQ(guess(text("ID3\x09")), "");
    EXPECT_EQ(guess(bytes({0, 0, 0, 0x08, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm'})), "")
        << "an ftyp box too small to hold a brand";
    EXPECT_EQ(guess(text("MZ")), "") << "MZ without a PE header";
    EXPECT_EQ(guess(text("plain words, nothing else")), "");
    EXPECT_EQ(guess(std::vector<uint8_t>(4096, 0)), "");
}

// ---- pure helpers ---------------------------------------------------------

TEST(ExtDriverHelpers, NamesNotesAndFolders)
{
    EXPECT_EQ(lostFileDisplayName("LostFile(3)", "jpg"), "LostFile(3).jpg");
    EXPECT_EQ(lostFileDisplayName("LostFile(3)", nullptr), "LostFile(3)");
    EXPECT_EQ(lostFileDisplayName("LostFile(3)", ""), "LostFile(3)");

    uint32_t list[] = {5, 0, 7, 0};
    EXPECT_EQ(unlocatedBlocks(list, 4), 2u);
    EXPECT_EQ(unlocatedBlocks(list, 1), 0u);
    EXPECT_EQ(unlocatedBlocks(nullptr, 9), 9u);

    EXPECT_EQ(ext2Note(100, 1, 0, false, true), "");
    EXPECT_NE(ext2Note(100, 4, 2, false, true).find("2 of 4 blocks"), std::string::npos);
    EXPECT_NE(ext2Note(100, 4, 4, false, true).find("none"), std::string::npos);
    EXPECT_NE(ext2Note(0, 0, 0, false, false).find("size of 0"), std::string::npos);
    EXPECT_NE(ext2Note(13, 1, 1, true, false).find("symbolic link"), std::string::npos);
    EXPECT_NE(ext2Note(1 << 20, 1024, 1024, false, false).find("cannot be read"), std::string::npos);

    EXPECT_EQ(extensionOf("Photo.JPG"), "jpg");
    EXPECT_EQ(extensionOf("archive.tar.gz"), "gz");
    EXPECT_EQ(extensionOf(".bashrc"), "");
    EXPECT_EQ(extensionOf("noext"), "");
    EXPECT_EQ(extensionOf("dot."), "");

    Ext3DirNode root{}, a{}, b{};
    root.IsRoot = 1;
    strcpy(a.Name, "photos");
    a.Parent = &root;
    strcpy(b.Name, "2023");
    b.Parent = &a;
    EXPECT_EQ(ext3FolderPath(&root), "");
    EXPECT_EQ(ext3FolderPath(&a), "photos");
    EXPECT_EQ(ext3FolderPath(&b), "photos/2023");
    EXPECT_EQ(ext3FolderPath(nullptr), "");
    // A parent chain that loops (a caller may set Parent) still ends.
    a.Parent = &b;
    EXPECT_FALSE(ext3FolderPath(&b).empty());
}

// ---- ext2 through the driver ------------------------------------------------

class Ext2Driver : public ::testing::TestWithParam<const char *> {
protected:
    void SetUp() override
    {
        dir = svt::fixture("ext2");
        image = svt::readFile(dir + "/" + GetParam() + ".img");
        truth = readTruth(dir + "/" + GetParam() + ".truth");
        ASSERT_FALSE(image.empty());
    }
    std::string dir;
    std::vector<uint8_t> image;
    Truth truth;
};

TEST_P(Ext2Driver, QuickScanListsLostFilesAndRecoversThemByteForByte)
{
    svt::MemDevice dev(image);
    ScanRequest req;
    req.part = dev.partition(0, image.size(), FS_EXT2);
    ScanJob session(req);
    ASSERT_TRUE(session.supported());
    ASSERT_TRUE(session.run());

    // The user-visible names: Group(g)/LostFile(i) plus a guessed extension.
    std::map<std::string, const FoundFile *> byPath;
    for (const FoundFile &f : session.files())
        byPath[f.folder + "/" + f.name] = &f;
    std::map<std::string, ShownFile> expectAt = shownFiles(truth);
    const size_t total = expectAt.size();
    ASSERT_EQ(session.files().size(), total);
    for (auto &kv : expectAt) {
        ASSERT_EQ(byPath.count(kv.first), 1u) << kv.first << " is not listed";
        const FoundFile *f = byPath[kv.first];
        EXPECT_EQ(f->size, kv.second.entry.size) << kv.first;
        EXPECT_TRUE(f->readable()) << kv.first;
        EXPECT_EQ(f->type, kv.second.ext);
        EXPECT_GT(f->mtime, 0) << kv.first;
        if (kv.second.entry.kind == "sparse") {
            EXPECT_NE(f->note.find("blocks could not be located"), std::string::npos) << f->note;
        }
        if (kv.second.entry.kind == "deleted") {
            EXPECT_EQ(f->note, "") << kv.first;
        }
    }

    svt::TempDir out;
    std::vector<const FoundFile *> all;
    for (const FoundFile &f : session.files())
        all.push_back(&f);
    RecoverOptions opt;
    opt.outDir = out.path();
    RecoverSummary sum = recoverFiles(session, all, opt);
    EXPECT_EQ(sum.readFailures, 0u);
    EXPECT_EQ(sum.written, total);
    for (auto &kv : expectAt) {
        std::vector<uint8_t> want = expectedContent(dir, kv.second.entry);
        std::vector<uint8_t> got = svt::readFile(out.file(kv.first));
        ASSERT_EQ(got.size(), want.size()) << kv.first;
        EXPECT_TRUE(got == want) << kv.first << " differs";
    }

    // Recovering again leaves the first copies alone and numbers the new ones.
    RecoverSummary again = recoverFiles(session, {all[0]}, opt);
    ASSERT_EQ(again.files.size(), 1u);
    EXPECT_NE(again.files[0].path, out.path() + "/" + all[0]->folder + "/" + all[0]->name);
}

INSTANTIATE_TEST_SUITE_P(Images, Ext2Driver, ::testing::Values("ext2-1k", "ext2-4k"),
                         [](const auto &info) { return std::string(info.param).substr(5); });

TEST(Ext2Writer, ExactBytesAndFailedBlocksWrittenAsZeros)
{
    std::string dir = svt::fixture("ext2");
    std::vector<uint8_t> image = svt::readFile(dir + "/ext2-4k.img");
    Truth truth = readTruth(dir + "/ext2-4k.truth");
    const TruthEntry *ind = nullptr;
    for (const TruthEntry &e : truth.entries)
        if (e.source.find("/indirect.bin") != std::string::npos)
            ind = &e;
    ASSERT_NE(ind, nullptr);
    Geometry geo(image);
    uint32_t b5 = geo.iblock(image, ind->ino, 5);

    svt::MemDevice dev(image);
    ScanRequest req;
    req.part = dev.partition(0, image.size(), FS_EXT2);
    ScanJob session(req);
    ASSERT_TRUE(session.run());
    const FoundFile *file = nullptr;
    for (const FoundFile &f : session.files())
        if (f.size == ind->size)
            file = &f;
    ASSERT_NE(file, nullptr);

    svt::TempDir out;
    uint64_t blocks = (ind->size + geo.blockSize - 1) / geo.blockSize;
    int64_t before = dev.reads;
    WriteStats st;
    ASSERT_EQ(session.write(*file, out.file("a"), st), WriteResult::Ok);
    EXPECT_LE(dev.reads - before, (int64_t)blocks) << "never more than one read per block";
    EXPECT_TRUE(svt::readFile(out.file("a")) == svt::readFile(dir + "/" + ind->source));
    EXPECT_EQ(st.bytes, ind->size);
    EXPECT_EQ(st.readFailures, 0u);

    dev.failFrom = (uint64_t)b5 * geo.blockSize;
    dev.failTo = dev.failFrom + geo.blockSize;
    WriteStats st2;
    before = dev.reads;
    ASSERT_EQ(session.write(*file, out.file("b"), st2), WriteResult::Ok);
    EXPECT_EQ(st2.readFailures, 1u);
    EXPECT_LE(dev.reads - before, (int64_t)blocks + 2) << "the bad block is not read again and again";
    std::vector<uint8_t> want = svt::readFile(dir + "/" + ind->source);
    std::fill_n(want.begin() + 5 * geo.blockSize, geo.blockSize, 0);
    EXPECT_TRUE(svt::readFile(out.file("b")) == want);

    // An existing output is never overwritten.
    svt::writeFile(out.file("c"), {1, 2, 3});
    WriteStats st3;
    EXPECT_EQ(session.write(*file, out.file("c"), st3), WriteResult::Exists);
    EXPECT_EQ(svt::readFile(out.file("c")), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(DelExt2Recovery(nullptr, out.file("d"), st3), WriteResult::NoRecord);
}

TEST(Ext2Writer, ScanThatCannotStartListsNothing)
{
    std::vector<uint8_t> junk = svt::patternBytes(1 << 20, 7);
    svt::MemDevice dev(junk);
    ScanRequest req;
    req.part = dev.partition(0, junk.size(), FS_EXT2);
    ScanJob session(req);
    ASSERT_TRUE(session.supported());
    EXPECT_FALSE(session.run());
    EXPECT_TRUE(session.files().empty());

    req.formatted = true;
    EXPECT_EQ(makeBackend(req), nullptr) << "no formatted-volume search for ext2";
}

// ---- ext3 through the driver -------------------------------------------------

TEST(Ext3Driver, ListsDeletedEntriesByNameAndFolderButDoesNotWriteThem)
{
    std::string dir = svt::fixture("ext3");
    std::vector<uint8_t> image = svt::readFile(dir + "/ext3-1k.img");
    svt::MemDevice dev(image);
    ScanRequest req;
    req.part = dev.partition(0, image.size(), FS_EXT3);
    ScanJob session(req);
    ASSERT_TRUE(session.supported());
    ASSERT_TRUE(session.run());

    std::map<std::string, const FoundFile *> byPath;
    for (const FoundFile &f : session.files())
        byPath[f.folder.empty() ? f.name : f.folder + "/" + f.name] = &f;
    ASSERT_EQ(byPath.count("gone-root.jpg"), 1u);
    ASSERT_EQ(byPath.count("docs/deep/deep-gone.pdf"), 1u);
    const FoundFile *pdf = byPath["docs/deep/deep-gone.pdf"];
    EXPECT_EQ(pdf->type, "pdf");
    EXPECT_FALSE(pdf->readable());
    EXPECT_NE(pdf->note.find("cannot be read by this method"), std::string::npos);
    EXPECT_GT(pdf->mtime, 0);
    EXPECT_EQ(byPath.count("Fotos été.jpg"), 1u);

    svt::TempDir out;
    std::vector<const FoundFile *> all;
    for (const FoundFile &f : session.files())
        all.push_back(&f);
    RecoverOptions opt;
    opt.outDir = out.path();
    RecoverSummary sum = recoverFiles(session, all, opt);
    EXPECT_EQ(sum.written, 0u);
    ASSERT_EQ(sum.files.size(), all.size());
    for (const RecoveredFile &rf : sum.files)
        EXPECT_EQ(rf.result, WriteResult::Unreadable);
    EXPECT_TRUE(svt::run("find " + svt::shellQuote(out.path()) +
                         " -mindepth 1 ! -name 'salvitra-report.*' | grep -q .").status != 0)
        << "nothing but the report is created for files that cannot be read";
}

// ---- ext3 and ext4 files brought back from the journal -------------------------

// The user's story on a volume written and emptied by the kernel driver:
// every deleted file whose inode copy survives comes back under its own
// folder and name with its time; a file whose blocks were taken over is
// shown but says so.
class JournalDriver : public ::testing::TestWithParam<std::pair<const char *, int>> {};

TEST_P(JournalDriver, QuickScanRecoversDeletedFilesIntoTheirFolders)
{
    std::string dir = svt::fixture("extj");
    std::ifstream skip(dir + "/SKIP");
    std::string why;
    if (std::getline(skip, why))
        GTEST_SKIP() << why;
    std::string name = GetParam().first;
    std::vector<uint8_t> image = svt::readFile(dir + "/" + name + ".img");
    svt::MemDevice dev(image);
    ScanRequest req;
    req.part = dev.partition(0, image.size(), GetParam().second);
    ScanJob session(req);
    ASSERT_TRUE(session.supported());
    ASSERT_TRUE(session.run());
    std::map<std::string, const FoundFile *> byPath;
    for (const FoundFile &f : session.files())
        byPath[f.folder.empty() ? f.name : f.folder + "/" + f.name] = &f;

    svt::TempDir out;
    std::vector<const FoundFile *> all;
    for (const FoundFile &f : session.files())
        all.push_back(&f);
    RecoverOptions opt;
    opt.outDir = out.path();
    RecoverSummary sum = recoverFiles(session, all, opt);
    EXPECT_EQ(sum.readFailures, 0u);

    std::ifstream truth(dir + "/" + name + ".truth");
    std::string kind, folder, fname, source;
    int checked = 0;
    while (std::getline(truth, kind, '\t') && std::getline(truth, folder, '\t') &&
           std::getline(truth, fname, '\t') && std::getline(truth, source)) {
        std::string path = folder == "/" ? fname : folder + "/" + fname;
        SCOPED_TRACE(path);
        if (kind == "absent") {
            EXPECT_EQ(byPath.count(path), 0u);
            continue;
        }
        ASSERT_EQ(byPath.count(path), 1u);
        const FoundFile *f = byPath[path];
        if (kind == "damaged") {
            EXPECT_NE(f->note.find("belong to another file"), std::string::npos) << f->note;
            EXPECT_NE(f->state, FileState::Deleted);
            continue;
        }
        EXPECT_EQ(f->state, FileState::Deleted);
        EXPECT_EQ(f->note, "");
        // The kernel keeps creation times in 256-byte inodes.
        EXPECT_EQ(f->times, FileTimes::Both);
        EXPECT_GT(f->created, 0);
        EXPECT_TRUE(svt::readFile(out.file(path)) == svt::readFile(dir + "/" + source)) << "content";
        struct stat sb;
        ASSERT_EQ(stat(out.file(path).c_str(), &sb), 0);
        EXPECT_EQ((int64_t)sb.st_mtime, f->mtime) << "original time";
        checked++;
    }
    EXPECT_GE(checked, 3);
}

INSTANTIATE_TEST_SUITE_P(Volumes, JournalDriver,
                         ::testing::Values(std::make_pair("ext3j", (int)FS_EXT3),
                                           std::make_pair("ext4j", (int)FS_EXT4),
                                           std::make_pair("ext4j-dirty", (int)FS_EXT4)),
                         [](const auto &info) {
                             std::string n = info.param.first;
                             for (char &c : n)
                                 if (c == '-')
                                     c = '_';
                             return n;
                         });

TEST(JournalDriver, AFileWhoseNameWasWipedComesBackInLostFilesWithItsType)
{
    std::string dir = svt::fixture("extjd");
    std::vector<uint8_t> image = svt::readFile(dir + "/jd.img");
    svt::MemDevice dev(image);
    ScanRequest req;
    req.part = dev.partition(0, image.size(), FS_EXT4);
    ScanJob session(req);
    ASSERT_TRUE(session.run());
    std::ifstream truth(dir + "/jd.truth");
    std::string kind, folder, name, source, want;
    while (std::getline(truth, kind, '\t') && std::getline(truth, folder, '\t') &&
           std::getline(truth, name, '\t') && std::getline(truth, source))
        if (kind == "lost")
            want = name;
    ASSERT_FALSE(want.empty());
    const FoundFile *lost = nullptr;
    for (const FoundFile &f : session.files())
        if (f.folder == "lost files" && f.name == want)
            lost = &f;
    ASSERT_NE(lost, nullptr) << want;
    EXPECT_EQ(lost->type, "jpg");
    svt::TempDir out;
    RecoverOptions opt;
    opt.outDir = out.path();
    RecoverSummary sum = recoverFiles(session, {lost}, opt);
    EXPECT_EQ(sum.written, 1u);
    EXPECT_TRUE(svt::readFile(out.file("lost files/" + want)) == svt::readFile(dir + "/photo.src"));
}

TEST(JournalDriver, FilesWithoutANameGoToLostFilesUnderTheirInodeNumber)
{
    std::string folder, name;
    ext3JournalPlace(1234, "", nullptr, "jpg", &folder, &name);
    EXPECT_EQ(folder, "lost files");
    EXPECT_EQ(name, "1234.jpg");
    ext3JournalPlace(1234, "", "docs", nullptr, &folder, &name);
    EXPECT_EQ(name, "1234");
    ext3JournalPlace(77, "report.pdf", nullptr, nullptr, &folder, &name);
    EXPECT_EQ(folder, "lost files") << "a name whose folder cannot be traced";
    EXPECT_EQ(name, "report.pdf");
    ext3JournalPlace(77, "report.pdf", "", nullptr, &folder, &name);
    EXPECT_EQ(folder, "");
}

}  // namespace
