// Builds journaled HFS+ volumes, which no Debian tool makes: a volume
// header, allocation bitmap, extents, catalog and attributes B-trees (with
// the node sizes Mac OS X uses: 4096-byte catalog nodes, 8192-byte
// attributes nodes), a journal info block and a journal whose transactions
// hold copies of catalog leaf nodes.  File data is written where the
// records point, so recovered bytes can be compared with the originals.
//
// Only the standard library is used, so that tests, fuzzers and benchmarks
// can all compile it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace svt {

// One catalog record as it goes into a leaf node.
struct HfsRecord {
    enum Kind { Folder = 1, File = 2, FolderThread = 3, FileThread = 4 };
    Kind kind = File;
    uint32_t parent = 2;        // key parentID (threads: the CNID they describe)
    std::u16string name;        // key name (threads: empty)
    uint32_t cnid = 0;
    uint32_t createDate = 0;    // seconds since 1904
    // Files.
    uint64_t dataSize = 0;
    uint32_t dataBlocks = 0;
    std::vector<std::pair<uint32_t, uint32_t>> dataExtents;   // (startBlock, blockCount), at most 8
    uint64_t rsrcSize = 0;
    uint32_t rsrcBlocks = 0;
    std::vector<std::pair<uint32_t, uint32_t>> rsrcExtents;
    // Threads.
    uint32_t threadParent = 0;
    std::u16string threadName;

    // The thread record that belongs to this file or folder record.
    HfsRecord thread() const;
};

std::u16string utf16(const std::string &utf8);

class HfsImage {
public:
    struct Options {
        uint64_t volumeBytes = 8u << 20;
        uint32_t blockSize = 4096;
        uint32_t catalogNodeSize = 4096;
        uint32_t attributesNodeSize = 8192;
        uint32_t catalogNodes = 16;
        uint64_t journalBytes = 1u << 20;
        uint32_t journalHeaderSize = 512;    // jhdr_size: the device block size
        uint32_t blockListSize = 4096;       // blhdr_size
        bool journaled = true;
        bool bigEndianJournal = false;       // written by a PowerPC Mac
        bool hfsx = false;
    };

    explicit HfsImage(const Options &o);
    HfsImage() : HfsImage(Options()) {}

    const Options &options() const { return o_; }
    uint32_t blockSize() const { return o_.blockSize; }
    uint64_t journalOffset() const { return journalOff_; }
    uint64_t catalogOffset() const { return (uint64_t)catalogStart_ * o_.blockSize; }
    uint64_t attributesOffset() const { return (uint64_t)attrStart_ * o_.blockSize; }
    uint64_t journalInfoOffset() const { return (uint64_t)jibBlock_ * o_.blockSize; }

    // Folder and file records; a file's data is written into newly
    // allocated blocks, split into `fragments` extents with a free block
    // between them.  live marks the blocks allocated in the bitmap.
    HfsRecord folder(uint32_t cnid, uint32_t parent, const std::string &name, uint32_t date = 0);
    HfsRecord file(uint32_t cnid, uint32_t parent, const std::string &name,
                   const std::vector<uint8_t> &data, uint32_t date = 0, int fragments = 1,
                   bool live = false);
    // A file whose data fork is empty and whose resource fork holds rsrc.
    HfsRecord resourceOnly(uint32_t cnid, uint32_t parent, const std::string &name,
                           const std::vector<uint8_t> &rsrc, uint32_t date = 0);
    // Allocates blocks and writes data there; returns the start block.
    uint32_t writeData(const std::vector<uint8_t> &data, bool live);

    // A catalog leaf node of catalogNodeSize bytes holding the records
    // (sorted by key as HFS+ keeps them).
    std::vector<uint8_t> leafNode(std::vector<HfsRecord> records, uint32_t fLink = 0,
                                  uint32_t bLink = 0) const;

    // The live catalog: leaf nodes 1..n, in this order.
    void setCatalog(const std::vector<std::vector<HfsRecord>> &leaves);
    // Volume offset of catalog node n.
    uint64_t catalogNodeOffset(uint32_t n) const;

    // Appends a transaction to the journal: a block list header and copies
    // of the given catalog nodes (node number, node bytes).  Transactions
    // run on around the end of the circular buffer.
    void journalTransaction(const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> &nodes);
    // Where the next transaction goes (an offset inside the journal).
    uint64_t journalCursor() const { return cursor_; }
    void setJournalCursor(uint64_t pos) { cursor_ = pos; }
    // Raw bytes at an offset inside the journal (wrapping like a transaction).
    void journalWrite(uint64_t pos, const std::vector<uint8_t> &bytes);

    // The finished image (volume header, alternate header, B-tree headers,
    // bitmap and journal header filled in).
    std::vector<uint8_t> image();

    // ---- named damage, applied to the finished image ----
    static void clearJournaledBit(std::vector<uint8_t> &img);
    static void setJournalInfo(std::vector<uint8_t> &img, uint64_t jibOffset, uint32_t flags,
                               uint64_t offset, uint64_t size);
    static void wipeCatalogHeader(std::vector<uint8_t> &img, uint64_t catalogOffset);

private:
    void put(uint64_t off, const std::vector<uint8_t> &bytes);
    uint32_t allocate(uint32_t blocks, bool live);
    void markUsed(uint32_t start, uint32_t count);
    std::vector<uint8_t> headerNode(uint32_t nodeSize, uint32_t totalNodes, uint32_t usedNodes,
                                    uint32_t root, uint32_t depth, uint32_t leafRecords,
                                    uint32_t firstLeaf, uint32_t lastLeaf, uint16_t maxKey,
                                    uint8_t compareType, uint32_t clump) const;

    Options o_;
    std::vector<uint8_t> img_;
    std::vector<uint8_t> bitmap_;
    uint32_t totalBlocks_ = 0;
    uint32_t bitmapStart_ = 0, bitmapBlocks_ = 0;
    uint32_t extentsStart_ = 0, extentsBlocks_ = 0;
    uint32_t catalogStart_ = 0, catalogBlocks_ = 0;
    uint32_t attrStart_ = 0, attrBlocks_ = 0;
    uint32_t jibBlock_ = 0;
    uint32_t journalStart_ = 0, journalBlocks_ = 0;
    uint64_t journalOff_ = 0;
    uint32_t nextFree_ = 0;
    uint64_t cursor_ = 0;
    uint64_t firstTransaction_ = 0;
    uint32_t sequence_ = 1;
    uint32_t catalogLeaves_ = 0, catalogRoot_ = 0, catalogDepth_ = 0, catalogRecords_ = 0;
    uint32_t fileCount_ = 0, folderCount_ = 0, nextCnid_ = 16;
};

}  // namespace svt
