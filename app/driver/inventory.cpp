#include "inventory.h"

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

    FullDevStruct();
    FullPartitionBlock();
    built_ = true;
    snapshot();
    char text[256];
    Rejection r;
    for (int32_t i = 0; Salvitra_GetRejection(i, &r.devNum, &r.offset, text, sizeof text) == 0; i++) {
        r.reason = text;
        rejections_.push_back(r);
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
    devices_.clear();
    partitions_.clear();
    wholeDevices_.clear();
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
        partitions_.push_back(info);
    }
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
