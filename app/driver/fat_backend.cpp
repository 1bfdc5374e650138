// FAT quick scan and formatted-volume search through libpolder.
#if SALVITRA_HAVE_POLDER

#include "fat_backend.h"

#include <cstring>
#include <ctime>

#include "backends.h"
#include "text.h"

namespace salvitra {

namespace {

// Walks at most this many steps: far more than any real result holds, and
// a guard should a damaged result ever link back on itself.
constexpr uint64_t kWalkBudget = 1ull << 32;

std::string folderOf(const std::vector<tagStFatInfo *> &dirs, const std::string &prefix)
{
    std::string folder = prefix;
    for (tagStFatInfo *d : dirs) {
        if (!folder.empty())
            folder += '/';
        folder += fatNameToUtf8(d->szName);
    }
    return folder;
}

}  // namespace

std::string fatNameToUtf8(const uint32_t *name)
{
    std::string out;
    if (!name)
        return out;
    for (size_t i = 0; name[i]; i++) {
        uint32_t c = name[i];
        if (i == 0 && c == 0xE5) {
            out += '_';
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (name[i + 1] - 0xDC00);
            i++;
        } else if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            c = 0xFFFD;
        }
        appendUtf8(out, c);
    }
    return out;
}

int64_t fatRecordTime(const tagStFatInfo *rec)
{
    if (!rec || rec->wMonth < 1 || rec->wMonth > 12 || rec->wDay < 1 || rec->wDay > 31 || rec->wHour > 23 ||
        rec->wMinute > 59 || rec->wSecond > 29)
        return -1;
    // FAT keeps local wall-clock time: mktime gives back the same wall time.
    struct tm t = {};
    t.tm_year = rec->wYear + 80;
    t.tm_mon = rec->wMonth - 1;
    t.tm_mday = rec->wDay;
    t.tm_hour = rec->wHour;
    t.tm_min = rec->wMinute;
    t.tm_sec = rec->wSecond * 2;
    t.tm_isdst = -1;
    time_t v = mktime(&t);
    return v == (time_t)-1 ? -1 : (int64_t)v;
}

size_t CreateQuickFatTree(tagStLinkNode *root,
                          const std::function<void(tagStFatInfo *, const std::vector<tagStFatInfo *> &)> &onFile)
{
    if (!root || !root->ppEntries)
        return 0;
    size_t files = 0;
    std::vector<tagStFatInfo *> path;
    tagStLinkNode *node = root;
    tagStLinkNode *last = root;  // last node visited in creation order
    uint32_t idx = 0;
    for (uint64_t steps = 0; steps < kWalkBudget; steps++) {
        tagStFatInfo *e = node->ppEntries ? node->ppEntries[idx] : nullptr;
        if (!e) {
            if (node->bRoot || path.empty())
                break;
            tagStLinkNode *parent = node->pParent;
            if (!parent)
                break;
            node = parent;
            idx = node->nCursor + 1;
            path.pop_back();
            continue;
        }
        if (e->bDirectory) {
            node->nCursor = idx;
            tagStLinkNode *next = last->pNext;
            if (!next || next->bRoot)
                break;
            next->pParent = node;
            last = next;
            node = next;
            idx = 0;
            path.push_back(e);
            continue;
        }
        if (onFile)
            onFile(e, path);
        files++;
        idx++;
    }
    return files;
}

size_t walkFmtFatTree(tagStFmtDirNode *root,
                      const std::function<void(tagStFatInfo *, const std::vector<tagStFatInfo *> &)> &onFile)
{
    if (!root || !root->ppEntries)
        return 0;
    // Directory records and nodes meet in the same pre-order as in the
    // quick scan; the positions are kept here instead of in the nodes.
    size_t files = 0;
    std::vector<tagStFatInfo *> path;
    std::vector<std::pair<tagStFmtDirNode *, uint32_t>> stack{{root, 0}};
    tagStFmtDirNode *last = root;
    for (uint64_t steps = 0; steps < kWalkBudget && !stack.empty(); steps++) {
        auto &[node, idx] = stack.back();
        tagStFatInfo *e = node->ppEntries ? node->ppEntries[idx] : nullptr;
        if (!e) {
            stack.pop_back();
            if (!path.empty())
                path.pop_back();
            continue;
        }
        idx++;
        if (e->bDirectory) {
            tagStFmtDirNode *next = last->pNext;
            if (!next)
                break;
            last = next;
            path.push_back(e);
            stack.push_back({next, 0});
            continue;
        }
        if (onFile)
            onFile(e, path);
        files++;
    }
    return files;
}

