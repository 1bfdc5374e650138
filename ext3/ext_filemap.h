/*
 * Where an inode's data lies: its block map (direct and indirect pointers)
 * or its extent tree, as a list of runs in file order.
 *
 * Pointer blocks and extent-tree nodes are fetched through a callback, so
 * that a caller can serve them from the journal's copies of an earlier
 * moment instead of the medium.  Every walk is bounded by the file's block
 * count and a node budget; values from disk never size an allocation.
 */
#ifndef EXT_FILEMAP_H
#define EXT_FILEMAP_H

#include <stdint.h>

#include <vector>

#include "ext_volume.h"

/* A stretch of the file: count blocks from logical on, at physical on the
 * volume.  Stretches the list leaves out are holes. */
typedef struct ExtRun {
    uint64_t logical;
    uint64_t physical;
    uint32_t count;
    uint32_t flags;   /* EXT_RUN_* */
} ExtRun;

enum {
    EXT_RUN_UNWRITTEN = 1u << 0,  /* allocated but never written: reads as zeros */
    EXT_RUN_REUSED = 1u << 1      /* the blocks belong to another file now: not read */
};

#define EXT_EXTENT_MAGIC 0xF30A
#define EXT_EXTENT_MAX_DEPTH 5

/* Fetches one pointer block or extent-tree node into buf (block size). */
typedef ExtStatus (*ExtMetaRead)(void *ctx, uint64_t block, uint8_t *buf);

typedef struct ExtMapStats {
    uint64_t unresolved;  /* blocks behind a pointer block or node that could not be read */
    uint32_t depth;       /* extent-tree depth (0 for a block map) */
} ExtMapStats;

/* Maps the first blockCount blocks of the file whose inode is given (at
 * least 128 bytes).  Runs come out sorted by logical block, without
 * overlaps, every physical block valid on the volume. */
ExtStatus ext_map_inode(const ExtVolume *vol, const uint8_t *inode, uint64_t blockCount,
                        ExtMetaRead read, void *ctx, std::vector<ExtRun> *out, ExtMapStats *stats);

/* True when buf (len bytes) starts with a plausible extent-tree header of
 * a node of that length; entries and depth are returned. */
bool ext_extent_header(const uint8_t *buf, uint32_t len, uint16_t *entries, uint16_t *depth);

#endif /* EXT_FILEMAP_H */
