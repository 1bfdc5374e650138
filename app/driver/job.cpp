// Scan jobs: state, the stop that holds, the pause gate, the result store,
// library leases and the one diagnostics channel.
#include "job.h"
#include "output_dir.h"
#include "text.h"

#include <algorithm>

#include "backends.h"
#include "inventory.h"

namespace salvitra {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kStopValue = 200;
constexpr size_t kBatchFiles = 256;
constexpr auto kBatchAge = std::chrono::milliseconds(100);
// How often the ticker re-asserts the stop value while a stopped scanner
// is still running.
constexpr auto kStopHoldPeriod = std::chrono::milliseconds(5);
// How often a running scan looks whether its medium is still there (a
// removed image file still reads through its open descriptor).
constexpr auto kMediumLookPeriod = std::chrono::milliseconds(1000);

// One job per scanner library (its state is process-wide), and one scan at a
// time in the process (the progress value is process-wide).
std::mutex g_leaseMu;
const void *g_libOwner[(size_t)ScanLibrary::Count] = {};
const void *g_scanOwner = nullptr;

std::mutex g_diagMu;
std::function<void(const std::string &)> g_diagSink;

int32_t progressValue()
{
    return __atomic_load_n(&ExportsData, __ATOMIC_SEQ_CST);
}

void storeProgress(int32_t v)
{
    __atomic_store_n(&ExportsData, v, __ATOMIC_SEQ_CST);
}

}  // namespace

const char *scanKindText(ScanKind k)
{
    switch (k) {
    case ScanKind::Quick: return "quick";
    case ScanKind::Formatted: return "formatted-volume";
    case ScanKind::Deep: return "deep";
    }
    return "?";
}

const char *statusCodeText(StatusCode c)
{
    switch (c) {
    case StatusCode::Done: return "done";
    case StatusCode::Stopped: return "stopped";
    case StatusCode::NotSupported: return "not supported for this file system";
    case StatusCode::NotThisFileSystem: return "not this file system, or a damaged header";
    case StatusCode::UnreadableMedium: return "the medium cannot be read";
    case StatusCode::LibraryMissing: return "the scanner library is missing";
    case StatusCode::Busy: return "another scan is using this scanner";
    case StatusCode::OutputError: return "the output could not be written";
    case StatusCode::MediumRemoved: return "the medium was removed";
    }
    return "?";
}

std::string Status::text() const
{
    std::string t = statusCodeText(code);
    if (!reason.empty())
        t += ": " + reason;
    return t;
}

const char *fileStateText(FileState s)
{
    switch (s) {
    case FileState::Deleted: return "deleted";
    case FileState::Formatted: return "formatted volume";
    case FileState::Carved: return "found by content";
    case FileState::Damaged: return "damaged";
    case FileState::Unreadable: return "unreadable";
    case FileState::Unverified: return "unverified";
    }
    return "?";
}

const char *verdictText(Verdict v)
{
    switch (v) {
    case Verdict::Unknown: return "unknown";
    case Verdict::Good: return "good";
    case Verdict::Damaged: return "damaged";
    case Verdict::Overwritten: return "overwritten";
    }
    return "?";
}

const char *jobStateText(JobState s)
{
    switch (s) {
    case JobState::Idle: return "idle";
    case JobState::Running: return "running";
    case JobState::Paused: return "paused";
    case JobState::Stopping: return "stopping";
    case JobState::Finished: return "finished";
    }
    return "?";
}

const char *writeResultText(WriteResult r)
{
    switch (r) {
    case WriteResult::Ok: return "written";
    case WriteResult::Exists: return "a file of that name already exists";
    case WriteResult::Empty: return "the file is empty";
    case WriteResult::NoRecord: return "no scanner record";
    case WriteResult::NoChunk: return "the allocation unit of the partition is unknown";
    case WriteResult::Unreadable: return "the data cannot be read back by this scan method";
    case WriteResult::OutputError: return "the output file could not be written";
    case WriteResult::Stopped: return "stopped";
    case WriteResult::Damaged: return "only part of it could be written";
    }
    return "?";
}

