// NTFS quick scan (deleted files through the MFT) and formatted-volume
// search, on libtaskel's NTFS entry points.
#include "backends.h"
#include "text.h"

#if SALVITRA_HAVE_TASKEL

#include <dlfcn.h>
#include <sys/stat.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "ntfs_backend.h"
#include "ntfs_paths.h"

namespace salvitra {

namespace {

std::string exeDir()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0)
        return "";
    buf[n] = '\0';
    std::string p(buf);
    size_t slash = p.find_last_of('/');
    return slash == std::string::npos ? "" : p.substr(0, slash);
}

template <typename T>
bool bind(void *h, const char *name, T &fn, std::string &err)
{
    fn = reinterpret_cast<T>(dlsym(h, name));
    if (!fn)
        err += std::string(err.empty() ? "" : "; ") + "missing " + name;
    return fn != nullptr;
}

struct Loaded {
    TaskelApi api;
    bool ok = false;
    std::string why;
};

// A file or folder that no other user can change: owned by root or by us,
// not writable by group or others (a sticky world-writable folder such as
// /tmp does not count as safe either).
bool trustedPath(const std::string &path, bool dir, std::string *why)
{
    struct stat sb;
    if (stat(path.c_str(), &sb) != 0) {
        *why = path + ": " + strerror(errno);
        return false;
    }
    if (dir ? !S_ISDIR(sb.st_mode) : !S_ISREG(sb.st_mode)) {
        *why = path + ": not a " + (dir ? "folder" : "file");
        return false;
    }
    if ((sb.st_uid != 0 && sb.st_uid != geteuid()) || (sb.st_mode & (S_IWGRP | S_IWOTH))) {
        *why = path + ": another user could replace it";
        return false;
    }
    return true;
}

// libtaskel is loaded only from the program's own library folders: the
// private folder of an installed program (<prefix>/bin and
// <prefix>/lib/salvitra, SALVITRA_LIBDIR_FROM_BIN) or the lib folder beside
// bin (the build tree), told apart by nothing but the program's real path.
// Never through the loader's search path, and never from a file or folder
// another user can write.
Loaded load()
{
    Loaded l;
    std::string dir = exeDir();
    if (dir.empty()) {
        l.why = "the program's own folder is unknown";
        return l;
    }
    char *real = nullptr;
    std::string tried;
    for (const char *sub : {SALVITRA_LIBDIR_FROM_BIN, "../lib"}) {
        std::string cand = dir + "/" + sub + "/libtaskel.so";
        real = realpath(cand.c_str(), nullptr);
        if (real)
            break;
        tried += (tried.empty() ? "" : "; ") + cand + ": " + strerror(errno);
    }
    if (!real) {
        l.why = tried;
        return l;
    }
    std::string path = real;
    free(real);
    std::string libDir = path.substr(0, path.find_last_of('/'));
    if (!trustedPath(path, false, &l.why) || !trustedPath(libDir.empty() ? "/" : libDir, true, &l.why))
        return l;
    void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (h) {
        l.api.path = path;
    } else {
        const char *e = dlerror();
        l.why = e ? e : path;
    }
    if (!h)
        return l;
    l.why.clear();
    TaskelApi &a = l.api;
    a.handle = h;
    bool ok = true;
    ok &= bind(h, "Initi_Ntfs_InFo", a.Initi_Ntfs_InFo, l.why);
    ok &= bind(h, "Ntfs_Get_Del_File", a.Ntfs_Get_Del_File, l.why);
    ok &= bind(h, "Ntfs_Get_Data", a.Ntfs_Get_Data, l.why);
    ok &= bind(h, "Ntfs_RWfile_Set", a.Ntfs_RWfile_Set, l.why);
    ok &= bind(h, "NTFS_Free_Glod_Exit", a.NTFS_Free_Glod_Exit, l.why);
    ok &= bind(h, "NTFS_Free_File_Info", a.NTFS_Free_File_Info, l.why);
    ok &= bind(h, "Ntfs_Get_NameParentID", a.Ntfs_Get_NameParentID, l.why);
    ok &= bind(h, "Ntfs_Open_File", a.Ntfs_Open_File, l.why);
    ok &= bind(h, "Ntfs_Read_File", a.Ntfs_Read_File, l.why);
    ok &= bind(h, "Ntfs_Close_File", a.Ntfs_Close_File, l.why);
    ok &= bind(h, "Search_Ntfs_InFo", a.Search_Ntfs_InFo, l.why);
    ok &= bind(h, "Ntfs_Read_ForMat_Data", a.Ntfs_Read_ForMat_Data, l.why);
    ok &= bind(h, "Ntfs_Format_BlockSize", a.Ntfs_Format_BlockSize, l.why);
    ok &= bind(h, "Nfst_GetFormat_NameParentID", a.Nfst_GetFormat_NameParentID, l.why);
    ok &= bind(h, "NTFS_Free_Format_Info", a.NTFS_Free_Format_Info, l.why);
    ok &= bind(h, "Ntfs_File_Runs", a.Ntfs_File_Runs, l.why);
    ok &= bind(h, "Ntfs_Format_File_Runs", a.Ntfs_Format_File_Runs, l.why);
    ok &= bind(h, "Ntfs_In_Use", a.Ntfs_In_Use, l.why);
    ok &= bind(h, "Ntfs_Format_Begin", a.Ntfs_Format_Begin, l.why);
    ok &= bind(h, "Ntfs_Format_Feed", a.Ntfs_Format_Feed, l.why);
    ok &= bind(h, "Ntfs_Format_End", a.Ntfs_Format_End, l.why);
    ok &= bind(h, "Ntfs_Format_In_Present", a.Ntfs_Format_In_Present, l.why);
    l.ok = ok;
    return l;
}

}  // namespace

