#include "scan.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace salvitra {

WriteResult writeChunks(const std::string &path, uint64_t size, uint32_t chunk,
                        const std::function<int64_t(uint8_t *, uint32_t)> &read, WriteStats &stats,
                        const std::function<bool()> &gate)
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
        // Paused: held here, between two chunks.  Stopped: the file ends
        // within one chunk and is marked incomplete.
        if (gate && !gate()) {
            result = WriteResult::Stopped;
            stats.incomplete = true;
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
