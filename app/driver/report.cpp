#include "report.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <fcntl.h>
#include <openssl/evp.h>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unordered_map>
#include <unistd.h>

#include "inventory.h"
#include "output_dir.h"
#include "recover.h"
#include "text.h"

namespace salvitra {

namespace {

const char *const kDefaultName = "salvitra-report";
const char *const kDfxmlNs = "http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML";
const char *const kOwnNs = "urn:salvitra:recovery-report:1";

std::string isoTime(int64_t t)
{
    if (t < 0)
        return {};
    time_t tt = (time_t)t;
    struct tm tmv;
    if (!gmtime_r(&tt, &tmv))
        return {};
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tmv);
    return buf;
}

std::string originalPath(const FoundFile &f)
{
    return f.folder.empty() ? f.name : f.folder + "/" + f.name;
}

// Text from a medium for a report: control characters and bytes that are
// not UTF-8 escaped as on a terminal, and the two code points XML does not
// allow either.
std::string safeText(const std::string &s)
{
    std::string t = termText(s), out;
    for (size_t i = 0; i < t.size(); i++) {
        if ((unsigned char)t[i] == 0xEF && i + 2 < t.size() && (unsigned char)t[i + 1] == 0xBF &&
            ((unsigned char)t[i + 2] == 0xBE || (unsigned char)t[i + 2] == 0xBF)) {
            out += (unsigned char)t[i + 2] == 0xBE ? "\\ufffe" : "\\uffff";
            i += 2;
        } else {
            out += t[i];
        }
    }
    return out;
}

std::string xml(const std::string &s)
{
    std::string out;
    for (char c : safeText(s)) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out += c;
        }
    }
    return out;
}

// A CSV field.  A text that a spreadsheet would take for a formula gets a
// leading apostrophe: names come from the medium.
std::string csvField(const std::string &s, bool fromMedium = false)
{
    std::string t = safeText(s);
    if (fromMedium && !t.empty() && (t[0] == '=' || t[0] == '+' || t[0] == '-' || t[0] == '@'))
        t = "'" + t;
    if (t.find_first_of(",\"") == std::string::npos && (t.empty() || (t.front() != ' ' && t.back() != ' ')))
        return t;
    std::string q = "\"";
    for (char c : t)
        q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

// A path as the system resolves it (as it stands when that fails).
std::string absolute(const std::string &path)
{
    char *real = path.empty() ? nullptr : realpath(path.c_str(), nullptr);
    if (!real)
        return path;
    std::string out = real;
    free(real);
    return out;
}

// Where the scanned record lies on its device, and what it is.
struct Source {
    int devNum = -1;
    std::string devicePath;
    std::string deviceName;
    int partition = -1;      // in the device list (as --partition takes it), -1 for none
    uint64_t offset = 0;     // of the record's byte 0 on the device
    uint64_t size = 0;
    std::string fs;
    int sectorSize = 0;
    uint32_t blockSize = 0;
    std::string scan;
};

Source sourceOf(const ScanJob &job)
{
    Source s;
    const Partiton_Struct *part = job.request().part;
    s.scan = scanKindText(job.request().kind());
    if (!part)
        return s;
    s.devNum = part->DevNum;
    char path[4096];
    if (Salvitra_ResolveDiskPath((uint32_t)part->DevNum, path, sizeof path) == 0)
        s.devicePath = absolute(path);
    if (part->Device) {
        s.deviceName = std::string(part->Device->DevName, strnlen(part->Device->DevName, sizeof part->Device->DevName));
        s.sectorSize = part->Device->SectorSize;
    }
    int index = 0;
    for (_Device_List *n = GlobPointerPartiton; n; n = n->next, index++)
        if (n->data == part)
            s.partition = index;
    s.offset = deviceOffsetOf(part);
    s.size = part->PartSize;
    s.fs = part->FsType == FS_UNKNOWN ? std::string() : fsShortLabel(part->FsType);
    s.blockSize = get_blocksize(part);
    return s;
}

std::string runsText(const std::vector<ByteRun> &runs)
{
    std::string t;
    for (const ByteRun &r : runs)
        t += (t.empty() ? "" : " ") + std::to_string(r.deviceOffset) + "+" + std::to_string(r.length);
    return t;
}

uint64_t total(const std::vector<ByteRun> &runs)
{
    uint64_t n = 0;
    for (const ByteRun &r : runs)
        n += r.length;
    return n;
}

struct Line {
    const RecoveredFile *rf;
    std::string path;  // where it was written, resolved
    std::string sha;
    std::vector<ByteRun> runs;
    bool written;
};

std::vector<Line> lines(const RecoverSummary &sum, const ReadLog &reads)
{
    std::vector<Line> out;
    // Files share few folders: each folder is resolved once.
    std::unordered_map<std::string, std::string> folders;
    auto resolved = [&](const std::string &path) {
        const size_t slash = path.rfind('/');
        if (slash == std::string::npos || slash == 0)
            return absolute(path);
        const std::string dir = path.substr(0, slash);
        auto it = folders.find(dir);
        if (it == folders.end())
            it = folders.emplace(dir, absolute(dir)).first;
        return it->second + path.substr(slash);
    };
    for (const RecoveredFile &rf : sum.files) {
        Line l{&rf, {}, {}, {}, false};
        l.written = rf.stats.bytes > 0 || rf.result == WriteResult::Ok || rf.result == WriteResult::Empty ||
                    rf.result == WriteResult::Damaged || (rf.result == WriteResult::Stopped && rf.stats.incomplete);
        // A file that is not on the disk has no checksum (an existing file
        // left alone is not ours either).
        if (l.written && rf.result != WriteResult::Exists && rf.result != WriteResult::OutputError)
            l.sha = sha256OfFile(rf.path);
        if (l.sha.empty())
            l.written = false;
        else
            l.path = resolved(rf.path);
        l.runs = reads.runs(rf.file, rf.stats.bytes);
        out.push_back(std::move(l));
    }
    return out;
}

bool writeText(int fd, const std::string &text, std::string *why)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (why)
                *why = strerror(n < 0 ? errno : ENOSPC);
            return false;
        }
        done += (size_t)n;
    }
    return true;
}

}  // namespace

