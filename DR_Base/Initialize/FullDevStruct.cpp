/*
 * Building and tearing down the device list: /dev/disk0 .. /dev/disk19.
 */
#include "merrow_i.h"
#include "DiskImage.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

static void fill_name(Physics_Device_Struct *dev, const sv_disk_desc &desc)
{
    char name[SV_DEVNAME_LEN * 4] = {};
    if (desc.has_vendor && desc.vendor[0])
        snprintf(name, sizeof name, "%s ", desc.vendor);
    size_t used = strlen(name);
    if (desc.model[0])
        snprintf(name + used, sizeof name - used, "%s", desc.model);
    /* DevName holds 49 characters and the terminator; longer names are cut
     * on a character boundary. */
    sv_copy_utf8_field(dev->DevName, sizeof dev->DevName, name, sizeof name);
}

extern "C" MERROW_EXPORT void FullDevStruct(void)
{
    __atomic_store_n(&ExportsData, 0, __ATOMIC_SEQ_CST);
    if (pthread_mutex_init(&hDataEvent, nullptr) != 0) {
        printf("error note: pthread_mutex_init funtion call fail ");
        return;
    }
    for (uint32_t n = SV_DEV_FIRST; n <= SV_DEV_LAST; n++) {
        char path[SV_DEVPATH_LEN];
        snprintf(path, sizeof path, "/dev/disk%u", n);
        Physics_Device_Struct *dev = GetDeviceData_APPLE_(path);
        if (!dev)
            continue;
        char resolved[4096];
        sv_disk_desc desc;
        if (sv_platform_resolve(path, resolved, sizeof resolved) &&
            sv_platform_describe(dev->Fd, resolved, &desc)) {
            /* An image read through a format's reader is named after its format. */
            if (const char *format = sv_image_format_name(dev))
                snprintf(desc.vendor, sizeof desc.vendor, "%s", format);
            fill_name(dev, desc);
        }
        dev->DevNum = (int32_t)n;
        Add_Dev_List(dev);
    }
}

extern "C" MERROW_EXPORT int FullDevStruct_exit(void)
{
    while (GlobPointer)
        Free_List(GlobPointer->data);
    return pthread_mutex_destroy(&hDataEvent);
}
