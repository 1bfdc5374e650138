/*
 * jbd2 journal reader: ring walk, copies per volume block, in-memory replay.
 */
#include "ext_journal.h"

#include <algorithm>
#include <cstring>
#include <sys/mman.h>
#include <unordered_map>
#include <unordered_set>

#include "ext_filemap.h"
#include "sv_bytes.h"

namespace {

struct MetaBlock {
    uint32_t pos;
    uint32_t type;
    uint32_t seq;
    uint32_t dataBlocks;  /* descriptor: ring slots its tags take */
};

struct Revoke {
    uint64_t fsBlock;
    uint32_t seq;
};

ExtStatus raw_meta_read(void *ctx, uint64_t block, uint8_t *buf)
{
    return ext_read_block_raw(static_cast<const ExtVolume *>(ctx), block, buf);
}

/* The journal inode, read from the medium itself. */
bool read_inode_raw(const ExtVolume *vol, uint32_t n, std::vector<uint8_t> *out)
{
    if (n == 0 || n > vol->inodesCount)
        return false;
    uint32_t group = (n - 1) / vol->inodesPerGroup;
    uint32_t index = (n - 1) % vol->inodesPerGroup;
    uint64_t table = ext_group_inode_table(vol, group);
    if (table == 0)
        return false;
    std::vector<uint8_t> block(vol->m_nBlockSizeInBytes);
    if (ext_read_block_raw(vol, table + index / vol->m_nInodesPerBlock, block.data()) != EXT_OK)
        return false;
    size_t off = (size_t)(index % vol->m_nInodesPerBlock) * vol->m_nInodeSize;
    out->assign(block.begin() + (ptrdiff_t)off, block.begin() + (ptrdiff_t)(off + vol->m_nInodeSize));
    return true;
}

int64_t age_of(const ExtJournal *j, uint32_t seq)
{
    return (int64_t)(int32_t)(seq - j->sequence);
}

uint32_t tag_bytes(uint32_t incompat)
{
    if (incompat & JBD2_FEATURE_INCOMPAT_CSUM_V3)
        return 16;
    uint32_t sz = 12;
    if (incompat & JBD2_FEATURE_INCOMPAT_CSUM_V2)
        sz += 2;
    return (incompat & JBD2_FEATURE_INCOMPAT_64BIT) ? sz : sz - 4;
}

bool has_tail(uint32_t incompat)
{
    return (incompat & (JBD2_FEATURE_INCOMPAT_CSUM_V2 | JBD2_FEATURE_INCOMPAT_CSUM_V3)) != 0;
}

/* The ring slot k places after pos. */
uint32_t ring_next(const ExtJournal *j, uint32_t pos, uint64_t k)
{
    uint64_t ring = j->maxlen - j->first;
    return j->first + (uint32_t)(((uint64_t)(pos - j->first) + k) % ring);
}

/* Walks the tags of a descriptor block, calling fn(k, fsBlock, escaped)
 * for the k-th data block; returns the number of data blocks. */
template <typename Fn>
uint32_t walk_tags(const ExtJournal *j, const uint8_t *blk, Fn fn)
{
    const uint32_t bs = j->vol->m_nBlockSizeInBytes;
    const uint32_t limit = bs - (has_tail(j->incompat) ? 4 : 0);
    const bool v3 = (j->incompat & JBD2_FEATURE_INCOMPAT_CSUM_V3) != 0;
    const bool b64 = (j->incompat & JBD2_FEATURE_INCOMPAT_64BIT) != 0;
    const uint32_t ringSlots = j->maxlen - j->first;
    uint32_t off = 12, k = 0;
    while (off <= limit && limit - off >= j->tagBytes && k + 1 < ringSlots) {
        const uint8_t *t = blk + off;
        uint64_t fs = sv_ld_be32(t);
        uint32_t flags, csum;
        if (v3) {
            flags = sv_ld_be32(t + 4);
            if (b64)
                fs |= (uint64_t)sv_ld_be32(t + 8) << 32;
            csum = sv_ld_be32(t + 12);
        } else {
            flags = sv_ld_be16(t + 6);
            if (b64)
                fs |= (uint64_t)sv_ld_be32(t + 8) << 32;
            csum = sv_ld_be16(t + 4);
        }
        fn(k, fs, (flags & JBD2_FLAG_ESCAPE) != 0, csum);
        k++;
        off += j->tagBytes;
        if (!(flags & JBD2_FLAG_SAME_UUID))
            off += 16;
        if (flags & JBD2_FLAG_LAST_TAG)
            break;
    }
    return k;
}

void walk_revokes(const ExtJournal *j, const uint8_t *blk, uint32_t seq, std::vector<Revoke> *out)
{
    const uint32_t bs = j->vol->m_nBlockSizeInBytes;
    uint32_t used = sv_ld_be32(blk + 12);
    uint32_t limit = bs - (has_tail(j->incompat) ? 4 : 0);
    if (used > limit)
        used = limit;
    const uint32_t rsz = (j->incompat & JBD2_FEATURE_INCOMPAT_64BIT) ? 8 : 4;
    for (uint32_t off = 16; off <= used && used - off >= rsz; off += rsz) {
        uint64_t fs = rsz == 8 ? sv_ld_be64(blk + off) : sv_ld_be32(blk + off);
        out->push_back(Revoke{fs, seq});
    }
}

bool has_block_csum(uint32_t incompat)
{
    return has_tail(incompat);
}

bool by_block_newest(const ExtJournalCopy &a, const ExtJournalCopy &b)
{
    if (a.fsBlock != b.fsBlock)
        return a.fsBlock < b.fsBlock;
    if (a.age != b.age)
        return a.age > b.age;
    return a.pos > b.pos;
}

}  // namespace