// ---- the read log ----

ReadLog::ReadLog()
{
    before_ = Salvitra_WatchReads(&ReadLog::onRead, this, &beforeContext_);
}

ReadLog::~ReadLog()
{
    Salvitra_WatchReads(before_, beforeContext_, nullptr);
}

void ReadLog::fileStarts(const FoundFile *file)
{
    current_ = file;
}

void ReadLog::onRead(void *self, int32_t devNum, uint64_t offset, uint32_t length, int32_t result)
{
    (void)devNum;
    (void)length;
    auto *log = static_cast<ReadLog *>(self);
    if (!log->current_ || result <= 0 || offset == UINT64_MAX)
        return;
    std::vector<ByteRun> &runs = log->runs_[log->current_];
    uint64_t len = (uint64_t)result;
    if (!runs.empty() && runs.back().deviceOffset + runs.back().length == offset) {
        runs.back().length += len;
        return;
    }
    ByteRun r;
    r.deviceOffset = offset;
    r.length = len;
    runs.push_back(r);
}

std::vector<ByteRun> ReadLog::runs(const FoundFile *file, uint64_t written) const
{
    std::vector<ByteRun> out;
    auto it = runs_.find(file);
    if (it == runs_.end())
        return out;
    uint64_t at = 0;
    for (ByteRun r : it->second) {
        if (at >= written)
            break;
        r.fileOffset = at;
        r.length = std::min(r.length, written - at);
        at += r.length;
        out.push_back(r);
    }
    return out;
}

// ---- texts ----

std::string sha256OfFile(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return {};
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    bool ok = ctx && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1;
    // A buffer of the file's size up to 1 MiB, left unset: most recovered
    // files are small, and there are many of them.
    struct stat st;
    size_t cap = 1 << 20;
    if (fstat(fd, &st) == 0 && st.st_size >= 0 && (uint64_t)st.st_size < cap)
        cap = (size_t)st.st_size + 1;  // one more byte sees the end in one read
    std::unique_ptr<unsigned char[]> buf(new unsigned char[cap]);
    while (ok) {
        ssize_t n = read(fd, buf.get(), cap);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            ok = false;
        if (n <= 0)
            break;
        ok = EVP_DigestUpdate(ctx, buf.get(), (size_t)n) == 1;
    }
    close(fd);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    ok = ok && EVP_DigestFinal_ex(ctx, md, &mdLen) == 1;
    EVP_MD_CTX_free(ctx);
    if (!ok)
        return {};
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < mdLen; i++) {
        hex += kHex[md[i] >> 4];
        hex += kHex[md[i] & 15];
    }
    return hex;
}

