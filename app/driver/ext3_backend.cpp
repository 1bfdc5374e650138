// ext3 and ext4 quick scan through libcosk.  Deleted files whose inode the
// journal still holds come back with their data, names and folders (files
// whose name is lost go to the "lost files" folder under their inode
// number); deleted entries found only by name are listed too, but their
// data cannot be read by this method.
#if SALVITRA_HAVE_COSK

#include <cctype>
#include <unordered_set>
#include <vector>

#include "backends.h"
#include "text.h"
#include "cosk.h"
#include "ext_backend.h"
#include "file_signature.h"

namespace salvitra {

namespace {

constexpr uint32_t kInodeMtime = 16;
// Deeper than any folder the walk records (it stops at 256 levels).
constexpr int kMaxFolderDepth = 1024;
// Bytes gathered into one write.
constexpr uint32_t kChunkBytes = 256 * 1024;

const char *kUnreadableNote =
    "deleted entry found by its name; its data cannot be read by this method";

const char *const kRefused = "the ext3/ext4 superblock or group descriptors could not be read";

class Ext3Backend : public ScanBackend {
public:
    explicit Ext3Backend(const ScanRequest &req) : req_(req) {}
    ~Ext3Backend() override { release(); }

    Status check() override
    {
        if (!ext3_init(req_.part))
            return {StatusCode::NotThisFileSystem, kRefused};
        ext3_exit();
        return {};
    }

    Status run(ScanJob &job) override
    {
        if (!ext3_init(req_.part))
            return {StatusCode::NotThisFileSystem, kRefused};
        open_ = true;
        std::vector<FoundFile> out;
        std::unordered_set<uint32_t> recovered;
        int64_t n = ext3_journal_searchfile();
        Ext3DirNode *head = n >= 0 ? ext3_get_head() : ext3_searchfile();
        for (uint32_t i = 0; n > 0 && i < (uint64_t)n; i++) {
            Ext3JournalFile *f = ext3_journal_get_file(i);
            if (!f)
                break;
            recovered.insert(f->InodeNumber);
            journalFiles_.insert(f);
            out.push_back(describe(f));
        }
        for (Ext3DirNode *node = head; node; node = ext3_get_next(node)) {
            std::string folder = ext3FolderPath(node);
            for (uint32_t i = 0;; i++) {
                Ext3FileNode *f = ext3_get_file(node, i);
                if (!f)
                    break;
                if (ext3_file_isdir(f) || recovered.count(ext3_get_inodenum(f)))
                    continue;
                FoundFile ff;
                ff.name = ext3_get_filename(f);
                ff.folder = folder;
                ff.size = (uint64_t)ext3_get_filesize(f);
                const uint8_t *m = f->Inode + kInodeMtime;
                uint32_t mtime = (uint32_t)m[0] | (uint32_t)m[1] << 8 | (uint32_t)m[2] << 16 |
                                 (uint32_t)m[3] << 24;
                ff.mtime = mtime ? (int64_t)mtime : -1;
                ff.times = ff.mtime >= 0 ? FileTimes::ModifiedOnly : FileTimes::None;
                ff.type = extensionOf(ff.name);
                ff.record = f;
                ff.state = FileState::Unreadable;
                ff.note = kUnreadableNote;
                out.push_back(std::move(ff));
            }
        }
        job.deliverAll(std::move(out));
        return {};
    }

    WriteResult write(const FoundFile &file, const WriteDest &dest, WriteStats &stats,
                      const std::function<bool()> &gate) override
    {
        auto *f = static_cast<Ext3JournalFile *>(file.record);
        if (!f || !journalFiles_.count(f))
            return file.record ? WriteResult::Unreadable : WriteResult::NoRecord;
        return DelExt3Recovery(f, dest, stats, gate);
    }

    void release() override
    {
        if (open_)
            ext3_exit();
        open_ = false;
        journalFiles_.clear();
    }

    bool runs(const FoundFile &file, std::vector<DataRun> &out) override
    {
        auto *f = static_cast<Ext3JournalFile *>(file.record);
        return open_ && f && journalFiles_.count(f) && ext3_file_runs(f, &collectRun, &out);
    }

