#include "hfs_builder.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace svt {

namespace {

void be16(std::vector<uint8_t> &b, size_t off, uint16_t v)
{
    b[off] = (uint8_t)(v >> 8);
    b[off + 1] = (uint8_t)v;
}

void be32(std::vector<uint8_t> &b, size_t off, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[off + i] = (uint8_t)(v >> (24 - 8 * i));
}

void be64(std::vector<uint8_t> &b, size_t off, uint64_t v)
{
    be32(b, off, (uint32_t)(v >> 32));
    be32(b, off + 4, (uint32_t)v);
}

// The journal is in the byte order of the Mac that wrote it.
struct JournalOrder {
    bool big;
    void u16(std::vector<uint8_t> &b, size_t off, uint16_t v) const
    {
        if (big)
            be16(b, off, v);
        else {
            b[off] = (uint8_t)v;
            b[off + 1] = (uint8_t)(v >> 8);
        }
    }
    void u32(std::vector<uint8_t> &b, size_t off, uint32_t v) const
    {
        if (big)
            be32(b, off, v);
        else
            for (int i = 0; i < 4; i++)
                b[off + i] = (uint8_t)(v >> (8 * i));
    }
    void u64(std::vector<uint8_t> &b, size_t off, uint64_t v) const
    {
        if (big) {
            be64(b, off, v);
        } else {
            u32(b, off, (uint32_t)v);
            u32(b, off + 4, (uint32_t)(v >> 32));
        }
    }
};

constexpr uint32_t kDate = 0xD0000000u;  // a date in 2014

void putFork(std::vector<uint8_t> &b, size_t off, uint64_t logical, uint32_t blocks,
             const std::vector<std::pair<uint32_t, uint32_t>> &ext)
{
    be64(b, off, logical);
    be32(b, off + 8, 0);
    be32(b, off + 12, blocks);
    for (size_t i = 0; i < ext.size() && i < 8; i++) {
        be32(b, off + 16 + 8 * i, ext[i].first);
        be32(b, off + 20 + 8 * i, ext[i].second);
    }
}

// HFS+ orders names case-insensitively; plain ASCII folding is enough here.
bool keyLess(const HfsRecord &a, const HfsRecord &b)
{
    if (a.parent != b.parent)
        return a.parent < b.parent;
    size_t n = std::min(a.name.size(), b.name.size());
    for (size_t i = 0; i < n; i++) {
        char16_t x = a.name[i], y = b.name[i];
        if (x >= 'A' && x <= 'Z')
            x = (char16_t)(x + 32);
        if (y >= 'A' && y <= 'Z')
            y = (char16_t)(y + 32);
        if (x != y)
            return x < y;
    }
    return a.name.size() < b.name.size();
}

std::vector<uint8_t> encodeKey(uint32_t parent, const std::u16string &name)
{
    std::vector<uint8_t> k(8 + 2 * name.size());
    be16(k, 0, (uint16_t)(6 + 2 * name.size()));
    be32(k, 2, parent);
    be16(k, 6, (uint16_t)name.size());
    for (size_t i = 0; i < name.size(); i++)
        be16(k, 8 + 2 * i, name[i]);
    return k;
}

std::vector<uint8_t> encodeRecord(const HfsRecord &r)
{
    std::vector<uint8_t> out = encodeKey(r.parent, r.name);
    std::vector<uint8_t> d;
    switch (r.kind) {
    case HfsRecord::Folder:
        d.assign(88, 0);
        be16(d, 0, 1);
        be32(d, 8, r.cnid);
        for (int i = 12; i <= 28; i += 4)
            be32(d, i, r.createDate);
        be16(d, 42, 040755);
        break;
    case HfsRecord::File:
        d.assign(248, 0);
        be16(d, 0, 2);
        be32(d, 8, r.cnid);
        for (int i = 12; i <= 28; i += 4)
            be32(d, i, r.createDate);
        be16(d, 42, 0100644);
        putFork(d, 88, r.dataSize, r.dataBlocks, r.dataExtents);
        putFork(d, 168, r.rsrcSize, r.rsrcBlocks, r.rsrcExtents);
        break;
    case HfsRecord::FolderThread:
    case HfsRecord::FileThread:
        d.assign(10 + 2 * r.threadName.size(), 0);
        be16(d, 0, (uint16_t)r.kind);
        be32(d, 4, r.threadParent);
        be16(d, 8, (uint16_t)r.threadName.size());
        for (size_t i = 0; i < r.threadName.size(); i++)
            be16(d, 10 + 2 * i, r.threadName[i]);
        break;
    }
    out.insert(out.end(), d.begin(), d.end());
    return out;
}

// A node of size bytes with the given records packed after the descriptor
// and the offset table (plus the free-space offset) at its end.
std::vector<uint8_t> packNode(uint32_t size, int8_t kind, uint8_t height, uint32_t fLink,
                              uint32_t bLink, const std::vector<std::vector<uint8_t>> &recs)
{
    std::vector<uint8_t> n(size, 0);
    be32(n, 0, fLink);
    be32(n, 4, bLink);
    n[8] = (uint8_t)kind;
    n[9] = height;
    be16(n, 10, (uint16_t)recs.size());
    size_t off = 14;
    for (size_t i = 0; i < recs.size(); i++) {
        size_t tableStart = size - 2 * (recs.size() + 1);
        if (off + recs[i].size() > tableStart)
            throw std::runtime_error("hfs builder: records do not fit in the node");
        be16(n, size - 2 - 2 * i, (uint16_t)off);
        memcpy(n.data() + off, recs[i].data(), recs[i].size());
        off += recs[i].size();
        if (off % 2)
            off++;
    }
    be16(n, size - 2 - 2 * recs.size(), (uint16_t)off);
    return n;
}

}  // namespace

