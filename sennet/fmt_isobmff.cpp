/*
 * ISO base media files (mp4, mov, m4a, m4v, m4b, m4p, 3gp, 3g2, f4v, mqv,
 * heic, cr3) and QuickTime movies without an ftyp box.  The top-level
 * boxes are walked by their sizes while their types are known top-level
 * types; the file must hold a moov box (with mvhd) and one media data box.
 * The brand, and the handlers of the tracks for generic brands, give the
 * type.
 */
#include "sennet_i.h"

namespace {

const char *const kTypes[] = {"mp4", "mov", "m4a", "m4v", "m4b", "m4p", "m4r", "3gp",
                              "3g2", "f4v", "mqv", "heic", "cr3", nullptr};
constexpr uint64_t kMax = 64 * SN_GiB;

bool is_top_level(const uint8_t *t)
{
    static const char *const kBoxes[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "uuid",
                                         "meta", "moof", "mfra", "sidx", "styp", "pdin", "prft",
                                         "emsg", "ssix", "junk", "pnot", "PICT", "beam", "udta",
                                         "iinf", "iloc", "idat", "pict", "ssix", "mqds"};
    for (const char *b : kBoxes)
        if (memcmp(t, b, 4) == 0)
            return true;
    return false;
}

bool brand_known(const uint8_t *b)
{
    static const char *const kBrands[] = {
        "isom", "iso2", "iso3", "iso4", "iso5", "iso6", "iso8", "mp41", "mp42", "mp71", "avc1",
        "dash", "qt  ", "M4A ", "M4B ", "M4P ", "M4V ", "M4VH", "M4VP", "F4V ", "F4P ", "F4A ",
        "F4B ", "mqt ", "heic", "heix", "mif1", "msf1", "hevc", "crx ", "MSNV", "NDAS", "NDSC",
        "NDSH", "NDSM", "NDSP", "NDSS", "NDXC", "NDXH", "NDXM", "NDXP", "NDXS", "XAVC", "caqv",
        "mmp4", "avif", "CAEP", "da0a", "da0b", "da1a", "da1b", "da2a", "da2b", "da3a", "da3b",
        "dmb1", "KDDI", "kddi", "MPPI", "aax ", "f4v ", "JVT ", "ROSS", "iphE", "M4X "};
    if (memcmp(b, "3gp", 3) == 0 || memcmp(b, "3g2", 3) == 0 || memcmp(b, "3ge", 3) == 0 ||
        memcmp(b, "3gg", 3) == 0 || memcmp(b, "3gs", 3) == 0)
        return true;
    for (const char *k : kBrands)
        if (memcmp(b, k, 4) == 0)
            return true;
    return false;
}

bool ftyp_header(sv_view v, sn_hit *hit)
{
    uint32_t size;
    if (!sv_be32(v, 0, &size) || size < 16 || size > 4096 || (size & 3))
        return false;
    if (!sv_has(v, 8, 4))
        return false;
    return brand_known(v.data + 8);
}

bool qt_header(sv_view v, sn_hit *hit)
{
    uint32_t size;
    if (!sv_be32(v, 0, &size) || (size < 8 && size != 1))
        return false;
    hit->type = "mov";
    return true;
}

/* Type by brand; generic brands look at the track handlers. */
const char *brand_type(const uint8_t *b, bool video, bool audio)
{
    if (memcmp(b, "qt  ", 4) == 0)
        return "mov";
    if (memcmp(b, "M4A ", 4) == 0)
        return "m4a";
    if (memcmp(b, "M4B ", 4) == 0)
        return "m4b";
    if (memcmp(b, "M4P ", 4) == 0)
        return "m4p";
    if (memcmp(b, "M4V", 3) == 0)
        return "m4v";
    if (memcmp(b, "3g2", 3) == 0 || memcmp(b, "kddi", 4) == 0 || memcmp(b, "KDDI", 4) == 0)
        return "3g2";
    if (memcmp(b, "3g", 2) == 0)
        return "3gp";
    if (memcmp(b, "F4", 2) == 0 || memcmp(b, "f4v ", 4) == 0)
        return "f4v";
    if (memcmp(b, "mqt ", 4) == 0)
        return "mqv";
    if (memcmp(b, "heic", 4) == 0 || memcmp(b, "heix", 4) == 0 || memcmp(b, "mif1", 4) == 0 ||
        memcmp(b, "msf1", 4) == 0 || memcmp(b, "avif", 4) == 0)
        return "heic";
    if (memcmp(b, "crx ", 4) == 0)
        return "cr3";
    if (!video && audio)
        return "m4a";
    return "mp4";
}

struct Movie {
    bool mvhd = false, video = false, audio = false;
    unsigned hops = 0;
};

/* Looks into moov for mvhd and the handler types of the tracks. */
sn_status scan_moov(sn_src *s, uint64_t at, uint64_t end, int depth, Movie &m)
{
    while (at < end && end - at >= 8) {
        if (++m.hops > 20000 || depth > 6)
            return SN_OK;
        const uint8_t *p = sn_get(s, at, 8);
        if (!p)
            return sn_fail(s);
        uint64_t size = sv_ld_be32(p);
        uint8_t t[4];
        memcpy(t, p + 4, 4);
        uint64_t hdr = 8;
        if (size == 1) {
            if (!sn_rd_be64(s, at + 8, &size))
                return sn_fail(s);
            hdr = 16;
        } else if (size == 0) {
            size = end - at;
        }
        if (size < hdr || size > end - at)
            return SN_CORRUPT;
        if (memcmp(t, "mvhd", 4) == 0 && depth == 0)
            m.mvhd = true;
        if (memcmp(t, "hdlr", 4) == 0) {
            const uint8_t *h = sn_get(s, at + hdr + 8, 4);
            if (h && memcmp(h, "vide", 4) == 0)
                m.video = true;
            if (h && memcmp(h, "soun", 4) == 0)
                m.audio = true;
        }
        if (memcmp(t, "trak", 4) == 0 || memcmp(t, "mdia", 4) == 0) {
            sn_status st = scan_moov(s, at + hdr, at + size, depth + 1, m);
            if (st == SN_STOP)
                return st;
        }
        at += size;
    }
    return SN_OK;
}

sn_status bmff_end(sn_src *s, sn_hit *hit)
{
    uint64_t at = 0;
    bool moov = false, mdat = false, ftyp = false, meta = false;
    uint8_t brand[4] = {0, 0, 0, 0};
    Movie m;
    for (unsigned hops = 0; hops < 1000000; hops++) {
        if (at == s->limit)
            break;
        const uint8_t *p = sn_get(s, at, 8);
        if (!p)
            break;
        if (!is_top_level(p + 4))
            break;
        uint8_t t[4];
        memcpy(t, p + 4, 4);
        uint64_t size = sv_ld_be32(p);
        uint64_t hdr = 8;
        if (size == 1) {
            if (!sn_rd_be64(s, at + 8, &size))
                return sn_fail(s);
            hdr = 16;
        } else if (size == 0) {
            return SN_CORRUPT; /* "to the end of the file": no end to find */
        }
        if (size < hdr)
            break;
        if (size > s->limit - at)
            return SN_CORRUPT; /* cut off */
        if (memcmp(t, "ftyp", 4) == 0) {
            if (at != 0 || ftyp)
                break;
            ftyp = true;
            const uint8_t *b = sn_get(s, at + 8, 4);
            if (b)
                memcpy(brand, b, 4);
        } else if (memcmp(t, "moov", 4) == 0) {
            if (moov)
                break;
            moov = true;
            sn_status st = scan_moov(s, at + hdr, at + size, 0, m);
            if (st != SN_OK)
                return st;
            if (!m.mvhd)
                return SN_CORRUPT;
        } else if (memcmp(t, "meta", 4) == 0) {
            meta = true;
        } else if (memcmp(t, "mdat", 4) == 0 || memcmp(t, "moof", 4) == 0 ||
                   memcmp(t, "idat", 4) == 0) {
            mdat = true;
        }
        at += size;
        /* A file ends at its last box: stop once everything needed was
         * seen and the next bytes are not a box. */
    }
    bool still = ftyp && strcmp(brand_type(brand, false, false), "heic") == 0;
    if (!mdat || !(moov || (still && meta)))
        return s->stopped ? SN_STOP : SN_CORRUPT;
    hit->size = at;
    hit->type = ftyp ? brand_type(brand, m.video, m.audio) : "mov";
    return SN_OK;
}

}  // namespace

extern const sn_format sn_fmt_isobmff = {
    "mp4", kTypes, {'f', 't', 'y', 'p'}, 4, 4, 0x00, kMax, ftyp_header, bmff_end,
};
extern const sn_format sn_fmt_qt_moov = {
    "mov", kTypes, {'m', 'o', 'o', 'v'}, 4, 4, 0x00, kMax, qt_header, bmff_end,
};
extern const sn_format sn_fmt_qt_mdat = {
    "mov", kTypes, {'m', 'd', 'a', 't'}, 4, 4, 0x00, kMax, qt_header, bmff_end,
};
extern const sn_format sn_fmt_qt_wide = {
    "mov", kTypes, {'w', 'i', 'd', 'e'}, 4, 4, 0x00, kMax, qt_header, bmff_end,
};
