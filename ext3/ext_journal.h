/*
 * The jbd2 journal of an ext3/ext4 volume, read only.
 *
 * The journal is a ring of blocks inside a file (inode 8 as a rule).  Each
 * transaction writes a descriptor block listing the volume blocks it
 * carries (block tags), then copies of those blocks, possibly more
 * descriptors, revoke blocks, and a commit block.  The reader walks every
 * block of the ring, old transactions included, and keeps for every volume
 * block the copies that are still intact, newest first; a copy counts only
 * when its transaction committed and no newer transaction wrote over its
 * place in the ring.  A journal that still needs recovery is also replayed
 * in memory (revoke records honoured) so that reads see the volume as the
 * kernel would after mounting it; nothing is ever written.
 *
 * Every field is big-endian, as jbd2 defines them.
 */
#ifndef EXT_JOURNAL_H
#define EXT_JOURNAL_H

#include <stdint.h>

#include <vector>

#include "ext_volume.h"

#define JBD2_MAGIC 0xC03B3998u
#define JBD2_DESCRIPTOR_BLOCK 1
#define JBD2_COMMIT_BLOCK 2
#define JBD2_SUPERBLOCK_V1 3
#define JBD2_SUPERBLOCK_V2 4
#define JBD2_REVOKE_BLOCK 5

#define JBD2_FEATURE_INCOMPAT_REVOKE 0x1u
#define JBD2_FEATURE_INCOMPAT_64BIT 0x2u
#define JBD2_FEATURE_INCOMPAT_ASYNC_COMMIT 0x4u
#define JBD2_FEATURE_INCOMPAT_CSUM_V2 0x8u
#define JBD2_FEATURE_INCOMPAT_CSUM_V3 0x10u
#define JBD2_FEATURE_INCOMPAT_FAST_COMMIT 0x20u
#define JBD2_DEFAULT_FAST_COMMIT_BLOCKS 256u

#define JBD2_FLAG_ESCAPE 1u
#define JBD2_FLAG_SAME_UUID 2u
#define JBD2_FLAG_LAST_TAG 8u

/* Ring slots a journal may have (32 GiB of 4 KiB blocks). */
#define EXT_JOURNAL_MAX_BLOCKS (1u << 23)

/* Why ext_journal_open gave up (for tests and traces). */
typedef enum ExtJournalCheck {
    EXT_JOURNAL_OK = 0,
    EXT_JOURNAL_NONE,        /* the volume has no internal journal */
    EXT_JOURNAL_INODE,       /* the journal inode cannot be read or mapped */
    EXT_JOURNAL_SUPER,       /* the journal superblock is not one */
    EXT_JOURNAL_GEOMETRY     /* sizes that do not fit the journal file */
} ExtJournalCheck;

/* One intact copy of a volume block inside the journal. */
typedef struct ExtJournalCopy {
    uint64_t fsBlock;
    int64_t age;       /* transaction sequence relative to the superblock's: larger is newer */
    uint32_t pos;      /* ring slot */
    uint32_t seq;      /* transaction sequence */
    uint32_t csum;     /* the tag's checksum of the block (csum v2: low 16 bits) */
    uint8_t escaped;   /* the first four bytes were the magic number */
    uint8_t verdict;   /* checksum: 0 not checked yet, 1 good, 2 wrong */
} ExtJournalCopy;

/* Journals up to this size are read into memory whole, once. */
#define EXT_JOURNAL_KEEP_BYTES (256u << 20)

/* Memory for the journal's ring: mapped as it is needed (large pages
 * where the system gives them), never copied, unmapped with its owner. */
class ExtRingMemory {
public:
    ExtRingMemory() = default;
    ExtRingMemory(const ExtRingMemory &) = delete;
    ExtRingMemory &operator=(const ExtRingMemory &) = delete;
    ~ExtRingMemory() { release(); }
    /* false when the memory cannot be had (the ring is then read as needed) */
    bool reserve(size_t bytes);
    void release();
    uint8_t *data() const { return data_; }
    size_t size() const { return size_; }

private:
    uint8_t *data_ = nullptr;
    size_t size_ = 0, mapped_ = 0;
};

typedef struct ExtJournal {
    const ExtVolume *vol;
    uint32_t first;            /* first ring slot after the superblock */
    uint32_t maxlen;           /* one past the last ring slot */
    uint32_t sequence;         /* s_sequence */
    uint32_t start;            /* s_start: 0 when nothing needs recovery */
    uint32_t incompat;
    uint32_t tagBytes;
    uint32_t csumSeed;         /* CRC32C of the journal's UUID (csum v2/v3) */
    uint32_t transactions;     /* committed transactions seen */
    uint32_t badChecksums;     /* copies refused for a wrong checksum so far */
    uint32_t replayed;         /* transactions replayed in memory */
    std::vector<uint64_t> where;         /* ring slot -> volume block (0: not mapped) */
    std::vector<ExtJournalCopy> copies;  /* by volume block, newest first */
    std::vector<ExtJournalCopy> replay;  /* by volume block: what recovery would write */
    /* The ring as its walk read it (when the journal is no larger than
     * EXT_JOURNAL_KEEP_BYTES): the blocks of committed copies are read
     * from here. */
    ExtRingMemory store;
    std::vector<uint8_t> storeOk;        /* by ring slot - first: 1 when kept and read whole */
    uint64_t blocksRead;                 /* journal blocks read from the medium */
} ExtJournal;

/* Reads the journal of the volume (the inode the superblock names).  The
 * volume's overlay is not used for the journal's own blocks. */
ExtJournalCheck ext_journal_open(ExtJournal *j, const ExtVolume *vol);

/* The copies of one volume block, newest first: returns how many and sets
 * *first (nothing when the block has no copy). */
size_t ext_journal_find(const ExtJournal *j, uint64_t fsBlock, const ExtJournalCopy **first);

/* The content of one copy (escaping undone) into buf (block size).  With
 * block checksums (csum v2/v3) a copy whose checksum does not match is
 * refused with EXT_CORRUPT: it was torn or belongs to another write.  Each
 * checksum is computed once; kept blocks are not read again. */
ExtStatus ext_journal_read_copy(const ExtJournal *j, const ExtJournalCopy *c, uint8_t *buf);

/* CRC32C (Castagnoli) update without pre- or post-inversion, as jbd2 uses
 * it: with the processor's instruction where it has one. */
uint32_t ext_crc32c(uint32_t crc, const uint8_t *p, size_t len);
/* The same through tables only (what processors without it run). */
uint32_t ext_crc32c_portable(uint32_t crc, const uint8_t *p, size_t len);

/* The volume overlay of a journal that needs recovery (ExtVolume::overlayRead). */
bool ext_journal_overlay(const void *ctx, uint64_t block, uint8_t *buf, ExtStatus *st);

#endif /* EXT_JOURNAL_H */
