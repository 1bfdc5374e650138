// salvitra-cli: the command-line front end.  All logic lives in the driver;
// this file parses arguments and prints.
#include <cerrno>
#include <cctype>
#include <clocale>
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
#include "imaging.h"
#include "inventory.h"
#include "merged.h"
#include "output_check.h"
#include "output_dir.h"
#include "recover.h"
#include "result_tree.h"
#include "scan.h"
#include "text.h"
#include "volume_search.h"
#if SALVITRA_HAVE_UDISKS
#include <QCoreApplication>

#include "udisks.h"
#endif

using namespace salvitra;

namespace {

// Exit statuses (listed in the README).
constexpr int kExitOk = 0;         // every selected file written whole (scan, devices: done)
constexpr int kExitScanFailed = 1; // the scan could not start (bad image, file system not readable)
                                   // or ended because the medium was removed; devices: a device
                                   // could not be opened
constexpr int kExitUsage = 2;      // the command line is wrong
constexpr int kExitNotWhole = 3;   // some selected files were not written, or only in part
constexpr int kExitStopped = 130;  // stopped (Ctrl-C)

const char *kUsage =
    "usage: salvitra-cli COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  devices [--json] [--verbose] [--no-auth] list devices and their partitions\n"
    "                                          (--verbose: and every table entry or\n"
    "                                          volume check that gave none, with why)\n"
    "  devices --search [--device N] [--sfdisk]\n"
    "                                          also read each device (or device N)\n"
    "                                          whole for volumes no partition table\n"
    "                                          lists; --sfdisk prints the layout\n"
    "                                          found as an sfdisk script to review\n"
    "  scan MODE TARGET [--json]               scan and list the files found\n"
    "  recover MODE TARGET --out DIR [--only GLOB]... [--json] [--report NAME]\n"
    "                                          scan, then copy the files found into DIR\n"
    "                                          (--json: the outcome of every file, with\n"
    "                                          the byte ranges that could not be read),\n"
    "                                          with a report of what was written (NAME.csv\n"
    "                                          and NAME.xml, DFXML; in DIR unless NAME\n"
    "                                          holds a '/'; default salvitra-report)\n"
    "  image TARGET --out FILE [--map MAPFILE] [--retries N]\n"
    "                                          copy a device or partition into an image\n"
    "                                          file, read once and around unreadable\n"
    "                                          areas; the map (FILE.map unless named, GNU\n"
    "                                          ddrescue's format) lets a stopped copy go on\n"
    "\n"
    "MODE:   --quick      deleted files, through the file system's own records\n"
    "        --formatted  files of a volume that was formatted again (FAT, NTFS)\n"
    "        --deep       every file found by its content, merged with the file\n"
    "                     system's own records (names, folders, dates) and with a\n"
    "                     verdict each [--types jpg,png,...] [--range START END]\n"
    "                     (byte offsets inside the target) [--content-only: the\n"
    "                     content search alone]\n"
    "--types LIST  deep scans: look for these kinds of file only (extensions,\n"
    "        comma-separated: jpg,png,mp4; a name that is not known lists the\n"
    "        known ones); other formats are not even tested, which is faster\n"
    "TARGET: --partition N (the index shown by 'devices') or --device N (a whole\n"
    "        device: deep scans and images only)\n"
    "--filter all|photo|video|audio|others  quick scans: keep the files of one\n"
    "        group, as the results page does (deep scans show every group)\n"
    "--search  scan and recover: search the devices for lost volumes first, so\n"
    "        that --partition N can name a found volume (as 'devices --search')\n"
    "--fs NAME  a partition where two file systems pass their checks is\n"
    "        ambiguous: scan it as NAME (fat, ntfs, exfat, ext2, ext3, ext4, hfs+)\n"
    "\n"
    "Every command takes --image FILE (repeatable): disk images standing in for\n"
    "/dev/disk0, /dev/disk1, ...: raw, split raw (.000/.001..., .aa/.ab...),\n"
    "EnCase (.E01), VHD, VHDX or VMDK.  Without it the entries disk0..disk19 of\n"
    "$SALVITRA_DISK_DIR are used when set, else the machine's whole disks.\n"
    "\n"
    "A disk this user may not read is opened through the disk service udisks2\n"
    "once polkit allows it; when polkit wants a password, it is asked for in\n"
    "this terminal.  --no-auth never asks (such disks are then listed with the\n"
    "reason).\n"
    "\n"
    "'devices' lists each partition under the device that holds its table, as\n"
    "  [N] FILE-SYSTEM offset, size, volume name, description, access mode\n"
    "where N is the number --partition takes; volumes a search found follow\n"
    "under 'found volumes'.  Salvitra never writes a partition table.\n"
    "\n"
    "Devices are only ever opened read-only.\n"
    "\n"
    "Exit status: 0 done (recover: every selected file written whole; image: every\n"
    "sector read); 1 the scan or copy could not start, or the medium was removed\n"
    "(devices: a device could not be opened); 2 a wrong command line; 3 files not\n"
    "written or written only in part (kept as NAME.partial), or the report not\n"
    "written (image: unreadable sectors, zeros in the image); 130 stopped.\n";

struct Options {
    std::string command;
    std::vector<std::string> images;
    bool json = false;
    bool verbose = false;
    bool noAuth = false;
    bool quick = false, formatted = false, deep = false;
    int partition = -1;
    int device = -1;
    bool hasRange = false;
    uint64_t rangeStart = 0, rangeEnd = 0;
    std::vector<std::string> types;
    bool contentOnly = false;
    std::string outDir;
    std::vector<std::string> only;
    int filter = FilterAllFiles;
    bool search = false;
    bool sfdisk = false;
    std::string fs;
    std::string mapFile;
    int retries = -1;
    std::string report;
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
        } else if (a == "--no-auth") {
            o.noAuth = true;
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
        } else if (a == "--content-only") {
            o.contentOnly = true;
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
        } else if (a == "--search") {
            o.search = true;
        } else if (a == "--sfdisk") {
            o.sfdisk = true;
            o.search = true;
        } else if (a == "--fs") {
            if (!value(o.fs))
                return false;
        } else if (a == "--out") {
            if (!value(o.outDir))
                return false;
        } else if (a == "--only") {
            if (!value(v))
                return false;
            o.only.push_back(v);
        } else if (a == "--report") {
            if (!value(o.report))
                return false;
            if (o.report.empty() || o.report.back() == '/') {
                err = "--report needs a file name";
                return false;
            }
        } else if (a == "--map") {
            if (!value(o.mapFile))
                return false;
        } else if (a == "--retries") {
            if (!number(n))
                return false;
            if (n > 16) {
                err = "--retries: at most 16";
                return false;
            }
            o.retries = (int)n;
        } else {
            err = "unknown option " + a;
            return false;
        }
    }
    return true;
}