std::u16string utf16(const std::string &s)
{
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        uint8_t c = (uint8_t)s[i];
        uint32_t cp;
        int len;
        if (c < 0x80) {
            cp = c;
            len = 1;
        } else if ((c >> 5) == 6) {
            cp = c & 0x1F;
            len = 2;
        } else if ((c >> 4) == 14) {
            cp = c & 0x0F;
            len = 3;
        } else {
            cp = c & 0x07;
            len = 4;
        }
        for (int k = 1; k < len && i + k < s.size(); k++)
            cp = (cp << 6) | ((uint8_t)s[i + k] & 0x3F);
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += (char16_t)(0xD800 + (cp >> 10));
            out += (char16_t)(0xDC00 + (cp & 0x3FF));
        } else {
            out += (char16_t)cp;
        }
    }
    return out;
}

HfsRecord HfsRecord::thread() const
{
    HfsRecord t;
    t.kind = kind == Folder ? FolderThread : FileThread;
    t.parent = cnid;
    t.cnid = cnid;
    t.threadParent = parent;
    t.threadName = name;
    return t;
}

HfsImage::HfsImage(const Options &o) : o_(o)
{
    const uint32_t bs = o_.blockSize;
    if (bs < 512 || (bs & (bs - 1)) || o_.volumeBytes % bs || o_.journalBytes % bs)
        throw std::runtime_error("hfs builder: bad geometry");
    img_.assign(o_.volumeBytes, 0);
    totalBlocks_ = (uint32_t)(o_.volumeBytes / bs);
    bitmap_.assign((totalBlocks_ + 7) / 8, 0);
    auto blocksFor = [&](uint64_t bytes) { return (uint32_t)((bytes + bs - 1) / bs); };

    // Block 0 (or the first 1536 bytes) holds the boot blocks and the header.
    uint32_t next = blocksFor(1536);
    bitmapStart_ = next;
    bitmapBlocks_ = blocksFor(bitmap_.size());
    next += bitmapBlocks_;
    extentsStart_ = next;
    extentsBlocks_ = blocksFor(4096);
    next += extentsBlocks_;
    catalogStart_ = next;
    catalogBlocks_ = blocksFor((uint64_t)o_.catalogNodes * o_.catalogNodeSize);
    next += catalogBlocks_;
    attrStart_ = next;
    attrBlocks_ = blocksFor(2ull * o_.attributesNodeSize);
    next += attrBlocks_;
    jibBlock_ = next++;
    journalStart_ = next;
    journalBlocks_ = (uint32_t)(o_.journalBytes / bs);
    next += journalBlocks_;
    journalOff_ = (uint64_t)journalStart_ * bs;
    nextFree_ = next;
    if ((uint64_t)nextFree_ + 2 > totalBlocks_)
        throw std::runtime_error("hfs builder: volume too small");
    markUsed(0, nextFree_);
    markUsed(totalBlocks_ - 1, 1);  // alternate volume header
    cursor_ = o_.journalHeaderSize;
    firstTransaction_ = cursor_;
}