StatusCode writeStatusCode(WriteResult r)
{
    switch (r) {
    case WriteResult::Ok:
    case WriteResult::Empty: return StatusCode::Done;
    case WriteResult::Stopped: return StatusCode::Stopped;
    case WriteResult::Exists:
    case WriteResult::OutputError: return StatusCode::OutputError;
    case WriteResult::NoRecord:
    case WriteResult::NoChunk:
    case WriteResult::Damaged:
    case WriteResult::Unreadable: return StatusCode::UnreadableMedium;
    }
    return StatusCode::OutputError;
}

void setDiagnosticSink(std::function<void(const std::string &)> sink)
{
    std::lock_guard<std::mutex> l(g_diagMu);
    g_diagSink = std::move(sink);
}

void diagnostic(const std::string &line)
{
    std::lock_guard<std::mutex> l(g_diagMu);
    if (g_diagSink)
        g_diagSink(line);
}

// ---- leases ----

struct ScanJob::Lease {
    const void *owner = nullptr;
    std::vector<size_t> libs;
    Inventory *inventory = nullptr;
    bool scanning = false;

    ~Lease()
    {
        endScan();
        {
            std::lock_guard<std::mutex> l(g_leaseMu);
            for (size_t lib : libs)
                if (g_libOwner[lib] == owner)
                    g_libOwner[lib] = nullptr;
        }
        if (inventory)
            inventory->unhold();
    }
    void endScan()
    {
        std::lock_guard<std::mutex> l(g_leaseMu);
        if (scanning && g_scanOwner == owner)
            g_scanOwner = nullptr;
        scanning = false;
    }
};

// ---- job ----

ScanJob::ScanJob(const ScanRequest &req, JobObserver *observer) : req_(req), observer_(observer)
{
    backend_ = makeBackend(req_, &initial_, &row_);
}

ScanJob::~ScanJob()
{
    if (worker_.joinable()) {
        stop();
        worker_.join();
    }
    release();
}

bool ScanJob::supported() const
{
    return backend_ != nullptr;
}

Status ScanJob::status() const
{
    std::lock_guard<std::mutex> l(mu_);
    return status_;
}

void ScanJob::setState(JobState s)
{
    state_.store(s, std::memory_order_release);
}

bool ScanJob::start()
{
    if (ran_.load() || worker_.joinable())
        return false;
    worker_ = std::thread([this] { run(); });
    return true;
}

namespace {

const char *const kStoppedScan = "stopped by the user; the files found until then are kept";

// The status of a scan that a stop reached: Stopped, whatever the scanner
// made of being cut short (the reason it gave goes to the diagnostics).
Status stoppedScan(const Status &s)
{
    if (!s.ok() && s.code != StatusCode::Stopped)
        diagnostic("scan stopped; the scanner had said: " + s.text());
    return Status{StatusCode::Stopped, kStoppedScan};
}

}  // namespace

void ScanJob::progressGate(void *job)
{
    static_cast<ScanJob *>(job)->gate();
}

