#include "file_signature.h"

#include <cctype>
#include <cstring>

namespace salvitra {

namespace {

struct Bytes {
    const uint8_t *p;
    size_t n;

    bool has(size_t off, size_t len) const { return off <= n && n - off >= len; }
    bool at(size_t off, const void *sig, size_t len) const
    {
        return has(off, len) && memcmp(p + off, sig, len) == 0;
    }
    bool at(size_t off, const char *text) const { return at(off, text, strlen(text)); }
    uint16_t le16(size_t off) const { return (uint16_t)(p[off] | p[off + 1] << 8); }
    uint32_t le32(size_t off) const
    {
        return (uint32_t)p[off] | (uint32_t)p[off + 1] << 8 | (uint32_t)p[off + 2] << 16 |
               (uint32_t)p[off + 3] << 24;
    }
    uint32_t be32(size_t off) const
    {
        return (uint32_t)p[off] << 24 | (uint32_t)p[off + 1] << 16 | (uint32_t)p[off + 2] << 8 |
               (uint32_t)p[off + 3];
    }
    // True when text occurs anywhere in [from, to).
    bool contains(const char *text, size_t from, size_t to) const
    {
        size_t len = strlen(text);
        if (to > n)
            to = n;
        for (size_t i = from; i + len <= to; i++)
            if (memcmp(p + i, text, len) == 0)
                return true;
        return false;
    }
};

const char *bmp(const Bytes &b)
{
    // "BM", reserved words zero, pixel data after the headers, a known
    // header size.
    if (!b.at(0, "BM") || !b.has(0, 18))
        return nullptr;
    if (b.le32(6) != 0)
        return nullptr;
    uint32_t dataOff = b.le32(10), hdr = b.le32(14);
    static const uint32_t kHeaders[] = {12, 40, 52, 56, 64, 108, 124};
    bool known = false;
    for (uint32_t h : kHeaders)
        known |= hdr == h;
    if (!known || dataOff < 14 + hdr)
        return nullptr;
    return "bmp";
}

const char *tiffFamily(const Bytes &b)
{
    static const uint8_t kLE[] = {'I', 'I', 0x2A, 0x00};
    static const uint8_t kBE[] = {'M', 'M', 0x00, 0x2A};
    if (b.at(0, kLE, 4)) {
        if (b.at(8, "CR"))
            return "cr2";
        return "tif";
    }
    if (b.at(0, kBE, 4))
        return "tif";
    static const uint8_t kOrf[] = {'I', 'I', 'R', 'O'};
    if (b.at(0, kOrf, 4))
        return "orf";
    static const uint8_t kRw2[] = {'I', 'I', 'U', 0x00};
    if (b.at(0, kRw2, 4))
        return "rw2";
    return nullptr;
}

// ISO base media (MP4, QuickTime, 3GP, HEIF): a box of type "ftyp" first.
const char *isoMedia(const Bytes &b)
{
    if (!b.has(0, 12))
        return nullptr;
    uint32_t boxSize = b.be32(0);
    if (b.at(4, "ftyp")) {
        if (boxSize < 16 && boxSize != 1)
            return nullptr;
        struct Brand {
            const char *brand;
            const char *ext;
        };
        static const Brand kBrands[] = {
            {"qt  ", "mov"}, {"M4A ", "m4a"}, {"M4B ", "m4b"}, {"M4P ", "m4p"}, {"M4V ", "m4v"},
            {"M4VH", "m4v"}, {"M4VP", "m4v"}, {"heic", "heic"}, {"heix", "heic"}, {"hevc", "heic"},
            {"mif1", "heic"}, {"msf1", "heic"}, {"avif", "avif"}, {"crx ", "cr3"}, {"f4v ", "f4v"},
        };
        for (const Brand &br : kBrands)
            if (b.at(8, br.brand))
                return br.ext;
        if (b.at(8, "3g2"))
            return "3g2";
        if (b.at(8, "3gp") || b.at(8, "3gr") || b.at(8, "3gs"))
            return "3gp";
        return "mp4";
    }
    // Older QuickTime files start with their movie or data atom.
    if ((b.at(4, "moov") || b.at(4, "mdat") || (b.at(4, "wide") && boxSize == 8)) && boxSize >= 8)
        return "mov";
    return nullptr;
}

const char *riff(const Bytes &b)
{
    if (!b.at(0, "RIFF") || !b.has(0, 12))
        return nullptr;
    if (b.at(8, "WAVE"))
        return "wav";
    if (b.at(8, "AVI "))
        return "avi";
    if (b.at(8, "WEBP"))
        return "webp";
    if (b.at(8, "RMID"))
        return "rmi";
    return nullptr;
}

const char *zipFamily(const Bytes &b)
{
    static const uint8_t kLocal[] = {'P', 'K', 3, 4};
    if (!b.at(0, kLocal, 4) || !b.has(0, 30))
        return nullptr;
    uint16_t nameLen = b.le16(26), extraLen = b.le16(28);
    if (b.at(30, "mimetype") && nameLen == 8) {
        size_t body = 30 + (size_t)nameLen + extraLen;
        if (b.at(body, "application/vnd.oasis.opendocument.text"))
            return "odt";
        if (b.at(body, "application/vnd.oasis.opendocument.spreadsheet"))
            return "ods";
        if (b.at(body, "application/vnd.oasis.opendocument.presentation"))
            return "odp";
        if (b.at(body, "application/epub+zip"))
            return "epub";
    }
    if (b.at(30, "[Content_Types].xml") || b.at(30, "_rels/.rels")) {
        if (b.contains("word/", 30, b.n))
            return "docx";
        if (b.contains("xl/", 30, b.n))
            return "xlsx";
        if (b.contains("ppt/", 30, b.n))
            return "pptx";
    }
    return "zip";
}

// MPEG audio frame header: sync, a valid version, layer, bit rate and rate.
const char *mpegAudio(const Bytes &b)
{
    if (!b.has(0, 4) || b.p[0] != 0xFF)
        return nullptr;
    uint8_t h1 = b.p[1], h2 = b.p[2];
    if ((h1 & 0xE0) != 0xE0)
        return nullptr;
    // ADTS AAC: MPEG-4 or MPEG-2, layer 00, a valid sampling index.
    if ((h1 & 0xF6) == 0xF0 && ((h2 >> 2) & 0x0F) < 13)
        return "aac";
    uint8_t version = (h1 >> 3) & 3, layer = (h1 >> 1) & 3;
    uint8_t bitrate = h2 >> 4, rate = (h2 >> 2) & 3;
    if (version == 1 || layer == 0 || bitrate == 0 || bitrate == 15 || rate == 3)
        return nullptr;
    return layer == 1 ? "mp3" : layer == 2 ? "mp2" : "mp1";
}

bool startsWithNoCase(const Bytes &b, size_t off, const char *text)
{
    size_t len = strlen(text);
    if (!b.has(off, len))
        return false;
    for (size_t i = 0; i < len; i++)
        if (tolower(b.p[off + i]) != text[i])
            return false;
    return true;
}

const char *markup(const Bytes &b)
{
    size_t off = 0;
    static const uint8_t kBom[] = {0xEF, 0xBB, 0xBF};
    if (b.at(0, kBom, 3))
        off = 3;
    while (off < b.n && off < 64 && (b.p[off] == ' ' || b.p[off] == '\t' || b.p[off] == '\r' ||
                                      b.p[off] == '\n'))
        off++;
    if (startsWithNoCase(b, off, "<!doctype html") || startsWithNoCase(b, off, "<html"))
        return "html";
    if (b.at(off, "<?xml")) {
        if (b.contains("<svg", off, 1024))
            return "svg";
        return "xml";
    }
    return nullptr;
}

}  // namespace

const char *guessExtension(const uint8_t *data, size_t len)
{
    if (!data || len < 2)
        return nullptr;
    Bytes b{data, len};

    static const uint8_t kJpeg[] = {0xFF, 0xD8, 0xFF};
    static const uint8_t kPng[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    static const uint8_t k7z[] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
    static const uint8_t kRar4[] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};
    static const uint8_t kRar5[] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00};
    static const uint8_t kXz[] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
    static const uint8_t kGzip[] = {0x1F, 0x8B, 0x08};
    static const uint8_t kMatroska[] = {0x1A, 0x45, 0xDF, 0xA3};
    static const uint8_t kAsf[] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11};
    static const uint8_t kMpegPs[] = {0x00, 0x00, 0x01, 0xBA};
    static const uint8_t kMpegVideo[] = {0x00, 0x00, 0x01, 0xB3};
    static const uint8_t kFlv[] = {'F', 'L', 'V', 0x01};
    static const uint8_t kSqlite[] = "SQLite format 3";  // with its NUL

    if (b.at(0, kJpeg, 3))
        return "jpg";
    if (b.at(0, kPng, 8))
        return "png";
    if (b.at(0, "GIF87a") || b.at(0, "GIF89a"))
        return "gif";
    if (const char *e = tiffFamily(b))
        return e;
    if (const char *e = bmp(b))
        return e;
    if (b.at(0, "8BPS") && b.has(0, 6) && (b.p[5] == 1 || b.p[5] == 2) && b.p[4] == 0)
        return "psd";
    if (b.at(0, "FUJIFILMCCD-RAW"))
        return "raf";
    if (const char *e = isoMedia(b))
        return e;
    if (const char *e = riff(b))
        return e;
    if (b.at(0, "FORM") && b.has(0, 12) && (b.at(8, "AIFF") || b.at(8, "AIFC")))
        return "aiff";
    if (b.at(0, kMatroska, 4))
        return b.contains("webm", 4, 64) ? "webm" : "mkv";
    if (b.at(0, kAsf, 8))
        return "wmv";
    if (b.at(0, kFlv, 4))
        return "flv";
    if (b.at(0, kMpegPs, 4) || b.at(0, kMpegVideo, 4))
        return "mpg";
    if (b.at(0, "ID3") && b.has(0, 4) && b.p[3] >= 2 && b.p[3] <= 4)
        return "mp3";
    if (b.at(0, "fLaC"))
        return "flac";
    if (b.at(0, "OggS") && b.has(0, 5) && b.p[4] == 0)
        return "ogg";
    if (b.at(0, "MThd") && b.has(0, 8) && b.be32(4) == 6)
        return "mid";
    if (b.at(0, "%PDF-"))
        return "pdf";
    if (b.at(0, "%!PS"))
        return "ps";
    if (b.at(0, "{\\rtf"))
        return "rtf";
    if (const char *e = zipFamily(b))
        return e;
    if (b.at(0, k7z, 6))
        return "7z";
    if (b.at(0, kRar5, 8) || b.at(0, kRar4, 7))
        return "rar";
    if (b.at(0, kXz, 6))
        return "xz";
    if (b.at(0, kGzip, 3))
        return "gz";
    if (b.at(0, "BZh") && b.has(0, 4) && b.p[3] >= '1' && b.p[3] <= '9')
        return "bz2";
    if (b.at(0, kSqlite, sizeof kSqlite))
        return "sqlite";
    if (b.at(257, "ustar"))
        return "tar";
    if (b.at(0, "MZ") && b.has(0, 0x40)) {
        uint32_t pe = b.le32(0x3C);
        static const uint8_t kPe[] = {'P', 'E', 0, 0};
        if (b.at(pe, kPe, 4))
            return "exe";
    }
    if (const char *e = markup(b))
        return e;
    if (const char *e = mpegAudio(b))
        return e;
    return nullptr;
}

}  // namespace salvitra
