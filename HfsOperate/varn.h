/*
 * libvarn - the HFS+ scanner.
 *
 * Finds files and folders of an HFS+ volume through the copies of catalog
 * B-tree leaf nodes that the volume's journal still holds (the quick scan),
 * or through the leaf nodes of the catalog file itself, and streams a found
 * file's data fork back from the volume.  The volume is only read, through
 * the partition record's device.
 *
 * One scan exists at a time per process: hfsp_init -> hfsp_searchfile ->
 * any number of hfsxx_readwirtelogfile streams -> hfsp_exit.  Records stay
 * owned by the library until hfsp_exit.
 */
#ifndef VARN_H
#define VARN_H

#include <stddef.h>
#include <stdint.h>

#include "merrow.h"
#include "varn_export.h"

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 1)

/* One extent as it lies on disk: both values big-endian. */
typedef struct hfsp_extent {
    uint32_t startBlock;
    uint32_t blockCount;
} hfsp_extent;

/*
 * One file or folder found in a catalog leaf node (the program's file_info).
 * Values are in host byte order except the extents, which keep the disk's
 * big-endian order.  Extents holds the data fork's first extent when
 * HasDataFork, then the resource fork's first extent when HasRsrcFork.
 */
typedef struct hfsp_file_list_Journal {
    uint8_t NameLen;          /* name length in UTF-16 units, 1..255 */
    uint16_t RecordType;      /* 1 folder, 2 file */
    uint8_t HasDataFork;      /* files: the data fork has allocated blocks */
    uint8_t HasRsrcFork;      /* files: the resource fork has allocated blocks */
    uint64_t DataSize;        /* files: data fork logical size in bytes */
    uint32_t CreateDate;      /* seconds since 1904-01-01 00:00 UTC */
    uint32_t ParentID;        /* CNID of the folder holding it */
    uint32_t FileID;          /* its own CNID */
    uint8_t reserved[8];
    uint16_t *Name;           /* NameLen UTF-16 units (host order) and a zero unit */
    struct hfsp_file_list_Journal *Prev;
    struct hfsp_file_list_Journal *Next;
    hfsp_extent Extents[];
} hfsp_file_list_Journal;

#pragma pack(pop)

typedef hfsp_file_list_Journal file_info;

/*
 * A file record with HasDataFork set carries, after its standard Extents
 * slots, the whole extent record of its data fork as the catalog holds it:
 * eight extents, on-disk byte order, the unused ones zero.  Data beyond
 * these eight extents lives in the extents overflow file and is not known.
 */
static inline const hfsp_extent *hfsp_data_extents(const hfsp_file_list_Journal *rec)
{
    if (!rec || rec->RecordType != 2 || !rec->HasDataFork)
        return (const hfsp_extent *)0;
    return rec->Extents + rec->HasDataFork + rec->HasRsrcFork;
}

enum { HFSP_RECORD_FOLDER = 1, HFSP_RECORD_FILE = 2 };

/* Remembers the partition and reads its volume header and catalog node
 * size.  Returns 1, or 0 when the partition is null or holds no readable
 * HFS+ / HFSX volume header. */
VARN_EXPORT int hfsp_init(Partiton_Struct *part);

/* Mode 1: the journal scan; returns the head of the journal list (null when
 * nothing was found).  Mode 0: hands the partition to the signature engine
 * and returns null.  Any other mode does nothing. */
VARN_EXPORT hfsp_file_list_Journal *hfsp_searchfile(int mode);

/* The same leaf-node search over the catalog file; returns the head of the
 * catalog list. */
VARN_EXPORT hfsp_file_list_Journal *hfsp_searchCatalogFile(void);

/* Frees every list and the volume state; init may be called again. */
VARN_EXPORT void hfsp_exit(void);

/* Allocation block size of the volume, 0 before hfsp_init. */
VARN_EXPORT int hfsp_get_blocksize(void);

/*
 * Reads the next length bytes of record's data fork into buffer.  A new
 * record starts at file position 0; the same record continues where the
 * previous call ended; last = 1 clears the stream state after the read.
 * Returns length, or the number of bytes read before a position that
 * cannot be read (the rest of buffer is zeroed), or -1 when nothing could
 * be read.
 */
VARN_EXPORT int32_t hfsxx_readwirtelogfile(hfsp_file_list_Journal *record, void *buffer,
                                           uint32_t length, int last);

/*
 * Getters for signature-engine records of the layout
 * {prev pointer, 32-byte name, size u64, start offset u64, next pointer}.
 * Null records give 0 (the start offset: all bits set).
 */
VARN_EXPORT void *hfsp_get_next(void *record);
VARN_EXPORT void *hfsp_get_pre(void *record);
VARN_EXPORT char *hfsp_get_filename(void *record);
VARN_EXPORT uint64_t hfsp_get_filesize(void *record);
VARN_EXPORT uint64_t hfsp_get_startsec(void *record);

/*
 * Streams such a record block by block from the scanned partition.  While
 * more than one block remains, reads one block at *position, advances it,
 * sets *got to the block size and returns 1; then reads the remaining
 * bytes, sets *got to 0 and returns 0.  A zero *position starts at the
 * record's start offset.  A null record resets the stream and returns 0.
 */
VARN_EXPORT int hfsp_readfile(void *record, int32_t *got, uint64_t *position, void *buffer);

/* For the merged deep scan: the runs of a journal record's data fork as
 * hfsxx_readwirtelogfile reads it (see Salvitra_RunFn; what no stored
 * extent covers is SV_RUN_LOST), 1 when described, 0 without a volume; and
 * the SV_ALLOC_* bits of a byte range of the partition from the volume's
 * allocation file (the first two blocks' worth of bytes hold the volume
 * header). */
VARN_EXPORT int hfsp_file_runs(const hfsp_file_list_Journal *record, Salvitra_RunFn fn, void *context);
VARN_EXPORT int hfsp_in_use(uint64_t offset, uint64_t length);

#ifdef __cplusplus
}
#endif

#endif /* VARN_H */
