// One file a scan found, as both front ends see it.
//
// Every scanner library keeps its own result records; a backend turns them
// into FoundFile entries that point back at those records (`record`, owned
// by the library until the job is released) and knows how to stream one
// file's data out again.
#pragma once

#include <cstdint>
#include <string>

namespace salvitra {

// What kind of find a file is.  One value per file; the note says more.
enum class FileState : uint8_t {
    Deleted,     // a deleted entry found through the file system's own records
    Formatted,   // a file of a volume that was formatted again
    Carved,      // found by its content (deep scan)
    Damaged,     // listed, but only partly readable (the note says which part)
    Unreadable,  // listed, but this scan method cannot read its data back
    Unverified,  // read where its entry points, though nothing there shows it is the file (the note says why)
};

// Short text for a state: "deleted", "formatted volume", "found by content",
// "damaged", "unreadable", "unverified".
const char *fileStateText(FileState s);

// Whether a file will come back whole, judged from evidence before
// anything is read back (the merged deep scan; other scans leave Unknown).
enum class Verdict : uint8_t {
    Unknown,      // no evidence either way: a format without structure checks
    Good,         // its data is free, claimed by no other file, and its structure checks out to its end
    Damaged,      // part of its data is another file's now, or its structure breaks at a known place
    Overwritten,  // none of its data is left
};

// "unknown", "good", "damaged", "overwritten".
const char *verdictText(Verdict v);

// Which times a file system keeps for a find.
enum class FileTimes : uint8_t {
    None,          // no time at all (deep scan, ext2 finds without one)
    ModifiedOnly,  // FAT, ext2/ext3: the last modification
    CreatedOnly,   // NTFS deleted-file records and HFS+ journal records: creation only
    Both,
};

struct FoundFile {
    // Stable identity inside its job: the position in the job's result
    // store (0, 1, 2, ... in delivery order).  Never reused, never moves.
    uint64_t id = 0;
    std::string name;          // file name as the scanner knows it (UTF-8)
    std::string folder;        // folder path inside the volume, '/'-separated, "" for the root
    uint64_t size = 0;         // bytes (never more than the medium it was found on)
    uint64_t listedSize = 0;   // the size the medium states when it was larger (size was cut), else 0
    // Seconds since the epoch, -1 unknown.  Recovery stamps `mtime` (only)
    // on the output file; a creation time is never passed off as one.
    int64_t mtime = -1;        // last modification
    int64_t created = -1;      // creation
    FileTimes times = FileTimes::None;
    // The kind used for grouping everywhere (tree, filters, --types): the
    // name's extension in lower case, else the engine's type ("jpg") or the
    // type sniffed from the data; "" when none is known.
    std::string type;
    uint64_t offset = 0;       // deep scan: byte offset inside the scanned record
    uint32_t index = 0;        // deep scan: index of the file within its type
    void *record = nullptr;    // the scanner library's own record (owned by that library)
    FileState state = FileState::Deleted;
    std::string note;          // shown beside the file (why it is damaged or unreadable, ...)
    // The merged deep scan: which of the job's scanners found the file (its
    // writer), whether the content search found it too where the file
    // system places it, and the verdict with its evidence.
    uint8_t source = 0;
    bool confirmed = false;    // "confirmed by content"
    Verdict verdict = Verdict::Unknown;
    std::string why;           // the evidence behind the verdict

    bool readable() const { return state != FileState::Unreadable; }
};

}  // namespace salvitra
