/*
 * RIFF containers: AVI (with its AVIX extensions), WAV, WebP, RIFF MIDI
 * and CD-XA (VCD .dat).  The RIFF size gives the end; the top-level chunks
 * must tile it exactly, and the form's own first chunk must be there.
 */
#include "sennet_i.h"

namespace {

const char *const kTypes[] = {"avi", "wav", "webp", "rmi", "dat", nullptr};
constexpr uint64_t kMax = 64 * SN_GiB;

const char *form_type(const uint8_t *p)
{
    if (memcmp(p, "AVI ", 4) == 0)
        return "avi";
    if (memcmp(p, "WAVE", 4) == 0)
        return "wav";
    if (memcmp(p, "WEBP", 4) == 0)
        return "webp";
    if (memcmp(p, "RMID", 4) == 0)
        return "rmi";
    if (memcmp(p, "CDXA", 4) == 0)
        return "dat";
    return nullptr;
}

bool riff_header(sv_view v, sn_hit *hit)
{
    uint32_t size;
    if (!sv_le32(v, 4, &size) || size < 12 || !sv_has(v, 8, 8))
        return false;
    const char *t = form_type(v.data + 8);
    if (!t || !sn_is_alnum4(v.data + 12))
        return false;
    hit->type = t;
    return true;
}

/* Walks the chunks of [at, end); the first must be `first` when given. */
sn_status walk_chunks(sn_src *s, uint64_t at, uint64_t end, const char *first, bool *saw_data,
                      const char *data_id)
{
    bool head = true;
    for (unsigned hops = 0; at < end; hops++) {
        if (hops > 1000000)
            return SN_CORRUPT;
        if (end - at < 8) {
            /* a trailing pad byte is allowed */
            return end - at == 1 ? SN_OK : SN_CORRUPT;
        }
        const uint8_t *p = sn_get(s, at, 8);
        if (!p)
            return sn_fail(s);
        if (!sn_is_alnum4(p))
            return SN_CORRUPT;
        if (head && first && memcmp(p, first, 4) != 0)
            return SN_CORRUPT;
        if (data_id && memcmp(p, data_id, 4) == 0)
            *saw_data = true;
        head = false;
        uint64_t len = sv_ld_le32(p + 4);
        at += 8 + len + (len & 1);
        if (at > end + 1)
            return SN_CORRUPT;
    }
    return SN_OK;
}

sn_status riff_end(sn_src *s, sn_hit *hit)
{
    uint32_t size;
    if (!sn_rd_le32(s, 4, &size))
        return sn_fail(s);
    uint64_t end = 8ull + size;
    if (end > s->limit)
        return SN_CORRUPT;
    const char *t = hit->type;
    bool saw = false;
    sn_status st;
    if (strcmp(t, "avi") == 0) {
        st = walk_chunks(s, 12, end, "LIST", &saw, "LIST");
    } else if (strcmp(t, "wav") == 0) {
        st = walk_chunks(s, 12, end, nullptr, &saw, "fmt ");
        if (st == SN_OK && !saw)
            return SN_CORRUPT;
    } else if (strcmp(t, "webp") == 0) {
        const uint8_t *p = sn_get(s, 12, 4);
        if (!p)
            return sn_fail(s);
        if (memcmp(p, "VP8 ", 4) != 0 && memcmp(p, "VP8L", 4) != 0 && memcmp(p, "VP8X", 4) != 0)
            return SN_CORRUPT;
        st = walk_chunks(s, 12, end, nullptr, &saw, nullptr);
    } else if (strcmp(t, "rmi") == 0) {
        st = walk_chunks(s, 12, end, "data", &saw, nullptr);
    } else {
        st = walk_chunks(s, 12, end, "fmt ", &saw, nullptr);
    }
    if (st != SN_OK)
        return st;
    end += size & 1 ? 1 : 0;
    if (end > s->limit)
        end = 8ull + size;
    /* OpenDML AVI: the data goes on in RIFF AVIX lists right after. */
    if (strcmp(t, "avi") == 0) {
        for (unsigned n = 0; n < 4096; n++) {
            const uint8_t *p = sn_get(s, end, 12);
            if (!p || memcmp(p, "RIFF", 4) != 0 || memcmp(p + 8, "AVIX", 4) != 0)
                break;
            uint64_t x = end + 8ull + sv_ld_le32(p + 4);
            if (x > s->limit)
                break;
            end = x;
        }
    }
    hit->size = end;
    return SN_OK;
}

}  // namespace

extern const sn_format sn_fmt_riff = {
    "avi", kTypes, {'R', 'I', 'F', 'F'}, 4, 0, 'R', kMax, riff_header, riff_end,
};
