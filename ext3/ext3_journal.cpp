/*
 * Deleted files of ext3/ext4 volumes brought back from the journal.
 *
 * 1. Inodes: every journal copy of an inode-table block is compared with
 *    the block as it is now.  An inode that is deleted now (no links, a
 *    deletion time) and in use in a copy, with the same generation and
 *    file type, is taken from the newest such copy.
 * 2. Data: the copy's block map or extent tree is walked; pointer blocks
 *    and tree nodes are taken as they were at that transaction (the newest
 *    journal copy not newer than the inode copy, else the medium).  Blocks
 *    the current block bitmap marks as used belong to another file now and
 *    are not read.
 * 3. Names: the entries the name walk found, then every version of every
 *    directory block the journal holds, stepped over by name length so
 *    that merged entries count too.  Folders of deleted folders are named
 *    the same way, up to a live folder or the root.
 *
 * Inodes the journal holds no earlier copy of are read in place: a
 * deleted inode (free in the inode bitmap, with a deletion time) that
 * still carries its block pointers or extents (older kernels, debugfs,
 * a crash before they were cleared) is mapped as it lies, as the ext2
 * scanner does; blocks in use again are not read, and an inode none of
 * whose blocks is free is passed over.  This also serves volumes without
 * a journal.
 */
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "ext3_i.h"
#include "sv_bytes.h"

