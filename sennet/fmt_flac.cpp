/*
 * FLAC: the metadata blocks (STREAMINFO first), then the audio frames.
 * Frames carry no length: each one is walked bit by bit through its
 * subframes (constant, verbatim, fixed and LPC predictors with their
 * Rice-coded residuals) to its exact end, where its CRC-16 must check out.
 * The stream ends when STREAMINFO's total sample count is reached (or, when
 * the total is unknown, with the last frame that is followed by none).
 */
#include "sennet_i.h"

namespace {

const char *const kTypes[] = {"flac", nullptr};
constexpr uint64_t kMax = 4 * SN_GiB;
constexpr uint64_t kMaxFrame = 16 * SN_MiB;

struct Frame {
    unsigned hlen;    /* header length with its CRC-8 */
    uint32_t block;   /* samples in the frame */
    uint64_t number;  /* frame number (fixed) or first sample (variable) */
    bool variable;
    unsigned ch, ss;  /* channel assignment, sample size code */
};

bool frame_header(sn_src *s, uint64_t at, Frame *f)
{
    size_t got;
    const uint8_t *p = sn_get_some(s, at, 16, &got);
    if (!p || got < 6)
        return false;
    if (p[0] != 0xFF || (p[1] & 0xFE) != 0xF8)
        return false;
    unsigned bs = p[2] >> 4, sr = p[2] & 0x0F, ch = p[3] >> 4, ss = (p[3] >> 1) & 7;
    if (bs == 0 || sr == 15 || ch >= 11 || ss == 3 || (p[3] & 1))
        return false;
    unsigned i = 4;
    uint8_t lead = p[i];
    unsigned extra;
    uint64_t num;
    if (lead < 0x80) {
        extra = 0;
        num = lead;
    } else if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        num = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        num = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        num = lead & 0x07;
    } else if ((lead & 0xFC) == 0xF8) {
        extra = 4;
        num = lead & 0x03;
    } else if ((lead & 0xFE) == 0xFC) {
        extra = 5;
        num = lead & 0x01;
    } else if (lead == 0xFE) {
        extra = 6;
        num = 0;
    } else {
        return false;
    }
    i++;
    if (got < i + extra + 4)
        return false;
    for (unsigned k = 0; k < extra; k++, i++) {
        if ((p[i] & 0xC0) != 0x80)
            return false;
        num = (num << 6) | (p[i] & 0x3F);
    }
    uint32_t block;
    if (bs == 1)
        block = 192;
    else if (bs <= 5)
        block = 576u << (bs - 2);
    else if (bs == 6)
        block = p[i++] + 1u;
    else if (bs == 7) {
        block = ((uint32_t)p[i] << 8 | p[i + 1]) + 1u;
        i += 2;
    } else
        block = 256u << (bs - 8);
    if (sr == 12)
        i += 1;
    else if (sr == 13 || sr == 14)
        i += 2;
    if (got < i + 1)
        return false;
    if (sn_crc8_flac(p, i) != p[i])
        return false;
    f->hlen = i + 1;
    f->block = block;
    f->number = num;
    f->variable = p[1] & 1;
    f->ch = ch;
    f->ss = ss;
    return true;
}


/* Big-endian bit reader over the source. */
struct Bits {
    sn_src *s;
    uint64_t pos = 0; /* offset of the next byte to load */
    uint64_t acc = 0;
    int nbits = 0;
    bool fail = false;
    const uint8_t *chunk = nullptr;
    uint64_t chunk_off = 0;
    size_t chunk_len = 0;

