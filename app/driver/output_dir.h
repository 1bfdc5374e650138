// The output side of a recovery: the folder the user chose and everything
// created below it.
//
// Nothing found on a medium may make Salvitra write outside that folder:
// every folder and file below it is created relative to an open handle of
// its parent, never through a symbolic link (openat with O_NOFOLLOW and
// O_DIRECTORY, files with O_EXCL).  Folder handles are kept in a small
// cache of recently used ones, so that however deep the medium's folders
// go, only a bounded number of descriptors is open; a folder that dropped
// out of the cache is opened again by walking from the nearest one still
// open.  A file is written as "NAME.partial" from its first byte and gets
// its name only once it is whole, so a crash, a kill or a full disk never
// leaves a cut file under a name that looks whole.  Before a file is
// created the free space of its folder is checked; errors say what the
// system said, and the ones that will repeat for every further file (full
// disk, read-only, no permission on the output folder itself) are marked
// so that the recovery stops instead of skipping file after file.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "job.h"

namespace salvitra {

struct OutputError {
    int errnum = 0;      // errno of the failing call (0: none)
    std::string text;    // "PATH: No space left on device", ...
    bool repeats = false; // every further file would fail the same way: stop
    explicit operator bool() const { return errnum != 0 || !text.empty(); }
};

// True for errors that no other file will escape: no space, quota,
// read-only file system, I/O error of the output disk.  A refused
// permission repeats only where it concerns the output folder itself;
// errors about one path (a name too long or refused, too many open files
// at some depth, a file too large for the output's file system) never do.
bool outputErrorRepeats(int errnum);

// A file being written below the output folder.
struct OutputFile {
    int fd = -1;
    int dirfd = -1;          // its folder: a handle of its own, closed by finish
    std::string name;        // its name while written: "NAME.partial"
    std::string finalName;   // the name it gets once whole
    std::string relDir;      // its folder, from the output folder ("" for the output folder)
    std::string relPath;     // relDir/finalName: where it goes once whole
    bool number = true;      // a name taken meanwhile gets "name (1).ext", ...
};

class OutputDir {
public:
    OutputDir() = default;
    ~OutputDir();
    OutputDir(const OutputDir &) = delete;
    OutputDir &operator=(const OutputDir &) = delete;

    // Opens the chosen folder, creating it and its missing parents.  The
    // path the user typed is taken as the system resolves it; only what is
    // created below it is guarded against links.
    bool open(const std::string &path, OutputError *err);
    // Creates and removes a probe file, so that a folder the recovery
    // cannot write to is known before the scan starts.
    bool checkWritable(OutputError *err);

    // The folder relDir ("a/b/c", empty: the output folder itself), each
    // missing component created; a component that exists as a link or as a
    // file is refused.  Returns a handle owned by this object and valid
    // until the next call, or -1.
    int folder(const std::string &relDir, OutputError *err);

    // A new file at relPath for `size` bytes: its folders are made, the free
    // space is checked, and the file is created as "NAME.partial" ("name
    // (1).ext.partial", ... when an earlier run left that one).  A NAME
    // that is taken gets a number when the file is finished; with number
    // false a taken NAME fails here with EEXIST.  On success out holds the
    // open file.
    bool create(const std::string &relPath, uint64_t size, OutputFile &out, OutputError *err, bool number = true);
    // Closes a file.  A whole file gets its modification time (mtime >= 0)
    // and its name (never over a file that took the name meanwhile:
    // renameat2 with RENAME_NOREPLACE, or a hard link where the output's
    // file system refuses that flag).  A file that is not whole never gets
    // its name: with keepPartial it stays "NAME.partial" (*kept says its
    // relative path), otherwise it is removed.  True when the file is whole
    // under its name.
    bool finish(OutputFile &f, bool whole, int64_t mtime, bool keepPartial, OutputError *err,
                std::string *kept = nullptr);

    // Folder handles kept open at most (the output folder's own not counted).
    static constexpr size_t kMaxOpenDirs = 64;
    size_t openDirs() const { return dirs_.size(); }

    // Free bytes the folder's file system gives this process (f_bavail, or
    // f_bfree for root); UINT64_MAX when unknown.
    static uint64_t freeSpace(int dirfd);

    const std::string &path() const { return path_; }
    int fd() const { return root_; }

private:
    struct CachedDir {
        int fd = -1;
        uint64_t used = 0;  // last use, for dropping the least recently used
    };
    void remember(const std::string &relDir, int fd);
    void dropDirs(int keep = -1);
    void setError(OutputError *err, int errnum, const std::string &what, int dirfd) const;