Status ScanJob::run()
{
    if (ran_.exchange(true))
        return wait();
    if (stop_.load()) {
        // Stopped before it started: the library is never touched.
        Status s{StatusCode::Stopped, "stopped before the scan started; nothing was read"};
        finish(s);
        return s;
    }
    if (!backend_) {
        finish(initial_);
        return initial_;
    }
    // The library's state and the progress value are process-wide.
    auto lease = std::make_unique<Lease>();
    lease->owner = this;
    std::vector<ScanLibrary> libs = backend_->libraries();
    if (libs.empty())
        libs.push_back(row_->library);
    Status busy;
    {
        std::lock_guard<std::mutex> l(g_leaseMu);
        for (ScanLibrary lib : libs) {
            const void *owner = g_libOwner[(size_t)lib];
            if (owner && owner != this)
                busy = Status{StatusCode::Busy, std::string(scanLibraryName(lib)) +
                                                    " holds the results of another scan; release that scan first"};
        }
        if (busy.ok() && g_scanOwner && g_scanOwner != this)
            busy = Status{StatusCode::Busy, "another scan is running; only one scan runs at a time"};
        if (busy.ok()) {
            for (ScanLibrary lib : libs) {
                g_libOwner[(size_t)lib] = this;
                lease->libs.push_back((size_t)lib);
            }
            g_scanOwner = this;
            lease->scanning = true;
        }
    }
    if (!busy.ok()) {
        lease->owner = nullptr;  // holds nothing
        lease.reset();
        if (stop_)
            busy = stoppedScan(busy);
        finish(busy);
        return busy;
    }
    if (req_.inventory) {
        req_.inventory->hold();
        lease->inventory = req_.inventory;
    }
    lease_ = std::move(lease);

    bool stoppedEarly;
    {
        std::lock_guard<std::mutex> l(mu_);
        phaseStart_ = Clock::now();
        lastFlush_ = phaseStart_;
        pausedTotal_ = {};
        if (paused_)
            pausedSince_ = phaseStart_;
        stoppedEarly = stop_;
        scanning_ = !stoppedEarly;
        if (scanning_) {
            storeProgress(0);
            // The scanner library passes the job's gate at every look at
            // the progress value: a pause holds it inside its walk.
            Salvitra_SetProgressGate(&ScanJob::progressGate, this);
            Salvitra_CloseProgressGate(this, paused_);
        }
        if (state_.load() == JobState::Idle)
            setState(stop_ ? JobState::Stopping : paused_ ? JobState::Paused : JobState::Running);
    }
    Status s;
    if (!stoppedEarly) {
        // Read failures count from here: what the scan itself could not read.
        if (req_.part && req_.part->Device)
            Salvitra_ResetMediumHealth(req_.part->Device);
        ticker_ = std::thread([this] { tickerLoop(); });
        s = backend_->run(*this);
    }

    Salvitra_MediumHealth health{};
    if (!stoppedEarly) {
        checkMedium(false);
        Salvitra_GetMediumHealth(req_.part ? req_.part->Device : nullptr, &health);
    }
    {
        std::lock_guard<std::mutex> l(mu_);
        unreadableAreas_ = health.UnreadableAreas;
        unreadableBytes_ = health.UnreadableBytes;
        if (scanning_)
            Salvitra_SetProgressGate(nullptr, nullptr);
        scanning_ = false;
        lastPercent_ = std::min(100, std::max(0, stop_ ? lastPercent_ : 100));
    }
    lease_->endScan();
    flush();
    if (removed_) {
        s = Status{StatusCode::MediumRemoved, "the scan ended there; the files found until then are kept"};
    } else if (stop_) {
        s = stoppedEarly ? Status{StatusCode::Stopped, "stopped before the scan started; nothing was read"}
                         : stoppedScan(s);
    } else if (s.ok()) {
        Progress p = progress();
        if (p.unreadableAreas)
            s.reason = std::to_string(p.unreadableAreas) + (p.unreadableAreas == 1 ? " area" : " areas") +
                       " of the medium (" + humanSize(p.unreadableBytes) + ") could not be read and " +
                       (p.unreadableAreas == 1 ? "was" : "were") + " skipped";
    }
    // Nothing left running: the value reads as finished again.
    if (progressValue() != 100 && !stop_)
        storeProgress(100);
    finish(s);
    return s;
}

void ScanJob::finish(const Status &s)
{
    {
        std::lock_guard<std::mutex> l(mu_);
        status_ = s;
        ended_ = true;
        writing_ = false;
        setState(JobState::Finished);
    }
    cv_.notify_all();
    tickCv_.notify_all();
    if (ticker_.joinable() && ticker_.get_id() != std::this_thread::get_id())
        ticker_.join();
    if (observer_) {
        std::lock_guard<std::mutex> l(observerMu_);
        observer_->onFinished(s);
    }
}

Status ScanJob::wait()
{
    if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id())
        worker_.join();
    std::unique_lock<std::mutex> l(mu_);
    cv_.wait(l, [&] { return ended_ || !ran_.load(); });
    return status_;
}

bool ScanJob::waitFor(int timeoutMs)
{
    std::unique_lock<std::mutex> l(mu_);
    return cv_.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return ended_ && !writing_; });
}

void ScanJob::stop()
{
    std::lock_guard<std::mutex> l(mu_);
    stopLocked();
}

bool ScanJob::stopIfRunning()
{
    std::lock_guard<std::mutex> l(mu_);
    if (ended_ && !writing_)
        return false;
    stopLocked();
    return true;
}

