// Scan jobs: one scan of one partition, and the recovery of its files, as an
// object both front ends watch, pause, stop and read from while it runs.
//
//   ScanRequest req;  req.part = p->part;  req.mode = RecoverDeep;
//   ScanJob job(req, &observer);          // picks the backend row; loads nothing yet
//   job.start();                          // worker thread; or job.run() on this thread
//   ... job.pause(); job.resume(); job.stop(); job.progress(); job.snapshot(from) ...
//   Status s = job.wait();                // Done, Stopped, or why it could not scan
//   job.startWrites([&] { sum = recoverFiles(job, picked, opt); });
//   job.wait();                           // writes take the same job: pause and stop hold
//   job.release();                        // (or the destructor) frees the library's records
//
// Threads.  Every public member may be called from any thread, except that
// run()/start(), wait(), release() and the destructor belong to the owner.
// The observer is called on job threads (the scanning thread, or the
// job's progress ticker), never on the caller's, and never two calls at
// once; a GUI turns the calls into queued signals.  A deep scan's engine
// waits while onFiles runs: an observer that blocks on the interface thread
// (a blocking queued signal) must not be waited for from that thread —
// stop() never waits, wait() and release() do.
//
// The stop holds: once stop() is called the shared progress value stays at
// the stop value (200) until the scanner returns, whatever the scanner
// writes meanwhile, and the job ends Stopped with everything found so far
// kept, however early the stop came (before start(): the library is never
// touched).  A stop that comes after the scan's end and before the writes
// is kept for the writes: they end at once, Stopped.
//
// The pause gate: every found-file delivery, every recovery chunk and,
// while a scan runs, every look of the scanner library at the shared
// progress value passes it (libmerrow's progress gate, installed by the
// job), so a paused job stops reading within one step of its walk: one
// window of the deep engine, one batch of records, one directory, one
// chunk.  A stop releases a paused job.
//
// Lifetimes.  A scanner library keeps its state in process-wide variables:
// only one job per library can hold it (from start until release).  A
// second start is refused with StatusCode::Busy and never touches the first
// job's records.  When the request names its Inventory, the job holds it
// from start until release, so a device-list rebuild asked for meanwhile is
// deferred to the job's end (Inventory::requestRebuild).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "found_file.h"
#include "merrow.h"

namespace salvitra {

class Inventory;
class ScanBackend;
struct BackendRow;
struct WriteDest;

// Scan mode, as the disk page keeps it: 0 quick, 1 deep.
enum RecoverMod : int32_t { RecoverQuick = 0, RecoverDeep = 1 };

// The three kinds of scan a backend row can offer.
enum class ScanKind : uint8_t { Quick, Formatted, Deep };
const char *scanKindText(ScanKind k);  // "quick", "formatted-volume", "deep"

struct ScanRequest {
    Partiton_Struct *part = nullptr;  // a listed partition, a range copy or a whole-device record
    RecoverMod mode = RecoverQuick;
    bool formatted = false;           // quick mode: search a re-formatted volume instead
    std::vector<std::string> types;   // deep mode: the only kinds the engine looks for (lower-case
                                      // extensions; empty: all; kinds it cannot find are passed over)
    Inventory *inventory = nullptr;   // held from start to release when given
    // Deep mode, when part is a range copy of a partition (rangeCopy): the
    // partition, whose file system the scan reads too.
    Partiton_Struct *volume = nullptr;
    // Deep mode: the content search alone, without the file system's own
    // records (the deep scan reads both and merges them; merged.h).
    bool contentOnly = false;