const char *fileVerdict(const RecoveredFile &rf)
{
    // Until files carry a verdict of their own, only what the write shows.
    switch (rf.result) {
    case WriteResult::Damaged: return "damaged";
    case WriteResult::Unreadable: return "unreadable";
    default: break;
    }
    if (rf.file && rf.file->state == FileState::Unreadable)
        return "unreadable";
    if (rf.file && rf.file->state == FileState::Damaged)
        return "damaged";
    return "unknown";
}

namespace {

struct Data {
    Source src;
    std::vector<Line> lines;
};

std::string csvText(const Data &d)
{
    const Source &src = d.src;
    std::ostringstream o;
    o << "path,size,sha256,state,verdict,result,original_path,listed_size,modified,created,device,partition,"
         "partition_offset,file_system,byte_runs,note\r\n";
    for (const Line &l : d.lines) {
        const RecoveredFile &rf = *l.rf;
        const FoundFile &f = *rf.file;
        o << csvField(l.path, true) << ',' << (l.written ? rf.stats.bytes : 0) << ','
          << l.sha << ',' << csvField(fileStateText(f.state)) << ',' << fileVerdict(rf) << ','
          << csvField(writeResultText(rf.result)) << ',' << csvField(originalPath(f), true) << ','
          << (f.listedSize ? f.listedSize : f.size) << ',' << isoTime(f.mtime) << ',' << isoTime(f.created) << ','
          << csvField(src.devicePath, true) << ',' << (src.partition >= 0 ? std::to_string(src.partition) : "")
          << ',' << src.offset << ',' << csvField(src.fs) << ',' << runsText(l.runs) << ','
          << csvField(rf.note, true) << "\r\n";
    }
    return o.str();
}

std::string dfxmlText(const Data &d)
{
    const Source &src = d.src;
    std::ostringstream o;
    o << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<dfxml xmlns=\"" << kDfxmlNs << "\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:salvitra=\""
      << kOwnNs << "\" version=\"2.0.0-beta.0\">\n"
      << "  <metadata>\n    <dc:type>Recovery report</dc:type>\n  </metadata>\n"
      << "  <creator>\n    <program>Salvitra</program>\n    <version>" << SALVITRA_VERSION_TEXT << "</version>\n"
      << "    <execution_environment>\n";
    struct utsname u;
    if (uname(&u) == 0)
        o << "      <os_sysname>" << xml(u.sysname) << "</os_sysname>\n      <os_release>" << xml(u.release)
          << "</os_release>\n      <arch>" << xml(u.machine) << "</arch>\n";
    o << "      <uid>" << getuid() << "</uid>\n";
    o << "      <start_time>" << isoTime((int64_t)time(nullptr)) << "</start_time>\n"
      << "    </execution_environment>\n  </creator>\n";
    if (!src.devicePath.empty())
        o << "  <source>\n    <image_filename>" << xml(src.devicePath) << "</image_filename>\n  </source>\n";
    o << "  <volume offset=\"" << src.offset << "\">\n    <partition_offset>" << src.offset << "</partition_offset>\n";
    if (src.sectorSize > 0)
        o << "    <sector_size>" << src.sectorSize << "</sector_size>\n";
    if (src.blockSize > 0)
        o << "    <block_size>" << src.blockSize << "</block_size>\n";
    if (!src.fs.empty())
        o << "    <ftype_str>" << xml(src.fs) << "</ftype_str>\n";
    for (const Line &l : d.lines) {
        const RecoveredFile &rf = *l.rf;
        const FoundFile &f = *rf.file;
        o << "    <fileobject>\n      <filename>" << xml(originalPath(f)) << "</filename>\n";
        if (!rf.note.empty() || !l.written)
            o << "      <error>" << xml(rf.note.empty() ? writeResultText(rf.result) : rf.note) << "</error>\n";
        if (src.partition >= 0)
            o << "      <partition>" << src.partition + 1 << "</partition>\n";
        o << "      <id>" << f.id << "</id>\n      <filesize>" << (f.listedSize ? f.listedSize : f.size)
          << "</filesize>\n";
        if (f.state == FileState::Deleted || f.state == FileState::Formatted)
            o << "      <alloc>0</alloc>\n";
        if (f.mtime >= 0)
            o << "      <mtime>" << isoTime(f.mtime) << "</mtime>\n";
        if (f.created >= 0)
            o << "      <crtime>" << isoTime(f.created) << "</crtime>\n";
        if (!l.runs.empty()) {
            // File offsets only where the runs hold every byte written.
            bool whole = total(l.runs) == rf.stats.bytes;
            o << "      <byte_runs>\n";
            for (const ByteRun &r : l.runs) {
                o << "        <byte_run";
                if (whole)
                    o << " file_offset=\"" << r.fileOffset << "\"";
                o << " img_offset=\"" << r.deviceOffset << "\"";
                if (r.deviceOffset >= src.offset)
                    o << " fs_offset=\"" << r.deviceOffset - src.offset << "\"";
                o << " len=\"" << r.length << "\"/>\n";
            }
            o << "      </byte_runs>\n";
        }
        if (l.written)
            o << "      <hashdigest type=\"sha256\">" << l.sha << "</hashdigest>\n";
        o << "      <salvitra:recovered path=\"" << xml(l.path) << "\" size=\""
          << (l.written ? rf.stats.bytes : 0) << "\" state=\"" << xml(fileStateText(f.state)) << "\" verdict=\""
          << fileVerdict(rf) << "\" result=\"" << xml(writeResultText(rf.result)) << "\" scan=\"" << xml(src.scan)
          << "\"/>\n";
        o << "    </fileobject>\n";
    }
    o << "  </volume>\n</dfxml>\n";
    return o.str();
}

Data dataOf(const ScanJob &job, const RecoverSummary &sum, const ReadLog &reads)
{
    return Data{sourceOf(job), lines(sum, reads)};
}

}  // namespace

