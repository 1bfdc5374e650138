/*
 * libhollin internals: the boot region, the FAT and allocation bitmap,
 * entry sets, cluster plans and the scan state.
 */
#ifndef HOLLIN_I_H
#define HOLLIN_I_H

#include <stddef.h>
#include <stdint.h>

#include "hollin.h"
#include "sv_bytes.h"

namespace hollin {

/* Status inside the library; the exported functions fold it. */
enum Status { OK = 0, IO, CORRUPT, STOP };

constexpr uint32_t kEntrySize = 32;
/* A directory never grows past 256 MiB. */
constexpr uint64_t kMaxDirBytes = 256ull << 20;
/* Deepest folder nesting walked. */
constexpr uint32_t kMaxDepth = 256;
/* Bitmap and FAT lookups the plans of one search may spend. */
constexpr uint64_t kPlanBudget = 64ull << 20;

/* ---- boot region (ExfatBoot.cpp) ---- */

struct Layout {
    uint32_t sectorShift;
    uint32_t clusterShift;       /* sectors per cluster, as a shift */
    uint32_t bytesPerSector;
    uint32_t clusterSize;        /* bytes */
    uint64_t volumeBytes;        /* capped by the partition size */
    uint64_t fatOffset;          /* bytes: the active FAT */
    uint64_t fatBytes;
    uint64_t heapOffset;         /* bytes: cluster 2 */
    uint32_t clusterCount;       /* capped by what the volume and the FAT hold */
    uint32_t rootCluster;
    uint32_t activeFat;          /* 0 or 1 */
    bool checksumOk;             /* the boot region used had a good checksum */
    bool backup;                 /* the backup boot region was used */
};

/* Boot-region check codes (0 = accepted). */
enum BootCheck {
    BOOT_OK = 0,
    BOOT_SHORT = 1,
    BOOT_SIGNATURE,
    BOOT_SECTOR_SIZE,
    BOOT_CLUSTER_SIZE,
    BOOT_FATS,
    BOOT_FAT_PLACE,
    BOOT_HEAP_PLACE,
    BOOT_NO_CLUSTERS,
    BOOT_ROOT_CLUSTER,
};

/* The boot checksum over the first 11 sectors of a boot region (bytes
 * 106, 107 and 112 of the first sector left out). */
uint32_t boot_checksum(const uint8_t *region, uint32_t bytesPerSector);
/* Layout of the boot sector at the start of region (which should hold the
 * whole 12-sector region for the checksum to be checked).  partSize caps
 * the volume (0: unknown). */
int boot_parse(sv_view region, uint64_t partSize, Layout *out);

inline uint32_t max_cluster(const Layout &L) { return L.clusterCount + 1; }
inline bool cluster_valid(const Layout &L, uint32_t c) { return c >= 2 && c - 2 < L.clusterCount; }
inline uint64_t cluster_offset(const Layout &L, uint32_t c)
{
    return L.heapOffset + ((uint64_t)(c - 2) << (L.sectorShift + L.clusterShift));
}

/* ---- device reads (ExfatRead.cpp) ---- */

/* len bytes at a partition-relative offset; bytes that cannot be read or
 * lie past limit (0: none) are zeros.  OK only when all were read. */
Status dev_read(Physics_Device_Struct *dev, uint64_t limit, uint64_t off, uint32_t len, uint8_t *dst);

/* ---- sets of 32-bit values (ExfatTable.cpp) ---- */

struct U32Set {
    uint32_t *slots = nullptr;   /* value + 1; 0 = empty */
    uint32_t capacity = 0;       /* a power of two */
    uint32_t count = 0;
};
/* False when v was there already. */
bool set_insert(U32Set *s, uint32_t v);
bool set_contains(const U32Set *s, uint32_t v);
void set_clear(U32Set *s);
void set_free(U32Set *s);

/* ---- FAT and allocation bitmap (ExfatTable.cpp) ---- */

struct FatCache {
    uint8_t **pages = nullptr;   /* kFatPages slots of kFatPage bytes, allocated when first used */
    uint64_t *tags = nullptr;    /* page number + 1 held in each slot; 0 empty */
};
/* The FAT is cached in windows of 1 MiB, up to 64 MiB of it. */
constexpr uint32_t kFatPage = 1024 * 1024;
constexpr uint32_t kFatPages = 64;

struct State;
/* The FAT entry of cluster c; CORRUPT past the FAT, IO when unreadable. */
Status fat_next(State &s, uint32_t c, uint32_t *value);
/* True when the bitmap marks c in use, or does not cover it. */
bool cluster_in_use(const State &s, uint32_t c);
/* Reads the allocation bitmap whose entry gives first cluster and length. */
void bitmap_load(State &s, uint32_t first, uint64_t length, bool noFatChain);

/* ---- entry sets (ExfatEntry.cpp) ---- */

struct EntrySet {
    bool deleted;               /* in-use bits cleared */
    bool checksumOk;
    uint8_t secondaryCount;
    uint16_t attributes;
    uint8_t flags;              /* stream extension's general secondary flags */
    uint8_t nameLength;
    uint32_t firstCluster;
    uint64_t validLength;
    uint64_t dataLength;
    tagExfatTime create, modify, access;
    uint16_t name[256];
};

/* Checksum of an entry set as written with its in-use bits set (bytes 2
 * and 3 of the first entry left out). */
uint16_t set_checksum(const uint8_t *entries, uint32_t count);
/*
 * Parses the set whose file entry is entry i of n in dir.  Returns the
 * number of entries it spans, or 0 when the entries there do not form a
 * set whose parts agree (a deleted set must also match its checksum).
 */
uint32_t entry_set_parse(const uint8_t *dir, uint32_t i, uint32_t n, EntrySet *out);
/* Decodes a timestamp with its 10 ms part and UTC offset byte. */
void time_decode(uint32_t stamp, uint8_t ms10, uint8_t utc, tagExfatTime *out);

/* ---- cluster plans (ExfatRead.cpp) ---- */

struct Run {
    uint32_t start;       /* first cluster; 0: a run of zeros */
    uint32_t count;
    uint64_t fileIndex;   /* the file's cluster index of its first cluster */
};
struct RunList {
    Run *runs = nullptr;
    uint32_t n = 0;
    uint32_t cap = 0;
};
void runs_clear(RunList *r);
/* Appends one cluster (0: a cluster of zeros) at file index idx, joining
 * it to the last run when it continues it. */
void runs_add(RunList *r, uint32_t c, uint64_t idx);
void runs_free(RunList *r);

struct Plan {
    uint8_t state = EXFAT_DATA_EMPTY;
    uint32_t missing = 0;
    uint32_t skipped = 0;
};
/*
 * Where n clusters of data starting at first lie.  live: the set is in use
 * (the FAT is followed as it stands).  out may be null (only the plan).
 * Every bitmap or FAT lookup costs one unit of *budget; STOP when it ran
 * out (the plan is then UNCHECKED).
 */
Status plan_clusters(State &s, uint32_t first, uint32_t n, bool noFatChain, bool live, RunList *out,
                     Plan *plan, uint64_t *budget);

/* ---- progress ---- */

/* Raises the shared value towards fraction x 99, never past 99 and never
 * over a finished or stop value. */
void progress_note(double fraction);
/* 100, unless a stop (or finish) is already there. */
void progress_finish();

/* ---- folders the tree no longer reaches whole (ExfatOrphan.cpp) ---- */

/* A folder whose clusters end without an end mark: it went on in clusters
 * its chain (or its length) no longer names. */
struct OpenFolder {
    tagExfatFile *rec;       /* null: the root */
    bool deleted;            /* the folder or one above it is deleted */
    uint32_t lastCluster;
    uint32_t need;           /* entries a set cut at its end still needs */
    uint64_t frontier;       /* the highest cluster its files or clusters reach */
};

/* A free cluster found holding directory entries. */
struct OrphanBlock {
    uint32_t cluster;
    uint32_t lead;           /* secondary entries it starts with (the end of a set cut before it) */
    uint32_t need;           /* entries a set cut at its end still needs */
    bool ended;              /* holds a folder's end mark */
};

/* True when a cluster holds nothing but directory entries, with at least
 * one whole entry set (or an end of one). */
bool looks_like_folder(const uint8_t *c, uint32_t cs);
/* Entries a set begun in the cluster still needs from the next one. */
uint32_t dangling_entries(const uint8_t *c, uint32_t cs);
bool has_end_mark(const uint8_t *c, uint32_t cs);

struct Frame {
    tagExfatFile *rec;    /* null: the root */
    uint32_t first;
    uint64_t length;      /* 0: follow the chain (the root) */
    bool noFatChain;
    bool deleted;         /* the folder or one above it is deleted */
    uint32_t depth;
};

struct FrameStack {
    Frame *items = nullptr;
    uint32_t n = 0, cap = 0;
    void push(const Frame &f);
    ~FrameStack();
};

/*
 * Takes the entry sets of s.dirBuf from entry start to n (the folder f's
 * contents, whose clusters s.loaded lists): records for deleted sets and
 * folders, frames for the folders to walk.
 */
void walk_sets(State &s, FrameStack &stack, const Frame &f, uint32_t start, uint32_t n);
/* Walks the frames on the stack and everything below them. */
void walk_frames(State &s, FrameStack &stack, bool progress);
/* The search of the free clusters for lost folder parts. */
void orphan_search(State &s);

/* ---- the state (ExfatState.cpp) ---- */

struct State {
    Partiton_Struct *part;
    Physics_Device_Struct *dev;
    uint64_t limit;              /* partition size, 0 unknown */
    Layout L;
    bool ready;
    uint8_t *bitmap;             /* allocation bitmap */
    uint64_t bitmapBytes;
    uint32_t upcaseCluster;      /* 0: no up-case table entry */
    FatCache fat;
    tagExfatFile *first;         /* the result list */
    tagExfatFile *last;
    uint64_t records;            /* bounds the teardown walk */
    int32_t fileCount;
    int32_t dirCount;
    U32Set visited;              /* clusters of folders walked */
    U32Set chain;                /* scratch: clusters of one chain */
    uint8_t *dirBuf;             /* one directory's contents */
    uint64_t dirCap;
    uint8_t *claimed;            /* a bit per cluster: walked, or read by a found file */
    uint32_t maxSeen;            /* highest cluster a walked folder or planned file reaches */
    OpenFolder *open;
    uint32_t nOpen, capOpen;
    uint32_t lostFolders;        /* "Lost folder N" made so far */
    double progressBase, progressSpan;
    RunList scratch;             /* a folder's clusters */
    RunList loaded;              /* the clusters in dirBuf, in order */
    tagExfatFile *readRec;       /* the record readRuns belongs to */
    RunList readRuns;
    RunList claimRuns;           /* scratch: a found file's clusters */
    uint64_t planBudget;
};
extern State g_state;

/*
 * Loads a folder's clusters into s.dirBuf and returns the bytes loaded.
 * Live chained folders (and the root, length 0) follow the FAT to its end;
 * others follow their plan, leaving out clusters now in use, and a deleted
 * folder whose chain is gone keeps only the clusters that hold directory
 * entries.  With markVisited, clusters already in s.visited are left out
 * and the rest are added.
 */
uint64_t dir_load(State &s, uint32_t first, uint64_t length, bool noFatChain, bool deleted, bool markVisited);
/* Marks a cluster walked (s.visited and s.claimed). */
void mark_walked(State &s, uint32_t c);
/* Marks the clusters of runs as read by a found file. */
void claim_runs(State &s, const RunList &runs);
void dir_reserve(State &s, uint64_t bytes, uint64_t keep = 0);
/* A record for an entry set in folder parent. */
tagExfatFile *new_record(State &s, const EntrySet &e, tagExfatFile *parent, bool deleted, uint64_t entryOffset);
void progress_phase(State &s, double fraction);
/* The walk behind exfat_searchfile. */
void search_walk(State &s);
void free_records(State &s);

}  // namespace hollin

#endif /* HOLLIN_I_H */
