// The parts of recovery every scanner shares: chunked writing, output
// naming and selection.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "recover.h"
#include "scan.h"
#include "test_support.h"

using namespace salvitra;
using svt::TempDir;

namespace {

TEST(WriteChunks, CopiesWholeChunksAndTheTail)
{
    TempDir t;
    std::vector<uint8_t> src = svt::patternBytes(2500, 1);
    size_t pos = 0;
    std::vector<uint32_t> asked;
    WriteStats st;
    WriteResult r = writeChunks(t.file("a.bin"), src.size(), 2048,
                                [&](uint8_t *buf, uint32_t len, ReadGaps &) -> int64_t {
                                    asked.push_back(len);
                                    memcpy(buf, src.data() + pos, len);
                                    pos += len;
                                    return len;
                                },
                                st);
    EXPECT_EQ(r, WriteResult::Ok);
    EXPECT_EQ(asked, (std::vector<uint32_t>{2048, 452}));
    EXPECT_EQ(svt::readFile(t.file("a.bin")), src);
    EXPECT_EQ(st.bytes, 2500u);
    EXPECT_EQ(st.readFailures, 0u);

    // An exact multiple of the chunk gets no extra read.
    asked.clear();
    pos = 0;
    WriteStats st2;
    ASSERT_EQ(writeChunks(t.file("b.bin"), 2048, 1024,
                          [&](uint8_t *buf, uint32_t len, ReadGaps &) -> int64_t {
                              asked.push_back(len);
                              memcpy(buf, src.data() + pos, len);
                              pos += len;
                              return len;
                          },
                          st2),
              WriteResult::Ok);
    EXPECT_EQ(asked.size(), 2u);
}

TEST(WriteChunks, AFailedReadNeverRepeatsTheChunkBefore)
{
    TempDir t;
    int call = 0;
    WriteStats st;
    // The second read fails after scribbling into the buffer.
    WriteResult r = writeChunks(t.file("c.bin"), 3 * 512, 512,
                                [&](uint8_t *buf, uint32_t len, ReadGaps &) -> int64_t {
                                    call++;
                                    memset(buf, 0x40 + call, len);
                                    return call == 2 ? -1 : (int64_t)len;
                                },
                                st);
    EXPECT_EQ(r, WriteResult::Damaged);
    EXPECT_EQ(st.readFailures, 1u);
    EXPECT_EQ(st.unreadable, (std::vector<ByteRange>{{512, 512}}));
    std::vector<uint8_t> out = svt::readFile(t.file("c.bin"));
    ASSERT_EQ(out.size(), 1536u);
    EXPECT_EQ(out[0], 0x41);
    EXPECT_EQ(out[511], 0x41);
    for (size_t i = 512; i < 1024; i++)
        ASSERT_EQ(out[i], 0) << i;
    EXPECT_EQ(out[1024], 0x43);
}

TEST(WriteChunks, NeverOverwritesAndReportsEmptyAndMissingChunk)
{
    TempDir t;
    svt::writeFile(t.file("keep.bin"), {1, 2, 3});
    WriteStats st;
    auto reader = [](uint8_t *, uint32_t len, ReadGaps &) -> int64_t { return len; };
    EXPECT_EQ(writeChunks(t.file("keep.bin"), 10, 512, reader, st), WriteResult::Exists);
    EXPECT_EQ(svt::readFile(t.file("keep.bin")), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(writeChunks(t.file("empty.bin"), 0, 512, reader, st), WriteResult::Empty);
    struct stat sb;
    EXPECT_EQ(stat(t.file("empty.bin").c_str(), &sb), 0);
    EXPECT_EQ(writeChunks(t.file("nochunk.bin"), 10, 0, reader, st), WriteResult::NoChunk);
    EXPECT_NE(stat(t.file("nochunk.bin").c_str(), &sb), 0);
    EXPECT_EQ(writeChunks(t.file("no/such/dir/x"), 10, 512, reader, st), WriteResult::OutputError);
}

TEST(OutputNames, FoldersAreKeptAndNamesMadeSafe)
{
    FoundFile f;
    f.name = "IMG_0001.JPG";
    f.folder = "DCIM/100CANON";
    EXPECT_EQ(relativeOutputPath(f, true), "DCIM/100CANON/IMG_0001.JPG");
    EXPECT_EQ(relativeOutputPath(f, false), "IMG_0001.JPG");

    // Names from a damaged disk cannot climb out of the output folder.
    f.folder = "../../etc";
    f.name = "..";
    EXPECT_EQ(relativeOutputPath(f, true), "_../_../etc/_..");
    f.folder = "";
    f.name = "a/b\\c\x01";
    EXPECT_EQ(relativeOutputPath(f, true), "a_b_c_");
    f.name = "";
    EXPECT_EQ(relativeOutputPath(f, true), "unnamed");

    // Over-long names keep their extension and whole characters.
    f.name = "";
    for (int i = 0; i < 100; i++)
        f.name += "\xC3\xA9";  // 200 bytes of two-byte characters
    f.name += "x.jpeg";
    f.name = "a" + f.name + f.name;
    std::string cut = relativeOutputPath(f, true);
    EXPECT_LE(cut.size(), 240u);
    EXPECT_EQ(cut.substr(cut.size() - 5), ".jpeg");
    std::string stem = cut.substr(0, cut.size() - 5);
    EXPECT_NE((unsigned char)stem.back(), 0xC3);  // no half character before the extension
}

TEST(OutputNames, ExistingFilesGetNumberedNeighbours)
{
    TempDir t;
    EXPECT_EQ(uniquePath(t.file("photo.jpg")), t.file("photo.jpg"));
    svt::writeFile(t.file("photo.jpg"), {1});
    EXPECT_EQ(uniquePath(t.file("photo.jpg")), t.file("photo (1).jpg"));
    svt::writeFile(t.file("photo (1).jpg"), {1});
    EXPECT_EQ(uniquePath(t.file("photo.jpg")), t.file("photo (2).jpg"));
    svt::writeFile(t.file("README"), {1});
    EXPECT_EQ(uniquePath(t.file("README")), t.file("README (1)"));
    svt::writeFile(t.file(".hidden"), {1});
    EXPECT_EQ(uniquePath(t.file(".hidden")), t.file(".hidden (1)"));
}

TEST(OutputNames, MakeDirsAndTimes)
{
    TempDir t;
    std::string err;
    ASSERT_TRUE(makeDirs(t.file("a/b/c"), &err)) << err;
    ASSERT_TRUE(makeDirs(t.file("a/b/c"), &err)) << err;
    svt::writeFile(t.file("file"), {1});
    EXPECT_FALSE(makeDirs(t.file("file/sub"), &err));
    EXPECT_TRUE(setFileTime(t.file("file"), 946684800));  // 2000-01-01
    struct stat sb;
    ASSERT_EQ(stat(t.file("file").c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mtime, 946684800);
    EXPECT_FALSE(setFileTime(t.file("file"), -1));
}

TEST(Selection, GlobsMatchNameOrPath)
{
    FoundFile f;
    f.name = "Holiday.JPG";
    f.folder = "Photos/2024";
    EXPECT_TRUE(matchesGlobs(f, {}));
    EXPECT_TRUE(matchesGlobs(f, {"*.jpg"}));  // case does not matter
    EXPECT_TRUE(matchesGlobs(f, {"Photos/*"}));
    EXPECT_TRUE(matchesGlobs(f, {"/Photos/2024/*"}));
    EXPECT_FALSE(matchesGlobs(f, {"*.png", "Music/*"}));
}

TEST(Sessions, WithoutAScannerNothingRuns)
{
    Partiton_Struct p{};
    p.FsType = FS_HFS;
    ScanRequest req;
    req.part = &p;
    ScanJob s(req);
    EXPECT_FALSE(s.supported());
    EXPECT_FALSE(s.run());
    EXPECT_TRUE(s.files().empty());
    ScanRequest none;
    ScanJob s2(none);
    EXPECT_FALSE(s2.supported());
}

}  // namespace
