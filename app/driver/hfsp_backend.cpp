// HFS+ quick scan: the journal scan of libvarn, and the writer that streams
// a found file's data fork back through it.
#include "backends.h"
#include "text.h"

#if SALVITRA_HAVE_VARN

#include <cstring>

#include "hfsp_backend.h"
#include "hfsp_paths.h"
#include "varn.h"

namespace salvitra {

namespace {

// The list is built by the library and ends at its tail; the budget only
// guards against a damaged link.
constexpr size_t kMaxRecords = 1u << 26;

// Bytes of the data fork the record's extents cover.
uint64_t mappedBytes(const file_info *rec, uint32_t blockSize)
{
    const hfsp_extent *x = hfsp_data_extents(rec);
    uint64_t blocks = 0;
    for (int i = 0; x && i < 8; i++) {
        uint32_t n = __builtin_bswap32(x[i].blockCount);
        if (n == 0)
            break;
        blocks += n;
    }
    return blocks * blockSize;
}

class HfspBackend : public ScanBackend {
public:
    explicit HfspBackend(const ScanRequest &req) : req_(req) {}
    ~HfspBackend() override { release(); }

    Status check() override
    {
        if (!hfsp_init(req_.part))
            return {StatusCode::NotThisFileSystem, "the HFS+ volume header could not be read"};
        hfsp_exit();
        return {};
    }

    Status run(ScanJob &job) override
    {
        // The disk page's order: init with the partition, then the journal
        // scan (mode 1).
        active_ = true;
        if (!hfsp_init(req_.part))
            return {StatusCode::NotThisFileSystem, "the HFS+ volume header could not be read"};
        std::vector<FoundFile> out;
        file_info *head = hfsp_searchfile(1);
        uint32_t blockSize = (uint32_t)hfsp_get_blocksize();
        uint64_t volumeBytes = (uint64_t)req_.part->PartSize;

        std::vector<file_info *> records;
        HfsFolderPaths folders;
        size_t n = 0;
        for (file_info *r = head; r && n < kMaxRecords; r = r->Next, n++) {
            records.push_back(r);
            if (r->RecordType == HFSP_RECORD_FOLDER)
                folders.addFolder(r->FileID, r->ParentID, hfsNameToUtf8(r->Name, r->NameLen));
        }
        for (file_info *r : records) {
            if (r->RecordType != HFSP_RECORD_FILE)
                continue;
            FoundFile f;
            f.name = hfsNameToUtf8(r->Name, r->NameLen);
            f.folder = folders.path(r->ParentID);
            f.size = r->DataSize;
            // The journal's records keep the creation date only.
            f.created = hfsTimeToUnix(r->CreateDate);
            f.times = f.created >= 0 ? FileTimes::CreatedOnly : FileTimes::None;
            f.type = extensionOf(f.name);
            f.record = r;
            f.state = FileState::Deleted;
            uint64_t mapped = mappedBytes(r, blockSize);
            if (r->DataSize == 0) {
                if (r->HasRsrcFork) {
                    f.state = FileState::Unreadable;
                    f.note = "only a resource fork, which this scan does not read";
                }
            } else if (!r->HasDataFork || mapped == 0) {
                f.state = FileState::Unreadable;
                f.note = "no data blocks are recorded for this file";
            } else if (mapped < r->DataSize) {
                // Nothing says where the rest lies: the file ends where
                // its recorded blocks end.
                f.state = FileState::Damaged;
                f.size = mapped;
                f.listedSize = r->DataSize;
                f.note = volumeBytes && r->DataSize > volumeBytes
                             ? "the recorded size is larger than the volume; only the first " +
                                   std::to_string(mapped) + " bytes have recorded blocks"
                             : "only the first " + std::to_string(mapped) +
                                   " bytes have recorded blocks; the file ends there";
            }
            out.push_back(std::move(f));
        }
        job.deliverAll(std::move(out));
        return {};
    }

    WriteResult write(const FoundFile &file, const WriteDest &dest, WriteStats &stats,
                      const std::function<bool()> &gate) override
    {
        if (!file.readable())
            return WriteResult::Unreadable;
        return DelHfspRecovery(static_cast<file_info *>(file.record), dest, stats, gate);
    }

    void release() override
    {
        // The release of an HFS+ quick scan (FreeModBlock, scanned type 10).
        if (active_)
            hfsp_exit();
        active_ = false;
    }

    bool runs(const FoundFile &file, std::vector<DataRun> &out) override
    {
        return active_ && hfsp_file_runs(static_cast<const file_info *>(file.record), &collectRun, &out);
    }

    int allocation(uint64_t offset, uint64_t length) override { return active_ ? hfsp_in_use(offset, length) : 0; }

private:
    ScanRequest req_;
    bool active_ = false;
};

}  // namespace

// Streams the record's data fork into dest, one allocation
// block per read.
WriteResult DelHfspRecovery(file_info *record, const WriteDest &dest, WriteStats &stats,
                            const std::function<bool()> &gate)
{
    int blockSize = hfsp_get_blocksize();
    if (blockSize <= 0) {
        diagnostic("System Error: HfspRecovery, cluster_Size get size fail");
        return WriteResult::NoChunk;
    }
    if (!record) {
        diagnostic("fileHfspInfo is no----------");
        return WriteResult::NoRecord;
    }
    // Every file starts at its first byte, even when the same record was
    // streamed before and that stream was cut short.
    uint8_t none = 0;
    hfsxx_readwirtelogfile(record, &none, 0, 1);
    uint64_t size = record->DataSize;
    uint64_t mapped = mappedBytes(record, (uint32_t)blockSize);
    if (mapped < size)
        size = mapped;
    uint64_t delivered = 0;
    return writeChunks(dest, size, (uint32_t)blockSize,
                       [&](uint8_t *buf, uint32_t len, ReadGaps &) -> int64_t {
                           delivered += len;
                           int last = delivered >= size ? 1 : 0;
                           return hfsxx_readwirtelogfile(record, buf, len, last);
                       },
                       stats, gate);
}

std::unique_ptr<ScanBackend> makeHfspBackend(const ScanRequest &req)
{
    if (!req.part)
        return nullptr;
    return std::make_unique<HfspBackend>(req);
}

}  // namespace salvitra

#endif  // SALVITRA_HAVE_VARN