const TaskelApi *taskelApi(std::string *why)
{
    static std::once_flag once;
    static Loaded loaded;
    std::call_once(once, [] { loaded = load(); });
    if (!loaded.ok && why)
        *why = "libtaskel could not be loaded: " + loaded.why;
    return loaded.ok ? &loaded.api : nullptr;
}

// Chunks are whole multiples of the allocation unit, about 1 MiB: the
// library zero-fills only the clusters it cannot read, so a bad sector
// still costs one cluster, and the copy is not held back by one pair of
// system calls per cluster.
static uint32_t chunkFor(uint32_t block)
{
    const uint32_t target = 1u << 20;
    return block >= target ? block : block * (target / block);
}

// Reads for writeChunks.  A block the library answered with 2 holds what
// could be read and zeros for the clusters that could not: those are among
// its clusters of zeros, and `readsAgain` (when given) reads such a
// cluster on its own to tell a failure from data that is zeros.
template <typename ReadFn>
static PieceReader salvagingReader(ReadFn read, uint32_t cluster,
                                   std::function<bool(uint64_t, uint32_t)> readsAgain = {})
{
    auto pos = std::make_shared<uint64_t>(0);
    return [read, cluster, readsAgain, pos](uint8_t *buf, uint32_t len, ReadGaps &gaps) -> int64_t {
        uint64_t at = *pos;
        *pos += len;
        int r = read(buf, len);
        if (r == 0)
            return len;
        if (r != 2)
            return -1;
        std::function<bool(uint32_t, uint32_t)> again;
        if (readsAgain)
            again = [&](uint32_t off, uint32_t n) { return readsAgain(at + off, n); };
        markZeroUnits(buf, len, cluster, gaps, again);
        return len;
    };
}

WriteResult DelNtfsRecovery(const TaskelApi &api, const NTFS_DEL_FILEINFO_t *rec, Partiton_Struct *part,
                            const WriteDest &dest, WriteStats &stats, const std::function<bool()> &gate)
{
    uint32_t block = get_blocksize(part);
    if (block == 0) {
        diagnostic("System Error: ntfsRecovery, cluster_Size get size fail");
        return WriteResult::NoChunk;
    }
    if (!rec) {
        diagnostic("PNTFS_DEL_FILEINFO is no----------");
        return WriteResult::NoRecord;
    }
    // A record that cannot be opened at all would only give a file of
    // zeros.  The handle stays open to read single clusters again.
    NTFS_FILE_HANDLE h;
    if (!api.Ntfs_Open_File(rec->nMftNumber, &h))
        return WriteResult::Unreadable;
    std::vector<uint8_t> one(block);
    auto readsAgain = [&](uint64_t at, uint32_t n) {
        uint32_t got = 0;
        h.nOffset = at;
        return api.Ntfs_Read_File(&h, n, &got, one.data()) && got == n;
    };
    uint64_t mft = rec->nMftNumber;
    WriteResult r = writeChunks(
        dest, rec->nFileSize, chunkFor(block),
        salvagingReader([&](uint8_t *buf, uint32_t len) { return api.Ntfs_Get_Data(mft, buf, len); }, block,
                        readsAgain),
        stats, gate);
    api.Ntfs_Close_File(&h);
    api.Ntfs_RWfile_Set(1);
    return r;
}