    ScanKind kind() const
    {
        return mode == RecoverDeep ? ScanKind::Deep : formatted ? ScanKind::Formatted : ScanKind::Quick;
    }
};

// ---- statuses ----

enum class StatusCode : uint8_t {
    Done,               // ran to its end (a scan that found nothing is Done too)
    Stopped,            // stopped by the user: what was found or written so far is kept
    NotSupported,       // no scanner of this kind for this file system
    NotThisFileSystem,  // the scanner refused the volume: not its file system, or a damaged header
    UnreadableMedium,   // the medium could not be read
    LibraryMissing,     // the scanner library is not in this build or could not be loaded
    Busy,               // another job holds this scanner library
    OutputError,        // writes: the output could not be created or written
    MediumRemoved,      // the medium went away during the scan: what was found is kept
};
const char *statusCodeText(StatusCode c);  // "done", "stopped", "not supported for this file system", ...

struct Status {
    StatusCode code = StatusCode::Done;
    std::string reason;  // for the user: why (empty for Done)

    bool ok() const { return code == StatusCode::Done; }
    explicit operator bool() const { return ok(); }
    // statusCodeText, then ": reason" when there is one.
    std::string text() const;
};

// ---- writes ----

// A stretch of a file: bytes [offset, offset + length).
struct ByteRange {
    uint64_t offset = 0;
    uint64_t length = 0;
    bool operator==(const ByteRange &o) const { return offset == o.offset && length == o.length; }
};

struct WriteStats {
    uint64_t bytes = 0;          // bytes written to the output
    uint32_t readFailures = 0;   // stretches of the file that could not be read
    uint64_t unreadableBytes = 0;
    // Those stretches, in file order (the first kMaxListedRanges of them).
    std::vector<ByteRange> unreadable;
    static constexpr size_t kMaxListedRanges = 1000;
    bool incomplete = false;     // stopped inside the file: the output holds only `bytes`
    bool mediumGone = false;     // the medium went away while the file was read
};

enum class WriteResult {
    Ok,
    Exists,        // a file is already at the output path: left untouched
    Empty,         // the file has no data (an empty file is left)
    NoRecord,      // no scanner record
    NoChunk,       // the allocation unit of the partition is unknown
    Unreadable,    // this method cannot read the data
    OutputError,   // the output could not be created or written
    Stopped,       // the user stopped the recovery (stats.incomplete when inside the file)
    Damaged        // written in part only (cut to the medium, or unreadable from some point on):
                   // kept as NAME.partial, the reason in RecoveredFile::note
};
const char *writeResultText(WriteResult r);
// The status a write result amounts to (Ok and Empty are Done).
StatusCode writeStatusCode(WriteResult r);

// ---- job ----

enum class JobState : uint8_t { Idle, Running, Paused, Stopping, Finished };
const char *jobStateText(JobState s);

struct Progress {
    int percent = 0;            // 0..100 (the stop value never shows)
    uint64_t bytesDone = 0;     // of bytesTotal, from the percentage where the scanner gives no more
    uint64_t bytesTotal = 0;    // 0 when unknown
    double seconds = 0;         // since the phase (scan or recovery) started
    double bytesPerSecond = 0;  // 0 until known
    double secondsLeft = -1;    // -1 when unknown
    uint64_t files = 0;         // files in the result store (scan) or written so far (recovery)
    // Scans: areas of the medium that could not be read (and were gone
    // past), and their bytes.
    uint32_t unreadableAreas = 0;
    uint64_t unreadableBytes = 0;
};

class JobObserver {
public:
    virtual ~JobObserver() = default;
    // New files, in delivery order: batch[i].id == first + i.  Deep scans
    // deliver while the engine runs (every 256 files, and at least every
    // 100 ms while files are waiting);
    // quick scans deliver when the scanner returns.  The batch is the
    // observer's own copy: move it on (into a queued signal, say).
    virtual void onFiles(uint64_t first, std::vector<FoundFile> batch) { (void)first, (void)batch; }
    // About every progress interval while a scan or a recovery runs.
    virtual void onProgress(const Progress &p) { (void)p; }
    // Once per phase: after the scan, and after each recoverFiles call.
    virtual void onFinished(const Status &s) { (void)s; }
};

class ScanJob {
public:
    explicit ScanJob(const ScanRequest &req, JobObserver *observer = nullptr);
    ~ScanJob();  // stops and waits for a running scan, then releases
    ScanJob(const ScanJob &) = delete;
    ScanJob &operator=(const ScanJob &) = delete;

