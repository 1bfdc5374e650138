// The driver's scan-job interface as the window uses it.
//
// Builds whose driver has scan jobs (job.h) use them as they are.  Older
// drivers get a small stand-in with the same names, built on ScanSession:
// one scan on the calling thread, the pause gate on the found-file
// registry, a stop that holds while the page polls the progress.
#pragma once

#if __has_include("job.h")
#include "scan.h"
#define SALVITRA_GUI_JOBS 1
#else
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "scan.h"

namespace salvitra {

enum class ScanKind : uint8_t { Quick, Formatted, Deep };
enum class StatusCode : uint8_t { Done, Stopped, NotSupported };

struct Status {
    StatusCode code = StatusCode::Done;
    std::string reason;
    bool ok() const { return code == StatusCode::Done; }
    std::string text() const
    {
        switch (code) {
        case StatusCode::Done: return "done";
        case StatusCode::Stopped: return "stopped";
        case StatusCode::NotSupported: return "not supported for this file system";
        }
        return "";
    }
};

struct Progress {
    int percent = 0;
    uint64_t files = 0;
};

class JobObserver {
public:
    virtual ~JobObserver() = default;
    virtual void onFiles(uint64_t first, const std::vector<FoundFile> &batch) { (void)first, (void)batch; }
    virtual void onProgress(const Progress &p) { (void)p; }
    virtual void onFinished(const Status &s) { (void)s; }
};

struct Capabilities {
    bool quick = false, formatted = false, deep = false;
    const char *label = "";
};

inline Capabilities capabilities(const Partiton_Struct *part)
{
    Capabilities c;
    if (!part)
        return c;
    ScanRequest r;
    r.part = const_cast<Partiton_Struct *>(part);
    c.quick = makeBackend(r) != nullptr;
    r.mode = RecoverDeep;
    c.deep = makeBackend(r) != nullptr;
    return c;
}

class ScanJob {
public:
    ScanJob(const ScanRequest &req, JobObserver *observer) : session_(req), observer_(observer) {}
    ~ScanJob() { release(); }

    bool supported() const { return session_.supported(); }
    Status run();
    void stop();
    void pause();
    void resume();
    bool gate();
    bool stopRequested() const { return stop_.load(); }
    Status status() const;
    Progress progress() const;
    size_t fileCount() const { return files_.size(); }
    const std::deque<FoundFile> &files() const { return files_; }
    WriteResult write(const FoundFile &file, const std::string &path, WriteStats &stats);
    void release() { session_.release(); }

private:
    static void onFound(void *item, SCAN_TYPE type, void *context);

    ScanSession session_;
    JobObserver *observer_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> scanning_{false};
    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool paused_ = false;
    Status status_;
    std::deque<FoundFile> files_;
};

}  // namespace salvitra
#endif