void ScanJob::stopLocked()
{
    // Between the scan's end and the writes, the stop is the writes'.
    if (ended_ && !writing_)
        pendingStop_ = true;
    stop_.store(true, std::memory_order_release);
    if (paused_)
        pausedTotal_ += Clock::now() - pausedSince_;
    paused_ = false;
    Salvitra_CloseProgressGate(this, false);
    JobState s = state_.load();
    if (s == JobState::Running || s == JobState::Paused)
        setState(JobState::Stopping);
    if (scanning_)
        storeProgress(kStopValue);
    cv_.notify_all();
    tickCv_.notify_all();
}

void ScanJob::pause()
{
    std::lock_guard<std::mutex> l(mu_);
    if (stop_)
        return;
    if (!paused_)
        pausedSince_ = Clock::now();
    paused_ = true;
    Salvitra_CloseProgressGate(this, true);
    if (state_.load() == JobState::Running)
        setState(JobState::Paused);
}

void ScanJob::resume()
{
    {
        std::lock_guard<std::mutex> l(mu_);
        if (paused_)
            pausedTotal_ += Clock::now() - pausedSince_;
        paused_ = false;
        Salvitra_CloseProgressGate(this, false);
        if (state_.load() == JobState::Paused)
            setState(JobState::Running);
    }
    cv_.notify_all();
}

bool ScanJob::mediumRemoved() const
{
    return removed_.load();
}

// Whether the medium went away (the read path saw it go, or, when `look`,
// it is no longer where it was opened).  The first time, a running scan is
// stopped: it ends with MediumRemoved.
bool ScanJob::checkMedium(bool look)
{
    if (removed_)
        return true;
    const Physics_Device_Struct *dev = req_.part ? req_.part->Device : nullptr;
    if (!dev)
        return false;
    Salvitra_MediumHealth h;
    bool gone = (Salvitra_GetMediumHealth(dev, &h) == 0 && h.Gone) || (look && Salvitra_CheckMedium(dev) == 0);
    if (!gone)
        return false;
    removed_ = true;
    std::lock_guard<std::mutex> l(mu_);
    stopLocked();
    return true;
}

void ScanJob::waitAtGate(std::unique_lock<std::mutex> &l)
{
    holding_++;
    cv_.notify_all();
    cv_.wait(l, [&] { return !paused_ || stop_; });
    holding_--;
}

bool ScanJob::gate()
{
    std::unique_lock<std::mutex> l(mu_);
    if (!stop_ && !paused_)
        return true;
    if (!stop_)
        waitAtGate(l);
    if (stop_)
        holdStopValue();
    return !stop_;
}

bool ScanJob::holding() const
{
    std::lock_guard<std::mutex> l(mu_);
    return holding_ > 0;
}

bool ScanJob::waitHolding(int timeoutMs) const
{
    std::unique_lock<std::mutex> l(mu_);
    cv_.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return holding_ > 0 || ended_; });
    return holding_ > 0;
}

void ScanJob::holdStopValue()
{
    // Called with mu_ held: whatever the scanner wrote, the stop value
    // stays until it returns.
    if (scanning_ && progressValue() != kStopValue)
        storeProgress(kStopValue);
}

