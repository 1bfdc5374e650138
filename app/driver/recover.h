// Recovery of found files into an output folder.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "inventory.h"
#include "scan.h"

namespace salvitra {

struct RecoverOptions {
    std::string outDir;
    bool keepFolders = true;              // recreate the volume's folders under outDir
    std::vector<std::string> onlyGlobs;   // match on name or folder/name; empty: everything
};

struct RecoveredFile {
    const FoundFile *file = nullptr;
    std::string path;                     // where it was written (or would have been)
    WriteResult result = WriteResult::Ok;
    WriteStats stats;
};

struct RecoverSummary {
    uint32_t written = 0;
    uint64_t bytes = 0;
    uint32_t readFailures = 0;            // chunks written as zeros
    std::vector<RecoveredFile> files;     // every file attempted, in order
    bool stopped = false;
};

// True when file matches one of the globs (or there are none).
bool matchesGlobs(const FoundFile &file, const std::vector<std::string> &globs);

// One path component made safe for the local file system: no separators,
// no control characters, not "." or "..", at most 240 bytes.
std::string safePathComponent(const std::string &s);

// The relative output path of a file: its folders (when kept) and its name,
// each component made safe for the local file system.
std::string relativeOutputPath(const FoundFile &file, bool keepFolders);

// path itself, or "stem (1).ext", "stem (2).ext", ... whichever does not exist yet.
std::string uniquePath(const std::string &path);

// Creates dir and its missing parents.
bool makeDirs(const std::string &dir, std::string *err);

// Sets a written file's modification time; false when it could not.
bool setFileTime(const std::string &path, int64_t mtime);

// Refuses an output folder that lies on the medium being scanned: on the
// device itself, on one of its partitions, or on a loop device backed by the
// scanned image.  why says what was found.
bool outputOnScannedMedium(const std::string &outDir, const std::string &devicePath, std::string *why);

// Writes every selected file through the session's backend.  onFile is
// called before each file (index, count, name); stopRequested ends the loop
// between files and inside a file.
RecoverSummary recoverFiles(ScanSession &session, const std::vector<const FoundFile *> &files,
                            const RecoverOptions &opt,
                            const std::function<void(size_t, size_t, const std::string &)> &onFile = {},
                            const std::function<bool()> &stopRequested = {});

}  // namespace salvitra
