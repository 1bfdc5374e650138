// exFAT quick scan through libhollin: deleted files with their names,
// folders and times.
#if SALVITRA_HAVE_HOLLIN

#include "exfat_backend.h"

#include <ctime>

#include "backends.h"
#include "text.h"

namespace salvitra {

namespace {

// Folder nesting followed when building a path; the library walks no deeper.
constexpr int kMaxFolderDepth = 256;
// Whole clusters, about 1 MiB at a time.
constexpr uint32_t kChunkTarget = 1u << 20;

std::string folderOf(const tagExfatFile *rec)
{
    std::vector<const tagExfatFile *> chain;
    for (const tagExfatFile *p = exfat_get_parent(rec); p && (int)chain.size() < kMaxFolderDepth;
         p = exfat_get_parent(p))
        chain.push_back(p);
    std::string folder;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!folder.empty())
            folder += '/';
        folder += exfatName(*it);
    }
    return folder;
}

std::string dataNote(const tagExfatFile *rec)
{
    std::string note;
    switch (rec->bDataState) {
    case EXFAT_DATA_GUESSED:
        note = "its cluster chain is gone: taken as the free clusters from its first one on";
        if (rec->nSkipped)
            note += ", stepping over " + std::to_string(rec->nSkipped) + " in use";
        note += "; the data may not be right";
        break;
    case EXFAT_DATA_DAMAGED:
        note = std::to_string(rec->nMissing) + " of " + std::to_string(rec->nClusters) +
               " clusters now belong to other files or lie outside the volume; they are written as zeros";
        break;
    case EXFAT_DATA_OVERWRITTEN:
        note = "its clusters now belong to other files: the data is overwritten";
        break;
    case EXFAT_DATA_INVALID:
        note = "no valid data location recorded";
        break;
    case EXFAT_DATA_UNCHECKED:
        note = "not checked during the scan (too much deleted data); read as found";
        break;
    default:
        break;
    }
    if (rec->bDataState == EXFAT_DATA_GUESSED && rec->nMissing)
        note += "; its last " + std::to_string(rec->nMissing) +
                " clusters could not be placed (the free space ends before them): the file ends there";
    auto add = [&](const std::string &s) { note += (note.empty() ? "" : "; ") + s; };
    if (rec->nSize < rec->nDataLength)
        add("its recorded size (" + std::to_string(rec->nDataLength) + " bytes) is larger than the volume");
    if (rec->nValidDataLength < rec->nSize)
        add("only the first " + std::to_string(rec->nValidDataLength) +
            " bytes were ever written; the rest is zeros");
    return note;
}

class ExfatBackend : public ScanBackend {
public:
    explicit ExfatBackend(const ScanRequest &req) : req_(req) {}
    ~ExfatBackend() override { release(); }

    Status check() override
    {
        if (!exfat_init(req_.part))
            return {StatusCode::NotThisFileSystem, "no readable exFAT boot region"};
        exfat_exit();
        return {};
    }

    Status run(ScanJob &job) override
    {
        if (!exfat_init(req_.part))
            return {StatusCode::NotThisFileSystem, "no readable exFAT boot region"};
        open_ = true;
        int files = 0, dirs = 0;
        std::vector<FoundFile> out;
        for (tagExfatFile *r = exfat_searchfile(&files, &dirs); r; r = exfat_get_next(r))
            if (r->bDeleted && !r->bDirectory)
                out.push_back(exfatFoundFile(r));
        job.deliverAll(std::move(out));
        return {};
    }

    WriteResult write(const FoundFile &file, const WriteDest &dest, WriteStats &stats,
                      const std::function<bool()> &gate) override
    {
        if (!file.readable())
            return WriteResult::Unreadable;
        return DelExfatRecovery(static_cast<tagExfatFile *>(file.record), dest, stats, gate);
    }

    void release() override
    {
        if (open_)
            exfat_exit();
        open_ = false;
    }

    bool runs(const FoundFile &file, std::vector<DataRun> &out) override
    {
        return open_ && exfat_file_runs(static_cast<const tagExfatFile *>(file.record), &collectRun, &out);
    }

    int allocation(uint64_t offset, uint64_t length) override { return open_ ? exfat_in_use(offset, length) : 0; }

private:
    ScanRequest req_;
    bool open_ = false;
};

}  // namespace

std::string exfatName(const tagExfatFile *rec)
{
    if (!rec)
        return "";
    uint8_t le[512];
    const size_t n = rec->nNameLength;
    for (size_t i = 0; i < n; i++) {
        le[2 * i] = (uint8_t)(rec->szName[i] & 0xFF);
        le[2 * i + 1] = (uint8_t)(rec->szName[i] >> 8);
    }
    std::string name = utf16leToUtf8(le, n);
    for (char &c : name)
        if (c == '/')
            c = '_';
    return name;
}

