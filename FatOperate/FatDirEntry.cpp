/*
 * Directory entries: 8.3 names, long-name parts, the records the searches
 * hand out, and the null-terminated record arrays of directory nodes.
 */
#include "polder_i.h"

#include <cstdlib>
#include <cstring>

namespace polder {

/* Offsets of the 13 UTF-16 units inside a long-name part. */
static const uint8_t kLfnOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

void lfn_clear(LfnState *s)
{
    memset(s->units, 0, sizeof s->units);
    s->slot = -1;
    s->checksum = 0;
    s->any = false;
}

void lfn_add(LfnState *s, const uint8_t *dir, uint32_t i, uint32_t n)
{
    const uint8_t *e = dir + (size_t)i * kEntrySize;
    uint8_t sum = e[13];
    if (s->slot < 0 || sum != s->checksum) {
        // A new run: its parts are the consecutive long-name entries that
        // carry the same checksum byte.  Parts of another name (a different
        // checksum) start a run of their own.
        lfn_clear(s);
        uint32_t run = 0;
        for (uint32_t j = i; j < n; j++) {
            const uint8_t *p = dir + (size_t)j * kEntrySize;
            if (p[11] != 0x0F || p[13] != sum)
                break;
            run++;
        }
        s->slot = (int32_t)run - 1;
        s->checksum = sum;
    }
    if (s->slot >= 0 && s->slot < (int32_t)kLfnSlots) {
        uint16_t *dst = s->units + s->slot * 13;
        for (int k = 0; k < 13; k++) {
            uint16_t u = sv_ld_le16(e + kLfnOffsets[k]);
            if (u != 0xFFFF) {
                dst[k] = u;
                s->any = true;
            }
        }
    }
    // Parts beyond the 20th slot cannot belong to a name of 255
    // characters: they are passed over.
    s->slot--;
    if (s->slot < 0)
        s->slot = -2;  // run complete; a further part starts a new one
}

uint32_t lfn_length(const LfnState *s)
{
    if (!s->any)
        return 0;
    uint32_t n = 0;
    while (n < kLfnChars && s->units[n] != 0)
        n++;
    return n;
}

uint32_t short_name(const uint8_t *e, uint32_t out[13])
{
    // NT case flags: bit 3 lower-case base, bit 4 lower-case extension.
    bool lowerBase = (e[12] & 0x08) != 0;
    bool lowerExt = (e[12] & 0x10) != 0;
    uint32_t n = 0;
    for (int i = 0; i < 8; i++) {
        uint32_t c = e[i];
        if (c == ' ')
            break;
        if (i == 0 && c == 0x05)
            c = 0xE5;  // a name starting with the byte E5 is stored as 05
        if (lowerBase && c >= 'A' && c <= 'Z')
            c += 'a' - 'A';
        out[n++] = c;
    }
    if (e[8] != ' ') {
        out[n++] = '.';
        for (int i = 8; i < 11; i++) {
            uint32_t c = e[i];
            if (c == ' ')
                break;
            if (lowerExt && c >= 'A' && c <= 'Z')
                c += 'a' - 'A';
            out[n++] = c;
        }
    }
    out[n] = 0;
    return n;
}

tagStFatInfo *make_record(const uint8_t *e, const LfnState *lfn, bool withTime)
{
    uint32_t shortBuf[13];
    uint32_t shortLen = short_name(e, shortBuf);
    uint32_t longLen = lfn ? lfn_length(lfn) : 0;
    uint32_t len = longLen ? longLen : shortLen;
    size_t size = offsetof(tagStFatInfo, szName) + ((size_t)len + 1) * sizeof(uint32_t);
    auto *r = static_cast<tagStFatInfo *>(MALLOC(size));
    if (longLen) {
        for (uint32_t i = 0; i < longLen; i++)
            r->szName[i] = lfn->units[i];
    } else {
        memcpy(r->szName, shortBuf, (size_t)shortLen * sizeof(uint32_t));
    }
    r->szName[len] = 0;
    r->nStartCluster = entry_cluster(e);
    r->nEntryCluster = r->nStartCluster;
    r->nFileSize = sv_ld_le32(e + 28);
    r->bDirectory = (e[11] & 0x10) ? 1 : 0;
    if (withTime) {
        // The last-write time is what the user knows as the file's date;
        // the creation fields are optional and often zero.
        uint16_t time = sv_ld_le16(e + 22), date = sv_ld_le16(e + 24);
        if (date == 0) {
            time = sv_ld_le16(e + 14);
            date = sv_ld_le16(e + 16);
        }
        r->wSecond = time & 0x1F;
        r->wMinute = (time >> 5) & 0x3F;
        r->wHour = time >> 11;
        r->wDay = date & 0x1F;
        r->wMonth = (date >> 5) & 0x0F;
        r->wYear = date >> 9;
    }
    return r;
}

/* ---- record arrays ---- */

constexpr uint32_t kArrayStep = 512;

void entries_init(EntryArray *a)
{
    a->capacity = kArrayStep;
    a->count = 0;
    a->items = static_cast<tagStFatInfo **>(MALLOC(sizeof(tagStFatInfo *) * a->capacity));
}

void entries_push(EntryArray *a, tagStFatInfo *rec)
{
    a->items[a->count++] = rec;
    if (a->count >= a->capacity - 1) {
        // Keep the last slot for the terminating null.
        uint32_t cap = a->capacity + kArrayStep;
        auto *grown = static_cast<tagStFatInfo **>(MALLOC(sizeof(tagStFatInfo *) * cap));
        memcpy(grown, a->items, sizeof(tagStFatInfo *) * a->count);
        free(a->items);
        a->items = grown;
        a->capacity = cap;
    }
}

void entries_drop_last(EntryArray *a)
{
    if (a->count == 0)
        return;
    a->count--;
    free(a->items[a->count]);
    a->items[a->count] = nullptr;
}

/* ---- progress ---- */

void progress_note(Progress *p, double fraction)
{
    if (!(fraction <= 1.0))
        fraction = 1.0;  // also NaN
    while (fraction >= p->threshold) {
        p->threshold += 0.01;
        int32_t cur = sv_progress_get();
        // Raise only a running value, and never to 100 from here: 100 and
        // above mean finished or stop.
        while (cur < p->ceiling &&
               !__atomic_compare_exchange_n(&ExportsData, &cur, cur + 1, false, __ATOMIC_SEQ_CST,
                                            __ATOMIC_SEQ_CST)) {
        }
    }
}

void progress_finish()
{
    sv_progress_finish();
}

}  // namespace polder
