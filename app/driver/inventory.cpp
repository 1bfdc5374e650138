#include "inventory.h"

#include "text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace salvitra {

namespace {

bool checkImage(const std::string &path, std::string *err)
{
    struct stat sb;
    if (stat(path.c_str(), &sb) != 0) {
        if (err)
            *err = path + ": " + strerror(errno);
        return false;
    }
    if (!S_ISREG(sb.st_mode) && !S_ISBLK(sb.st_mode)) {
        if (err)
            *err = path + ": not a disk image or block device";
        return false;
    }
    // A block device this user may not open is opened through the device
    // broker, or listed with the reason, by the list build.
    if (S_ISBLK(sb.st_mode))
        return true;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        if (err)
            *err = path + ": " + strerror(errno);
        return false;
    }
    close(fd);
    if (S_ISREG(sb.st_mode) && sb.st_size == 0) {
        if (err)
            *err = path + ": the image is empty";
        return false;
    }
    // An image in a container format must open with its format's reader.
    char format[64], why[512];
    if (S_ISREG(sb.st_mode) && Salvitra_CheckDiskImage(path.c_str(), format, sizeof format, why, sizeof why) != 0) {
        if (err)
            *err = path + ": " + why;
        return false;
    }
    return true;
}

}  // namespace

Inventory::~Inventory()
{
    // The owner outlives its jobs; the lists go with the inventory.
    {
        std::lock_guard<std::mutex> l(holdMu_);
        holders_ = 0;
    }
    teardown();
}

bool Inventory::build(const std::vector<std::string> &images, std::string *err)
{
    if (!teardown()) {
        if (err)
            *err = "the device list is in use by a scan";
        return false;
    }
    if (images.size() > SV_DEV_LAST + 1) {
        if (err)
            *err = "at most 20 images can be named";
        return false;
    }
    for (const std::string &p : images)
        if (!checkImage(p, err))
            return false;

    std::vector<const char *> paths;
    for (const std::string &p : images)
        paths.push_back(p.c_str());
    Salvitra_SetDiskImages(paths.empty() ? nullptr : paths.data(), (int)paths.size());

    clearOpenOutcomes();
    FullDevStruct();
    FullPartitionBlock();
    built_ = true;
    images_ = images;
    snapshot();
    // Volumes earlier searches found stay listed while their device does.
    applySearches();
    snapshot();
    char text[256];
    Rejection r;
    for (int32_t i = 0; Salvitra_GetRejection(i, &r.devNum, &r.offset, text, sizeof text) == 0; i++) {
        r.reason = text;
        rejections_.push_back(r);
    }
    DeviceBroker *broker = deviceBroker();
    char path[4096];
    ClosedDevice c;
    for (int32_t i = 0; Salvitra_GetOpenFailure(i, &c.devNum, &c.err, path, sizeof path, text, sizeof text) == 0;
         i++) {
        c.path = path;
        c.reason = text;
        c.state = stateForError(c.err);
        lastOpenOutcome(c.path, &c.state, &c.reason);
        c.facts = DriveFacts();
        if (broker)
            broker->describe(c.path, &c.facts);
        c.displayName = driveDisplayName(c.facts, c.facts.size, c.path);
        closed_.push_back(c);
    }
    return true;
}

bool Inventory::teardown()
{
    if (holders() > 0)
        return false;
    if (!built_)
        return true;
    FullPartitionBlock_exit();
    FullDevStruct_exit();
    built_ = false;
    rejections_.clear();
    closed_.clear();
    devices_.clear();
    partitions_.clear();
    wholeDevices_.clear();
    foundRecords_.clear();
    return true;
}

void Inventory::hold()
{
    std::lock_guard<std::mutex> l(holdMu_);
    holders_++;
}

void Inventory::unhold()
{
    std::vector<std::string> images;
    std::function<void(bool, const std::string &)> done;
    {
        std::lock_guard<std::mutex> l(holdMu_);
        if (holders_ > 0)
            holders_--;
        if (holders_ > 0 || !pending_)
            return;
        pending_ = false;
        images = pendingImages_;
        done = onRebuilt_;
    }
    // The last holder let go: the rebuild asked for meanwhile happens now.
    std::string err;
    bool ok = rebuildNow(images, &err);
    if (done)
        done(ok, err);
}

