// Every format module on its own, over memory: a real sample made by a real
// tool must be found with its exact length and type (also with other bytes
// after it), a truncated one and a near miss must be refused.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "deep_support.h"
#include "sennet_i.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Result {
    sn_status status = SN_CORRUPT;
    std::string type;
    uint64_t size = 0;
};

// What the scan does at one candidate: every descriptor of the first byte
// whose magic matches, first success wins.
Result check(const Bytes &b)
{
    Result r;
    if (b.empty())
        return r;
    for (const sn_format *const *f = sn_dispatch(b[0]); *f; f++) {
        if (b.size() < (size_t)(*f)->magic_off + (*f)->magic_len ||
            memcmp(b.data() + (*f)->magic_off, (*f)->magic, (*f)->magic_len) != 0)
            continue;
        sn_src src;
        sn_src_mem(&src, b.data(), b.size());
        sn_hit hit;
        if (sn_check(*f, &src, &hit) == SN_OK) {
            r.status = SN_OK;
            r.type = hit.type;
            r.size = hit.size;
            return r;
        }
    }
    return r;
}

bool sameByte(uint8_t a, char b)
{
    return a == (uint8_t)b;
}

size_t find(const Bytes &b, const std::string &pat, size_t from = 0)
{
    auto it = std::search(b.begin() + (long)from, b.end(), pat.begin(), pat.end(), sameByte);
    return it == b.end() ? std::string::npos : (size_t)(it - b.begin());
}

size_t findLast(const Bytes &b, const std::string &pat)
{
    auto it = std::find_end(b.begin(), b.end(), pat.begin(), pat.end(), sameByte);
    return it == b.end() ? std::string::npos : (size_t)(it - b.begin());
}

void poke(Bytes &b, size_t at, uint8_t v)
{
    ASSERT_LT(at, b.size());
    b[at] = v;
}

struct Case {
    const char *file;
    bool streaming; // a cut at a unit boundary is a shorter valid file
    std::function<void(Bytes &)> nearMiss;
};

const std::string kAsfData("\x36\x26\xB2\x75\x8E\x66\xCF\x11", 8);

