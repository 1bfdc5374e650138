#include "recover.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <unordered_set>

#include "medium.h"
#include "text.h"

namespace salvitra {

bool matchesGlobs(const FoundFile &file, const std::vector<std::string> &globs)
{
    if (globs.empty())
        return true;
    std::string full = file.folder.empty() ? file.name : file.folder + "/" + file.name;
    for (const std::string &g : globs) {
        if (fnmatch(g.c_str(), file.name.c_str(), FNM_CASEFOLD) == 0 ||
            fnmatch(g.c_str(), full.c_str(), FNM_CASEFOLD) == 0 ||
            fnmatch(g.c_str(), ("/" + full).c_str(), FNM_CASEFOLD) == 0)
            return true;
    }
    return false;
}

std::string safePathComponent(const std::string &s)
{
    std::string out;
    // A name that reads as one thing and is another ("holiday<U+202E>gpj.exe"
    // shown as "holidayexe.jpg") is written so that it shows what it is.
    for (unsigned char c : replaceMisleading(s)) {
        if (c == '/' || c == '\\' || c < 0x20 || c == 0x7f)
            out += '_';
        else
            out += (char)c;
    }
    if (out.empty())
        out = "unnamed";
    if (out == "." || out == "..")
        out = "_" + out;
    if (out.size() > kMaxNameBytes) {
        // Keep the extension, and cut on a character boundary.
        size_t dot = out.find_last_of('.');
        std::string ext = (dot != std::string::npos && out.size() - dot <= 16) ? out.substr(dot) : "";
        size_t cut = kMaxNameBytes - ext.size();
        while (cut > 0 && ((unsigned char)out[cut] & 0xC0) == 0x80)
            cut--;
        out = out.substr(0, cut) + ext;
    }
    return out;
}

std::string relativeOutputPath(const FoundFile &file, bool keepFolders)
{
    std::string rel;
    if (keepFolders) {
        size_t start = 0;
        while (start <= file.folder.size()) {
            size_t slash = file.folder.find('/', start);
            std::string part = file.folder.substr(start, slash == std::string::npos ? std::string::npos
                                                                                     : slash - start);
            if (!part.empty())
                rel += safePathComponent(part) + "/";
            if (slash == std::string::npos)
                break;
            start = slash + 1;
        }
    }
    return rel + safePathComponent(file.name);
}

std::string uniquePath(const std::string &path)
{
    struct stat sb;
    if (lstat(path.c_str(), &sb) != 0)
        return path;
    size_t slash = path.find_last_of('/');
    std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string name = path.substr(dir.size());
    for (unsigned n = 1;; n++) {
        std::string candidate = dir + numberedName(name, n);
        if (lstat(candidate.c_str(), &sb) != 0)
            return candidate;
    }
}

bool makeDirs(const std::string &dir, std::string *err)
{
    std::string cur;
    size_t pos = 0;
    while (pos <= dir.size()) {
        size_t slash = dir.find('/', pos);
        cur = dir.substr(0, slash);
        pos = slash == std::string::npos ? dir.size() + 1 : slash + 1;
        if (cur.empty())
            continue;
        if (mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) {
            if (err)
                *err = cur + ": " + strerror(errno);
            return false;
        }
    }
    struct stat sb;
    if (stat(dir.c_str(), &sb) != 0 || !S_ISDIR(sb.st_mode)) {
        if (err)
            *err = dir + ": not a folder";
        return false;
    }
    return true;
}

bool setFileTime(const std::string &path, int64_t mtime)
{
    if (mtime < 0)
        return false;
    struct timespec ts[2];
    ts[0].tv_sec = (time_t)mtime;
    ts[0].tv_nsec = 0;
    ts[1] = ts[0];
    return utimensat(AT_FDCWD, path.c_str(), ts, 0) == 0;
}

namespace {

// The files of a plan whose listed size the medium could not hold (their
// size was cut: to the medium, to the free space behind them, to their
// recorded blocks).
bool sizeWasCut(const FoundFile &f)
{
    return f.listedSize > f.size;
}

std::string joinReasons(const std::vector<std::string> &why)
{
    std::string out;
    for (const std::string &w : why)
        if (!w.empty())
            out += (out.empty() ? "" : "; ") + w;
    return out;
}

}  // namespace

RecoverSummary writePlanned(ScanJob &job, const std::vector<PlannedWrite> &plan, const std::string &outDir,
                            bool numberIfExists,
                            const std::function<void(size_t, size_t, const std::string &)> &onFile,
                            OutputDir *output, const std::string &reportName)
{
    RecoverSummary sum;
    // Which device bytes each file is read from, for the report.
    ReadLog reads;
    OutputDir own;
    OutputDir *out = output;
    OutputError oe;
    const Partiton_Struct *part = job.request().part;
    const Physics_Device_Struct *device = part ? part->Device : nullptr;
    auto gone = [device] { return mediumRemoved(device); };
    // Between files the medium is looked at a few times a second (and
    // after every read that fails): not at the cost of 10,000 system calls
    // for 10,000 small files.
    auto lastLook = std::chrono::steady_clock::now();
    auto goneNow = [&](bool force) {
        auto now = std::chrono::steady_clock::now();
        if (!force && now - lastLook < std::chrono::milliseconds(200))
            return false;
        lastLook = now;
        return gone();
    };
    if (gone()) {
        // Nothing is written from a medium that is not there any more.
        job.beginWrites(0);
        sum.mediumRemoved = true;
        sum.failed = (uint32_t)plan.size();
        sum.status = job.endWrites(false, kMediumRemoved, StatusCode::MediumRemoved);
        return sum;
    }
    if (!out) {
        if (!own.open(outDir, &oe)) {
            job.beginWrites(0);
            sum.status = job.endWrites(false, oe.text);
            sum.failed = (uint32_t)plan.size();
            sum.outputStopped = true;
            return sum;
        }
        out = &own;
    }
    // No file can hold more than the medium it was found on, and all the
    // files of one recovery no more than it either: files whose listed
    // size could not be held share what the others leave.
    const bool sparse = part && (part->FsType == FS_EXT2 || part->FsType == FS_EXT3 || part->FsType == FS_EXT4);
    const uint64_t medium = part && part->PartSize && !sparse ? part->PartSize : UINT64_MAX;
    uint64_t total = 0, reserved = 0, used = 0;
    {
        std::unordered_set<uint64_t> seen;
        for (const PlannedWrite &w : plan) {
            if (!w.file || !w.file->readable())
                continue;
            uint64_t n = w.file->size < medium ? w.file->size : medium;
            total += n;
            if (seen.insert(w.file->id).second && !sizeWasCut(*w.file))
                reserved += n;
        }
    }
    std::unordered_set<uint64_t> written;
    job.beginWrites(total);
    std::string error;
    auto fail = [&](RecoveredFile &rf, WriteResult r, const std::string &why) {
        rf.result = r;
        rf.note = why;
        sum.failed++;
        if (error.empty() && r == WriteResult::OutputError)
            error = why;
    };
    for (size_t i = 0; i < plan.size(); i++) {
        // A paused recovery holds here between files; a stop ends it.
        if (!job.gate()) {
            sum.stopped = true;
            break;
        }
        const FoundFile *f = plan[i].file;
        if (!f)
            continue;
        if (goneNow(!sum.files.empty() && sum.files.back().stats.readFailures > 0)) {
            sum.mediumRemoved = true;
            break;
        }
        RecoveredFile rf;
        rf.file = f;
        reads.fileStarts(f);
        const std::string &rel = plan[i].relPath;
        rf.path = out->path() + "/" + rel;
        if (onFile)
            onFile(i, plan.size(), rel);
        if (!f->readable()) {
            // Nothing will be written: no folders for it either.
            fail(rf, WriteResult::Unreadable, f->note.empty() ? writeResultText(WriteResult::Unreadable) : f->note);
            sum.files.push_back(rf);
            continue;
        }
        std::vector<std::string> why;  // why the file is not whole
        if (f->state == FileState::Damaged)
            why.push_back(f->note.empty() ? "damaged" : f->note);
        std::string capped;
        WriteTarget t;
        t.limit = sizeCappedByMedium(f->size, medium, &capped);
        if (capped.empty() && sizeWasCut(*f) && f->state != FileState::Damaged)
            capped = "listed as " + std::to_string(f->listedSize) + " bytes on a medium of " +
                     std::to_string(f->size) + ": cut to the medium's size";
        if (!capped.empty() && (why.empty() || why[0].find(capped) == std::string::npos))
            why.push_back(capped);
        const bool first = written.insert(f->id).second;
        if (first && medium != UINT64_MAX) {
            if (!sizeWasCut(*f))
                reserved -= reserved < t.limit ? reserved : t.limit;
            uint64_t room = medium > used ? medium - used : 0;
            // A file that claims what the medium cannot hold never takes
            // the room of the files that are what they say.
            if (sizeWasCut(*f))
                room = room > reserved ? room - reserved : 0;
            if (t.limit > room) {
                t.limit = room;
                why.push_back("cut to " + std::to_string(room) +
                              " bytes: together with the files written before it, no more fits in what the "
                              "medium holds");
            }
        }
        if (t.limit == 0 && f->size > 0) {
            fail(rf, WriteResult::Damaged, joinReasons(why) + "; nothing was written");
            sum.files.push_back(rf);
            continue;
        }
        // Names that would show something else than they are (direction
        // controls, invisible characters) were written changed: say so.
        const bool nameChanged = safePathComponent(f->name) != f->name;
        oe = OutputError();
        if (!out->create(rel, t.limit, t.file, &oe, numberIfExists)) {
            if (oe.errnum == EEXIST && !numberIfExists) {
                // An existing file is left as it is.
                fail(rf, WriteResult::Exists, writeResultText(WriteResult::Exists));
                sum.files.push_back(rf);
                continue;
            }
            // A size that was cut to the medium is no measure of the room
            // the next files need: only this one is skipped.
            if ((!capped.empty() || sizeWasCut(*f)) && oe.errnum == ENOSPC)
                oe.repeats = false;
            fail(rf, WriteResult::OutputError, oe.text);
            sum.files.push_back(rf);
            if (oe.repeats) {
                sum.outputStopped = true;
                break;
            }
            continue;
        }
        if (nameChanged)
            rf.renamed = t.file.finalName;
        rf.path = out->path() + "/" + t.file.relPath;
        t.mediumGone = gone;
        rf.result = job.write(*f, WriteDest(t), rf.stats);
        if (first)
            used += rf.stats.bytes;
        const CopyStats &c = t.copy;
        if (c.unreadableBytes)
            why.push_back(rangesText(c.unreadable, c.unreadablePieces) +
                          (c.cutShort ? " could not be read; the copy gave up there" : " could not be read") +
                          (c.bytes < c.covered ? " (the file ends at the last byte that could be read)"
                                               : " (written as zeros)"));
        std::string kept;
        oe = OutputError();
        auto keepPartial = [&](const std::string &note) {
            out->finish(t.file, false, -1, true, &oe, &kept);
            rf.note = note;
            if (!kept.empty()) {
                rf.note += "; kept as " + kept;
                rf.path = out->path() + "/" + kept;
                rf.keptPartial = true;
            }
        };
        switch (rf.result) {
        case WriteResult::Ok:
        case WriteResult::Empty:
        case WriteResult::Damaged:
            if (t.used && t.limit > 0 && c.nothingRead()) {
                // Not one byte could be read: nothing was recovered.
                out->finish(t.file, false, -1, false, &oe);
                fail(rf, WriteResult::Unreadable,
                     c.mediumGone ? std::string(kMediumRemoved) : "no part of its data could be read");
                if (c.mediumGone)
                    sum.mediumRemoved = true;
            } else if (c.mediumGone) {
                keepPartial(std::string(kMediumRemoved) + " after " + std::to_string(c.covered) + " bytes");
                rf.result = WriteResult::Damaged;
                sum.damaged++;
                sum.mediumRemoved = true;
            } else if (rf.result == WriteResult::Damaged || !why.empty()) {
                keepPartial(joinReasons(why));
                rf.result = WriteResult::Damaged;
                sum.damaged++;
            } else if (out->finish(t.file, true, f->mtime, false, &oe, &kept)) {
                // Only a modification time is stamped: a creation time is not one.
                // (A name taken meanwhile got a number.)
                rf.path = out->path() + "/" + t.file.relPath;
                if (nameChanged)
                    rf.renamed = t.file.finalName;
                if (rf.result == WriteResult::Ok)
                    sum.written++;
            } else {
                fail(rf, WriteResult::OutputError, oe.text + (kept.empty() ? "" : "; kept as " + kept));
                if (oe.errnum != EEXIST && outputErrorRepeats(oe.errnum))
                    sum.outputStopped = true;
            }
            break;
        case WriteResult::Stopped:
            sum.stopped = true;
            if (rf.stats.incomplete && rf.stats.bytes) {
                keepPartial("stopped after " + std::to_string(rf.stats.bytes) + " bytes");
                sum.incomplete++;
            } else {
                out->finish(t.file, false, -1, false, &oe);
            }
            break;
        case WriteResult::OutputError:
            // What is on the disk is truncated: it does not stay.
            out->finish(t.file, false, -1, false, &oe);
            fail(rf, WriteResult::OutputError, c.err ? c.err.text : writeResultText(rf.result));
            if (c.err.repeats)
                sum.outputStopped = true;
            break;
        default:
            out->finish(t.file, false, -1, false, &oe);
            fail(rf, rf.result, writeResultText(rf.result));
            break;
        }
        sum.bytes += rf.stats.bytes;
        sum.readFailures += rf.stats.readFailures;
        sum.files.push_back(rf);
        if (sum.stopped || sum.outputStopped || sum.mediumRemoved)
            break;
    }
    if (sum.mediumRemoved)
        sum.status = job.endWrites(false, kMediumRemoved, StatusCode::MediumRemoved);
    else
        sum.status = job.endWrites(sum.stopped, sum.stopped ? std::string() : error);
    reads.fileStarts(nullptr);
    // A recovery that got to no file at all (stopped first) has nothing to report.
    if (!sum.files.empty())
        sum.report = writeRecoveryReport(job, sum, reads, *out, reportName);
    return sum;
}

std::vector<std::string> recoveryLines(const RecoveredFile &rf)
{
    std::vector<std::string> lines;
    if (!rf.file)
        return lines;
    const FoundFile &f = *rf.file;
    std::string full = f.folder.empty() ? f.name : f.folder + "/" + f.name;
    switch (rf.result) {
    case WriteResult::Ok:
        break;
    case WriteResult::Empty:
        lines.push_back("empty file: " + rf.path);
        break;
    case WriteResult::Stopped:
        if (rf.stats.incomplete)
            lines.push_back("incomplete (" + rf.note + "): " + full);
        break;
    case WriteResult::Damaged:
        if (rf.keptPartial) {
            // The scan's own reasons may say "damaged: ..." already.
            std::string note = rf.note.rfind("damaged: ", 0) == 0 ? rf.note.substr(9) : rf.note;
            lines.push_back("damaged (" + note + "): " + full);
            break;
        }
        [[fallthrough]];
    default:
        lines.push_back("skipped " + full + ": " + (rf.note.empty() ? writeResultText(rf.result) : rf.note));
        break;
    }
    if (!rf.renamed.empty())
        lines.push_back("renamed: " + full + " was written as " + rf.renamed +
                        " (its name holds characters that would make it show as something else, or that no "
                        "file name may hold)");
    return lines;
}

std::string recoveryJson(const RecoverSummary &sum, const std::string &outDir)
{
    auto num = [](uint64_t v) { return std::to_string(v); };
    std::string out = "{\"output\": " + jsonString(outDir) + ", \"written\": " + num(sum.written) +
                      ", \"damaged\": " + num(sum.damaged) + ", \"skipped\": " + num(sum.failed) +
                      ", \"incomplete\": " + num(sum.incomplete) + ", \"bytes\": " + num(sum.bytes) +
                      ", \"status\": " + jsonString(statusCodeText(sum.status.code)) +
                      ", \"reason\": " + jsonString(sum.status.reason) + ", \"files\": [";
    bool first = true;
    for (const RecoveredFile &rf : sum.files) {
        if (!rf.file)
            continue;
        const FoundFile &f = *rf.file;
        const char *result = rf.result == WriteResult::Ok      ? "written"
                             : rf.result == WriteResult::Empty ? "empty"
                             : rf.result == WriteResult::Stopped && rf.keptPartial ? "incomplete"
                             : rf.result == WriteResult::Damaged && rf.keptPartial ? "damaged"
                                                                                   : "skipped";
        std::string ranges;
        for (const ByteRange &r : rf.stats.unreadable)
            ranges += std::string(ranges.empty() ? "" : ", ") + "{\"offset\": " + num(r.offset) +
                      ", \"length\": " + num(r.length) + "}";
        out += std::string(first ? "" : ",") + "\n  {\"id\": " + num(f.id) + ", \"name\": " + jsonString(f.name) +
               ", \"folder\": " + jsonString(f.folder) + ", \"size\": " + num(f.size) +
               ", \"result\": " + jsonString(result) + ", \"path\": " + jsonString(rf.path) +
               ", \"bytes\": " + num(rf.stats.bytes) + ", \"note\": " + jsonString(rf.note) +
               ", \"renamed\": " + jsonString(rf.renamed) + ", \"unreadable_bytes\": " +
               num(rf.stats.unreadableBytes) + ", \"unreadable\": [" + ranges + "]}";
        first = false;
    }
    out += std::string(first ? "" : "\n") + "]}\n";
    return out;
}

RecoverSummary recoverFiles(ScanJob &job, const std::vector<const FoundFile *> &files, const RecoverOptions &opt,
                            const std::function<void(size_t, size_t, const std::string &)> &onFile)
{
    std::vector<PlannedWrite> plan;
    plan.reserve(files.size());
    for (const FoundFile *f : files)
        plan.push_back({f, f ? relativeOutputPath(*f, opt.keepFolders) : std::string()});
    return writePlanned(job, plan, opt.outDir, true, onFile, opt.output, opt.reportName);
}

std::vector<const FoundFile *> selectFiles(const ScanJob &job, const std::vector<std::string> &types,
                                           const std::vector<std::string> &globs)
{
    std::vector<const FoundFile *> out;
    for (const FoundFile &f : job.files()) {
        bool typeOk = types.empty();
        for (const std::string &t : types)
            typeOk |= t == f.type;
        if (typeOk && matchesGlobs(f, globs))
            out.push_back(&f);
    }
    return out;
}

Partiton_Struct rangeCopy(const Partiton_Struct &part, uint64_t start, uint64_t end, Status *why)
{
    Partiton_Struct copy{};
    if (end <= start || end > part.PartSize) {
        if (why)
            *why = Status{StatusCode::NotSupported,
                          "the range must satisfy START < END <= " + std::to_string(part.PartSize)};
        return copy;
    }
    copy.DevNum = part.DevNum;
    copy.FsType = part.FsType;
    copy.Device = part.Device;
    copy.BootData = part.BootData;
    copy.AccessMode = part.AccessMode;
    // Offsets through the shared Device: the range starts `start` bytes
    // after the first byte of the record it is cut from.
    copy.PartOffset = sv_part_origin(&part) + start;
    copy.PartSize = end - start;
    if (why)
        *why = Status{};
    return copy;
}

}  // namespace salvitra