    bool load()
    {
        if (!chunk || pos < chunk_off || pos - chunk_off >= chunk_len) {
            chunk = sn_get_some(s, pos, 64 * 1024, &chunk_len);
            chunk_off = pos;
            if (!chunk) {
                fail = true;
                return false;
            }
        }
        acc = (acc << 8) | chunk[pos - chunk_off];
        pos++;
        nbits += 8;
        return true;
    }
    uint32_t get(int n) /* n <= 32 */
    {
        while (nbits < n)
            if (!load())
                return 0;
        uint32_t v = (uint32_t)((acc >> (nbits - n)) & ((n == 32) ? 0xFFFFFFFFull : ((1ull << n) - 1)));
        nbits -= n;
        acc &= nbits ? ((1ull << nbits) - 1) : 0;
        return v;
    }
    void skip(uint64_t n)
    {
        while (n > 32 && !fail) {
            get(32);
            n -= 32;
        }
        if (n && !fail)
            get((int)n);
    }
    /* Count of zero bits before the next one bit (which is consumed). */
    uint32_t unary()
    {
        uint32_t count = 0;
        for (;;) {
            if (nbits == 0 && !load())
                return 0;
            if (acc == 0) {
                count += (uint32_t)nbits;
                nbits = 0;
                if (count > (1u << 20)) {
                    fail = true;
                    return 0;
                }
                continue;
            }
            int hb = 63 - __builtin_clzll(acc);
            count += (uint32_t)(nbits - 1 - hb);
            nbits = hb;
            acc &= nbits ? ((1ull << nbits) - 1) : 0;
            return count;
        }
    }
    uint64_t byte_end() const { return pos - (uint64_t)(nbits / 8); }
};

bool residual(Bits &b, uint32_t block, unsigned order)
{
    unsigned method = b.get(2);
    if (method > 1)
        return false;
    unsigned pbits = method ? 5 : 4, escape = method ? 31 : 15;
    unsigned porder = b.get(4);
    uint32_t parts = 1u << porder;
    if ((block >> porder) < order || (block & (parts - 1)))
        return false;
    for (uint32_t k = 0; k < parts && !b.fail; k++) {
        uint32_t n = (block >> porder) - (k == 0 ? order : 0);
        unsigned param = b.get((int)pbits);
        if (param == escape) {
            unsigned raw = b.get(5);
            b.skip((uint64_t)n * raw);
        } else {
            for (uint32_t i = 0; i < n && !b.fail; i++) {
                b.unary();
                if (param)
                    b.get((int)param);
            }
        }
    }
    return !b.fail;
}

bool subframe(Bits &b, uint32_t block, unsigned bps)
{
    if (b.get(1) != 0)
        return false;
    unsigned type = b.get(6);
    if (b.get(1)) {
        unsigned wasted = b.unary() + 1;
        if (wasted >= bps)
            return false;
        bps -= wasted;
    }
    if (bps == 0 || bps > 33)
        return false;
    if (type == 0) {
        b.skip(bps);
    } else if (type == 1) {
        b.skip((uint64_t)block * bps);
    } else if (type >= 8 && type <= 12) {
        unsigned order = type - 8;
        b.skip((uint64_t)order * bps);
        return residual(b, block, order);
    } else if (type >= 32) {
        unsigned order = type - 31;
        b.skip((uint64_t)order * bps);
        unsigned prec = b.get(4);
        if (prec == 15)
            return false;
        b.get(5);
        b.skip((uint64_t)order * (prec + 1));
        return residual(b, block, order);
    } else {
        return false;
    }
    return !b.fail;
}

/* Walks the subframes of the frame at `at` to its exact end and checks the
 * frame's CRC-16 over it. */
sn_status frame_parse(sn_src *s, uint64_t at, const Frame &f, unsigned stream_bps, uint64_t *fend)
{
    static const unsigned kBps[8] = {0, 8, 12, 0, 16, 20, 24, 32};
    unsigned bps = f.ss ? kBps[f.ss] : stream_bps;
    if (bps == 0)
        return SN_CORRUPT;
    unsigned channels = f.ch < 8 ? f.ch + 1 : 2;
    Bits b;
    b.s = s;
    b.pos = at + f.hlen;
    for (unsigned c = 0; c < channels; c++) {
        unsigned cbps = bps;
        if ((f.ch == 8 && c == 1) || (f.ch == 9 && c == 0) || (f.ch == 10 && c == 1))
            cbps++;
        if (!subframe(b, f.block, cbps))
            return b.fail ? sn_fail(s) : SN_CORRUPT;
    }
    b.nbits -= b.nbits % 8; /* zero padding to a byte */
    uint64_t end = b.byte_end() + 2;
    if (end > s->limit || end - at > kMaxFrame)
        return SN_CORRUPT;
    uint16_t crc = 0;
    for (uint64_t p = at; p < end;) {
        size_t got;
        const uint8_t *d = sn_get_some(s, p, (size_t)(end - p < 65536 ? end - p : 65536), &got);
        if (!d)
            return sn_fail(s);
        crc = sn_crc16_flac(crc, d, got);
        p += got;
    }
    if (crc != 0)
        return SN_CORRUPT;
    *fend = end;
    return SN_OK;
}

}  // namespace