// ---- devices ----

const char *const kFoundFlagNames[] = {"primary", "backup", "nested", "overlap", "ambiguous", "pastEnd", "inTable"};

void printPartitionLine(const PartitionInfo &p, bool verbose)
{
    printf("    [%d] %-7s offset %llu, size %s (%llu bytes), name \"%s\", info \"%s\", access '%c'", p.index,
           termText(p.fsLabel).c_str(), (unsigned long long)p.offset, humanSize(p.size).c_str(),
           (unsigned long long)p.size, termText(p.volumeName).c_str(), termText(p.fsInfo).c_str(), p.accessMode);
    if (p.viaDevNum >= 0)
        printf(" (read through disk%d)", p.viaDevNum);
    printf("\n");
    std::string claim = sizeClaimText(p);
    if (verbose && !claim.empty())
        printf("        %s\n", termText(claim).c_str());
    if (!p.foundHow.empty())
        printf("        %s\n", termText(p.foundHow).c_str());
    if (p.ambiguous) {
        std::string list;
        for (size_t i = 0; i < p.choices.size(); i++) {
            const FsChoice &c = p.choices[i];
            list += (list.empty() ? "" : "; ") + c.fsLabel + " \"" + c.volumeName + "\"";
            if ((int)i == p.chosen)
                list += " (scanned unless --fs names another)";
            if (!c.note.empty())
                list += " (" + c.note + ")";
        }
        printf("        ambiguous: two file systems pass their checks here: %s\n", termText(list).c_str());
    }
}

void printClosedDevice(const ClosedDevice &c)
{
    printf("disk%d  %s\n", c.devNum, termText(c.displayName).c_str());
    printf("    path %s: not opened: %s\n", termText(c.path).c_str(), termText(c.reason).c_str());
}