namespace {

class NtfsBackend : public ScanBackend {
public:
    NtfsBackend(const TaskelApi &api, Partiton_Struct *part) : api_(api), part_(part) {}
    ~NtfsBackend() override { release(); }

    Status check() override
    {
        if (!api_.Initi_Ntfs_InFo(part_))
            return {StatusCode::NotThisFileSystem, "the NTFS boot sector or the MFT could not be read"};
        api_.NTFS_Free_Glod_Exit();
        return {};
    }

    Status run(ScanJob &job) override
    {
        // The scan launch: set up the volume, then the search.  A volume
        // that cannot be set up is not scanned: an empty list would read as
        // "nothing deleted here".
        live_ = true;
        if (!api_.Initi_Ntfs_InFo(part_))
            return {StatusCode::NotThisFileSystem, "the NTFS boot sector or the MFT could not be read"};
        list_ = api_.Ntfs_Get_Del_File();
        std::vector<FoundFile> out;
        NtfsFolderResolver folders([this](uint64_t n, NTFS_MFT_ParentID_Name *o) {
            return api_.Ntfs_Get_NameParentID(n, o);
        });
        for (NTFS_DEL_FILEINFO_t *r = list_; r; r = r->pNextFile) {
            if (r->cUserFlag == 1 || r->cIsDir)
                continue;
            FoundFile f;
            f.name = ntfsName(*r);
            if (!folders.folderOf(r->nMftNumber, r->nParentRef, &f.folder))
                f.note = "original folder unknown";
            f.size = r->nFileSize;
            // The record keeps the creation time only.
            f.created = ntfsTimeToUnix(r->nCreateTime);
            f.times = f.created >= 0 ? FileTimes::CreatedOnly : FileTimes::None;
            f.type = extensionOf(f.name);
            f.record = r;
            f.state = FileState::Deleted;
            out.push_back(std::move(f));
        }
        job.deliverAll(std::move(out));
        return {};
    }

    WriteResult write(const FoundFile &file, const WriteDest &dest, WriteStats &stats,
                      const std::function<bool()> &gate) override
    {
        if (!live_)
            return WriteResult::NoRecord;
        return DelNtfsRecovery(api_, static_cast<const NTFS_DEL_FILEINFO_t *>(file.record), part_, dest, stats,
                               gate);
    }

    void release() override
    {
        if (!live_)
            return;
        api_.NTFS_Free_Glod_Exit();
        api_.NTFS_Free_File_Info(list_);
        list_ = nullptr;
        live_ = false;
    }

    bool runs(const FoundFile &file, std::vector<DataRun> &out) override
    {
        auto *r = static_cast<const NTFS_DEL_FILEINFO_t *>(file.record);
        return live_ && r && api_.Ntfs_File_Runs(r->nMftNumber, &collectRun, &out);
    }

    int allocation(uint64_t offset, uint64_t length) override
    {
        return live_ ? api_.Ntfs_In_Use(offset, length) : 0;
    }

private:
    const TaskelApi &api_;
    Partiton_Struct *part_;
    NTFS_DEL_FILEINFO_t *list_ = nullptr;
    bool live_ = false;
};

class NtfsFormattedBackend : public ScanBackend {
public:
    NtfsFormattedBackend(const TaskelApi &api, Partiton_Struct *part) : api_(api), part_(part) {}
    ~NtfsFormattedBackend() override { release(); }

    bool beginFed() override
    {
        fed_ = api_.Ntfs_Format_Begin(part_);
        live_ = live_ || fed_;
        return fed_;
    }

    void feed(uint64_t offset, const uint8_t *data, uint32_t length) override
    {
        if (fed_)
            api_.Ntfs_Format_Feed(offset, data, length);
    }

    bool runs(const FoundFile &file, std::vector<DataRun> &out) override
    {
        auto *r = static_cast<const NTFS_FORMAT_INFO_t *>(file.record);
        return live_ && r && api_.Ntfs_Format_File_Runs(r, &collectRun, &out);
    }