const Case kCases[] = {
    {"photo.jpg", false, [](Bytes &b) { poke(b, find(b, "\xFF\xDA") + 1, 0x02); }},
    {"progressive.jpg", false, [](Bytes &b) { poke(b, findLast(b, std::string("\xFF\xD9", 2)) - 40, 0xFF); poke(b, findLast(b, std::string("\xFF\xD9", 2)) - 39, 0xD8); }},
    {"picture.png", false, [](Bytes &b) { b[29] ^= 1; }},
    {"gradient.png", false, [](Bytes &b) { b[b.size() - 1] ^= 1; }},
    {"anim.gif", false, [](Bytes &b) { b[b.size() - 1] = 0x00; }},
    {"image.bmp", false, [](Bytes &b) { b[6] = 1; }},
    {"image.psd", false, [](Bytes &b) { poke(b, find(b, "8BIM") + 3, 'X'); }},
    {"image.tif", false, [](Bytes &b) {
         uint32_t ifd = sv_ld_le32(b.data() + 4);
         if (b[0] == 'M')
             ifd = sv_ld_be32(b.data() + 4);
         b[ifd] = b[ifd + 1] = 0;
     }},
    {"multipage.tif", false, [](Bytes &b) { b[5] = 0; b[6] = 0; b[7] = 1; }},
    {"tone.wav", false, [](Bytes &b) { poke(b, find(b, "fmt "), 1); }},
    {"clip.avi", false, [](Bytes &b) { b[12] = 1; }},
    {"tone.aiff", false, [](Bytes &b) { poke(b, find(b, "COMM") + 1, 'X'); }},
    {"clip.mp4", false, [](Bytes &b) { poke(b, find(b, "moov") + 3, 'x'); }},
    {"clip.mov", false, [](Bytes &b) { poke(b, find(b, "moov") + 3, 'x'); }},
    {"music.m4a", false, [](Bytes &b) { poke(b, find(b, "mvhd") + 3, 'x'); }},
    {"clip.3gp", false, [](Bytes &b) { poke(b, find(b, "moov") + 3, 'x'); }},
    {"voice.wma", false, [](Bytes &b) { poke(b, find(b, kAsfData), 0x37); }},
    {"clip.wmv", false, [](Bytes &b) { poke(b, find(b, kAsfData), 0x37); }},
    {"clip.mkv", false, [](Bytes &b) { poke(b, find(b, "\x18\x53\x80\x67") + 3, 0x68); }},
    {"clip.webm", false, [](Bytes &b) { poke(b, find(b, "\x18\x53\x80\x67") + 3, 0x68); }},
    {"clip.flv", true, [](Bytes &b) { b[12] = 1; }},
    {"tone.ogg", true, [](Bytes &b) { b[22] ^= 1; }},
    {"opus.ogg", true, [](Bytes &b) { b[22] ^= 1; }},
    {"clip.mpg", true, [](Bytes &b) { b[4] = 0; }},
    {"raw.aac", true, [](Bytes &b) { b[1] = 0xF2; }},
    {"sound.ac3", true, [](Bytes &b) { b[4] |= 0xC0; }},
    {"sound.wv", true, [](Bytes &b) { b[8] = 0; b[9] = 0; }},
    {"clip.ts", true, [](Bytes &b) { b[188 * 3] = 0x46; }},
    {"tone.au", false, [](Bytes &b) { b[12] = 0; b[13] = 0; b[14] = 0; b[15] = 0; }},
    {"song.mp3", true, [](Bytes &b) {
         size_t tag = 10 + ((size_t)b[6] << 21 | (size_t)b[7] << 14 | (size_t)b[8] << 7 | b[9]);
         b[tag] = 0x12;
     }},
    {"tone.flac", false, [](Bytes &b) { b[b.size() / 2] ^= 0x10; }},
    {"tune.mid", false, [](Bytes &b) { b[11] = 3; }},
    {"doc.pdf", true, [](Bytes &b) { poke(b, find(b, "startxref") + 8, 'g'); }},
    {"archive.zip", false, [](Bytes &b) { poke(b, find(b, "PK\x05\x06") + 16, 0x55); }},
    {"letter.docx", false, [](Bytes &b) { poke(b, find(b, "PK\x05\x06") + 16, 0x55); }},
    {"sheet.xlsx", false, [](Bytes &b) { poke(b, find(b, "PK\x01\x02") + 1, 'X'); }},
    {"notes.odt", false, [](Bytes &b) { poke(b, find(b, "PK\x05\x06") + 10, 9); }},
    {"report.doc", false, [](Bytes &b) { b[512] = 0; }},
    {"table.xls", false, [](Bytes &b) { poke(b, 1024, 'X'); }},
};

class Format : public ::testing::TestWithParam<Case> {};

TEST_P(Format, ValidTruncatedAndNearMiss)
{
    const Case &c = GetParam();
    const svt::CorpusFile *f = svt::carvingCorpus().byName(c.file);
    ASSERT_NE(f, nullptr) << c.file;
    const Bytes &b = f->bytes;

    Result r = check(b);
    ASSERT_EQ(r.status, SN_OK) << c.file;
    EXPECT_EQ(r.size, b.size()) << c.file;
    EXPECT_EQ(r.type, f->type) << c.file;

    // Slack after the file: zeros, then random bytes.
    Bytes more = b;
    more.resize(more.size() + 100, 0);
    Bytes junk = svt::patternBytes(8192, 3);
    more.insert(more.end(), junk.begin(), junk.end());
    r = check(more);
    ASSERT_EQ(r.status, SN_OK) << c.file << " followed by other bytes";
    EXPECT_EQ(r.size, b.size()) << c.file << " followed by other bytes";

    // Truncated.
    for (size_t cut : {b.size() / 2, b.size() - 1}) {
        Bytes t(b.begin(), b.begin() + (long)cut);
        r = check(t);
        if (c.streaming)
            EXPECT_TRUE(r.status != SN_OK || r.size <= cut) << c.file << " cut at " << cut;
        else {
            EXPECT_NE(r.status, SN_OK) << c.file << " cut at " << cut << " gave " << r.size;
        }
    }
    Bytes head(b.begin(), b.begin() + (long)std::min<size_t>(b.size(), 40));
    EXPECT_NE(check(head).status, SN_OK) << c.file << " header only";

    // Near miss.
    Bytes m = b;
    c.nearMiss(m);
    r = check(m);
    EXPECT_TRUE(r.status != SN_OK || (r.size != b.size() && c.streaming)) << c.file << " near miss";
}

