/*
 * libpolder - the FAT scanner.
 *
 * Quick scan: finds the deleted files of a FAT12, FAT16 or FAT32 partition
 * by walking its directory tree from the root and reads their data back
 * from the start cluster through the free clusters that follow it.
 *
 * Formatted-volume search: finds the directory trees a quick format left
 * behind in the data area and rebuilds them under numbered "Dir%d" roots.
 *
 * Each search keeps its state in the library (one partition at a time);
 * every node and record it hands out belongs to the library until the
 * matching exit call.
 */
#ifndef POLDER_H
#define POLDER_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "merrow.h"
#include "polder_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * One kept directory entry, file or directory.
 *
 * Times are the entry's last-write time as stored: wSecond is the
 * two-second count (0..29), wYear counts from 1980.
 *
 * nReserved: for quick-scan records, how many of the file's clusters (up
 * to its length) the read finds in free space: the first cluster when the
 * FAT shows it free, then the next free clusters after it (0xFFFFFFFF: not
 * checked, on a volume with more deleted data than one search checks); when
 * fewer free clusters follow than the file needs (FAT_PLAN_SHORT), only
 * those before the first cluster of another kept record count, since that
 * record's data starts there; for
 * formatted-search records, the 1-based number of the rebuilt tree the
 * record belongs to.
 *
 * How a deleted file's data is read: its first cluster, then the clusters
 * after it that the FAT shows as free, in order, passing over the ones in
 * use.  A file written around a live file comes back whole this way, and
 * a file with nothing in between reads as one contiguous run.  bPlan says
 * what the quick scan learned about that path (FAT_PLAN_* bits), nSkipped
 * how many clusters in use it passes over inside the file's length.
 *
 * FAT32 entries deleted by Windows lose the high word of their first
 * cluster.  For such an entry (high word 0 on a volume with more than
 * 65536 clusters) the scan weighs the clusters low + k x 65536 up to where
 * the volume was ever written by what it finds there; nEntryCluster keeps
 * the cluster as the entry stores it and nStartCluster the one chosen.
 * When no place shows the file's type, the entry's own cluster is read if
 * it is free (FAT_PLAN_UNVERIFIED).
 *
 * Folders whose clusters the tree no longer reaches (a deleted folder's
 * later clusters, whose chain is gone) are looked for in the free
 * clusters; their files join the folder they belong to, or a folder named
 * "Lost folder N" when that is not known.
 */
typedef struct tagStFatInfo {
    uint32_t nReserved;
    uint32_t nStartCluster;
    uint32_t nFileSize;
    uint16_t wSecond;
    uint16_t wMinute;
    uint16_t wHour;
    uint16_t wDay;
    uint16_t wMonth;
    uint16_t wYear;
    uint8_t bDirectory;
    uint8_t bPlan;          /* FAT_PLAN_* bits (quick scan) */
    uint32_t nSkipped;      /* clusters in use passed over inside the file */
    uint32_t nEntryCluster; /* the first cluster as the entry stores it */
    uint32_t szName[]; /* 32-bit characters, zero-terminated */
} tagStFatInfo, *stPFatInFo;

/* bPlan bits of a quick-scan file record. */
#define FAT_PLAN_SKIPPED 0x01  /* clusters in use lie inside the file and are passed over */
#define FAT_PLAN_REUSED 0x02   /* its first cluster belongs to a live file now: the data is gone */
#define FAT_PLAN_SHORT 0x04    /* fewer free clusters follow than the file needs */
#define FAT_PLAN_REBUILT 0x08  /* cleared high word: the first cluster was chosen by what lies there */
#define FAT_PLAN_UNPLACED 0x10 /* cleared high word: no place fits the file; nothing is read */
#define FAT_PLAN_UNVERIFIED 0x20 /* cleared high word: no place shows the file's type; read where the entry points */

