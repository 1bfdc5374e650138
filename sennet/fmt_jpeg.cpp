/*
 * JPEG: markers from SOI to EOI.  Marker segments are skipped by their
 * lengths (so an EXIF thumbnail inside APP1 is passed over); entropy-coded
 * data is searched for the next marker.  A JPEG whose data runs into
 * another file's header at a sector boundary, into a long run of zeros, or
 * into an impossible marker was cut off or fragmented and is not reported.
 */
#include "sennet_i.h"

namespace {

const char *const kTypes[] = {"jpg", nullptr};
constexpr uint64_t kMax = 128 * SN_MiB;
constexpr uint64_t kZeroRun = 64 * SN_KiB;

bool jpeg_header(sv_view v, sn_hit *hit)
{
    uint8_t m;
    if (!sv_u8(v, 3, &m))
        return false;
    /* APPn, DQT, DHT, SOF0-2, COM, DRI start real files. */
    if (!((m >= 0xE0 && m <= 0xEF) || m == 0xDB || m == 0xC4 || m == 0xC0 || m == 0xC1 ||
          m == 0xC2 || m == 0xFE || m == 0xDD))
        return false;
    uint16_t len;
    if (!sv_be16(v, 4, &len) || len < 2)
        return false;
    if (m == 0xE0 && len >= 7 && sv_has(v, 6, 5) && memcmp(v.data + 6, "JFIF", 4) != 0 &&
        memcmp(v.data + 6, "JFXX", 4) != 0)
        return false;
    return true;
}

bool all_zero(const uint8_t *p, size_t n)
{
    return n == 0 || (p[0] == 0 && memcmp(p, p + 1, n - 1) == 0);
}

/* Searches entropy-coded data from `at` for the next marker that ends it.
 * On SN_OK *marker_at is the offset of its 0xFF. */
sn_status entropy_scan(sn_src *s, uint64_t at, uint64_t *marker_at)
{
    uint64_t zeros = 0;
    for (;;) {
        /* Work in pieces that end at sector boundaries so that every
         * boundary inside the data is looked at. */
        uint64_t abs = s->start + at;
        size_t piece = SN_SECTOR - (size_t)(abs % SN_SECTOR);
        if (sn_on_sector(s, at) && at != 0) {
            if (sn_foreign_header_at(s, at))
                return SN_CORRUPT;
        }
        size_t got;
        const uint8_t *p = sn_get_some(s, at, piece + 1, &got);
        if (!p || got < 2)
            return sn_fail(s);
        size_t span = got < piece ? got : piece;
        if (all_zero(p, span)) {
            zeros += span;
            if (zeros >= kZeroRun)
                return SN_CORRUPT;
        } else {
            zeros = 0;
        }
        size_t i = 0;
        while (i < span) {
            const uint8_t *ff = static_cast<const uint8_t *>(memchr(p + i, 0xFF, span - i));
            if (!ff)
                break;
            i = (size_t)(ff - p);
            if (i + 1 >= got)
                break; /* the byte after it lies in the next piece */
            uint8_t m = p[i + 1];
            if (m == 0x00 || (m >= 0xD0 && m <= 0xD7)) {
                i += 2;
                continue;
            }
            if (m == 0xFF) {
                i += 1; /* fill byte */
                continue;
            }
            *marker_at = at + i;
            return SN_OK;
        }
        /* A marker whose 0xFF ends the piece was read with the byte after
         * it (the piece is fetched one byte longer). */
        at += span;
    }
}

sn_status jpeg_end(sn_src *s, sn_hit *hit)
{
    uint64_t at = 2;
    bool sof = false, sos = false;
    for (unsigned hops = 0; hops < 100000; hops++) {
        const uint8_t *p = sn_get(s, at, 2);
        if (!p)
            return sn_fail(s);
        if (p[0] != 0xFF)
            return SN_CORRUPT;
        uint8_t m = p[1];
        if (m == 0xFF) {
            at += 1;
            continue;
        }
        if (m == 0xD9) {
            if (!sof || !sos)
                return SN_CORRUPT;
            hit->size = at + 2;
            return SN_OK;
        }
        if (m == 0x00 || m == 0x01 || m == 0xD8 || (m >= 0xD0 && m <= 0xD7))
            return SN_CORRUPT;
        uint16_t len;
        if (!sn_rd_be16(s, at + 2, &len))
            return sn_fail(s);
        if (len < 2)
            return SN_CORRUPT;
        if ((m >= 0xC0 && m <= 0xCF) && m != 0xC4 && m != 0xC8 && m != 0xCC) {
            if (len < 8)
                return SN_CORRUPT;
            sof = true;
        }
        uint64_t next = at + 2 + len;
        if (m == 0xDA) {
            if (!sof || len < 6)
                return SN_CORRUPT;
            sos = true;
            sn_status st = entropy_scan(s, next, &next);
            if (st != SN_OK)
                return st;
        } else if (!(m >= 0xC0 && m <= 0xFE)) {
            return SN_CORRUPT;
        }
        at = next;
    }
    return SN_CORRUPT;
}

}  // namespace

extern const sn_format sn_fmt_jpeg = {
    "jpg", kTypes, {0xFF, 0xD8, 0xFF}, 3, 0, 0xFF, kMax, jpeg_header, jpeg_end,
};