Progress ScanJob::progress() const
{
    std::lock_guard<std::mutex> l(mu_);
    Progress p;
    // Time spent paused does not count: the speed is the reading's.
    Clock::time_point now = Clock::now();
    Clock::duration paused = pausedTotal_ + (paused_ ? now - pausedSince_ : Clock::duration{});
    p.seconds = std::chrono::duration<double>(now - phaseStart_ - paused).count();
    if (phaseStart_ == Clock::time_point{} || p.seconds < 0)
        p.seconds = 0;
    if (writing_ || writeTotal_) {
        p.bytesTotal = writeTotal_;
        p.bytesDone = written_;
        p.percent = writeTotal_ ? (int)(written_ * 100 / writeTotal_) : (writing_ ? 0 : 100);
        p.files = filesWritten_;
    } else {
        int v = lastPercent_;
        if (scanning_) {
            int32_t cur = progressValue();
            if (cur >= 0 && cur <= 100 && !stop_)
                v = spanBase_ + cur * spanSize_ / 100;
        }
        // Monotone: a scanner that restarts its count between passes does
        // not make the bar jump back.
        lastPercent_ = std::max(lastPercent_, std::min(v, 100));
        p.percent = lastPercent_;
        p.bytesTotal = req_.part ? req_.part->PartSize : 0;
        p.bytesDone = p.bytesTotal / 100 * (uint64_t)p.percent + p.bytesTotal % 100 * (uint64_t)p.percent / 100;
        p.files = files_.size();
        p.unreadableAreas = unreadableAreas_;
        p.unreadableBytes = unreadableBytes_;
        Salvitra_MediumHealth h;
        if (scanning_ && req_.part && Salvitra_GetMediumHealth(req_.part->Device, &h) == 0) {
            p.unreadableAreas = h.UnreadableAreas;
            p.unreadableBytes = h.UnreadableBytes;
        }
    }
    if (p.seconds > 0.05 && p.bytesDone)
        p.bytesPerSecond = (double)p.bytesDone / p.seconds;
    if (p.bytesPerSecond > 0 && p.bytesTotal >= p.bytesDone)
        p.secondsLeft = (double)(p.bytesTotal - p.bytesDone) / p.bytesPerSecond;
    return p;
}

void ScanJob::tickerLoop()
{
    auto nextProgress = Clock::now() + std::chrono::milliseconds(intervalMs_);
    auto nextLook = Clock::now() + kMediumLookPeriod;
    std::unique_lock<std::mutex> l(mu_);
    while (!ended_ && (scanning_ || writing_)) {
        if (scanning_ && !removed_) {
            bool look = Clock::now() >= nextLook;
            if (look)
                nextLook = Clock::now() + kMediumLookPeriod;
            l.unlock();
            checkMedium(look);
            l.lock();
            if (ended_)
                break;
        }
        auto wake = scanning_ && !removed_ ? std::min(nextProgress, nextLook) : nextProgress;
        if (stop_ && scanning_)
            wake = std::min(wake, Clock::now() + kStopHoldPeriod);
        if (observer_ && filesFlushed_ < files_.size())
            wake = std::min(wake, lastFlush_ + kBatchAge);
        tickCv_.wait_until(l, wake);
        if (ended_)
            break;
        if (stop_)
            holdStopValue();
        bool batchDue = observer_ && filesFlushed_ < files_.size() && Clock::now() - lastFlush_ >= kBatchAge;
        bool progressDue = Clock::now() >= nextProgress;
        if (!batchDue && !progressDue)
            continue;
        l.unlock();
        if (batchDue)
            flush();
        if (progressDue && observer_) {
            Progress p = progress();
            std::lock_guard<std::mutex> o(observerMu_);
            observer_->onProgress(p);
        }
        l.lock();
        if (progressDue)
            nextProgress = Clock::now() + std::chrono::milliseconds(intervalMs_);
    }
}

// ---- results ----

size_t ScanJob::fileCount() const
{
    std::lock_guard<std::mutex> l(mu_);
    return files_.size();
}

std::vector<FoundFile> ScanJob::snapshot(size_t from, size_t max) const
{
    std::lock_guard<std::mutex> l(mu_);
    std::vector<FoundFile> out;
    if (from >= files_.size())
        return out;
    size_t n = std::min(max, files_.size() - from);
    out.reserve(n);
    for (size_t i = 0; i < n; i++)
        out.push_back(files_[from + i]);
    return out;
}

size_t ScanJob::waitForFiles(size_t known, int timeoutMs) const
{
    std::unique_lock<std::mutex> l(mu_);
    fileWaiters_++;
    cv_.wait_for(l, std::chrono::milliseconds(timeoutMs),
                 [&] { return files_.size() > known || ended_ || !ran_.load(); });
    fileWaiters_--;
    return files_.size();
}

namespace {

// No file can hold more than the medium it was found on: a larger listed
// size is cut to it, and the file is marked damaged with the reason.  ext
// files are left alone: their block maps are checked against the volume,
// and a sparse file may rightly be larger than the volume (its holes read
// as zeros).
void capToMedium(FoundFile &f, const Partiton_Struct *part)
{
    if (!part || part->PartSize == 0 || f.size <= part->PartSize)
        return;
    if (part->FsType == FS_EXT2 || part->FsType == FS_EXT3 || part->FsType == FS_EXT4)
        return;
    std::string why;
    if (f.listedSize == 0)
        f.listedSize = f.size;
    f.size = sizeCappedByMedium(f.size, part->PartSize, &why);
    if (f.state != FileState::Unreadable)
        f.state = FileState::Damaged;
    f.note = f.note.empty() ? why : f.note + "; " + why;
}

}  // namespace