std::string reportCsv(const ScanJob &job, const RecoverSummary &sum, const ReadLog &reads)
{
    return csvText(dataOf(job, sum, reads));
}

std::string reportDfxml(const ScanJob &job, const RecoverSummary &sum, const ReadLog &reads)
{
    return dfxmlText(dataOf(job, sum, reads));
}

ReportFiles writeRecoveryReport(const ScanJob &job, const RecoverSummary &sum, const ReadLog &reads, OutputDir &out,
                                const std::string &name)
{
    ReportFiles r;
    std::string base = name.empty() ? kDefaultName : name;
    for (const char *ext : {".csv", ".xml"})
        if (base.size() > 4 && base.compare(base.size() - 4, 4, ext) == 0)
            base.resize(base.size() - 4);
    Data d = dataOf(job, sum, reads);
    const std::string texts[2] = {csvText(d), dfxmlText(d)};
    std::string *paths[2] = {&r.csv, &r.xml};
    const char *exts[2] = {".csv", ".xml"};
    if (base.find('/') == std::string::npos) {
        // Beside the recovered files: a second report in the same folder
        // takes the next number, the pair keeps one.
        for (unsigned n = 0; n < 1000 && r.csv.empty() && r.error.empty(); n++) {
            std::string stem = n ? base + " (" + std::to_string(n) + ")" : base;
            OutputFile files[2];
            OutputError err;
            bool made = out.create(stem + exts[0], texts[0].size(), files[0], &err, false);
            if (made && !out.create(stem + exts[1], texts[1].size(), files[1], &err, false)) {
                out.finish(files[0], false, -1, false, nullptr);
                made = false;
            }
            if (!made) {
                if (err.errnum != EEXIST)
                    r.error = err.text;
                continue;
            }
            for (int i = 0; i < 2; i++) {
                OutputError werr;
                bool ok = writeAll(files[i], texts[i].data(), texts[i].size(), &werr);
                if (!ok && r.error.empty())
                    r.error = werr.text;
                out.finish(files[i], ok, -1, false, nullptr);
                if (ok)
                    *paths[i] = out.path() + "/" + files[i].relPath;
            }
        }
        return r;
    }
    for (int i = 0; i < 2; i++) {
        std::string path = base + exts[i];
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
        std::string why;
        if (fd < 0 || !writeText(fd, texts[i], &why) || close(fd) != 0) {
            if (fd >= 0)
                close(fd);
            if (r.error.empty())
                r.error = path + ": " + (why.empty() ? strerror(errno) : why);
            continue;
        }
        *paths[i] = path;
    }
    return r;
}

}  // namespace salvitra
