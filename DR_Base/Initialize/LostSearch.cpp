/*
 * The search for lost volumes: one pass over a whole device, front to
 * back, in windows of 1 MiB; every 512-byte boundary is looked at for a
 * boot sector (the 0xAA55 signature), an ext superblock (its magic) and an
 * HFS+ volume header.  Each structure gives one or two readings of the
 * volume it belongs to (LostCheck.cpp); readings with the same file
 * system, start and identity are one candidate.  After the pass each
 * candidate's other structures are read, and the candidates are sorted
 * out against each other and the partition table:
 *
 *   - a candidate whose structures agree (its FATs, MFT, boot checksums,
 *     group descriptors or catalog, or two copies of its header) is sound;
 *   - a reading that is not sound is dropped when it rests on a backup
 *     copy alone, or when its structure is explained by a sound reading
 *     (a FAT32 backup sector read as a boot sector of its own);
 *   - two file systems at one start: when both have their first structure
 *     the better one is kept and marked ambiguous (the other shows as an
 *     alternative of its record); else the intact one wins and the other
 *     is kept, marked as overlapping it;
 *   - a volume inside another is kept and marked nested; of two that
 *     overlap in part, the one whose structures agree less is marked.
 */
#include "merrow_i.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <map>
#include <tuple>
#include <vector>

