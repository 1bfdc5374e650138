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

tagStFatInfo *make_named_record(const char *name, uint32_t cluster, bool directory)
{
    size_t len = strlen(name);
    auto *r = static_cast<tagStFatInfo *>(MALLOC(offsetof(tagStFatInfo, szName) + (len + 1) * sizeof(uint32_t)));
    for (size_t i = 0; i < len; i++)
        r->szName[i] = (uint8_t)name[i];
    r->szName[len] = 0;
    r->nStartCluster = r->nEntryCluster = cluster;
    r->bDirectory = directory ? 1 : 0;
    return r;
}

EntryKind entry_kind(const uint8_t *e)
{
    if (e[0] == 0)
        return ENTRY_END;
    uint8_t attr = e[11];
    if (attr == 0x0F)
        return ENTRY_LFN;
    // Volume labels and attribute bytes no entry can have are skipped.
    if ((attr & 0x08) || attr > 0x3F)
        return ENTRY_SKIP;
    return ENTRY_SHORT;
}

/* A byte that may stand in an 8.3 name (the first one aside). */
static bool short_name_byte(uint8_t c)
{
    return c >= 0x20 && c != 0x7F && !strchr("\"*+,./:;<=>?[\\]|", c);
}

bool dir_block_check(const uint8_t *b, uint32_t len, const FatLayout &L, OrphanBlock *out)
{
    const uint32_t n = len / kEntrySize;
    if (n < 2 || b[0] == 0)
        return false;
    const bool dots = is_dot_entry(b) && is_dotdot_entry(b + kEntrySize) && (b[11] & 0x10) &&
                      (b[kEntrySize + 11] & 0x10);
    bool ended = false;
    uint32_t real = 0;
    for (uint32_t i = 0; i < n; i++) {
        const uint8_t *e = b + (size_t)i * kEntrySize;
        if (ended) {
            if (e[0] != 0)
                return false;  // drivers clear what follows the end mark
            continue;
        }
        switch (entry_kind(e)) {
        case ENTRY_END:
            ended = true;
            continue;
        case ENTRY_LFN:
            // Ordinal 1..20 with the last-part flag, or a deleted part; a
            // long-name part has no cluster and type 0.
            if (e[0] != 0xE5 && ((e[0] & 0xA0) || (e[0] & 0x1F) == 0 || (e[0] & 0x1F) > kLfnSlots))
                return false;
            if (e[12] != 0 || sv_ld_le16(e + 26) != 0)
                return false;
            continue;
        case ENTRY_SKIP:
            if ((e[11] & ~0x20) != 0x08)
                return false;  // only a volume label has that bit
            continue;
        case ENTRY_SHORT:
            break;
        }
        if (dots && i < 2)
            continue;
        if (e[0] == ' ')
            return false;
        for (int k = 0; k < 11; k++)
            if (!(k == 0 && (e[0] == 0xE5 || e[0] == 0x05)) && !short_name_byte(e[k]))
                return false;
        if (entry_cluster(e) > L.maxCluster || (L.fsType != FS_FAT32 && sv_ld_le16(e + 20) != 0))
            return false;
        if ((e[11] & 0x10) && sv_ld_le32(e + 28) != 0)
            return false;  // a directory entry has no size
        real++;
    }
    if (real == 0)
        return false;
    // A part that starts with a long name's later part, or with a short
    // entry, may finish a name the part before it began.
    out->leadPart = false;
    out->leadSum = 0;
    // (A deleted part keeps no ordinal: its checksum alone tells.)
    if (!dots && entry_kind(b) == ENTRY_LFN && (b[0] == 0xE5 || !(b[0] & 0x40))) {
        out->leadPart = true;
        out->leadSum = b[13];
    } else if (!dots && entry_kind(b) == ENTRY_SHORT) {
        out->leadPart = true;
        out->leadSum = short_checksum(b);
    }
    out->dots = dots;
    out->self = dots ? entry_cluster(b) : 0;
    out->parent = dots ? entry_cluster(b + kEntrySize) : 0;
    out->ended = ended;
    return true;
}

uint8_t short_checksum(const uint8_t *e)
{
    uint8_t sum = 0;
    for (int i = 0; i < 11; i++)
        sum = (uint8_t)(((sum & 1) << 7) + (sum >> 1) + e[i]);
    return sum;
}

uint32_t lfn_tail(const uint8_t *dir, uint32_t n, uint8_t *sum)
{
    uint32_t parts = 0;
    *sum = 0;
    for (uint32_t i = n; i-- > 0;) {
        const uint8_t *e = dir + (size_t)i * kEntrySize;
        if (entry_kind(e) != ENTRY_LFN || (parts && e[13] != *sum))
            break;
        *sum = e[13];
        parts++;
        // The first part of a name carries the last-part flag.
        if (parts >= kLfnSlots || (e[0] != 0xE5 && (e[0] & 0x40)))
            break;
    }
    return parts;
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