void printDevicesText(const Inventory &inv, bool verbose)
{
    if (inv.devices().empty() && inv.closed().empty()) {
        printf("No devices found.\n");
        return;
    }
    size_t nextClosed = 0;
    const std::vector<ClosedDevice> &closed = inv.closed();
    for (const DeviceInfo &d : inv.devices()) {
        while (nextClosed < closed.size() && closed[nextClosed].devNum < d.devNum)
            printClosedDevice(closed[nextClosed++]);
        printf("disk%d  %s\n", d.devNum, d.displayName.empty() ? "(no name)" : termText(d.displayName).c_str());
        printf("    path %s, %s (%llu bytes), sector size %d\n", termText(d.path).c_str(),
               humanSize(d.size).c_str(), (unsigned long long)d.size, d.sectorSize);
        if (verbose && d.facts.known) {
            std::string bus = busText(d.facts.bus);
            printf("    %s%s%s%s%s\n", d.facts.removable ? "removable" : "fixed",
                   bus.empty() ? "" : ", ", bus.c_str(), d.facts.serial.empty() ? "" : ", serial ",
                   termText(d.facts.serial).c_str());
        }
        int shown = 0, found = 0;
        for (const PartitionInfo &p : inv.partitions()) {
            if (p.devNum == d.devNum && !p.found) {
                printPartitionLine(p, verbose);
                shown++;
            } else if (p.viaDevNum == d.devNum) {
                printf("    holds partition [%d] of disk%d\n", p.index, p.devNum);
                shown++;
            }
            found += p.devNum == d.devNum && p.found;
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
        const SearchResult *s = inv.lastSearch(d.devNum);
        if (!s)
            continue;
        printf("    found volumes (the search read %s%s):\n", humanSize(s->bytesRead).c_str(),
               s->stopped ? ", then was stopped" : s->bytesRead < d.size ? "" : ", the whole device");
        for (const PartitionInfo &p : inv.partitions())
            if (p.devNum == d.devNum && p.found)
                printPartitionLine(p, verbose);
        int inTable = 0;
        for (const FoundVolume &v : s->volumes)
            inTable += (v.vol.Flags & SV_VOL_IN_TABLE) != 0;
        if (found == 0)
            printf("    none beyond what the partition table lists\n");
        if (inTable)
            printf("    (and %d listed above)\n", inTable);
        if (s->unreadable)
            printf("    %s could not be read\n", humanSize(s->unreadable).c_str());
        if (s->truncated)
            printf("    the device holds more volume structures than the search keeps; some may be missing\n");
        for (const FoundVolume &v : s->volumes)
            if (!v.accepted && !(v.vol.Flags & SV_VOL_IN_TABLE) && (verbose || v.checked))
                printf("    not used: a %s volume at byte %llu: %s\n", fsShortLabel(v.vol.FsType).c_str(),
                       (unsigned long long)v.vol.Offset, termText(v.note).c_str());
    }
    while (nextClosed < closed.size())
        printClosedDevice(closed[nextClosed++]);
}

const char *accessStateKey(AccessState s)
{
    switch (s) {
    case AccessState::Open: return "open";
    case AccessState::AuthNeeded: return "authentication-needed";
    case AccessState::NotAuthorized: return "not-authorized";
    case AccessState::Cancelled: return "cancelled";
    case AccessState::Denied: return "permission-denied";
    case AccessState::Failed: return "failed";
    }
    return "failed";
}

std::string driveJson(const DriveFacts &f)
{
    return "\"vendor\": " + jsonString(f.vendor) + ", \"model\": " + jsonString(f.model) +
           ", \"serial\": " + jsonString(f.serial) + ", \"bus\": " + jsonString(f.bus) +
           ", \"removable\": " + (f.removable ? "true" : "false");
}

void printDevicesJson(const Inventory &inv)
{
    printf("[");
    bool firstDev = true;
    for (const DeviceInfo &d : inv.devices()) {
        printf("%s\n  {\"devNum\": %d, \"devName\": %s, \"displayName\": %s, \"devPath\": %s, "
               "\"size\": %llu, \"sectorSize\": %d, \"opened\": true, %s, \"partitions\": [",
               firstDev ? "" : ",", d.devNum, jsonString(d.name).c_str(), jsonString(d.displayName).c_str(),
               jsonString(d.path).c_str(), (unsigned long long)d.size, d.sectorSize, driveJson(d.facts).c_str());
        firstDev = false;
        bool firstPart = true;
        for (const PartitionInfo &p : inv.partitions()) {
            if (p.devNum != d.devNum)
                continue;
            std::string flags, choices;
            for (int b = 0; b < 7; b++)
                if (p.foundFlags & (1u << b))
                    flags += std::string(flags.empty() ? "" : ", ") + "\"" + kFoundFlagNames[b] + "\"";
            for (const FsChoice &c : p.choices)
                choices += std::string(choices.empty() ? "" : ", ") + "{\"fsType\": " + std::to_string(c.fsType) +
                           ", \"fsLabel\": " + jsonString(c.fsLabel) + ", \"volumeName\": " +
                           jsonString(c.volumeName) + ", \"size\": " + std::to_string(c.size) +
                           ", \"accepted\": " + (c.accepted ? "true" : "false") + ", \"note\": " +
                           jsonString(c.note) + "}";
            printf("%s\n    {\"index\": %d, \"offset\": %llu, \"size\": %llu, \"fsType\": %d, "
                   "\"fsLabel\": %s, \"fsInfo\": %s, \"volumeName\": %s, \"accessMode\": %s, "
                   "\"viaDevNum\": %d, \"bootable\": %s, \"found\": %s, \"foundFlags\": [%s], "
                   "\"foundHow\": %s, \"within\": %d, \"ambiguous\": %s, \"choices\": [%s]}",
                   firstPart ? "" : ",", p.index, (unsigned long long)p.offset,
                   (unsigned long long)p.size, p.fsType, jsonString(p.fsLabel).c_str(),
                   jsonString(p.fsInfo).c_str(), jsonString(p.volumeName).c_str(),
                   jsonString(std::string(1, p.accessMode)).c_str(), p.viaDevNum,
                   p.bootable ? "true" : "false", p.found ? "true" : "false", flags.c_str(),
                   jsonString(p.foundHow).c_str(), p.within, p.ambiguous ? "true" : "false", choices.c_str());
            firstPart = false;
        }
        printf("%s]", firstPart ? "" : "\n  ");
        if (const SearchResult *s = inv.lastSearch(d.devNum)) {
            uint32_t inTable = 0, refused = 0;
            for (const FoundVolume &v : s->volumes) {
                inTable += (v.vol.Flags & SV_VOL_IN_TABLE) != 0;
                refused += !v.accepted && !(v.vol.Flags & SV_VOL_IN_TABLE);
            }
            printf(", \"search\": {\"bytesRead\": %llu, \"unreadable\": %llu, \"stopped\": %s, "
                   "\"truncated\": %s, \"volumes\": %zu, \"inTable\": %u, \"refused\": %u}",
                   (unsigned long long)s->bytesRead, (unsigned long long)s->unreadable,
                   s->stopped ? "true" : "false", s->truncated ? "true" : "false", s->volumes.size(), inTable,
                   refused);
        }
        printf("}");
    }
    for (const ClosedDevice &c : inv.closed()) {
        printf("%s\n  {\"devNum\": %d, \"displayName\": %s, \"devPath\": %s, \"size\": %llu, "
               "\"opened\": false, \"access\": \"%s\", \"reason\": %s, %s, \"partitions\": []}",
               firstDev ? "" : ",", c.devNum, jsonString(c.displayName).c_str(), jsonString(c.path).c_str(),
               (unsigned long long)c.facts.size, accessStateKey(c.state), jsonString(c.reason).c_str(),
               driveJson(c.facts).c_str());
        firstDev = false;
    }
    printf("%s]\n", firstDev ? "" : "\n");
}

// Searches the devices (all, or only `only`) and lists what each search
// found; defined with the progress line below.  False when a device could
// not be read; *stopped when Ctrl-C ended it.
bool searchDevices(Inventory &inv, int only, bool *stopped);

// What a device that could not be opened needs, on standard error.
void explainClosed(const Inventory &inv)
{
    for (const ClosedDevice &c : inv.closed())
        fprintf(stderr, "salvitra-cli: disk%d (%s) could not be opened: %s\n", c.devNum,
                termText(c.path).c_str(), termText(c.reason).c_str());
}

int cmdDevices(const Options &o)
{
    if (o.device >= 0 && !o.search) {
        fprintf(stderr, "salvitra-cli: devices takes --device N with --search only\n");
        return kExitUsage;
    }
    Inventory inv;
    std::string err;
    if (!inv.build(o.images, &err)) {
        fprintf(stderr, "salvitra-cli: %s\n", termText(err).c_str());
        return kExitScanFailed;
    }
    bool ok = true, stopped = false;
    if (o.search) {
        if (o.device >= 0 && !inv.device(o.device)) {
            fprintf(stderr, "salvitra-cli: there is no device %d (see 'salvitra-cli devices')\n", o.device);
            return kExitScanFailed;
        }
        ok = searchDevices(inv, o.device, &stopped);
    }
    if (o.sfdisk) {
        for (const DeviceInfo &d : inv.devices()) {
            if (o.device >= 0 && d.devNum != o.device)
                continue;
            std::string why, script = sfdiskScript(inv, d.devNum, &why);
            if (script.empty()) {
                fprintf(stderr, "salvitra-cli: disk%d: no sfdisk script: %s\n", d.devNum, termText(why).c_str());
                ok = false;
                continue;
            }
            fputs(script.c_str(), stdout);
        }
    } else if (o.json) {
        printDevicesJson(inv);
    } else {
        printDevicesText(inv, o.verbose);
    }
    if (stopped)
        return kExitStopped;
    // A device left shut is a failure to list it, even beside others.
    if (!inv.closed().empty()) {
        explainClosed(inv);
        return kExitScanFailed;
    }
    return ok ? 0 : kExitScanFailed;
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

// Waits for `done` while showing the job's progress (a scan or a search)
// and turning Ctrl-C into a stop of the job.
template <class Job>
void watch(Job &job, ProgressLine &line, const std::function<bool()> &done)
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

bool searchDevices(Inventory &inv, int only, bool *stopped)
{
    *stopped = false;
    std::vector<int> nums;
    for (const DeviceInfo &d : inv.devices())
        if ((only < 0 || d.devNum == only) && d.devNum != SV_DEV_SKIPPED)
            nums.push_back(d.devNum);
    signal(SIGINT, onSigint);
    bool ok = true;
    for (int n : nums) {
        if (g_interrupted)
            break;
        std::string what = "Searching disk" + std::to_string(n) + " for lost volumes";
        ProgressLine bar(what.c_str());
        VolumeSearchJob job(inv, n);
        job.start();
        watch(job, bar, [&] { return job.waitFor(0); });
        Status s = job.wait();
        job.release();
        if (s.code == StatusCode::Stopped)
            *stopped = true;
        if (!s.ok() && s.code != StatusCode::Stopped) {
            fprintf(stderr, "salvitra-cli: disk%d: the search did not complete: %s\n", n, termText(s.text()).c_str());
            ok = false;
            continue;
        }
        std::string err;
        if (!inv.addSearch(job.result(), &err)) {
            fprintf(stderr, "salvitra-cli: disk%d: %s\n", n, termText(err).c_str());
            ok = false;
        }
    }
    *stopped = *stopped || g_interrupted != 0;
    return ok;
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

void printFilesText(const Options &o, const std::vector<const FoundFile *> &files,
                    const std::vector<std::string> &notes)
{
    // Files a file system names, with their folders; a deep scan says
    // what each will come to.
    for (const FoundFile *f : files) {
        if (f->state == FileState::Carved)
            continue;
        std::string note = f->note.empty() ? "" : "  (" + termText(f->note) + ")";
        // A file system that keeps only a creation time shows it marked so.
        std::string when = f->mtime >= 0 ? formatTime(f->mtime)
                           : f->created >= 0 ? formatTime(f->created) + " (created)"
                                             : formatTime(-1);
        std::string verdict = o.deep ? std::string("  ") + verdictText(f->verdict) + ":" : "";
        printf("%12llu  %s%s  %s%s\n", (unsigned long long)f->size, when.c_str(), verdict.c_str(),
               termText(fullPath(*f)).c_str(), note.c_str());
    }
    // Files found only by their content, by type.
    std::vector<std::string> order;
    for (const FoundFile *f : files) {
        if (f->state != FileState::Carved)
            continue;
        bool seen = false;
        for (const std::string &t : order)
            seen |= t == f->type;
        if (!seen)
            order.push_back(f->type);
    }
    size_t carved = 0;
    for (const FoundFile *f : files)
        carved += f->state == FileState::Carved;
    if (carved && carved < files.size())
        printf("%s:\n", kFoundByContentFolder);
    for (const std::string &t : order) {
        size_t n = 0;
        for (const FoundFile *f : files)
            n += f->state == FileState::Carved && f->type == t;
        printf("%s: %zu file%s\n", termText(t).c_str(), n, n == 1 ? "" : "s");
        for (const FoundFile *f : files)
            if (f->state == FileState::Carved && f->type == t)
                printf("  %5u  offset %-14llu %12llu bytes  %s\n", f->index, (unsigned long long)f->offset,
                       (unsigned long long)f->size, verdictText(f->verdict));
    }
    printf("%zu file%s found.\n", files.size(), files.size() == 1 ? "" : "s");
    for (const std::string &n : notes)
        printf("Note: %s.\n", termText(n).c_str());
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
               "\"state\": %s, \"readable\": %s, \"note\": %s, \"verdict\": %s, \"why\": %s, \"confirmed\": %s, "
               "\"groups\": [%s]}",
               first ? "" : ",", (unsigned long long)f->id, jsonString(f->name).c_str(),
               jsonString(f->folder).c_str(), jsonString(fullPath(*f)).c_str(), (unsigned long long)f->size,
               (long long)f->mtime, (long long)f->created, jsonString(f->type).c_str(),
               (unsigned long long)f->offset, f->index, jsonString(fileStateText(f->state)).c_str(),
               f->readable() ? "true" : "false", jsonString(f->note).c_str(), jsonString(verdictText(f->verdict)).c_str(),
               jsonString(f->why).c_str(), f->confirmed ? "true" : "false", groups.c_str());
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
    if ((o.hasRange || !o.types.empty() || o.contentOnly) && !o.deep) {
        fprintf(stderr, "salvitra-cli: --range, --types and --content-only work with --deep only\n");
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
    if (!recover && !o.report.empty()) {
        fprintf(stderr, "salvitra-cli: --report works with recover only\n");
        return kExitUsage;
    }

    if (!o.fs.empty() && o.partition < 0) {
        fprintf(stderr, "salvitra-cli: --fs works with --partition only\n");
        return kExitUsage;
    }

    Inventory inv;
    std::string err;
    if (!inv.build(o.images, &err)) {
        fprintf(stderr, "salvitra-cli: %s\n", termText(err).c_str());
        return kExitScanFailed;
    }
    if (o.search) {
        bool stopped = false;
        bool ok = searchDevices(inv, -1, &stopped);
        if (stopped) {
            fprintf(stderr, "The search for lost volumes was stopped; nothing was scanned.\n");
            return kExitStopped;
        }
        if (!ok)
            return kExitScanFailed;
    }
    Partiton_Struct *target = nullptr;
    if (o.partition >= 0) {
        const PartitionInfo *p = inv.partition(o.partition);
        if (!p) {
            explainClosed(inv);
            fprintf(stderr, "salvitra-cli: there is no partition %d (see 'salvitra-cli devices%s')\n",
                    o.partition, o.search ? " --search" : "");
            return kExitScanFailed;
        }
        std::string why;
        target = choiceRecord(*p, o.fs, &why);
        if (!target) {
            fprintf(stderr, "salvitra-cli: %s\n", termText(why).c_str());
            return kExitScanFailed;
        }
        if (p->ambiguous && o.fs.empty())
            fprintf(stderr, "Partition %d is ambiguous (%s is scanned; choose another with --fs).\n", o.partition,
                    p->fsLabel.c_str());
    } else {
        target = inv.wholeDevice(o.device);
        if (!target) {
            for (const ClosedDevice &c : inv.closed())
                if (c.devNum == o.device) {
                    fprintf(stderr, "salvitra-cli: disk%d (%s) could not be opened: %s\n", c.devNum,
                            termText(c.path).c_str(), termText(c.reason).c_str());
                    return kExitScanFailed;
                }
            fprintf(stderr, "salvitra-cli: there is no device %d (see 'salvitra-cli devices')\n", o.device);
            return kExitScanFailed;
        }
    }

    // A range is scanned through a copy of the target that carries it; a
    // deep scan reads the file system of the partition it lies in too.
    Partiton_Struct range{};
    Partiton_Struct *volume = o.partition >= 0 && o.hasRange ? target : nullptr;
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
        std::string why;
        size_t slash = o.report.find_last_of('/');
        if (slash != std::string::npos && dev &&
            outputOnScannedMedium(slash == 0 ? "/" : o.report.substr(0, slash), dev->path, &why)) {
            fprintf(stderr, "salvitra-cli: refusing to write the report onto the medium being scanned: %s\n",
                    termText(why).c_str());
            return kExitScanFailed;
        }
    }

    ScanRequest req;
    req.part = target;
    req.mode = o.deep ? RecoverDeep : RecoverQuick;
    req.formatted = o.formatted;
    req.types = o.types;
    req.volume = volume;
    req.contentOnly = o.contentOnly;
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
    bool removed = scan.code == StatusCode::MediumRemoved;
    if (removed) {
        fprintf(stderr, "salvitra-cli: %s\n", termText(scan.text()).c_str());
    } else if (scan.code == StatusCode::Stopped) {
        fprintf(stderr, "Scan stopped; %zu file%s found so far %s listed.\n", job.fileCount(),
                job.fileCount() == 1 ? "" : "s", job.fileCount() == 1 ? "is" : "are");
    } else if (!scan.ok()) {
        fprintf(stderr, "salvitra-cli: the scan did not complete: %s\n", termText(scan.text()).c_str());
        if (job.fileCount() == 0)
            return kExitScanFailed;
    } else if (!scan.reason.empty()) {
        fprintf(stderr, "Scan complete; %s.\n", termText(scan.reason).c_str());
    }

    std::vector<const FoundFile *> files =
        filterGroups(o, job, selectFiles(job, {}, o.only));
    if (!recover || interrupted || removed) {
        if (o.json)
            printFilesJson(grouping(o, job), files);
        else
            printFilesText(o, files, job.notes());
        if (recover)
            printf("Nothing was recovered: %s.\n", removed ? "the medium was removed" : "the scan was interrupted");
        return interrupted ? kExitStopped : removed ? kExitScanFailed : kExitOk;
    }

    RecoverOptions ropt;
    ropt.outDir = o.outDir;
    ropt.output = &outDir;
    ropt.onlyGlobs = o.only;
    ropt.reportName = o.report;
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

    if (o.json) {
        fputs(recoveryJson(sum, o.outDir).c_str(), stdout);
    } else {
        for (const RecoveredFile &rf : sum.files)
            for (const std::string &line : recoveryLines(rf))
                printf("%s\n", termText(line).c_str());
        printf("Recovered %u file%s (%llu bytes) into %s", sum.written, sum.written == 1 ? "" : "s",
               (unsigned long long)sum.bytes, termText(o.outDir).c_str());
        if (sum.damaged)
            printf("; %u damaged (kept as .partial)", sum.damaged);
        if (sum.failed)
            printf("; %u skipped", sum.failed);
        if (sum.readFailures)
            printf("; %u unreadable part%s", sum.readFailures, sum.readFailures == 1 ? "" : "s");
        printf(".\n");
        if (sum.stopped)
            printf("Recovery stopped before the end: %zu of %zu files were not copied%s.\n",
                   files.size() - sum.written, files.size(),
                   sum.incomplete ? "; the incomplete one is kept as .partial" : "");
        if (!sum.report.csv.empty())
            printf("Report: %s, %s\n", termText(sum.report.csv).c_str(), termText(sum.report.xml).c_str());
    }
    if (!sum.report.error.empty())
        fprintf(stderr, "salvitra-cli: the report could not be written: %s\n", termText(sum.report.error).c_str());
    if (sum.outputStopped || sum.mediumRemoved)
        fprintf(stderr, "salvitra-cli: recovery stopped: %s\n", termText(sum.status.reason).c_str());
    // Nothing more can be read: as a scan that cannot go on.
    if (sum.mediumRemoved)
        return kExitScanFailed;
    if (interrupted || sum.stopped)
        return kExitStopped;
    // A recovery whose report could not be written is not a whole success.
    return sum.allWhole() && sum.report.error.empty() ? kExitOk : kExitNotWhole;
}

// ---- image ----

// The copy's line: on a terminal rewritten in place, otherwise a plain line
// every 10 percent and at every change of phase.
class ImageLine {
public:
    ImageLine() : tty_(isatty(2)) {}
    void update(const ImageProgress &p)
    {
        std::string rate = p.rate > 0 ? humanSize((uint64_t)p.rate) + "/s" : "-";
        if (tty_) {
            fprintf(stderr, "\r\033[K%s, pass %d: %d%%  rescued %s, bad %s, remaining %s, %s", rescuePhaseText(p.phase),
                    p.pass, p.percent, humanSize(p.rescued).c_str(), humanSize(p.bad).c_str(),
                    humanSize(p.remaining).c_str(), rate.c_str());
            fflush(stderr);
            shown_ = true;
        } else if (p.percent / 10 != last_ / 10 || p.phase != phase_ || p.pass != pass_) {
            fprintf(stderr, "%s, pass %d: %d%%, rescued %s, bad %s, remaining %s\n", rescuePhaseText(p.phase), p.pass,
                    p.percent, humanSize(p.rescued).c_str(), humanSize(p.bad).c_str(),
                    humanSize(p.remaining).c_str());
        }
        last_ = p.percent;
        phase_ = p.phase;
        pass_ = p.pass;
    }
    void done()
    {
        if (tty_ && shown_)
            fputc('\n', stderr);
    }

private:
    bool tty_;
    bool shown_ = false;
    int last_ = -1;
    RescuePhase phase_ = RescuePhase::Finished;
    int pass_ = 0;
};

int cmdImage(const Options &o)
{
    if ((o.partition >= 0) == (o.device >= 0)) {
        fprintf(stderr, "salvitra-cli: name what to copy with --partition N or --device N\n");
        return kExitUsage;
    }
    if (o.outDir.empty()) {
        fprintf(stderr, "salvitra-cli: image needs --out FILE\n");
        return kExitUsage;
    }
    if (o.quick || o.formatted || o.deep || o.hasRange || !o.types.empty() || !o.only.empty() || !o.report.empty()) {
        fprintf(stderr, "salvitra-cli: image takes no scan options\n");
        return kExitUsage;
    }
    Inventory inv;
    std::string err;
    if (!inv.build(o.images, &err)) {
        fprintf(stderr, "salvitra-cli: %s\n", termText(err).c_str());
        return kExitScanFailed;
    }
    ImageRequest req;
    if (o.partition >= 0) {
        const PartitionInfo *p = inv.partition(o.partition);
        if (!p) {
            fprintf(stderr, "salvitra-cli: there is no partition %d (see 'salvitra-cli devices')\n", o.partition);
            return kExitScanFailed;
        }
        req.part = p->part;
    } else {
        req.part = inv.wholeDevice(o.device);
        if (!req.part) {
            fprintf(stderr, "salvitra-cli: there is no device %d (see 'salvitra-cli devices')\n", o.device);
            return kExitScanFailed;
        }
    }
    if (const DeviceInfo *d = inv.deviceOf(req.part))
        req.devicePath = d->path;
    req.inventory = &inv;
    req.outPath = o.outDir;
    req.mapPath = o.mapFile;
    if (o.retries >= 0)
        req.retries = o.retries;
    ImageJob job(req);
    Status ready = job.prepare();
    if (!ready.ok()) {
        fprintf(stderr, "salvitra-cli: %s\n", termText(ready.reason).c_str());
        return kExitScanFailed;
    }
    if (job.resuming())
        fprintf(stderr, "Going on with the copy in %s from its map %s.\n", termText(req.outPath).c_str(),
                termText(job.mapPath()).c_str());

    signal(SIGINT, onSigint);
    ImageLine line;
    job.start();
    bool stopped = false;
    while (!job.waitFor(200)) {
        if (g_interrupted && !stopped) {
            job.stop();
            stopped = true;
        }
        line.update(job.progress());
    }
    Status s = job.wait();
    ImageProgress p = job.progress();
    line.update(p);
    line.done();
    printf("%s: %s rescued of %s, %s unreadable, %s not tried.\n", termText(req.outPath).c_str(),
           humanSize(p.rescued).c_str(), humanSize(p.total).c_str(), humanSize(p.bad).c_str(),
           humanSize(p.remaining).c_str());
    if (!s.ok())
        fprintf(stderr, "salvitra-cli: %s\n", termText(s.text()).c_str());
    printf("Map: %s\n", termText(job.mapPath()).c_str());
    int rc = job.exitStatus();
    if (rc == kExitOk || rc == kExitNotWhole) {
        // The image is a device of its own from now on (one device list at a time).
        inv.teardown();
        Inventory mine;
        if (mine.build({req.outPath}, &err)) {
            printf("As a device ('--image %s'):\n", termText(req.outPath).c_str());
            printDevicesText(mine, false);
        }
    }
    return rc;
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
#if SALVITRA_HAVE_UDISKS
    // Disks this user may not read, through the desktop's disk service.
    // Qt's D-Bus wants an application object; the program's own texts and
    // numbers stay in the C locale.
    QCoreApplication app(argc, argv);
    setlocale(LC_ALL, "C");
    UdisksBroker broker(o.noAuth ? UdisksBroker::Asking::Never : UdisksBroker::Asking::InTerminal);
    setDeviceBroker(&broker);
    struct Unset {
        ~Unset() { setDeviceBroker(nullptr); }
    } unset;
#endif
    if (o.command == "devices")
        return cmdDevices(o);
    if (o.command == "scan")
        return cmdScanOrRecover(o, false);
    if (o.command == "recover")
        return cmdScanOrRecover(o, true);
    if (o.command == "image")
        return cmdImage(o);
    fprintf(stderr, "salvitra-cli: unknown command '%s'\n%s", termText(o.command).c_str(), kUsage);
    return kExitUsage;
}