    bool ofPresentVolume(const FoundFile &file) override
    {
        auto *r = static_cast<const NTFS_FORMAT_INFO_t *>(file.record);
        return live_ && r && api_.Ntfs_Format_In_Present(r);
    }

    Status run(ScanJob &job) override
    {
        list_ = fed_ ? api_.Ntfs_Format_End() : api_.Search_Ntfs_InFo(part_);
        fed_ = false;
        live_ = true;
        std::vector<FoundFile> out;
        NtfsFormatFolderResolver folders([this](const NTFS_FORMAT_INFO_t *r, NTFS_MFT_ParentID_Name *o) {
            return api_.Nfst_GetFormat_NameParentID(nullptr, r, o);
        });
        for (NTFS_FORMAT_INFO_t *r = list_; r; r = r->pNext) {
            if (r->cFlags & 1)
                continue;  // folders are shown through their files' paths
            FoundFile f;
            f.name = ntfsName(*r);
            f.state = FileState::Formatted;
            uint32_t slot = NTFS_FORMAT_SLOT(r);
            if (slot >= NTFS_FORMAT_SLOTS) {
                f.folder = "NTFS volume unknown";
                f.state = FileState::Unreadable;
                f.note = "the volume this record belonged to was not found";
            } else {
                f.folder = "NTFS volume " + std::to_string(slot + 1);
                std::string inner;
                if (folders.folderOf(r, &inner)) {
                    if (!inner.empty())
                        f.folder += "/" + inner;
                } else {
                    f.note = "original folder unknown";
                }
            }
            f.size = r->nFileSize;
            f.created = ntfsTimeToUnix(r->nCreateTime);
            f.times = f.created >= 0 ? FileTimes::CreatedOnly : FileTimes::None;
            f.type = extensionOf(f.name);
            f.offset = r->nPosition;
            f.record = r;
            out.push_back(std::move(f));
        }
        job.deliverAll(std::move(out));
        return {};
    }

    WriteResult write(const FoundFile &file, const WriteDest &dest, WriteStats &stats,
                      const std::function<bool()> &gate) override
    {
        auto *r = static_cast<NTFS_FORMAT_INFO_t *>(file.record);
        if (!live_ || !r)
            return WriteResult::NoRecord;
        uint32_t block = api_.Ntfs_Format_BlockSize(r);
        if (block == 0)
            block = get_blocksize(part_);
        if (block == 0)
            return WriteResult::NoChunk;
        // The library reads these files only in order: a cluster of zeros
        // in a block it could not read whole counts as unreadable.
        WriteResult res = writeChunks(
            dest, r->nFileSize, chunkFor(block),
            salvagingReader([&](uint8_t *buf, uint32_t len) { return api_.Ntfs_Read_ForMat_Data(r, buf, (int)len); },
                            block),
            stats, gate);
        api_.Ntfs_RWfile_Set(2);
        return res;
    }

    void release() override
    {
        if (!live_)
            return;
        // The old volumes' folder tables point into the list: drop them first.
        api_.NTFS_Free_Glod_Exit();
        api_.NTFS_Free_Format_Info(list_);
        list_ = nullptr;
        live_ = false;
    }

private:
    const TaskelApi &api_;
    Partiton_Struct *part_;
    NTFS_FORMAT_INFO_t *list_ = nullptr;
    bool live_ = false;
    bool fed_ = false;
};

}  // namespace

// The library is loaded at the first NTFS scan; when it cannot be, the
// diagnostics channel says why (the job's status says that it is missing).
static const TaskelApi *boundApi()
{
    std::string why;
    const TaskelApi *api = taskelApi(&why);
    if (!api)
        diagnostic(why);
    return api;
}

std::unique_ptr<ScanBackend> makeNtfsBackend(const ScanRequest &req)
{
    const TaskelApi *api = boundApi();
    if (!api || !req.part)
        return nullptr;
    return std::make_unique<NtfsBackend>(*api, req.part);
}

std::unique_ptr<ScanBackend> makeNtfsFormattedBackend(const ScanRequest &req)
{
    const TaskelApi *api = boundApi();
    if (!api || !req.part)
        return nullptr;
    return std::make_unique<NtfsFormattedBackend>(*api, req.part);
}

}  // namespace salvitra

#endif  // SALVITRA_HAVE_TASKEL