void HfsImage::put(uint64_t off, const std::vector<uint8_t> &bytes)
{
    if (off > img_.size() || img_.size() - off < bytes.size())
        throw std::runtime_error("hfs builder: write outside the volume");
    memcpy(img_.data() + off, bytes.data(), bytes.size());
}

void HfsImage::markUsed(uint32_t start, uint32_t count)
{
    for (uint32_t b = start; b < start + count; b++)
        bitmap_[b / 8] |= (uint8_t)(0x80 >> (b % 8));
}

uint32_t HfsImage::allocate(uint32_t blocks, bool live)
{
    if (blocks == 0)
        return 0;
    if ((uint64_t)nextFree_ + blocks + 1 > totalBlocks_)
        throw std::runtime_error("hfs builder: volume full");
    uint32_t start = nextFree_;
    nextFree_ += blocks;
    if (live)
        markUsed(start, blocks);
    return start;
}

uint32_t HfsImage::writeData(const std::vector<uint8_t> &data, bool live)
{
    uint32_t blocks = (uint32_t)((data.size() + o_.blockSize - 1) / o_.blockSize);
    uint32_t start = allocate(blocks, live);
    if (blocks)
        put((uint64_t)start * o_.blockSize, data);
    return start;
}

HfsRecord HfsImage::folder(uint32_t cnid, uint32_t parent, const std::string &name, uint32_t date)
{
    HfsRecord r;
    r.kind = HfsRecord::Folder;
    r.cnid = cnid;
    r.parent = parent;
    r.name = utf16(name);
    r.createDate = date ? date : kDate + cnid;
    return r;
}

HfsRecord HfsImage::file(uint32_t cnid, uint32_t parent, const std::string &name,
                         const std::vector<uint8_t> &data, uint32_t date, int fragments, bool live)
{
    HfsRecord r;
    r.kind = HfsRecord::File;
    r.cnid = cnid;
    r.parent = parent;
    r.name = utf16(name);
    r.createDate = date ? date : kDate + cnid;
    r.dataSize = data.size();
    const uint32_t bs = o_.blockSize;
    uint32_t blocks = (uint32_t)((data.size() + bs - 1) / bs);
    r.dataBlocks = blocks;
    if (fragments < 1)
        fragments = 1;
    if ((uint32_t)fragments > blocks)
        fragments = blocks ? (int)blocks : 1;
    uint32_t done = 0;
    for (int f = 0; f < fragments && done < blocks; f++) {
        uint32_t n = f == fragments - 1 ? blocks - done : blocks / fragments;
        uint32_t start = allocate(n, live);
        size_t from = (size_t)done * bs;
        size_t len = std::min<size_t>((size_t)n * bs, data.size() - from);
        put((uint64_t)start * bs, std::vector<uint8_t>(data.begin() + from, data.begin() + from + len));
        if (r.dataExtents.size() < 8)
            r.dataExtents.push_back({start, n});
        done += n;
        if (f + 1 < fragments)
            allocate(1, false);  // a gap, so the pieces are really apart
    }
    return r;
}

