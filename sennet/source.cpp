/*
 * The byte source of format checks: the scan window first, then a private
 * cache filled through the device.  Device reads that fail are replaced by
 * zeros sector by sector, so one bad sector does not hide a whole window.
 */
#include "sennet_i.h"
#include "source.h"

#include <string.h>

namespace {

/* Read length after a failure inside a range. */
constexpr size_t kResumeBytes = 128 * 1024;

bool medium_gone(Physics_Device_Struct *dev)
{
    Salvitra_MediumHealth h;
    return Salvitra_GetMediumHealth(dev, &h) == 0 && h.Gone;
}

/* Reads [devoff, devoff + len); when that fails, each half is read on its
 * own, down to single sectors, and only sectors that fail on their own
 * become zeros: a few bad sectors in a window cost a few dozen reads, not
 * one per sector.  A medium that went away is not asked again.  Returns
 * the bytes read. */
size_t read_or_split(Physics_Device_Struct *dev, uint64_t devoff, uint8_t *buf, size_t len, int depth)
{
    if (len == 0)
        return 0;
    int32_t r = sv_dev_read(dev, buf, (uint32_t)len, devoff);
    if (r >= 0 && (size_t)r == len)
        return len;
    size_t got = r > 0 && (size_t)r < len ? (size_t)r : 0;
    if (len <= SN_SECTOR || depth >= 40 || medium_gone(dev)) {
        memset(buf + got, 0, len - got);
        return got;
    }
    /* A short read delivered what lies before the first bad sector. */
    got = got / SN_SECTOR * SN_SECTOR;
    size_t rest = len - got;
    size_t half = (rest / 2 + SN_SECTOR - 1) / SN_SECTOR * SN_SECTOR;
    if (half == 0 || half >= rest)
        half = rest / 2;
    return got + read_or_split(dev, devoff + got, buf + got, half, depth + 1) +
           read_or_split(dev, devoff + got + half, buf + got + half, rest - half, depth + 1);
}

}  // namespace

size_t sn_read_range(Physics_Device_Struct *dev, uint64_t devoff, uint8_t *buf, size_t len)
{
    /* Devices say where a read broke off: a short read ends before the
     * first sector that fails.  That sector alone is tried on its own and
     * the read goes on after it, so a scattering of bad sectors costs two
     * reads each.  A device that fails a read without saying where has the
     * rest of the range split in halves. */
    size_t pos = 0, good = 0, most = len;
    while (pos < len) {
        size_t want = len - pos < most ? len - pos : most;
        int32_t r = sv_dev_read(dev, buf + pos, (uint32_t)want, devoff + pos);
        if (r >= 0 && (size_t)r == want) {
            pos += want;
            good += want;
            continue;
        }
        /* Past a failure the rest goes in pieces: a device splits a long
         * read into requests that it may all serve before the short answer
         * of the first one is known, and those bytes would be read again. */
        most = kResumeBytes;
        if (r > 0 && (size_t)r >= SN_SECTOR) {
            size_t step = (size_t)r / SN_SECTOR * SN_SECTOR;
            pos += step;
            good += step;
        }
        /* The read broke off at pos. */
        if (medium_gone(dev))
            break;
        size_t one = len - pos < SN_SECTOR ? len - pos : SN_SECTOR;
        int32_t f = sv_dev_read(dev, buf + pos, (uint32_t)one, devoff + pos);
        if (f >= 0 && (size_t)f == one)
            return good + read_or_split(dev, devoff + pos, buf + pos, len - pos, 1);
        memset(buf + pos, 0, one);
        pos += one;
    }
    if (pos < len)
        memset(buf + pos, 0, len - pos);
    return good;
}

void sn_src_mem(sn_src *s, const uint8_t *data, size_t len)
{
    memset(s, 0, sizeof(*s));
    s->win = data;
    s->win_len = data ? len : 0;
    s->limit = s->win_len;
    s->range_len = s->win_len;
}

