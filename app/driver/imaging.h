// Saving a disk or a partition into an image file, read once and with
// care, for a medium that may be failing: the rescue both front ends run
// and watch.
//
//   ImageRequest req;  req.part = inv.wholeDevice(0);  req.inventory = &inv;
//   req.devicePath = inv.deviceOf(req.part)->path;  req.outPath = "disk.img";
//   ImageJob job(req, &observer);
//   Status why = job.prepare();   // the checks: output, map, free space (nothing read yet)
//   job.start();                  // worker thread; or job.run() on this thread
//   ... job.pause(); job.resume(); job.stop(); job.progress() ...
//   Status s = job.wait();        // Done (every sector read), Damaged, Stopped, or why not
//
// The copy, in the order GNU ddrescue works (and in its mapfile format, so
// either program goes on from where the other stopped):
//  1. copying: the areas not tried yet are read forwards in large blocks;
//     a block that fails is left for later and the copy skips ahead, by
//     more after every failure in a row, so a damaged area is left quickly;
//     then backwards, and once more forwards, in smaller blocks, over what
//     was skipped;
//  2. trimming: each failed block is read sector by sector from both ends
//     until a sector fails;
//  3. scraping: what lies between is read sector by sector;
//  4. retrying: the bad sectors are read again, a bounded number of times.
// Sector reads bypass the system's cache where the device allows it, so that
// one bad sector does not fail its neighbours.  Unreadable sectors are
// zeros in the image.  The map is written at the start, every half minute,
// at a pause, a stop and the end.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "job.h"
#include "rescue_map.h"

namespace salvitra {

struct ImageRequest {
    Partiton_Struct *part = nullptr;  // a listed partition or a whole-device record
    Inventory *inventory = nullptr;   // held from start to the end when given
    std::string devicePath;           // the medium being read (the output may not lie on it)
    std::string outPath;              // the image file
    std::string mapPath;              // the mapfile; empty: outPath + ".map"
    int retries = 0;                  // passes over the bad sectors at the end (0..16); none by
                                      // default, as GNU ddrescue: a failing disk is read as little as it can be
    uint32_t blockSize = 1 << 20;     // bytes per read of the first pass
};

struct ImageProgress {
    uint64_t total = 0;      // bytes of the medium
    uint64_t rescued = 0;    // read and written
    uint64_t bad = 0;        // failed so far: bad sectors and failed areas not yet narrowed
    uint64_t remaining = 0;  // not tried yet
    uint64_t badSectors = 0; // of `bad`: sectors found unreadable one by one
    uint64_t position = 0;   // where the copy reads
    double seconds = 0;      // since this run started
    double rate = 0;         // bytes read per second over the last seconds
    double averageRate = 0;  // since this run started
    RescuePhase phase = RescuePhase::Copying;
    int pass = 1;
    uint32_t readErrors = 0; // reads that failed in this run
    int percent = 0;         // of the medium settled (rescued, or given up as bad)
};
// "copying", "trimming", "scraping", "retrying", "finished"
const char *rescuePhaseText(RescuePhase p);

class ImageObserver {
public:
    virtual ~ImageObserver() = default;
    // About every progress interval while the copy runs (on the job's ticker thread).
    virtual void onProgress(const ImageProgress &p) { (void)p; }
    // When a phase or a pass begins (on the worker thread, before its first read).
    virtual void onPhase(RescuePhase phase, int pass) { (void)phase, (void)pass; }
    // Once, when the copy has ended (on the worker thread).
    virtual void onFinished(const Status &s) { (void)s; }
};

class ImageJob {
public:
    explicit ImageJob(const ImageRequest &req, ImageObserver *observer = nullptr);
    ~ImageJob();  // stops and waits
    ImageJob(const ImageJob &) = delete;
    ImageJob &operator=(const ImageJob &) = delete;

    const ImageRequest &request() const { return req_; }
    const std::string &mapPath() const { return mapPath_; }
    // True when an image and its map from an earlier copy are there: the
    // copy goes on from the map.  Known after prepare().
    bool resuming() const { return resuming_; }

    // Checks everything before anything is read or written: the medium,
    // the output (not on the medium being read, a regular file, not there
    // yet unless its map is), the map, the free space.  Also run by run().
    Status prepare();
    Status run();
    bool start();
    Status wait();
    bool waitFor(int timeoutMs);

    void stop();
    void pause();
    void resume();
    JobState state() const { return state_.load(); }
    ImageProgress progress() const;
    Status status() const;
    void setProgressInterval(int ms) { intervalMs_ = ms > 0 ? ms : 200; }

    // The map as it stands (a copy).
    RescueMap map() const;

    // The exit status a front end gives for the ended copy: 0 every byte
    // read; 3 it ran to its end with unreadable sectors (zeros in the
    // image: Status UnreadableMedium); 130 stopped; 1 it could not run
    // (the checks, an output error).
    int exitStatus() const;

private:
    struct Reader;
    Status copy();
    bool gate();
    bool saveMap(bool sync, std::string *why);
    void finish(const Status &s);
    void tickerLoop();

    // The steps of the copy; false once stopped or the output failed.
    bool copyPass(int pass, bool forward, uint32_t block, bool skipping, bool stopAtError);
    bool trim();
    bool scrape();
    bool retry(int pass, bool forward);
    // Reads [pos, pos + len) and marks it: bytes read become Finished (and
    // are written), the rest `failed` (with failedSpan, only that much of it
    // from the failure on; what follows stays non-tried).  Returns the bytes
    // read from pos on.
    uint64_t readArea(uint64_t pos, uint64_t len, bool sectorRead, BlockStatus failed, uint64_t failedSpan = 0);
    bool writeOut(const uint8_t *buf, uint64_t len, uint64_t pos);
    void noteRate();  // with mu_ held: the samples of the current rate
    void setPlace(RescuePhase phase, int pass, uint64_t pos);

    ImageRequest req_;
    ImageObserver *observer_;
    std::string mapPath_;
    bool prepared_ = false;
    bool resuming_ = false;
    bool freshFile_ = false;  // created by this run: areas never written are holes (zeros)
    Status prepStatus_;

    std::unique_ptr<Reader> reader_;
    int outFd_ = -1;
    uint32_t sector_ = 512;
    uint64_t size_ = 0;
    std::string heading_;

    std::atomic<JobState> state_{JobState::Idle};
    std::atomic<bool> stop_{false};
    std::atomic<bool> ran_{false};
    int intervalMs_ = 200;

    mutable std::mutex mu_;  // map, counters, pause, status
    std::condition_variable cv_;
    bool paused_ = false;
    bool ended_ = false;
    bool outputFailed_ = false;
    std::string outputError_;
    Status status_;
    RescueMap map_;
    uint32_t readErrors_ = 0;
    std::chrono::steady_clock::time_point started_{};
    std::chrono::steady_clock::time_point lastSave_{};
    // Bytes rescued at two recent instants, for the current rate.
    struct Sample {
        std::chrono::steady_clock::time_point t{};
        uint64_t rescued = 0;
    };
    Sample window_, lastWindow_;
    uint64_t rescuedAtStart_ = 0;

    bool ranToEnd_ = false;   // every phase was gone through
    bool held_ = false;       // the inventory is held

    std::thread worker_;
    std::thread ticker_;
    std::mutex observerMu_;
};

}  // namespace salvitra
