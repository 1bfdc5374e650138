/*
 * libpolder - the FAT scanner.
 *
 * Quick scan: finds the deleted files of a FAT12, FAT16 or FAT32 partition
 * by walking its directory tree from the root and reads their data back as
 * one contiguous run of clusters from the start cluster.
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
 * nReserved: for quick-scan records, the number of clusters from
 * nStartCluster on (up to the file's length) that the volume's FAT still
 * shows as free, which is the part of a deleted file that can still be its
 * own data (0xFFFFFFFF: not checked, on a volume with more deleted data
 * than one search checks); for formatted-search records, the 1-based
 * number of the rebuilt tree the record belongs to.
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
    uint32_t szName[]; /* 32-bit characters, zero-terminated */
} tagStFatInfo, *stPFatInFo;

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

#ifdef __cplusplus
}
#endif

#endif /* POLDER_H */
