/*
 * libpolder internals shared by the quick scan and the formatted-volume
 * search: the boot-sector layout, the FAT reader, directory-entry parsing
 * and the bounded device reads.
 */
#ifndef POLDER_I_H
#define POLDER_I_H

#include <stddef.h>
#include <stdint.h>

#include <functional>

#include "polder.h"
#include "sv_bytes.h"

namespace polder {

/* Status inside the library; the exported functions fold it. */
enum Status { OK = 0, IO, CORRUPT, STOP };

constexpr uint32_t kEntrySize = 32;
/* FAT directories hold at most 65536 entries. */
constexpr uint32_t kDirBufferSize = 65536 * kEntrySize;
/* A long name has at most 255 characters: 20 parts of 13. */
constexpr uint32_t kLfnSlots = 20;
constexpr uint32_t kLfnChars = kLfnSlots * 13;
/* Deepest directory nesting walked. */
constexpr uint32_t kMaxDepth = 1024;
/* nReserved of a quick-scan record whose free space was not checked. */
constexpr uint32_t kFreeRunUnknown = UINT32_MAX;

/* ---- boot sector (FatBoot.cpp) ---- */

/* Volume layout; sector numbers are relative to the partition start. */
struct FatLayout {
    int32_t fsType;                 /* 1 FAT12, 2 FAT16, 3 FAT32 */
    uint32_t bytesPerSector;
    uint32_t sectorsPerCluster;
    uint32_t clusterSize;           /* bytes */
    uint64_t totalSectors;          /* capped by the partition size */
    uint64_t allClusters;           /* total sectors / sectors per cluster */
    uint32_t fatSectorStart;
    uint32_t activeFatSectorStart;
    uint32_t numberOfFats;
    uint32_t sectorsPerFat;
    uint32_t rootDirStartCluster;   /* FAT32 */
    uint32_t rootDirSectorStart;    /* FAT12/16 */
    uint32_t rootDirSectors;        /* FAT12/16 */
    uint32_t dataSectorStart;
    uint32_t maxCluster;            /* highest cluster number holding data */
};

/* Boot-sector check codes (0 = accepted). */
enum BootCheck {
    BOOT_OK = 0,
    BOOT_SHORT = 1,
    BOOT_TYPE,
    BOOT_SECTOR_SIZE,
    BOOT_CLUSTER_SIZE,
    BOOT_RESERVED,
    BOOT_FATS,
    BOOT_FAT_SIZE,
    BOOT_TOTAL,
    BOOT_DATA_START,
    BOOT_NO_CLUSTERS,
    BOOT_ROOT_CLUSTER,
};

/*
 * Reads the layout of a FAT boot sector of the given type.  partSize caps
 * the volume (0: unknown).  Strict mode also requires what a scan of the
 * volume's own tree needs (a usable FAT32 root cluster); the formatted
 * search parses leniently, since the present volume only helps it.
 */
int fat_layout_parse(sv_view boot, int32_t fsType, uint64_t partSize, bool strict, FatLayout *out);

/* Byte offset of a cluster's first sector (cluster >= 2). */
inline uint64_t fat_cluster_offset(const FatLayout &L, uint32_t cluster)
{
    return ((uint64_t)L.dataSectorStart + (uint64_t)(cluster - 2) * L.sectorsPerCluster) *
           L.bytesPerSector;
}

inline bool fat_cluster_valid(const FatLayout &L, uint32_t cluster)
{
    return cluster >= 2 && cluster <= L.maxCluster;
}

/* ---- device reads (FatRead.cpp) ---- */

/*
 * Reads len bytes at a partition-relative offset.  Bytes that cannot be
 * read, or that lie past limit (the partition end; 0 = no limit), are
 * zeros.  OK only when every byte was read.
 */
Status dev_read(Physics_Device_Struct *dev, uint64_t limit, uint64_t off, uint32_t len, uint8_t *dst);

/* ---- the free-cluster path of a deleted file (FatPlan.cpp) ---- */

/* True when the FAT (whichever a caller consults) shows the cluster in use. */
typedef bool (*InUseFn)(void *ctx, uint32_t cluster);

/*
 * Where the last read of a file's path stopped: cluster is the index-th
 * cluster of the path (the first cluster is index 0).  A read that goes
 * back to where the previous read began (a retry) starts from the mark.
 */
struct FreePathCursor {
    const void *rec = nullptr;
    uint32_t start = 0;
    uint64_t index = 0;
    uint32_t cluster = 0;
    uint64_t markIndex = 0;
    uint32_t markCluster = 0;
    uint64_t failIndex = UINT64_MAX;   /* the path has no cluster of this index */
};

/*
 * The idx-th cluster of the path from start: start itself, then the
 * clusters after it that inUse calls free.  False past the last cluster.
 */
bool free_path_map(FreePathCursor *cur, const void *rec, uint32_t start, uint64_t idx, uint32_t maxCluster,
                   InUseFn inUse, void *ctx, uint32_t *out);

/* Layout a free-path read works with; sectors of bytesPerSector bytes. */
struct FreePathRead {
    Physics_Device_Struct *dev;
    uint64_t limit;
    uint32_t bytesPerSector;
    uint64_t dataStart;       /* sector of cluster 2 */
    uint32_t spc;
    uint32_t maxCluster;
    InUseFn inUse;
    void *ctx;
};

/*
 * The read behind fat_readfile and fat_fmtRec_readfile: length bytes at
 * sector position *pos of the file's path, then *pos advances by whole
 * sectors.  Parts that cannot be read, or lie past the path's end, are
 * zeros and make the result false.
 */
bool read_free_path(const FreePathRead &r, FreePathCursor *cur, const void *rec, uint32_t start,
                    void *buffer, unsigned long length, int64_t *pos);

/* ---- FAT table (FatTable.cpp) ---- */

struct FatTable {
    Physics_Device_Struct *dev = nullptr;
    uint64_t limit = 0;             /* partition size */
    const FatLayout *L = nullptr;
    uint64_t fatBytes = 0;
    uint32_t windowCap = 0;         /* bytes per cached window */
    uint32_t slots = 0;             /* cached windows at most */
    uint8_t **slotData = nullptr;   /* window bytes per slot (allocated when first used) */
    uint64_t *slotWindow = nullptr; /* window number + 1 held by each slot; 0 empty */
    uint64_t reads = 0;             /* windows read from the device */
    /* After fat_table_scan: a bit per cluster, set when the FAT shows it in use. */
    uint32_t *inUse = nullptr;
    uint32_t highestUsed = 0;       /* highest cluster in use, 0 none */
    uint64_t freeCount = 0;
};

void fat_table_open(FatTable *t, Physics_Device_Struct *dev, uint64_t limit, const FatLayout *L);
void fat_table_close(FatTable *t);
/* The raw entry of a cluster (FAT32 masked to 28 bits); CORRUPT past the FAT. */
Status fat_table_entry(FatTable *t, uint32_t cluster, uint32_t *value);
bool fat_is_eoc(const FatLayout &L, uint32_t value);

/*
 * Reads the whole FAT once, in order, and builds the bitmap of clusters in
 * use; progress gets the fraction done.  False when a stop was requested.
 */
bool fat_table_scan(FatTable *t, const std::function<void(double)> &progress);
/* True when the FAT shows the cluster in use (or it is not a data cluster):
 * from the bitmap once it is built, else from the table. */
bool fat_cluster_in_use(FatTable *t, uint32_t cluster);

/*
 * Collects the chain from start: at most max clusters, ending at an
 * end-of-chain, free, bad or out-of-range value, or at a cluster whose bit
 * is already set in seen (a loop or a cross-link); sets the bit of every
 * cluster taken.  Returns the number of clusters stored in out.
 */
uint32_t fat_chain_collect(FatTable *t, uint32_t start, uint32_t max, uint32_t *seen, uint32_t *out);

/* Clusters from start on, at most max, that the FAT shows as free. */
uint32_t fat_free_run(FatTable *t, uint32_t start, uint32_t max);

inline bool bit_test(const uint32_t *map, uint32_t n) { return (map[n >> 5] >> (n & 31)) & 1; }
inline void bit_set(uint32_t *map, uint32_t n) { map[n >> 5] |= 1u << (n & 31); }

/* ---- directory entries (FatDirEntry.cpp) ---- */

/* Long-name parts met so far in the current run. */
struct LfnState {
    uint16_t units[kLfnChars];
    int32_t slot;          /* slot of the next part; -1 outside a run */
    uint8_t checksum;      /* checksum byte shared by the run's parts */
    bool any;
};

void lfn_clear(LfnState *s);
/*
 * Takes the long-name part at index i of a directory buffer of n entries.
 * A run is the consecutive parts that share one checksum byte; a part's
 * slot counts down from the run's length, and parts beyond 20 slots are
 * ignored.
 */
void lfn_add(LfnState *s, const uint8_t *dir, uint32_t i, uint32_t n);
/* Length of the assembled long name (up to its first zero). */
uint32_t lfn_length(const LfnState *s);

/* How the directory walk takes a 32-byte entry. */
enum EntryKind {
    ENTRY_END,     /* first byte 0: the rest of the directory was never used */
    ENTRY_LFN,     /* a long-name part */
    ENTRY_SKIP,    /* a volume label, or attribute bits no entry can have */
    ENTRY_SHORT,   /* a file or directory entry */
};
EntryKind entry_kind(const uint8_t *e);

/* The 8.3 name of an entry as byte-valued characters; returns its length (<= 12). */
uint32_t short_name(const uint8_t *entry, uint32_t out[13]);

/*
 * A record for a short entry: the long name when one was assembled, else
 * the short name; with times when withTime.  Allocated with MALLOC, freed
 * with free().
 */
tagStFatInfo *make_record(const uint8_t *entry, const LfnState *lfn, bool withTime);

/* A record named by an ASCII text (a folder the volume no longer names). */
tagStFatInfo *make_named_record(const char *name, uint32_t cluster, bool directory);

/* Start cluster of an entry: high word at 20, low word at 26. */
inline uint32_t entry_cluster(const uint8_t *e)
{
    return ((uint32_t)sv_ld_le16(e + 20) << 16) | sv_ld_le16(e + 26);
}

inline bool is_dot_entry(const uint8_t *e) { return memcmp(e, ".          ", 11) == 0; }
inline bool is_dotdot_entry(const uint8_t *e) { return memcmp(e, "..         ", 11) == 0; }

/* ---- growable, null-terminated record arrays ---- */

struct EntryArray {
    tagStFatInfo **items = nullptr;
    uint32_t count = 0;
    uint32_t capacity = 0;
};

void entries_init(EntryArray *a);          /* capacity 512 */
void entries_push(EntryArray *a, tagStFatInfo *rec);
/* Frees and forgets the last record. */
void entries_drop_last(EntryArray *a);

/* ---- progress ---- */

/*
 * Threshold progress shared by both searches: each time fraction reaches
 * the threshold the value goes up by one and the threshold by 0.01.  The
 * value never reaches 100 here (100 or more means finished or stop), and
 * a stop request already stored is never overwritten.
 */
struct Progress {
    double threshold = 0.05;
    int32_t ceiling = 99;
};
void progress_note(Progress *p, double fraction);
/* Sets 100 unless the value already says finished or stop. */
void progress_finish();

/* ---- search states (FatState.cpp, fatFmtRec/FmtState.cpp) ---- */

/* A deleted folder whose known clusters end without an end mark: it went
 * on in clusters its lost chain no longer names. */
struct OpenFolder {
    tagStLinkNode *node;
    uint32_t lastCluster;    /* its last cluster walked */
    uint64_t frontier;       /* the highest cluster its files or clusters reach */
    uint32_t tailParts;      /* long-name parts that end it without their short entry */
    uint8_t tailSum;         /* their checksum byte */
};

/* The long-name parts that end a directory part of n entries without
 * their short entry (0: none), and their checksum byte. */
uint32_t lfn_tail(const uint8_t *dir, uint32_t n, uint8_t *sum);
/* The checksum a long name's parts carry for this short entry. */
uint8_t short_checksum(const uint8_t *e);

/* A free cluster the orphan search found holding directory entries. */
struct OrphanBlock {
    uint32_t cluster;
    uint32_t self;           /* cluster its "." entry names (dots only) */
    uint32_t parent;         /* cluster its ".." entry names (dots only) */
    bool dots;               /* starts with "." and "..": a folder's first cluster */
    bool ended;              /* holds the folder's end mark */
    bool leadPart;           /* starts inside a long name begun before it */
    uint8_t leadSum;         /* that name's checksum byte */
};

/* Everything the quick scan keeps between fat_init and fat_exit. */
struct QuickState {
    Partiton_Struct *part;
    int32_t fsType;
    FatLayout L;
    bool ready;                    /* fat_init succeeded */
    uint64_t limit;                /* partition size in bytes, 0 unknown */
    uint32_t nextFreeHint;         /* FAT32 FSInfo: where the last write ended (0 unknown) */
    uint8_t *clusterBuf;           /* one cluster (at least two sectors) */
    uint32_t clusterBufSize;
    uint8_t *dirBuf;               /* directory contents, kDirBufferSize */
    uint32_t *visited;             /* a bit per cluster: part of a walked directory */
    uint32_t *claimed;             /* a bit per cluster: read by a found file (orphan search) */
    FatTable fat;
    int32_t fileCount;
    int32_t dirCount;
    tagStLinkNode *first;          /* the root node */
    tagStLinkNode *head;           /* the last node created */
    tagStLinkNode *tmpHead;        /* the directory being walked */
    uint64_t nodesAllocated;       /* bounds the teardown walk */
    Progress progress;
    double phaseBase, phaseSpan;   /* the share of the progress the current phase covers */
    double intermediate;           /* last root-level fraction */
    uint64_t freeRunBudget;        /* FAT lookups left for the free-space checks */
    FreePathCursor readCursor;     /* where fat_readfile stopped */
    /* FAT32 entries that may have lost the high word of their first
     * cluster, planned once the written extent is known. */
    bool deferAmbiguous;
    tagStFatInfo **deferred;
    uint32_t nDeferred, capDeferred;
    uint64_t deferredNeed;         /* clusters the deferred files need together */
    uint32_t maxSeen;              /* highest cluster a walked folder or placed file reaches */
    uint64_t extent;               /* clusters past this one never held data, as far as the volume shows */
    OpenFolder *open;
    uint32_t nOpen, capOpen;
    uint32_t lostFolders;          /* "Lost folder N" made so far */
};
extern QuickState g_quick;

/* FAT lookups the free-space checks of one search may spend. */
constexpr uint64_t kFreeRunBudget = 64ull << 20;

/* InUseFn over a FatTable: any non-zero entry, or one that cannot be read. */
bool quick_in_use(void *ctx, uint32_t cluster);

/*
 * Fills a kept file record's bPlan, nSkipped and nReserved (and, for a
 * FAT32 entry that lost the high word of its first cluster, chooses that
 * cluster); deleted: the entry is deleted or lies in a deleted directory.
 * While s.deferAmbiguous is set, entries whose first cluster must be
 * chosen wait in s.deferred for plan_deferred.
 */
void plan_file(QuickState &s, tagStFatInfo *rec, bool deleted);
/* Sets s.extent from what the walk saw; plans the deferred entries. */
void plan_deferred(QuickState &s);
/* The last cluster a planned file's data reaches (0: none). */
uint32_t record_end_cluster(const QuickState &s, const tagStFatInfo *rec);
/* Raises the shared progress value to the phase's share of fraction. */
void quick_progress(QuickState &s, double fraction);

/* The walk from the root; returns the root node, null when it cannot start. */
tagStLinkNode *quick_walk(QuickState &s);
/*
 * Walks clusters (n of them, consecutive directory parts) as the next part
 * of node, from entry firstEntry on, inside a deleted folder.  Returns
 * true when they hold the folder's end mark, else the long-name parts
 * that end them.
 */
bool walk_more(QuickState &s, tagStLinkNode *node, const uint32_t *clusters, uint32_t n, uint32_t firstEntry,
               uint32_t *tailParts, uint8_t *tailSum);
/* A "Lost folder N" record and node under parent; null when out of room. */
tagStLinkNode *lost_folder(QuickState &s, tagStLinkNode *parent, uint32_t cluster, tagStFatInfo **rec);
/*
 * True when a free cluster's len bytes hold directory entries only: every
 * entry up to the end mark is one the walk takes (the same kinds), with
 * names a file system writes, no entry follows the end mark, and at least
 * one file or folder entry is there.  Fills out's dots, self, parent and
 * ended.
 */
bool dir_block_check(const uint8_t *b, uint32_t len, const FatLayout &L, OrphanBlock *out);
/* Removes a lost folder that holds no file again (its record is its parent's last). */
void drop_lost_folder(QuickState &s, tagStLinkNode *parent, tagStLinkNode *node);
void open_folder_add(QuickState &s, tagStLinkNode *node, uint32_t lastCluster, uint32_t tailParts, uint8_t tailSum);
/* The highest cluster a node's files and lastCluster reach. */
uint64_t node_frontier(const QuickState &s, const tagStLinkNode *node, uint32_t lastCluster);
/* The search of the free clusters for lost directory parts (FatOrphan.cpp). */
void orphan_search(QuickState &s);

/*
 * Once every record is known: a file whose entry claims more than the free
 * clusters after its first one hold (FAT_PLAN_SHORT) has no end of its
 * own, so where its free path reaches the first cluster of another kept
 * record (another deleted file's or folder's data), its own data ends and
 * nReserved is cut there.
 */
void end_short_files(QuickState &s);

/* Frees a quick-scan result list (nodes, arrays, records). */
void quick_free_result(QuickState *s);

/* A directory start found by the formatted search's scan. */
struct DirStart {
    uint64_t sector;     /* 512-byte sector of the "." entry */
    uint32_t cluster;    /* cluster the "." entry names */
    uint32_t parent;     /* cluster the ".." entry names (0: the root) */
};

/* Set of (sectors per cluster, cluster) pairs already walked. */
struct VisitedSet {
    uint64_t *slots = nullptr;   /* 0 = empty; keys are never 0 (spc >= 4) */
    uint64_t capacity = 0;       /* a power of two */
    uint64_t count = 0;
};
/* False when the pair was there already, or the set is full. */
bool visited_insert(VisitedSet *v, uint32_t spc, uint32_t cluster);
bool visited_contains(const VisitedSet *v, uint32_t spc, uint32_t cluster);
void visited_free(VisitedSet *v);

/* Everything the formatted search keeps between fat_fmtRec_init and fat_fmtRec_exit. */
struct FmtState {
    Partiton_Struct *part;
    int32_t fsType;                /* the present type */
    uint64_t pSize;                /* bytes */
    bool ready;
    bool haveLayout;               /* the present FAT layout could be read */
    FatLayout L;                   /* the present layout */
    FatTable fat;                  /* the present FAT */
    uint64_t presentDataStart;     /* in 512-byte sectors (0 for NTFS) */
    uint8_t *window;               /* scan window */
    uint8_t *dirBuf;               /* directory being walked */
    uint8_t *clusterBuf;           /* a subdirectory's first cluster */
    DirStart *starts;
    uint32_t nStarts, capStarts;
    VisitedSet visited;
    tagStFmtDirNode **roots;       /* null-terminated */
    uint32_t nRoots, capRoots;
    int32_t dirNum;                /* number of the next "Dir%d" */
    int32_t fileCount;
    int32_t dirCount;              /* directory starts found */
    int32_t stop;                  /* set from another thread: atomic access */
    Progress progress;
    tagStFmtDirNode *head;         /* last node created */
    tagStFmtDirNode *tmpHead;      /* directory being walked */
    FreePathCursor readCursor;     /* where fat_fmtRec_readfile stopped */
    uint64_t planBudget;           /* present-FAT checks left for the file plans */
};
extern FmtState g_fmt;

/* An old cluster in the layout of one rebuilt tree. */
struct FmtPathCtx {
    FmtState *s;
    uint64_t dataStart;   /* 512-byte sectors */
    uint32_t spc;
};
/* InUseFn for old clusters: in use when the present FAT uses any of their bytes. */
bool fmt_in_use(void *ctx, uint32_t cluster);
/* Highest old cluster of a tree's layout that fits the partition. */
uint32_t fmt_max_cluster(const FmtState &s, uint64_t dataStart, uint32_t spc);
/* Counts the old clusters the present volume uses inside a file (bPlan, nSkipped). */
void fmt_plan_file(FmtState &s, tagStFatInfo *rec, uint64_t dataStart, uint32_t spc);

/* Phase 1: the directory starts of the whole partition; false when stopped. */
bool fmt_scan(FmtState &s);
/* Phase 1 over len bytes of the partition at byte offset off. */
void fmt_scan_bytes(FmtState &s, uint64_t off, const uint8_t *bytes, uint32_t len);
/* Phase 2: rebuilds the trees from the starts. */
void fmt_rebuild(FmtState &s);
bool fmt_stop_requested(const FmtState &s);
void fmt_free_trees(FmtState &s);

}  // namespace polder

#endif /* POLDER_I_H */
