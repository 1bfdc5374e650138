#include "scan.h"

#include "output_dir.h"

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
    // The recovery loop opened the file already (no links followed, free
    // space checked); other callers name a new file.
    WriteTarget *target = WriteTargetScope::current();
    OutputFile own;
    OutputFile *out = &own;
    if (target && target->file.fd >= 0) {
        out = &target->file;
        target->used = true;
        if (size > target->limit)
            size = target->limit;
    } else {
        own.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (own.fd < 0)
            return errno == EEXIST ? WriteResult::Exists : WriteResult::OutputError;
        own.relPath = path;
    }
    WriteResult result = WriteResult::Ok;
    CopyStats cs;
    if (size == 0) {
        result = WriteResult::Empty;
    } else {
        // One chunk per read: every backend's reader delivers the file's
        // next chunk of the length it is asked for.
        copyInto(*out, size, chunk, read, cs, gate);
        stats.bytes += cs.bytes;
        stats.readFailures += cs.unreadablePieces;
        if (cs.stopped) {
            result = WriteResult::Stopped;
            stats.incomplete = true;
        } else if (cs.err) {
            result = WriteResult::OutputError;
        }
    }
    if (out == &own && close(own.fd) != 0 && result == WriteResult::Ok)
        result = WriteResult::OutputError;
    if (target && out != &own)
        target->copy = cs;
    return result;
}

}  // namespace salvitra
