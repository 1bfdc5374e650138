/*
 * Directory entry sets: a file entry (0x85), its stream extension (0xC0)
 * and file-name entries (0xC1), or the same with the in-use bit cleared
 * (0x05, 0x40, 0x41) once the set was deleted; timestamps.
 */
#include "hollin_i.h"

#include <cstring>

namespace hollin {

namespace {

constexpr uint8_t kInUse = 0x80;
constexpr uint8_t kFileType = 0x05;     /* 0x85 without the in-use bit */
constexpr uint8_t kStreamType = 0x40;   /* 0xC0 */
constexpr uint8_t kNameType = 0x41;     /* 0xC1 */
constexpr uint32_t kNameUnitsPerEntry = 15;

/* Days from 1970-01-01 to a civil date (proleptic Gregorian). */
int64_t days_from_civil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = (unsigned)(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (int64_t)doe - 719468;
}

}  // namespace

void time_decode(uint32_t stamp, uint8_t ms10, uint8_t utc, tagExfatTime *out)
{
    *out = tagExfatTime{};
    const unsigned sec2 = stamp & 0x1F, min = (stamp >> 5) & 0x3F, hour = (stamp >> 11) & 0x1F;
    const unsigned day = (stamp >> 16) & 0x1F, mon = (stamp >> 21) & 0x0F, year = 1980 + (stamp >> 25);
    if (stamp == 0 || sec2 > 29 || min > 59 || hour > 23 || day < 1 || day > 31 || mon < 1 || mon > 12)
        return;
    int64_t t = days_from_civil(year, mon, day) * 86400 + hour * 3600 + min * 60 + sec2 * 2;
    if (ms10 < 200) {
        t += ms10 / 100;
        out->wMilli = (uint16_t)((ms10 % 100) * 10);
    }
    if (utc & 0x80) {
        // Seven-bit two's complement count of 15-minute steps east of UTC.
        int offset = (utc & 0x40) ? (int)(utc & 0x7F) - 128 : (int)(utc & 0x7F);
        out->nUtcMinutes = (int16_t)(offset * 15);
        out->bUtc = 1;
        t -= (int64_t)offset * 15 * 60;
    }
    out->tUnix = t;
    out->bValid = 1;
}

uint16_t set_checksum(const uint8_t *entries, uint32_t count)
{
    uint16_t sum = 0;
    const uint32_t bytes = count * kEntrySize;
    for (uint32_t i = 0; i < bytes; i++) {
        if (i == 2 || i == 3)
            continue;
        uint8_t b = entries[i];
        // A deleted set is checked as it was written: in-use bits set.
        if (i % kEntrySize == 0)
            b |= kInUse;
        sum = (uint16_t)(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + b);
    }
    return sum;
}

uint32_t entry_set_parse(const uint8_t *dir, uint32_t i, uint32_t n, EntrySet *out)
{
    if (i >= n)
        return 0;
    const uint8_t *e = dir + (size_t)i * kEntrySize;
    if ((e[0] & 0x7F) != kFileType)
        return 0;
    const bool deleted = !(e[0] & kInUse);
    const uint8_t secondary = e[1];
    // A stream extension and at least one name entry; 17 name entries hold 255 units.
    if (secondary < 2 || secondary > 18 || n - i - 1 < secondary)
        return 0;
    const uint8_t *st = e + kEntrySize;
    if ((st[0] & 0x7F) != kStreamType || (bool)(st[0] & kInUse) == deleted)
        return 0;
    const uint8_t nameLen = st[3];
    const uint32_t nameEntries = (nameLen + kNameUnitsPerEntry - 1) / kNameUnitsPerEntry;
    if (nameLen == 0 || nameEntries > (uint32_t)secondary - 1u)
        return 0;
    for (uint32_t k = 0; k < secondary; k++) {
        const uint8_t t = e[(size_t)(k + 1) * kEntrySize];
        // Every part in the same state; name entries right after the stream
        // extension; anything after them a secondary entry of some kind.
        if ((bool)(t & kInUse) == deleted || !(t & 0x40))
            return 0;
        if (k >= 1 && k <= nameEntries && (t & 0x7F) != kNameType)
            return 0;
    }
    const bool checksumOk = set_checksum(e, secondary + 1u) == sv_ld_le16(e + 2);
    if (deleted && !checksumOk)
        return 0;

    EntrySet s{};
    s.deleted = deleted;
    s.checksumOk = checksumOk;
    s.secondaryCount = secondary;
    s.attributes = sv_ld_le16(e + 4);
    time_decode(sv_ld_le32(e + 8), e[20], e[22], &s.create);
    time_decode(sv_ld_le32(e + 12), e[21], e[23], &s.modify);
    time_decode(sv_ld_le32(e + 16), 0, e[24], &s.access);
    s.flags = st[1];
    s.nameLength = nameLen;
    s.validLength = sv_ld_le64(st + 8);
    s.firstCluster = sv_ld_le32(st + 20);
    s.dataLength = sv_ld_le64(st + 24);
    for (uint32_t u = 0; u < nameLen; u++) {
        const uint8_t *ne = e + (size_t)(2 + u / kNameUnitsPerEntry) * kEntrySize;
        s.name[u] = sv_ld_le16(ne + 2 + (u % kNameUnitsPerEntry) * 2);
    }
    s.name[nameLen] = 0;
    *out = s;
    return secondary + 1u;
}

}  // namespace hollin
