// Deep scan backend: runs the signature engine over the request's record
// and lists its records per type in found order; recovery goes through
// HeadRecovery.  The engine tests every header it knows whatever kinds were
// picked: the front ends filter what they show and write.
#include "deep.h"

#include <algorithm>
#include <strings.h>

#include "backends.h"

#if SALVITRA_HAVE_SENNET
#include "sennet.h"
#endif

namespace salvitra {

uint32_t deepChunkLength(const Partiton_Struct *part)
{
    uint32_t chunk = part ? get_blocksize(part) : 0;
    return chunk ? chunk : 1024;
}

std::string deepFileName(uint32_t index, const std::string &type)
{
    return std::to_string(index) + "." + type;
}

#if SALVITRA_HAVE_SENNET

WriteResult HeadRecovery(Partiton_Struct *part, void *record, const std::string &path,
                         WriteStats &stats, const std::function<bool()> &stopRequested)
{
    if (!part || !record || !Get_Type(record))
        return WriteResult::NoRecord;
    uint64_t size = Get_File_Size(record);
    Set_fileRW_Head();
    WriteResult r = writeChunks(
        path, size, deepChunkLength(part),
        [&](uint8_t *buf, uint32_t len) -> int64_t { return Get_file_data(part, record, buf, len); },
        stats, stopRequested);
    Set_fileRW_Head();
    return r;
}

namespace {

class DeepBackend : public ScanBackend {
public:
    explicit DeepBackend(const ScanRequest &req) : part_(req.part) {}
    ~DeepBackend() override { release(); }

    bool run(std::vector<FoundFile> &out) override
    {
        ran_ = true;
        int rc = Search_FileHeadRceoverMian(part_);
        while (const char *t = Get_Dir()) {
            for (int32_t i = 0;; i++) {
                void *r = Get_File_pr(t, i);
                if (!r)
                    break;
                FoundFile f;
                f.type = t;
                f.index = (uint32_t)i;
                f.name = deepFileName(f.index, f.type);
                f.folder = f.type;
                f.size = Get_File_Size(r);
                f.offset = Get_File_Offset(r);
                f.record = r;
                out.push_back(std::move(f));
            }
        }
        return rc >= 0;
    }

    WriteResult write(const FoundFile &file, const std::string &path, WriteStats &stats) override
    {
        return HeadRecovery(part_, file.record, path, stats);
    }

    void release() override
    {
        if (ran_)
            Search_FileHeadRceoverMian_exit();
        ran_ = false;
    }

private:
    Partiton_Struct *part_;
    bool ran_ = false;
};

}  // namespace

std::unique_ptr<ScanBackend> makeDeepBackend(const ScanRequest &req)
{
    if (!req.part || !req.part->Device)
        return nullptr;
    return std::make_unique<DeepBackend>(req);
}

#else

WriteResult HeadRecovery(Partiton_Struct *, void *, const std::string &, WriteStats &,
                         const std::function<bool()> &)
{
    return WriteResult::Unreadable;
}

#endif

std::vector<std::string> deepTypeNames()
{
    std::vector<std::string> out;
    for (const char *const *t = Sennet_KnownTypes(); t && *t; t++)
        out.push_back(*t);
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> unknownDeepTypes(const std::vector<std::string> &wanted)
{
    std::vector<std::string> known = deepTypeNames(), out;
    for (const std::string &w : wanted) {
        bool found = false;
        for (const std::string &k : known)
            found = found || strcasecmp(k.c_str(), w.c_str()) == 0;
        if (!found)
            out.push_back(w);
    }
    return out;
}

}  // namespace salvitra
