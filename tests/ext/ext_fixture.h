// Ground truth of the ext fixtures and small helpers over ext images held
// in memory.
#pragma once

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "mem_device.h"
#include "test_support.h"

namespace ext_test {

struct TruthEntry {
    std::string kind;    // deleted, symlink, sparse, reused, overwritten, dir
    uint32_t ino = 0;
    uint64_t size = 0;
    std::string source;  // relative to the fixture folder
};

struct Truth {
    uint32_t blockSize = 0;
    uint32_t inodesPerGroup = 0;
    std::vector<TruthEntry> entries;

    // Entries the scanner must list, by group, in inode order.
    std::map<uint32_t, std::vector<TruthEntry>> listedByGroup() const
    {
        std::map<uint32_t, std::vector<TruthEntry>> m;
        for (const TruthEntry &e : entries)
            if (e.kind == "deleted" || e.kind == "symlink" || e.kind == "sparse")
                m[(e.ino - 1) / inodesPerGroup].push_back(e);
        for (auto &kv : m)
            std::sort(kv.second.begin(), kv.second.end(),
                      [](const TruthEntry &a, const TruthEntry &b) { return a.ino < b.ino; });
        return m;
    }
};

inline Truth readTruth(const std::string &path)
{
    Truth t;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string kind;
        ls >> kind;
        if (kind == "geometry") {
            ls >> t.blockSize >> t.inodesPerGroup;
            continue;
        }
        TruthEntry e;
        e.kind = kind;
        std::string size;
        ls >> e.ino >> size >> e.source;
        e.size = size == "-" ? 0 : std::stoull(size);
        t.entries.push_back(e);
    }
    return t;
}

// The expected content of a sparse fixture file of `size` bytes from its
// run list ("OFFSET FILE" lines, FILE relative to dir): zeros elsewhere.
inline std::vector<uint8_t> sparseContent(const std::string &dir, const std::string &runs,
                                          uint64_t size)
{
    std::vector<uint8_t> data(size, 0);
    std::ifstream in(dir + "/" + runs);
    uint64_t off;
    std::string file;
    while (in >> off >> file) {
        std::vector<uint8_t> run = svt::readFile(dir + "/" + file);
        std::copy(run.begin(), run.end(), data.begin() + (ptrdiff_t)off);
    }
    return data;
}

inline std::string groupName(uint32_t g)
{
    return "Group(" + std::to_string(g) + ")";
}

inline std::string lostName(uint32_t i)
{
    return "LostFile(" + std::to_string(i) + ")";
}

// Where the driver shows each file the scanner must list:
// "Group(g)/LostFile(i)" plus the extension its data starts with (the
// fixture's typed files are its .jpg and .png ones).
struct ShownFile {
    TruthEntry entry;
    std::string ext;  // "jpg", "png" or ""
};
inline std::map<std::string, ShownFile> shownFiles(const Truth &truth)
{
    std::map<std::string, ShownFile> out;
    for (auto &kv : truth.listedByGroup()) {
        for (size_t i = 0; i < kv.second.size(); i++) {
            const TruthEntry &e = kv.second[i];
            std::string ext;
            for (const char *typed : {"jpg", "png"}) {
                std::string suffix = std::string(".") + typed;
                if (e.source.size() > suffix.size() &&
                    e.source.compare(e.source.size() - suffix.size(), suffix.size(), suffix) == 0)
                    ext = typed;
            }
            std::string path = groupName(kv.first) + "/" + lostName((uint32_t)i) + (ext.empty() ? "" : "." + ext);
            out[path] = {e, ext};
        }
    }
    return out;
}

// The bytes a recovered file must hold.
inline std::vector<uint8_t> expectedContent(const std::string &dir, const TruthEntry &e)
{
    return e.kind == "sparse" ? sparseContent(dir, e.source, e.size) : svt::readFile(dir + "/" + e.source);
}

// Little-endian stores into an image held in memory.
inline void put32(std::vector<uint8_t> &b, size_t off, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[off + i] = (uint8_t)(v >> (8 * i));
}
inline void put16(std::vector<uint8_t> &b, size_t off, uint16_t v)
{
    b[off] = (uint8_t)v;
    b[off + 1] = (uint8_t)(v >> 8);
}
inline uint32_t get32(const std::vector<uint8_t> &b, size_t off)
{
    return (uint32_t)b[off] | (uint32_t)b[off + 1] << 8 | (uint32_t)b[off + 2] << 16 |
           (uint32_t)b[off + 3] << 24;
}

// Geometry of an ext image in memory, read from its superblock and group
// descriptors (the tests' own reading, independent of the libraries).
struct Geometry {
    uint32_t blockSize, inodesPerGroup, inodeSize, firstDataBlock;
    explicit Geometry(const std::vector<uint8_t> &img)
    {
        blockSize = 1024u << get32(img, 1024 + 24);
        inodesPerGroup = get32(img, 1024 + 40);
        inodeSize = get32(img, 1024 + 76) == 0 ? 128 : (uint16_t)get32(img, 1024 + 88);
        firstDataBlock = get32(img, 1024 + 20);
    }
    size_t descOffset(uint32_t group) const
    {
        return (size_t)(firstDataBlock + 1) * blockSize + (size_t)group * 32;
    }
    uint32_t inodeTable(const std::vector<uint8_t> &img, uint32_t group) const
    {
        return get32(img, descOffset(group) + 8);
    }
    // Byte offset of inode n inside the image.
    size_t inodeOffset(const std::vector<uint8_t> &img, uint32_t n) const
    {
        uint32_t g = (n - 1) / inodesPerGroup, i = (n - 1) % inodesPerGroup;
        return (size_t)inodeTable(img, g) * blockSize + (size_t)i * inodeSize;
    }
    uint32_t iblock(const std::vector<uint8_t> &img, uint32_t n, int i) const
    {
        return get32(img, inodeOffset(img, n) + 40 + 4 * i);
    }
};

}  // namespace ext_test