    const ScanRequest &request() const { return req_; }
    // The backend row chosen for the request (null when none matches).
    const BackendRow *row() const { return row_; }
    // False when the request cannot be scanned at all (status() says why).
    bool supported() const;

    // ---- the scan ----
    // Runs the scan on the calling thread; returns its status.  A job runs
    // its scan once; later calls return the first status.
    Status run();
    // Runs the scan on a worker thread; false when one was already started.
    bool start();
    // Waits for a started scan (returns at once after run()); its status.
    Status wait();
    // Waits at most timeoutMs; true when the scan has ended.
    bool waitFor(int timeoutMs);

    // ---- control, from any thread ----
    void stop();
    // As stop(), for a stop button whose question may outlast what it was
    // pressed for: stops a scan (started or not) or writes that run now;
    // between the scan's end and the writes it does nothing (no stop is
    // kept for the writes) and returns false.
    bool stopIfRunning();
    void pause();
    void resume();
    bool stopRequested() const { return stop_.load(std::memory_order_acquire); }
    // True while the job's worker waits at the pause gate: a paused job
    // has stopped reading once this holds.
    bool holding() const;
    // Waits until the worker holds at the gate or the phase has ended, at
    // most timeoutMs; true when it holds.
    bool waitHolding(int timeoutMs) const;
    JobState state() const { return state_.load(std::memory_order_acquire); }
    Status status() const;
    Progress progress() const;
    // Interval of the observer's onProgress calls (default 200 ms); set
    // before start.
    void setProgressInterval(int ms) { intervalMs_ = ms > 0 ? ms : 200; }

    // The pause gate: blocks while paused; false once a stop is requested.
    // Backends call it before every delivery and every recovery chunk.
    bool gate();
    // True once the medium the request reads went away (unplugged, its
    // image removed, its file system unmounted).  A running scan then ends
    // with StatusCode::MediumRemoved, keeping what it found.
    bool mediumRemoved() const;

    // ---- results ----
    // Files in the store; grows while a deep scan runs.
    size_t fileCount() const;
    // Copies of the files with ids from..from+max-1 that exist now: a page
    // pulls what is new with snapshot(known).
    std::vector<FoundFile> snapshot(size_t from = 0, size_t max = SIZE_MAX) const;
    // Blocks until more than `known` files exist or the scan has ended, at
    // most timeoutMs; the file count then.
    size_t waitForFiles(size_t known, int timeoutMs) const;
    // The store itself, for use once the scan has ended (wait() returned):
    // elements never move, so pointers to them stay valid until release().
    const std::deque<FoundFile> &files() const { return files_; }

    // ---- writes ----
    // Runs a recovery phase (a recoverFiles or writePlanned call on this
    // job) on the job's worker thread, once the scan has ended; false while
    // the scan or other writes still run.  The phase opens here, on the
    // caller's thread: a stop or pause from now on is the writes'.
    // waitFor() and wait() wait for it; the front ends drive it as the scan.
    bool startWrites(std::function<void()> writes);
    // Streams one file into dest (the file a recovery opened, or a new file
    // at a path), through the pause gate and the stop of this job.  Between
    // recoverFiles calls the job is Finished; a single file written then (a
    // copy for the preview) is not held by a stop or pause left over from
    // the scan or the last recovery.
    WriteResult write(const FoundFile &file, const WriteDest &dest, WriteStats &stats);
    // Opens and closes a recovery phase: state Running, progress over
    // `bytesTotal`; end reports onFinished.  recoverFiles calls them.  The
    // scan's own stop does not carry over; a stop that came after the scan
    // (or after startWrites) does.
    void beginWrites(uint64_t bytesTotal);
    void addWritten(uint64_t bytes, bool fileDone);
    // A reason without a stop ends the phase with `failure` (an output
    // error unless said otherwise).
    Status endWrites(bool stopped, const std::string &reason = {}, StatusCode failure = StatusCode::OutputError);

    // Frees the scanner library's records (FoundFile::record dies), the
    // library lease and the inventory hold.  The store's files stay.
    void release();

