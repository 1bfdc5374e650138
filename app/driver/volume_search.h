// The search for lost volumes on one device, as a job both front ends
// watch: the core library reads the whole device once, front to back; the
// job runs it on a worker thread with pause, stop and progress in bytes,
// then checks every volume it found with the volume's own scanner library.
//
//   VolumeSearchJob job(inventory, devNum, &observer);
//   job.start();                          // or job.run() on this thread
//   ... job.pause(); job.resume(); job.stop(); job.progress() ...
//   Status s = job.wait();                // Done, Stopped or UnreadableMedium
//   inventory.addSearch(job.result());    // the found volumes become partitions
//
// Threads: as ScanJob (job.h).  The job holds the inventory from start to
// its end, so a device-list rebuild asked for meanwhile waits for it; the
// result is handed to the inventory on the thread that owns it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "job.h"
#include "merrow.h"

namespace salvitra {

class Inventory;

// One volume the search found, with its scanner's verdict.
struct FoundVolume {
    Found_Volume vol{};        // the core's record: place, size, file system, how it was found
    bool checked = false;      // its scanner library looked at it
    bool accepted = false;     // ... and would scan it (or has no quick scanner: deep scans only)
    std::string note;          // why it is not offered, or what to know about it
};

struct SearchResult {
    int devNum = -1;
    std::string devPath;       // identity of the device across list rebuilds
    uint64_t devSize = 0;
    int sectorSize = 512;
    std::vector<FoundVolume> volumes;  // in the order of their offsets
    uint64_t bytesRead = 0;
    uint64_t unreadable = 0;   // bytes that could not be read
    bool stopped = false;      // the pass ended early: what was found until then
    bool truncated = false;    // more structures than the search keeps
};

class VolumeSearchJob {
public:
    VolumeSearchJob(Inventory &inventory, int devNum, JobObserver *observer = nullptr);
    ~VolumeSearchJob();  // stops and waits for a running search
    VolumeSearchJob(const VolumeSearchJob &) = delete;
    VolumeSearchJob &operator=(const VolumeSearchJob &) = delete;

    int devNum() const { return devNum_; }
    Status run();
    bool start();
    Status wait();
    bool waitFor(int timeoutMs);

    void stop();
    void pause();
    void resume();
    bool stopRequested() const { return stop_.load(std::memory_order_acquire); }
    JobState state() const { return state_.load(std::memory_order_acquire); }
    Status status() const;
    Progress progress() const;  // files: volumes found so far (known at the end)
    void setProgressInterval(int ms) { intervalMs_ = ms > 0 ? ms : 200; }

    // The result, once the job has ended.
    const SearchResult &result() const { return result_; }
    // Lets the inventory go (held from the start, so that a rebuild waits);
    // the destructor does it too.  Owner's thread: a rebuild asked for
    // meanwhile runs in this call.
    void release();

private:
    static bool gateThunk(void *context, uint64_t done, uint64_t total);
    bool gate(uint64_t done, uint64_t total);
    void finish(const Status &s);
    void checkVolumes();

    Inventory &inventory_;
    int devNum_;
    JobObserver *observer_;
    int intervalMs_ = 200;

    std::atomic<JobState> state_{JobState::Idle};
    std::atomic<bool> stop_{false};
    std::atomic<bool> ran_{false};
    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool paused_ = false;
    bool ended_ = false;
    bool holding_ = false;
    Status status_;
    uint64_t done_ = 0, total_ = 0;
    std::chrono::steady_clock::time_point start_{}, lastReport_{};
    std::mutex observerMu_;
    std::thread worker_;
    SearchResult result_;
};

// How a found volume was found when not through its own first structure,
// and whether its end lies past the device's, in words; empty otherwise.
std::string foundVolumeHow(const Found_Volume &v);

// The layout of a device (its listed partitions that lie on it, and the
// volumes a search found there that are offered) as an sfdisk script for
// the person to review and apply themselves; empty with *why when the
// layout cannot be written as one.
std::string sfdiskScript(const Inventory &inv, int devNum, std::string *why);

}  // namespace salvitra