namespace {

/* Bytes looked at per step.  A window that stays in the processor's caches
 * keeps the copy out of the page cache cheap (as the deep scan found). */
constexpr size_t kWindow = 1u << 20;
/* Read with each window, so that a structure at its last boundary is
 * whole: an ext superblock copy is kept with up to 4 KiB after it. */
constexpr size_t kAhead = SV_VOL_BOOT_LEN;
/* Structures and candidates kept: a device full of disk images could
 * hold any number of them; beyond these the search notes truncation. */
constexpr size_t kMaxStructures = 1u << 16;
constexpr size_t kMaxCandidates = 4096;

using Key = std::tuple<int32_t, uint64_t, std::array<uint8_t, 16>>;

struct Candidate {
    sv_hint h;
    uint32_t copies = 0;      /* structures seen that read this way */
    bool primary = false;     /* the volume's first structure was seen */
    bool bytesPrimary = false;
    uint64_t evidence = 0;
    std::vector<uint8_t> bytes;
    int32_t agree = 0;        /* copies + the structures that agree */
    bool sound = false;
    bool keep = true;
    uint32_t flags = 0;
    int32_t within = -1;      /* candidate index, or -2 - listed partition index */
};

struct Structure {
    int32_t cand[2];
    int n;
};

struct Listed {
    uint64_t start, size;
    int32_t families[6];      /* the record's and its alternatives' */
    int nfam;
};

struct Search {
    _Device_List *node = nullptr;
    Physics_Device_Struct *dev = nullptr;
    uint32_t ss = 512;
    std::vector<Candidate> cands;
    std::map<Key, size_t> index;
    std::vector<Structure> structs;
    bool truncated = false;
};

Key key_of(const sv_hint &h)
{
    std::array<uint8_t, 16> k;
    memcpy(k.data(), h.key, 16);
    return Key(sv_fs_family(h.fs), h.start, k);
}

uint64_t end_of(uint64_t start, uint64_t size)
{
    return size > UINT64_MAX - start ? UINT64_MAX : start + size;
}

/* Bytes kept for a structure of this kind: what its record is built from. */
uint32_t kept_len(const Search &s, int kind)
{
    if (kind == SV_LOST_HFSP)
        return 512;
    if (kind == SV_LOST_EXT)
        return 2 * s.ss < SV_VOL_BOOT_LEN ? 2 * s.ss : SV_VOL_BOOT_LEN;
    return s.ss;
}

void note(Search &s, const uint8_t *p, size_t avail, uint64_t at, int kind)
{
    uint32_t need = kind == SV_LOST_EXT ? 1024 : kind == SV_LOST_HFSP ? 512 : s.ss;
    if (avail < need)
        return;
    sv_hint hs[2];
    int n = sv_lost_hints(s.node, sv_view_make(p, need), at, kind, hs);
    if (n == 0)
        return;
    if (s.structs.size() >= kMaxStructures) {
        s.truncated = true;
        return;
    }
    Structure st{{-1, -1}, n};
    uint32_t len = kept_len(s, kind);
    if (len > avail)
        len = (uint32_t)avail;
    for (int i = 0; i < n; i++) {
        Key k = key_of(hs[i]);
        auto it = s.index.find(k);
        size_t c;
        if (it != s.index.end()) {
            c = it->second;
        } else {
            if (s.cands.size() >= kMaxCandidates) {
                s.truncated = true;
                continue;
            }
            c = s.cands.size();
            s.cands.emplace_back();
            s.cands[c].h = hs[i];
            s.index.emplace(k, c);
        }
        Candidate &cd = s.cands[c];
        cd.copies++;
        if (!hs[i].backup)
            cd.primary = true;
        /* The record is built from the first structure when it was seen,
         * else from the first copy. */
        if (cd.bytes.empty() || (!hs[i].backup && !cd.bytesPrimary)) {
            cd.bytes.assign(p, p + len);
            cd.evidence = at;
            cd.bytesPrimary = !hs[i].backup;
            cd.h.fs = hs[i].fs;
        }
        st.cand[i] = (int32_t)c;
    }
    s.structs.push_back(st);
}

/* The gate between pieces of a window read again after an error: a
 * damaged stretch of a failing medium can take long, and a stop or pause
 * must not wait for all of it. */
struct Gate {
    Volume_Search_Gate fn;
    void *context;
    uint64_t total;
    bool stopped;
    bool pass(uint64_t done)
    {
        stopped = stopped || (fn && !fn(context, done, total));
        return !stopped;
    }
};

/* Reads len bytes at off; what cannot be read becomes zeros, in pieces of
 * 64 KiB and then of sectors, so one bad sector hides no more than itself.
 * The bytes not read because of a stop are zeros too. */
uint64_t read_span(Physics_Device_Struct *dev, uint64_t off, uint8_t *buf, size_t len, uint32_t ss, Gate &gate)
{
    if (len == 0)
        return 0;
    int32_t r = sv_dev_read(dev, buf, (uint32_t)len, off);
    if (r >= 0 && (size_t)r == len)
        return 0;
    uint64_t bad = 0;
    const size_t piece = 64 * 1024;
    for (size_t at = 0; at < len; at += piece) {
        size_t n = len - at < piece ? len - at : piece;
        if (!gate.pass(off + at)) {
            memset(buf + at, 0, len - at);
            break;
        }
        r = sv_dev_read(dev, buf + at, (uint32_t)n, off + at);
        if (r >= 0 && (size_t)r == n)
            continue;
        for (size_t s = 0; s < n; s += ss) {
            size_t m = n - s < ss ? n - s : ss;
            r = sv_dev_read(dev, buf + at + s, (uint32_t)m, off + at + s);
            if (r < 0 || (size_t)r != m) {
                memset(buf + at + s, 0, m);
                bad += m;
            }
        }
    }
    return bad;
}

/* The pass: false when nothing could be read at all. */
bool pass(Search &s, Volume_Search_Gate gate, void *context, Volume_Search *out)
{
    const uint64_t total = s.dev->DiskSize;
    auto *buf = static_cast<uint8_t *>(MALLOC(kWindow + kAhead));
    uint64_t pos = 0;
    size_t have = 0; /* bytes at the front of buf already read (the look-ahead) */
    Gate g{gate, context, total, false};
    while (pos < total) {
        size_t want = total - pos < kWindow + kAhead ? (size_t)(total - pos) : kWindow + kAhead;
        if (have > want)
            have = want;
        out->Unreadable += read_span(s.dev, pos + have, buf + have, want - have, s.ss, g);
        if (g.stopped) {
            out->Stopped = 1;
            break;
        }
        size_t scan = want < kWindow ? want : kWindow;
        for (size_t o = 0; o < scan && want - o >= 512; o += 512) {
            const uint8_t *p = buf + o;
            const uint64_t at = pos + o;
            const size_t avail = want - o;
            if (p[510] == 0x55 && p[511] == 0xAA && at % s.ss == 0)
                note(s, p, avail, at, SV_LOST_BOOT);
            if (p[56] == 0x53 && p[57] == 0xEF)
                note(s, p, avail, at, SV_LOST_EXT);
            if (p[0] == 'H' && (p[1] == '+' || p[1] == 'X') && p[2] == 0 && (p[3] == 4 || p[3] == 5))
                note(s, p, avail, at, SV_LOST_HFSP);
        }
        have = want - scan;
        if (have)
            memmove(buf, buf + scan, have);
        pos += scan;
        out->BytesRead = pos;
        if (!g.pass(pos)) {
            out->Stopped = 1;
            break;
        }
    }
    free(buf);
    return total == 0 || out->Unreadable < out->BytesRead;
}

/* The listed partitions of the device, with the families found there. */
std::vector<Listed> listed_partitions(int32_t dev_num)
{
    std::vector<Listed> v;
    for (_Device_List *n = GlobPointerPartiton; n; n = n->next) {
        auto *p = static_cast<Partiton_Struct *>(n->data);
        Listed l{};
        l.start = p->PartOffset;
        l.size = p->PartSize;
        if (p->DevNum == dev_num) {
            l.families[l.nfam++] = sv_fs_family(p->FsType);
            for (int32_t i = 0; l.nfam < 6; i++) {
                Partiton_Struct *alt = Salvitra_GetAlternative(p, i);
                if (!alt)
                    break;
                l.families[l.nfam++] = sv_fs_family(alt->FsType);
            }
        } else {
            l.size = 0; /* another device's: keeps the list index in step */
        }
        v.push_back(l);
    }
    return v;
}

bool contains(uint64_t a_start, uint64_t a_end, uint64_t b_start, uint64_t b_end)
{
    return a_start <= b_start && b_end <= a_end && (a_start < b_start || b_end < a_end);
}

bool overlaps(uint64_t a_start, uint64_t a_end, uint64_t b_start, uint64_t b_end)
{
    return a_start < b_end && b_start < a_end;
}

bool has_key(const sv_hint &h)
{
    for (uint8_t b : h.key)
        if (b)
            return true;
    return false;
}

/* Which of two candidates at one place is the better volume. */
bool better(const Candidate &a, const Candidate &b)
{
    if (a.sound != b.sound)
        return a.sound;
    if (a.primary != b.primary)
        return a.primary;
    if (a.agree != b.agree)
        return a.agree > b.agree;
    return a.h.start < b.h.start;
}

void resolve(Search &s, uint64_t disk_size)
{
    std::vector<Candidate> &c = s.cands;
    for (Candidate &cd : c) {
        int32_t tables = sv_lost_agree(s.node, &cd.h, cd.bytes.data());
        cd.agree = (int32_t)cd.copies + tables;
        cd.sound = tables > 0 || cd.copies >= 2;
    }
    /* A structure one sound reading explains is not evidence for another. */
    for (const Structure &st : s.structs) {
        bool explained = false;
        for (int i = 0; i < st.n; i++)
            explained = explained || (st.cand[i] >= 0 && c[(size_t)st.cand[i]].sound);
        for (int i = 0; i < st.n && explained; i++)
            if (st.cand[i] >= 0 && !c[(size_t)st.cand[i]].sound)
                c[(size_t)st.cand[i]].keep = false;
    }
    for (Candidate &cd : c)
        if (!cd.sound && !cd.primary)
            cd.keep = false;
    /* A copy of a volume's structure kept inside that same volume (an ext
     * journal logs its superblock, for one) is no volume of its own. */
    for (Candidate &x : c) {
        if (!x.keep || !has_key(x.h))
            continue;
        for (const Candidate &y : c) {
            if (&y == &x || !y.sound || y.h.start == x.h.start || sv_fs_family(y.h.fs) != sv_fs_family(x.h.fs) ||
                memcmp(y.h.key, x.h.key, sizeof x.h.key) != 0)
                continue;
            if (x.evidence >= y.h.start && x.evidence - y.h.start < y.h.size && better(y, x)) {
                x.keep = false;
                break;
            }
        }
    }

    /* Two file systems at one start. */
    for (size_t i = 0; i < c.size(); i++) {
        for (size_t j = i + 1; j < c.size() && c[i].keep; j++) {
            if (!c[j].keep || c[j].h.start != c[i].h.start)
                continue;
            size_t win = better(c[i], c[j]) ? i : j, lose = win == i ? j : i;
            if (c[i].primary && c[j].primary && sv_fs_family(c[i].h.fs) != sv_fs_family(c[j].h.fs)) {
                c[win].flags |= SV_VOL_AMBIGUOUS;
                c[lose].keep = false;
            } else {
                c[lose].flags |= SV_VOL_OVERLAP;
                c[lose].within = (int32_t)win;
            }
        }
    }

    std::vector<Listed> listed = listed_partitions(sv_node_dev(s.node)->DevNum);
    for (size_t i = 0; i < c.size(); i++) {
        Candidate &cd = c[i];
        if (!cd.keep)
            continue;
        uint64_t end = end_of(cd.h.start, cd.h.size);
        if (end > disk_size)
            cd.flags |= SV_VOL_PAST_END;
        for (size_t t = 0; t < listed.size() && !(cd.flags & SV_VOL_IN_TABLE); t++) {
            const Listed &l = listed[t];
            if (l.size == 0 || l.start != cd.h.start)
                continue;
            for (int f = 0; f < l.nfam; f++)
                if (l.families[f] == sv_fs_family(cd.h.fs)) {
                    cd.flags |= SV_VOL_IN_TABLE;
                    cd.within = -2 - (int32_t)t;
                }
        }
    }
    /* Inside another volume (a listed one, or a sound one found here). */
    for (size_t i = 0; i < c.size(); i++) {
        Candidate &cd = c[i];
        if (!cd.keep || (cd.flags & (SV_VOL_IN_TABLE | SV_VOL_OVERLAP)))
            continue;
        uint64_t end = end_of(cd.h.start, cd.h.size);
        uint64_t best = UINT64_MAX;
        for (size_t t = 0; t < listed.size(); t++) {
            const Listed &l = listed[t];
            uint64_t lend = end_of(l.start, l.size);
            if (l.size && contains(l.start, lend, cd.h.start, end) && l.size < best) {
                best = l.size;
                cd.within = -2 - (int32_t)t;
            }
        }
        for (size_t j = 0; j < c.size(); j++) {
            const Candidate &o = c[j];
            if (j == i || !o.keep || !o.sound || (o.flags & (SV_VOL_IN_TABLE | SV_VOL_OVERLAP)))
                continue;
            if (contains(o.h.start, end_of(o.h.start, o.h.size), cd.h.start, end) && o.h.size < best) {
                best = o.h.size;
                cd.within = (int32_t)j;
            }
        }
        if (best != UINT64_MAX)
            cd.flags |= SV_VOL_NESTED;
    }
    /* Overlapping in part: the weaker one is marked. */
    for (size_t i = 0; i < c.size(); i++) {
        Candidate &cd = c[i];
        if (!cd.keep || (cd.flags & (SV_VOL_IN_TABLE | SV_VOL_OVERLAP | SV_VOL_NESTED)))
            continue;
        uint64_t end = end_of(cd.h.start, cd.h.size);
        for (size_t t = 0; t < listed.size() && !(cd.flags & SV_VOL_OVERLAP); t++) {
            const Listed &l = listed[t];
            if (l.size && overlaps(l.start, end_of(l.start, l.size), cd.h.start, end)) {
                cd.flags |= SV_VOL_OVERLAP;
                cd.within = -2 - (int32_t)t;
            }
        }
        for (size_t j = 0; j < c.size() && !(cd.flags & SV_VOL_OVERLAP); j++) {
            const Candidate &o = c[j];
            if (j == i || !o.keep || (o.flags & (SV_VOL_IN_TABLE | SV_VOL_OVERLAP | SV_VOL_NESTED)))
                continue;
            if (overlaps(o.h.start, end_of(o.h.start, o.h.size), cd.h.start, end) &&
                !contains(cd.h.start, end, o.h.start, end_of(o.h.start, o.h.size)) && better(o, cd)) {
                cd.flags |= SV_VOL_OVERLAP;
                cd.within = (int32_t)j;
            }
        }
    }
}

/* The search's records, in the order of their offsets. */
void emit(Search &s, Volume_Search *out)
{
    std::vector<size_t> order;
    for (size_t i = 0; i < s.cands.size(); i++)
        if (s.cands[i].keep)
            order.push_back(i);
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const Candidate &x = s.cands[a], &y = s.cands[b];
        return x.h.start != y.h.start ? x.h.start < y.h.start : better(x, y);
    });
    std::vector<int32_t> slot(s.cands.size(), -1);
    auto *v = static_cast<Found_Volume *>(MALLOC(sizeof(Found_Volume) * (order.size() + 1)));
    uint32_t n = 0;
    for (size_t i : order) {
        const Candidate &cd = s.cands[i];
        Found_Volume &f = v[n];
        memset(&f, 0, sizeof f);
        f.DevNum = sv_node_dev(s.node)->DevNum;
        f.FsType = cd.h.fs;
        f.Offset = cd.h.start;
        f.Size = cd.h.size;
        f.Evidence = cd.evidence;
        f.Flags = cd.flags | (cd.primary ? SV_VOL_PRIMARY : 0) | (cd.copies > (cd.primary ? 1u : 0u) ? SV_VOL_BACKUP : 0);
        f.Agree = cd.agree;
        f.Within = cd.within;
        f.BootLen = (uint32_t)std::min<size_t>(cd.bytes.size(), SV_VOL_BOOT_LEN);
        memcpy(f.Boot, cd.bytes.data(), f.BootLen);
        /* The name and description as the record will have them. */
        Partiton_Struct *rec = sv_found_record(s.node, &f);
        if (!rec)
            continue;
        f.FsType = rec->FsType;
        memcpy(f.VolumeName, rec->VolumeName, sizeof f.VolumeName);
        memcpy(f.FsInfo, rec->FsInfo, sizeof f.FsInfo);
        sv_free_record(rec);
        slot[i] = (int32_t)n++;
    }
    for (uint32_t k = 0; k < n; k++)
        if (v[k].Within >= 0)
            v[k].Within = slot[(size_t)v[k].Within];
    out->Volumes = v;
    out->Count = n;
}

}  // namespace

