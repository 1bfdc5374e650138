// The output side of a recovery: the folder the user chose and everything
// created below it.
//
// Nothing found on a medium may make Salvitra write outside that folder:
// every folder and file below it is created relative to an open handle of
// its parent, never through a symbolic link (openat with O_NOFOLLOW and
// O_DIRECTORY, files with O_EXCL), and each folder is created once and its
// handle kept.  Before a file is created the free space of its folder is
// checked; errors say what the system said, and the ones that will repeat
// for every further file (full disk, read-only, no permission) are marked
// so that the recovery stops instead of skipping file after file.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace salvitra {

struct OutputError {
    int errnum = 0;      // errno of the failing call (0: none)
    std::string text;    // "PATH: No space left on device", ...
    bool repeats = false; // every further file would fail the same way: stop
    explicit operator bool() const { return errnum != 0 || !text.empty(); }
};

// True for errors that no other file will escape: no space, quota,
// read-only file system, permission, I/O error of the output disk.
bool outputErrorRepeats(int errnum);

// A file being written below the output folder.
struct OutputFile {
    int fd = -1;
    int dirfd = -1;        // its folder (owned by the OutputDir)
    std::string name;      // name inside that folder
    std::string relPath;   // from the output folder, as created
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
    // missing component created once; a component that exists as a link or
    // as a file is refused.  Returns a handle owned by this object, or -1.
    int folder(const std::string &relDir, OutputError *err);

    // A new file at relPath for `size` bytes: its folders are made, the free
    // space is checked, and the name is made unique ("name (1).ext") when
    // taken, or with number false the call fails with EEXIST.  On success
    // out holds the open file.
    bool create(const std::string &relPath, uint64_t size, OutputFile &out, OutputError *err, bool number = true);
    // Closes a file.  A whole file gets its modification time (mtime >= 0)
    // and keeps its name.  A file that is not whole never stays under its
    // name: with keepPartial it becomes "NAME.partial" (*kept says the new
    // relative path), otherwise it is removed.
    bool finish(OutputFile &f, bool whole, int64_t mtime, bool keepPartial, OutputError *err,
                std::string *kept = nullptr);

    // Free bytes the folder's file system gives this process (f_bavail, or
    // f_bfree for root); UINT64_MAX when unknown.
    static uint64_t freeSpace(int dirfd);

    const std::string &path() const { return path_; }
    int fd() const { return root_; }

private:
    std::string path_;
    int root_ = -1;
    std::map<std::string, int> dirs_; // relDir -> handle
};

// Writes len bytes at the file's current end; on a short or failed write
// err says why.
bool writeAll(OutputFile &f, const void *buf, size_t len, OutputError *err);

// What a copy did, for the writer's status and its reasons.
struct CopyStats {
    uint64_t bytes = 0;          // written (zero-filled pieces included)
    uint64_t unreadableBytes = 0; // written as zeros because they could not be read
    uint32_t unreadablePieces = 0;
    bool cutShort = false;       // given up at `bytes`: all that followed was unreadable
    bool stopped = false;        // the gate said stop
    OutputError err;             // the output failed (text from the system)
    // Nothing at all could be read: not a recovered file.
    bool nothingRead() const { return bytes == 0 || unreadableBytes == bytes; }
};

// Copies `size` bytes into f, asking read(buffer, length) for the next piece
// of the file each time: `piece` bytes (fewer for the last), into a cleared
// buffer no larger than the file needs.  A piece that cannot be read (read returns
// less than asked, or -1) is written as zeros and counted; once
// `giveUpAfter` bytes in a row could not be read the copy ends at the last
// readable byte (cutShort), since a file whose every chunk past some point
// is unreadable or outside the medium has nothing more to give.  gate is
// asked before every piece (false: stopped).  Returns true when all of
// `size` was written.
bool copyInto(OutputFile &f, uint64_t size, uint32_t piece,
              const std::function<int64_t(uint8_t *, uint32_t)> &read, CopyStats &stats,
              const std::function<bool()> &gate = {}, uint64_t giveUpAfter = 16ull << 20);

// The piece length for readers that take any whole number of allocation
// units: about 1 MiB of whole units, never more than the file needs.
uint32_t copyPiece(uint32_t unit, uint64_t size);

// The size a writer may produce for a listed file: never more than the
// medium (partition, range or device) it was found on.  When the listed
// size is larger, *why says so ("listed as N bytes on a medium of M").
uint64_t sizeCappedByMedium(uint64_t listed, uint64_t medium, std::string *why);

// The file the recovery loop opened for the writer that runs next on this
// thread: writeChunks copies into it instead of opening a path, with at most
// `limit` bytes (the medium the file was found on), and leaves what the copy
// did in `copy`.  Installed for one write by WriteTargetScope.
struct WriteTarget {
    OutputFile file;
    uint64_t limit = UINT64_MAX;
    CopyStats copy;
    bool used = false;
};

class WriteTargetScope {
public:
    explicit WriteTargetScope(WriteTarget &t);
    ~WriteTargetScope();
    WriteTargetScope(const WriteTargetScope &) = delete;
    WriteTargetScope &operator=(const WriteTargetScope &) = delete;
    // The target of this thread, or null.
    static WriteTarget *current();

private:
    WriteTarget *prev_;
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
