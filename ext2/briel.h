/*
 * libbriel - deleted files of an ext2 volume, found through its inode tables.
 *
 * Deleted inodes carry no names, so every file found is presented as
 * "LostFile(%d)" inside a pseudo folder "Group(%d)" for the block group whose
 * inode table held it.  Each record keeps the file's size and its list of data
 * blocks, so that the data can be read back one block at a time.
 *
 * One volume per process at a time: ext2_init -> ext2_searchfile -> reads ->
 * ext2_exit.  Every record stays owned by the library until ext2_exit.
 */
#ifndef BRIEL_H
#define BRIEL_H

#include <stdint.h>

#include "briel_export.h"
#include "merrow.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Kinds for ext2_get_filename. */
#define EXT2_NAME_OF_DIR 100
#define EXT2_NAME_OF_FILE 102

#define EXT2_FILE_NAME_LEN 1020
#define EXT2_DIR_NAME_LEN 512
#define EXT2_INODE_COPY_LEN 128

/* One deleted regular file or symbolic link. */
typedef struct Ext2FileNode {
    uint64_t Size;              /* i_size with i_size_high as the upper half */
    uint32_t Reserved[2];       /* zero */
    uint32_t *BlockList;        /* ceil(Size / block size) block numbers in file order; 0 = not
                                   located (a hole, or a pointer block that could not be read);
                                   null for a short symbolic link and an empty file */
    uint8_t *Inode;             /* 128-byte copy of the inode */
    char Name[EXT2_FILE_NAME_LEN]; /* "LostFile(%d)", 0-based within the group */
    uint8_t Reserved2;          /* zero */
} Ext2FileNode;

/* One scanned block group. */
typedef struct Ext2DirNode {
    struct Ext2DirNode *Prev;
    Ext2FileNode **Files;       /* FileCount records, always followed by a null entry */
    uint32_t Reserved;          /* zero */
    uint32_t FileCount;
    char Name[EXT2_DIR_NAME_LEN]; /* "Group(%d)", 0-based */
    struct Ext2DirNode *Next;
} Ext2DirNode;

/* 1 when the partition holds an ext2 volume this library can scan, else 0. */
BRIEL_EXPORT int ext2_init(Partiton_Struct *part);
/* Scans every block group; the first group node, or null when nothing was scanned. */
BRIEL_EXPORT Ext2DirNode *ext2_searchfile(void);

BRIEL_EXPORT Ext2DirNode *ext2_get_next(Ext2DirNode *node);
BRIEL_EXPORT Ext2FileNode **ext2_get_filelist(Ext2DirNode *node);
/* Files[index], or null for a null node or an index at or past FileCount. */
BRIEL_EXPORT Ext2FileNode *ext2_get_file(Ext2DirNode *node, uint32_t index);
/* kind 102: the Name of an Ext2FileNode; 100: of an Ext2DirNode; else null. */
BRIEL_EXPORT char *ext2_get_filename(void *record, int kind);
/* Size, or -1 for null. */
BRIEL_EXPORT int64_t ext2_get_filesize(Ext2FileNode *file);
BRIEL_EXPORT uint32_t *ext2_get_fileblocklist(Ext2FileNode *file);
BRIEL_EXPORT uint32_t ext2_get_blocksize(void);

/*
 * Reads one block of the volume for a found file.  On success the first
 * min(length, block size) bytes of the block are copied into buffer (nothing
 * is written past them), that count is stored in *got and 1 is returned.
 * A null record, a block outside the volume or a failed device read store 0
 * and return 0.
 */
BRIEL_EXPORT int ext2_readfile(Ext2FileNode *file, uint64_t length, uint64_t *got, uint64_t block,
                               void *buffer);

/* For the merged deep scan: SV_ALLOC_* bits of a byte range of the
 * partition from the block bitmaps. */
BRIEL_EXPORT int ext2_in_use(uint64_t offset, uint64_t length);

/* Frees every buffer and record; the library can be initialised again. */
BRIEL_EXPORT void ext2_exit(void);

#ifdef __cplusplus
}
#endif

#endif /* BRIEL_H */