uint64_t fatReadableSize(const tagStFatInfo *rec, uint32_t clusterSize)
{
    if (!rec)
        return 0;
    if (!(rec->bPlan & FAT_PLAN_SHORT) || !clusterSize || rec->nReserved == UINT32_MAX)
        return rec->nFileSize;
    uint64_t free = (uint64_t)rec->nReserved * clusterSize;
    return free < rec->nFileSize ? free : rec->nFileSize;
}

FoundFile fatFoundFile(tagStFatInfo *rec, const std::vector<tagStFatInfo *> &dirs, uint32_t clusterSize)
{
    FoundFile f;
    // The first byte of a deleted 8.3 name is lost; it is shown as "_".
    if (rec->szName[0] == 0xE5)
        rec->szName[0] = '_';
    f.name = fatNameToUtf8(rec->szName);
    f.folder = folderOf(dirs, "");
    f.size = rec->nFileSize;
    f.mtime = fatRecordTime(rec);
    f.times = f.mtime >= 0 ? FileTimes::ModifiedOnly : FileTimes::None;
    f.type = extensionOf(f.name);
    f.record = rec;
    f.state = FileState::Deleted;
    if (rec->bPlan & FAT_PLAN_UNPLACED) {
        f.state = FileState::Unreadable;
        f.note = "damaged: the entry lost the upper part of its first cluster number and no place on the "
                 "volume fits the file";
    } else if (rec->nStartCluster < 2) {
        f.state = FileState::Unreadable;
        f.note = "no data location recorded";
    } else if (rec->bPlan & FAT_PLAN_REUSED) {
        f.state = FileState::Unreadable;
        f.note = "damaged: its first cluster now belongs to another file, the data is overwritten";
    } else {
        std::string note;
        if (rec->bPlan & FAT_PLAN_UNVERIFIED) {
            f.state = FileState::Unverified;
            note = "unverified: the entry may have lost the upper part of its first cluster number (as Windows "
                   "leaves deleted entries) and no place on the volume shows the start of a " +
                   (f.type.empty() ? std::string("file of its kind") : f.type + " file") +
                   "; it is read where the entry points (cluster " + std::to_string(rec->nStartCluster) +
                   "), which may hold other data";
        }
        if (rec->bPlan & FAT_PLAN_REBUILT)
            note = "the entry lost the upper part of its first cluster number (deleted by Windows); cluster " +
                   std::to_string(rec->nStartCluster) + " was chosen as the only place that fits the file";
        if (rec->bPlan & FAT_PLAN_SKIPPED) {
            if (!note.empty())
                note += "; ";
            note += std::to_string(rec->nSkipped) +
                    " clusters in use by other files lie inside it and were skipped (fragmented): right if the "
                    "file was written around them, damaged at the end if they were reused after the deletion";
        }
        uint64_t readable = fatReadableSize(rec, clusterSize);
        if (readable < rec->nFileSize) {
            // The entry claims more than the free space after its first
            // cluster holds (before another deleted file's data starts):
            // its data ends there.
            f.state = FileState::Damaged;
            f.size = readable;
            f.listedSize = rec->nFileSize;
            if (!note.empty())
                note += "; ";
            note += "damaged: its entry says " + std::to_string(rec->nFileSize) + " bytes, but only the first " +
                    std::to_string(readable) +
                    " bytes lie in free space before the end of the volume or another file's data";
        }
        f.note = note;
    }
    return f;
}

