/*
 * Volume handling shared by the ext2 and ext3 scanners: superblock checks,
 * group descriptors, block reads and block-pointer resolution.
 *
 * The sources are compiled into both libbriel and libcosk (hidden there);
 * each library keeps its own ExtVolume inside its state record.
 */
#ifndef EXT_VOLUME_H
#define EXT_VOLUME_H

#include <stddef.h>
#include <stdint.h>

#include "merrow.h"

/* Rich status inside the libraries; folded into 0/1 at the exported edge. */
typedef enum ExtStatus {
    EXT_OK = 0,
    EXT_IO,       /* the device did not deliver the bytes */
    EXT_CORRUPT,  /* a value on disk is out of range: skip this record and go on */
    EXT_STOP      /* the progress value asks the scan to end */
} ExtStatus;

/* Why ext_volume_open refused a volume (for tests and traces). */
typedef enum ExtOpenCheck {
    EXT_OPEN_OK = 0,
    EXT_OPEN_NO_PARTITION,
    EXT_OPEN_READ,            /* the superblock or a descriptor block could not be read */
    EXT_OPEN_MAGIC,
    EXT_OPEN_REVISION,
    EXT_OPEN_FEATURES,
    EXT_OPEN_BLOCK_SIZE,
    EXT_OPEN_FRAGMENT_SIZE,
    EXT_OPEN_INODE_SIZE,
    EXT_OPEN_GEOMETRY         /* group, inode and block counts that cannot describe a volume */
} ExtOpenCheck;

/* What ext_volume_open_flags accepts beyond a plain ext2/ext3 volume. */
enum {
    /* The ext4 features a read-only scan can follow (extents, 64-bit block
     * numbers, flex_bg, inline data, ...) and a journal that needs
     * recovery; the scanner must then replay the journal in memory. */
    EXT_ACCEPT_EXT4 = 1u << 0
};

#define EXT_SUPERBLOCK_OFFSET 1024
#define EXT_SUPERBLOCK_LEN 1024
#define EXT_SUPER_MAGIC 0xEF53
#define EXT_DESC_LEN 32
#define EXT_INODE_LEN 128                  /* the part of an inode that is used */
#define EXT_FEATURE_INCOMPAT_FILETYPE 0x0002
#define EXT_FEATURE_INCOMPAT_RECOVER 0x0004
#define EXT_FEATURE_INCOMPAT_JOURNAL_DEV 0x0008
#define EXT_FEATURE_INCOMPAT_META_BG 0x0010
#define EXT_FEATURE_INCOMPAT_EXTENTS 0x0040
#define EXT_FEATURE_INCOMPAT_64BIT 0x0080
#define EXT_FEATURE_INCOMPAT_MMP 0x0100
#define EXT_FEATURE_INCOMPAT_FLEX_BG 0x0200
#define EXT_FEATURE_INCOMPAT_EA_INODE 0x0400
#define EXT_FEATURE_INCOMPAT_DIRDATA 0x1000
#define EXT_FEATURE_INCOMPAT_CSUM_SEED 0x2000
#define EXT_FEATURE_INCOMPAT_LARGEDIR 0x4000
#define EXT_FEATURE_INCOMPAT_INLINE_DATA 0x8000
#define EXT_FEATURE_INCOMPAT_ENCRYPT 0x10000
#define EXT_FEATURE_INCOMPAT_CASEFOLD 0x20000
#define EXT_FEATURE_COMPAT_HAS_JOURNAL 0x0004
#define EXT_FEATURE_COMPAT_SPARSE_SUPER2 0x0200
#define EXT_FEATURE_RO_COMPAT_SPARSE_SUPER 0x0001
#define EXT_DESC_LEN_64BIT_MIN 64
#define EXT_DESC_LEN_MAX 1024
#define EXT_N_DIRECT 12
#define EXT_IND_BLOCK 12
#define EXT_DIND_BLOCK 13
#define EXT_TIND_BLOCK 14
#define EXT_MAX_LOG_BLOCK 6                /* 64 KiB blocks */
#define EXT_MAX_GROUPS (1u << 20)          /* 32 MiB of descriptors */
#define EXT_SCRATCH_LEN (512u * 1024u)     /* scratch buffer for block reads */