    int allocation(uint64_t offset, uint64_t length) override { return open_ ? ext3_in_use(offset, length) : 0; }

private:
    FoundFile describe(Ext3JournalFile *f)
    {
        FoundFile ff;
        ff.size = f->Size;
        ff.mtime = f->Mtime;
        ff.created = f->Crtime;
        ff.times = ff.created >= 0 ? (ff.mtime >= 0 ? FileTimes::Both : FileTimes::CreatedOnly)
                                   : (ff.mtime >= 0 ? FileTimes::ModifiedOnly : FileTimes::None);
        ff.record = f;
        // A file without a name, or whose name has no extension, is typed
        // by its first bytes.
        const char *ext = nullptr;
        bool typed = f->Name[0] != '\0' && !extensionOf(f->Name).empty();
        if (!typed && (f->Mode & 0xF000) == 0x8000 && f->Size > 0) {
            std::vector<uint8_t> head(4096);
            int64_t got = ext3_journal_readfile(f, 0, head.data(), (uint32_t)head.size(), nullptr);
            if (got > 0)
                ext = guessExtension(head.data(), (size_t)got);
        }
        ext3JournalPlace(f->InodeNumber, f->Name, f->Folder, ext, &ff.folder, &ff.name);
        ff.type = extensionOf(ff.name);
        if (ff.type.empty() && ext)
            ff.type = ext;
        ff.note = ext3JournalNote(f->Size, f->ReusedBlocks, f->MissingBlocks);
        // Nothing to read when every data block is gone.
        bool gone = f->Size > 0 && f->ReusedBlocks + f->MissingBlocks >= blockCount(f->Size);
        ff.state = gone ? FileState::Unreadable
                        : f->State == EXT3_JFILE_DAMAGED ? FileState::Damaged : FileState::Deleted;
        return ff;
    }

    static uint64_t blockCount(uint64_t size)
    {
        const uint64_t bs = ext3_get_blocksize();
        return bs > 0 ? (size + bs - 1) / bs : 0;
    }

    ScanRequest req_;
    bool open_ = false;
    std::unordered_set<void *> journalFiles_;
};

}  // namespace

std::string ext3FolderPath(const Ext3DirNode *node)
{
    std::vector<const char *> names;
    for (int hops = 0; node && !node->IsRoot && hops < kMaxFolderDepth; hops++) {
        names.push_back(node->Name);
        node = node->Parent;
    }
    std::string path;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        if (!path.empty())
            path += '/';
        path += *it;
    }
    return path;
}

void ext3JournalPlace(uint32_t inode, const char *name, const char *folder, const char *ext,
                      std::string *outFolder, std::string *outName)
{
    bool named = name && *name;
    if (named && folder) {
        *outFolder = folder;
        *outName = name;
        return;
    }
    *outFolder = kLostFilesFolder;
    *outName = named ? std::string(name) : std::to_string(inode) + (ext && *ext ? std::string(".") + ext : "");
}

std::string ext3JournalNote(uint64_t size, uint64_t reused, uint64_t missing)
{
    (void)size;
    std::string note;
    if (reused > 0)
        note = std::to_string(reused) +
               " blocks now belong to another file; they are written as zeros";
    if (missing > 0) {
        if (!note.empty())
            note += "; ";
        note += std::to_string(missing) + " blocks could not be located; they are written as zeros";
    }
    return note;
}

WriteResult DelExt3Recovery(Ext3JournalFile *file, const WriteDest &dest, WriteStats &stats,
                            const std::function<bool()> &gate)
{
    if (!file)
        return WriteResult::NoRecord;
    const uint32_t bs = ext3_get_blocksize();
    std::vector<uint8_t> one(bs ? bs : 1);
    uint64_t offset = 0;
    return writeChunks(dest, file->Size, kChunkBytes,
                       [&](uint8_t *buf, uint32_t len, ReadGaps &gaps) -> int64_t {
                           uint32_t bad = 0;
                           const uint64_t at = offset;
                           int64_t got = ext3_journal_readfile(file, at, buf, len, &bad);
                           offset += len;
                           if (bad && got > 0)
                               // The blocks that failed are among those of zeros.
                               markZeroUnits(buf, (uint32_t)got, bs, gaps, [&](uint32_t off, uint32_t n) {
                                   uint32_t b = 0;
                                   return ext3_journal_readfile(file, at + off, one.data(), n, &b) == (int64_t)n &&
                                          b == 0;
                               });
                           return got;
                       },
                       stats, gate);
}

std::unique_ptr<ScanBackend> makeExt3Backend(const ScanRequest &req)
{
    return std::make_unique<Ext3Backend>(req);
}

}  // namespace salvitra

#endif  // SALVITRA_HAVE_COSK
