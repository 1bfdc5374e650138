/*
 * Virtual hard disks: VHD (fixed and dynamic) and VHDX, read through
 * libvhdi.  A differencing disk holds only what changed since its parent
 * and is refused.
 */
#include "DiskImage.h"

#include <cstring>

#ifdef SV_HAVE_LIBVHDI
#include <libvhdi.h>
#endif

namespace {

bool vhdx_claims(const sv_image_probe *p)
{
    return p->head_len >= 8 && memcmp(p->head, "vhdxfile", 8) == 0;
}

/* The footer "conectix" closes every VHD; dynamic disks copy it to the front. */
bool vhd_claims(const sv_image_probe *p)
{
    return (p->tail_len == 512 && memcmp(p->tail, "conectix", 8) == 0) ||
           (p->head_len >= 8 && memcmp(p->head, "conectix", 8) == 0);
}

#ifdef SV_HAVE_LIBVHDI

void vhdi_why(libvhdi_error_t **err, char *why, size_t why_len, const char *name, const char *what)
{
    char text[512] = "";
    if (err && *err) {
        libvhdi_error_sprint(*err, text, sizeof text);
        libvhdi_error_free(err);
    }
    sv_image_lib_why(why, why_len, name, what, text);
}

void vhdi_close(void *reader)
{
    auto *f = static_cast<libvhdi_file_t *>(reader);
    libvhdi_file_close(f, nullptr);
    libvhdi_file_free(&f, nullptr);
}

void *vhdi_open(const sv_image_format *fmt, const char *path, sv_image_geometry *geom, char *why, size_t why_len)
{
    libvhdi_error_t *err = nullptr;
    libvhdi_file_t *f = nullptr;
    if (libvhdi_file_initialize(&f, &err) != 1 || libvhdi_file_open(f, path, LIBVHDI_OPEN_READ, &err) != 1) {
        vhdi_why(&err, why, why_len, fmt->name, "it could not be opened");
        if (f)
            libvhdi_file_free(&f, nullptr);
        return nullptr;
    }
    uint32_t type = 0;
    if (libvhdi_file_get_disk_type(f, &type, nullptr) == 1 && type == LIBVHDI_DISK_TYPE_DIFFERENTIAL) {
        sv_image_why(why, why_len,
                     "%s: a differencing disk holds only the changes to its parent disk; open the parent instead",
                     fmt->name);
        vhdi_close(f);
        return nullptr;
    }
    size64_t size = 0;
    if (libvhdi_file_get_media_size(f, &size, &err) != 1) {
        vhdi_why(&err, why, why_len, fmt->name, "its size could not be read");
        vhdi_close(f);
        return nullptr;
    }
    uint32_t bps = 0;
    if (libvhdi_file_get_bytes_per_sector(f, &bps, nullptr) != 1)
        bps = 512;
    geom->media_size = size;
    geom->sector_size = bps;
    return f;
}

void *vhdx_open(const char *path, sv_image_geometry *geom, char *why, size_t why_len)
{
    return vhdi_open(&sv_image_vhdx, path, geom, why, why_len);
}

void *vhd_open(const char *path, sv_image_geometry *geom, char *why, size_t why_len)
{
    return vhdi_open(&sv_image_vhd, path, geom, why, why_len);
}

int64_t vhdi_read(void *reader, uint8_t *dst, uint32_t len, uint64_t off)
{
    return libvhdi_file_read_buffer_at_offset(static_cast<libvhdi_file_t *>(reader), dst, len, (off64_t)off, nullptr);
}

#define SV_VHDI_BUILT true

#else

void *vhdx_open(const char *, sv_image_geometry *, char *why, size_t why_len)
{
    return sv_image_not_built(&sv_image_vhdx, why, why_len);
}
void *vhd_open(const char *, sv_image_geometry *, char *why, size_t why_len)
{
    return sv_image_not_built(&sv_image_vhd, why, why_len);
}
int64_t vhdi_read(void *, uint8_t *, uint32_t, uint64_t) { return -1; }
void vhdi_close(void *) {}

#define SV_VHDI_BUILT false

#endif

} // namespace

const sv_image_format sv_image_vhdx = {
    "VHDX Image", "*.vhdx", "libvhdi", SV_VHDI_BUILT, vhdx_claims, vhdx_open, vhdi_read, vhdi_close,
};

const sv_image_format sv_image_vhd = {
    "VHD Image", "*.vhd", "libvhdi", SV_VHDI_BUILT, vhd_claims, vhd_open, vhdi_read, vhdi_close,
};
