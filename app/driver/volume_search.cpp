// The search for lost volumes as a job, and the sfdisk script of a layout.
#include "volume_search.h"

#include <algorithm>

#include "inventory.h"
#include "text.h"

namespace salvitra {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

VolumeSearchJob::VolumeSearchJob(Inventory &inventory, int devNum, JobObserver *observer)
    : inventory_(inventory), devNum_(devNum), observer_(observer)
{
}

VolumeSearchJob::~VolumeSearchJob()
{
    stop();
    if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id())
        worker_.join();
    release();
}

void VolumeSearchJob::release()
{
    bool held;
    {
        std::lock_guard<std::mutex> l(mu_);
        held = holding_;
        holding_ = false;
    }
    if (held)
        inventory_.unhold();
}

bool VolumeSearchJob::start()
{
    if (ran_.load() || worker_.joinable())
        return false;
    worker_ = std::thread([this] { run(); });
    return true;
}

Status VolumeSearchJob::run()
{
    if (ran_.exchange(true))
        return wait();
    const DeviceInfo *d = inventory_.built() ? inventory_.device(devNum_) : nullptr;
    if (!d) {
        Status s{StatusCode::NotSupported, "there is no device " + std::to_string(devNum_)};
        finish(s);
        return s;
    }
    result_.devNum = devNum_;
    result_.devPath = d->path;
    result_.devSize = d->size;
    result_.sectorSize = d->sectorSize;
    // The records stay while the search reads through them.
    inventory_.hold();
    {
        std::lock_guard<std::mutex> l(mu_);
        holding_ = true;
        start_ = Clock::now();
        lastReport_ = start_;
        total_ = d->size;
        if (state_.load() == JobState::Idle)
            state_.store(paused_ ? JobState::Paused : JobState::Running);
    }

    Volume_Search vs;
    int32_t rc = stop_ ? -2 : Salvitra_SearchVolumes(devNum_, &VolumeSearchJob::gateThunk, this, &vs);
    Status s;
    if (rc == -2) {
        s = {StatusCode::Stopped, "stopped before it began"};
    } else if (rc != 0) {
        s = {StatusCode::UnreadableMedium, "the device could not be read"};
    } else {
        for (uint32_t i = 0; i < vs.Count; i++) {
            FoundVolume f;
            f.vol = vs.Volumes[i];
            result_.volumes.push_back(f);
        }
        result_.bytesRead = vs.BytesRead;
        result_.unreadable = vs.Unreadable;
        result_.stopped = vs.Stopped != 0;
        result_.truncated = vs.Truncated != 0;
        Salvitra_FreeSearch(&vs);
        checkVolumes();
        if (result_.stopped || stop_)
            s = {StatusCode::Stopped, "stopped by the user; the volumes found until then are listed"};
    }
    finish(s);
    return s;
}

void VolumeSearchJob::checkVolumes()
{
    // Each volume as its own scanner library sees it; a volume the table
    // lists is that table's.
    for (FoundVolume &f : result_.volumes) {
        if (f.vol.Flags & SV_VOL_IN_TABLE)
            continue;
        Partiton_Struct *p = Salvitra_MakeFoundPartition(&f.vol, 0);
        if (!p) {
            f.checked = true;
            f.note = "its structures could not be read again";
            continue;
        }
        Status st = checkVolume(p);
        Salvitra_FreePartition(p);
        // Only a scanner that looked at the volume can refuse it.
        f.checked = st.ok() || st.code == StatusCode::NotThisFileSystem || st.code == StatusCode::UnreadableMedium;
        f.accepted = st.ok() || !f.checked;
        if (st.code == StatusCode::NotSupported)
            f.note = "no quick scan for this file system: a deep scan finds its files";
        else if (!f.checked)
            f.note = "not checked by its scanner: " + st.reason;
        else if (!st.ok())
            f.note = "its scanner refuses it: " + st.reason;
    }
}

bool VolumeSearchJob::gateThunk(void *context, uint64_t done, uint64_t total)
{
    return static_cast<VolumeSearchJob *>(context)->gate(done, total);
}

bool VolumeSearchJob::gate(uint64_t done, uint64_t total)
{
    bool report = false;
    {
        std::unique_lock<std::mutex> l(mu_);
        done_ = done;
        total_ = total;
        cv_.wait(l, [&] { return !paused_ || stop_; });
        if (observer_ && Clock::now() - lastReport_ >= std::chrono::milliseconds(intervalMs_)) {
            lastReport_ = Clock::now();
            report = true;
        }
    }
    if (report) {
        Progress p = progress();
        std::lock_guard<std::mutex> o(observerMu_);
        observer_->onProgress(p);
    }
    return !stop_.load(std::memory_order_acquire);
}

