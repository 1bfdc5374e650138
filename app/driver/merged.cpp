// The deep scan as one backend: the content search and the file systems'
// own scanners in one job, and the merge of what they find (merged.h).
#include "merged.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "deep.h"
#include "inventory.h"
#include "text.h"

#if SALVITRA_HAVE_SENNET
#include "sennet.h"
#endif

namespace salvitra {

const char *const kFoundByContentFolder = "Found by content";

#if SALVITRA_HAVE_SENNET

namespace {

// Shares of the progress bar: the file systems' quick scans, the content
// search (with the formatted-volume searches riding on it), and the rest
// (rebuilding the formatted trees, checking files, the merge).
constexpr int kQuickShare = 5;
constexpr int kFinalShare = 5;

std::string lowerText(std::string s)
{
    for (char &c : s)
        c = (char)tolower((unsigned char)c);
    return s;
}

// A type as the content search names it ("jpeg" -> "jpg"); other names
// in lower case.
std::string canonicalType(const std::string &type)
{
    std::string low = lowerText(type);
    // Known names come back in the engine's spelling.
    static const char *const kAliases[][2] = {
        {"jpeg", "jpg"}, {"jpe", "jpg"}, {"tiff", "tif"}, {"mpeg", "mpg"}, {"midi", "mid"},
        {"aif", "aiff"}, {"mka", "mkv"}, {"qt", "mov"}, {"oga", "ogg"}, {"ogv", "ogg"},
    };
    for (const auto &a : kAliases)
        if (low == a[0])
            return a[1];
    return low;
}

bool engineKnows(const std::string &type)
{
    return !type.empty() && Sennet_HeaderFits(type.c_str(), nullptr, 0) != SENNET_FIT_UNKNOWN;
}

// Raises the shared progress value to v unless it reads finished or stop.
void raiseProgress(int32_t v)
{
    int32_t cur = sv_progress_get();
    while (cur < v && cur < 100) {
        if (__atomic_compare_exchange_n(&ExportsData, &cur, v, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
            break;
    }
}

std::string bytesText(uint64_t n)
{
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

// A file system the deep scan reads besides the content search.
struct Volume {
    Partiton_Struct *part = nullptr;  // its record: its scanners read through it
    std::string label;                // "Partition 1 (FAT32)" on a whole device, else ""
    int64_t delta = 0;                // volume offset = offset in the scanned record + delta
    uint64_t lo = 0, hi = 0;          // offsets in the scanned record that lie inside it
    int quick = -1, formatted = -1;   // source numbers, -1 none
    bool quickRead = false;           // its quick scan read the volume (allocation known)
    bool fed = false;                 // its formatted search rides on the content search
};

// A file a file system names.
struct Named {
    FoundFile file;
    int volume = 0;
    std::vector<DataRun> runs;        // volume offsets
    bool placed = false;              // runs known
    uint64_t first = 0;               // volume offset of its first byte (placed, size > 0)
    uint64_t contiguous = 0;          // bytes in one piece from its first byte
    bool formatted = false;           // found by the formatted-volume search
    bool drop = false;
    // Evidence from the content search.
    bool confirmed = false;
    uint64_t carvedSize = 0;
    uint64_t foreignAt = UINT64_MAX;  // a file found by content starts at this byte of it
    std::string foreignType;
    std::string sharedWith;           // another listed file claims part of its data
};

// A file found by content that waits for the end of the scan.
struct Pending {
    FoundFile file;
    int volume = -1;
    uint64_t start = 0;               // volume offset
};

// A stretch of a named file's data, for the look-ups by place.
struct Span {
    uint64_t start, end;
    uint32_t named;
};

class MergedBackend : public ScanBackend {
public:
    explicit MergedBackend(const ScanRequest &req) : req_(req)
    {
        sources_.push_back(makeContentBackend(req_, {}));
        libs_.push_back(ScanLibrary::Sennet);
        findVolumes();
    }
    ~MergedBackend() override { release(); }

    bool ready() const { return sources_[0] != nullptr; }

    std::vector<ScanLibrary> libraries() const override { return libs_; }

    Status run(ScanJob &job) override;

    WriteResult write(const FoundFile &file, const WriteDest &dest, WriteStats &stats,
                      const std::function<bool()> &gate) override
    {
        if (file.source >= sources_.size() || !sources_[file.source])
            return WriteResult::NoRecord;
        return sources_[file.source]->write(file, dest, stats, gate);
    }

    void release() override
    {
        // Later sources first: a formatted search before the quick scan of
        // the same library.
        for (size_t i = sources_.size(); i-- > 0;)
            if (sources_[i])
                sources_[i]->release();
    }

private:
    void findVolumes();
    void addVolume(Partiton_Struct *vol, int64_t delta, uint64_t lo, uint64_t hi, const std::string &label);
    int addSource(std::unique_ptr<ScanBackend> b, ScanLibrary lib);
    bool libraryTaken(ScanLibrary lib) const;

    void capture(int source, int volume, bool formatted);
    void place(uint32_t n);
    void indexPlaces();
    int volumeOf(uint64_t off) const;
    int allocation(int v, uint64_t off, uint64_t len) const;
    // Named files whose data (not counting their first byte) holds off.
    int holder(int v, uint64_t off) const;
    // The named file the content search's find at off is, or -1.
    int sameFile(int v, uint64_t off, const FoundFile &carved);
    bool onCarved(FoundFile &f);
    void onWindow(uint64_t off, const uint8_t *p, uint32_t n);
    // A file found only by content, as it is listed.
    void listCarved(FoundFile &f, int v, uint64_t start);
    void judgeCarved(FoundFile &f, int v, uint64_t start);
    void judgeNamed(Named &n, ScanJob &job);
    void checkStructure(Named &n, const std::string &type);
    void merge(ScanJob &job);

    ScanRequest req_;
    std::vector<std::unique_ptr<ScanBackend>> sources_;  // 0: the content search
    std::vector<ScanLibrary> libs_;
    std::vector<ScanLibrary> sourceLib_{ScanLibrary::Sennet};
    std::vector<Volume> volumes_;
    std::vector<Named> named_;
    std::vector<std::unordered_map<uint64_t, std::vector<uint32_t>>> firsts_;  // per volume
    std::vector<std::vector<Span>> spans_;                                      // per volume, by start
    std::vector<std::vector<uint64_t>> reach_;  // per volume: the furthest end of the spans up to each
    std::vector<Pending> pending_;
    std::unordered_map<std::string, uint32_t> typeCount_;
    std::vector<std::string> skipped_;  // volumes searched by content only
    ScanJob *job_ = nullptr;
    bool checking_ = true;  // the scan was not stopped: files are checked before they are listed
    // The files the content search did not walk are checked by reading
    // them, at most a quarter of the medium's size in all (and 64 MiB).
    uint64_t checkRead_ = 0, checkBudget_ = 0;
    // What the merge left out.
    uint64_t insideLive_ = 0, insideListed_ = 0, earlierVolume_ = 0, presentAgain_ = 0, confirmed_ = 0;
};

int MergedBackend::addSource(std::unique_ptr<ScanBackend> b, ScanLibrary lib)
{
    if (!b)
        return -1;
    sources_.push_back(std::move(b));
    sourceLib_.push_back(lib);
    if (std::find(libs_.begin(), libs_.end(), lib) == libs_.end())
        libs_.push_back(lib);
    return (int)sources_.size() - 1;
}

bool MergedBackend::libraryTaken(ScanLibrary lib) const
{
    return std::find(libs_.begin(), libs_.end(), lib) != libs_.end();
}

void MergedBackend::addVolume(Partiton_Struct *vol, int64_t delta, uint64_t lo, uint64_t hi,
                              const std::string &label)
{
    if (req_.contentOnly || !vol || !vol->Device || lo >= hi)
        return;
    Volume v;
    v.part = vol;
    v.delta = delta;
    v.lo = lo;
    v.hi = hi;
    v.label = label;
    const BackendRow *quick = findBackendRow(vol->FsType, ScanKind::Quick);
    if (!quick || !quick->make)
        return;
    if (libraryTaken(quick->library)) {
        // One volume per library at a time: this one is searched by content.
        skipped_.push_back(label.empty() ? fsShortLabel(vol->FsType) : label);
        return;
    }
    ScanRequest qr;
    qr.part = vol;
    qr.mode = RecoverQuick;
    v.quick = addSource(quick->make(qr), quick->library);
    if (v.quick < 0)
        return;
    const BackendRow *fmt = findBackendRow(vol->FsType, ScanKind::Formatted);
    if (fmt && fmt->makeFormatted && fmt->library == quick->library) {
        ScanRequest fr = qr;
        fr.formatted = true;
        v.formatted = addSource(fmt->makeFormatted(fr), fmt->library);
    }
    volumes_.push_back(v);
}

void MergedBackend::findVolumes()
{
    Partiton_Struct *target = req_.part;
    if (!target || !target->Device)
        return;
    const uint64_t size = target->PartSize;
    if (req_.volume) {
        // A range of a partition: the partition's file system, the range's bytes.
        Partiton_Struct *vol = req_.volume;
        uint64_t base = target->PartOffset;
        if (base < vol->PartSize)
            addVolume(vol, (int64_t)base, 0, std::min(size, vol->PartSize - base), "");
        return;
    }
    if (target->FsType != FS_UNKNOWN) {
        // A listed partition, or a range of one (the options page's copy
        // reads through the partition's device).
        bool listed = false;
        Partiton_Struct *owner = nullptr;
        for (_Device_List *n = GlobPointerPartiton; n; n = n->next) {
            auto *p = static_cast<Partiton_Struct *>(n->data);
            listed = listed || p == target;
            if (p && p != target && p->Device == target->Device && p->FsType == target->FsType)
                owner = p;
        }
        if (listed || !owner) {
            addVolume(target, 0, 0, size, "");
            return;
        }
        // Offsets of a private device copy count from the partition's
        // start; any other device's from the device's.
        int64_t delta = owner->AccessMode == '?' ? (int64_t)target->PartOffset
                                                 : (int64_t)target->PartOffset - (int64_t)owner->PartOffset;
        if (delta >= 0 && (uint64_t)delta < owner->PartSize)
            addVolume(owner, delta, 0, std::min(size, owner->PartSize - (uint64_t)delta), "");
        return;
    }
    // A whole device (or a range of one): the volumes of its partition
    // table, each where it lies.
    if (target->Device->OwnerPartition)
        return;
    const uint64_t base = target->PartOffset;
    std::vector<std::pair<Partiton_Struct *, int>> found;
    int index = 0;
    for (_Device_List *n = GlobPointerPartiton; n; n = n->next, index++) {
        auto *p = static_cast<Partiton_Struct *>(n->data);
        if (p && p->DevNum == target->DevNum && p->AccessMode == '?' && p->FsType != FS_UNKNOWN && p->PartSize &&
            p->PartOffset < base + size && p->PartOffset + p->PartSize > base)
            found.push_back({p, index});
    }
    for (const auto &pi : found) {
        Partiton_Struct *p = pi.first;
        uint64_t pStart = p->PartOffset, pEnd = p->PartOffset + p->PartSize;
        uint64_t lo = pStart > base ? pStart - base : 0;
        uint64_t hi = std::min(size, pEnd - base);
        // With more than one volume, each one's files go under its name.
        std::string label = found.size() < 2 ? std::string()
                                             : "Partition " + std::to_string(pi.second) + " (" +
                                                   fsShortLabel(p->FsType) + ")";
        addVolume(p, (int64_t)base - (int64_t)pStart, lo, hi, label);
    }
}

void MergedBackend::capture(int source, int volume, bool formatted)
{
    job_->setDeliveryHook([this, source, volume, formatted](FoundFile &f) {
        Named n;
        n.file = std::move(f);
        n.file.source = (uint8_t)source;
        n.volume = volume;
        n.formatted = formatted;
        const Volume &v = volumes_[volume];
        if (!v.label.empty())
            n.file.folder = n.file.folder.empty() ? v.label : v.label + "/" + n.file.folder;
        // The kinds asked for, as the content search takes them.
        if (!req_.types.empty()) {
            std::string t = canonicalType(n.file.type);
            bool wanted = false;
            for (const std::string &w : req_.types)
                wanted = wanted || canonicalType(w) == t;
            if (!wanted)
                return false;
        }
        named_.push_back(std::move(n));
        return false;
    });
}

void MergedBackend::place(uint32_t i)
{
    Named &n = named_[i];
    ScanBackend *src = sources_[n.file.source].get();
    n.runs.clear();
    n.placed = src && src->runs(n.file, n.runs);
    if (!n.placed || n.file.size == 0 || n.runs.empty())
        return;
    n.first = n.runs[0].offset;
    n.contiguous = 0;
    uint64_t expect = n.first;
    for (const DataRun &r : n.runs) {
        if (r.offset != expect || r.offset == kRunLost || r.offset == kRunSparse)
            break;
        n.contiguous += r.length;
        expect = r.offset + r.length;
    }
    if (n.first == kRunLost || n.first == kRunSparse)
        return;
    const Volume &v = volumes_[n.volume];
    // The content search reports where it found a file in the scanned
    // record's offsets.
    n.file.offset = (uint64_t)((int64_t)n.first - v.delta);
}

void MergedBackend::indexPlaces()
{
    firsts_.assign(volumes_.size(), {});
    spans_.assign(volumes_.size(), {});
    reach_.assign(volumes_.size(), {});
    for (uint32_t i = 0; i < named_.size(); i++) {
        const Named &n = named_[i];
        if (n.drop || !n.placed || n.file.size == 0)
            continue;
        if (n.first != kRunLost && n.first != kRunSparse)
            firsts_[n.volume][n.first].push_back(i);
        for (const DataRun &r : n.runs)
            if (r.offset != kRunLost && r.offset != kRunSparse && r.length)
                spans_[n.volume].push_back({r.offset, r.offset + r.length, i});
    }
    for (size_t v = 0; v < volumes_.size(); v++) {
        auto &s = spans_[v];
        std::sort(s.begin(), s.end(), [](const Span &a, const Span &b) { return a.start < b.start; });
        auto &r = reach_[v];
        r.resize(s.size());
        uint64_t far = 0;
        for (size_t k = 0; k < s.size(); k++) {
            far = std::max(far, s[k].end);
            r[k] = far;
        }
    }
}

int MergedBackend::volumeOf(uint64_t off) const
{
    for (size_t v = 0; v < volumes_.size(); v++)
        if (off >= volumes_[v].lo && off < volumes_[v].hi)
            return (int)v;
    return -1;
}

int MergedBackend::allocation(int v, uint64_t off, uint64_t len) const
{
    const Volume &vol = volumes_[v];
    if (!vol.quickRead || vol.quick < 0 || !sources_[vol.quick])
        return 0;
    uint64_t size = vol.part->PartSize;
    if (off >= size)
        return 0;
    len = std::min(len, size - off);
    return sources_[vol.quick]->allocation(off, len ? len : 1);
}

int MergedBackend::holder(int v, uint64_t off) const
{
    if (v < 0 || (size_t)v >= spans_.size())
        return -1;
    const auto &s = spans_[v];
    const auto &r = reach_[v];
    // Spans that start at or before off, back while one may still reach it.
    size_t k = std::upper_bound(s.begin(), s.end(), off, [](uint64_t x, const Span &a) { return x < a.start; }) -
               s.begin();
    int found = -1;
    while (k-- > 0 && r[k] > off) {
        const Span &sp = s[k];
        if (sp.start <= off && off < sp.end && named_[sp.named].first != off) {
            found = (int)sp.named;
            break;
        }
    }
    return found;
}

int MergedBackend::sameFile(int v, uint64_t off, const FoundFile &carved)
{
    if (v < 0 || (size_t)v >= firsts_.size())
        return -1;
    auto it = firsts_[v].find(off);
    if (it == firsts_[v].end())
        return -1;
    const std::string ctype = canonicalType(carved.type);
    for (uint32_t i : it->second) {
        Named &n = named_[i];
        std::string ntype = canonicalType(n.file.type);
        // The same kind, or a name the content checks do not know (a photo
        // kept as .tmp): the file system and the content agree on where it
        // starts.  A known kind that is not what lies there was overwritten.
        bool same = ntype == ctype || !engineKnows(ntype);
        if (!same) {
            uint8_t head[4096];
            const Volume &vol = volumes_[v];
            int32_t got = sv_dev_read(vol.part->Device, head, sizeof head, off);
            same = got > 0 && Sennet_HeaderFits(ntype.c_str(), head, (uint32_t)got) == SENNET_FIT_YES;
        }
        if (same)
            return (int)i;
        if (n.foreignAt == UINT64_MAX) {
            n.foreignAt = 0;
            n.foreignType = carved.type;
        }
    }
    return -1;
}

void MergedBackend::listCarved(FoundFile &f, int v, uint64_t start)
{
    uint32_t &k = typeCount_[f.type];
    f.index = k++;
    f.name = deepFileName(f.index, f.type);
    std::string folder = std::string(kFoundByContentFolder) + "/" + f.type;
    if (v >= 0 && !volumes_[v].label.empty())
        folder = volumes_[v].label + "/" + folder;
    f.folder = folder;
    f.source = 0;
    judgeCarved(f, v, start);
}

void MergedBackend::judgeCarved(FoundFile &f, int v, uint64_t start)
{
    // The engine lists a file only when its structure walks to its end.
    std::string checked = "found by content; its structure checks out to its end";
    f.verdict = Verdict::Good;
    if (v < 0) {
        f.why = checked + (volumes_.empty() ? "" : "; it lies outside every volume");
        return;
    }
    int bits = allocation(v, start, f.size);
    if (bits & SV_ALLOC_USED) {
        f.verdict = Verdict::Damaged;
        f.why = "part of it lies where files of the volume are now";
        return;
    }
    // Another listed file's data inside it: two claims on the same bytes.
    const uint64_t end = start + f.size;
    const auto &s = spans_[v];
    auto it = std::lower_bound(s.begin(), s.end(), start + 1, [](const Span &a, uint64_t x) { return a.start < x; });
    if (it != s.end() && it->start < end) {
        f.verdict = Verdict::Damaged;
        f.why = "the file system places " + named_[it->named].file.name + " at byte " +
                std::to_string(it->start - start) + " of it";
        return;
    }
    f.why = checked + (bits & SV_ALLOC_FREE ? " and its place is free" : "");
}

bool MergedBackend::onCarved(FoundFile &f)
{
    const uint64_t r = f.offset;
    int v = volumeOf(r);
    if (v < 0) {
        listCarved(f, -1, r);
        return true;
    }
    const Volume &vol = volumes_[v];
    uint64_t start = (uint64_t)((int64_t)r + vol.delta);
    // The names of a volume whose formatted search rides on this pass are
    // known only at its end: its finds wait until then.
    if (vol.fed) {
        pending_.push_back({std::move(f), v, start});
        return false;
    }
    int same = sameFile(v, start, f);
    if (same >= 0) {
        Named &n = named_[same];
        n.confirmed = true;
        n.carvedSize = std::max(n.carvedSize, f.size);
        confirmed_++;
        return false;
    }
    if (allocation(v, start, 1) & SV_ALLOC_USED) {
        insideLive_++;
        return false;
    }
    if (holder(v, start) >= 0) {
        pending_.push_back({std::move(f), v, start});
        return false;
    }
    listCarved(f, v, start);
    return true;
}

void MergedBackend::onWindow(uint64_t off, const uint8_t *p, uint32_t n)
{
    for (const Volume &v : volumes_) {
        if (!v.fed)
            continue;
        uint64_t from = std::max(off, v.lo), to = std::min(off + n, v.hi);
        if (from >= to)
            continue;
        sources_[v.formatted]->feed((uint64_t)((int64_t)from + v.delta), p + (from - off), (uint32_t)(to - from));
    }
}

// Reads a named file's bytes where its file system places them.
struct RunReader {
    Physics_Device_Struct *dev;
    const std::vector<DataRun> *runs;
    uint64_t *spent;  // bytes read from the device, for the checks' budget
    size_t hint = 0;
    uint64_t hintStart = 0;

    static int64_t read(void *ctx, uint64_t off, void *buf, uint32_t len)
    {
        auto *self = static_cast<RunReader *>(ctx);
        const auto &runs = *self->runs;
        auto *out = static_cast<uint8_t *>(buf);
        // Runs are walked forward from the last one used.
        size_t k = self->hint;
        uint64_t at = self->hintStart;
        if (off < at) {
            k = 0;
            at = 0;
        }
        uint64_t done = 0;
        while (done < len && k < runs.size()) {
            const DataRun &r = runs[k];
            uint64_t pos = off + done;
            if (pos >= at + r.length) {
                at += r.length;
                k++;
                continue;
            }
            uint64_t within = pos - at;
            uint64_t n = std::min<uint64_t>(len - done, r.length - within);
            if (r.offset == kRunLost || r.offset == kRunSparse) {
                memset(out + done, 0, n);
            } else {
                *self->spent += n;
                if (sv_dev_read(self->dev, out + done, (uint32_t)n, r.offset + within) != (int32_t)n)
                    memset(out + done, 0, n);
            }
            done += n;
            self->hint = k;
            self->hintStart = at;
        }
        return (int64_t)done;
    }
};

void MergedBackend::checkStructure(Named &n, const std::string &type)
{
    RunReader rr{volumes_[n.volume].part->Device, &n.runs, &checkRead_};
    uint64_t at = 0;
    int r = Sennet_CheckFile(type.c_str(), n.file.size, &RunReader::read, &rr, &at);
    switch (r) {
    case SENNET_CHECK_GOOD:
        n.file.verdict = Verdict::Good;
        n.file.why = "its data is free and its " + type + " structure checks out to its end";
        break;
    case SENNET_CHECK_BROKEN:
        n.file.verdict = Verdict::Damaged;
        n.file.why = "its " + type + " structure breaks before byte " + std::to_string(at);
        break;
    case SENNET_CHECK_NO_HEADER: {
        // Written over, or never what its name says: either way not a
        // whole file of its kind.
        uint8_t head[4096];
        int64_t got = RunReader::read(&rr, 0, head, (uint32_t)std::min<uint64_t>(sizeof head, n.file.size));
        n.file.verdict = Verdict::Damaged;
        if (got > 0 && Sennet_HeaderFits(type.c_str(), head, (uint32_t)got) == SENNET_FIT_OTHER)
            n.file.why = "its data begins as a file of another kind, not as a " + type + " file does";
        else
            n.file.why = "its data does not begin as a " + type + " file does";
        break;
    }
    default:
        n.file.verdict = Verdict::Unknown;
        n.file.why = "its data is free; its format has no structure checks";
        break;
    }
}

void MergedBackend::judgeNamed(Named &n, ScanJob &job)
{
    FoundFile &f = n.file;
    if (f.size == 0) {
        f.verdict = Verdict::Unknown;
        f.why = "it is empty";
        return;
    }
    if (!n.placed || n.runs.empty()) {
        f.verdict = Verdict::Unknown;
        f.why = f.readable() ? "where its data lies is not known" : f.note;
        return;
    }
    // Where its data is now.
    uint64_t lost = 0, used = 0, placed = 0, pos = 0, firstUsed = UINT64_MAX;
    for (const DataRun &r : n.runs) {
        if (r.offset == kRunLost) {
            lost += r.length;
        } else if (r.offset != kRunSparse) {
            placed += r.length;
            if (allocation(n.volume, r.offset, r.length) & SV_ALLOC_USED) {
                used += r.length;
                firstUsed = std::min(firstUsed, pos);
            }
        }
        pos += r.length;
    }
    if (used == placed && used + lost > 0 && (used > 0 || !f.readable())) {
        f.verdict = Verdict::Overwritten;
        f.why = used ? "none of its data is left: its place holds other files now"
                     : (f.note.empty() ? "none of its data could be placed on the volume" : f.note);
        return;
    }
    if (n.foreignAt == 0) {
        f.verdict = Verdict::Damaged;
        f.why = "a " + n.foreignType + " file found by content begins where it does";
        return;
    }
    if (used) {
        f.verdict = Verdict::Damaged;
        f.why = "part of its data (from byte " + std::to_string(firstUsed) + " on) is another file's now";
        return;
    }
    if (lost) {
        f.verdict = Verdict::Damaged;
        f.why = bytesText(lost) + " of it could not be placed on the volume";
        return;
    }
    // What its content says.
    const std::string type = canonicalType(f.type);
    if (n.confirmed && n.carvedSize <= f.size && n.contiguous >= n.carvedSize) {
        // The content search walked these very bytes from the first one.
        f.verdict = Verdict::Good;
        f.why = "its data is free and, found by content where it starts, its structure checks out to its end";
        return;
    }
    if (!engineKnows(type)) {
        f.verdict = n.sharedWith.empty() ? Verdict::Unknown : Verdict::Damaged;
        f.why = n.sharedWith.empty() ? "its data is free; its format has no structure checks"
                                     : "part of its data is claimed by " + n.sharedWith + " too";
        return;
    }
    if (!checking_ || job.stopRequested() || checkRead_ >= checkBudget_) {
        f.verdict = n.sharedWith.empty() ? Verdict::Unknown : Verdict::Damaged;
        f.why = !n.sharedWith.empty() ? "part of its data is claimed by " + n.sharedWith + " too"
                : checkRead_ >= checkBudget_
                    ? "its data is free; its structure was not checked (the checks read their share of the medium)"
                    : "its data is free; the scan was stopped before its structure was checked";
        return;
    }
    checkStructure(n, type);
    // A structure that checks out settles a shared claim in its favour.
    if (!n.sharedWith.empty() && f.verdict == Verdict::Unknown) {
        f.verdict = Verdict::Damaged;
        f.why = "part of its data is claimed by " + n.sharedWith + " too";
    }
}

void MergedBackend::merge(ScanJob &job)
{
    // A file the formatted-volume search finds where a file of the present
    // volume is (its own records, or a place taken since the format) is
    // not a file of an earlier volume; one the quick scan lists is listed once.
    for (Named &n : named_) {
        if (!n.formatted)
            continue;
        bool placed = n.placed && n.file.size && n.first != kRunLost && n.first != kRunSparse;
        if (sources_[n.file.source]->ofPresentVolume(n.file)) {
            n.drop = true;
            presentAgain_++;
            continue;
        }
        if (placed && (allocation(n.volume, n.first, 1) & SV_ALLOC_USED)) {
            n.drop = true;
            earlierVolume_++;
            continue;
        }
        if (!n.placed || !n.file.size)
            continue;
        auto it = firsts_[n.volume].find(n.first);
        if (it == firsts_[n.volume].end())
            continue;
        for (uint32_t other : it->second) {
            const Named &o = named_[other];
            if (&o != &n && !o.formatted && !o.drop && o.file.size == n.file.size) {
                n.drop = true;
                presentAgain_++;
                break;
            }
        }
    }
    indexPlaces();

    // Two listed files that claim the same bytes.
    for (size_t v = 0; v < spans_.size(); v++) {
        const auto &s = spans_[v];
        uint64_t far = 0;
        uint32_t farOwner = 0;
        for (const Span &sp : s) {
            if (sp.start < far && farOwner != sp.named) {
                // The later of two files with known times wrote over the
                // earlier one; without them neither claim wins.
                Named &a = named_[sp.named], &b = named_[farOwner];
                bool timed = a.file.mtime >= 0 && b.file.mtime >= 0 && a.file.mtime != b.file.mtime;
                if (a.sharedWith.empty() && (!timed || a.file.mtime < b.file.mtime))
                    a.sharedWith = b.file.name;
                if (b.sharedWith.empty() && (!timed || b.file.mtime < a.file.mtime))
                    b.sharedWith = a.file.name;
            }
            if (sp.end > far) {
                far = sp.end;
                farOwner = sp.named;
            }
        }
    }

    // Finds that waited: the same file as a listed one, inside one, or
    // found only by content.
    std::vector<Pending> waiting;
    for (Pending &p : pending_) {
        int same = sameFile(p.volume, p.start, p.file);
        if (same >= 0) {
            Named &n = named_[same];
            n.confirmed = true;
            n.carvedSize = std::max(n.carvedSize, p.file.size);
            confirmed_++;
            continue;
        }
        if (allocation(p.volume, p.start, 1) & SV_ALLOC_USED) {
            insideLive_++;
            continue;
        }
        waiting.push_back(std::move(p));
    }
    pending_.clear();

    // A scan of part of a volume lists the files whose data starts there.
    for (Named &n : named_) {
        const Volume &v = volumes_[n.volume];
        if (v.lo == 0 && v.delta == 0 && v.hi >= v.part->PartSize)
            continue;
        bool placed = n.placed && n.file.size && n.first != kRunLost && n.first != kRunSparse;
        int64_t at = placed ? (int64_t)n.first - v.delta : -1;
        if (!placed || at < (int64_t)v.lo || at >= (int64_t)v.hi)
            n.drop = true;
    }

    // Verdicts of the listed files.
    checkBudget_ = (req_.part ? req_.part->PartSize / 4 : 0) + (64ull << 20);
    job.setProgressSpan(100 - kFinalShare, kFinalShare);
    sv_progress_begin();
    size_t done = 0;
    for (Named &n : named_) {
        done++;
        if (n.drop)
            continue;
        raiseProgress((int32_t)(done * 99 / std::max<size_t>(1, named_.size())));
        judgeNamed(n, job);
    }

    std::vector<FoundFile> carved;
    for (Pending &p : waiting) {
        int h = holder(p.volume, p.start);
        if (h >= 0 && named_[h].file.verdict == Verdict::Good) {
            insideListed_++;
            continue;
        }
        if (h >= 0) {
            Named &n = named_[h];
            uint64_t at = 0, pos = 0;
            for (const DataRun &r : n.runs) {
                if (r.offset != kRunLost && r.offset != kRunSparse && p.start >= r.offset &&
                    p.start < r.offset + r.length) {
                    at = pos + (p.start - r.offset);
                    break;
                }
                pos += r.length;
            }
            if (n.file.verdict != Verdict::Overwritten) {
                n.file.verdict = Verdict::Damaged;
                n.file.why = "a " + p.file.type + " file found by content starts at byte " + std::to_string(at) +
                             " of it";
            }
        }
        listCarved(p.file, p.volume, p.start);
        carved.push_back(std::move(p.file));
    }
    sv_progress_finish();

    // Listed files first, then what only the content search found.
    std::vector<FoundFile> out;
    for (Named &n : named_) {
        if (n.drop)
            continue;
        if (n.confirmed) {
            n.file.confirmed = true;
            n.file.note = n.file.note.empty() ? "confirmed by content" : n.file.note + "; confirmed by content";
        }
        out.push_back(std::move(n.file));
    }
    job.setDeliveryHook({});
    job.deliverAll(std::move(out));
    job.deliverAll(std::move(carved));

    if (insideLive_)
        job.addNote(std::to_string(insideLive_) +
                    " found by content left out: files on the volume now, or parts of them (a picture in a "
                    "photo or a document, a file in an archive)");
    if (insideListed_)
        job.addNote(std::to_string(insideListed_) + " found by content left out: parts of listed files");
    if (earlierVolume_)
        job.addNote(std::to_string(earlierVolume_) + " file" + (earlierVolume_ == 1 ? "" : "s") +
                    " of a volume formatted over left out: new files lie where their data began");
}

Status MergedBackend::run(ScanJob &job)
{
    job_ = &job;
    for (const std::string &s : skipped_)
        job.addNote(s + " searched by content only: its scanner serves another volume of this scan; scan the "
                        "partition on its own for its names");
    // The file systems' own records.
    const int nv = (int)volumes_.size();
    for (int v = 0; v < nv && !job.stopRequested(); v++) {
        Volume &vol = volumes_[v];
        job.setProgressSpan(kQuickShare * v / std::max(1, nv), kQuickShare / std::max(1, nv));
        capture(vol.quick, v, false);
        Status s = sources_[vol.quick]->run(job);
        job.setDeliveryHook({});
        vol.quickRead = s.ok();
        if (!s.ok() && !job.stopRequested()) {
            std::string where = vol.label.empty() ? "the volume" : vol.label;
            job.addNote("the file system of " + where + " could not be read: " + s.text() +
                        "; its files were looked for by content only");
            sources_[vol.quick]->release();
            sources_[vol.quick].reset();
            vol.quick = -1;
            continue;
        }
        if (vol.formatted < 0)
            continue;
        if (sources_[vol.formatted]->beginFed()) {
            vol.fed = true;
            continue;
        }
        capture(vol.formatted, v, true);
        sources_[vol.formatted]->run(job);
        job.setDeliveryHook({});
    }
    for (uint32_t i = 0; i < named_.size(); i++)
        place(i);
    indexPlaces();

    // The content search, one pass; the formatted-volume searches ride on it.
    bool fed = false;
    for (const Volume &vol : volumes_)
        fed = fed || vol.fed;
    if (fed)
        sources_[0] = makeContentBackend(req_, [this](uint64_t off, const uint8_t *p, uint32_t n) {
            onWindow(off, p, n);
        });
    Status content;
    if (!job.stopRequested()) {
        job.setProgressSpan(kQuickShare, 100 - kQuickShare - kFinalShare);
        job.setDeliveryHook([this](FoundFile &f) { return onCarved(f); });
        content = sources_[0]->run(job);
        job.setDeliveryHook({});
    }
    checking_ = !job.stopRequested();
    for (int v = 0; v < nv; v++) {
        Volume &vol = volumes_[v];
        if (!vol.fed || job.stopRequested())
            continue;
        job.setProgressSpan(100 - kFinalShare, 0);
        size_t before = named_.size();
        capture(vol.formatted, v, true);
        sources_[vol.formatted]->run(job);
        job.setDeliveryHook({});
        for (size_t i = before; i < named_.size(); i++)
            place((uint32_t)i);
    }
    merge(job);
    return content;
}

}  // namespace

std::unique_ptr<ScanBackend> makeMergedBackend(const ScanRequest &req)
{
    if (req.contentOnly)
        return makeDeepBackend(req);
    auto b = std::make_unique<MergedBackend>(req);
    if (!b->ready())
        return nullptr;
    return b;
}

#else

std::unique_ptr<ScanBackend> makeMergedBackend(const ScanRequest &)
{
    return nullptr;
}

#endif

}  // namespace salvitra
