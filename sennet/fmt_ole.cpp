/*
 * OLE compound files (doc, xls, ppt, msg, vsd, ...).  The file's length is
 * the header sector plus every sector up to the last one the FAT marks as
 * used; the FAT is read through the header's DIFAT array and the DIFAT
 * chain.  The root directory's stream names give the type.
 */
#include "sennet_i.h"

namespace {

const char *const kTypes[] = {"doc", "xls", "ppt", "msg", "vsd", "ole", nullptr};
constexpr uint64_t kMax = 2 * SN_GiB;
constexpr uint32_t kFree = 0xFFFFFFFFu, kEnd = 0xFFFFFFFEu, kFat = 0xFFFFFFFDu, kDif = 0xFFFFFFFCu;

bool ole_header(sv_view v, sn_hit *hit)
{
    uint16_t minor, major, order, shift, mini;
    uint32_t cutoff;
    if (!sv_le16(v, 24, &minor) || !sv_le16(v, 26, &major) || !sv_le16(v, 28, &order) ||
        !sv_le16(v, 30, &shift) || !sv_le16(v, 32, &mini) || !sv_le32(v, 56, &cutoff))
        return false;
    if (order != 0xFFFE || mini != 6 || cutoff != 4096)
        return false;
    return (major == 3 && shift == 9) || (major == 4 && shift == 12);
}

struct Ole {
    sn_src *s;
    uint32_t ssz;
    uint32_t nfat;
    uint32_t fat_sectors[1 << 14];
    uint32_t nfs;
};

uint64_t sector_off(const Ole &o, uint32_t sec)
{
    return (uint64_t)(sec + 1) * o.ssz;
}

/* FAT entry of sector sec. */
bool fat_next(Ole &o, uint32_t sec, uint32_t *next)
{
    uint32_t per = o.ssz / 4;
    uint32_t idx = sec / per;
    if (idx >= o.nfs)
        return false;
    return sn_rd_le32(o.s, sector_off(o, o.fat_sectors[idx]) + 4ull * (sec % per), next);
}

bool name_is(const uint8_t *e, const char *name)
{
    size_t n = strlen(name);
    uint16_t len = sv_ld_le16(e + 64);
    if (len != (n + 1) * 2)
        return false;
    for (size_t i = 0; i < n; i++)
        if (e[2 * i] != (uint8_t)name[i] || e[2 * i + 1] != 0)
            return false;
    return true;
}

bool name_starts(const uint8_t *e, const char *name)
{
    size_t n = strlen(name);
    for (size_t i = 0; i < n; i++)
        if (e[2 * i] != (uint8_t)name[i] || e[2 * i + 1] != 0)
            return false;
    return true;
}

sn_status ole_end(sn_src *s, sn_hit *hit)
{
    static thread_local Ole o;
    memset(&o, 0, sizeof(o));
    o.s = s;
    uint16_t shift;
    uint32_t nfat, first_dir, first_dif, ndif;
    if (!sn_rd_le16(s, 30, &shift) || !sn_rd_le32(s, 44, &nfat) || !sn_rd_le32(s, 48, &first_dir) ||
        !sn_rd_le32(s, 68, &first_dif) || !sn_rd_le32(s, 72, &ndif))
        return sn_fail(s);
    o.ssz = 1u << shift;
    uint64_t max_secs = s->limit / o.ssz;
    if (nfat == 0 || nfat > (1u << 14) || (uint64_t)nfat * (o.ssz / 4) > max_secs * 2 + 128)
        return SN_CORRUPT;
    /* FAT sector numbers: 109 in the header, the rest in the DIFAT chain */
    for (uint32_t i = 0; i < 109 && o.nfs < nfat; i++) {
        uint32_t sec;
        if (!sn_rd_le32(s, 76 + 4ull * i, &sec))
            return sn_fail(s);
        if (sec >= max_secs)
            return SN_CORRUPT;
        o.fat_sectors[o.nfs++] = sec;
    }
    uint32_t dif = first_dif;
    for (uint32_t k = 0; k < ndif && o.nfs < nfat; k++) {
        if (dif >= max_secs)
            return SN_CORRUPT;
        uint32_t per = o.ssz / 4 - 1;
        for (uint32_t i = 0; i < per && o.nfs < nfat; i++) {
            uint32_t sec;
            if (!sn_rd_le32(s, sector_off(o, dif) + 4ull * i, &sec))
                return sn_fail(s);
            if (sec >= max_secs)
                return SN_CORRUPT;
            o.fat_sectors[o.nfs++] = sec;
        }
        if (!sn_rd_le32(s, sector_off(o, dif) + 4ull * per, &dif))
            return sn_fail(s);
    }
    if (o.nfs != nfat)
        return SN_CORRUPT;
    /* last used sector */
    uint32_t per = o.ssz / 4;
    int64_t last = -1;
    for (uint32_t f = 0; f < nfat; f++) {
        for (uint32_t i = 0; i < per; i++) {
            uint32_t v;
            if (!sn_rd_le32(s, sector_off(o, o.fat_sectors[f]) + 4ull * i, &v))
                return sn_fail(s);
            uint64_t sec = (uint64_t)f * per + i;
            if (v != kFree) {
                if (v < kDif && v >= max_secs)
                    return SN_CORRUPT;
                last = (int64_t)sec;
            }
        }
    }
    if (last < 0 || (uint64_t)last >= max_secs || first_dir > (uint64_t)last)
        return SN_CORRUPT;
    /* the FAT must mark its own sectors */
    for (uint32_t f = 0; f < nfat; f++) {
        uint32_t v;
        if (!fat_next(o, o.fat_sectors[f], &v))
            return sn_fail(s);
        if (v != kFat)
            return SN_CORRUPT;
    }
    /* root directory entries: names give the type */
    const char *type = "ole";
    uint32_t dsec = first_dir;
    bool root = false;
    for (unsigned hops = 0; hops < 4096 && dsec < kDif; hops++) {
        if (dsec > (uint64_t)last)
            return SN_CORRUPT;
        for (uint32_t e = 0; e < o.ssz / 128; e++) {
            const uint8_t *d = sn_get(s, sector_off(o, dsec) + 128ull * e, 128);
            if (!d)
                return sn_fail(s);
            if (hops == 0 && e == 0) {
                if (d[66] != 5 || !name_is(d, "Root Entry"))
                    return SN_CORRUPT;
                root = true;
            }
            if (name_is(d, "WordDocument"))
                type = "doc";
            else if (name_is(d, "Workbook") || name_is(d, "Book"))
                type = "xls";
            else if (name_is(d, "PowerPoint Document"))
                type = "ppt";
            else if (name_is(d, "VisioDocument"))
                type = "vsd";
            else if (name_starts(d, "__substg1.0_") && strcmp(type, "ole") == 0)
                type = "msg";
        }
        if (!fat_next(o, dsec, &dsec))
            return sn_fail(s);
    }
    if (!root)
        return SN_CORRUPT;
    hit->size = (uint64_t)(last + 2) * o.ssz;
    hit->type = type;
    return hit->size <= s->limit ? SN_OK : SN_CORRUPT;
}

}  // namespace

extern const sn_format sn_fmt_ole = {
    "doc", kTypes, {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1}, 8, 0, 0xD0, kMax,
    ole_header, ole_end,
};