int Inventory::holders() const
{
    std::lock_guard<std::mutex> l(holdMu_);
    return holders_;
}

bool Inventory::rebuildPending() const
{
    std::lock_guard<std::mutex> l(holdMu_);
    return pending_;
}

void Inventory::setOnRebuilt(std::function<void(bool, const std::string &)> fn)
{
    std::lock_guard<std::mutex> l(holdMu_);
    onRebuilt_ = std::move(fn);
}

Inventory::Rebuild Inventory::requestRebuild(const std::vector<std::string> &images, std::string *err)
{
    {
        std::lock_guard<std::mutex> l(holdMu_);
        if (holders_ > 0) {
            pending_ = true;
            pendingImages_ = images;
            return Rebuild::Deferred;
        }
    }
    return rebuildNow(images, err) ? Rebuild::Done : Rebuild::Failed;
}

bool Inventory::rebuildNow(const std::vector<std::string> &images, std::string *err)
{
    return build(images, err);
}

void Inventory::snapshot()
{
    devices_.clear();
    partitions_.clear();
    DeviceBroker *broker = deviceBroker();
    for (_Device_List *n = GlobPointer; n; n = n->next) {
        auto *d = static_cast<Physics_Device_Struct *>(n->data);
        DeviceInfo info;
        info.devNum = d->DevNum;
        info.name = std::string(d->DevName, strnlen(d->DevName, sizeof d->DevName));
        char path[4096];
        if (Salvitra_ResolveDiskPath((uint32_t)d->DevNum, path, sizeof path) == 0)
            info.path = path;
        else
            info.path = std::string(d->DevPath, strnlen(d->DevPath, sizeof d->DevPath));
        info.size = d->DiskSize;
        info.sectorSize = d->SectorSize;
        info.dev = d;
        struct stat sb;
        if (broker && fstat(d->Fd, &sb) == 0 && S_ISBLK(sb.st_mode))
            broker->describe(info.path, &info.facts);
        info.displayName = driveDisplayName(info.facts, info.size, info.name);
        devices_.push_back(info);
    }
    int index = 0;
    for (_Device_List *n = GlobPointerPartiton; n; n = n->next, index++) {
        auto *p = static_cast<Partiton_Struct *>(n->data);
        PartitionInfo info;
        info.index = index;
        info.devNum = p->DevNum;
        info.offset = p->PartOffset;
        info.size = p->PartSize;
        info.fsType = p->FsType;
        info.fsLabel = fsShortLabel(p->FsType);
        info.fsInfo = std::string(p->FsInfo, strnlen(p->FsInfo, sizeof p->FsInfo));
        info.volumeName = std::string(p->VolumeName, strnlen(p->VolumeName, sizeof p->VolumeName));
        if (info.volumeName.empty())
            info.volumeName = "Untitled";
        info.accessMode = p->AccessMode;
        info.bootable = p->Bootable != 0;
        if (p->AccessMode != '?' && p->Device)
            info.viaDevNum = p->Device->DevNum;
        info.part = p;
        for (const FoundRecord &f : foundRecords_)
            if (f.part == p)
                describeFound(info, f.search, f.volume);
        noteChoices(info);
        Salvitra_SizeClaim c;
        for (int32_t i = 0; Salvitra_GetSizeClaim(i, &c) == 0; i++) {
            if (c.DevNum == p->DevNum && c.PartOffset == p->PartOffset) {
                info.claimedSize = c.Claimed;
                info.cutByTable = c.ByTable != 0;
                info.claimSource = std::string(c.Source, strnlen(c.Source, sizeof c.Source));
            }
        }
        partitions_.push_back(info);
    }
}

