/*
 * libcosk internals: the library's state record and the operations its
 * files share.
 */
#ifndef EXT3_I_H
#define EXT3_I_H

#include <utility>
#include <vector>

#include "cosk.h"
#include "ext_filemap.h"
#include "ext_journal.h"
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
    uint32_t inodeNumber;        /* the directory's inode */
} Ext3DirNodeImpl;

/* A walk record as the library allocates it: the public record first. */
typedef struct Ext3FileNodeImpl {
    Ext3FileNode pub;
    uint32_t inodeNumber;
    uint8_t merged;              /* found behind another entry's name, not on the record chain */
    uint32_t order;              /* walk order: later entries were written later, as a rule */
} Ext3FileNodeImpl;

/* A file brought back from the journal's copies, with where its data lies. */
struct Ext3JournalFileImpl {
    Ext3JournalFile pub;
    std::vector<ExtRun> runs;          /* by logical block */
    std::vector<uint8_t> inlineData;   /* data kept inside the inode */
    int64_t age;                       /* transaction of the inode copy used */
};

/* What the journal search keeps between init and exit (C++ containers,
 * so held through a pointer in the zero-initialised state record). */
struct Ext3Journaled {
    ExtJournal journal;
    ExtJournalCheck check = EXT_JOURNAL_NONE;
    bool walked = false;                                   /* the name walk ran */
    std::vector<std::pair<uint64_t, uint32_t>> dirBlocks;  /* block, directory inode (walk) */
    std::vector<Ext3JournalFileImpl *> files;
};

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
    uint32_t recordOrder;        /* walk records made so far */
    Ext3Journaled *jr;           /* journal and its finds, null without a volume */
} Ext3State;

extern Ext3State g_ext3;

/* __ext3_ReadInode: the first 128 bytes of inode n into out. */
ExtStatus __ext3_ReadInode(uint32_t n, uint8_t *out);
/* Frees every directory node with its records, and the visited set. */
void ext3_free_nodes(void);
/* The name walk from the root; finish sets the progress value to 100. */
Ext3DirNode *ext3_walk(bool finish);
/* Frees the journal search's records. */
void ext3_free_journal_files(void);
/* Metadata read for map walks: through the overlay of a journal that
 * needs recovery. */
ExtStatus ext3_meta_read(void *ctx, uint64_t block, uint8_t *buf);

#endif /* EXT3_I_H */