bool ExtRingMemory::reserve(size_t bytes)
{
    release();
    if (bytes == 0)
        return false;
    // Whole large pages: a journal of tens of MiB then costs tens of page
    // faults instead of thousands.
    const size_t huge = 2u << 20;
    size_t len = (bytes + huge - 1) / huge * huge;
    void *p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return false;
#ifdef MADV_HUGEPAGE
    madvise(p, len, MADV_HUGEPAGE);
#endif
    data_ = static_cast<uint8_t *>(p);
    size_ = bytes;
    mapped_ = len;
    return true;
}

void ExtRingMemory::release()
{
    if (data_)
        munmap(data_, mapped_);
    data_ = nullptr;
    size_ = mapped_ = 0;
}

ExtJournalCheck ext_journal_open(ExtJournal *j, const ExtVolume *vol)
{
    j->vol = vol;
    j->where.clear();
    j->copies.clear();
    j->replay.clear();
    j->store.release();
    j->storeOk.clear();
    j->blocksRead = 0;
    if (!(vol->featureCompat & EXT_FEATURE_COMPAT_HAS_JOURNAL) || !vol->m_stSuperBlock)
        return EXT_JOURNAL_NONE;
    uint32_t inum = sv_ld_le32(vol->m_stSuperBlock + 0xE0);
    if (inum == 0)
        return EXT_JOURNAL_NONE;  /* an external journal device */
    std::vector<uint8_t> inode;
    if (!read_inode_raw(vol, inum, &inode))
        return EXT_JOURNAL_INODE;
    const uint32_t bs = vol->m_nBlockSizeInBytes;
    uint64_t blocks = ext_block_count(vol, ext_inode_size(inode.data()));
    if (blocks < 2)
        return EXT_JOURNAL_INODE;
    /* The journal file lies on the volume: no larger than it. */
    if (blocks > EXT_JOURNAL_MAX_BLOCKS)
        blocks = EXT_JOURNAL_MAX_BLOCKS;
    if (blocks > vol->readableBlocks)
        blocks = vol->readableBlocks;
    std::vector<ExtRun> runs;
    ExtMapStats stats;
    ext_map_inode(vol, inode.data(), blocks, raw_meta_read, const_cast<ExtVolume *>(vol), &runs, &stats);
    j->where.assign(blocks, 0);
    for (const ExtRun &r : runs)
        for (uint32_t i = 0; i < r.count && r.logical + i < blocks; i++)
            j->where[r.logical + i] = r.physical + i;
    if (j->where[0] == 0)
        return EXT_JOURNAL_INODE;

    std::vector<uint8_t> blk(bs);
    j->blocksRead++;
    if (ext_read_block_raw(vol, j->where[0], blk.data()) != EXT_OK)
        return EXT_JOURNAL_SUPER;
    uint32_t type = sv_ld_be32(blk.data() + 4);
    if (sv_ld_be32(blk.data()) != JBD2_MAGIC || (type != JBD2_SUPERBLOCK_V1 && type != JBD2_SUPERBLOCK_V2))
        return EXT_JOURNAL_SUPER;
    uint32_t jbs = sv_ld_be32(blk.data() + 0x0C);
    uint32_t maxlen = sv_ld_be32(blk.data() + 0x10);
    uint32_t first = sv_ld_be32(blk.data() + 0x14);
    j->sequence = sv_ld_be32(blk.data() + 0x18);
    j->start = sv_ld_be32(blk.data() + 0x1C);
    j->incompat = type == JBD2_SUPERBLOCK_V2 ? sv_ld_be32(blk.data() + 0x28) : 0;
    if (jbs != bs)
        return EXT_JOURNAL_GEOMETRY;
    /* A ring larger than the journal file holds only what the file has. */
    if (maxlen > blocks)
        maxlen = (uint32_t)blocks;
    /* Fast-commit blocks sit at the end, outside the ring. */
    if (j->incompat & JBD2_FEATURE_INCOMPAT_FAST_COMMIT) {
        uint32_t fc = sv_ld_be32(blk.data() + 0x54);
        if (fc == 0)
            fc = JBD2_DEFAULT_FAST_COMMIT_BLOCKS;
        if (fc >= maxlen)
            return EXT_JOURNAL_GEOMETRY;
        maxlen -= fc;
    }
    if (first == 0 || first >= maxlen || maxlen - first < 2)
        return EXT_JOURNAL_GEOMETRY;
    if (j->start != 0 && (j->start < first || j->start >= maxlen))
        j->start = 0;  /* a start outside the ring: nothing can be replayed */
    j->first = first;
    j->maxlen = maxlen;
    j->tagBytes = tag_bytes(j->incompat);
    j->csumSeed = ext_crc32c(0xFFFFFFFFu, blk.data() + 0x30, 16);

    /* Pass 1: every block of the ring, read once.  A journal of moderate
     * size is read straight into memory, so that the copies it holds are
     * never read from the medium again. */
    const uint32_t ringSlots = maxlen - first;
    std::vector<MetaBlock> metas;
    std::vector<ExtJournalCopy> claims;
    std::vector<Revoke> revokes;
    const size_t claimCap = (size_t)ringSlots * 4 + 1024;
    const uint32_t window = std::max<uint32_t>(1, (1u << 20) / bs);
    const bool keep = (uint64_t)ringSlots * bs <= EXT_JOURNAL_KEEP_BYTES && j->store.reserve((size_t)ringSlots * bs);
    std::vector<uint8_t> buf(keep ? 0 : (size_t)window * bs);
    std::vector<uint8_t> readOk(keep ? ringSlots : 0, 0);
    Physics_Device_Struct *dev = vol->m_stPartition->Device;
    for (uint32_t pos = first; pos < maxlen;) {
        /* Read as many slots as lie one after another on the volume. */
        uint32_t n = 1;
        uint64_t at = j->where[pos];
        while (n < window && pos + n < maxlen && at != 0 && j->where[pos + n] == at + n &&
               ext_block_valid(vol, at + n))
            n++;
        uint8_t *dst = keep ? j->store.data() + (size_t)(pos - first) * bs : buf.data();
        bool whole = at != 0 && ext_block_valid(vol, at) &&
                     sv_dev_read(dev, dst, n * bs, at * bs) == (int32_t)(n * bs);
        j->blocksRead += whole ? n : 1;
        if (!whole) {
            n = 1;
            if (ext_read_block_raw(vol, at, dst) != EXT_OK) {
                memset(dst, 0, bs);
                pos++;
                continue;
            }
        }
        if (keep)
            memset(readOk.data() + (pos - first), 1, n);
        for (uint32_t i = 0; i < n; i++) {
            const uint8_t *b = dst + (size_t)i * bs;
            uint32_t p = pos + i;
            if (sv_ld_be32(b) != JBD2_MAGIC)
                continue;
            uint32_t btype = sv_ld_be32(b + 4), seq = sv_ld_be32(b + 8);
            if (btype == JBD2_DESCRIPTOR_BLOCK) {
                MetaBlock m{p, btype, seq, 0};
                m.dataBlocks = walk_tags(j, b, [&](uint32_t k, uint64_t fs, bool esc, uint32_t csum) {
                    if (claims.size() >= claimCap || !ext_block_valid(vol, fs))
                        return;
                    claims.push_back(ExtJournalCopy{fs, age_of(j, seq), ring_next(j, p, 1 + (uint64_t)k),
                                                    seq, csum, (uint8_t)(esc ? 1 : 0), 0});
                });
                metas.push_back(m);
            } else if (btype == JBD2_COMMIT_BLOCK) {
                metas.push_back(MetaBlock{p, btype, seq, 0});
            } else if (btype == JBD2_REVOKE_BLOCK) {
                metas.push_back(MetaBlock{p, btype, seq, 0});
                if (revokes.size() < claimCap)
                    walk_revokes(j, b, seq, &revokes);
            }
        }
        pos += n;
    }

    /* Pass 2: who owns each slot now.  A slot that holds a descriptor,
     * commit or revoke block holds just that (jbd2 escapes data blocks
     * that would look like one); any other slot holds the data of the
     * newest transaction that claims it, committed or not. */
    std::vector<int64_t> ownerAge(ringSlots, INT64_MIN);
    std::vector<uint8_t> ownerMeta(ringSlots, 0);
    for (const MetaBlock &m : metas) {
        uint32_t s = m.pos - first;
        ownerAge[s] = age_of(j, m.seq);
        ownerMeta[s] = 1;
    }
    for (const ExtJournalCopy &c : claims) {
        uint32_t s = c.pos - first;
        if (!ownerMeta[s] && c.age > ownerAge[s]) {
            ownerAge[s] = c.age;
            ownerMeta[s] = 0;
        }
    }
    std::unordered_set<uint32_t> committed;
    for (const MetaBlock &m : metas)
        if (m.type == JBD2_COMMIT_BLOCK)
            committed.insert(m.seq);
    j->transactions = (uint32_t)committed.size();
    for (const ExtJournalCopy &c : claims) {
        uint32_t s = c.pos - first;
        if (ownerMeta[s] || ownerAge[s] != c.age || !committed.count(c.seq))
            continue;
        j->copies.push_back(c);
    }
    std::sort(j->copies.begin(), j->copies.end(), by_block_newest);
    /* A slot claimed twice by one transaction (a hostile descriptor): once. */
    j->copies.erase(std::unique(j->copies.begin(), j->copies.end(),
                                [](const ExtJournalCopy &a, const ExtJournalCopy &b) {
                                    return a.fsBlock == b.fsBlock && a.pos == b.pos;
                                }),
                    j->copies.end());

    /* The blocks of committed copies are read from memory from now on. */
    if (keep) {
        j->storeOk.assign(ringSlots, 0);
        for (const ExtJournalCopy &c : j->copies)
            j->storeOk[c.pos - first] = readOk[c.pos - first];
    }

    /* Pass 3: the transactions recovery would replay, from s_start on. */
    if (j->start == 0 || !(vol->featureIncompat & EXT_FEATURE_INCOMPAT_RECOVER))
        return EXT_JOURNAL_OK;
    std::unordered_map<uint32_t, const MetaBlock *> metaAt;
    for (const MetaBlock &m : metas)
        metaAt[m.pos] = &m;
    uint32_t expect = j->sequence, pos = j->start;
    for (uint64_t steps = 0; steps < ringSlots;) {
        auto it = metaAt.find(pos);
        if (it == metaAt.end() || it->second->seq != expect)
            break;
        const MetaBlock &m = *it->second;
        uint64_t adv = 1 + (m.type == JBD2_DESCRIPTOR_BLOCK ? m.dataBlocks : 0);
        if (m.type == JBD2_COMMIT_BLOCK)
            expect++;
        steps += adv;
        pos = ring_next(j, pos, adv);
    }
    const int64_t endAge = age_of(j, expect);
    j->replayed = expect - j->sequence;
    std::unordered_map<uint64_t, uint32_t> revokedAt;  /* newest revoking sequence per block */
    for (const Revoke &r : revokes) {
        int64_t a = age_of(j, r.seq);
        if (a < 0 || a >= endAge)
            continue;
        auto it = revokedAt.find(r.fsBlock);
        if (it == revokedAt.end() || age_of(j, r.seq) > age_of(j, it->second))
            revokedAt[r.fsBlock] = r.seq;
    }
    for (const ExtJournalCopy &c : j->copies) {
        if (c.age < 0 || c.age >= endAge)
            continue;
        if (!j->replay.empty() && j->replay.back().fsBlock == c.fsBlock)
            continue;  /* copies come newest first */
        auto it = revokedAt.find(c.fsBlock);
        if (it != revokedAt.end() && age_of(j, it->second) >= c.age)
            continue;
        j->replay.push_back(c);
    }
    return EXT_JOURNAL_OK;
}