namespace {

// The position of a record in the partition list (the partition index), or -1.
int listIndex(const Partiton_Struct *part)
{
    int i = 0;
    for (_Device_List *n = GlobPointerPartiton; n; n = n->next, i++)
        if (n->data == part)
            return i;
    return -1;
}

std::string offsetText(uint64_t bytes)
{
    return humanSize(bytes) + " (byte " + std::to_string(bytes) + ")";
}

const char *structureName(int fsType)
{
    switch (fsType) {
    case FS_EXT2:
    case FS_EXT3:
    case FS_EXT4: return "superblock";
    case FS_HFSPLUS:
    case FS_HFSX: return "volume header";
    default: return "boot sector";
    }
}

std::string lowerText(std::string s)
{
    for (char &c : s)
        c = (char)tolower((unsigned char)c);
    return s;
}

// "fat" takes every FAT, "ext" every ext, "hfs+" HFS+ and HFSX.
bool fsNameMatches(int fsType, const std::string &name)
{
    std::string n = lowerText(name), own = lowerText(fsShortLabel(fsType));
    if (n == own)
        return true;
    if (n == "fat" || n == "vfat")
        return fsType >= FS_FAT12 && fsType <= FS_FAT32;
    if (n == "ext")
        return fsType >= FS_EXT2 && fsType <= FS_EXT4;
    if (n == "hfs+" || n == "hfsplus" || n == "hfsx")
        return fsType == FS_HFSPLUS || fsType == FS_HFSX;
    return false;
}

}  // namespace

std::string foundVolumeHow(const Found_Volume &v)
{
    std::string how;
    if (!(v.Flags & SV_VOL_PRIMARY))
        how = std::string("found through its backup ") + structureName(v.FsType) + " at " + offsetText(v.Evidence) +
              ": its first " + structureName(v.FsType) + " is gone";
    if (v.Flags & SV_VOL_PAST_END)
        how += std::string(how.empty() ? "" : "; ") + "it says it is larger than the rest of the device: its end is missing";
    return how;
}

void Inventory::describeFound(PartitionInfo &info, size_t search, size_t volume) const
{
    const SearchResult &s = searches_[search];
    const Found_Volume &v = s.volumes[volume].vol;
    info.found = true;
    info.foundFlags = v.Flags;
    info.foundHow = foundVolumeHow(v);
    if (!s.volumes[volume].note.empty())
        info.foundHow += (info.foundHow.empty() ? "" : "; ") + s.volumes[volume].note;
    info.within = -1;
    if (v.Within <= -2) {
        info.within = -2 - v.Within;
    } else if (v.Within >= 0) {
        for (const FoundRecord &f : foundRecords_)
            if (f.search == search && f.volume == (size_t)v.Within)
                info.within = listIndex(f.part);
    }
    if (info.within >= 0 && (v.Flags & (SV_VOL_NESTED | SV_VOL_OVERLAP))) {
        std::string where = "[" + std::to_string(info.within) + "]";
        info.foundHow += std::string(info.foundHow.empty() ? "" : "; ") +
                         ((v.Flags & SV_VOL_NESTED) ? "lies inside " + where +
                                                          ": a disk image kept in a file there, or an older volume "
                                                          "under it"
                                                    : "overlaps " + where + ", whose structures agree better: part "
                                                                            "of it may be overwritten");
    }
}

void Inventory::noteChoices(PartitionInfo &info)
{
    Partiton_Struct *own = info.part;
    if (!own || !Salvitra_GetAlternative(own, 0))
        return;
    const DeviceInfo *dev = device(info.devNum);
    std::vector<Partiton_Struct *> recs{own};
    for (int32_t i = 0; Partiton_Struct *alt = Salvitra_GetAlternative(own, i); i++)
        recs.push_back(alt);
    for (Partiton_Struct *r : recs) {
        FsChoice c;
        c.fsType = r->FsType;
        c.fsLabel = fsShortLabel(r->FsType);
        c.volumeName = std::string(r->VolumeName, strnlen(r->VolumeName, sizeof r->VolumeName));
        if (c.volumeName.empty())
            c.volumeName = "Untitled";
        c.size = r->PartSize;
        c.part = r;
        // The scanner's own check, once per place and file system.
        std::string key = (dev ? dev->path : std::string()) + "@" + std::to_string(r->PartOffset) + "#" +
                          std::to_string(r->FsType) + "/" + std::to_string(r->PartSize);
        Status st;
        bool cached = false;
        for (const auto &k : checks_)
            if (k.first == key) {
                st = k.second;
                cached = true;
            }
        if (!cached) {
            st = checkVolume(r);
            if (st.code != StatusCode::Busy)
                checks_.emplace_back(key, st);
        }
        // Only a scanner that looked at the volume can refuse it.
        c.accepted = st.code != StatusCode::NotThisFileSystem && st.code != StatusCode::UnreadableMedium;
        if (!c.accepted)
            c.note = "its scanner refuses it: " + st.reason;
        info.choices.push_back(c);
    }
    info.ambiguous = true;
    info.chosen = 0;
    for (size_t i = 0; i < info.choices.size(); i++)
        if (info.choices[i].accepted) {
            info.chosen = (int)i;
            break;
        }
    const FsChoice &c = info.choices[(size_t)info.chosen];
    info.part = c.part;
    info.fsType = c.fsType;
    info.fsLabel = c.fsLabel;
    info.size = c.size;
    info.volumeName = c.volumeName;
    info.fsInfo = std::string(c.part->FsInfo, strnlen(c.part->FsInfo, sizeof c.part->FsInfo));
}