HfsRecord HfsImage::resourceOnly(uint32_t cnid, uint32_t parent, const std::string &name,
                                 const std::vector<uint8_t> &rsrc, uint32_t date)
{
    HfsRecord r;
    r.kind = HfsRecord::File;
    r.cnid = cnid;
    r.parent = parent;
    r.name = utf16(name);
    r.createDate = date ? date : kDate + cnid;
    uint32_t blocks = (uint32_t)((rsrc.size() + o_.blockSize - 1) / o_.blockSize);
    uint32_t start = writeData(rsrc, false);
    r.rsrcSize = rsrc.size();
    r.rsrcBlocks = blocks;
    r.rsrcExtents.push_back({start, blocks});
    return r;
}

std::vector<uint8_t> HfsImage::leafNode(std::vector<HfsRecord> records, uint32_t fLink,
                                        uint32_t bLink) const
{
    std::stable_sort(records.begin(), records.end(), keyLess);
    std::vector<std::vector<uint8_t>> enc;
    for (const auto &r : records)
        enc.push_back(encodeRecord(r));
    return packNode(o_.catalogNodeSize, -1, 1, fLink, bLink, enc);
}

uint64_t HfsImage::catalogNodeOffset(uint32_t n) const
{
    return catalogOffset() + (uint64_t)n * o_.catalogNodeSize;
}

void HfsImage::setCatalog(const std::vector<std::vector<HfsRecord>> &leaves)
{
    uint32_t n = (uint32_t)leaves.size();
    if (n + 2 > o_.catalogNodes)
        throw std::runtime_error("hfs builder: catalog too small");
    std::vector<std::vector<uint8_t>> indexRecs;
    catalogRecords_ = 0;
    fileCount_ = folderCount_ = 0;
    for (uint32_t i = 0; i < n; i++) {
        uint32_t node = i + 1;
        put(catalogNodeOffset(node), leafNode(leaves[i], i + 1 < n ? node + 1 : 0, i ? node - 1 : 0));
        catalogRecords_ += (uint32_t)leaves[i].size();
        std::vector<HfsRecord> sorted = leaves[i];
        std::stable_sort(sorted.begin(), sorted.end(), keyLess);
        for (const auto &r : sorted) {
            if (r.kind == HfsRecord::File)
                fileCount_++;
            else if (r.kind == HfsRecord::Folder && r.cnid != 2)
                folderCount_++;
            nextCnid_ = std::max(nextCnid_, r.cnid + 1);
        }
        if (!sorted.empty()) {
            std::vector<uint8_t> key = encodeKey(sorted[0].parent, sorted[0].name);
            key.resize(key.size() + 4);
            be32(key, key.size() - 4, node);
            indexRecs.push_back(key);
        }
    }
    catalogLeaves_ = n;
    if (n > 1) {
        catalogRoot_ = n + 1;
        catalogDepth_ = 2;
        put(catalogNodeOffset(catalogRoot_), packNode(o_.catalogNodeSize, 0, 2, 0, 0, indexRecs));
    } else {
        catalogRoot_ = n;
        catalogDepth_ = n;
    }
}

void HfsImage::journalWrite(uint64_t pos, const std::vector<uint8_t> &bytes)
{
    const uint64_t size = o_.journalBytes, start = o_.journalHeaderSize;
    for (size_t i = 0; i < bytes.size();) {
        if (pos >= size)
            pos = start + (pos - size);
        size_t n = (size_t)std::min<uint64_t>(bytes.size() - i, size - pos);
        memcpy(img_.data() + journalOff_ + pos, bytes.data() + i, n);
        i += n;
        pos += n;
    }
}

