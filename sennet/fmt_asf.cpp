/*
 * ASF (wma, wmv, asf): the header object with its sub-objects, then the
 * data object and the index objects, each by its 64-bit size.  The file
 * properties object's file size must agree with the walk when it is set;
 * stream properties tell video (wmv) from audio only (wma).
 */
#include "sennet_i.h"

namespace {

const char *const kTypes[] = {"wmv", "wma", "asf", nullptr};
constexpr uint64_t kMax = 64 * SN_GiB;

const uint8_t kHeader[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                             0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const uint8_t kData[16] = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                           0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const uint8_t kFileProps[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
const uint8_t kStreamProps[16] = {0x91, 0x07, 0xDC, 0xB7, 0xB7, 0xA9, 0xCF, 0x11,
                                  0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
const uint8_t kVideo[16] = {0xC0, 0xEF, 0x19, 0xBC, 0x4D, 0x5B, 0xCF, 0x11,
                            0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B};
const uint8_t kAudio[16] = {0x40, 0x9E, 0x69, 0xF8, 0x4D, 0x5B, 0xCF, 0x11,
                            0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B};
/* Objects that may follow the data object. */
const uint8_t kSimpleIndex[16] = {0x90, 0x08, 0x00, 0x33, 0xB1, 0xE5, 0xCF, 0x11,
                                  0x89, 0xF4, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB};
const uint8_t kIndex[16] = {0xD3, 0x29, 0xE2, 0xD6, 0xDA, 0x35, 0xD1, 0x11,
                            0x90, 0x34, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xBE};
const uint8_t kMediaIndex[16] = {0xF8, 0x03, 0xB1, 0xFE, 0xAD, 0x12, 0x64, 0x4C,
                                 0x84, 0x0F, 0x2A, 0x1D, 0x2F, 0x7A, 0xD4, 0x8C};
const uint8_t kTimecodeIndex[16] = {0xD0, 0x3F, 0xB7, 0x3C, 0x4A, 0x0C, 0x03, 0x48,
                                    0x95, 0x3D, 0xED, 0xF7, 0xB6, 0x22, 0x8F, 0x0C};

bool asf_header(sv_view v, sn_hit *hit)
{
    uint64_t size;
    uint32_t nobj;
    if (!sv_le64(v, 16, &size) || !sv_le32(v, 24, &nobj))
        return false;
    return size >= 30 + 24 && size < 256 * SN_MiB && nobj >= 1 && nobj < 1000;
}

sn_status asf_end(sn_src *s, sn_hit *hit)
{
    uint64_t hsize;
    uint32_t nobj;
    if (!sn_rd_le64(s, 16, &hsize) || !sn_rd_le32(s, 24, &nobj))
        return sn_fail(s);
    if (hsize > s->limit)
        return SN_CORRUPT;
    bool video = false, audio = false;
    uint64_t file_size = 0;
    uint64_t at = 30;
    for (uint32_t i = 0; i < nobj; i++) {
        const uint8_t *p = sn_get(s, at, 24);
        if (!p)
            return sn_fail(s);
        uint64_t osz = sv_ld_le64(p + 16);
        if (osz < 24 || osz > hsize - at)
            return SN_CORRUPT;
        if (memcmp(p, kFileProps, 16) == 0) {
            if (!sn_rd_le64(s, at + 40, &file_size))
                return sn_fail(s);
        } else if (memcmp(p, kStreamProps, 16) == 0) {
            const uint8_t *t = sn_get(s, at + 24, 16);
            if (!t)
                return sn_fail(s);
            if (memcmp(t, kVideo, 16) == 0)
                video = true;
            if (memcmp(t, kAudio, 16) == 0)
                audio = true;
        }
        at += osz;
    }
    if (at != hsize)
        return SN_CORRUPT;
    const uint8_t *d = sn_get(s, at, 24);
    if (!d)
        return sn_fail(s);
    if (memcmp(d, kData, 16) != 0)
        return SN_CORRUPT;
    uint64_t dsz = sv_ld_le64(d + 16);
    if (dsz < 50 || dsz > s->limit - at)
        return SN_CORRUPT;
    at += dsz;
    for (unsigned n = 0; n < 64; n++) {
        const uint8_t *p = sn_get(s, at, 24);
        if (!p)
            break;
        if (memcmp(p, kSimpleIndex, 16) != 0 && memcmp(p, kIndex, 16) != 0 &&
            memcmp(p, kMediaIndex, 16) != 0 && memcmp(p, kTimecodeIndex, 16) != 0)
            break;
        uint64_t osz = sv_ld_le64(p + 16);
        if (osz < 24 || osz > s->limit - at)
            break;
        at += osz;
    }
    /* The file properties size, when the writer knew it, is the end. */
    if (file_size) {
        if (file_size < at || file_size > s->limit)
            return SN_CORRUPT;
        at = file_size;
    }
    hit->size = at;
    hit->type = video ? "wmv" : audio ? "wma" : "asf";
    return SN_OK;
}

}  // namespace

extern const sn_format sn_fmt_asf = {
    "asf", kTypes, {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00,
                    0x62, 0xCE, 0x6C}, 16, 0, 0x30, kMax, asf_header, asf_end,
};
