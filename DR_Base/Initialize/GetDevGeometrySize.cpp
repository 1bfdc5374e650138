/*
 * Opening a device node into a device record: open flags, sector size,
 * media size and geometry.
 */
#include "merrow_i.h"
#include "DiskImage.h"

#include <cstring>

int32_t disk_get_sector_size(int fd, const char *path)
{
    sv_disk_desc desc;
    if (!sv_platform_describe(fd, path, &desc))
        return 0;
    return desc.sector_size;
}

uint64_t disk_get_size(int fd, const char *path, int32_t sector_size)
{
    (void)sector_size;
    sv_disk_desc desc;
    if (!sv_platform_describe(fd, path, &desc))
        return 0;
    return desc.media_size;
}

void disk_get_geometry(Physics_Device_Struct *geom, int fd, const char *path)
{
    (void)fd;
    (void)path;
    if (geom->Heads != 0 && geom->SectorsPerTrack != 0)
        return;
    geom->Cylinders = 0;
    geom->Heads = 1;
    geom->SectorsPerTrack = 1;
}

void disk_get_model(int fd, Physics_Device_Struct *dev)
{
    (void)fd;
    (void)dev;
}

uint64_t compute_device_size(void)
{
    return 0;
}

void Update_Disk_Car_Fields(Physics_Device_Struct *dev)
{
    if (dev->DiskSize != 0) {
        if (dev->Heads == 0 || dev->SectorsPerTrack == 0 || dev->SectorSize <= 0)
            return; /* rejected by the caller */
        uint64_t c = dev->DiskSize / dev->Heads / dev->SectorsPerTrack / (uint32_t)dev->SectorSize;
        uint32_t low = (uint32_t)c;
        if (low != 0 && dev->Cylinders != low)
            dev->Cylinders = low;
        if (dev->Cylinders == 0)
            dev->Cylinders = 1;
    } else {
        if (dev->Cylinders != 0)
            dev->DiskSize = dev->Cylinders * dev->Heads * dev->SectorsPerTrack *
                            (uint64_t)(uint32_t)dev->SectorSize;
        else
            dev->Cylinders = 1;
    }
}

Physics_Device_Struct *GetDeviceData_APPLE_(const char *path)
{
    return sv_open_device(path, nullptr);
}

Physics_Device_Struct *sv_open_device(const char *path, sv_open_failure *fail)
{
    if (fail)
        memset(fail, 0, sizeof *fail);
    char resolved[4096];
    if (!path || !sv_platform_resolve(path, resolved, sizeof resolved))
        return nullptr;

    int32_t flags = 0;
    sv_open_failure scratch;
    sv_open_failure *f = fail ? fail : &scratch;
    int fd = sv_platform_open(resolved, &flags, &f->err, f->text, sizeof f->text);
    if (fd < 0) {
        f->failed = true;
        sv_copy_field(f->path, sizeof f->path, resolved, sizeof resolved);
        return nullptr;
    }

    auto *dev = static_cast<Physics_Device_Struct *>(MALLOC(sizeof(Physics_Device_Struct)));
    dev->Fd = fd;
    sv_medium_open(fd, resolved);
    dev->OpenFlags = flags;
    dev->Ops = &Apple_System;
    dev->Cache = static_cast<ReadCache *>(MALLOC(sizeof(ReadCache)));

    dev->SectorSize = disk_get_sector_size(fd, resolved);
    disk_get_geometry(dev, fd, resolved);
    dev->DiskSize = disk_get_size(fd, resolved, dev->SectorSize);
    /* An image in a container format (split, EnCase, VHD, VMDK) is read
     * through its format's reader, which gives its size and sector size. */
    char why[256];
    if (!sv_image_attach(dev, resolved, why, sizeof why))
        dev->DiskSize = 0;

    /* A sector size of 0 (or one that is not a power of two of at least
     * 512 bytes) would break every offset computation: reject the device
     * like one of size 0. */
    int32_t ss = dev->SectorSize;
    if (ss < 512 || ss > 65536 || (ss & (ss - 1)) != 0)
        dev->DiskSize = 0;
    else
        Update_Disk_Car_Fields(dev);

    if (dev->DiskSize == 0) {
        Free_Dev(dev);
        return nullptr;
    }
    sv_copy_field(dev->DevPath, sizeof dev->DevPath, resolved, sizeof resolved);
    return dev;
}
