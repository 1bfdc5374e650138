#include "recover.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

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
    for (unsigned char c : s) {
        if (c == '/' || c == '\\' || c < 0x20 || c == 0x7f)
            out += '_';
        else
            out += (char)c;
    }
    if (out.empty())
        out = "unnamed";
    if (out == "." || out == "..")
        out = "_" + out;
    if (out.size() > 240) {  // most file systems take 255 bytes
        // Keep the extension, and cut on a character boundary.
        size_t dot = out.find_last_of('.');
        std::string ext = (dot != std::string::npos && out.size() - dot <= 16) ? out.substr(dot) : "";
        size_t cut = 240 - ext.size();
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
    size_t dot = path.find_last_of('.');
    std::string stem = path, ext;
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) {
        stem = path.substr(0, dot);
        ext = path.substr(dot);
    }
    for (unsigned n = 1;; n++) {
        std::string candidate = stem + " (" + std::to_string(n) + ")" + ext;
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
    // No file can hold more than the medium it was found on.
    const Partiton_Struct *part = job.request().part;
    const bool sparse = part && (part->FsType == FS_EXT2 || part->FsType == FS_EXT3 || part->FsType == FS_EXT4);
    const uint64_t medium = part && part->PartSize && !sparse ? part->PartSize : UINT64_MAX;
    uint64_t total = 0;
    for (const PlannedWrite &w : plan)
        if (w.file && w.file->readable())
            total += w.file->size < medium ? w.file->size : medium;
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
        RecoveredFile rf;
        rf.file = f;
        reads.fileStarts(f);
        const std::string &rel = plan[i].relPath;
        rf.path = out->path() + "/" + rel;
        if (onFile)
            onFile(i, plan.size(), rel);
        if (!f->readable()) {
            // Nothing will be written: no folders for it either.
            fail(rf, WriteResult::Unreadable, writeResultText(WriteResult::Unreadable));
            sum.files.push_back(rf);
            continue;
        }
        std::string capped;
        WriteTarget t;
        t.limit = sizeCappedByMedium(f->size, medium, &capped);
        if (capped.empty() && f->listedSize > f->size)
            capped = "listed as " + std::to_string(f->listedSize) + " bytes on a medium of " +
                     std::to_string(f->size) + ": cut to the medium's size";
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
            if (!capped.empty() && oe.errnum == ENOSPC)
                oe.repeats = false;
            fail(rf, WriteResult::OutputError, oe.text);
            sum.files.push_back(rf);
            if (oe.repeats) {
                sum.outputStopped = true;
                break;
            }
            continue;
        }
        rf.path = out->path() + "/" + t.file.relPath;
        {
            WriteTargetScope scope(t);
            rf.result = job.write(*f, rf.path, rf.stats);
        }
        std::string kept;
        oe = OutputError();
        switch (rf.result) {
        case WriteResult::Ok:
        case WriteResult::Empty:
            if (t.used && t.limit > 0 && t.copy.nothingRead()) {
                // Not one chunk could be read: nothing was recovered.
                out->finish(t.file, false, -1, false, &oe);
                fail(rf, WriteResult::Unreadable, "no part of its data could be read");
            } else if (t.copy.cutShort || !capped.empty()) {
                out->finish(t.file, false, -1, true, &oe, &kept);
                rf.result = WriteResult::Damaged;
                rf.note = !capped.empty() ? capped
                                          : "unreadable from byte " + std::to_string(t.copy.bytes) + " on";
                if (!kept.empty()) {
                    rf.note += "; kept as " + kept;
                    rf.path = out->path() + "/" + kept;
                }
                sum.damaged++;
            } else if (out->finish(t.file, true, f->mtime, false, &oe)) {
                // Only a modification time is stamped: a creation time is not one.
                if (rf.result == WriteResult::Ok)
                    sum.written++;
            } else {
                fail(rf, WriteResult::OutputError, oe.text);
            }
            break;
        case WriteResult::Stopped:
            sum.stopped = true;
            if (rf.stats.incomplete && rf.stats.bytes) {
                out->finish(t.file, false, -1, true, &oe, &kept);
                rf.note = "stopped after " + std::to_string(rf.stats.bytes) + " bytes";
                if (!kept.empty()) {
                    rf.note += "; kept as " + kept;
                    rf.path = out->path() + "/" + kept;
                }
                sum.incomplete++;
            } else {
                out->finish(t.file, false, -1, false, &oe);
            }
            break;
        case WriteResult::OutputError:
            // What is on the disk is truncated: it does not stay under the name.
            out->finish(t.file, false, -1, false, &oe);
            fail(rf, WriteResult::OutputError, t.copy.err ? t.copy.err.text : writeResultText(rf.result));
            if (t.copy.err.repeats)
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
        if (sum.stopped || sum.outputStopped)
            break;
    }
    sum.status = job.endWrites(sum.stopped, sum.stopped ? std::string() : error);
    reads.fileStarts(nullptr);
    // A recovery that got to no file at all (stopped first) has nothing to report.
    if (!sum.files.empty())
        sum.report = writeRecoveryReport(job, sum, reads, *out, reportName);
    return sum;
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
    copy.PartOffset = start;
    copy.PartSize = end - start;
    if (why)
        *why = Status{};
    return copy;
}

}  // namespace salvitra