void VolumeSearchJob::finish(const Status &s)
{
    {
        std::lock_guard<std::mutex> l(mu_);
        status_ = s;
        ended_ = true;
        state_.store(JobState::Finished);
    }
    cv_.notify_all();
    if (observer_) {
        std::lock_guard<std::mutex> o(observerMu_);
        observer_->onProgress(progress());
        observer_->onFinished(s);
    }
}

Status VolumeSearchJob::wait()
{
    if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id())
        worker_.join();
    std::unique_lock<std::mutex> l(mu_);
    cv_.wait(l, [&] { return ended_ || !ran_.load(); });
    return status_;
}

bool VolumeSearchJob::waitFor(int timeoutMs)
{
    std::unique_lock<std::mutex> l(mu_);
    return cv_.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return ended_; });
}

void VolumeSearchJob::stop()
{
    std::lock_guard<std::mutex> l(mu_);
    stop_.store(true, std::memory_order_release);
    paused_ = false;
    JobState s = state_.load();
    if (s == JobState::Running || s == JobState::Paused)
        state_.store(JobState::Stopping);
    cv_.notify_all();
}

void VolumeSearchJob::pause()
{
    std::lock_guard<std::mutex> l(mu_);
    if (stop_ || ended_)
        return;
    paused_ = true;
    if (state_.load() == JobState::Running)
        state_.store(JobState::Paused);
}

void VolumeSearchJob::resume()
{
    {
        std::lock_guard<std::mutex> l(mu_);
        paused_ = false;
        if (state_.load() == JobState::Paused)
            state_.store(JobState::Running);
    }
    cv_.notify_all();
}

Status VolumeSearchJob::status() const
{
    std::lock_guard<std::mutex> l(mu_);
    return status_;
}

Progress VolumeSearchJob::progress() const
{
    std::lock_guard<std::mutex> l(mu_);
    Progress p;
    p.bytesTotal = total_;
    p.bytesDone = ended_ && !stop_ ? total_ : done_;
    p.percent = total_ ? (int)std::min<uint64_t>(100, p.bytesDone * 100 / total_) : (ended_ ? 100 : 0);
    if (start_ != Clock::time_point{})
        p.seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    if (p.seconds > 0.05 && p.bytesDone)
        p.bytesPerSecond = (double)p.bytesDone / p.seconds;
    if (p.bytesPerSecond > 0 && p.bytesTotal >= p.bytesDone && !ended_)
        p.secondsLeft = (double)(p.bytesTotal - p.bytesDone) / p.bytesPerSecond;
    p.files = ended_ ? result_.volumes.size() : 0;
    return p;
}

// ---- the layout as an sfdisk script ----

namespace {

struct Span {
    uint64_t start, sectors;
    int fsType;
    std::string name;
};

const char *dosType(int fs)
{
    switch (fs) {
    case FS_FAT12: return "1";
    case FS_FAT16: return "6";
    case FS_FAT32: return "c";
    case FS_NTFS:
    case FS_EXFAT: return "7";
    case FS_HFS:
    case FS_HFSPLUS:
    case FS_HFSX: return "af";
    default: return "83";
    }
}

const char *gptType(int fs)
{
    switch (fs) {
    case FS_FAT12:
    case FS_FAT16:
    case FS_FAT32:
    case FS_NTFS:
    case FS_EXFAT: return "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";
    case FS_HFS:
    case FS_HFSPLUS:
    case FS_HFSX: return "48465300-0000-11AA-AA11-00306543ECAC";
    default: return "0FC63DAF-8483-4772-8E79-3D69D8477DE4";
    }
}

// A name for a GPT entry: printable, without quotes or backslashes.
std::string scriptName(const std::string &s)
{
    std::string out;
    for (unsigned char c : s)
        if (c >= 0x20 && c != 0x7F && c != '"' && c != '\\')
            out += (char)c;
    return out;
}

std::string line(const Span &s, const std::string &type, const std::string &name = std::string())
{
    std::string l = "start=" + std::to_string(s.start) + ", size=" + std::to_string(s.sectors) + ", type=" + type;
    if (!name.empty())
        l += ", name=\"" + name + "\"";
    return l + "\n";
}

// Sector 0 holds the protective MBR of a GUID partition table.
bool hadGpt(Physics_Device_Struct *dev, uint32_t ss)
{
    if (!dev || ss < 512 || ss > 65536)
        return false;
    std::vector<uint8_t> s0(ss);
    if (sv_dev_read(dev, s0.data(), ss, 0) != (int32_t)ss || s0[510] != 0x55 || s0[511] != 0xAA)
        return false;
    for (int i = 0; i < 4; i++)
        if (s0[446 + 16 * i + 4] == 0xEE)
            return true;
    return false;
}

}  // namespace

