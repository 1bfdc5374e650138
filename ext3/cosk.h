/*
 * libcosk - deleted files of an ext3 volume, found by their names.
 *
 * The live directory tree is walked from the root; inside each directory
 * block the entries are stepped over by their name length instead of their
 * record length, so that entries a deletion merged into the preceding one
 * become visible again.  A deleted regular file or symbolic link found this
 * way keeps its name.  ext3 clears the block pointers of deleted inodes, so
 * the records carry no block list: only the inode copy.
 *
 * One volume per process at a time: ext3_init -> ext3_searchfile -> reads ->
 * ext3_exit.  Every record stays owned by the library until ext3_exit.
 */
#ifndef COSK_H
#define COSK_H

#include <stdint.h>

#include "cosk_export.h"
#include "merrow.h"

#ifdef __cplusplus
extern "C" {
#endif

#define EXT3_NAME_LEN 1020
#define EXT3_INODE_COPY_LEN 128

/* One recorded directory entry: a deleted file or a live subdirectory. */
typedef struct Ext3FileNode {
    uint64_t Size;              /* i_size, i_size_high as upper half for non-directories */
    uint32_t Reserved[2];       /* zero */
    void *BlockList;            /* always null: no block list is built */
    uint8_t Inode[EXT3_INODE_COPY_LEN];
    char Name[EXT3_NAME_LEN];   /* the entry's name, NUL-terminated */
    uint8_t IsDir;              /* 1 for a subdirectory entry */
} Ext3FileNode;

/* One directory visited, in depth-first order. */
typedef struct Ext3DirNode {
    struct Ext3DirNode *Prev;   /* previously created node */
    uint32_t Reserved;          /* zero */
    struct Ext3DirNode *Parent; /* node of the containing directory, null for the root */
    Ext3FileNode **Files;       /* records, always followed by a null entry */
    uint8_t IsRoot;
    uint32_t DirNum;            /* free for the caller */
    void *TreeNode;             /* free for the caller */
    char Name[EXT3_NAME_LEN];   /* the directory's entry name, "" for the root */
    struct Ext3DirNode *Next;   /* next node in creation order */
} Ext3DirNode;

/* 1 when the partition holds an ext2/ext3 volume this library can walk, else 0. */
COSK_EXPORT int ext3_init(Partiton_Struct *part);
/* Walks the tree; the root's node, or null when the root cannot be read. */
COSK_EXPORT Ext3DirNode *ext3_searchfile(void);

COSK_EXPORT Ext3DirNode *ext3_get_next(Ext3DirNode *node);
COSK_EXPORT Ext3FileNode **ext3_get_filelist(Ext3DirNode *node);
/* Files[index], or null for a null node or an index past the last record. */
COSK_EXPORT Ext3FileNode *ext3_get_file(Ext3DirNode *node, uint32_t index);
COSK_EXPORT char *ext3_get_filename(Ext3FileNode *file);
/* Size, or -1 for null. */
COSK_EXPORT int64_t ext3_get_filesize(Ext3FileNode *file);
COSK_EXPORT int ext3_file_isdir(Ext3FileNode *file);

/* Caller's fields of a directory node; the setters return 0 for a null node. */
COSK_EXPORT int ext3_user_set_parantnode(Ext3DirNode *node, Ext3DirNode *parent);
COSK_EXPORT Ext3DirNode *ext3_user_get_parantnode(Ext3DirNode *node);
COSK_EXPORT int ext3_user_set_dirnum(Ext3DirNode *node, uint32_t num);
/* DirNum, or -1 for a null node. */
COSK_EXPORT int64_t ext3_user_get_dirnum(Ext3DirNode *node);
COSK_EXPORT int ext3_user_set_treenode(Ext3DirNode *node, void *treeNode);
COSK_EXPORT void *ext3_user_get_treenode(Ext3DirNode *node);

/* As ext2_readfile: copies min(length, block size) bytes of a volume block. */
COSK_EXPORT int ext3_readfile(Ext3FileNode *file, uint64_t length, uint64_t *got, uint64_t block,
                              void *buffer);

/* Frees every buffer and record, the superblock and the descriptors. */
COSK_EXPORT void ext3_exit(void);

#ifdef __cplusplus
}
#endif

#endif /* COSK_H */