namespace {

// Chunks are whole clusters, several at a time, which keeps the copy near
// the device's streaming rate.
constexpr uint32_t kChunkTarget = 1u << 20;

uint32_t chunkFor(uint32_t blockSize)
{
    if (blockSize == 0 || blockSize >= kChunkTarget)
        return blockSize;
    return kChunkTarget / blockSize * blockSize;
}

using ReadFn = bool (*)(tagStFatInfo *, void *, unsigned long, int64_t *);

// The shared chunk loop over a contiguous read.  A chunk that cannot be
// read whole is read again one block at a time, so that exactly the blocks
// that fail are marked (the reader leaves zeros there).  `size` is what
// the file's data can be (never more than its record says).
WriteResult copyContiguous(ReadFn readFile, tagStFatInfo *rec, uint64_t size, uint32_t block,
                           const WriteDest &dest, WriteStats &stats, const std::function<bool()> &gate)
{
    int64_t pos = 0;
    auto read = [&](uint8_t *buf, uint32_t len, ReadGaps &gaps) -> int64_t {
        int64_t start = pos;
        if (readFile(rec, buf, len, &pos))
            return len;
        if (len <= block)
            return -1;
        pos = start;
        for (uint32_t off = 0; off < len; off += block) {
            uint32_t n = len - off < block ? len - off : block;
            if (!readFile(rec, buf + off, n, &pos))
                gaps.unreadable(off, n);
        }
        return len;
    };
    return writeChunks(dest, size, chunkFor(block), read, stats, gate);
}

}  // namespace

WriteResult DelFatRecovery(Partiton_Struct *part, tagStFatInfo *rec, const WriteDest &dest, WriteStats &stats,
                           const std::function<bool()> &gate)
{
    uint32_t block = get_blocksize(part);
    if (block == 0) {
        diagnostic("System Error: fatRecovery, cluster_Size get size fail");
        return WriteResult::NoChunk;
    }
    if (!rec) {
        diagnostic("stPFatInFo is no----------");
        return WriteResult::NoRecord;
    }
    return copyContiguous(fat_readfile, rec, fatReadableSize(rec, block), block, dest, stats, gate);
}

WriteResult FmtFatRecovery(Partiton_Struct *part, tagStFatInfo *rec, const WriteDest &dest,
                           WriteStats &stats, const std::function<bool()> &gate)
{
    if (!rec)
        return WriteResult::NoRecord;
    // Positions count 512-byte sectors here, so any whole number of
    // sectors does as a block.
    uint32_t block = get_blocksize(part);
    if (block == 0 || block % 512)
        block = 4096;
    return copyContiguous(fat_fmtRec_readfile, rec, rec->nFileSize, block, dest, stats, gate);
}

namespace {

class FatBackend : public ScanBackend {
public:
    explicit FatBackend(Partiton_Struct *part) : part_(part) {}
    ~FatBackend() override { release(); }

    Status check() override
    {
        if (!fat_init(part_))
            return {StatusCode::NotThisFileSystem, "the FAT boot sector or table could not be read"};
        fat_exit();
        return {};
    }

    Status run(ScanJob &job) override
    {
        // The order of the disk page's quick scan: init, then the search.
        int files = 0, dirs = 0;
        if (!fat_init(part_))
            return {StatusCode::NotThisFileSystem, "the FAT boot sector or table could not be read"};
        inited_ = true;
        tagStLinkNode *root = fat_searchfile(true, &files, &dirs);
        if (!root)
            return {};
        std::vector<FoundFile> out;
        uint32_t cluster = get_blocksize(part_);
        CreateQuickFatTree(root, [&](tagStFatInfo *rec, const std::vector<tagStFatInfo *> &path) {
            if (!rec || rec->bDirectory || rec->nFileSize == 0)
                return;
            out.push_back(fatFoundFile(rec, path, cluster));
        });
        job.deliverAll(std::move(out));
        return {};
    }

    WriteResult write(const FoundFile &file, const WriteDest &dest, WriteStats &stats,
                      const std::function<bool()> &gate) override
    {
        if (!inited_)
            return WriteResult::NoRecord;
        return DelFatRecovery(part_, static_cast<tagStFatInfo *>(file.record), dest, stats, gate);
    }

    void release() override
    {
        if (inited_)
            fat_exit();
        inited_ = false;
    }

