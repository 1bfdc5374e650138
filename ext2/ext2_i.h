/*
 * libbriel internals: the library's state record and the operations its
 * files share.
 */
#ifndef EXT2_I_H
#define EXT2_I_H

#include "briel.h"
#include "ext_volume.h"

/* Files arrays start with room for this many records and grow by as many. */
#define EXT2_FILES_STEP 512u
/* Block-list entries one scan may hold in all: 64 per block of the volume,
 * at least 4 Mi and at most 256 Mi entries (1 GiB of lists). */
#define EXT2_LIST_BUDGET_MAX (256ull * 1024 * 1024)
#define EXT2_LIST_BUDGET_MIN (4ull * 1024 * 1024)
/* Entries one file's list may have: 64 per block of the volume, at least
 * 1 Mi.  Holes can make a file larger than its volume, but not by more. */
#define EXT2_FILE_LIST_MIN (1ull * 1024 * 1024)
#define EXT2_LIST_PER_BLOCK 64ull
/* Inode-table bytes read at once. */
#define EXT2_TABLE_WINDOW (256u * 1024u)
/* Bytes read ahead when ext2_readfile is asked for consecutive blocks. */
#define EXT2_READAHEAD (256u * 1024u)

/* A group node as the library allocates it: the public record first. */
typedef struct Ext2DirNodeImpl {
    Ext2DirNode pub;
    uint32_t capacity;           /* entries of pub.Files */
} Ext2DirNodeImpl;

typedef struct Ext2State {
    int initialised;
    ExtVolume vol;               /* partition, superblock, descriptors, geometry */
    uint8_t *m_szBuffer;         /* scratch for single-block reads */
    uint8_t *m_szHeadOfBuffer;   /* start of the scratch buffer, for freeing */
    uint8_t *m_szBitMapBuffer;   /* one block: the inode bitmap of the group being scanned */
    uint8_t *m_szInodeTable;     /* a window of the inode table being scanned */
    uint32_t tableWindowBlocks;  /* blocks m_szInodeTable holds */
    Ext2DirNode *m_stHeadDirNode;
    Ext2DirNode *m_stCurrDirNode;
    double m_nTempValue;         /* progress threshold */
    double m_nIntermeDiate;      /* progress ratio */
    uint64_t listBudget;         /* block-list entries this scan may still allocate */
    uint64_t fileListCap;        /* entries one file's list may have */
    /* Read-ahead of ext2_readfile: blocks [aheadFirst, aheadFirst + aheadCount)
     * are held in aheadBuffer; lastBlock is the block asked for last. */
    uint8_t *aheadBuffer;
    uint64_t aheadFirst;
    uint32_t aheadCount;
    uint64_t lastBlock;
    uint64_t aheadPausedUntil;   /* after a failed window: single reads below this block */
} Ext2State;

extern Ext2State g_ext2;

/* Frees every group node with its file records. */
void ext2_free_nodes(void);

#endif /* EXT2_I_H */