void Inventory::applySearches()
{
    foundRecords_.clear();
    for (size_t si = 0; si < searches_.size(); si++) {
        const SearchResult &s = searches_[si];
        const DeviceInfo *dev = nullptr;
        for (const DeviceInfo &d : devices_)
            if (d.path == s.devPath && d.size == s.devSize)
                dev = &d;
        if (!dev)
            continue;
        for (size_t vi = 0; vi < s.volumes.size(); vi++) {
            const FoundVolume &fv = s.volumes[vi];
            if (!fv.accepted || (fv.vol.Flags & SV_VOL_IN_TABLE))
                continue;
            Found_Volume v = fv.vol;
            v.DevNum = dev->devNum;
            Partiton_Struct *p = Salvitra_AddPartition(Salvitra_MakeFoundPartition(&v, 1));
            if (p)
                foundRecords_.push_back({p, si, vi});
        }
    }
}

bool Inventory::addSearch(const SearchResult &result, std::string *err)
{
    if (!built_ || holders() > 0) {
        if (err)
            *err = built_ ? "the device list is in use by a scan" : "the device list is not built";
        return false;
    }
    SearchResult r = result;
    // A volume an earlier search already listed is found again "in the
    // table": it stays a found volume.
    for (FoundVolume &fv : r.volumes) {
        if (!(fv.vol.Flags & SV_VOL_IN_TABLE) || fv.vol.Within > -2)
            continue;
        int t = -2 - fv.vol.Within;
        for (const FoundRecord &f : foundRecords_)
            if (listIndex(f.part) == t) {
                fv.vol.Flags &= ~(uint32_t)SV_VOL_IN_TABLE;
                fv.vol.Within = -1;
                fv.accepted = true;
                fv.checked = searches_[f.search].volumes[f.volume].checked;
            }
    }
    bool replaced = false;
    for (SearchResult &s : searches_)
        if (s.devPath == r.devPath && s.devSize == r.devSize) {
            s = r;
            replaced = true;
        }
    if (!replaced)
        searches_.push_back(r);
    std::vector<std::string> images = images_;
    return build(images, err);
}

const SearchResult *Inventory::lastSearch(int devNum) const
{
    const DeviceInfo *d = device(devNum);
    if (!d)
        return nullptr;
    for (const SearchResult &s : searches_)
        if (s.devPath == d->path && s.devSize == d->size)
            return &s;
    return nullptr;
}

bool Inventory::hasUnlistedSpace(int devNum) const
{
    const DeviceInfo *d = device(devNum);
    if (!d)
        return false;
    // A search that read the whole device found what there is.
    const SearchResult *s = lastSearch(devNum);
    if (s && !s->stopped)
        return false;
    const uint64_t kMiB = 1024 * 1024;
    // Tables leave gaps of a mebibyte (alignment, extended boot records);
    // a volume worth looking for is larger.
    const uint64_t kGap = 4 * kMiB;
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    for (const PartitionInfo &p : partitions_)
        if (p.devNum == devNum)
            spans.emplace_back(p.offset, p.offset + std::min(p.size, d->size - std::min(p.offset, d->size)));
    if (spans.empty())
        return true;
    std::sort(spans.begin(), spans.end());
    // The first MiB holds the table and the alignment gap.
    uint64_t at = kMiB;
    for (const auto &sp : spans) {
        if (sp.first > at && sp.first - at >= kGap)
            return true;
        at = std::max(at, sp.second);
    }
    return d->size > at && d->size - at >= kGap;
}

const FsChoice *findChoice(const PartitionInfo &p, const std::string &fsName)
{
    for (const FsChoice &c : p.choices)
        if (fsNameMatches(c.fsType, fsName))
            return &c;
    return nullptr;
}