    bool runs(const FoundFile &file, std::vector<DataRun> &out) override
    {
        return inited_ && fat_file_runs(static_cast<const tagStFatInfo *>(file.record), &collectRun, &out);
    }

    int allocation(uint64_t offset, uint64_t length) override { return inited_ ? fat_in_use(offset, length) : 0; }

private:
    Partiton_Struct *part_;
    bool inited_ = false;
};

class FatFormattedBackend : public ScanBackend {
public:
    explicit FatFormattedBackend(Partiton_Struct *part) : part_(part) {}
    ~FatFormattedBackend() override { release(); }

    bool beginFed() override
    {
        fed_ = fat_fmtRec_init(part_);
        inited_ = fed_;
        return fed_;
    }

    void feed(uint64_t offset, const uint8_t *data, uint32_t length) override
    {
        if (fed_)
            fat_fmtRec_feed(offset, data, length);
    }

    bool runs(const FoundFile &file, std::vector<DataRun> &out) override
    {
        return inited_ && fat_fmtRec_file_runs(static_cast<const tagStFatInfo *>(file.record), &collectRun, &out);
    }

    Status run(ScanJob &job) override
    {
        if (!fed_ && !fat_fmtRec_init(part_))
            return {StatusCode::UnreadableMedium, "the partition could not be read"};
        inited_ = true;
        tagStFmtDirNode **roots = fed_ ? fat_fmtRec_rebuild() : fat_fmtRec_search(0);
        if (!roots)
            return {};
        std::vector<FoundFile> out;
        for (size_t r = 0; roots[r]; r++) {
            tagStFmtDirNode *root = roots[r];
            char name[sizeof root->szName + 1] = {};
            memcpy(name, root->szName, sizeof root->szName);
            std::string top = name;
            walkFmtFatTree(root, [&](tagStFatInfo *rec, const std::vector<tagStFatInfo *> &path) {
                if (!rec || rec->bDirectory || rec->nFileSize == 0)
                    return;
                if (rec->szName[0] == 0xE5)
                    rec->szName[0] = '_';
                FoundFile f;
                f.name = fatNameToUtf8(rec->szName);
                f.folder = folderOf(path, top);
                f.size = rec->nFileSize;
                f.mtime = fatRecordTime(rec);
                f.times = f.mtime >= 0 ? FileTimes::ModifiedOnly : FileTimes::None;
                f.type = extensionOf(f.name);
                f.record = rec;
                f.state = FileState::Formatted;
                if (rec->nStartCluster < 2) {
                    f.state = FileState::Unreadable;
                    f.note = "no data location recorded";
                } else if (rec->bPlan & FAT_PLAN_SKIPPED) {
                    f.note = std::to_string(rec->nSkipped) +
                             " of its clusters are used by the present volume and were skipped: right if the file "
                             "was written around them, damaged at the end if they now hold newer files";
                }
                out.push_back(std::move(f));
            });
        }
        job.deliverAll(std::move(out));
        return {};
    }

    WriteResult write(const FoundFile &file, const WriteDest &dest, WriteStats &stats,
                      const std::function<bool()> &gate) override
    {
        if (!inited_)
            return WriteResult::NoRecord;
        return FmtFatRecovery(part_, static_cast<tagStFatInfo *>(file.record), dest, stats, gate);
    }

    void release() override
    {
        if (inited_)
            fat_fmtRec_exit();
        inited_ = false;
        fed_ = false;
    }

private:
    Partiton_Struct *part_;
    bool inited_ = false;
    bool fed_ = false;
};

}  // namespace

std::unique_ptr<ScanBackend> makeFatBackend(const ScanRequest &req)
{
    if (!req.part || req.part->FsType < FS_FAT12 || req.part->FsType > FS_FAT32)
        return nullptr;
    return std::make_unique<FatBackend>(req.part);
}

std::unique_ptr<ScanBackend> makeFatFormattedBackend(const ScanRequest &req)
{
    if (!req.part)
        return nullptr;
    return std::make_unique<FatFormattedBackend>(req.part);
}

}  // namespace salvitra

#endif  // SALVITRA_HAVE_POLDER
