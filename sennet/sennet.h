/*
 * libsennet - the signature scan engine (deep scan / file carving).
 *
 * The engine reads a partition, or a byte range of it, through the
 * partition record's device and finds files by their content: every
 * 512-byte boundary is tested against the header signatures of the formats
 * it knows, and a header only counts when the format's own structure can
 * be walked to the file's true end.  Every found file is handed to the
 * callbacks registered in libmerrow (SCAN_TYPE 0) while the scan runs.
 *
 * Records are opaque handles owned by the engine until
 * Search_FileHeadRceoverMian_exit().  One scan exists at a time.
 *
 * Which bytes are scanned: PartSize bytes from sv_part_origin(record) of
 * its Device (merrow.h): a listed partition from 0 of its Device (its
 * private copy adds the partition offset, or another device holds exactly
 * the partition), any other record (a range copy, whose Device is that of
 * the record it was cut from, or a whole-device record) from PartOffset.
 * Recovery through the same record reads the same bytes.
 */
#ifndef SENNET_H
#define SENNET_H

#include <stdint.h>

#include "merrow.h"
#include "sennet_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Scans the whole range of the record; returns 0 when the range was scanned
 * to its end, 1 when a stop request ended it, -1 on a bad record. */
SENNET_EXPORT int Search_FileHeadRceoverMian(Partiton_Struct *part);
/* As Search_FileHeadRceoverMian, looking only for files of the named types
 * (a NULL-terminated list of type names as Sennet_KnownTypes gives them, or
 * extensions in any case: "jpg", "JPEG", "tiff"): no other format's header
 * is tested, and a file of another type that a chosen format finds (an AVI
 * where WAV was asked for) is passed over unreported.  NULL or an empty
 * list: every type.  Names the engine does not know are passed over; a list
 * of none it knows finds nothing and reads nothing. */
SENNET_EXPORT int Sennet_SearchTypes(Partiton_Struct *part, const char *const *types);
/* Called with every window of the medium the scan reads, in order: its
 * offset from the start of the scanned range, its bytes and their count.
 * Windows follow each other without gaps or overlaps, except that the
 * data of a file the scan found and walked to its end beyond the window is
 * passed over unread.  For searches of other structures that ride on the
 * scan's one pass over the medium instead of reading it again. */
typedef void (*Sennet_WindowWatch)(void *context, uint64_t offset, const void *data, uint32_t length);
/* As Sennet_SearchTypes, with a window watch (NULL: none). */
SENNET_EXPORT int Sennet_SearchWatched(Partiton_Struct *part, const char *const *types, Sennet_WindowWatch watch,
                                       void *context);
/* Frees every record and list of the last scan. */
SENNET_EXPORT void Search_FileHeadRceoverMian_exit(void);

/* Next type name among the found files; NULL ends the enumeration and the
 * next call starts again from the first name. */
SENNET_EXPORT const char *Get_Dir(void);
/* Record number index (from 0) of that type, in found order; NULL past the last. */
SENNET_EXPORT void *Get_File_pr(const char *type, int32_t index);
/* Type name of a record (valid until the _exit call); NULL for NULL. */
SENNET_EXPORT const char *Get_Type(void *record);
/* Size in bytes of a record; 0 for NULL. */
SENNET_EXPORT uint64_t Get_File_Size(void *record);
/* Byte offset of a record from the start of the scanned range; 0 for NULL. */
SENNET_EXPORT uint64_t Get_File_Offset(void *record);
/* Next piece of a record's data: fills len bytes (zeros past the file's end
 * or where the device fails) and moves the read cursor on.  Returns the
 * number of file bytes delivered, 0 at the end, -1 on bad arguments or a
 * failed read. */
SENNET_EXPORT int32_t Get_file_data(Partiton_Struct *part, void *record, void *buf, uint32_t len);
/* Rewinds the read cursor. */
SENNET_EXPORT void Set_fileRW_Head(void);

/* Names of every type the engine can report, NULL-terminated (for front
 * ends that offer a type filter). */
SENNET_EXPORT const char *const *Sennet_KnownTypes(void);

/* What Sennet_HeaderFits learned about the first bytes of a file. */
#define SENNET_FIT_UNKNOWN (-1) /* the type is not one the engine knows, and no known header begins there */
#define SENNET_FIT_NO 0         /* the type is known, and no header at all begins there */
#define SENNET_FIT_YES 1        /* a header of that type begins there */
#define SENNET_FIT_OTHER 2      /* a header of another type begins there */

/* Tests whether the len bytes at head begin a file of the given type (a
 * file-name extension, any case: "jpg", "JPEG", "pdf", ...), by the same
 * header checks the scan uses.  For callers that know a file's name and a
 * place its data may start, such as a file-system scanner choosing between
 * candidate locations. */
SENNET_EXPORT int Sennet_HeaderFits(const char *type, const void *head, uint32_t len);

/* What Sennet_CheckFile learned about a file's structure. */
#define SENNET_CHECK_UNKNOWN (-1) /* the engine has no structure check for the type */
#define SENNET_CHECK_BROKEN 0     /* a header of the type begins there, and its structure breaks at *at */
#define SENNET_CHECK_GOOD 1       /* the structure checks out to the format's end, *at (<= size) */
#define SENNET_CHECK_NO_HEADER 2  /* the bytes do not begin a file of the type (*at: 0) */

/* Reads length bytes at offset of the file into buffer; returns the number
 * of bytes read (less only where the file ends or cannot be read). */
typedef int64_t (*Sennet_Reader)(void *context, uint64_t offset, void *buffer, uint32_t length);

/* Walks the structure of a file of the given type (an extension, any case)
 * whose size bytes the reader gives, with the same checks the scan uses,
 * and says how far it checks out: SENNET_CHECK_*.  For files whose place
 * a file system knows, before they are read back. */
SENNET_EXPORT int Sennet_CheckFile(const char *type, uint64_t size, Sennet_Reader read, void *context,
                                   uint64_t *at);

#ifdef __cplusplus
}
#endif

#endif /* SENNET_H */