std::string sfdiskScript(const Inventory &inv, int devNum, std::string *why)
{
    auto fail = [&](const std::string &w) {
        if (why)
            *why = w;
        return std::string();
    };
    const DeviceInfo *d = inv.device(devNum);
    if (!d)
        return fail("there is no device " + std::to_string(devNum));
    const uint64_t ss = d->sectorSize > 0 ? (uint64_t)d->sectorSize : 512;
    const uint64_t total = d->size / ss;
    std::vector<Span> spans;
    for (const PartitionInfo &p : inv.partitions()) {
        if (p.devNum != devNum || p.viaDevNum >= 0)
            continue;
        // Volumes inside or across others are not partitions of the layout.
        if (p.found && (p.foundFlags & (SV_VOL_NESTED | SV_VOL_OVERLAP | SV_VOL_PAST_END)))
            continue;
        if (p.offset % ss != 0)
            return fail("the volume at byte " + std::to_string(p.offset) + " does not start on a sector");
        std::string name = p.volumeName == "Untitled" ? std::string() : p.volumeName;
        spans.push_back({p.offset / ss, (p.size + ss - 1) / ss, p.fsType, name});
    }
    if (spans.empty())
        return fail("no volumes to describe");
    std::sort(spans.begin(), spans.end(), [](const Span &a, const Span &b) { return a.start < b.start; });
    for (size_t i = 1; i < spans.size(); i++)
        if (spans[i].start < spans[i - 1].start + spans[i - 1].sectors)
            return fail("the volumes at sectors " + std::to_string(spans[i - 1].start) + " and " +
                        std::to_string(spans[i].start) + " overlap");
    const Span &last = spans.back();
    if (spans.front().start == 0)
        return fail("a volume starts at the device's first sector: there is no room for a partition table");
    if (last.start + last.sectors > total)
        return fail("the last volume ends past the device's end");

    // An MBR when every volume fits in one (32-bit sector numbers, and
    // room for an extended boot record before each logical partition).
    bool dos = last.start + last.sectors <= 0xFFFFFFFFull;
    for (size_t i = 3; dos && spans.size() > 4 && i < spans.size(); i++) {
        uint64_t before = i == 3 ? spans[2].start + spans[2].sectors : spans[i - 1].start + spans[i - 1].sectors;
        dos = spans[i].start > before;
    }
    // GPT keeps 34 sectors of 512 bytes (6 of 4096) at the front, 33 (5)
    // at the end.
    const uint64_t front = ss == 512 ? 34 : 2 + 16384 / ss, back = front - 1;
    bool gpt = spans.front().start >= front && last.start + last.sectors + back <= total;
    if (!dos && !gpt)
        return fail("the volumes leave no room for a partition table");
    // A device that had a GUID partition table (its protective MBR is
    // still there) gets one again.
    if (dos && gpt && hadGpt(d->dev, (uint32_t)ss))
        dos = false;

    std::string out;
    out += "# The volumes Salvitra found on " + d->path + ", as a partition table for sfdisk.\n";
    out += "# Salvitra never writes it.  Review it; to apply it yourself, on the whole device:\n";
    out += "#   sfdisk " + d->path + " < THIS-FILE\n";
    out += "# Writing a partition table replaces the one the device has now.\n";
    out += dos ? "label: dos\n" : "label: gpt\n";
    out += "unit: sectors\nsector-size: " + std::to_string(ss) + "\n\n";
    for (size_t i = 0; i < spans.size(); i++) {
        const Span &s = spans[i];
        if (dos && i == 3 && spans.size() > 4) {
            // An extended partition from right after the third volume (at
            // most 1 MiB before the fourth) to the end of the last one.
            uint64_t prevEnd = spans[2].start + spans[2].sectors;
            uint64_t gap = std::min<uint64_t>(s.start - prevEnd, 1024 * 1024 / ss);
            Span ext{s.start - gap, last.start + last.sectors - (s.start - gap), 0, ""};
            out += "# the extended partition holding the rest\n" + line(ext, "5");
        }
        out += "# " + fsShortLabel(s.fsType) + (s.name.empty() ? "" : " \"" + scriptName(s.name) + "\"") + "\n";
        out += dos ? line(s, dosType(s.fsType)) : line(s, gptType(s.fsType), scriptName(s.name));
    }
    return out;
}

}  // namespace salvitra
