/*
 * libcosk internals: the library's state record and the operations its
 * files share.
 */
#ifndef EXT3_I_H
#define EXT3_I_H

#include "cosk.h"
#include "ext_volume.h"

/* Files arrays start with room for this many records and grow by as many. */
#define EXT3_FILES_STEP 512u
/* Directory levels walked below the root. */
#define EXT3_MAX_DEPTH 256u

/* A directory node as the library allocates it: the public record first. */
typedef struct Ext3DirNodeImpl {
    Ext3DirNode pub;
    uint32_t count;              /* records in pub.Files */
    uint32_t capacity;           /* entries of pub.Files */
} Ext3DirNodeImpl;

/* Directory inodes already walked (open addressing, 0 = empty slot). */
typedef struct Ext3InodeSet {
    uint32_t *slots;
    uint32_t capacity;           /* a power of two */
    uint32_t used;
} Ext3InodeSet;

typedef struct Ext3State {
    int initialised;
    ExtVolume vol;               /* partition, superblock, descriptors, geometry */
    uint8_t *m_szBuffer;         /* scratch for single-block reads */
    uint8_t *m_szHeadOfBuffer;   /* start of the scratch buffer, for freeing */
    uint64_t cachedInodeBlock;   /* inode-table block held in m_szBuffer, 0 = none */
    Ext3DirNode *m_stHead;       /* the root's node */
    Ext3DirNode *m_stCurrDir;    /* last node created */
    Ext3DirNode *m_stTmpDir;     /* node of the directory being walked */
    Ext3InodeSet visited;
    uint64_t dirBlockBudget;     /* directory blocks the walk may still read */
} Ext3State;

extern Ext3State g_ext3;

/* __ext3_ReadInode: the first 128 bytes of inode n into out. */
ExtStatus __ext3_ReadInode(uint32_t n, uint8_t *out);
/* Frees every directory node with its records, and the visited set. */
void ext3_free_nodes(void);

#endif /* EXT3_I_H */