sn_status sn_flac_walk(sn_src *s, uint64_t base, uint64_t *end)
{
    const uint8_t *p = sn_get(s, base, 8);
    if (!p)
        return sn_fail(s);
    if (memcmp(p, "fLaC", 4) != 0 || (p[4] & 0x7F) != 0)
        return SN_CORRUPT;
    uint64_t at = base + 4;
    uint64_t total = 0;
    unsigned stream_bps = 0;
    bool first = true;
    for (unsigned n = 0;; n++) {
        const uint8_t *h = sn_get(s, at, 4);
        if (!h)
            return sn_fail(s);
        unsigned type = h[0] & 0x7F;
        uint32_t len = ((uint32_t)h[1] << 16) | ((uint32_t)h[2] << 8) | h[3];
        if (type == 127 || n > 1000)
            return SN_CORRUPT;
        if (first) {
            if (type != 0 || len != 34)
                return SN_CORRUPT;
            const uint8_t *si = sn_get(s, at + 4, 34);
            if (!si)
                return sn_fail(s);
            uint32_t rate = ((uint32_t)si[10] << 12) | ((uint32_t)si[11] << 4) | (si[12] >> 4);
            if (rate == 0 || rate > 655350)
                return SN_CORRUPT;
            stream_bps = (((si[12] & 1) << 4) | (si[13] >> 4)) + 1;
            total = ((uint64_t)(si[13] & 0x0F) << 32) | sv_ld_be32(si + 14);
            first = false;
        } else if (type == 0) {
            return SN_CORRUPT;
        }
        at += 4ull + len;
        if (h[0] & 0x80)
            break;
    }
    uint64_t samples = 0, frames = 0;
    for (;;) {
        Frame f;
        if (!frame_header(s, at, &f)) {
            if (s->stopped)
                return SN_STOP;
            /* without a total the stream ends with its last whole frame */
            if (!total && frames > 0) {
                *end = at;
                return SN_OK;
            }
            return SN_CORRUPT;
        }
        uint64_t want = f.variable ? samples : frames;
        if (f.number != want)
            return (!total && frames > 0) ? (*end = at, SN_OK) : SN_CORRUPT;
        uint64_t fend;
        sn_status st = frame_parse(s, at, f, stream_bps, &fend);
        if (st != SN_OK)
            return (st == SN_CORRUPT && !total && frames > 0) ? (*end = at, SN_OK) : st;
        samples += f.block;
        frames++;
        at = fend;
        if (total && samples >= total) {
            if (samples != total)
                return SN_CORRUPT;
            *end = at;
            return SN_OK;
        }
    }
}

namespace {

bool flac_header(sv_view v, sn_hit *hit)
{
    uint8_t b;
    uint32_t len;
    if (!sv_u8(v, 4, &b) || (b & 0x7F) != 0 || !sv_be32(v, 4, &len))
        return false;
    return (len & 0xFFFFFF) == 34;
}

sn_status flac_end(sn_src *s, sn_hit *hit)
{
    uint64_t end;
    sn_status st = sn_flac_walk(s, 0, &end);
    if (st == SN_OK)
        hit->size = end;
    return st;
}

}  // namespace

extern const sn_format sn_fmt_flac = {
    "flac", kTypes, {'f', 'L', 'a', 'C'}, 4, 0, 'f', kMax, flac_header, flac_end,
};