Partiton_Struct *choiceRecord(const PartitionInfo &p, const std::string &fsName, std::string *why)
{
    if (fsName.empty())
        return p.part;
    if (p.choices.empty()) {
        if (fsNameMatches(p.fsType, fsName))
            return p.part;
    } else if (const FsChoice *c = findChoice(p, fsName)) {
        return c->part;
    }
    if (why) {
        std::string have;
        if (p.choices.empty())
            have = p.fsLabel;
        for (const FsChoice &c : p.choices)
            have += (have.empty() ? "" : ", ") + c.fsLabel;
        *why = "partition " + std::to_string(p.index) + " holds no " + fsName + " file system (it holds " + have + ")";
    }
    return nullptr;
}

std::string sizeClaimText(const PartitionInfo &p)
{
    if (p.claimedSize <= p.size)
        return "";
    return "the " + p.claimSource + " claims " + humanSize(p.claimedSize) + "; the " +
           (p.cutByTable ? "partition" : "device") + " holds " + humanSize(p.size);
}

const DeviceInfo *Inventory::device(int devNum) const
{
    for (const DeviceInfo &d : devices_)
        if (d.devNum == devNum)
            return &d;
    return nullptr;
}

const PartitionInfo *Inventory::partition(int index) const
{
    if (index < 0 || (size_t)index >= partitions_.size())
        return nullptr;
    return &partitions_[(size_t)index];
}

Partiton_Struct *Inventory::wholeDevice(int devNum)
{
    const DeviceInfo *d = device(devNum);
    if (!d)
        return nullptr;
    for (auto &p : wholeDevices_)
        if (p->Device == d->dev)
            return p.get();
    auto p = std::make_unique<Partiton_Struct>();
    p->DevNum = d->devNum;
    p->PartOffset = 0;
    p->PartSize = d->size;
    p->FsType = FS_UNKNOWN;
    p->Device = d->dev;
    p->AccessMode = 'W';  // not '?': offsets go to the device as they are
    snprintf(p->FsInfo, sizeof p->FsInfo, "Whole device");
    wholeDevices_.push_back(std::move(p));
    return wholeDevices_.back().get();
}

const DeviceInfo *Inventory::deviceOf(const Partiton_Struct *part) const
{
    if (!part || !part->Device)
        return nullptr;
    for (const DeviceInfo &d : devices_)
        if (d.dev == part->Device)
            return &d;
    // A private device copy: the partition names its device by number.
    return device(part->DevNum);
}

uint64_t deviceOffsetOf(const Partiton_Struct *part)
{
    if (!part || !part->Device)
        return 0;
    // A partition's own device copy adds the partition's offset itself; any
    // other record counts from the start of the device it names.
    const Partiton_Struct *owner = part->Device->OwnerPartition;
    uint64_t base = owner && owner->AccessMode == '?' ? owner->PartOffset : 0;
    return base + (owner == part && part->AccessMode == '?' ? 0 : part->PartOffset);
}

std::vector<ImageFormatInfo> imageFormats()
{
    std::vector<ImageFormatInfo> out;
    const char *name = nullptr, *patterns = nullptr;
    int32_t readable = 0;
    for (int32_t i = 0; Salvitra_GetImageFormat(i, &name, &patterns, &readable) == 0; i++)
        out.push_back({name ? name : "", patterns ? patterns : "", readable != 0});
    return out;
}

const char *fsTreeLabel(int fsType)
{
    switch (fsType) {
    case FS_FAT12: return "  FAT12 ";
    case FS_FAT16: return "  FAT16 ";
    case FS_FAT32: return "  FAT32 ";
    case FS_NTFS: return "  NTFS ";
    case FS_EXFAT: return "  exFAT ";
    case FS_EXT2: return "  EXT2 ";
    case FS_EXT3: return "  EXT3 ";
    case FS_EXT4: return "  EXT4 ";
    case FS_HFS: return "  HFS ";
    case FS_HFSPLUS: return "  HFS+ ";
    case FS_HFSX: return "  HFSX ";
    default: return "  Unknown ";
    }
}

std::string fsShortLabel(int fsType)
{
    std::string s = fsTreeLabel(fsType);
    size_t b = s.find_first_not_of(' ');
    size_t e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

}  // namespace salvitra