const uint8_t *sn_get(sn_src *s, uint64_t off, size_t len)
{
    if (len > SN_GET_MAX || !sn_avail(s, off, len))
        return NULL;
    if (off + len > s->furthest)
        s->furthest = off + len;
    uint64_t abs = s->start + off;
    if (s->win && abs >= s->win_abs && abs - s->win_abs <= s->win_len &&
        s->win_len - (abs - s->win_abs) >= len)
        return s->win + (abs - s->win_abs);
    if (s->cache_len && abs >= s->cache_abs && abs - s->cache_abs <= s->cache_len &&
        s->cache_len - (abs - s->cache_abs) >= len)
        return s->cache + (abs - s->cache_abs);
    if ((!s->dev && !s->reader) || !s->cache)
        return NULL;
    if (s->check_stop && !sv_progress_running()) {
        s->stopped = true;
        return NULL;
    }
    uint64_t a = abs - abs % SN_SECTOR;
    if (a >= s->range_len)
        return NULL;
    size_t n = SN_CACHE_LEN;
    if (s->range_len - a < n)
        n = (size_t)(s->range_len - a);
    if (s->reader) {
        int64_t got = s->reader(s->reader_ctx, a, s->cache, (uint32_t)n);
        if (got < 0)
            got = 0;
        if ((size_t)got < n)
            memset(s->cache + got, 0, n - (size_t)got);
    } else {
        sn_read_range(s->dev, s->origin + a, s->cache, n);
    }
    s->cache_abs = a;
    s->cache_len = n;
    if (abs - a <= n && n - (abs - a) >= len)
        return s->cache + (abs - a);
    return NULL;
}

const uint8_t *sn_get_some(sn_src *s, uint64_t off, size_t want, size_t *got)
{
    *got = 0;
    if (off >= s->limit)
        return NULL;
    if (want > SN_GET_MAX)
        want = SN_GET_MAX;
    if (s->limit - off < want)
        want = (size_t)(s->limit - off);
    const uint8_t *p = sn_get(s, off, want);
    if (p)
        *got = want;
    return p;
}

bool sn_find(sn_src *s, uint64_t from, uint64_t to, const void *pat, size_t plen, uint64_t *at)
{
    if (plen == 0 || plen > 64)
        return false;
    if (to > s->limit)
        to = s->limit;
    const size_t step = SN_GET_MAX - 64;
    while (from < to && to - from >= plen) {
        size_t want = to - from < SN_GET_MAX ? (size_t)(to - from) : SN_GET_MAX;
        size_t got;
        const uint8_t *p = sn_get_some(s, from, want, &got);
        if (!p || got < plen)
            return false;
        const void *hit = memmem(p, got, pat, plen);
        if (hit) {
            *at = from + (uint64_t)((const uint8_t *)hit - p);
            return true;
        }
        if (got < SN_GET_MAX)
            return false;
        from += step < got - plen + 1 ? step : got - plen + 1;
    }
    return false;
}

bool sn_rd_u8(sn_src *s, uint64_t off, uint8_t *v)
{
    const uint8_t *p = sn_get(s, off, 1);
    if (!p)
        return false;
    *v = p[0];
    return true;
}

bool sn_rd_le16(sn_src *s, uint64_t off, uint16_t *v)
{
    const uint8_t *p = sn_get(s, off, 2);
    if (!p)
        return false;
    *v = sv_ld_le16(p);
    return true;
}

bool sn_rd_le32(sn_src *s, uint64_t off, uint32_t *v)
{
    const uint8_t *p = sn_get(s, off, 4);
    if (!p)
        return false;
    *v = sv_ld_le32(p);
    return true;
}

bool sn_rd_le64(sn_src *s, uint64_t off, uint64_t *v)
{
    const uint8_t *p = sn_get(s, off, 8);
    if (!p)
        return false;
    *v = sv_ld_le64(p);
    return true;
}

bool sn_rd_be16(sn_src *s, uint64_t off, uint16_t *v)
{
    const uint8_t *p = sn_get(s, off, 2);
    if (!p)
        return false;
    *v = sv_ld_be16(p);
    return true;
}

bool sn_rd_be24(sn_src *s, uint64_t off, uint32_t *v)
{
    const uint8_t *p = sn_get(s, off, 3);
    if (!p)
        return false;
    *v = ((uint32_t)p[0] << 16) | ((uint32_t)p[1] << 8) | p[2];
    return true;
}

bool sn_rd_be32(sn_src *s, uint64_t off, uint32_t *v)
{
    const uint8_t *p = sn_get(s, off, 4);
    if (!p)
        return false;
    *v = sv_ld_be32(p);
    return true;
}

bool sn_rd_be64(sn_src *s, uint64_t off, uint64_t *v)
{
    const uint8_t *p = sn_get(s, off, 8);
    if (!p)
        return false;
    *v = sv_ld_be64(p);
    return true;
}
