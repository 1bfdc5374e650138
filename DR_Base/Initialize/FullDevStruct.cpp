/*
 * Building and tearing down the device list: /dev/disk0 .. /dev/disk19.
 */
#include "merrow_i.h"
#include "DiskImage.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

/* The /dev/diskN of the last build that stand for something but could not
 * be opened, for Salvitra_GetOpenFailure. */
struct OpenFailure {
    int32_t dev;
    int32_t err;
    std::string path;
    std::string text;
};
std::vector<OpenFailure> g_open_failures;

void copy_text(const std::string &s, char *out, size_t len)
{
    if (!out || len == 0)
        return;
    snprintf(out, len, "%s", s.c_str());
}

}  // namespace

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
    g_open_failures.clear();
    for (uint32_t n = SV_DEV_FIRST; n <= SV_DEV_LAST; n++) {
        char path[SV_DEVPATH_LEN];
        snprintf(path, sizeof path, "/dev/disk%u", n);
        sv_open_failure fail;
        Physics_Device_Struct *dev = sv_open_device(path, &fail);
        if (!dev) {
            if (fail.failed)
                g_open_failures.push_back({(int32_t)n, fail.err, fail.path, fail.text});
            continue;
        }
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
    g_open_failures.clear();
    return pthread_mutex_destroy(&hDataEvent);
}

extern "C" MERROW_EXPORT int32_t Salvitra_GetOpenFailure(int32_t index, int32_t *dev_num, int32_t *err, char *path,
                                                         size_t path_len, char *text, size_t text_len)
{
    if (index < 0 || (size_t)index >= g_open_failures.size())
        return -1;
    const OpenFailure &f = g_open_failures[(size_t)index];
    if (dev_num)
        *dev_num = f.dev;
    if (err)
        *err = f.err;
    copy_text(f.path, path, path_len);
    copy_text(f.text, text, text_len);
    return 0;
}