void HfsImage::journalTransaction(const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> &nodes)
{
    JournalOrder jo{o_.bigEndianJournal};
    std::vector<uint8_t> bl(o_.blockListSize, 0);
    uint32_t used = o_.blockListSize;
    for (const auto &n : nodes)
        used += (uint32_t)n.second.size();
    jo.u16(bl, 0, (uint16_t)((o_.blockListSize - 16) / 16));
    jo.u16(bl, 2, (uint16_t)(nodes.size() + 1));
    jo.u32(bl, 4, used);
    jo.u32(bl, 8, 0);
    jo.u32(bl, 12, 0);
    for (size_t i = 0; i < nodes.size(); i++) {
        size_t e = 16 + 16 * (i + 1);
        jo.u64(bl, e, catalogNodeOffset(nodes[i].first) / 512);
        jo.u32(bl, e + 8, (uint32_t)nodes[i].second.size());
    }
    uint64_t pos = cursor_;
    journalWrite(pos, bl);
    pos += bl.size();
    for (const auto &n : nodes) {
        journalWrite(pos, n.second);
        pos += n.second.size();
    }
    while (pos >= o_.journalBytes)
        pos = o_.journalHeaderSize + (pos - o_.journalBytes);
    cursor_ = pos;
    sequence_++;
}

std::vector<uint8_t> HfsImage::headerNode(uint32_t nodeSize, uint32_t totalNodes, uint32_t usedNodes,
                                          uint32_t root, uint32_t depth, uint32_t leafRecords,
                                          uint32_t firstLeaf, uint32_t lastLeaf, uint16_t maxKey,
                                          uint8_t compareType, uint32_t clump) const
{
    std::vector<uint8_t> hdr(106, 0);
    be16(hdr, 0, (uint16_t)depth);
    be32(hdr, 2, root);
    be32(hdr, 6, leafRecords);
    be32(hdr, 10, firstLeaf);
    be32(hdr, 14, lastLeaf);
    be16(hdr, 18, (uint16_t)nodeSize);
    be16(hdr, 20, maxKey);
    be32(hdr, 22, totalNodes);
    be32(hdr, 26, totalNodes - usedNodes);
    be32(hdr, 32, clump);
    hdr[36] = 0;             // btreeType: HFS
    hdr[37] = compareType;
    be32(hdr, 38, 6);        // big keys, variable index keys
    std::vector<uint8_t> user(128, 0);
    size_t mapLen = nodeSize - 14 - 106 - 128 - 8;
    std::vector<uint8_t> map(mapLen, 0);
    for (uint32_t i = 0; i < usedNodes && i / 8 < mapLen; i++)
        map[i / 8] |= (uint8_t)(0x80 >> (i % 8));
    return packNode(nodeSize, 1, 0, 0, 0, {hdr, user, map});
}