void ScanJob::setDeliveryHook(std::function<bool(FoundFile &)> hook)
{
    hook_ = std::move(hook);
}

void ScanJob::setProgressSpan(int base, int span)
{
    std::lock_guard<std::mutex> l(mu_);
    spanBase_ = std::min(100, std::max(0, base));
    spanSize_ = std::min(100 - spanBase_, std::max(0, span));
}

void ScanJob::addNote(const std::string &line)
{
    std::lock_guard<std::mutex> l(mu_);
    notes_.push_back(line);
}

std::vector<std::string> ScanJob::notes() const
{
    std::lock_guard<std::mutex> l(mu_);
    return notes_;
}

bool ScanJob::deliver(FoundFile f)
{
    if (hook_ && !hook_(f))
        return !stopRequested();
    capToMedium(f, req_.part);
    bool due = false;
    bool open = true;
    bool wake = false;
    {
        // The gate and the append under one lock.
        std::unique_lock<std::mutex> l(mu_);
        if (paused_ && !stop_)
            waitAtGate(l);
        if (stop_) {
            holdStopValue();
            open = false;
        }
        f.id = files_.size();
        files_.push_back(std::move(f));
        if (observer_)
            due = files_.size() - filesFlushed_ >= kBatchFiles;
        wake = fileWaiters_ > 0;
    }
    // Only a reader waiting for files is woken: not once per file for
    // nobody (the ticker waits elsewhere).
    if (wake)
        cv_.notify_all();
    if (due)
        flush();
    return open;
}

void ScanJob::deliverAll(std::vector<FoundFile> files)
{
    if (hook_) {
        std::vector<FoundFile> kept;
        for (FoundFile &f : files)
            if (hook_(f))
                kept.push_back(std::move(f));
        files = std::move(kept);
        if (files.empty())
            return;
    }
    gate();
    {
        std::lock_guard<std::mutex> l(mu_);
        for (FoundFile &f : files) {
            capToMedium(f, req_.part);
            f.id = files_.size();
            files_.push_back(std::move(f));
        }
    }
    cv_.notify_all();
    flush();
}

void ScanJob::flush()
{
    if (!observer_)
        return;
    // Taken first, so that batches reach the observer in order.
    std::lock_guard<std::mutex> o(observerMu_);
    std::vector<FoundFile> batch;
    uint64_t first = 0;
    {
        std::lock_guard<std::mutex> l(mu_);
        lastFlush_ = Clock::now();
        first = filesFlushed_;
        if (first >= files_.size())
            return;
        batch.reserve(files_.size() - first);
        for (size_t i = first; i < files_.size(); i++)
            batch.push_back(files_[i]);
        filesFlushed_ = files_.size();
    }
    observer_->onFiles(first, std::move(batch));
}

// ---- writes ----

bool ScanJob::openWrites()
{
    if (writing_)
        return false;
    // A stop of the scan (or of the last writes) does not carry over into
    // these writes; one that came after their end does.
    stop_.store(pendingStop_);
    pendingStop_ = false;
    ended_ = false;
    writing_ = true;
    writeTotal_ = 0;
    written_ = 0;
    filesWritten_ = 0;
    phaseStart_ = Clock::now();
    pausedTotal_ = {};
    if (paused_)
        pausedSince_ = phaseStart_;
    setState(stop_ ? JobState::Stopping : paused_ ? JobState::Paused : JobState::Running);
    return true;
}

bool ScanJob::startWrites(std::function<void()> writes)
{
    {
        std::lock_guard<std::mutex> l(mu_);
        if (!ran_.load() || !ended_ || writing_)
            return false;
    }
    if (worker_.joinable()) {
        if (worker_.get_id() == std::this_thread::get_id())
            return false;
        worker_.join();
    }
    {
        std::lock_guard<std::mutex> l(mu_);
        if (!openWrites())
            return false;
    }
    worker_ = std::thread([this, writes = std::move(writes)] {
        if (writes)
            writes();
        bool open;
        {
            std::lock_guard<std::mutex> l(mu_);
            open = writing_;
        }
        // Writes that never began their phase still end it.
        if (open)
            endWrites(false);
    });
    return true;
}

