// ext3 quick scan: deleted entries found by name through libcosk.  ext3
// clears the block pointers of deleted files, so these finds are listed
// with their names and folders but cannot be read back by this method.
#if SALVITRA_HAVE_COSK

#include <cctype>
#include <vector>

#include "backends.h"
#include "text.h"
#include "cosk.h"
#include "ext_backend.h"

namespace salvitra {

namespace {

constexpr uint32_t kInodeMtime = 16;
// Deeper than any folder the walk records (it stops at 256 levels).
constexpr int kMaxFolderDepth = 1024;

const char *kUnreadableNote =
    "deleted entry found by its name; its data cannot be read by this method";

class Ext3Backend : public ScanBackend {
public:
    explicit Ext3Backend(const ScanRequest &req) : req_(req) {}
    ~Ext3Backend() override { release(); }

    Status run(ScanJob &job) override
    {
        if (!ext3_init(req_.part))
            return {StatusCode::NotThisFileSystem, "the ext3 superblock or group descriptors could not be read"};
        open_ = true;
        std::vector<FoundFile> out;
        for (Ext3DirNode *node = ext3_searchfile(); node; node = ext3_get_next(node)) {
            std::string folder = ext3FolderPath(node);
            for (uint32_t i = 0;; i++) {
                Ext3FileNode *f = ext3_get_file(node, i);
                if (!f)
                    break;
                if (ext3_file_isdir(f))
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

    WriteResult write(const FoundFile &, const std::string &, WriteStats &, const std::function<bool()> &) override
    {
        return WriteResult::Unreadable;
    }

    void release() override
    {
        if (open_)
            ext3_exit();
        open_ = false;
    }

private:
    ScanRequest req_;
    bool open_ = false;
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

std::unique_ptr<ScanBackend> makeExt3Backend(const ScanRequest &req)
{
    return std::make_unique<Ext3Backend>(req);
}

}  // namespace salvitra

#endif  // SALVITRA_HAVE_COSK
