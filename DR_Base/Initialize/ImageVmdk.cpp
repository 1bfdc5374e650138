/*
 * VMware disks (.vmdk), read through libvmdk: sparse and stream-optimised
 * files, and descriptor files with their extents beside them.  An extent
 * named outside the descriptor's folder, and a disk that holds only the
 * changes to a parent, are refused.
 */
#include "DiskImage.h"

#include <cstring>
#include <string>

#ifdef SV_HAVE_LIBVMDK
#include <libvmdk.h>
#endif

namespace {

bool vmdk_claims(const sv_image_probe *p)
{
    static const char kDescriptor[] = "# Disk DescriptorFile";
    return (p->head_len >= 4 && (memcmp(p->head, "KDMV", 4) == 0 || memcmp(p->head, "COWD", 4) == 0)) ||
           (p->head_len >= sizeof kDescriptor - 1 && memcmp(p->head, kDescriptor, sizeof kDescriptor - 1) == 0);
}

#ifdef SV_HAVE_LIBVMDK

void vmdk_why(libvmdk_error_t **err, char *why, size_t why_len, const char *what)
{
    char text[512] = "";
    if (err && *err) {
        libvmdk_error_sprint(*err, text, sizeof text);
        libvmdk_error_free(err);
    }
    sv_image_lib_why(why, why_len, "VMDK Image", what, text);
}

void vmdk_close(void *reader)
{
    auto *h = static_cast<libvmdk_handle_t *>(reader);
    libvmdk_handle_close(h, nullptr);
    libvmdk_handle_free(&h, nullptr);
}

/* Every extent lies in the descriptor's own folder. */
bool extents_beside(libvmdk_handle_t *h, char *why, size_t why_len)
{
    int count = 0;
    if (libvmdk_handle_get_number_of_extents(h, &count, nullptr) != 1 || count <= 0) {
        sv_image_why(why, why_len, "VMDK image: its descriptor names no extent");
        return false;
    }
    for (int i = 0; i < count; i++) {
        libvmdk_extent_descriptor_t *d = nullptr;
        if (libvmdk_handle_get_extent_descriptor(h, i, &d, nullptr) != 1)
            return false;
        uint8_t name[1024] = {};
        size_t size = 0;
        bool ok = libvmdk_extent_descriptor_get_utf8_filename_size(d, &size, nullptr) == 1 && size <= sizeof name &&
                  libvmdk_extent_descriptor_get_utf8_filename(d, name, sizeof name, nullptr) == 1;
        libvmdk_extent_descriptor_free(&d, nullptr);
        if (!ok || strchr(reinterpret_cast<char *>(name), '/') || strcmp(reinterpret_cast<char *>(name), "..") == 0) {
            sv_image_why(why, why_len, "VMDK image: extent %d is not a file beside the descriptor", i + 1);
            return false;
        }
    }
    return true;
}

void *vmdk_open(const char *path, sv_image_geometry *geom, char *why, size_t why_len)
{
    libvmdk_error_t *err = nullptr;
    libvmdk_handle_t *h = nullptr;
    if (libvmdk_handle_initialize(&h, &err) != 1 || libvmdk_handle_open(h, path, LIBVMDK_OPEN_READ, &err) != 1) {
        vmdk_why(&err, why, why_len, "it could not be opened");
        if (h)
            libvmdk_handle_free(&h, nullptr);
        return nullptr;
    }
    size_t parent = 0;
    if (libvmdk_handle_get_utf8_parent_filename_size(h, &parent, nullptr) == 1 && parent > 1) {
        sv_image_why(why, why_len,
                     "VMDK image: it holds only the changes to its parent disk; open the parent instead");
        vmdk_close(h);
        return nullptr;
    }
    if (!extents_beside(h, why, why_len)) {
        vmdk_close(h);
        return nullptr;
    }
    std::string dir = path;
    size_t slash = dir.find_last_of('/');
    dir = slash == std::string::npos ? "." : dir.substr(0, slash == 0 ? 1 : slash);
    size64_t size = 0;
    if (libvmdk_handle_set_extent_data_files_path(h, dir.c_str(), dir.size(), &err) != 1 ||
        libvmdk_handle_open_extent_data_files(h, &err) != 1) {
        vmdk_why(&err, why, why_len, "its extent files could not be opened");
        vmdk_close(h);
        return nullptr;
    }
    if (libvmdk_handle_get_media_size(h, &size, &err) != 1) {
        vmdk_why(&err, why, why_len, "its size could not be read");
        vmdk_close(h);
        return nullptr;
    }
    geom->media_size = size;
    geom->sector_size = 512;
    return h;
}

int64_t vmdk_read(void *reader, uint8_t *dst, uint32_t len, uint64_t off)
{
    return libvmdk_handle_read_buffer_at_offset(static_cast<libvmdk_handle_t *>(reader), dst, len, (off64_t)off,
                                                nullptr);
}

#define SV_VMDK_BUILT true

#else

void *vmdk_open(const char *, sv_image_geometry *, char *why, size_t why_len)
{
    return sv_image_not_built(&sv_image_vmdk, why, why_len);
}
int64_t vmdk_read(void *, uint8_t *, uint32_t, uint64_t) { return -1; }
void vmdk_close(void *) {}

#define SV_VMDK_BUILT false

#endif

} // namespace

const sv_image_format sv_image_vmdk = {
    "VMDK Image", "*.vmdk", "libvmdk", SV_VMDK_BUILT, vmdk_claims, vmdk_open, vmdk_read, vmdk_close,
};