std::vector<uint8_t> HfsImage::image()
{
    const uint32_t bs = o_.blockSize;
    // B-tree header nodes.
    uint32_t catTotal = (uint32_t)((uint64_t)catalogBlocks_ * bs / o_.catalogNodeSize);
    uint32_t catUsed = 1 + catalogLeaves_ + (catalogDepth_ > 1 ? 1 : 0);
    put(catalogOffset(),
        headerNode(o_.catalogNodeSize, catTotal, catUsed, catalogRoot_, catalogDepth_, catalogRecords_,
                   catalogLeaves_ ? 1 : 0, catalogLeaves_, 516, o_.hfsx ? 0xBC : 0xCF,
                   catalogBlocks_ * bs));
    put((uint64_t)extentsStart_ * bs,
        headerNode(4096, extentsBlocks_ * bs / 4096, 1, 0, 0, 0, 0, 0, 10, 0, extentsBlocks_ * bs));
    uint32_t attrTotal = (uint32_t)((uint64_t)attrBlocks_ * bs / o_.attributesNodeSize);
    put(attributesOffset(), headerNode(o_.attributesNodeSize, attrTotal, 1, 0, 0, 0, 0, 0, 266, 0,
                                       attrBlocks_ * bs));

    // Allocation bitmap.
    put((uint64_t)bitmapStart_ * bs, bitmap_);
    uint32_t used = 0;
    for (uint32_t b = 0; b < totalBlocks_; b++)
        used += (bitmap_[b / 8] >> (7 - b % 8)) & 1;

    // Journal info block and journal header.
    if (o_.journaled) {
        std::vector<uint8_t> jib(512, 0);
        be32(jib, 0, 1);  // journal in this file system
        be64(jib, 36, journalOff_);
        be64(jib, 44, o_.journalBytes);
        put(journalInfoOffset(), jib);
        JournalOrder jo{o_.bigEndianJournal};
        std::vector<uint8_t> jh(o_.journalHeaderSize, 0);
        jo.u32(jh, 0, 0x4a4e4c78);
        jo.u32(jh, 4, 0x12345678);
        jo.u64(jh, 8, cursor_);  // every transaction was written back: empty
        jo.u64(jh, 16, cursor_);
        jo.u64(jh, 24, o_.journalBytes);
        jo.u32(jh, 32, o_.blockListSize);
        jo.u32(jh, 36, 0);
        jo.u32(jh, 40, o_.journalHeaderSize);
        jo.u32(jh, 44, sequence_);
        memcpy(img_.data() + journalOff_, jh.data(), jh.size());
    }

    // Volume header (and its copy 1024 bytes before the end).
    std::vector<uint8_t> vh(512, 0);
    be16(vh, 0, o_.hfsx ? 0x4858 : 0x482B);
    be16(vh, 2, o_.hfsx ? 5 : 4);
    be32(vh, 4, 0x100 | (o_.journaled ? 0x2000 : 0));
    be32(vh, 8, o_.journaled ? 0x4846534A : 0x31302E30);  // "HFSJ" / "10.0"
    be32(vh, 12, o_.journaled ? jibBlock_ : 0);
    be32(vh, 16, kDate);
    be32(vh, 20, kDate);
    be32(vh, 32, fileCount_);
    be32(vh, 36, folderCount_);
    be32(vh, 40, bs);
    be32(vh, 44, totalBlocks_);
    be32(vh, 48, totalBlocks_ - used);
    be32(vh, 52, nextFree_);
    be32(vh, 56, 65536);
    be32(vh, 60, 65536);
    be32(vh, 64, nextCnid_);
    be32(vh, 68, sequence_);
    putFork(vh, 112, bitmap_.size(), bitmapBlocks_, {{bitmapStart_, bitmapBlocks_}});
    putFork(vh, 192, (uint64_t)extentsBlocks_ * bs, extentsBlocks_, {{extentsStart_, extentsBlocks_}});
    putFork(vh, 272, (uint64_t)catalogBlocks_ * bs, catalogBlocks_, {{catalogStart_, catalogBlocks_}});
    putFork(vh, 352, (uint64_t)attrBlocks_ * bs, attrBlocks_, {{attrStart_, attrBlocks_}});
    put(1024, vh);
    put(o_.volumeBytes - 1024, vh);
    return img_;
}

void HfsImage::clearJournaledBit(std::vector<uint8_t> &img)
{
    img[1024 + 6] &= (uint8_t)~0x20;
}

void HfsImage::setJournalInfo(std::vector<uint8_t> &img, uint64_t jibOffset, uint32_t flags,
                              uint64_t offset, uint64_t size)
{
    be32(img, jibOffset, flags);
    be64(img, jibOffset + 36, offset);
    be64(img, jibOffset + 44, size);
}

void HfsImage::wipeCatalogHeader(std::vector<uint8_t> &img, uint64_t catalogOffset)
{
    memset(img.data() + catalogOffset, 0, 512);
}

}  // namespace svt
