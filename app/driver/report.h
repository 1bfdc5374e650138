// The recovery report: for every file a recovery wrote (or could not), the
// path written, its size and SHA-256, its state and verdict, where its data
// came from (device, partition, byte runs on the device) and its original
// dates, as a CSV table and as Digital Forensics XML (the schema is in
// schemas/dfxml).  Written beside the recovered files as salvitra-report.csv
// and salvitra-report.xml.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "found_file.h"
#include "merrow.h"

namespace salvitra {

class OutputDir;
class ScanJob;
struct RecoverSummary;
struct RecoveredFile;

// A stretch of the device a file's bytes were read from.
struct ByteRun {
    uint64_t fileOffset = 0;    // where it lands in the file
    uint64_t deviceOffset = 0;  // byte offset on the device (not the partition)
    uint64_t length = 0;
};

// Notes, file by file, which device bytes the calling thread reads: the
// runs each file's data was read from.  Installed for its lifetime.
class ReadLog {
public:
    ReadLog();
    ~ReadLog();
    ReadLog(const ReadLog &) = delete;
    ReadLog &operator=(const ReadLog &) = delete;

    // Reads from now on belong to file (null: to none).
    void fileStarts(const FoundFile *file);
    // The runs of a file, in the order they were read, cut to `written`
    // bytes (the end of a last cluster read whole is not the file's).
    std::vector<ByteRun> runs(const FoundFile *file, uint64_t written) const;

private:
    static void onRead(void *self, int32_t devNum, uint64_t offset, uint32_t length, int32_t result);
    const FoundFile *current_ = nullptr;
    std::map<const FoundFile *, std::vector<ByteRun>> runs_;
    Salvitra_ReadWatch before_ = nullptr;
    void *beforeContext_ = nullptr;
};

struct ReportFiles {
    std::string csv, xml;  // paths written ("" when not)
    std::string error;     // why they could not be written
};

// Writes the report of a finished recovery phase of job: its files (sum),
// the runs noted in reads.  name: the report's name without extension
// (empty: "salvitra-report"); a name without '/' is made in the output
// folder `out` (numbered when taken), any other as the path it names.
ReportFiles writeRecoveryReport(const ScanJob &job, const RecoverSummary &sum, const ReadLog &reads, OutputDir &out,
                                const std::string &name = {});

// The report's text, for the tests and the writer.
std::string reportCsv(const ScanJob &job, const RecoverSummary &sum, const ReadLog &reads);
std::string reportDfxml(const ScanJob &job, const RecoverSummary &sum, const ReadLog &reads);

// The SHA-256 of a file's content in lower-case hexadecimal ("" when it
// cannot be read).
std::string sha256OfFile(const std::string &path);

// "unknown", or what a file's write makes plain ("damaged", "unreadable").
const char *fileVerdict(const RecoveredFile &rf);

}  // namespace salvitra