/*
 * One directory of the quick-scan result.  Nodes form a doubly linked list
 * in creation order, which is a depth-first pre-order of the directory
 * tree: the k-th directory record met in a depth-first walk over the entry
 * arrays belongs to the k-th node after the root.
 */
typedef struct tagStLinkNode {
    struct tagStLinkNode *pPrev;
    struct tagStLinkNode *pParent;   /* the root points to itself */
    tagStFatInfo **ppEntries;        /* null-terminated */
    uint32_t nStartCluster;
    uint32_t nCursor;                /* the consumer's walk position */
    uint8_t bDeleted;
    uint8_t bRoot;
    uint8_t bHasFile;
    uint32_t nReserved;
    struct tagStLinkNode *pNext;
} tagStLinkNode, StLinkNode;

/*
 * One directory of a rebuilt tree of the formatted-volume search.  A root
 * node carries its name ("Dir0", "Dir1", ...), the data-area start sector
 * and (in nReserved) the sectors per cluster inferred for its tree; all
 * sectors are 512 bytes.
 */
#pragma pack(push, 1)
typedef struct tagStFmtDirNode {
    struct tagStFmtDirNode *pPrev;
    uint32_t nDataSectorStart;
    uint32_t nStartCluster;
    uint32_t nReserved;
    char szName[8];
    tagStFatInfo **ppEntries;        /* null-terminated */
    struct tagStFmtDirNode *pParent; /* a root points to itself */
    uint32_t nReserved2;
    uint8_t bRoot;
    struct tagStFmtDirNode *pNext;
} tagStFmtDirNode;
#pragma pack(pop)

/* ---- quick scan ---- */
POLDER_EXPORT bool fat_init(Partiton_Struct *part);
POLDER_EXPORT tagStLinkNode *fat_searchfile(bool search, int *fileCount, int *dirCount);
POLDER_EXPORT bool fat_readfile(tagStFatInfo *info, void *buffer, unsigned long length,
                                int64_t *sectorPos);
POLDER_EXPORT void fat_exit(void);

/* ---- formatted-volume search ---- */
POLDER_EXPORT bool fat_fmtRec_init(Partiton_Struct *part);
/* The null-terminated array of rebuilt tree roots. */
POLDER_EXPORT tagStFmtDirNode **fat_fmtRec_search(int unused);
POLDER_EXPORT bool fat_fmtRec_readfile(tagStFatInfo *info, void *buffer, unsigned long length,
                                       int64_t *sectorPos);
POLDER_EXPORT void fat_fmtStop(void);
POLDER_EXPORT void fat_fmtRec_exit(void);

/* ---- for the merged deep scan ---- */
/* The runs of a quick-scan file's data as fat_readfile reads them (see
 * Salvitra_RunFn); 1 when described, 0 when the record has no place. */
POLDER_EXPORT int fat_file_runs(const tagStFatInfo *info, Salvitra_RunFn fn, void *context);
/* The same for a file of the formatted-volume search. */
POLDER_EXPORT int fat_fmtRec_file_runs(const tagStFatInfo *info, Salvitra_RunFn fn, void *context);
/* SV_ALLOC_* bits for a byte range of the partition, from the FAT of the
 * volume fat_init read (the areas before the first cluster count as in use). */
POLDER_EXPORT int fat_in_use(uint64_t offset, uint64_t length);
/* The formatted-volume search without its own pass over the partition:
 * after fat_fmtRec_init, fat_fmtRec_feed takes the partition's bytes in
 * order (offset from the partition's start, a multiple of 512), and
 * fat_fmtRec_rebuild then builds the trees from what was fed, as
 * fat_fmtRec_search would. */
POLDER_EXPORT void fat_fmtRec_feed(uint64_t offset, const void *data, uint32_t length);
POLDER_EXPORT tagStFmtDirNode **fat_fmtRec_rebuild(void);

#ifdef __cplusplus
}
#endif

#endif /* POLDER_H */
