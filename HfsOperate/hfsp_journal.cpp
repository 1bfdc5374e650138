/*
 * The sector walk and the journal scan.
 *
 * The journal is a circular buffer of transactions; each transaction holds
 * whole copies of the metadata blocks it changed, catalog nodes among them,
 * at 512-byte boundaries.  The walk reads the journal in large windows and
 * tests every 512-byte boundary for a leaf-node descriptor; a node that
 * parses is skipped whole, anything else moves on by one sector.
 */
#include "varn_i.h"

#include <cstdlib>
#include <cstring>

/* Bytes read per window; nodes are tested inside it. */
static const uint32_t kWindow = 1u << 20;
/* Node sizes tried when the catalog header node could not be read, most
 * common first. */
static const uint32_t kGuessSizes[] = {4096, 8192, 512, 1024, 2048, 16384, 32768};

/* Reads up to len bytes of the logical stream from pos; returns the number
 * of bytes delivered contiguously from pos (0 when the first one fails). */
static uint32_t read_stream(const hfsp_stream *st, uint64_t pos, uint8_t *buf, uint32_t len)
{
    uint32_t done = 0;
    uint64_t base = 0;
    for (uint32_t i = 0; i < st->count && done < len; i++) {
        const hfsp_segment &sg = st->segments[i];
        uint64_t want_at = pos + done;
        if (want_at >= base + sg.length) {
            base += sg.length;
            continue;
        }
        uint64_t in = want_at - base;
        uint64_t avail = sg.length - in;
        uint32_t n = (uint32_t)(avail < (uint64_t)(len - done) ? avail : (uint64_t)(len - done));
        int32_t got = hfsp_device_read(buf + done, n, sg.offset + in);
        if (got > 0)
            done += (uint32_t)got;
        if (got != (int32_t)n)
            break;
        base += sg.length;
    }
    return done;
}

static uint64_t stream_length(const hfsp_stream *st)
{
    uint64_t total = 0;
    for (uint32_t i = 0; i < st->count; i++)
        total += st->segments[i].length;
    return total;
}

/* Parses the node at p (avail bytes available); returns its size, or 0
 * when no well-formed leaf node starts there. */
static uint32_t try_node(const uint8_t *p, uint64_t avail, uint32_t node_size, hfsp_list *list)
{
    if (node_size) {
        if (avail < node_size)
            return 0;
        return hfsp_parse_leaf(sv_view_make(p, node_size), list, nullptr) == HFSP_OK ? node_size
                                                                                     : 0;
    }
    for (uint32_t n : kGuessSizes) {
        if (avail < n)
            continue;
        /* The cheap part of the leaf check first: record 0 at offset 14. */
        if (sv_ld_be16(p + n - 2) != HFSP_NODE_DESCRIPTOR)
            continue;
        if (hfsp_parse_leaf(sv_view_make(p, n), list, nullptr) == HFSP_OK)
            return n;
    }
    return 0;
}

hfsp_status hfsp_walk_stream(const hfsp_stream *st, uint32_t node_size, hfsp_list *list)
{
    uint64_t total = stream_length(st);
    uint64_t cand = st->candidates < total ? st->candidates : total;
    if (cand == 0)
        return HFSP_OK;
    uint32_t max_node = node_size ? node_size : 32768u;
    uint32_t cap = kWindow + max_node;
    uint8_t *buf = static_cast<uint8_t *>(MALLOC(cap));

    uint64_t win = 0;       /* stream position of buf[0] */
    uint32_t have = 0;      /* valid bytes in buf */
    uint64_t careful = 0;   /* below this position windows are one node long (after a read error) */
    uint64_t s = 0;
    int32_t shown = -1;
    hfsp_status result = HFSP_OK;
    while (s < cand) {
        if (!sv_progress_running()) {
            result = HFSP_STOP;
            break;
        }
        int32_t pct = (int32_t)((double)s * 100.0 / (double)cand);
        if (pct != shown) {
            hfsp_progress_raise(pct);
            shown = pct;
        }
        /* Make sure the window holds the largest node that can start at s
         * (or everything up to the end of the stream). */
        uint64_t left = total - s;
        uint32_t need = (uint32_t)(left < max_node ? left : max_node);
        if (s < win || s - win > have || have - (s - win) < need) {
            uint32_t want = s < careful ? max_node : cap;
            if (want > left)
                want = (uint32_t)left;
            win = s;
            have = read_stream(st, s, buf, want);
            if (have < need && want > max_node) {
                /* Something in this window cannot be read: go through it one
                 * node at a time so that only the damaged part is lost. */
                careful = s + want;
                have = read_stream(st, s, buf, need);
            }
            if (have < HFSP_SECTOR) {
                s += HFSP_SECTOR;
                continue;
            }
        }
        const uint8_t *p = buf + (s - win);
        uint64_t avail = have - (s - win);
        uint32_t used = 0;
        if (avail >= HFSP_SECTOR && hfsp_leaf_sector(p))
            used = try_node(p, avail, node_size, list);
        s += used ? used : (uint32_t)HFSP_SECTOR;
    }
    free(buf);
    return result;
}

/* Journal scan: every catalog record held by a node copy in the journal. */
static void journal_scan(void)
{
    const hfsp_volume *v = g_hfsp.m_stHfs_vh;
    if (!v || !(v->attributes & HFSP_VOL_JOURNALED) || v->journalInfoBlock == 0)
        return;
    uint64_t jib_off = (uint64_t)v->journalInfoBlock * v->blockSize;
    uint8_t sector[HFSP_SECTOR];
    if (hfsp_device_read(sector, sizeof sector, jib_off) != (int32_t)sizeof sector)
        return;
    hfsp_journal_info j;
    if (hfsp_parse_journal_info(sv_view_make(sector, sizeof sector), g_hfsp.volumeBytes, &j) !=
        HFSP_OK)
        return;
    if (hfsp_device_read(sector, sizeof sector, j.offset) == (int32_t)sizeof sector)
        j.headerSize = hfsp_journal_header_size(sv_view_make(sector, sizeof sector), j.size);

    /* The buffer is circular: a node copy that runs past the journal's end
     * continues right after the journal header. */
    hfsp_segment seg[2];
    seg[0].offset = j.offset;
    seg[0].length = j.size;
    uint32_t count = 1;
    if (j.headerSize) {
        seg[1].offset = j.offset + j.headerSize;
        seg[1].length = j.size - j.headerSize;
        if (seg[1].length > HFSP_MAX_NODE)
            seg[1].length = HFSP_MAX_NODE;
        count = 2;
    }
    hfsp_stream st = {seg, count, j.size};
    hfsp_list list = {&g_hfsp.m_stLog, &g_hfsp.m_stLog1, &g_hfsp.journalIds};
    hfsp_walk_stream(&st, g_hfsp.m_nodeSize, &list);
}

extern "C" VARN_EXPORT hfsp_file_list_Journal *hfsp_searchfile(int mode)
{
    g_hfsp.m_Mold = mode;
    if (mode == 1) {
        sv_progress_begin();
        journal_scan();
        hfsp_progress_finish();
        return g_hfsp.m_stLog;
    }
    if (mode == 0)
        hfsp_deep_search(g_hfsp.m_stPartition);
    return nullptr;
}
