// The scanner backends: one const row per scanner in one table.
//
// A row names the file-system type codes its scanner takes, its label,
// which of the quick, formatted-volume and deep scans it offers, the
// library whose process-wide state it uses, and its factory.  Adding a
// file system is one row here and one backend file.  The table is plain
// data: answering what a partition offers loads no library.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "job.h"

namespace salvitra {

// A scan in progress and its stream-out of files, for one library.
//
// run() scans on the job's thread and hands every find to job.deliver()
// (deep scans as the engine finds them, quick scans when the library
// returns); it returns Done, Stopped, or why it could not scan.  write()
// streams one found file into a new file at path (never overwriting),
// passing job.gate() before every chunk.  release() frees the library's
// state, after which FoundFile::record is dangling.
// The libraries whose state is process-wide: one live job each.
enum class ScanLibrary : uint8_t { Polder, Taskel, Briel, Cosk, Varn, Hollin, Sennet, Count };
const char *scanLibraryName(ScanLibrary l);  // "libpolder", ...

// A stretch of a file's data on its partition (offset and length in
// bytes), or a stretch that lies nowhere: kRunSparse (zeros by design),
// kRunLost (zeros because the data is gone).
struct DataRun {
    uint64_t offset = 0;
    uint64_t length = 0;
};
constexpr uint64_t kRunSparse = SV_RUN_SPARSE;
constexpr uint64_t kRunLost = SV_RUN_LOST;
// A Salvitra_RunFn that appends to the std::vector<DataRun> it is given.
void collectRun(void *runs, uint64_t offset, uint64_t length);

class ScanBackend {
public:
    virtual ~ScanBackend() = default;
    virtual Status run(ScanJob &job) = 0;
    virtual WriteResult write(const FoundFile &file, const WriteDest &dest, WriteStats &stats,
                              const std::function<bool()> &gate) = 0;
    virtual void release() = 0;
    // The library's own check of the volume, without a scan: its init, then
    // its exit.  Done when the library would scan it, else why not.  Runs
    // under the library's lease (checkVolume).
    virtual Status check() { return {StatusCode::NotSupported, "this scanner has no check of its own"}; }

    // ---- what the merged deep scan asks of the file-system backends ----
    // The libraries a run holds (empty: its row's library).
    virtual std::vector<ScanLibrary> libraries() const { return {}; }
    // Where a file this backend found lies on its partition, in file order
    // (false: not known).  Valid between run() and release().
    virtual bool runs(const FoundFile &file, std::vector<DataRun> &out)
    {
        (void)file, (void)out;
        return false;
    }
    // A formatted-volume search: true when it found the file among the
    // records of the volume the partition holds now, not of one formatted
    // over (the quick scan speaks for those).
    virtual bool ofPresentVolume(const FoundFile &file)
    {
        (void)file;
        return false;
    }
    // SV_ALLOC_* bits of the present file system for a byte range of the
    // partition (0: it says nothing), once run() has read the volume.
    virtual int allocation(uint64_t offset, uint64_t length)
    {
        (void)offset, (void)length;
        return 0;
    }
    // A search that can take its pass over the partition from the content
    // search: beginFed() (true when it can) before the content search,
    // feed() with the partition's bytes in order, then run() finishes the
    // search from what was fed.
    virtual bool beginFed() { return false; }
    virtual void feed(uint64_t offset, const uint8_t *data, uint32_t length) { (void)offset, (void)data, (void)length; }
};

using BackendFactory = std::unique_ptr<ScanBackend> (*)(const ScanRequest &req);

struct BackendRow {
    const char *label;                 // "FAT", "NTFS", "ext2", "ext3", "HFS+", "HFSX", "exFAT", "signature"
    std::array<int32_t, 4> fsTypes;    // FsType codes taken (0 ends the list); deep row: any
    bool anyFsType;                    // the deep row: every partition, whatever its FsType
    bool quick, formatted, deep;       // the kinds of scan offered
    ScanLibrary library;
    // Null when the library is not part of this build.  Quick/deep rows
    // use `make`, the formatted-volume search `makeFormatted`.
    BackendFactory make;
    BackendFactory makeFormatted;
};

// Every row, in a fixed order; the deep row comes last.
const BackendRow *backendRows(size_t *count);

// The row that scans fsType in this kind, or null.
const BackendRow *findBackendRow(int32_t fsType, ScanKind kind);

// Which scans a partition offers (from its FsType; loads nothing).  A row
// whose library is not in this build does not count.
struct Capabilities {
    bool quick = false, formatted = false, deep = false;
    const char *label = "";  // the quick/formatted scanner's label, "" when none
    bool offers(ScanKind k) const { return k == ScanKind::Quick ? quick : k == ScanKind::Formatted ? formatted : deep; }
};
Capabilities capabilities(const Partiton_Struct *part);
Capabilities capabilities(int32_t fsType);

// The backend for a request, or null with *why set (NotSupported,
// LibraryMissing).  Used by ScanJob; exposed for tests and tools.
std::unique_ptr<ScanBackend> makeBackend(const ScanRequest &req, Status *why = nullptr,
                                         const BackendRow **row = nullptr);

// The factories the rows name (defined by each backend file when its
// library is part of the build).
std::unique_ptr<ScanBackend> makeFatBackend(const ScanRequest &req);
std::unique_ptr<ScanBackend> makeFatFormattedBackend(const ScanRequest &req);
std::unique_ptr<ScanBackend> makeNtfsBackend(const ScanRequest &req);
std::unique_ptr<ScanBackend> makeNtfsFormattedBackend(const ScanRequest &req);
std::unique_ptr<ScanBackend> makeExt2Backend(const ScanRequest &req);
std::unique_ptr<ScanBackend> makeExt3Backend(const ScanRequest &req);
std::unique_ptr<ScanBackend> makeHfspBackend(const ScanRequest &req);
std::unique_ptr<ScanBackend> makeExfatBackend(const ScanRequest &req);
std::unique_ptr<ScanBackend> makeDeepBackend(const ScanRequest &req);
// The deep scan: the content search, merged with the file systems' own
// records (merged.h); the content search alone for contentOnly requests.
std::unique_ptr<ScanBackend> makeMergedBackend(const ScanRequest &req);

}  // namespace salvitra