namespace {

enum : uint8_t { FT_REG_FILE = 1, FT_DIR = 2, FT_SYMLINK = 7 };

/* Raises the progress value to `want` while it is below it and below
 * `ceiling`; a stop request (200) or a finish (100) set meanwhile by
 * another thread is never overwritten. */
void progress_raise(int32_t want, int32_t ceiling)
{
    int32_t cur = sv_progress_get();
    while (cur < want && cur < ceiling) {
        if (__atomic_compare_exchange_n(&ExportsData, &cur, want, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
            break;
    }
}


/* Inode numbers below this are reserved (s_first_ino on revision 1). */
uint32_t first_inode(const ExtVolume *vol)
{
    if (vol->revLevel == 0)
        return 11;
    uint32_t f = sv_ld_le32(vol->m_stSuperBlock + 0x54);
    return f < 11 ? 11 : f;
}

uint16_t type_of(const uint8_t *inode)
{
    return ext_inode_mode(inode) & EXT_S_IFMT;
}

int64_t time_or_unknown(uint32_t t)
{
    return t ? (int64_t)t : -1;
}

/* Inode-table extents of all groups, sorted, for "is this block part of an
 * inode table, and which inodes does it hold". */
struct TableIndex {
    struct Table {
        uint64_t start;
        uint32_t group;
    };
    std::vector<Table> tables;
    uint32_t blocks = 0;

    void build(const ExtVolume *vol)
    {
        blocks = ext_inode_table_blocks(vol);
        for (uint32_t g = 0; g < vol->m_nGroupCount; g++) {
            uint64_t t = ext_group_inode_table(vol, g);
            if (t != 0 && ext_block_valid(vol, t))
                tables.push_back(Table{t, g});
        }
        std::sort(tables.begin(), tables.end(),
                  [](const Table &a, const Table &b) { return a.start < b.start; });
    }
    /* The group and block index of block b inside its inode table. */
    bool find(uint64_t b, uint32_t *group, uint32_t *index) const
    {
        auto it = std::upper_bound(tables.begin(), tables.end(), b,
                                   [](uint64_t v, const Table &t) { return v < t.start; });
        if (it == tables.begin())
            return false;
        --it;
        if (b - it->start >= blocks)
            return false;
        *group = it->group;
        *index = (uint32_t)(b - it->start);
        return true;
    }
};

/* Which blocks are in use now, one bitmap block per group, cached. */
struct BlockBitmap {
    const ExtVolume *vol;
    std::unordered_map<uint32_t, std::vector<uint8_t>> cache;

    /* True when block b is marked as used (unreadable bitmaps count as used:
     * nothing is claimed free without proof). */
    bool used(uint64_t b)
    {
        if (b < vol->firstDataBlock)
            return true;
        uint64_t rel = b - vol->firstDataBlock;
        uint64_t g = rel / vol->blocksPerGroup;
        if (g >= vol->m_nGroupCount)
            return true;
        auto it = cache.find((uint32_t)g);
        if (it == cache.end()) {
            if (cache.size() > 4096)
                cache.clear();
            std::vector<uint8_t> bits;
            if (ext_group_flags(vol, (uint32_t)g) & EXT_BG_BLOCK_UNINIT) {
                bits.assign(vol->m_nBlockSizeInBytes, 0);
            } else {
                bits.assign(vol->m_nBlockSizeInBytes, 0xFF);
                uint64_t bm = ext_group_block_bitmap(vol, (uint32_t)g);
                if (__ext2_ReadBlock(vol, bm, bits.data()) != EXT_OK)
                    std::fill(bits.begin(), bits.end(), 0xFF);
            }
            it = cache.emplace((uint32_t)g, std::move(bits)).first;
        }
        uint64_t bit = rel % vol->blocksPerGroup;
        return (it->second[bit / 8] >> (bit % 8)) & 1;
    }
};

/* Pointer blocks and tree nodes as they were at transaction `age`. */
struct AsOf {
    const ExtJournal *j;
    int64_t age;
};

ExtStatus as_of_read(void *ctx, uint64_t block, uint8_t *buf)
{
    const AsOf *a = static_cast<const AsOf *>(ctx);
    const ExtJournalCopy *c = nullptr;
    size_t n = a->j ? ext_journal_find(a->j, block, &c) : 0;
    for (size_t i = 0; i < n; i++)
        if (c[i].age <= a->age && ext_journal_read_copy(a->j, &c[i], buf) == EXT_OK)
            return EXT_OK;
    return __ext2_ReadBlock(&g_ext3.vol, block, buf);
}

/* The value of the in-inode extended attribute system.data (inline data
 * beyond the first 60 bytes). */
void inline_xattr(const uint8_t *inode, uint32_t inodeSize, std::vector<uint8_t> *out)
{
    if (inodeSize <= EXT_I_EXTRA_ISIZE + 2)
        return;
    uint16_t extra = sv_ld_le16(inode + EXT_I_EXTRA_ISIZE);
    uint32_t base = EXT_I_EXTRA_ISIZE + extra;
    if (extra % 4 != 0 || base > inodeSize || inodeSize - base < 8)
        return;
    sv_view v = sv_view_make(inode + base, inodeSize - base);
    uint32_t magic = 0;
    if (!sv_le32(v, 0, &magic) || magic != 0xEA020000u)
        return;
    const size_t first = 4;  /* entries follow the magic; values are relative to them */
    size_t off = first;
    for (int hops = 0; hops < 256; hops++) {
        uint8_t nameLen = 0, index = 0;
        uint16_t valueOffs = 0;
        uint32_t valueInum = 0, valueSize = 0;
        if (!sv_u8(v, off, &nameLen) || !sv_u8(v, off + 1, &index) || !sv_le16(v, off + 2, &valueOffs) ||
            !sv_le32(v, off + 4, &valueInum) || !sv_le32(v, off + 8, &valueSize))
            return;
        if (nameLen == 0 && index == 0)
            return;  /* end of the entries */
        if (!sv_has(v, off + 16, nameLen))
            return;
        if (index == 7 && nameLen == 4 && memcmp(inode + base + off + 16, "data", 4) == 0 &&
            valueInum == 0 && sv_has(v, first + valueOffs, valueSize)) {
            const uint8_t *p = inode + base + first + valueOffs;
            out->insert(out->end(), p, p + valueSize);
            return;
        }
        off += (16 + nameLen + 3) & ~(size_t)3;
    }
}

/* ---- directory entries --------------------------------------------------- */

struct DirEntry {
    uint32_t inode;
    uint8_t type;
    std::string name;
};

/* Every plausible entry of a directory block, stepped over by name length
 * (so entries merged into their predecessor count), "." and ".." too. */
void parse_dir_block(const uint8_t *block, uint32_t bs, uint32_t inodesCount, std::vector<DirEntry> *out)
{
    if (bs < 8)
        return;
    sv_view v = sv_view_make(block, bs);
    uint32_t off = 0;
    while (off <= bs - 8) {
        uint32_t ino = 0;
        uint16_t recLen = 0;
        uint8_t nameLen = 0, ft = 0;
        sv_le32(v, off, &ino);
        sv_le16(v, off + 4, &recLen);
        sv_u8(v, off + 6, &nameLen);
        sv_u8(v, off + 7, &ft);
        bool ok = ino != 0 && ino <= inodesCount && nameLen != 0 &&
                  (ft == FT_REG_FILE || ft == FT_DIR || ft == FT_SYMLINK) && sv_has(v, off + 8, nameLen) &&
                  recLen >= 8u + nameLen && recLen % 4 == 0 && recLen <= bs - off;
        if (ok) {
            const char *name = reinterpret_cast<const char *>(block + off + 8);
            for (uint8_t i = 0; i < nameLen && ok; i++)
                if (name[i] == '\0' || name[i] == '/')
                    ok = false;
            if (ok) {
                out->push_back(DirEntry{ino, ft, std::string(name, nameLen)});
                off += 8u + ((nameLen + 3u) & ~3u);
                continue;
            }
        }
        off += 4;
    }
}

struct NameOf {
    std::string name;
    uint32_t parent = 0;
    uint8_t type = 0;
    int64_t age = INT64_MIN;  /* INT64_MAX: from the live tree */
};

/* The age of an inode read in place: older than every journal copy. */
constexpr int64_t kInPlace = INT64_MIN;
/* Names from the walk beat every journal copy; merged entries rank by walk
 * order below live ones. */
constexpr int64_t kWalkMerged = INT64_MAX - ((int64_t)1 << 33);

class Search {
public:
    Search()
        : vol_(&g_ext3.vol), j_(g_ext3.jr->check == EXT_JOURNAL_OK ? &g_ext3.jr->journal : nullptr),
          bitmap_{vol_, {}}
    {
    }

    bool run()
    {
        if (j_ && !find_inodes())
            return false;
        if (!find_in_place())
            return false;
        map_files();
        if (!sv_progress_running())
            return false;
        collect_names();
        name_files();
        return true;
    }

private:
    const ExtVolume *vol_;
    const ExtJournal *j_;
    BlockBitmap bitmap_;
    /* Deleted inodes found, with the copy they came from. */
    struct Found {
        uint32_t ino;
        int64_t age;
        std::vector<uint8_t> inode;
        std::vector<ExtRun> runs;
        bool inPlace = false;  /* read from the inode table as it is now */
    };
    std::vector<Found> found_;
    std::unordered_map<uint32_t, NameOf> names_;
    std::unordered_map<uint32_t, std::string> livePath_;  /* live folders: inode -> path */

    void step_progress(uint64_t done, uint64_t total, int32_t from, int32_t to)
    {
        if (total == 0)
            return;
        int32_t want = from + (int32_t)((uint64_t)(to - from) * done / total);
        progress_raise(want, 99);
    }

    bool find_inodes()
    {
        TableIndex tables;
        tables.build(vol_);
        const uint32_t bs = vol_->m_nBlockSizeInBytes, isz = vol_->m_nInodeSize;
        const uint32_t firstIno = first_inode(vol_);
        std::vector<uint8_t> now(bs), copy(bs);
        std::unordered_set<uint32_t> done;
        const auto &copies = j_->copies;
        for (size_t i = 0; i < copies.size();) {
            if ((i & 255) == 0) {
                if (!sv_progress_running())
                    return false;
                step_progress(i, copies.size(), 35, 50);
            }
            size_t k = i;
            while (k < copies.size() && copies[k].fsBlock == copies[i].fsBlock)
                k++;
            uint32_t group, index;
            if (!tables.find(copies[i].fsBlock, &group, &index) ||
                __ext2_ReadBlock(vol_, copies[i].fsBlock, now.data()) != EXT_OK) {
                i = k;
                continue;
            }
            /* Slots of this block that hold a deleted inode now. */
            std::vector<uint32_t> slots;
            for (uint32_t s = 0; s < vol_->m_nInodesPerBlock; s++) {
                uint64_t ino = (uint64_t)group * vol_->inodesPerGroup +
                               (uint64_t)index * vol_->m_nInodesPerBlock + s + 1;
                if (ino < firstIno || ino > vol_->inodesCount ||
                    (uint64_t)index * vol_->m_nInodesPerBlock + s >= vol_->inodesPerGroup)
                    continue;
                const uint8_t *cur = now.data() + (size_t)s * isz;
                uint16_t t = type_of(cur);
                if (ext_inode_links(cur) == 0 && ext_inode_dtime(cur) != 0 &&
                    (t == EXT_S_IFREG || t == EXT_S_IFDIR || t == EXT_S_IFLNK))
                    slots.push_back(s);
            }
            for (size_t c = i; c < k && !slots.empty(); c++) {
                if (ext_journal_read_copy(j_, &copies[c], copy.data()) != EXT_OK)
                    continue;
                for (size_t si = 0; si < slots.size();) {
                    uint32_t s = slots[si];
                    const uint8_t *cur = now.data() + (size_t)s * isz;
                    const uint8_t *old = copy.data() + (size_t)s * isz;
                    bool inUse = ext_inode_links(old) > 0 && ext_inode_dtime(old) == 0 &&
                                 type_of(old) == type_of(cur) &&
                                 sv_ld_le32(old + EXT_I_GENERATION) == sv_ld_le32(cur + EXT_I_GENERATION);
                    if (!inUse) {
                        si++;
                        continue;
                    }
                    uint32_t ino = group * vol_->inodesPerGroup + index * vol_->m_nInodesPerBlock + s + 1;
                    if (done.insert(ino).second) {
                        Found f{ino, copies[c].age, std::vector<uint8_t>(old, old + isz), {}};
                        /* Keep the deletion time of the current inode. */
                        memcpy(f.inode.data() + EXT_I_DTIME, cur + EXT_I_DTIME, 4);
                        found_.push_back(std::move(f));
                    }
                    slots.erase(slots.begin() + (ptrdiff_t)si);
                }
            }
            i = k;
        }
        return true;
    }

    /* Deleted inodes that still map their data where it lies, for every
     * inode the journal gave nothing for. */
    bool find_in_place()
    {
        const uint32_t bs = vol_->m_nBlockSizeInBytes, isz = vol_->m_nInodeSize, ipg = vol_->inodesPerGroup;
        const uint32_t firstIno = first_inode(vol_);
        /* Uninitialised groups and never-used tails of inode tables are
         * known only where descriptors carry checksums. */
        const bool csum = (sv_ld_le32(vol_->m_stSuperBlock + 100) & 0x410u) != 0;
        const uint32_t tableBlocks = ext_inode_table_blocks(vol_);
        const uint32_t window = std::max<uint32_t>(1, std::min<uint32_t>(tableBlocks, (256u << 10) / bs));
        std::unordered_set<uint32_t> known;
        for (const Found &f : found_)
            known.insert(f.ino);
        std::vector<uint8_t> table((size_t)window * bs), bits(bs);
        for (uint32_t g = 0; g < vol_->m_nGroupCount; g++) {
            if (!sv_progress_running())
                return false;
            step_progress(g, vol_->m_nGroupCount, 50, 70);
            if (csum && (ext_group_flags(vol_, g) & EXT_BG_INODE_UNINIT))
                continue;
            uint64_t t = ext_group_inode_table(vol_, g);
            if (!ext_block_valid(vol_, t) || __ext2_ReadBlock(vol_, ext_group_inode_bitmap(vol_, g), bits.data()) != EXT_OK)
                continue;  /* no proof that any of its inodes is free */
            uint32_t slots = ipg;
            if (csum) {
                uint32_t unused = ext_group_itable_unused(vol_, g);
                slots = unused < ipg ? ipg - unused : 0;
            }
            uint32_t blocks = (uint32_t)std::min<uint64_t>(tableBlocks, ((uint64_t)slots * isz + bs - 1) / bs);
            for (uint32_t b0 = 0; b0 < blocks; b0 += window) {
                if (!sv_progress_running())
                    return false;
                uint32_t n = std::min(window, blocks - b0);
                if (ext_read_blocks(vol_, t + b0, n, table.data()) != EXT_OK)
                    for (uint32_t k = 0; k < n; k++)  /* block by block: one bad block costs its inodes only */
                        __ext2_ReadBlock(vol_, t + b0 + k, table.data() + (size_t)k * bs);
                uint32_t first = (uint32_t)((uint64_t)b0 * bs / isz);
                uint32_t last = std::min<uint32_t>(slots, (uint32_t)((uint64_t)(b0 + n) * bs / isz));
                for (uint32_t s = first; s < last; s++) {
                    uint64_t ino = (uint64_t)g * ipg + s + 1;
                    if (ino < firstIno || ino > vol_->inodesCount || (bits[s / 8] >> (s % 8)) & 1 ||
                        known.count((uint32_t)ino))
                        continue;
                    const uint8_t *p = table.data() + (size_t)((uint64_t)s * isz - (uint64_t)b0 * bs);
                    offer_in_place((uint32_t)ino, p);
                }
            }
        }
        return true;
    }

    void offer_in_place(uint32_t ino, const uint8_t *p)
    {
        const uint32_t isz = vol_->m_nInodeSize;
        uint16_t t = type_of(p);
        if (ext_inode_dtime(p) == 0 || (t != EXT_S_IFREG && t != EXT_S_IFLNK && t != EXT_S_IFDIR))
            return;
        uint64_t size = ext_inode_size(p);
        Found f{ino, kInPlace, std::vector<uint8_t>(p, p + isz), {}, true};
        uint32_t flags = sv_ld_le32(p + EXT_I_FLAGS);
        if (flags & EXT_INODE_FL_INLINE_DATA) {
            /* Data inside the inode: only when all of it is still there. */
            std::vector<uint8_t> data(p + EXT_I_BLOCK, p + EXT_I_BLOCK + 60);
            inline_xattr(p, isz, &data);
            if (t == EXT_S_IFDIR || size == 0 || data.size() < size)
                return;
        } else if (!ext_inode_has_data_blocks(vol_, p)) {
            /* A short symbolic link keeps its target in i_block.  (An
             * empty file is not taken: the kernel sets the size of what it
             * deletes to 0.) */
            if (t != EXT_S_IFLNK || size == 0 || size > EXT_FAST_SYMLINK_MAX ||
                memchr(p + EXT_I_BLOCK, 0, (size_t)size))
                return;
        } else {
            ExtMapStats stats;
            ext_map_inode(vol_, p, ext_block_count(vol_, size), ext3_meta_read, nullptr, &f.runs, &stats);
            /* Pointers or extents cleared at deletion map nothing; a map
             * none of whose blocks is free now is another file's. */
            bool anyFree = false;
            for (const ExtRun &r : f.runs)
                for (uint32_t i = 0; i < r.count && !anyFree; i++)
                    anyFree = !bitmap_.used(r.physical + i);
            if (!anyFree)
                return;
        }
        found_.push_back(std::move(f));
    }

    void map_files()
    {
        for (size_t i = 0; i < found_.size(); i++) {
            if ((i & 63) == 0) {
                if (!sv_progress_running())
                    return;
                step_progress(i, found_.size(), 70, 85);
            }
            Found &f = found_[i];
            if (f.inPlace)
                continue;  /* mapped where it lies */
            const uint8_t *ino = f.inode.data();
            if (!ext_inode_has_data_blocks(vol_, ino))
                continue;
            AsOf asOf{j_, f.age};
            ExtMapStats stats;
            ext_map_inode(vol_, ino, ext_block_count(vol_, ext_inode_size(ino)), as_of_read, &asOf, &f.runs,
                          &stats);
        }
    }

    /* ---- names ----------------------------------------------------------- */

    void offer_name(uint32_t ino, const std::string &name, uint32_t parent, uint8_t type, int64_t age)
    {
        if (ino == parent)
            return;
        auto it = names_.find(ino);
        if (it != names_.end() && it->second.age >= age)
            return;
        names_[ino] = NameOf{name, parent, type, age};
    }

    void collect_walk()
    {
        std::unordered_map<const Ext3DirNode *, uint32_t> inoOf;
        for (Ext3DirNode *n = g_ext3.m_stHead; n; n = n->Next)
            inoOf[n] = reinterpret_cast<Ext3DirNodeImpl *>(n)->inodeNumber;
        for (Ext3DirNode *n = g_ext3.m_stHead; n; n = n->Next) {
            auto *impl = reinterpret_cast<Ext3DirNodeImpl *>(n);
            /* Live folder paths. */
            std::string path;
            int hops = 0;
            for (const Ext3DirNode *p = n; p && !p->IsRoot && hops < 1024; p = p->Parent, hops++)
                path = path.empty() ? std::string(p->Name) : std::string(p->Name) + "/" + path;
            livePath_[impl->inodeNumber] = path;
            /* A live entry names its inode; of the entries merged away,
             * the one written last (later in the walk, as a rule) does,
             * since an inode number is handed out again. */
            for (uint32_t k = 0; k < impl->count; k++) {
                auto *fi = reinterpret_cast<Ext3FileNodeImpl *>(n->Files[k]);
                if (!fi->pub.IsDir)
                    offer_name(fi->inodeNumber, fi->pub.Name, impl->inodeNumber,
                               type_of(fi->pub.Inode) == EXT_S_IFLNK ? FT_SYMLINK : FT_REG_FILE,
                               fi->merged ? kWalkMerged + fi->order : INT64_MAX);
            }
        }
    }

    void collect_names()
    {
        collect_walk();
        /* Directory blocks: those of live folders (the walk), and those of
         * the deleted folders found in the journal. */
        std::unordered_map<uint64_t, uint32_t> dirOf;
        for (const auto &b : g_ext3.jr->dirBlocks)
            dirOf.emplace(b.first, b.second);
        for (const Found &f : found_)
            if (type_of(f.inode.data()) == EXT_S_IFDIR)
                for (const ExtRun &r : f.runs)
                    for (uint32_t i = 0; i < r.count && dirOf.size() < 4u * (uint64_t)vol_->readableBlocks; i++)
                        dirOf.emplace(r.physical + i, f.ino);
        const uint32_t bs = vol_->m_nBlockSizeInBytes;
        std::vector<uint8_t> buf(bs);
        std::vector<DirEntry> entries;
        static const std::vector<ExtJournalCopy> none;
        const auto &copies = j_ ? j_->copies : none;
        for (size_t i = 0; i < copies.size(); i++) {
            if ((i & 255) == 0) {
                if (!sv_progress_running())
                    return;
                step_progress(i, copies.size(), 85, 98);
            }
            const ExtJournalCopy &c = copies[i];
            if (ext_journal_read_copy(j_, &c, buf.data()) != EXT_OK)
                continue;
            take_dir_block(buf.data(), c.fsBlock, c.age, dirOf, &entries);
        }
        /* Folders kept inside their inode (inline data): every copy of an
         * inode-table block holds their entries as they were then. */
        TableIndex tables;
        tables.build(vol_);
        for (size_t i = 0; i < copies.size(); i++) {
            uint32_t group, index;
            const ExtJournalCopy &c = copies[i];
            if (!tables.find(c.fsBlock, &group, &index) || ext_journal_read_copy(j_, &c, buf.data()) != EXT_OK)
                continue;
            for (uint32_t s = 0; s < vol_->m_nInodesPerBlock; s++) {
                const uint8_t *ino = buf.data() + (size_t)s * vol_->m_nInodeSize;
                if (type_of(ino) != EXT_S_IFDIR || !(sv_ld_le32(ino + EXT_I_FLAGS) & EXT_INODE_FL_INLINE_DATA))
                    continue;
                uint64_t n = (uint64_t)group * vol_->inodesPerGroup + (uint64_t)index * vol_->m_nInodesPerBlock + s + 1;
                if (n > vol_->inodesCount)
                    continue;
                take_inline_dir(ino, (uint32_t)n, c.age, &entries);
            }
        }
        /* Blocks of deleted folders that are still free hold their last
         * entries on the medium. */
        for (const Found &f : found_) {
            if (type_of(f.inode.data()) != EXT_S_IFDIR)
                continue;
            for (const ExtRun &r : f.runs)
                for (uint32_t i = 0; i < r.count && i < 4096; i++) {
                    uint64_t b = r.physical + i;
                    if (bitmap_.used(b) || __ext2_ReadBlock(vol_, b, buf.data()) != EXT_OK)
                        continue;
                    take_dir_block(buf.data(), b, INT64_MIN + 1, dirOf, &entries);
                }
        }
    }

    void take_dir_block(const uint8_t *block, uint64_t fsBlock, int64_t age,
                        const std::unordered_map<uint64_t, uint32_t> &dirOf, std::vector<DirEntry> *entries)
    {
        const uint32_t bs = vol_->m_nBlockSizeInBytes;
        uint32_t dir = 0;
        auto it = dirOf.find(fsBlock);
        if (it != dirOf.end())
            dir = it->second;
        /* A first block names its own folder (".") and the parent (".."). */
        bool first = sv_ld_le32(block) != 0 && sv_ld_le16(block + 4) == 12 && block[6] == 1 &&
                     block[7] == FT_DIR && block[8] == '.' && sv_ld_le16(block + 12 + 4) >= 12 &&
                     block[12 + 6] == 2 && block[12 + 8] == '.' && block[12 + 9] == '.';
        if (first) {
            uint32_t self = sv_ld_le32(block), parent = sv_ld_le32(block + 12);
            if (dir == 0)
                dir = self;
            if (self == dir && parent != 0 && parent <= vol_->inodesCount && parent != self) {
                auto n = names_.find(self);
                if (n != names_.end() && n->second.parent == 0)
                    n->second.parent = parent;
                else if (n == names_.end())
                    names_[self] = NameOf{"", parent, FT_DIR, INT64_MIN};
            }
        }
        if (dir == 0)
            return;  /* a block no folder claims: its bytes are not trusted as names */
        entries->clear();
        parse_dir_block(block, bs, vol_->inodesCount, entries);
        for (const DirEntry &e : *entries) {
            if (e.name == "." || e.name == "..")
                continue;
            offer_name(e.inode, e.name, dir, e.type, age);
        }
    }

    /* An inline folder: the parent's inode number, then entries in the
     * rest of i_block, and more in the system.data attribute. */
    void take_inline_dir(const uint8_t *ino, uint32_t dir, int64_t age, std::vector<DirEntry> *entries)
    {
        uint32_t parent = sv_ld_le32(ino + EXT_I_BLOCK);
        if (parent != 0 && parent <= vol_->inodesCount && parent != dir) {
            auto n = names_.find(dir);
            if (n == names_.end())
                names_[dir] = NameOf{"", parent, FT_DIR, INT64_MIN};
            else if (n->second.parent == 0)
                n->second.parent = parent;
        }
        entries->clear();
        parse_dir_block(ino + EXT_I_BLOCK + 4, 56, vol_->inodesCount, entries);
        std::vector<uint8_t> more;
        inline_xattr(ino, vol_->m_nInodeSize, &more);
        if (!more.empty() && more.size() < 65536)
            parse_dir_block(more.data(), (uint32_t)more.size(), vol_->inodesCount, entries);
        for (const DirEntry &e : *entries)
            if (e.name != "." && e.name != "..")
                offer_name(e.inode, e.name, dir, e.type, age);
    }

    /* The path of folder `dir`, or false when it cannot be traced to a live
     * folder or the root. */
    bool folder_path(uint32_t dir, std::string *out)
    {
        std::vector<std::string> parts;
        std::unordered_set<uint32_t> seen;
        for (int hops = 0; hops < 256; hops++) {
            auto live = livePath_.find(dir);
            if (dir == 2 || live != livePath_.end()) {
                std::string p = dir == 2 ? std::string() : live->second;
                for (auto it = parts.rbegin(); it != parts.rend(); ++it)
                    p = p.empty() ? *it : p + "/" + *it;
                *out = p;
                return true;
            }
            if (!seen.insert(dir).second)
                return false;
            auto n = names_.find(dir);
            if (n == names_.end() || n->second.name.empty() || n->second.parent == 0)
                return false;
            parts.push_back(n->second.name);
            dir = n->second.parent;
        }
        return false;
    }

    void name_files()
    {
        for (Found &f : found_) {
            const uint8_t *ino = f.inode.data();
            uint16_t t = type_of(ino);
            if (t == EXT_S_IFDIR)
                continue;  /* folders show through the paths of their files */
            auto *rec = new Ext3JournalFileImpl();
            Ext3JournalFile &p = rec->pub;
            p.InodeNumber = f.ino;
            p.Size = ext_inode_size(ino);
            p.Mode = ext_inode_mode(ino);
            p.Generation = sv_ld_le32(ino + EXT_I_GENERATION);
            p.Atime = time_or_unknown(sv_ld_le32(ino + EXT_I_ATIME));
            p.Ctime = time_or_unknown(sv_ld_le32(ino + EXT_I_CTIME));
            p.Mtime = time_or_unknown(ext_inode_mtime(ino));
            p.Dtime = time_or_unknown(ext_inode_dtime(ino));
            p.Crtime = -1;
            if (vol_->m_nInodeSize > EXT_I_CRTIME + 4) {
                uint16_t extra = sv_ld_le16(ino + EXT_I_EXTRA_ISIZE);
                if (EXT_I_EXTRA_ISIZE + (uint32_t)extra >= EXT_I_CRTIME + 4)
                    p.Crtime = time_or_unknown(sv_ld_le32(ino + EXT_I_CRTIME));
            }
            rec->age = f.age;
            if (sv_ld_le32(ino + EXT_I_FLAGS) & EXT_INODE_FL_INLINE_DATA) {
                rec->inlineData.assign(ino + EXT_I_BLOCK, ino + EXT_I_BLOCK + 60);
                inline_xattr(ino, (uint32_t)f.inode.size(), &rec->inlineData);
            } else if (!ext_inode_has_data_blocks(vol_, ino)) {
                /* A short symbolic link: the target lives in the inode. */
                rec->inlineData.assign(ino + EXT_I_BLOCK, ino + EXT_I_BLOCK + 60);
            }
            if (!rec->inlineData.empty()) {
                if (rec->inlineData.size() < p.Size)
                    p.MissingBlocks = 1;
            } else {
                account_runs(f, rec);
            }
            if (p.ReusedBlocks || p.MissingBlocks)
                p.State = EXT3_JFILE_DAMAGED;
            auto n = names_.find(f.ino);
            if (n != names_.end() && !n->second.name.empty()) {
                uint8_t want = t == EXT_S_IFLNK ? FT_SYMLINK : FT_REG_FILE;
                if (n->second.type == want) {
                    sv_copy_utf8_field(p.Name, sizeof p.Name, n->second.name.data(), n->second.name.size());
                    p.ParentInode = n->second.parent;
                    std::string path;
                    if (folder_path(n->second.parent, &path)) {
                        p.Folder = static_cast<char *>(MALLOC(path.size() + 1));
                        memcpy(p.Folder, path.c_str(), path.size() + 1);
                    }
                }
            }
            g_ext3.jr->files.push_back(rec);
        }
    }

    /* Splits the runs into blocks still free and blocks in use again, and
     * counts what is missing. */
    void account_runs(const Found &f, Ext3JournalFileImpl *rec)
    {
        Ext3JournalFile &p = rec->pub;
        uint64_t want = ext_block_count(vol_, p.Size);
        uint64_t mapped = 0;
        for (const ExtRun &r : f.runs) {
            mapped += r.count;
            if (r.flags & EXT_RUN_UNWRITTEN) {
                rec->runs.push_back(r);
                continue;
            }
            uint64_t i = 0;
            while (i < r.count) {
                bool used = bitmap_.used(r.physical + i);
                uint64_t k = i + 1;
                while (k < r.count && bitmap_.used(r.physical + k) == used)
                    k++;
                ExtRun piece{r.logical + i, r.physical + i, (uint32_t)(k - i), used ? (uint32_t)EXT_RUN_REUSED : 0u};
                if (used)
                    p.ReusedBlocks += k - i;
                rec->runs.push_back(piece);
                i = k;
            }
        }
        /* Holes are part of sparse files; nothing mapped at all for a file
         * with data means the map was lost. */
        if (mapped == 0 && want > 0)
            p.MissingBlocks = want;
    }
};

}  // namespace

extern "C" COSK_EXPORT int64_t ext3_journal_searchfile(void)
{
    if (!g_ext3.initialised || !g_ext3.jr)
        return -1;
    ext3_free_journal_files();
    /* A new search starts from 0; a stop already asked for (200) holds. */
    sv_progress_begin();
    if (!g_ext3.jr->walked) {
        ext3_walk(false);
        progress_raise(35, 99);
    }
    if (sv_progress_running()) {
        Search s;
        s.run();
    }
    sv_progress_finish();
    return (int64_t)g_ext3.jr->files.size();
}

extern "C" COSK_EXPORT Ext3JournalFile *ext3_journal_get_file(uint32_t index)
{
    if (!g_ext3.jr || index >= g_ext3.jr->files.size())
        return nullptr;
    return &g_ext3.jr->files[index]->pub;
}

extern "C" COSK_EXPORT int64_t ext3_journal_transactions(int replayed)
{
    if (!g_ext3.jr || g_ext3.jr->check != EXT_JOURNAL_OK)
        return -1;
    return replayed ? g_ext3.jr->journal.replayed : g_ext3.jr->journal.transactions;
}

extern "C" COSK_EXPORT int64_t ext3_journal_readfile(Ext3JournalFile *file, uint64_t offset, void *buffer,
                                                     uint32_t length, uint32_t *failedBlocks)
{
    if (failedBlocks)
        *failedBlocks = 0;
    if (!file || !buffer || !g_ext3.initialised || !g_ext3.jr)
        return -1;
    auto *rec = reinterpret_cast<Ext3JournalFileImpl *>(file);
    uint8_t *out = static_cast<uint8_t *>(buffer);
    if (offset >= file->Size)
        return 0;
    if (file->Size - offset < length)
        length = (uint32_t)(file->Size - offset);
    memset(out, 0, length);
    if (!rec->inlineData.empty()) {
        if (offset < rec->inlineData.size()) {
            size_t n = std::min<uint64_t>(length, rec->inlineData.size() - offset);
            memcpy(out, rec->inlineData.data() + offset, n);
        }
        return length;
    }
    const ExtVolume *vol = &g_ext3.vol;
    const uint32_t bs = vol->m_nBlockSizeInBytes;
    Physics_Device_Struct *dev = vol->m_stPartition->Device;
    const bool overlay = vol->overlayRead != nullptr;
    std::vector<uint8_t> tmp;
    uint64_t pos = offset, end = offset + length;
    auto it = std::upper_bound(rec->runs.begin(), rec->runs.end(), pos / bs,
                               [](uint64_t b, const ExtRun &r) { return b < r.logical; });
    if (it != rec->runs.begin())
        --it;
    for (; it != rec->runs.end() && pos < end; ++it) {
        uint64_t runStart = it->logical * bs, runEnd = (it->logical + it->count) * bs;
        if (runEnd <= pos)
            continue;
        if (runStart >= end)
            break;
        if (it->flags & (EXT_RUN_REUSED | EXT_RUN_UNWRITTEN))
            continue;  /* left as zeros */
        uint64_t from = std::max(pos, runStart), to = std::min(end, runEnd);
        uint64_t devOff = (it->physical + (from - runStart) / bs) * bs + (from - runStart) % bs;
        uint8_t *dst = out + (from - offset);
        bool ok = !overlay && to - from <= 0x40000000u &&
                  sv_dev_read(dev, dst, (uint32_t)(to - from), devOff) == (int32_t)(to - from);
        if (!ok) {
            /* Block by block, so that only unreadable blocks become zeros. */
            tmp.resize(bs);
            for (uint64_t p = from; p < to;) {
                uint64_t b = it->physical + (p - runStart) / bs, in = (p - runStart) % bs;
                uint64_t n = std::min<uint64_t>(bs - in, to - p);
                if (__ext2_ReadBlock(vol, b, tmp.data()) == EXT_OK)
                    memcpy(out + (p - offset), tmp.data() + in, n);
                else {
                    memset(out + (p - offset), 0, n);
                    if (failedBlocks)
                        (*failedBlocks)++;
                }
                p += n;
            }
        }
        pos = to;
    }
    return length;
}

extern "C" COSK_EXPORT int ext3_file_runs(const Ext3JournalFile *file, Salvitra_RunFn fn, void *context)
{
    if (!file || !fn || !g_ext3.initialised || !g_ext3.jr)
        return 0;
    auto *rec = reinterpret_cast<const Ext3JournalFileImpl *>(file);
    if (!rec->inlineData.empty())
        return 0;
    const uint64_t bs = g_ext3.vol.m_nBlockSizeInBytes;
    const uint64_t size = file->Size;
    if (!bs)
        return 0;
    /* Runs by logical block; what lies between them is a hole, unless
     * the search could not locate some of the file's blocks. */
    const uint64_t gap = file->MissingBlocks ? SV_RUN_LOST : SV_RUN_SPARSE;
    uint64_t pos = 0, at = 0, len = 0;
    auto add = [&](uint64_t offset, uint64_t n) {
        if (n == 0)
            return;
        bool mark = offset == SV_RUN_LOST || offset == SV_RUN_SPARSE;
        bool lastMark = at == SV_RUN_LOST || at == SV_RUN_SPARSE;
        if (len && (mark ? at == offset : !lastMark && at + len == offset)) {
            len += n;
            return;
        }
        if (len)
            fn(context, at, len);
        at = offset;
        len = n;
    };
    for (const ExtRun &r : rec->runs) {
        if (pos >= size)
            break;
        if (r.logical > UINT64_MAX / bs)
            break;
        uint64_t from = r.logical * bs;
        if (from < pos)
            continue;
        if (from > pos) {
            uint64_t hole = (from < size ? from : size) - pos;
            add(gap, hole);
            pos += hole;
            if (pos >= size)
                break;
        }
        uint64_t n = (uint64_t)r.count * bs;
        if (n > size - pos)
            n = size - pos;
        if (r.flags & EXT_RUN_REUSED)
            add(SV_RUN_LOST, n);
        else if (r.flags & EXT_RUN_UNWRITTEN)
            add(SV_RUN_SPARSE, n);
        else
            add(r.physical * bs, n);
        pos += n;
    }
    if (pos < size)
        add(gap, size - pos);
    if (len)
        fn(context, at, len);
    return 1;
}
