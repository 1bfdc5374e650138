#include "scan.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace salvitra {

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
    }
    return "?";
}

ScanSession::ScanSession(const ScanRequest &req) : req_(req), backend_(makeBackend(req)) {}

ScanSession::~ScanSession()
{
    release();
}

bool ScanSession::run()
{
    if (!backend_ || ran_)
        return false;
    ran_ = true;
    changeExportsData(0);
    bool ok = backend_->run(files_);
    if (get_ExportsData() >= 200)
        stopped_ = true;
    return ok;
}

bool ScanSession::runWithProgress(const std::function<void(int)> &onProgress, int intervalMs,
                                  const std::function<bool()> &stopRequested)
{
    if (!backend_ || ran_)
        return false;
    std::atomic<bool> done{false};
    bool ok = false;
    std::thread worker([&] {
        ok = run();
        done = true;
    });
    int last = -1;
    while (!done) {
        if (stopRequested && stopRequested() && !stopped_)
            stop();
        int v = get_ExportsData();
        if (v != last && v <= 100 && onProgress)
            onProgress(v);
        last = v;
        for (int waited = 0; waited < intervalMs && !done; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    worker.join();
    if (onProgress && !stopped_)
        onProgress(100);
    return ok;
}

void ScanSession::stop()
{
    stopped_ = true;
    set_ExportsData(false);
}

void ScanSession::release()
{
    files_.clear();
    if (backend_)
        backend_->release();
    backend_.reset();
}

WriteResult writeChunks(const std::string &path, uint64_t size, uint32_t chunk,
                        const std::function<int64_t(uint8_t *, uint32_t)> &read, WriteStats &stats,
                        const std::function<bool()> &stopRequested)
{
    if (chunk == 0)
        return WriteResult::NoChunk;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno == EEXIST ? WriteResult::Exists : WriteResult::OutputError;
    if (size == 0) {
        close(fd);
        return WriteResult::Empty;
    }
    std::vector<uint8_t> buf(chunk);
    WriteResult result = WriteResult::Ok;
    uint64_t left = size;
    while (left > 0) {
        if (stopRequested && stopRequested()) {
            result = WriteResult::Stopped;
            break;
        }
        uint32_t len = left < chunk ? (uint32_t)left : chunk;
        memset(buf.data(), 0, len);
        int64_t got = read(buf.data(), len);
        if (got != (int64_t)len) {
            stats.readFailures++;
            // Whatever the reader left behind a failed read is not trusted.
            size_t keep = got > 0 && got < (int64_t)len ? (size_t)got : 0;
            memset(buf.data() + keep, 0, len - keep);
        }
        size_t put = 0;
        while (put < len) {
            ssize_t n = ::write(fd, buf.data() + put, len - put);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                result = WriteResult::OutputError;
                break;
            }
            put += (size_t)n;
        }
        if (result != WriteResult::Ok)
            break;
        stats.bytes += len;
        left -= len;
    }
    if (close(fd) != 0 && result == WriteResult::Ok)
        result = WriteResult::OutputError;
    return result;
}

}  // namespace salvitra