    // What the scan has to say beside its files (the merged deep scan:
    // what it left out, a file system it could not read), one line each.
    std::vector<std::string> notes() const;

    // ---- for backends ----
    // Appends found files (ids are assigned here) and hands them to the
    // observer in batches; each passes the gate first.  False once stopped.
    bool deliver(FoundFile f);
    void deliverAll(std::vector<FoundFile> files);
    // Flushes the pending batch to the observer.
    void flush();
    // A backend that runs other backends takes their files first: while a
    // hook is set, every file delivered goes to it, and only those it
    // returns true for are stored (as it may have changed them).  Set and
    // cleared on the scanning thread.
    void setDeliveryHook(std::function<bool(FoundFile &)> hook);
    // The part of the progress bar the running scanner's 0..100 fills:
    // from base to base + span percent.
    void setProgressSpan(int base, int span);
    void addNote(const std::string &line);

private:
    struct Lease;
    void finish(const Status &s);
    void setState(JobState s);
    void tickerLoop();
    void holdStopValue();
    bool checkMedium(bool look);
    void stopLocked();
    // Waits (mu_ held) while paused and not stopped.
    void waitAtGate(std::unique_lock<std::mutex> &l);
    // Opens a recovery phase (mu_ held); false when one is open already.
    bool openWrites();
    static void progressGate(void *job);

    ScanRequest req_;
    JobObserver *observer_;
    const BackendRow *row_ = nullptr;
    std::unique_ptr<ScanBackend> backend_;
    Status initial_;  // why the job cannot scan, when it cannot

    std::function<bool(FoundFile &)> hook_;
    int spanBase_ = 0, spanSize_ = 100;  // guarded by mu_
    std::vector<std::string> notes_;     // guarded by mu_

    std::atomic<JobState> state_{JobState::Idle};
    std::atomic<bool> stop_{false};
    std::atomic<bool> ran_{false};
    std::atomic<bool> scanning_{false};  // the library runs (the stop value applies)
    std::atomic<bool> removed_{false};   // the medium went away
    uint32_t unreadableAreas_ = 0;       // what the scan could not read, taken at its end
    uint64_t unreadableBytes_ = 0;
    int intervalMs_ = 200;

    mutable std::mutex mu_;  // store, status, pause, progress counters
    mutable std::condition_variable cv_;   // pause gate, the end, new files
    std::condition_variable tickCv_;       // the ticker: stop and end only
    mutable int fileWaiters_ = 0;          // threads in waitForFiles
    bool paused_ = false;
    bool ended_ = false;
    bool pendingStop_ = false;       // a stop that came between the scan and the writes
    int holding_ = 0;                // threads waiting at the gate
    std::chrono::steady_clock::time_point pausedSince_{};
    std::chrono::steady_clock::duration pausedTotal_{};  // of this phase, not counted in its speed
    Status status_;
    std::deque<FoundFile> files_;
    size_t filesFlushed_ = 0;      // files handed to the observer
    mutable int lastPercent_ = 0;  // the last percentage shown (never goes back)
    std::chrono::steady_clock::time_point lastFlush_{};
    std::chrono::steady_clock::time_point phaseStart_{};
    uint64_t writeTotal_ = 0, written_ = 0, filesWritten_ = 0;
    bool writing_ = false;

    std::mutex observerMu_;  // one observer call at a time
    std::thread worker_;
    std::thread ticker_;
    std::unique_ptr<Lease> lease_;
};

// Whether the quick scanner of the partition's file system accepts the
// volume, by its library's own check (init, then exit), without a scan.
// Busy while a job holds that library; NotSupported where no quick scanner
// exists.  Any thread.
Status checkVolume(Partiton_Struct *part);

// ---- one diagnostics channel ----
// The driver never prints.  Diagnostic lines (what went wrong inside a
// writer or a backend, for the curious) go to the sink a front end
// installs; without one they are dropped.  Thread-safe.
void setDiagnosticSink(std::function<void(const std::string &)> sink);
void diagnostic(const std::string &line);

}  // namespace salvitra