INSTANTIATE_TEST_SUITE_P(Corpus, Format, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case> &i) {
                             std::string n = i.param.file;
                             for (char &ch : n)
                                 if (!isalnum((unsigned char)ch))
                                     ch = '_';
                             return n;
                         });

// ---- TIFF-based camera raw files, built by hand (no tool writes them) ----

struct TiffBuilder {
    Bytes b;
    struct E {
        uint16_t tag, type;
        uint32_t count, value;
    };
    std::vector<E> entries;
    void u16(size_t at, uint16_t v) { b[at] = v & 0xFF; b[at + 1] = v >> 8; }
    void u32(size_t at, uint32_t v) { for (int i = 0; i < 4; i++) b[at + i] = (v >> (8 * i)) & 0xFF; }

    // Little-endian TIFF with one strip of `strip` bytes and an optional make.
    Bytes build(const char *magic, const std::string &make, bool dng, size_t strip, bool loop = false)
    {
        b.assign(8, 0);
        memcpy(b.data(), magic, 4);
        u32(4, 8);
        size_t n = 5 + (dng ? 1 : 0);
        size_t ifdEnd = 8 + 2 + 12 * n + 4;
        size_t makeAt = ifdEnd;
        size_t stripAt = makeAt + make.size() + 1 + 64;
        b.resize(stripAt + strip, 0x5A);
        memcpy(b.data() + makeAt, make.c_str(), make.size() + 1);
        std::vector<E> es = {{256, 3, 1, 16}, {257, 3, 1, 16}, {271, 2, (uint32_t)make.size() + 1, (uint32_t)makeAt},
                             {273, 4, 1, (uint32_t)stripAt}, {279, 4, 1, (uint32_t)strip}};
        if (dng)
            es.push_back({50706, 1, 4, 0x00000401});
        u16(8, (uint16_t)es.size());
        for (size_t i = 0; i < es.size(); i++) {
            size_t e = 10 + 12 * i;
            u16(e, es[i].tag);
            u16(e + 2, es[i].type);
            u32(e + 4, es[i].count);
            u32(e + 8, es[i].value);
        }
        u32(10 + 12 * es.size(), loop ? 8 : 0);
        return b;
    }
};

TEST(FormatTiff, CameraRawTypesByHeaderAndMake)
{
    struct {
        const char *magic;
        std::string make;
        bool dng;
        const char *type;
    } cases[] = {
        {"II*\0", "NIKON CORPORATION", false, "raw"},
        {"II*\0", "Canon", true, "dng"},
        {"IIRO", "OLYMPUS IMAGING CORP.", false, "orf"},
        {"IIU\0", "Panasonic", false, "raw"},
        {"II*\0", "SONY", false, "arw"},
        {"II*\0", "Salvitra", false, "tif"},
    };
    for (const auto &c : cases) {
        TiffBuilder t;
        Bytes b = t.build(c.magic, c.make, c.dng, 3000);
        Result r = check(b);
        ASSERT_EQ(r.status, SN_OK) << c.type;
        EXPECT_EQ(r.type, c.type);
        EXPECT_EQ(r.size, b.size());
        Bytes cut(b.begin(), b.end() - 1);
        EXPECT_NE(check(cut).status, SN_OK) << c.type << " truncated";
    }
}

TEST(FormatTiff, DirectoryLoopsEnd)
{
    TiffBuilder t;
    Bytes b = t.build("II*\0", "Salvitra", false, 1000, /*loop=*/true);
    Result r = check(b);
    ASSERT_EQ(r.status, SN_OK);
    EXPECT_EQ(r.size, b.size());
}

TEST(FormatTiff, StripsBeyondTheRangeAreRefused)
{
    TiffBuilder t;
    Bytes b = t.build("II*\0", "Salvitra", false, 1000);
    t.u32(10 + 12 * 4 + 8, 0x7FFFFFFF); // strip byte count
    EXPECT_NE(check(t.b).status, SN_OK);
}

// ---- hand-made structures for guards no tool produces ----

