#include "recover.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

namespace {

bool readSys(const std::string &path, std::string &out)
{
    FILE *f = fopen(path.c_str(), "re");
    if (!f)
        return false;
    char buf[PATH_MAX];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    out = buf;
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return true;
}

// The whole-disk /sys/block entry holding block device dev (itself or its parent).
std::string wholeDiskOf(dev_t dev)
{
    char link[64];
    snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(dev), minor(dev));
    char *real = realpath(link, nullptr);
    if (!real)
        return {};
    std::string p = real;
    free(real);
    std::string v;
    if (readSys(p + "/partition", v)) {
        size_t slash = p.find_last_of('/');
        p = p.substr(0, slash);
    }
    return p;
}

}  // namespace

bool outputOnScannedMedium(const std::string &outDir, const std::string &devicePath, std::string *why)
{
    struct stat out, src;
    if (stat(outDir.c_str(), &out) != 0 || stat(devicePath.c_str(), &src) != 0)
        return false;
    std::string outDisk = wholeDiskOf(out.st_dev);
    if (S_ISBLK(src.st_mode)) {
        if (out.st_dev == src.st_rdev || (!outDisk.empty() && outDisk == wholeDiskOf(src.st_rdev))) {
            if (why)
                *why = outDir + " is on " + devicePath + ", the medium being scanned";
            return true;
        }
        return false;
    }
    // An image: refuse when the output folder is inside a loop mount of it.
    std::string backing;
    if (!outDisk.empty() && readSys(outDisk + "/loop/backing_file", backing)) {
        char *a = realpath(backing.c_str(), nullptr);
        char *b = realpath(devicePath.c_str(), nullptr);
        bool same = a && b && strcmp(a, b) == 0;
        free(a);
        free(b);
        if (same) {
            if (why)
                *why = outDir + " is inside a mount of " + devicePath + ", the image being scanned";
            return true;
        }
    }
    return false;
}

RecoverSummary writePlanned(ScanJob &job, const std::vector<PlannedWrite> &plan, const std::string &outDir,
                            bool numberIfExists,
                            const std::function<void(size_t, size_t, const std::string &)> &onFile)
{
    RecoverSummary sum;
    uint64_t total = 0;
    for (const PlannedWrite &w : plan)
        if (w.file && w.file->readable())
            total += w.file->size;
    job.beginWrites(total);
    std::string error;
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
        std::string path = outDir + "/" + plan[i].relPath;
        if (onFile)
            onFile(i, plan.size(), plan[i].relPath);
        if (!f->readable()) {
            // Nothing will be written: no folders for it either.
            rf.path = path;
            rf.result = WriteResult::Unreadable;
            sum.files.push_back(rf);
            continue;
        }
        size_t slash = path.find_last_of('/');
        std::string err;
        if (!makeDirs(path.substr(0, slash), &err)) {
            rf.path = path;
            rf.result = WriteResult::OutputError;
            if (error.empty())
                error = err;
            sum.files.push_back(rf);
            continue;
        }
        // Otherwise an existing file makes the write fail with Exists: it
        // is left as it is.
        rf.path = numberIfExists ? uniquePath(path) : path;
        rf.result = job.write(*f, rf.path, rf.stats);
        // Only a modification time is stamped: a creation time is not one.
        if (rf.result == WriteResult::Ok || rf.result == WriteResult::Empty)
            setFileTime(rf.path, f->mtime);
        if (rf.result == WriteResult::Ok) {
            sum.written++;
        } else if (rf.result == WriteResult::Stopped) {
            sum.stopped = true;
            if (rf.stats.incomplete)
                sum.incomplete++;
        }
        sum.bytes += rf.stats.bytes;
        sum.readFailures += rf.stats.readFailures;
        sum.files.push_back(rf);
        if (sum.stopped)
            break;
    }
    sum.status = job.endWrites(sum.stopped, sum.stopped ? std::string() : error);
    return sum;
}

RecoverSummary recoverFiles(ScanJob &job, const std::vector<const FoundFile *> &files, const RecoverOptions &opt,
                            const std::function<void(size_t, size_t, const std::string &)> &onFile)
{
    std::vector<PlannedWrite> plan;
    plan.reserve(files.size());
    for (const FoundFile *f : files)
        plan.push_back({f, f ? relativeOutputPath(*f, opt.keepFolders) : std::string()});
    return writePlanned(job, plan, opt.outDir, true, onFile);
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