void ScanJob::beginWrites(uint64_t bytesTotal)
{
    if (ticker_.joinable() && ticker_.get_id() != std::this_thread::get_id())
        ticker_.join();
    {
        std::lock_guard<std::mutex> l(mu_);
        // Opened by startWrites already: a stop since then holds.
        openWrites();
        writeTotal_ = bytesTotal;
        written_ = 0;
        filesWritten_ = 0;
    }
    if (observer_)
        ticker_ = std::thread([this] { tickerLoop(); });
}

void ScanJob::addWritten(uint64_t bytes, bool fileDone)
{
    std::lock_guard<std::mutex> l(mu_);
    written_ += bytes;
    if (fileDone)
        filesWritten_++;
}

Status ScanJob::endWrites(bool stopped, const std::string &reason, StatusCode failure)
{
    Status s;
    if (stopped || stop_)
        s = Status{StatusCode::Stopped, reason.empty() ? "stopped by the user; the files written are kept" : reason};
    else if (!reason.empty())
        s = Status{failure, reason};
    finish(s);
    return s;
}

WriteResult ScanJob::write(const FoundFile &file, const WriteDest &dest, WriteStats &stats)
{
    if (!backend_ || !lease_)
        return WriteResult::NoRecord;
    bool single;
    {
        std::lock_guard<std::mutex> l(mu_);
        single = ended_ && !writing_;
    }
    if (single) {
        // One file outside a scan and a recovery (a copy for the preview):
        // a stop or pause left over from the scan or the last recovery is
        // not about it.
        WriteResult r = backend_->write(file, dest, stats, {});
        if (r == WriteResult::Stopped && stats.bytes < file.size)
            stats.incomplete = true;
        return r;
    }
    if (!gate())
        return WriteResult::Stopped;
    // The gate before every chunk also reports the bytes of the chunk before.
    uint64_t counted = stats.bytes;
    auto chunkGate = [this, &stats, &counted] {
        if (stats.bytes > counted) {
            addWritten(stats.bytes - counted, false);
            counted = stats.bytes;
        }
        return gate();
    };
    WriteResult r = backend_->write(file, dest, stats, chunkGate);
    addWritten(stats.bytes > counted ? stats.bytes - counted : 0, true);
    if (r == WriteResult::Stopped && stats.bytes < file.size)
        stats.incomplete = true;
    return r;
}

Status checkVolume(Partiton_Struct *part)
{
    ScanRequest req;
    req.part = part;
    req.mode = RecoverQuick;
    Status why;
    const BackendRow *row = nullptr;
    std::unique_ptr<ScanBackend> b = makeBackend(req, &why, &row);
    if (!b)
        return why;
    // The library's state is process-wide: the check takes its lease.
    const size_t lib = (size_t)row->library;
    {
        std::lock_guard<std::mutex> l(g_leaseMu);
        if (g_libOwner[lib])
            return {StatusCode::Busy, std::string(scanLibraryName(row->library)) + " is in use by a scan"};
        g_libOwner[lib] = b.get();
    }
    Status s = b->check();
    const void *owner = b.get();
    b.reset();
    std::lock_guard<std::mutex> l(g_leaseMu);
    if (g_libOwner[lib] == owner)
        g_libOwner[lib] = nullptr;
    return s;
}

void ScanJob::release()
{
    if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) {
        stop();
        worker_.join();
    }
    if (ticker_.joinable() && ticker_.get_id() != std::this_thread::get_id()) {
        {
            std::lock_guard<std::mutex> l(mu_);
            ended_ = true;
            writing_ = false;
        }
        cv_.notify_all();
        tickCv_.notify_all();
        ticker_.join();
    }
    if (backend_)
        backend_->release();
    backend_.reset();
    if (initial_.ok())
        initial_ = Status{StatusCode::NotSupported, "the scan was released"};
    lease_.reset();
}

}  // namespace salvitra