int64_t exfatTime(const tagExfatTime &t)
{
    if (!t.bValid)
        return -1;
    if (t.bUtc)
        return t.tUnix;
    // Wall-clock time of an unknown zone: read as local time, as FAT times are.
    time_t wall = (time_t)t.tUnix;
    struct tm tmv;
    if (!gmtime_r(&wall, &tmv))
        return -1;
    tmv.tm_isdst = -1;
    time_t v = mktime(&tmv);
    return v == (time_t)-1 ? -1 : (int64_t)v;
}

uint64_t exfatReadableSize(const tagExfatFile *rec, uint32_t clusterSize)
{
    if (!rec)
        return 0;
    // Free clusters from the first one on ran out before the size: the
    // clusters that could not be placed are the last ones.
    if (rec->bDataState == EXFAT_DATA_GUESSED && rec->nMissing && clusterSize) {
        uint32_t placed = rec->nMissing < rec->nClusters ? rec->nClusters - rec->nMissing : 0;
        uint64_t bytes = (uint64_t)placed * clusterSize;
        return bytes < rec->nSize ? bytes : rec->nSize;
    }
    return rec->nSize;
}

FoundFile exfatFoundFile(tagExfatFile *rec)
{
    FoundFile f;
    f.name = exfatName(rec);
    f.folder = folderOf(rec);
    f.size = rec->nSize;
    f.mtime = exfatTime(rec->stModify);
    f.created = exfatTime(rec->stCreate);
    f.times = f.mtime >= 0 && f.created >= 0 ? FileTimes::Both
              : f.mtime >= 0                 ? FileTimes::ModifiedOnly
              : f.created >= 0               ? FileTimes::CreatedOnly
                                             : FileTimes::None;
    f.type = extensionOf(f.name);
    f.record = rec;
    switch (rec->bDataState) {
    case EXFAT_DATA_DAMAGED:
        f.state = FileState::Damaged;
        break;
    case EXFAT_DATA_OVERWRITTEN:
    case EXFAT_DATA_INVALID:
        f.state = rec->nSize ? FileState::Unreadable : FileState::Deleted;
        break;
    default:
        f.state = FileState::Deleted;
        break;
    }
    if (f.state == FileState::Deleted && rec->nValidDataLength < rec->nSize)
        f.state = FileState::Damaged;
    // A size the volume cannot hold, or free space that ends before the
    // file does: its data ends where what can be read ends.
    uint64_t readable = exfatReadableSize(rec, exfat_get_blocksize());
    if (f.state != FileState::Unreadable && (readable < rec->nSize || rec->nSize < rec->nDataLength)) {
        f.state = FileState::Damaged;
        f.size = readable;
        f.listedSize = rec->nDataLength;
    }
    f.note = dataNote(rec);
    return f;
}

WriteResult DelExfatRecovery(tagExfatFile *rec, const WriteDest &dest, WriteStats &stats,
                             const std::function<bool()> &gate)
{
    if (!rec)
        return WriteResult::NoRecord;
    const uint32_t cs = exfat_get_blocksize();
    if (cs == 0)
        return WriteResult::NoChunk;
    if (rec->nSize && (rec->bDataState == EXFAT_DATA_OVERWRITTEN || rec->bDataState == EXFAT_DATA_INVALID))
        return WriteResult::Unreadable;
    const uint32_t chunk = cs >= kChunkTarget ? cs : kChunkTarget / cs * cs;
    uint64_t pos = 0;
    std::vector<uint8_t> one(cs);
    return writeChunks(dest, exfatReadableSize(rec, cs), chunk,
                       [&](uint8_t *buf, uint32_t len, ReadGaps &gaps) -> int64_t {
                           uint32_t bad = 0;
                           const uint64_t at = pos;
                           int64_t got = exfat_readfile(rec, at, buf, len, &bad);
                           pos += len;
                           if (got < 0)
                               return -1;
                           if (bad)
                               // The clusters that failed are among those of zeros.
                               markZeroUnits(buf, len, cs, gaps, [&](uint32_t off, uint32_t n) {
                                   uint32_t b = 0;
                                   return exfat_readfile(rec, at + off, one.data(), n, &b) == (int64_t)n && b == 0;
                               });
                           return len;
                       },
                       stats, gate);
}

std::unique_ptr<ScanBackend> makeExfatBackend(const ScanRequest &req)
{
    return std::make_unique<ExfatBackend>(req);
}

}  // namespace salvitra

#endif  // SALVITRA_HAVE_HOLLIN
