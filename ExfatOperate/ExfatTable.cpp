/*
 * The FAT (read through a cache of 1 MiB windows) and the allocation bitmap
 * (held whole), and the hash sets the walks use as visited sets.
 */
#include "hollin_i.h"

#include <cstdlib>
#include <cstring>

namespace hollin {

/* ---- sets ---- */

static uint32_t hash32(uint32_t v)
{
    v ^= v >> 16;
    v *= 0x7feb352du;
    v ^= v >> 15;
    v *= 0x846ca68bu;
    v ^= v >> 16;
    return v;
}

static void set_grow(U32Set *s)
{
    uint32_t cap = s->capacity ? s->capacity * 2 : 256;
    auto *slots = static_cast<uint32_t *>(MALLOC((size_t)cap * sizeof(uint32_t)));
    for (uint32_t i = 0; i < s->capacity; i++) {
        uint32_t k = s->slots[i];
        if (!k)
            continue;
        uint32_t j = hash32(k) & (cap - 1);
        while (slots[j])
            j = (j + 1) & (cap - 1);
        slots[j] = k;
    }
    free(s->slots);
    s->slots = slots;
    s->capacity = cap;
}

bool set_insert(U32Set *s, uint32_t v)
{
    // Kept at most half full; values are cluster numbers, so v + 1 never wraps
    // for a valid one (and a set of 2^31 entries is never reached).
    if ((uint64_t)(s->count + 1) * 2 > s->capacity)
        set_grow(s);
    const uint32_t key = v + 1;
    uint32_t j = hash32(key) & (s->capacity - 1);
    while (s->slots[j]) {
        if (s->slots[j] == key)
            return false;
        j = (j + 1) & (s->capacity - 1);
    }
    s->slots[j] = key;
    s->count++;
    return true;
}

bool set_contains(const U32Set *s, uint32_t v)
{
    if (!s->capacity)
        return false;
    const uint32_t key = v + 1;
    uint32_t j = hash32(key) & (s->capacity - 1);
    while (s->slots[j]) {
        if (s->slots[j] == key)
            return true;
        j = (j + 1) & (s->capacity - 1);
    }
    return false;
}

void set_clear(U32Set *s)
{
    if (s->count) {
        // A large set that was used once is given back rather than wiped.
        if (s->capacity > 4096) {
            set_free(s);
            return;
        }
        memset(s->slots, 0, (size_t)s->capacity * sizeof(uint32_t));
    }
    s->count = 0;
}

void set_free(U32Set *s)
{
    free(s->slots);
    *s = U32Set{};
}

/* ---- FAT ---- */

Status fat_next(State &s, uint32_t c, uint32_t *value)
{
    const uint64_t off = (uint64_t)c * 4;
    if (off >= s.L.fatBytes || s.L.fatBytes - off < 4)
        return CORRUPT;
    if (!s.fat.pages) {
        s.fat.pages = static_cast<uint8_t **>(MALLOC(kFatPages * sizeof(uint8_t *)));
        s.fat.tags = static_cast<uint64_t *>(MALLOC(kFatPages * sizeof(uint64_t)));
    }
    const uint64_t page = off / kFatPage;
    const uint32_t slot = (uint32_t)(page % kFatPages);
    if (!s.fat.pages[slot])
        s.fat.pages[slot] = static_cast<uint8_t *>(MALLOC(kFatPage));
    uint8_t *p = s.fat.pages[slot];
    if (s.fat.tags[slot] != page + 1) {
        uint64_t start = page * kFatPage;
        uint64_t left = s.L.fatBytes - start;
        uint32_t len = left < kFatPage ? (uint32_t)left : kFatPage;
        Status st = dev_read(s.dev, s.limit, s.L.fatOffset + start, len, p);
        // A page that could not be read is not kept: its zeros would read as
        // free entries for the rest of the search.
        s.fat.tags[slot] = st == OK ? page + 1 : 0;
        if (st != OK)
            return IO;
    }
    *value = sv_ld_le32(p + (off % kFatPage));
    return OK;
}

/* ---- allocation bitmap ---- */

bool cluster_in_use(const State &s, uint32_t c)
{
    if (!cluster_valid(s.L, c))
        return true;
    const uint32_t bit = c - 2;
    // A bitmap shorter than the volume says nothing of the rest: taken as in use.
    if ((uint64_t)(bit >> 3) >= s.bitmapBytes)
        return true;
    return (s.bitmap[bit >> 3] >> (bit & 7)) & 1;
}

void bitmap_load(State &s, uint32_t first, uint64_t length, bool noFatChain)
{
    free(s.bitmap);
    s.bitmap = nullptr;
    s.bitmapBytes = 0;
    const uint64_t need = ((uint64_t)s.L.clusterCount + 7) / 8;
    if (length > need)
        length = need;
    if (length == 0 || !cluster_valid(s.L, first))
        return;
    const uint32_t cs = s.L.clusterSize;
    const uint64_t clusters = (length + cs - 1) / cs;
    auto *bm = static_cast<uint8_t *>(MALLOC((size_t)(clusters * cs)));
    uint64_t got = 0;
    uint32_t c = first;
    U32Set seen;
    // Clusters past what could be read are left as bytes we never had.
    for (uint64_t k = 0; k < clusters; k++) {
        if (!cluster_valid(s.L, c) || !set_insert(&seen, c))
            break;
        if (dev_read(s.dev, s.limit, cluster_offset(s.L, c), cs, bm + k * cs) != OK)
            break;
        got = (k + 1) * cs;
        uint32_t next = c + 1;
        if (!noFatChain && k + 1 < clusters && fat_next(s, c, &next) != OK)
            break;
        c = next;
    }
    set_free(&seen);
    s.bitmap = bm;
    s.bitmapBytes = got < length ? got : length;
}

}  // namespace hollin
