// ext2 quick scan: deleted inodes found by libbriel, shown as
// Group(g)/LostFile(n) with an extension guessed from their data.
#if SALVITRA_HAVE_BRIEL

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "backends.h"
#include "briel.h"
#include "ext_backend.h"
#include "file_signature.h"

namespace salvitra {

namespace {

constexpr uint32_t kInodeMode = 0;
constexpr uint32_t kInodeMtime = 16;
constexpr uint32_t kInodeSectors = 28;  // i_blocks: 512-byte units the inode holds
constexpr uint32_t kInodeBlock = 40;
constexpr uint64_t kFastSymlinkMax = 60;
// Blocks gathered into one write: large writes keep recovery near the speed
// of a plain copy, while every block is still read on its own.
constexpr uint32_t kChunkBytes = 256 * 1024;

uint32_t le32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

bool isSymlink(const Ext2FileNode *f)
{
    if (!f->Inode)
        return false;
    uint16_t mode = (uint16_t)(f->Inode[kInodeMode] | f->Inode[kInodeMode + 1] << 8);
    return (mode & 0xF000) == 0xA000;
}

// A link whose target the scanner found in the inode itself: no block list.
bool isFastSymlink(const Ext2FileNode *f)
{
    return isSymlink(f) && !f->BlockList && f->Size <= kFastSymlinkMax;
}

uint64_t blockCount(uint64_t size, uint32_t bs)
{
    return bs ? size / bs + (size % bs != 0) : 0;
}

const char *const kRefused = "the ext2 superblock or group descriptors could not be read";

class Ext2Backend : public ScanBackend {
public:
    explicit Ext2Backend(const ScanRequest &req) : req_(req) {}
    ~Ext2Backend() override { release(); }

    Status check() override
    {
        if (!ext2_init(req_.part))
            return {StatusCode::NotThisFileSystem, kRefused};
        ext2_exit();
        return {};
    }

    Status run(ScanJob &job) override
    {
        if (!ext2_init(req_.part))
            return {StatusCode::NotThisFileSystem, kRefused};
        open_ = true;
        std::vector<FoundFile> out;
        Ext2DirNode *head = ext2_searchfile();
        const uint32_t bs = ext2_get_blocksize();
        std::vector<uint8_t> first(bs ? bs : 1);
        for (Ext2DirNode *node = head; node; node = ext2_get_next(node)) {
            const char *group = ext2_get_filename(node, EXT2_NAME_OF_DIR);
            for (uint32_t i = 0;; i++) {
                Ext2FileNode *f = ext2_get_file(node, i);
                if (!f)
                    break;
                out.push_back(describe(f, group ? group : "", bs, first));
            }
        }
        job.deliverAll(std::move(out));
        return {};
    }

    WriteResult write(const FoundFile &file, const WriteDest &dest, WriteStats &stats,
                      const std::function<bool()> &gate) override
    {
        return DelExt2Recovery(static_cast<Ext2FileNode *>(file.record), dest, stats, gate);
    }

    void release() override
    {
        if (open_)
            ext2_exit();
        open_ = false;
    }

    bool runs(const FoundFile &file, std::vector<DataRun> &out) override
    {
        // The block list DelExt2Recovery reads: a block number per block,
        // 0 for one that was not located.
        auto *f = static_cast<Ext2FileNode *>(file.record);
        const uint32_t bs = ext2_get_blocksize();
        const uint32_t *list = f ? ext2_get_fileblocklist(f) : nullptr;
        if (!open_ || !f || !bs || (!list && f->Size))
            return false;
        uint64_t left = f->Size;
        for (uint64_t i = 0; left > 0; i++) {
            uint64_t n = left < bs ? left : bs;
            uint64_t at = list[i] ? (uint64_t)list[i] * bs : kRunLost;
            if (!out.empty() && out.back().offset != kRunLost && at != kRunLost &&
                out.back().offset + out.back().length == at)
                out.back().length += n;
            else if (!out.empty() && out.back().offset == kRunLost && at == kRunLost)
                out.back().length += n;
            else
                out.push_back({at, n});
            left -= n;
        }
        return true;
    }

    int allocation(uint64_t offset, uint64_t length) override { return open_ ? ext2_in_use(offset, length) : 0; }

private:
    FoundFile describe(Ext2FileNode *f, const char *group, uint32_t bs, std::vector<uint8_t> &first)
    {
        FoundFile ff;
        ff.folder = group;
        ff.size = f->Size;
        ff.record = f;
        if (f->Inode) {
            uint32_t mtime = le32(f->Inode + kInodeMtime);
            ff.mtime = mtime ? (int64_t)mtime : -1;
            ff.times = ff.mtime >= 0 ? FileTimes::ModifiedOnly : FileTimes::None;
        }
        const uint32_t *list = ext2_get_fileblocklist(f);
        uint64_t count = blockCount(f->Size, bs);
        uint64_t missing = list ? unlocatedBlocks(list, count) : count;
        bool fast = isFastSymlink(f);
        const char *ext = nullptr;
        if (list && count > 0 && list[0] != 0 && !isSymlink(f)) {
            uint64_t got = 0;
            uint64_t want = f->Size < bs ? f->Size : bs;
            if (ext2_readfile(f, want, &got, list[0], first.data()) && got > 0)
                ext = guessExtension(first.data(), (size_t)got);
        }
        ff.name = lostFileDisplayName(f->Name, ext);
        ff.type = ext ? ext : "";
        bool readable = fast || f->Size == 0 || (list && missing < count);
        bool holes = missing > 0 && list && f->Inode && holesOnly(list, count, bs, le32(f->Inode + kInodeSectors));
        ff.state = !readable                      ? FileState::Unreadable
                   : missing > 0 && !fast && !holes ? FileState::Damaged
                                                    : FileState::Deleted;
        ff.note = ext2Note(f->Size, count, missing, fast, list != nullptr, holes);
        return ff;
    }