TEST(FormatBmff, SizeZeroAndLoopingBoxesAreRefused)
{
    Bytes b = {0, 0, 0, 20, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0, 0, 2, 0, 'i', 's', 'o', 'm',
               0, 0, 0, 0, 'm', 'd', 'a', 't'};
    EXPECT_NE(check(b).status, SN_OK); // mdat "to the end of the file"
    Bytes c = {0, 0, 0, 20, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0, 0, 2, 0, 'i', 's', 'o', 'm',
               0, 0, 0, 3, 'f', 'r', 'e', 'e'};
    EXPECT_NE(check(c).status, SN_OK); // box smaller than its header
}

TEST(FormatJpeg, ThumbnailInsideExifIsPartOfTheFile)
{
    const Bytes &small = svt::carvingCorpus().byName("photo.jpg")->bytes;
    const Bytes &outer = svt::carvingCorpus().byName("progressive.jpg")->bytes;
    // APP1 "Exif" segment holding a whole JPEG, put right after SOI.
    Bytes app1 = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
    app1.insert(app1.end(), small.begin(), small.end());
    size_t len = app1.size() - 2;
    ASSERT_LT(len, 65536u);
    app1[2] = (uint8_t)(len >> 8);
    app1[3] = (uint8_t)len;
    Bytes j(outer.begin(), outer.begin() + 2);
    j.insert(j.end(), app1.begin(), app1.end());
    j.insert(j.end(), outer.begin() + 2, outer.end());
    Result r = check(j);
    ASSERT_EQ(r.status, SN_OK);
    EXPECT_EQ(r.size, j.size());
}

TEST(FormatJpeg, DataRunningIntoAnotherHeaderIsRefused)
{
    const Bytes &jpg = svt::carvingCorpus().byName("large.jpg")->bytes;
    const Bytes &png = svt::carvingCorpus().byName("picture.png")->bytes;
    size_t cut = jpg.size() / 2 / 512 * 512;
    Bytes frag(jpg.begin(), jpg.begin() + (long)cut);
    frag.insert(frag.end(), png.begin(), png.end());
    frag.resize((frag.size() + 511) / 512 * 512, 0);
    frag.insert(frag.end(), jpg.begin() + (long)cut, jpg.end());
    EXPECT_NE(check(frag).status, SN_OK);
    // and a JPEG whose second half became zeros
    Bytes zeroed = jpg;
    std::fill(zeroed.begin() + (long)cut, zeroed.end(), 0);
    zeroed.resize(zeroed.size() + 128 * 1024, 0);
    EXPECT_NE(check(zeroed).status, SN_OK);
}

TEST(FormatMpa, SyncOnlyStreamNeedsManyFrames)
{
    const Bytes &mp3 = svt::carvingCorpus().byName("song.mp3")->bytes;
    size_t tag = 10 + ((size_t)mp3[6] << 21 | (size_t)mp3[7] << 14 | (size_t)mp3[8] << 7 | mp3[9]);
    Bytes bare(mp3.begin() + (long)tag, mp3.end());
    Result r = check(bare);
    ASSERT_EQ(r.status, SN_OK);
    EXPECT_EQ(r.type, "mp3");
    EXPECT_EQ(r.size, bare.size());
    Bytes few(bare.begin(), bare.begin() + 600); // two or three frames
    EXPECT_NE(check(few).status, SN_OK);
}

TEST(FormatRegistry, EveryDescriptorIsDispatchedAndNamed)
{
    size_t n;
    const sn_format *const *all = sn_formats(&n);
    ASSERT_GT(n, 20u);
    for (size_t i = 0; i < n; i++) {
        bool listed = false;
        for (const sn_format *const *f = sn_dispatch(all[i]->first_byte); *f; f++)
            listed = listed || *f == all[i];
        EXPECT_TRUE(listed) << all[i]->name;
        if (all[i]->magic_off == 0) {
            EXPECT_EQ(all[i]->magic[0], all[i]->first_byte) << all[i]->name;
        }
        bool named = false;
        for (const char *const *t = all[i]->types; *t; t++)
            named = named || strcmp(*t, all[i]->name) == 0;
        EXPECT_TRUE(named) << all[i]->name;
        EXPECT_GT(all[i]->max_size, 0u);
    }
    EXPECT_NE(sn_format_by_name("jpeg"), nullptr);
    EXPECT_EQ(sn_format_by_name("nope"), nullptr);
}

}  // namespace
