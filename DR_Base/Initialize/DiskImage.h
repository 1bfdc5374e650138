/*
 * Disk images in container formats: one table of readers (split raw,
 * EnCase, VHD, VHDX, VMDK).  A device record opened from such a file keeps
 * the descriptor of the file it was opened from as its key, reads through
 * the operations table Image_System, and the format's reader serves the
 * bytes.  Plain raw images are not in the table: they are read through
 * Apple_System like any device.  Internal to libmerrow.
 */
#ifndef SV_DISK_IMAGE_H
#define SV_DISK_IMAGE_H

#include "merrow.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What a reader says about the medium it opened. */
typedef struct sv_image_geometry {
    uint64_t media_size;   /* bytes of the disk inside the container */
    uint32_t sector_size;  /* logical sector size the container records, 512 when it records none */
} sv_image_geometry;

/* The first and last bytes of a file, for the claims below. */
typedef struct sv_image_probe {
    const char *path;
    uint64_t file_size;
    uint8_t head[1024];
    size_t head_len;
    uint8_t tail[512];
    size_t tail_len;
} sv_image_probe;

typedef struct sv_image_format {
    const char *name;      /* "EnCase image" */
    const char *patterns;  /* file-name patterns for open dialogs, blank separated */
    const char *library;   /* the library that reads it, NULL when built in */
    bool built;            /* that library was found when Salvitra was built */
    /* True when the file is of this format (signature, or name and siblings). */
    bool (*claims)(const sv_image_probe *probe);
    /* Opens the image read-only; NULL with a reason in why. */
    void *(*open)(const char *path, sv_image_geometry *geom, char *why, size_t why_len);
    /* Reads len bytes at off (off + len <= media_size): bytes read, or -1. */
    int64_t (*read)(void *reader, uint8_t *dst, uint32_t len, uint64_t off);
    void (*close)(void *reader);
} sv_image_format;

/* The rows, one file per format (ImageSplit.cpp, ImageEwf.cpp, ...). */
extern const sv_image_format sv_image_split;
extern const sv_image_format sv_image_ewf;
extern const sv_image_format sv_image_vhdx;
extern const sv_image_format sv_image_vhd;
extern const sv_image_format sv_image_vmdk;

/* The operations table of device records read through a format's reader:
 * writes are refused (-1), reads go to the reader. */
extern DeviceOps Image_System;

/* The format of the file at path (by signature, then by name), or NULL for
 * a plain raw image.  A file that cannot be read is taken as raw. */
const sv_image_format *sv_image_detect(const char *path);

/*
 * Called by the device opener for every descriptor it opened: a regular
 * file in a container format gets its reader (DiskSize, SectorSize and Ops
 * of dev are set from it); anything else is left as it is.  False when the
 * file is in a format that cannot be opened (why says so): the device is
 * then not listed.
 */
bool sv_image_attach(Physics_Device_Struct *dev, const char *path, char *why, size_t why_len);
/* Releases the reader of a device record (nothing for other records). */
void sv_image_detach(Physics_Device_Struct *dev);
/* The format's name for a device record read through a reader, or NULL. */
const char *sv_image_format_name(const Physics_Device_Struct *dev);

/* Tests only: makes a row behave as if its library had not been found. */
void sv_image_pretend_missing(const sv_image_format *fmt, bool missing);

/* Helpers shared by the readers. */
void sv_image_why(char *why, size_t why_len, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
/* "NAME: WHAT: TEXT", with TEXT the first line of a library's message
 * less the name of the function it came from. */
void sv_image_lib_why(char *why, size_t why_len, const char *name, const char *what, const char *text);
/* "Salvitra was built without LIB, which reads NAME files". */
void *sv_image_not_built(const sv_image_format *fmt, char *why, size_t why_len);

#ifdef __cplusplus
}
#endif

#endif /* SV_DISK_IMAGE_H */