    ScanRequest req_;
    bool open_ = false;
};

}  // namespace

std::string lostFileDisplayName(const std::string &name, const char *ext)
{
    if (!ext || !*ext)
        return name;
    return name + "." + ext;
}

uint64_t unlocatedBlocks(const uint32_t *list, uint64_t count)
{
    if (!list)
        return count;
    return (uint64_t)std::count(list, list + count, 0u);
}

bool holesOnly(const uint32_t *list, uint64_t count, uint32_t bs, uint64_t sectors)
{
    if (!list || bs < 1024)
        return false;
    const uint64_t p = bs / 4;  // pointers per block
    auto any = [&](uint64_t from, uint64_t n) {
        for (uint64_t i = from; i < count && i - from < n; i++)
            if (list[i])
                return true;
        return false;
    };
    uint64_t located = count - unlocatedBlocks(list, count);
    // The pointer blocks a file with these holes has: one for every range
    // of the map that holds a located block.
    uint64_t meta = 0;
    uint64_t idx = 12;
    if (idx < count) {
        meta += any(idx, p);
        idx += p;
    }
    if (idx < count) {
        bool used = false;
        for (uint64_t k = 0; k < p && idx + k * p < count; k++)
            if (any(idx + k * p, p)) {
                meta++;
                used = true;
            }
        meta += used;
        idx += p * p;
    }
    if (idx < count) {
        bool usedTop = false;
        for (uint64_t j = 0; j < p && idx + j * p * p < count; j++) {
            bool used = false;
            for (uint64_t k = 0; k < p && idx + j * p * p + k * p < count; k++)
                if (any(idx + j * p * p + k * p, p)) {
                    meta++;
                    used = true;
                }
            meta += used;
            usedTop |= used;
        }
        meta += usedTop;
    }
    return (located + meta) * (bs / 512) == sectors;
}

std::string ext2Note(uint64_t size, uint64_t count, uint64_t unlocated, bool fastSymlink, bool hasList,
                     bool holes)
{
    if (fastSymlink)
        return "symbolic link; the file holds its target";
    if (size == 0)
        return "no data left: the file system kept a size of 0";
    if (!hasList)
        return "its block list could not be built; the data cannot be read";
    if (unlocated >= count)
        return "none of its data blocks could be located";
    if (unlocated > 0 && holes)
        return std::to_string(unlocated) + " of " + std::to_string(count) +
               " blocks are holes of a sparse file; they are written as zeros";
    if (unlocated > 0)
        return "damaged: " + std::to_string(unlocated) + " of " + std::to_string(count) +
               " blocks could not be located (behind damaged pointers, or holes); they are written as zeros";
    return "";
}

WriteResult DelExt2Recovery(Ext2FileNode *file, const WriteDest &dest, WriteStats &stats,
                            const std::function<bool()> &gate)
{
    if (!file)
        return WriteResult::NoRecord;
    const uint32_t bs = ext2_get_blocksize();
    if (bs == 0)
        return WriteResult::NoChunk;
    const int64_t signedSize = ext2_get_filesize(file);
    if (signedSize < 0)
        return WriteResult::NoRecord;
    const uint64_t size = (uint64_t)signedSize;
    const uint32_t *list = ext2_get_fileblocklist(file);

    if (!list && isFastSymlink(file)) {
        // The target text lives in the inode's block pointers.
        const uint8_t *text = file->Inode + kInodeBlock;
        uint64_t done = 0;
        return writeChunks(dest, size, (uint32_t)kFastSymlinkMax,
                           [&](uint8_t *buf, uint32_t len, ReadGaps &) -> int64_t {
                               memcpy(buf, text + done, len);
                               done += len;
                               return len;
                           },
                           stats, gate);
    }
    if (!list && size > 0)
        return WriteResult::Unreadable;

    const uint64_t count = blockCount(size, bs);
    const uint32_t chunk = kChunkBytes >= bs ? kChunkBytes / bs * bs : bs;
    uint64_t next = 0;
    return writeChunks(dest, size, chunk,
                       [&](uint8_t *buf, uint32_t len, ReadGaps &gaps) -> int64_t {
                           // writeChunks cleared buf; a hole stays zero.
                           for (uint32_t off = 0; off < len && next < count; off += bs) {
                               uint32_t piece = len - off < bs ? len - off : bs;
                               uint32_t block = list[next++];
                               if (block == 0)
                                   continue;
                               uint64_t got = 0;
                               if (!ext2_readfile(file, piece, &got, block, buf + off) || got != piece)
                                   gaps.unreadable(off, piece);
                           }
                           return len;
                       },
                       stats, gate);
}

std::unique_ptr<ScanBackend> makeExt2Backend(const ScanRequest &req)
{
    return std::make_unique<Ext2Backend>(req);
}

}  // namespace salvitra

#endif  // SALVITRA_HAVE_BRIEL
