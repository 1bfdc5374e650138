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
 * ext3 and ext4 volumes also give their deleted files back with data:
 * when a file is deleted its inode loses its block pointers or extents,
 * but the journal still holds earlier copies of the inode-table block
 * from recent transactions.  ext3_journal_searchfile finds, for every
 * deleted inode, the newest copy in which it was still in use, takes its
 * block map or extent tree from there, keeps the blocks that are still
 * free and names the file from its directory entries (the live tree and
 * the journal's copies of directory blocks).  A volume whose journal still
 * needs recovery is read as if the journal had been replayed: in memory
 * only, the medium is never written.  A deleted inode the journal has no
 * copy of, but which still carries its block pointers or extents (older
 * kernels, debugfs, a crash before they were cleared), is read in place
 * when its blocks are free; journal copies come first.
 *
 * One volume per process at a time: ext3_init -> ext3_searchfile and/or
 * ext3_journal_searchfile -> reads -> ext3_exit.  Every record stays owned
 * by the library until ext3_exit.
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

#define EXT3_JNAME_LEN 256

/* A deleted file whose inode came back from the journal, or from its inode
 * table when the inode still maps its data. */
typedef struct Ext3JournalFile {
    uint64_t Size;              /* bytes, from the inode copy */
    uint32_t InodeNumber;
    uint32_t ParentInode;       /* directory whose entry named it; 0 when none was found */
    uint16_t Mode;              /* i_mode of the inode copy */
    uint8_t State;              /* EXT3_JFILE_WHOLE or EXT3_JFILE_DAMAGED */
    uint8_t Reserved;
    uint32_t Generation;
    uint64_t ReusedBlocks;      /* data blocks another file holds now: read as zeros */
    uint64_t MissingBlocks;     /* data blocks that could not be located: read as zeros */
    int64_t Atime, Ctime, Mtime, Crtime, Dtime;  /* seconds since the epoch; -1 unknown */
    char Name[EXT3_JNAME_LEN];  /* "" when no directory entry names it */
    char *Folder;               /* "" for the root, "a/b" below it; null when the folder is unknown */
} Ext3JournalFile;

#define EXT3_JFILE_WHOLE 0
#define EXT3_JFILE_DAMAGED 1

/* 1 when the partition holds an ext2, ext3 or ext4 volume this library can
 * walk (a journal that needs recovery is replayed in memory), else 0. */
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

/* Block size of the volume, 0 before ext3_init. */
COSK_EXPORT uint32_t ext3_get_blocksize(void);
/* The root's node of the last walk (null before one). */
COSK_EXPORT Ext3DirNode *ext3_get_head(void);
/* Inode number of a walk record, 0 for null. */
COSK_EXPORT uint32_t ext3_get_inodenum(Ext3FileNode *file);

/* Runs the name walk (when ext3_searchfile has not), the journal search
 * (volumes with a readable journal) and the search of inodes read in
 * place; the number of files found, or -1 when ext3_init did not succeed.
 * Honours the progress value (200 stops). */
COSK_EXPORT int64_t ext3_journal_searchfile(void);
/* The index-th file of the journal search, null past the end. */
COSK_EXPORT Ext3JournalFile *ext3_journal_get_file(uint32_t index);
/* Copies length bytes of the file from byte offset into buffer: holes,
 * reused and unlocated blocks as zeros, nothing past Size.  Returns the
 * bytes delivered, or -1 for a null record or buffer; *failedBlocks (may be
 * null) counts blocks the device could not read (delivered as zeros). */
COSK_EXPORT int64_t ext3_journal_readfile(Ext3JournalFile *file, uint64_t offset, void *buffer,
                                          uint32_t length, uint32_t *failedBlocks);
/* Transactions of the journal: committed ones seen, and those replayed in
 * memory because the journal needed recovery; -1 without a journal. */
COSK_EXPORT int64_t ext3_journal_transactions(int replayed);

/* For the merged deep scan: the runs of a journal search file's data as
 * ext3_journal_readfile reads it (see Salvitra_RunFn; holes and unwritten
 * extents are SV_RUN_SPARSE, blocks another file holds now SV_RUN_LOST),
 * 1 when described, 0 for data kept inside the inode; and the SV_ALLOC_*
 * bits of a byte range of the partition from the block bitmaps. */
COSK_EXPORT int ext3_file_runs(const Ext3JournalFile *file, Salvitra_RunFn fn, void *context);
COSK_EXPORT int ext3_in_use(uint64_t offset, uint64_t length);

/* Frees every buffer and record, the superblock and the descriptors. */
COSK_EXPORT void ext3_exit(void);

#ifdef __cplusplus
}
#endif

#endif /* COSK_H */