/* Inode fields (offsets into the inode). */
#define EXT_I_MODE 0
#define EXT_I_SIZE 4
#define EXT_I_MTIME 16
#define EXT_I_DTIME 20
#define EXT_I_LINKS 26
#define EXT_I_BLOCK 40
#define EXT_I_SIZE_HIGH 108
#define EXT_I_ATIME 8
#define EXT_I_CTIME 12
#define EXT_I_FLAGS 32
#define EXT_I_GENERATION 100
#define EXT_I_EXTRA_ISIZE 128
#define EXT_I_CRTIME 144
#define EXT_INODE_FL_EXTENTS 0x00080000u
#define EXT_INODE_FL_INLINE_DATA 0x10000000u

#define EXT_S_IFMT 0xF000
#define EXT_S_IFREG 0x8000
#define EXT_S_IFDIR 0x4000
#define EXT_S_IFLNK 0xA000
#define EXT_I_BLOCKS 28                    /* 512-byte sectors held, extended-attribute block included */
#define EXT_I_FILE_ACL 104
#define EXT_FAST_SYMLINK_MAX 60            /* i_block holds at most 60 bytes of link target */

typedef struct ExtVolume {
    Partiton_Struct *m_stPartition;
    uint8_t *m_stSuperBlock;               /* 1024 bytes, owned */
    uint8_t *m_stGroupDescriptors;         /* m_nDescBlockCount blocks, owned */
    uint32_t m_nBlockSizeInBytes;
    uint32_t m_nFragmentSizeInBytes;
    uint32_t m_nInodeSize;
    uint32_t m_nGroupCount;
    uint32_t m_nGroupDescPerBlock;
    uint32_t m_nInodesPerBlock;
    uint32_t m_nDescBlockCount;
    uint32_t descSize;                     /* 32, or s_desc_size on 64-bit volumes */
    uint32_t firstMetaBg;                  /* meta_bg: descriptor blocks from here on live in their groups */
    uint32_t featureCompat;
    uint32_t featureIncompat;
    /* Superblock values, validated. */
    uint32_t inodesCount;
    uint64_t blocksCount;                  /* with s_blocks_count_hi on 64-bit volumes */
    uint32_t firstDataBlock;
    uint32_t blocksPerGroup;
    uint32_t inodesPerGroup;
    uint32_t revLevel;
    /* Blocks that can exist on the medium: blocksCount, cut to the partition. */
    uint64_t readableBlocks;
    /* One block each for the three pointer levels. */
    uint8_t *levelBuffer[3];
    /* Blocks whose current content lies in a journal that still needs
     * recovery: __ext2_ReadBlock asks this first.  Returns true when it
     * filled buf with the block's replayed content. */
    const void *overlayCtx;
    bool (*overlayRead)(const void *ctx, uint64_t block, uint8_t *buf, ExtStatus *st);
    /* The group whose descriptor copy is read: 0, or the group of the
     * superblock copy a volume was opened through. */
    uint32_t descGroup;
    /* Block bitmaps read by ext_range_in_use (ext_alloc.cpp), freed on close. */
    struct ExtAllocCache *allocCache;
} ExtVolume;

/* Reads and checks the superblock and the group descriptors.  On failure
 * nothing stays allocated and the check that failed is returned. */
ExtOpenCheck ext_volume_open(ExtVolume *vol, Partiton_Struct *part);
/* As ext_volume_open, also accepting what `accept` (EXT_ACCEPT_*) names. */
ExtOpenCheck ext_volume_open_flags(ExtVolume *vol, Partiton_Struct *part, unsigned accept);
/* Reads the group descriptors again (through the overlay, once one is set). */
ExtStatus ext_volume_reload_descriptors(ExtVolume *vol);
/* Frees what ext_volume_open allocated and zeroes the record. */
void ext_volume_close(ExtVolume *vol);

/* Group descriptor fields (0 for a group outside the table). */
uint64_t ext_group_block_bitmap(const ExtVolume *vol, uint32_t group);
uint64_t ext_group_inode_bitmap(const ExtVolume *vol, uint32_t group);
uint64_t ext_group_inode_table(const ExtVolume *vol, uint32_t group);
/* bg_flags (EXT_BG_*). */
uint16_t ext_group_flags(const ExtVolume *vol, uint32_t group);
#define EXT_BG_INODE_UNINIT 0x0001
#define EXT_BG_BLOCK_UNINIT 0x0002
/* bg_itable_unused: inodes at the end of the group's table never used (only
 * meaningful on volumes whose descriptors carry checksums). */
