// Recovery of found files into an output folder.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "inventory.h"
#include "output_dir.h"
#include "report.h"
#include "scan.h"

namespace salvitra {

struct RecoverOptions {
    std::string outDir;
    // The output folder already opened and checked (before the scan); when
    // null, recoverFiles opens outDir itself.
    OutputDir *output = nullptr;
    bool keepFolders = true;              // recreate the volume's folders under outDir
    std::vector<std::string> onlyGlobs;   // match on name or folder/name; empty: everything
    std::string reportName;               // the report's name (writeRecoveryReport); empty: salvitra-report
};

struct RecoveredFile {
    const FoundFile *file = nullptr;
    std::string path;                     // where it was written (or would have been)
    WriteResult result = WriteResult::Ok;
    WriteStats stats;                     // what was read and written (stats.unreadable: the stretches lost)
    std::string note;                     // why it is damaged or was not written (the system's words)
    // The name it was written under when that is not its name on the
    // medium (characters no file name may hold, or that would make it show
    // something else: see safePathComponent); "" otherwise.
    std::string renamed;
    bool keptPartial = false;             // what could be written is kept as NAME.partial (path)
};

struct RecoverSummary {
    uint32_t written = 0;
    uint64_t bytes = 0;
    uint32_t readFailures = 0;            // stretches of files that could not be read
    std::vector<RecoveredFile> files;     // every file attempted, in order
    bool stopped = false;
    uint32_t incomplete = 0;              // files cut short by the stop (kept, stats.incomplete)
    uint32_t damaged = 0;                 // written in part only (kept as NAME.partial)
    uint32_t failed = 0;                  // selected but not written (unreadable, output errors)
    bool outputStopped = false;           // an output error that every further file would meet ended it
    bool mediumRemoved = false;           // the medium went away: the files after it were not tried
    Status status;                        // Done, Stopped, OutputError with the first reason, or
                                          // UnreadableMedium with kMediumRemoved
    ReportFiles report;                   // the report written beside the files (report.h)
    // Every selected file was written whole.
    bool allWhole() const { return !stopped && !mediumRemoved && !outputStopped && damaged == 0 && failed == 0; }
};

// What a front end tells the user about one file of a recovery, a line
// each: nothing for a file written whole under its own name; the damage
// and where the rest is kept, why it was skipped, the name it was written
// under.  Names are as on the medium: print the lines through termText.
std::vector<std::string> recoveryLines(const RecoveredFile &rf);

// The recovery as one JSON object: the counts, the status and its reason,
// and per file its name, folder, result ("written", "empty", "damaged",
// "incomplete", "skipped"), the path written, the note, the name it was
// written under when changed, and the stretches that could not be read
// ({"offset", "length"}).  Names stay exact.
std::string recoveryJson(const RecoverSummary &sum, const std::string &outDir);

// True when file matches one of the globs (or there are none).
bool matchesGlobs(const FoundFile &file, const std::vector<std::string> &globs);

// Bytes a written name may have: room for " (99999)" and ".partial" in
// the 255 bytes most file systems take.
constexpr size_t kMaxNameBytes = 232;

// One path component made safe for the local file system: no separators,
// no control characters, no characters that change how it shows (direction
// controls, zero-width characters: see misleadingChar), not "." or "..",
// at most kMaxNameBytes bytes.
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

// One file to write and where, relative to the output folder.
struct PlannedWrite {
    const FoundFile *file = nullptr;
    std::string relPath;
};

// Writes the planned files as one recovery phase of the job (as
// recoverFiles below), through `output` when given (opened and checked
// before the scan) or else through outDir opened here.  A file already at a
// path is left alone and the write reports Exists, unless numberIfExists
// picks "stem (1).ext", ...  The recovery report goes beside the files
// (reportName: its name, empty for salvitra-report; see report.h).
RecoverSummary writePlanned(ScanJob &job, const std::vector<PlannedWrite> &plan, const std::string &outDir,
                            bool numberIfExists,
                            const std::function<void(size_t, size_t, const std::string &)> &onFile = {},
                            OutputDir *output = nullptr, const std::string &reportName = {});

// Writes every selected file through the job's backend, as one recovery
// phase of the job: its pause gate holds between files and between chunks,
// its stop ends the copy within one chunk (the file cut short is marked
// incomplete and kept), its progress counts the bytes written.  onFile is
// called before each file (index, count, relative output path).
RecoverSummary recoverFiles(ScanJob &job, const std::vector<const FoundFile *> &files, const RecoverOptions &opt,
                            const std::function<void(size_t, size_t, const std::string &)> &onFile = {});

// The files of a finished job that a front end picked: of one of the kinds
// in `types` (FoundFile::type; empty: every kind) and matching one of the
// globs (empty: all).  Pointers into the job's store.
std::vector<const FoundFile *> selectFiles(const ScanJob &job, const std::vector<std::string> &types,
                                           const std::vector<std::string> &globs);

// The record a scan of the byte range [start, end) of part (offsets
// inside part) goes through: the device, file system and boot data of
// part, size end - start, and the offset of the range's first byte through
// that device (sv_part_origin(part) + start).  The command line's --range
// and the window's range both come from here.  A range outside part gives
// a zeroed record and *why says so.
Partiton_Struct rangeCopy(const Partiton_Struct &part, uint64_t start, uint64_t end, Status *why = nullptr);

}  // namespace salvitra
