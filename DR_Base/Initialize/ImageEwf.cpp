/*
 * EnCase / Expert Witness images (.E01, .E02, ...; .Ex01), read through
 * libewf.  Naming the first segment finds the others.
 */
#include "DiskImage.h"

#include <cstring>

#ifdef SV_HAVE_LIBEWF
#include <libewf.h>
#endif

namespace {

bool ewf_claims(const sv_image_probe *p)
{
    static const uint8_t kEwf1[8] = {'E', 'V', 'F', 0x09, 0x0d, 0x0a, 0xff, 0x00};
    static const uint8_t kEwf2[8] = {'E', 'V', 'F', '2', 0x0d, 0x0a, 0x81, 0x00};
    return p->head_len >= 8 && (memcmp(p->head, kEwf1, 8) == 0 || memcmp(p->head, kEwf2, 8) == 0);
}

#ifdef SV_HAVE_LIBEWF

/* The library's own words, first line only. */
void ewf_why(libewf_error_t **err, char *why, size_t why_len, const char *what)
{
    char text[512] = "";
    if (err && *err) {
        libewf_error_sprint(*err, text, sizeof text);
        libewf_error_free(err);
    }
    sv_image_lib_why(why, why_len, "EnCase Image", what, text);
}

void ewf_close(void *reader)
{
    auto *h = static_cast<libewf_handle_t *>(reader);
    libewf_handle_close(h, nullptr);
    libewf_handle_free(&h, nullptr);
}

void *ewf_open(const char *path, sv_image_geometry *geom, char *why, size_t why_len)
{
    libewf_error_t *err = nullptr;
    char **names = nullptr;
    int count = 0;
    if (libewf_glob(path, strlen(path), LIBEWF_FORMAT_UNKNOWN, &names, &count, &err) != 1 || count <= 0) {
        ewf_why(&err, why, why_len, "its segment files could not be found");
        return nullptr;
    }
    libewf_handle_t *h = nullptr;
    bool opened = libewf_handle_initialize(&h, &err) == 1 &&
                  libewf_handle_open(h, names, count, LIBEWF_OPEN_READ, &err) == 1;
    libewf_glob_free(names, count, nullptr);
    if (!opened) {
        ewf_why(&err, why, why_len, "it could not be opened");
        if (h)
            libewf_handle_free(&h, nullptr);
        return nullptr;
    }
    size64_t size = 0;
    uint32_t bps = 0;
    if (libewf_handle_get_media_size(h, &size, &err) != 1) {
        ewf_why(&err, why, why_len, "its media size could not be read");
        ewf_close(h);
        return nullptr;
    }
    if (libewf_handle_get_bytes_per_sector(h, &bps, nullptr) != 1)
        bps = 512;
    geom->media_size = size;
    geom->sector_size = bps;
    return h;
}

int64_t ewf_read(void *reader, uint8_t *dst, uint32_t len, uint64_t off)
{
    ssize_t n = libewf_handle_read_random(static_cast<libewf_handle_t *>(reader), dst, len, (off64_t)off, nullptr);
    return n;
}

#else

void *ewf_open(const char *, sv_image_geometry *, char *why, size_t why_len)
{
    return sv_image_not_built(&sv_image_ewf, why, why_len);
}
int64_t ewf_read(void *, uint8_t *, uint32_t, uint64_t) { return -1; }
void ewf_close(void *) {}

#endif

} // namespace

#ifdef SV_HAVE_LIBEWF
#define SV_EWF_BUILT true
#else
#define SV_EWF_BUILT false
#endif

const sv_image_format sv_image_ewf = {
    "EnCase Image", "*.E01 *.e01 *.Ex01 *.ex01", "libewf", SV_EWF_BUILT, ewf_claims, ewf_open, ewf_read, ewf_close,
};