size_t ext_journal_find(const ExtJournal *j, uint64_t fsBlock, const ExtJournalCopy **first)
{
    *first = nullptr;
    auto lo = std::lower_bound(j->copies.begin(), j->copies.end(), fsBlock,
                               [](const ExtJournalCopy &c, uint64_t b) { return c.fsBlock < b; });
    auto hi = lo;
    while (hi != j->copies.end() && hi->fsBlock == fsBlock)
        ++hi;
    if (lo == hi)
        return 0;
    *first = &*lo;
    return (size_t)(hi - lo);
}

ExtStatus ext_journal_read_copy(const ExtJournal *j, const ExtJournalCopy *c, uint8_t *buf)
{
    if (c->pos >= j->where.size())
        return EXT_CORRUPT;
    const uint32_t bs = j->vol->m_nBlockSizeInBytes;
    ExtStatus st = EXT_OK;
    uint32_t slot = c->pos - j->first;
    if (c->pos >= j->first && slot < j->storeOk.size() && j->storeOk[slot]) {
        memcpy(buf, j->store.data() + (size_t)slot * bs, bs);
    } else {
        const_cast<ExtJournal *>(j)->blocksRead++;
        st = ext_read_block_raw(j->vol, j->where[c->pos], buf);
    }
    if (st == EXT_OK && has_block_csum(j->incompat)) {
        /* The checksum covers the sequence number, then the block as the
         * journal holds it (escaped); it is computed once per copy. */
        auto *cc = const_cast<ExtJournalCopy *>(c);
        if (cc->verdict == 0) {
            uint8_t seq[4] = {(uint8_t)(c->seq >> 24), (uint8_t)(c->seq >> 16), (uint8_t)(c->seq >> 8),
                              (uint8_t)c->seq};
            uint32_t crc = ext_crc32c(ext_crc32c(j->csumSeed, seq, 4), buf, bs);
            bool v3 = (j->incompat & JBD2_FEATURE_INCOMPAT_CSUM_V3) != 0;
            bool good = v3 ? crc == c->csum : (crc & 0xFFFF) == c->csum;
            cc->verdict = good ? 1 : 2;
            if (!good)
                const_cast<ExtJournal *>(j)->badChecksums++;
        }
        if (cc->verdict == 2)
            return EXT_CORRUPT;
    }
    if (st == EXT_OK && c->escaped) {
        buf[0] = 0xC0;
        buf[1] = 0x3B;
        buf[2] = 0x39;
        buf[3] = 0x98;
    }
    return st;
}

bool ext_journal_overlay(const void *ctx, uint64_t block, uint8_t *buf, ExtStatus *st)
{
    const ExtJournal *j = static_cast<const ExtJournal *>(ctx);
    auto it = std::lower_bound(j->replay.begin(), j->replay.end(), block,
                               [](const ExtJournalCopy &c, uint64_t b) { return c.fsBlock < b; });
    if (it == j->replay.end() || it->fsBlock != block)
        return false;
    ExtStatus r = ext_journal_read_copy(j, &*it, buf);
    if (r == EXT_CORRUPT)
        return false;  /* recovery would not replay a copy that fails its checksum */
    *st = r;
    return true;
}
