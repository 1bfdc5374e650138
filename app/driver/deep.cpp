// Deep scan backend: runs the signature engine over the request's record,
// looking for the picked kinds only (the request's types; none: every
// kind), and lists its records per type in found order; recovery goes
// through HeadRecovery.
#include "deep.h"

#include <algorithm>
#include <strings.h>
#include <utility>
#include <vector>

#include "backends.h"
#include "output_dir.h"

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

WriteResult HeadRecovery(Partiton_Struct *part, void *record, const WriteDest &dest,
                         WriteStats &stats, const std::function<bool()> &gate)
{
    if (!part || !record || !Get_Type(record))
        return WriteResult::NoRecord;
    uint64_t size = Get_File_Size(record);
    // Where the record starts on the device, as the engine reads it: a
    // partition's own device record adds its offset itself.
    const uint64_t origin = part->Device && part->Device->OwnerPartition == part && part->AccessMode == '?'
                                ? 0
                                : part->PartOffset;
    const uint64_t start = origin + Get_File_Offset(record);
    uint64_t pos = 0;
    uint8_t sector[512];
    Set_fileRW_Head();
    // The engine reads any length: about 1 MiB of whole allocation units
    // at a time (a whole-device record has none: 1 KiB units).
    WriteResult r = writeChunks(
        dest, size, copyPiece(deepChunkLength(part), size),
        [&](uint8_t *buf, uint32_t len, ReadGaps &gaps) -> int64_t {
            const uint64_t at = pos;
            pos += len;
            if (Get_file_data(part, record, buf, len) >= 0)
                return len;
            // The engine reads a failing stretch again sector by sector and
            // leaves zeros where a sector fails: those are among the
            // sectors of zeros, each read once more to tell.
            markZeroUnits(buf, len, sizeof sector, gaps, [&](uint32_t off, uint32_t n) {
                return part->Device && sv_dev_read(part->Device, sector, n, start + at + off) == (int32_t)n;
            });
            return len;
        },
        stats, gate);
    Set_fileRW_Head();
    return r;
}

namespace {

// The engine reports every file through libmerrow's found-file registry as
// it finds it; each report becomes a FoundFile delivered to the job at
// once (through its pause gate), so a deep scan's files stream while the
// engine runs.  After the engine returns, its type lists are walked for
// anything the registry did not report.
class DeepBackend : public ScanBackend {
public:
    DeepBackend(const ScanRequest &req, WindowWatch watch)
        : part_(req.part), types_(req.types), watch_(std::move(watch))
    {
    }
    ~DeepBackend() override { release(); }

    Status run(ScanJob &job) override
    {
        ran_ = true;
        job_ = &job;
        // The engine tests the headers of the picked kinds only.
        std::vector<const char *> types;
        for (const std::string &t : types_)
            types.push_back(t.c_str());
        types.push_back(nullptr);
        AddFoundFileCallBack(&DeepBackend::onFound, this);
        int rc = watch_ ? Sennet_SearchWatched(part_, types.data(), &DeepBackend::onWindow, this)
                        : Sennet_SearchTypes(part_, types.data());
        RemoveFoundFileCallback(this);
        while (const char *t = Get_Dir()) {
            for (int32_t i = seen(t);; i++) {
                void *r = Get_File_pr(t, i);
                if (!r)
                    break;
                deliver(r, t, (uint32_t)i);
            }
        }
        job_ = nullptr;
        if (rc < 0)
            return {StatusCode::UnreadableMedium, "the signature scan could not read the medium"};
        return {};
    }

    WriteResult write(const FoundFile &file, const WriteDest &dest, WriteStats &stats,
                      const std::function<bool()> &gate) override
    {
        return HeadRecovery(part_, file.record, dest, stats, gate);
    }

    void release() override
    {
        if (ran_)
            Search_FileHeadRceoverMian_exit();
        ran_ = false;
        counts_.clear();
    }

private:
    static void onFound(void *item, SCAN_TYPE type, void *context)
    {
        auto *self = static_cast<DeepBackend *>(context);
        if (type != SCAN_TYPE_DEEP || !item || !self || !self->job_)
            return;
        const char *t = Get_Type(item);
        if (!t)
            return;
        self->deliver(item, t, (uint32_t)self->seen(t));
    }

    static void onWindow(void *context, uint64_t offset, const void *data, uint32_t length)
    {
        static_cast<DeepBackend *>(context)->watch_(offset, static_cast<const uint8_t *>(data), length);
    }

    // Files of type t delivered so far (the engine numbers each type's
    // files in the order it finds them).
    int32_t seen(const char *t)
    {
        for (auto &c : counts_)
            if (c.first == t)
                return c.second;
        return 0;
    }

    void deliver(void *r, const char *t, uint32_t index)
    {
        bool known = false;
        for (auto &c : counts_) {
            if (c.first == t) {
                c.second = (int32_t)index + 1;
                known = true;
            }
        }
        if (!known)
            counts_.emplace_back(t, (int32_t)index + 1);
        FoundFile f;
        f.type = t;
        f.index = index;
        f.name = deepFileName(f.index, f.type);
        f.folder = f.type;
        f.size = Get_File_Size(r);
        f.offset = Get_File_Offset(r);
        f.record = r;
        f.state = FileState::Carved;
        job_->deliver(std::move(f));
    }

    Partiton_Struct *part_;
    std::vector<std::string> types_;
    WindowWatch watch_;
    ScanJob *job_ = nullptr;
    bool ran_ = false;
    // Type name (the engine's own string) and files delivered of it.
    std::vector<std::pair<std::string, int32_t>> counts_;
};

}  // namespace

std::unique_ptr<ScanBackend> makeDeepBackend(const ScanRequest &req)
{
    return makeContentBackend(req, {});
}

std::unique_ptr<ScanBackend> makeContentBackend(const ScanRequest &req, WindowWatch watch)
{
    if (!req.part || !req.part->Device)
        return nullptr;
    return std::make_unique<DeepBackend>(req, std::move(watch));
}

#else

WriteResult HeadRecovery(Partiton_Struct *, void *, const std::string &, WriteStats &,
                         const std::function<bool()> &)
{
    return WriteResult::Unreadable;
}

std::unique_ptr<ScanBackend> makeContentBackend(const ScanRequest &, WindowWatch)
{
    return nullptr;
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
