/*
 * libhollin - the exFAT scanner.
 *
 * Quick scan: walks the directory tree of an exFAT volume from the root,
 * through live and deleted folders alike, and keeps every file and folder
 * entry set whose in-use bits are cleared (and everything found inside a
 * deleted folder).  Found files are read back through the plan the library
 * makes for each of them from the allocation bitmap and the FAT.
 *
 * Some drivers give a folder's trailing clusters back once every entry in
 * them is deleted (and clear their FAT entries).  A folder whose last
 * cluster ends without an end mark is therefore followed into free, not yet
 * walked clusters after it that hold only directory entries and carry on
 * the entry set its last cluster cuts.  A deleted folder's clusters that
 * are in use again are never read as its contents.
 *
 * One scan exists at a time per process: exfat_init -> exfat_searchfile ->
 * any number of exfat_readfile calls -> exfat_exit.  Every record handed
 * out belongs to the library until exfat_exit (or the next search).  The
 * volume is only read, through the partition record's device.
 *
 * What a deleted file's data is taken to be:
 *  - "no FAT chain" sets are contiguous from their first cluster;
 *  - chained files follow their FAT chain when it is intact (it reaches
 *    the file's length without loops, bad or end marks) and every cluster
 *    of it is free in the allocation bitmap;
 *  - otherwise the data is taken as the free clusters from the first
 *    cluster on, skipping clusters the bitmap marks in use (a guess: the
 *    record says so).
 * A file whose clusters now (partly) belong to other files is listed and
 * marked: the clusters still free are read, the ones in use are given as
 * zeros, never as another file's bytes.  When none is free (or the first
 * cluster of a chained file is in use) nothing of it can be read.  Bytes
 * past the valid data length are zeros.
 */
#ifndef HOLLIN_H
#define HOLLIN_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "hollin_export.h"
#include "merrow.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One of the three timestamps of an entry set, decoded. */
typedef struct tagExfatTime {
    int64_t tUnix;        /* seconds since 1970-01-01; wall time when !bUtc; 0: none */
    uint16_t wMilli;      /* 0..1990, from the 10 ms part */
    int16_t nUtcMinutes;  /* the offset stored with it (when bUtc) */
    uint8_t bUtc;         /* tUnix is UTC (the entry carried a valid offset) */
    uint8_t bValid;       /* the stamp holds a real date */
} tagExfatTime;

/* How a record's data can be read. */
enum {
    EXFAT_DATA_EMPTY = 0,     /* no data (length 0, or a folder) */
    EXFAT_DATA_EXACT = 1,     /* contiguous (no FAT chain), every cluster free */
    EXFAT_DATA_CHAIN = 2,     /* an intact FAT chain of free clusters */
    EXFAT_DATA_GUESSED = 3,   /* free clusters from the first on, used ones skipped */
    EXFAT_DATA_DAMAGED = 4,   /* some clusters in use or past the end: zeros there */
    EXFAT_DATA_OVERWRITTEN = 5, /* nothing of it is still free */
    EXFAT_DATA_INVALID = 6,   /* its first cluster is not a cluster of the volume */
    EXFAT_DATA_UNCHECKED = 7  /* not planned during the search (budget spent) */
};

/*
 * One file or folder entry set.  Records form one list in walk order (a
 * folder comes before its contents); pParent is the folder the set lies in
 * (null: the root).  Live folders are kept so that paths can be built;
 * live files are not kept.
 */
typedef struct tagExfatFile {
    struct tagExfatFile *pNext;
    struct tagExfatFile *pParent;
    uint32_t nId;               /* 1-based, in list order */
    uint16_t wAttributes;       /* 0x10 folder, 0x01 read-only, 0x02 hidden, 0x04 system, 0x20 archive */
    uint8_t bDirectory;
    uint8_t bDeleted;           /* the set, or a folder above it, is deleted */
    uint8_t bSetDeleted;        /* the set's own in-use bits are cleared */
    uint8_t bNoFatChain;
    uint8_t bDataState;         /* EXFAT_DATA_* */
    uint8_t nNameLength;        /* UTF-16 units, 1..255 */
    uint32_t nFirstCluster;
    uint64_t nValidDataLength;  /* capped by nDataLength */
    uint64_t nDataLength;       /* as stored */
    uint64_t nSize;             /* nDataLength capped by the volume's cluster heap */
    uint32_t nClusters;         /* clusters the size needs */
    uint32_t nMissing;          /* of those: in use, past the end or unreadable (zeros) */
    uint32_t nSkipped;          /* GUESSED: clusters in use that were stepped over */
    uint64_t nEntryOffset;      /* byte offset of the file entry in the partition */
    tagExfatTime stCreate;
    tagExfatTime stModify;
    tagExfatTime stAccess;
    uint16_t szName[256];       /* nNameLength UTF-16 units, then a zero */
} tagExfatFile;

/* Reads the boot region (and its checksum), the allocation bitmap's and
 * up-case table's entries of the root.  Returns false when the partition
 * holds no usable exFAT volume. */
HOLLIN_EXPORT bool exfat_init(Partiton_Struct *part);

/* Walks the volume; returns the first record (null when nothing was found
 * or the volume is not initialised).  The counts are of deleted files and
 * of folders walked.  Raises the shared progress value to 100 at the end
 * (a stop request, 200, is left as it is and ends the walk). */
HOLLIN_EXPORT tagExfatFile *exfat_searchfile(int *fileCount, int *dirCount);

/* Getters; a null record gives null / 0. */
HOLLIN_EXPORT tagExfatFile *exfat_get_next(const tagExfatFile *rec);
HOLLIN_EXPORT tagExfatFile *exfat_get_parent(const tagExfatFile *rec);
HOLLIN_EXPORT uint64_t exfat_get_filesize(const tagExfatFile *rec);

/* Cluster size in bytes, 0 before exfat_init. */
HOLLIN_EXPORT uint32_t exfat_get_blocksize(void);

/*
 * Reads length bytes of record's data from file offset offset into buffer.
 * Parts that are not the file's (clusters now in use, past the end of the
 * volume, past the valid data length) are zeros, as are parts that could
 * not be read; *unreadable (may be null) gets the number of clusters that
 * failed to read.  Returns the number of bytes delivered (less than length
 * only at the end of the file), or -1 for a bad request.
 */
HOLLIN_EXPORT int64_t exfat_readfile(tagExfatFile *record, uint64_t offset, void *buffer, uint32_t length,
                                     uint32_t *unreadable);

/* For the merged deep scan: the runs of a record's data as exfat_readfile
 * reads them (see Salvitra_RunFn; bytes past the valid data length are
 * SV_RUN_SPARSE), 1 when described, 0 when the record has no place; and
 * the SV_ALLOC_* bits of a
 * byte range of the partition from the allocation bitmap (the boot regions
 * and the FATs count as in use). */
HOLLIN_EXPORT int exfat_file_runs(const tagExfatFile *record, Salvitra_RunFn fn, void *context);
HOLLIN_EXPORT int exfat_in_use(uint64_t offset, uint64_t length);

/* Frees every record and the volume state; init may be called again. */
HOLLIN_EXPORT void exfat_exit(void);

#ifdef __cplusplus
}
#endif

#endif /* HOLLIN_H */
