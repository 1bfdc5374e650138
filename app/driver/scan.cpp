#include "scan.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace salvitra {

WriteResult writeChunks(const WriteDest &dest, uint64_t size, uint32_t chunk, const PieceReader &read,
                        WriteStats &stats, const std::function<bool()> &gate)
{
    if (chunk == 0)
        return WriteResult::NoChunk;
    WriteTarget *target = dest.target && dest.target->file.fd >= 0 ? dest.target : nullptr;
    OutputFile own;
    OutputFile *out = &own;
    if (target) {
        out = &target->file;
        target->used = true;
        if (size > target->limit)
            size = target->limit;
    } else {
        own.fd = open(dest.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (own.fd < 0)
            return errno == EEXIST ? WriteResult::Exists : WriteResult::OutputError;
        own.name = own.relPath = dest.path;
    }
    WriteResult result = WriteResult::Ok;
    CopyStats cs;
    if (size == 0) {
        result = WriteResult::Empty;
    } else {
        // One chunk per read: every backend's reader delivers the file's
        // next chunk of the length it is asked for.
        // The gate before every chunk is where the job counts progress:
        // stats.bytes follows what was read through until the copy ends.
        const uint64_t base = stats.bytes;
        std::function<bool()> counted;
        if (gate)
            counted = [&] {
                stats.bytes = base + cs.covered;
                return gate();
            };
        copyInto(*out, size, chunk, read, cs, counted, 16ull << 20, target ? target->mediumGone : nullptr);
        stats.bytes = base + cs.bytes;
        stats.readFailures += cs.unreadablePieces;
        stats.unreadableBytes += cs.unreadableBytes;
        for (const ByteRange &r : cs.unreadable)
            addRange(stats.unreadable, r.offset, r.length);
        stats.mediumGone |= cs.mediumGone;
        if (cs.stopped) {
            result = WriteResult::Stopped;
            stats.incomplete = true;
        } else if (cs.err) {
            result = WriteResult::OutputError;
        } else if (cs.unreadableBytes || cs.cutShort || cs.mediumGone) {
            result = WriteResult::Damaged;
        }
    }
    if (out == &own && close(own.fd) != 0 && result == WriteResult::Ok)
        result = WriteResult::OutputError;
    if (target)
        target->copy = cs;
    return result;
}

}  // namespace salvitra