int32_t sv_search_volumes(_Device_List *node, Volume_Search_Gate gate, void *context, Volume_Search *out)
{
    if (!out)
        return -1;
    memset(out, 0, sizeof *out);
    Physics_Device_Struct *dev = sv_node_dev(node);
    if (!dev || !dev->Ops || !dev->Ops->read || !sv_sector_size_ok(dev))
        return -1;
    Search s;
    s.node = node;
    s.dev = dev;
    s.ss = (uint32_t)dev->SectorSize;
    if (!pass(s, gate, context, out))
        return -1;
    out->Truncated = s.truncated ? 1 : 0;
    resolve(s, dev->DiskSize);
    emit(s, out);
    return 0;
}

extern "C" MERROW_EXPORT int32_t Salvitra_SearchVolumes(int32_t devNum, Volume_Search_Gate gate, void *context,
                                                        Volume_Search *out)
{
    _Device_List *node = sv_device_node(devNum);
    if (!node) {
        if (out)
            memset(out, 0, sizeof *out);
        return -1;
    }
    return sv_search_volumes(node, gate, context, out);
}

extern "C" MERROW_EXPORT void Salvitra_FreeSearch(Volume_Search *search)
{
    if (!search)
        return;
    free(search->Volumes);
    memset(search, 0, sizeof *search);
}