uint32_t ext_group_itable_unused(const ExtVolume *vol, uint32_t group);
/* Number of blocks the inode table of one group takes. */
uint32_t ext_inode_table_blocks(const ExtVolume *vol);
/* First and one-past-last block of a group. */
uint64_t ext_group_first_block(const ExtVolume *vol, uint32_t group);
uint64_t ext_group_end_block(const ExtVolume *vol, uint32_t group);
/* Volume block of group-descriptor block i (meta_bg puts them in groups). */
uint64_t ext_desc_block(const ExtVolume *vol, uint32_t i);

/* True for a block number that can be read: not 0, below blocksCount and on
 * the medium. */
bool ext_block_valid(const ExtVolume *vol, uint64_t block);

/* SV_ALLOC_* bits for a byte range of the partition from the block
 * bitmaps (blocks before the first data block count as in use; a bitmap
 * that cannot be read says nothing). */
int ext_range_in_use(ExtVolume *vol, uint64_t offset, uint64_t length);
void ext_alloc_cache_free(ExtVolume *vol);

/* Reads one block from the medium itself, never through the overlay. */
ExtStatus ext_read_block_raw(const ExtVolume *vol, uint64_t block, void *buf);

/*
 * __ext2_ReadBlock: zero-fills one block of buf and reads block number block
 * into it.  EXT_CORRUPT for block 0, a block outside the volume or a null
 * buffer; EXT_IO when the device delivered less than the whole block (the
 * missing bytes are zeros).
 */
ExtStatus __ext2_ReadBlock(const ExtVolume *vol, uint64_t block, void *buf);

/* Reads count consecutive blocks starting at first into buf (count blocks
 * long); blocks past the volume's end read as zeros and give EXT_IO. */
ExtStatus ext_read_blocks(const ExtVolume *vol, uint64_t first, uint32_t count, void *buf);

/*
 * Block-pointer resolution.  list receives want entries, the data blocks of
 * the inode in file order: the 12 direct pointers, then the entries reached
 * through the indirect, double-indirect and triple-indirect blocks.  A pointer
 * block that is 0 or cannot be read leaves the entries it covers at 0 and the
 * walk goes on with the next pointer, so one damaged pointer costs only the
 * part of the file behind it.  The work is bounded by want.  Returns the
 * number of entries that could not be resolved (covered by a pointer block
 * that is not 0 but could not be read).
 */
uint64_t ext_resolve_blocks(const ExtVolume *vol, const uint8_t *inode, uint32_t *list, uint64_t want);

/* The single, double and triple levels of the walk above; each appends to
 * list from *filled until want, covering the entries of pointer block
 * `block`, and returns EXT_OK or the first failure met below it. */
ExtStatus __ext2_CopyIndirectBlockPointers(const ExtVolume *vol, uint32_t *list, uint64_t *filled,
                                          uint64_t want, uint32_t block, uint64_t *unresolved);
ExtStatus __ext2_CopyDoubleIndirectBlockPointers(const ExtVolume *vol, uint32_t *list,
                                                uint64_t *filled, uint64_t want, uint32_t block,
                                                uint64_t *unresolved);
ExtStatus __ext2_CopyTripleIndirectBlockPointers(const ExtVolume *vol, uint32_t *list,
                                                uint64_t *filled, uint64_t want, uint32_t block,
                                                uint64_t *unresolved);

/* Inode helpers over a 128-byte (or longer) inode copy. */
uint16_t ext_inode_mode(const uint8_t *inode);
uint32_t ext_inode_dtime(const uint8_t *inode);
uint32_t ext_inode_mtime(const uint8_t *inode);
uint16_t ext_inode_links(const uint8_t *inode);
/* i_size, with i_size_high as the upper half for everything but directories. */
uint64_t ext_inode_size(const uint8_t *inode);
/* Data blocks of a file of this size: ceil(size / block size). */
uint64_t ext_block_count(const ExtVolume *vol, uint64_t size);
/* True when the inode's data lives in blocks: a non-empty file, or a
 * symbolic link whose target did not fit into i_block.  A target of exactly
 * 60 bytes needs its terminator too and goes to a block; the inode's sector
 * count (beyond an extended-attribute block) tells which way it was stored. */
bool ext_inode_has_data_blocks(const ExtVolume *vol, const uint8_t *inode);

#endif /* EXT_VOLUME_H */
