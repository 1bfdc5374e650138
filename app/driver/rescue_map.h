// The state of a disk-image copy, area by area, in GNU ddrescue's mapfile
// format: what was read ('+'), what failed and how far it was narrowed
// ('*' non-trimmed, '/' non-scraped, '-' bad sectors) and what was not
// tried yet ('?').  A copy stopped half-way goes on from its map, in
// Salvitra or in ddrescue, and a map ddrescue wrote is taken here.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace salvitra {

enum class BlockStatus : char {
    NonTried = '?',
    NonTrimmed = '*',
    NonScraped = '/',
    BadSector = '-',
    Finished = '+',
};

// What the copy was doing when the map was written (the status line).
enum class RescuePhase : char {
    Copying = '?',
    Trimming = '*',
    Scraping = '/',
    Retrying = '-',
    Finished = '+',
};

class RescueMap {
public:
    // A map of `size` bytes, all non-tried.
    explicit RescueMap(uint64_t size = 0);

    uint64_t size() const { return size_; }
    // Marks [pos, pos + len) (clipped to the map); neighbours of the same
    // status merge.
    void set(uint64_t pos, uint64_t len, BlockStatus status);
    // The status at pos (Finished past the end).
    BlockStatus at(uint64_t pos) const;
    // Bytes in a status.
    uint64_t bytes(BlockStatus status) const;
    // The areas in order: f(pos, len, status); return false to stop.
    void forEach(const std::function<bool(uint64_t, uint64_t, BlockStatus)> &f) const;
    // The first area of `status` that ends after pos, as [*start, *end); false when none.
    bool nextArea(BlockStatus status, uint64_t pos, uint64_t *start, uint64_t *end) const;
    // The last area of `status` that starts before pos.
    bool prevArea(BlockStatus status, uint64_t pos, uint64_t *start, uint64_t *end) const;
    size_t areaCount() const { return areas_.size(); }

    // Where the copy stands, written into the status line.
    RescuePhase phase = RescuePhase::Copying;
    int pass = 1;
    uint64_t position = 0;

    // The mapfile text.  `heading` lines go first, each as a comment.
    std::string text(const std::string &heading) const;
    // Reads a mapfile for a medium of `size` bytes.  Areas the file does not
    // cover are non-tried.  False, with *why, when the text is no mapfile
    // or describes something else than this medium (an area past its end,
    // areas out of order or overlapping).
    bool parse(const std::string &text, uint64_t size, std::string *why);

private:
    struct Area {
        uint64_t len;
        BlockStatus status;
    };
    std::map<uint64_t, Area> areas_;  // start -> area; contiguous from 0 to size_
    uint64_t size_ = 0;
    uint64_t totals_[5] = {};

    static size_t slot(BlockStatus s);
    std::map<uint64_t, Area>::iterator split(uint64_t pos);
};

// The mapfile's text on disk: written to a new file beside it and moved
// over the old one, so that a crash leaves one or the other, whole; with
// sync, on the disk before it takes the old one's place.
bool saveMapFile(const std::string &path, const std::string &text, std::string *why, bool sync = true);
bool loadMapFile(const std::string &path, std::string *text, std::string *why);

}  // namespace salvitra
