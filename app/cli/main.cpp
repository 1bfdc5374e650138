// salvitra-cli: the command-line front end.  All logic lives in the driver;
// this file parses arguments and prints.
#include <cerrno>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include "deep.h"
#include "inventory.h"
#include "output_check.h"
#include "output_dir.h"
#include "recover.h"
#include "result_tree.h"
#include "scan.h"
#include "text.h"

using namespace salvitra;

namespace {

// Exit statuses (listed in the README).
constexpr int kExitOk = 0;         // every selected file written whole (scan, devices: done)
constexpr int kExitScanFailed = 1; // the scan could not start: bad image, file system not readable
constexpr int kExitUsage = 2;      // the command line is wrong
constexpr int kExitNotWhole = 3;   // some selected files were not written, or only in part
constexpr int kExitStopped = 130;  // stopped (Ctrl-C)

const char *kUsage =
    "usage: salvitra-cli COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  devices [--json] [--verbose]            list devices and their partitions\n"
    "                                          (--verbose: and every table entry or\n"
    "                                          volume check that gave none, with why)\n"
    "  scan MODE TARGET [--json]               scan and list the files found\n"
    "  recover MODE TARGET --out DIR [--only GLOB]...\n"
    "                                          scan, then copy the files found into DIR\n"
    "\n"
    "MODE:   --quick      deleted files, through the file system's own records\n"
    "        --formatted  files of a volume that was formatted again (FAT, NTFS)\n"
    "        --deep       every file found by its content [--types jpg,png,...]\n"
    "                     [--range START END] (byte offsets inside the target)\n"
    "--types LIST  deep scans: look for these kinds of file only (extensions,\n"
    "        comma-separated: jpg,png,mp4; a name that is not known lists the\n"
    "        known ones); other formats are not even tested, which is faster\n"
    "TARGET: --partition N (the index shown by 'devices') or --device N (a whole\n"
    "        device, deep scans only)\n"
    "--filter all|photo|video|audio|others  quick scans: keep the files of one\n"
    "        group, as the results page does (deep scans show every group)\n"
    "\n"
    "Every command takes --image FILE (repeatable): disk images standing in for\n"
    "/dev/disk0, /dev/disk1, ...  Without it the entries disk0..disk19 of\n"
    "$SALVITRA_DISK_DIR are used when set, else the machine's whole disks.\n"
    "\n"
    "'devices' lists each partition under the device that holds its table, as\n"
    "  [N] FILE-SYSTEM offset, size, volume name, description, access mode\n"
    "where N is the number --partition takes.\n"
    "\n"
    "Devices are only ever opened read-only.\n"
    "\n"
    "Exit status: 0 done (recover: every selected file written whole); 1 the scan\n"
    "could not start; 2 a wrong command line; 3 files not written or written only in\n"
    "part; 130 stopped.\n";

struct Options {
    std::string command;
    std::vector<std::string> images;
    bool json = false;
    bool verbose = false;
    bool quick = false, formatted = false, deep = false;
    int partition = -1;
    int device = -1;
    bool hasRange = false;
    uint64_t rangeStart = 0, rangeEnd = 0;
    std::vector<std::string> types;
    std::string outDir;
    std::vector<std::string> only;
    int filter = FilterAllFiles;
};

// Decimal only ("010" is ten, "08" eight); hexadecimal with an explicit
// "0x" where allowHex (byte offsets).
bool parseNumber(const std::string &s, uint64_t &out, bool allowHex = false)
{
    if (s.empty() || s[0] == '-' || s[0] == '+')
        return false;
    int base = 10;
    if (allowHex && s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        base = 16;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(s.c_str(), &end, base);
    if (errno || *end || end == s.c_str() || isspace((unsigned char)s[0]))
        return false;
    out = v;
    return true;
}

bool parseArgs(int argc, char **argv, Options &o, std::string &err)
{
    if (argc < 2) {
        err = "no command given";
        return false;
    }
    o.command = argv[1];
    for (int i = 2; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](std::string &out) {
            if (i + 1 >= argc) {
                err = a + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        auto number = [&](uint64_t &out, bool allowHex = false) {
            std::string v;
            if (!value(v))
                return false;
            if (!parseNumber(v, out, allowHex)) {
                err = a + ": '" + v + "' is not a number";
                return false;
            }
            return true;
        };
        uint64_t n = 0;
        std::string v;
        if (a == "--json") {
            o.json = true;
        } else if (a == "--verbose" || a == "-v") {
            o.verbose = true;
        } else if (a == "--image") {
            if (!value(v))
                return false;
            o.images.push_back(v);
        } else if (a.rfind("--image=", 0) == 0) {
            o.images.push_back(a.substr(8));
        } else if (a == "--quick") {
            o.quick = true;
        } else if (a == "--formatted") {
            o.formatted = true;
        } else if (a == "--deep") {
            o.deep = true;
        } else if (a == "--partition") {
            if (!number(n))
                return false;
            o.partition = n > 1000000 ? 1000000 : (int)n;
        } else if (a == "--device") {
            if (!number(n))
                return false;
            o.device = n > 1000 ? 1000 : (int)n;
        } else if (a == "--range") {
            if (!number(o.rangeStart, true) || !number(o.rangeEnd, true))
                return false;
            o.hasRange = true;
        } else if (a == "--types") {
            if (!value(v))
                return false;
            size_t start = 0;
            while (start <= v.size()) {
                size_t comma = v.find(',', start);
                std::string t = v.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
                for (char &c : t)
                    c = (char)tolower((unsigned char)c);
                if (!t.empty())
                    o.types.push_back(t);
                if (comma == std::string::npos)
                    break;
                start = comma + 1;
            }
        } else if (a == "--filter") {
            if (!value(v))
                return false;
            static const char *const kChoices[] = {"all", "photo", "video", "audio", "others"};
            int found = -1;
            for (int c = 0; c < 5; c++)
                if (v == kChoices[c])
                    found = c;
            if (found < 0) {
                err = "--filter: '" + v + "' is not one of all, photo, video, audio, others";
                return false;
            }
            o.filter = found;
        } else if (a == "--out") {
            if (!value(o.outDir))
                return false;
        } else if (a == "--only") {
            if (!value(v))
                return false;
            o.only.push_back(v);
        } else {
            err = "unknown option " + a;
            return false;
        }
    }
    return true;
}

// ---- devices ----

void printDevicesText(const Inventory &inv, bool verbose)
{
    if (inv.devices().empty()) {
        printf("No devices found.\n");
        return;
    }
    for (const DeviceInfo &d : inv.devices()) {
        printf("disk%d  %s\n", d.devNum, d.name.empty() ? "(no name)" : termText(d.name).c_str());
        printf("    path %s, %s (%llu bytes), sector size %d\n", termText(d.path).c_str(),
               humanSize(d.size).c_str(), (unsigned long long)d.size, d.sectorSize);
        int shown = 0;
        for (const PartitionInfo &p : inv.partitions()) {
            if (p.devNum == d.devNum) {
                printf("    [%d] %-7s offset %llu, size %s (%llu bytes), name \"%s\", info \"%s\", "
                       "access '%c'",
                       p.index, termText(p.fsLabel).c_str(), (unsigned long long)p.offset,
                       humanSize(p.size).c_str(), (unsigned long long)p.size,
                       termText(p.volumeName).c_str(), termText(p.fsInfo).c_str(), p.accessMode);
                if (p.viaDevNum >= 0)
                    printf(" (read through disk%d)", p.viaDevNum);
                printf("\n");
                shown++;
            } else if (p.viaDevNum == d.devNum) {
                printf("    holds partition [%d] of disk%d\n", p.index, p.devNum);
                shown++;
            }
        }
        int rejected = 0;
        for (const Rejection &r : inv.rejections())
            rejected += r.devNum == d.devNum;
        if (shown == 0) {
            printf("    no recognised partitions\n");
            if (rejected && !verbose)
                printf("    ('devices --verbose' says why)\n");
        }
        if (verbose)
            for (const Rejection &r : inv.rejections())
                if (r.devNum == d.devNum)
                    printf("    not used: at byte %llu, %s\n", (unsigned long long)r.offset,
                           termText(r.reason).c_str());
    }
}

void printDevicesJson(const Inventory &inv)
{
    printf("[");
    bool firstDev = true;
    for (const DeviceInfo &d : inv.devices()) {
        printf("%s\n  {\"devNum\": %d, \"devName\": %s, \"devPath\": %s, \"size\": %llu, "
               "\"sectorSize\": %d, \"partitions\": [",
               firstDev ? "" : ",", d.devNum, jsonString(d.name).c_str(),
               jsonString(d.path).c_str(), (unsigned long long)d.size, d.sectorSize);
        firstDev = false;
        bool firstPart = true;
        for (const PartitionInfo &p : inv.partitions()) {
            if (p.devNum != d.devNum)
                continue;
            printf("%s\n    {\"index\": %d, \"offset\": %llu, \"size\": %llu, \"fsType\": %d, "
                   "\"fsLabel\": %s, \"fsInfo\": %s, \"volumeName\": %s, \"accessMode\": %s, "
                   "\"viaDevNum\": %d, \"bootable\": %s}",
                   firstPart ? "" : ",", p.index, (unsigned long long)p.offset,
                   (unsigned long long)p.size, p.fsType, jsonString(p.fsLabel).c_str(),
                   jsonString(p.fsInfo).c_str(), jsonString(p.volumeName).c_str(),
                   jsonString(std::string(1, p.accessMode)).c_str(), p.viaDevNum,
                   p.bootable ? "true" : "false");
            firstPart = false;
        }
        printf("%s]}", firstPart ? "" : "\n  ");
    }
    printf("%s]\n", firstDev ? "" : "\n");
}

int cmdDevices(const Options &o)
{
    Inventory inv;
    std::string err;
    if (!inv.build(o.images, &err)) {
        fprintf(stderr, "salvitra-cli: %s\n", termText(err).c_str());
        return kExitScanFailed;
    }
    if (o.json)
        printDevicesJson(inv);
    else
        printDevicesText(inv, o.verbose);
    return 0;
}

// ---- scan and recover ----

volatile sig_atomic_t g_interrupted = 0;

// The first Ctrl-C asks the job to stop (what was found or written is kept
// and listed); a second one ends the program at once.
void onSigint(int)
{
    g_interrupted = 1;
    signal(SIGINT, SIG_DFL);
}

std::string clockText(double seconds)
{
    if (seconds < 0)
        return "--:--";
    uint64_t s = (uint64_t)(seconds + 0.5);
    char buf[32];
    if (s >= 3600)
        snprintf(buf, sizeof buf, "%llu:%02llu:%02llu", (unsigned long long)(s / 3600),
                 (unsigned long long)(s / 60 % 60), (unsigned long long)(s % 60));
    else
        snprintf(buf, sizeof buf, "%llu:%02llu", (unsigned long long)(s / 60), (unsigned long long)(s % 60));
    return buf;
}

// The progress line: on a terminal one line rewritten in place (percent,
// bytes, rate, time left); otherwise a plain line every 10 percent.
class ProgressLine {
public:
    explicit ProgressLine(const char *what) : what_(what), tty_(isatty(2)) {}
    void update(const Progress &p)
    {
        int percent = p.percent < 0 ? 0 : p.percent > 100 ? 100 : p.percent;
        std::string bytes = p.bytesTotal ? humanSize(p.bytesDone) + " of " + humanSize(p.bytesTotal) : "";
        std::string rate = p.bytesPerSecond > 0 ? humanSize((uint64_t)p.bytesPerSecond) + "/s" : "";
        if (tty_) {
            fprintf(stderr, "\r\033[K%s %3d%%  %s  %s  %s left", what_, percent, bytes.c_str(), rate.c_str(),
                    clockText(p.secondsLeft).c_str());
            fflush(stderr);
            shown_ = true;
        } else if (last_ < 0 || percent / 10 != last_ / 10) {
            fprintf(stderr, "%s %d%%%s%s\n", what_, percent, bytes.empty() ? "" : ", ",
                    bytes.c_str());
        }
        last_ = percent;
    }
    void done()
    {
        if (tty_ && shown_)
            fputc('\n', stderr);
        shown_ = false;
    }

private:
    const char *what_;
    bool tty_;
    bool shown_ = false;
    int last_ = -1;
};

// Waits for `done` while showing the job's progress and turning Ctrl-C into
// a stop of the job.
void watch(ScanJob &job, ProgressLine &line, const std::function<bool()> &done)
{
    bool stopped = false;
    while (!done()) {
        if (g_interrupted && !stopped) {
            job.stop();
            stopped = true;
        }
        line.update(job.progress());
        job.waitFor(100);
    }
    line.update(job.progress());
    line.done();
}

std::string formatTime(int64_t t)
{
    if (t < 0)
        return "-";
    time_t tt = (time_t)t;
    struct tm tmv;
    if (!localtime_r(&tt, &tmv))
        return "-";
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tmv);
    return buf;
}

std::string fullPath(const FoundFile &f)
{
    return f.folder.empty() ? f.name : f.folder + "/" + f.name;
}

// The groups of the results page for the scan's files.
struct Grouping {
    ResultRules rules;
    GroupFilter filter;
};

Grouping grouping(const Options &o, const ScanJob &job)
{
    Grouping g;
    g.rules = resultRules(job.request().part ? job.request().part->FsType : 0, job.request().mode);
    g.filter.setScanFileType(o.filter, o.deep);
    return g;
}

// The picked files, less those outside the group the filter keeps.
std::vector<const FoundFile *> filterGroups(const Options &o, const ScanJob &job,
                                            std::vector<const FoundFile *> files)
{
    if (o.filter == FilterAllFiles)
        return files;
    Grouping g = grouping(o, job);
    std::vector<const FoundFile *> out;
    for (const FoundFile *f : files)
        if (!groupsOf(g.rules, g.filter, *f).empty())
            out.push_back(f);
    return out;
}

void printFilesText(const Options &o, const std::vector<const FoundFile *> &files)
{
    if (o.deep) {
        std::vector<std::string> order;
        for (const FoundFile *f : files) {
            bool seen = false;
            for (const std::string &t : order)
                seen |= t == f->type;
            if (!seen)
                order.push_back(f->type);
        }
        for (const std::string &t : order) {
            size_t n = 0;
            for (const FoundFile *f : files)
                n += f->type == t;
            printf("%s: %zu file%s\n", termText(t).c_str(), n, n == 1 ? "" : "s");
            for (const FoundFile *f : files)
                if (f->type == t)
                    printf("  %5u  offset %-14llu %12llu bytes\n", f->index,
                           (unsigned long long)f->offset, (unsigned long long)f->size);
        }
    } else {
        for (const FoundFile *f : files) {
            std::string note = f->note.empty() ? "" : "  (" + termText(f->note) + ")";
            // A file system that keeps only a creation time shows it marked so.
            std::string when = f->mtime >= 0 ? formatTime(f->mtime)
                               : f->created >= 0 ? formatTime(f->created) + " (created)"
                                                 : formatTime(-1);
            printf("%12llu  %s  %s%s\n", (unsigned long long)f->size, when.c_str(), termText(fullPath(*f)).c_str(),
                   note.c_str());
        }
    }
    printf("%zu file%s found.\n", files.size(), files.size() == 1 ? "" : "s");
}

void printFilesJson(const Grouping &g, const std::vector<const FoundFile *> &files)
{
    printf("[");
    bool first = true;
    for (const FoundFile *f : files) {
        std::string groups;
        for (FileGroup grp : groupsOf(g.rules, g.filter, *f))
            groups += std::string(groups.empty() ? "" : ", ") + jsonString(fileGroupName(grp));
        printf("%s\n  {\"id\": %llu, \"name\": %s, \"folder\": %s, \"path\": %s, \"size\": %llu, "
               "\"mtime\": %lld, \"created\": %lld, \"type\": %s, \"offset\": %llu, \"index\": %u, "
               "\"state\": %s, \"readable\": %s, \"note\": %s, \"groups\": [%s]}",
               first ? "" : ",", (unsigned long long)f->id, jsonString(f->name).c_str(),
               jsonString(f->folder).c_str(), jsonString(fullPath(*f)).c_str(), (unsigned long long)f->size,
               (long long)f->mtime, (long long)f->created, jsonString(f->type).c_str(),
               (unsigned long long)f->offset, f->index, jsonString(fileStateText(f->state)).c_str(),
               f->readable() ? "true" : "false", jsonString(f->note).c_str(), groups.c_str());
        first = false;
    }
    printf("%s]\n", first ? "" : "\n");
}

int cmdScanOrRecover(const Options &o, bool recover)
{
    int modes = (int)o.quick + (int)o.formatted + (int)o.deep;
    if (modes != 1) {
        fprintf(stderr, "salvitra-cli: choose one of --quick, --formatted or --deep\n");
        return kExitUsage;
    }
    if ((o.partition >= 0) == (o.device >= 0)) {
        fprintf(stderr, "salvitra-cli: name the target with --partition N or --device N\n");
        return kExitUsage;
    }
    if (o.device >= 0 && !o.deep) {
        fprintf(stderr, "salvitra-cli: --device works with --deep only (a whole device has no file "
                        "system of its own)\n");
        return kExitUsage;
    }
    if ((o.hasRange || !o.types.empty()) && !o.deep) {
        fprintf(stderr, "salvitra-cli: --range and --types work with --deep only\n");
        return kExitUsage;
    }
    std::vector<std::string> unknown = unknownDeepTypes(o.types);
    if (!unknown.empty()) {
        std::string known;
        for (const std::string &t : deepTypeNames())
            known += (known.empty() ? "" : ", ") + t;
        fprintf(stderr, "salvitra-cli: unknown file type '%s' for --types; known types: %s\n",
                termText(unknown[0]).c_str(), known.c_str());
        return kExitUsage;
    }
    if (recover && o.outDir.empty()) {
        fprintf(stderr, "salvitra-cli: recover needs --out DIR\n");
        return kExitUsage;
    }

    Inventory inv;
    std::string err;
    if (!inv.build(o.images, &err)) {
        fprintf(stderr, "salvitra-cli: %s\n", termText(err).c_str());
        return kExitScanFailed;
    }
    Partiton_Struct *target = nullptr;
    if (o.partition >= 0) {
        const PartitionInfo *p = inv.partition(o.partition);
        if (!p) {
            fprintf(stderr, "salvitra-cli: there is no partition %d (see 'salvitra-cli devices')\n",
                    o.partition);
            return kExitScanFailed;
        }
        target = p->part;
    } else {
        target = inv.wholeDevice(o.device);
        if (!target) {
            fprintf(stderr, "salvitra-cli: there is no device %d (see 'salvitra-cli devices')\n", o.device);
            return kExitScanFailed;
        }
    }

    // A range is scanned through a copy of the target that carries it.
    Partiton_Struct range{};
    if (o.hasRange) {
        Status why;
        range = rangeCopy(*target, o.rangeStart, o.rangeEnd, &why);
        if (!why.ok()) {
            fprintf(stderr, "salvitra-cli: %s\n", why.reason.c_str());
            return kExitUsage;
        }
        target = &range;
    }

    const DeviceInfo *dev = inv.deviceOf(target);
    // Decided before the scan, and before anything is created.
    OutputDir outDir;
    if (recover) {
        OutputCheck c = prepareRecoveryOutput(o.outDir, dev ? dev->path : std::string(), outDir);
        if (c.verdict == OutputVerdict::OnScannedMedium) {
            fprintf(stderr, "salvitra-cli: refusing to write recovered files onto the medium being "
                            "scanned: %s\nChoose an output folder on another disk.\n", termText(c.why).c_str());
            return kExitScanFailed;
        }
        if (!c.ok()) {
            fprintf(stderr, "salvitra-cli: cannot write to the output folder: %s\n", termText(c.why).c_str());
            return kExitScanFailed;
        }
    }

    ScanRequest req;
    req.part = target;
    req.mode = o.deep ? RecoverDeep : RecoverQuick;
    req.formatted = o.formatted;
    req.types = o.types;
    req.inventory = &inv;
    ScanJob job(req);
    if (!job.supported()) {
        Status s = job.run();
        fprintf(stderr, "salvitra-cli: no %s scan of this partition (%s): %s\n", scanKindText(req.kind()),
                fsShortLabel(target->FsType).c_str(), s.text().c_str());
        return kExitScanFailed;
    }

    signal(SIGINT, onSigint);
    ProgressLine bar("Scanning");
    job.start();
    watch(job, bar, [&] { return job.waitFor(0); });
    Status scan = job.wait();
    bool interrupted = g_interrupted != 0;
    if (scan.code == StatusCode::Stopped) {
        fprintf(stderr, "Scan stopped; %zu file%s found so far %s listed.\n", job.fileCount(),
                job.fileCount() == 1 ? "" : "s", job.fileCount() == 1 ? "is" : "are");
    } else if (!scan.ok()) {
        fprintf(stderr, "salvitra-cli: the scan did not complete: %s\n", termText(scan.text()).c_str());
        if (job.fileCount() == 0)
            return kExitScanFailed;
    }

    std::vector<const FoundFile *> files =
        filterGroups(o, job, selectFiles(job, o.deep ? o.types : std::vector<std::string>{}, o.only));
    if (!recover || interrupted) {
        if (o.json)
            printFilesJson(grouping(o, job), files);
        else
            printFilesText(o, files);
        if (recover)
            printf("Nothing was recovered: the scan was interrupted.\n");
        return interrupted ? kExitStopped : kExitOk;
    }

    RecoverOptions ropt;
    ropt.outDir = o.outDir;
    ropt.output = &outDir;
    ropt.onlyGlobs = o.only;
    ProgressLine rbar("Recovering");
    RecoverSummary sum;
    // The writes run on the job's worker, as the scan did; a Ctrl-C from
    // here on stops them, however soon it comes.
    if (!job.startWrites([&] { sum = recoverFiles(job, files, ropt); })) {
        fprintf(stderr, "salvitra-cli: the recovery could not start\n");
        return kExitScanFailed;
    }
    watch(job, rbar, [&] { return job.waitFor(0); });
    job.wait();
    interrupted = g_interrupted != 0;

    for (const RecoveredFile &rf : sum.files) {
        switch (rf.result) {
        case WriteResult::Ok:
            if (rf.stats.readFailures)
                printf("written with %u unreadable chunk%s (zero-filled): %s\n", rf.stats.readFailures,
                       rf.stats.readFailures == 1 ? "" : "s", termText(rf.path).c_str());
            break;
        case WriteResult::Empty:
            printf("empty file: %s\n", termText(rf.path).c_str());
            break;
        case WriteResult::Stopped:
            if (rf.stats.incomplete)
                printf("incomplete (%s): %s\n", termText(rf.note).c_str(), termText(fullPath(*rf.file)).c_str());
            break;
        case WriteResult::Damaged:
            printf("damaged (%s): %s\n", termText(rf.note).c_str(), termText(fullPath(*rf.file)).c_str());
            break;
        default:
            printf("skipped %s: %s\n", termText(fullPath(*rf.file)).c_str(),
                   termText(rf.note.empty() ? writeResultText(rf.result) : rf.note).c_str());
            break;
        }
    }
    printf("Recovered %u file%s (%llu bytes) into %s", sum.written, sum.written == 1 ? "" : "s",
           (unsigned long long)sum.bytes, termText(o.outDir).c_str());
    if (sum.damaged)
        printf("; %u damaged", sum.damaged);
    if (sum.failed)
        printf("; %u skipped", sum.failed);
    if (sum.readFailures)
        printf("; %u unreadable chunk%s written as zeros", sum.readFailures,
               sum.readFailures == 1 ? "" : "s");
    printf(".\n");
    if (sum.outputStopped)
        fprintf(stderr, "salvitra-cli: recovery stopped: %s\n", termText(sum.status.reason).c_str());
    if (sum.stopped)
        printf("Recovery stopped before the end: %zu of %zu files were not copied%s.\n",
               files.size() - sum.written, files.size(), sum.incomplete ? "; the incomplete one is kept as .partial" : "");
    if (interrupted || sum.stopped)
        return kExitStopped;
    return sum.allWhole() ? kExitOk : kExitNotWhole;
}

}  // namespace

int main(int argc, char **argv)
{
    // The driver never prints; its diagnostic lines show when tracing is on.
    if (const char *t = getenv("SALVITRA_TRACE"); t && *t && strcmp(t, "0") != 0)
        setDiagnosticSink([](const std::string &line) { fprintf(stderr, "salvitra: %s\n", line.c_str()); });
    if (argc >= 2 && (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h") || !strcmp(argv[1], "help"))) {
        fputs(kUsage, stdout);
        return 0;
    }
    Options o;
    std::string err;
    if (!parseArgs(argc, argv, o, err)) {
        fprintf(stderr, "salvitra-cli: %s\n%s", termText(err).c_str(), kUsage);
        return kExitUsage;
    }
    if (o.command == "devices")
        return cmdDevices(o);
    if (o.command == "scan")
        return cmdScanOrRecover(o, false);
    if (o.command == "recover")
        return cmdScanOrRecover(o, true);
    fprintf(stderr, "salvitra-cli: unknown command '%s'\n%s", termText(o.command).c_str(), kUsage);
    return kExitUsage;
}
