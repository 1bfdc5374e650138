// Scan launch and the uniform view of what a scanner found.
//
// Every scanner library keeps its own result records; a backend turns them
// into FoundFile entries (which point back at those records) and knows how
// to stream one file's data out again.  Backends run on whatever thread
// calls them: the GUI's worker thread or the command line's scan thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "merrow.h"

namespace salvitra {

// Scan mode, as the disk page keeps it: 0 quick, 1 deep.
enum RecoverMod : int32_t { RecoverQuick = 0, RecoverDeep = 1 };

struct FoundFile {
    std::string name;          // file name as the scanner knows it (UTF-8)
    std::string folder;        // folder path inside the volume, '/'-separated, "" for the root
    uint64_t size = 0;         // bytes
    int64_t mtime = -1;        // modification (or creation) time, seconds since the epoch; -1 unknown
    std::string type;          // deep scan: the engine's type name ("jpg"); else the name's extension
    uint64_t offset = 0;       // deep scan: byte offset inside the scanned record
    uint32_t index = 0;        // deep scan: index of the file within its type
    void *record = nullptr;    // the scanner library's own record (owned by that library)
    bool readable = true;      // false: this method cannot read the data back
    std::string note;          // shown beside the file (why it is not readable, ...)
};

struct ScanRequest {
    Partiton_Struct *part = nullptr;  // a listed partition, a range copy or a whole-device record
    RecoverMod mode = RecoverQuick;
    bool formatted = false;           // quick mode: search a re-formatted volume instead
    std::vector<std::string> types;   // deep mode: the picked kinds (lower case); empty: all
};

struct WriteStats {
    uint64_t bytes = 0;          // bytes written to the output
    uint32_t readFailures = 0;   // chunks that could not be read (written as zeros)
};

enum class WriteResult {
    Ok,
    Exists,        // a file is already at the output path: left untouched
    Empty,         // the file has no data (an empty file is left)
    NoRecord,      // no scanner record
    NoChunk,       // the allocation unit of the partition is unknown
    Unreadable,    // this method cannot read the data
    OutputError,   // the output could not be created or written
    Stopped        // the user stopped the recovery
};

const char *writeResultText(WriteResult r);

class ScanBackend {
public:
    virtual ~ScanBackend() = default;
    // Runs the scanner (blocking) and appends what it found.  A scanner that
    // cannot start leaves out empty and returns false.
    virtual bool run(std::vector<FoundFile> &out) = 0;
    // Streams one found file into a new file at path (never overwriting).
    virtual WriteResult write(const FoundFile &file, const std::string &path, WriteStats &stats) = 0;
    // Releases the scanner library's state; FoundFile records die with it.
    virtual void release() = 0;
};

// The backend for a request, or null when nothing can scan it (for example
// a quick scan of a file system without a quick scanner).
std::unique_ptr<ScanBackend> makeBackend(const ScanRequest &req);

// One scan and its results, released on destruction.
class ScanSession {
public:
    explicit ScanSession(const ScanRequest &req);
    ~ScanSession();
    ScanSession(const ScanSession &) = delete;
    ScanSession &operator=(const ScanSession &) = delete;

    // False when no scanner handles the request.
    bool supported() const { return backend_ != nullptr; }
    // Runs the scan on the calling thread.
    bool run();
    // Runs the scan on a worker thread while the calling thread reports the
    // progress value (0..100) every interval; stop() may be called from
    // onProgress or a signal handler's flag check to end it early.
    bool runWithProgress(const std::function<void(int)> &onProgress, int intervalMs = 200,
                         const std::function<bool()> &stopRequested = {});
    void stop();
    bool stopped() const { return stopped_; }

    const ScanRequest &request() const { return req_; }
    const std::vector<FoundFile> &files() const { return files_; }
    ScanBackend *backend() { return backend_.get(); }
    void release();

private:
    ScanRequest req_;
    std::unique_ptr<ScanBackend> backend_;
    std::vector<FoundFile> files_;
    bool ran_ = false;
    bool stopped_ = false;
};

// Chunked copy shared by every writer: creates path exclusively, then for
// each chunk clears the buffer, asks read(buffer, length) for the next
// piece and writes it.  A piece that cannot be read is written as zeros and
// counted, so a damaged sector never repeats stale bytes of the previous
// chunk.  read returns the number of bytes it delivered, or -1.
WriteResult writeChunks(const std::string &path, uint64_t size, uint32_t chunk,
                        const std::function<int64_t(uint8_t *, uint32_t)> &read, WriteStats &stats,
                        const std::function<bool()> &stopRequested = {});

}  // namespace salvitra