    std::string path_;
    int root_ = -1;
    std::map<std::string, CachedDir> dirs_; // relDir -> handle
    uint64_t uses_ = 0;
};

// "photo.jpg" -> "photo (n).jpg"; names without an extension get " (n)".
std::string numberedName(const std::string &name, unsigned n);

// Writes len bytes at the file's current end; on a short or failed write
// err says why.
bool writeAll(OutputFile &f, const void *buf, size_t len, OutputError *err);

// What a reader says about the piece it was asked for, beside its bytes:
// which parts of it could not be read (the reader left zeros there).
class ReadGaps {
public:
    // Bytes [off, off + n) of the piece could not be read.
    void unreadable(uint32_t off, uint32_t n)
    {
        if (n)
            ranges_.push_back({off, n});
    }
    const std::vector<ByteRange> &ranges() const { return ranges_; }
    void clear() { ranges_.clear(); }

private:
    std::vector<ByteRange> ranges_;
};

// The one reader interface of every backend: the file's next `len` bytes
// into buf (cleared before the call).  Returns the bytes delivered: len,
// fewer (the rest could not be read) or -1 (nothing could be read); parts
// inside that could not be read are marked in gaps.  A hole of a sparse
// file is data (zeros), not a gap.
using PieceReader = std::function<int64_t(uint8_t *buf, uint32_t len, ReadGaps &gaps)>;

// For a piece that a library delivered with failures somewhere inside but
// without saying where (it zero-filled what it could not read): marks the
// units of `unit` bytes that hold only zeros, the only places a failure
// can be.  With readsAgain, each such unit is read again on its own and
// only those that fail (readsAgain false) are marked.
void markZeroUnits(const uint8_t *buf, uint32_t len, uint32_t unit, ReadGaps &gaps,
                   const std::function<bool(uint32_t off, uint32_t n)> &readsAgain = {});

// What a copy did, for the writer's status and its reasons.
struct CopyStats {
    uint64_t bytes = 0;          // in the output file: up to the last readable byte
    uint64_t covered = 0;        // of the file read through (readable or not)
    uint64_t readBytes = 0;      // delivered by the reader
    uint64_t unreadableBytes = 0;
    uint32_t unreadablePieces = 0; // stretches that could not be read (all of them)
    std::vector<ByteRange> unreadable; // the first WriteStats::kMaxListedRanges of them
    bool cutShort = false;       // given up: all that followed was unreadable
    bool stopped = false;        // the gate said stop
    bool mediumGone = false;     // the medium went away
    OutputError err;             // the output failed (text from the system)
    // Nothing at all could be read: not a recovered file.
    bool nothingRead() const { return readBytes == 0; }
    // Every byte of the file is in the output as read.
    bool whole(uint64_t size) const
    {
        return !cutShort && !stopped && !mediumGone && !err && unreadableBytes == 0 && bytes == size;
    }
};

// Copies `size` bytes into f, asking read for the next piece of the file
// each time: `piece` bytes (fewer for the last), into a cleared buffer no
// larger than the file needs.  What cannot be read is recorded as stretches
// of the file and written as zeros only where readable data follows: the
// output ends at the last byte that could be read, never with zeros after
// it.  Once `giveUpAfter` bytes in a row could not be read the copy ends
// there (cutShort), since a file whose every chunk past some point is
// unreadable or outside the medium has nothing more to give; mediumGone,
// asked after a piece that could not be read whole, ends the copy when the
// medium went away.  gate is asked before every piece (false: stopped).
// Returns true when all of `size` was covered.
bool copyInto(OutputFile &f, uint64_t size, uint32_t piece, const PieceReader &read, CopyStats &stats,
              const std::function<bool()> &gate = {}, uint64_t giveUpAfter = 16ull << 20,
              const std::function<bool()> &mediumGone = {});

// Adds [offset, offset + length) to a list of stretches in file order,
// joining it to the last one when they touch; past kMaxListedRanges only
// the count grows.  Returns true when it started a new stretch.
bool addRange(std::vector<ByteRange> &list, uint64_t offset, uint64_t length);

// "bytes 4096-8191 and 1048576-1052671" (inclusive; at most `max` listed,
// then "and N more"), for the user.
std::string rangesText(const std::vector<ByteRange> &ranges, uint32_t total, size_t max = 4);

// The piece length for readers that take any whole number of allocation
// units: about 1 MiB of whole units, never more than the file needs.
uint32_t copyPiece(uint32_t unit, uint64_t size);

// The size a writer may produce for a listed file: never more than the
// medium (partition, range or device) it was found on.  When the listed
// size is larger, *why says so ("listed as N bytes on a medium of M").
uint64_t sizeCappedByMedium(uint64_t listed, uint64_t medium, std::string *why);

// The file the recovery loop opened for one write: the writer copies into
// it instead of creating a file at a path, with at most `limit` bytes (the
// medium the file was found on), and leaves what the copy did in `copy`.
struct WriteTarget {
    OutputFile file;
    uint64_t limit = UINT64_MAX;
    CopyStats copy;
    bool used = false;
    std::function<bool()> mediumGone;  // asked when a read fails
};

// Where a writer puts a file: the target the recovery opened, or (for a
// single copy, a preview, a test) a new file at a path.
struct WriteDest {
    WriteDest(const std::string &p) : path(p) {}
    WriteDest(const char *p) : path(p) {}
    explicit WriteDest(WriteTarget &t) : target(&t) {}
    std::string path;
    WriteTarget *target = nullptr;
};

// Refuses an output folder that lies on the medium being scanned, decided
// before anything is created (the nearest existing folder of outDir is
// looked at).  Identities are compared, not paths: the image's device and
// inode (so a hard link of it counts), the block device holding the output
// folder with its whole disk, its partitions, the devices it is built on
// and a loop device's backing file; for mounts without a block device
// (FUSE: exfat-fuse, ntfs-3g) the mount's source from /proc/self/mountinfo.
// why says what was found.
bool outputOnScannedMedium(const std::string &outDir, const std::string &devicePath, std::string *why);

}  // namespace salvitra
