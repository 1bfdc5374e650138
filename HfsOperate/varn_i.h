/*
 * libvarn internals: the volume description, the library state, the node
 * parser and the sector walk shared by the journal and catalog scans.
 */
#ifndef VARN_I_H
#define VARN_I_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "merrow.h"
#include "sv_bytes.h"
#include "varn.h"

/* Rich status inside the library; folded at the exported edge. */
typedef enum hfsp_status {
    HFSP_OK = 0,
    HFSP_IO,       /* the device did not deliver */
    HFSP_CORRUPT,  /* skip this structure and go on */
    HFSP_STOP      /* the progress value asked the scan to end */
} hfsp_status;

/* Sizes of on-disk structures. */
enum {
    HFSP_SECTOR = 512,
    HFSP_VH_OFFSET = 1024,
    HFSP_NODE_DESCRIPTOR = 14,
    HFSP_FOLDER_RECORD = 88,
    HFSP_FILE_RECORD = 248,
    HFSP_FORK_EXTENTS = 8,
    HFSP_MIN_NODE = 512,
    HFSP_MAX_NODE = 32768,
    HFSP_FIRST_LISTED_CNID = 17  /* 1..15 are reserved, 16 is the private metadata folder */
};

#define HFSP_VOL_JOURNALED 0x00002000u
#define HFSP_JIB_IN_FS 0x00000001u
#define HFSP_JIB_OTHER_DEVICE 0x00000002u
#define HFSP_JOURNAL_MAGIC 0x4a4e4c78u
#define HFSP_JOURNAL_ENDIAN 0x12345678u

/* One fork of the volume header, host order. */
typedef struct hfsp_fork {
    uint64_t logicalSize;
    uint32_t totalBlocks;
    uint32_t startBlock[HFSP_FORK_EXTENTS];
    uint32_t blockCount[HFSP_FORK_EXTENTS];
} hfsp_fork;

/* The fields of the volume header the scanner uses, host order. */
typedef struct hfsp_volume {
    uint16_t signature;        /* 'H+' or 'HX' */
    uint16_t version;
    uint32_t attributes;
    uint32_t journalInfoBlock;
    uint32_t blockSize;
    uint32_t totalBlocks;
    hfsp_fork allocationFile;
    hfsp_fork extentsFile;
    hfsp_fork catalogFile;
    hfsp_fork attributesFile;
} hfsp_volume;

/* Open-addressing set of CNIDs (0 never stored). */
typedef struct hfsp_idset {
    uint32_t *slots;
    uint32_t capacity;  /* a power of two, or 0 */
    uint32_t count;
} hfsp_idset;

/* A list of found records with its duplicate filter. */
typedef struct hfsp_list {
    hfsp_file_list_Journal **head;
    hfsp_file_list_Journal **tail;
    hfsp_idset *seen;
} hfsp_list;

/* All of the library's process-wide state. */
typedef struct hfsp_state {
    int m_Mold;                          /* mode of the last search: 1 journal, 0 deep, -1 none */
    Partiton_Struct *m_stPartition;      /* the partition being scanned */
    hfsp_volume *m_stHfs_vh;             /* owned, host order; null before init */
    uint32_t m_nodeSize;                 /* catalog B-tree node size */
    double m_nBlockSize;                 /* allocation block size */
    uint64_t volumeBytes;                /* readable extent of the volume */
    hfsp_file_list_Journal *m_stLog;     /* journal list head */
    hfsp_file_list_Journal *m_stLog1;    /* journal list tail */
    hfsp_file_list_Journal *m_stLog2;    /* catalog list head */
    hfsp_file_list_Journal *m_stLog3;    /* catalog list tail */
    hfsp_idset journalIds;
    hfsp_idset catalogIds;
    hfsp_file_list_Journal *m_rwinfo;    /* record being streamed */
    uint64_t FileOffset;                 /* file position reached in it */
    uint64_t m_Num;                      /* bytes hfsp_readfile still has to deliver */
    bool deepHeld;                       /* the signature engine holds results of a mode-0 search */
    uint8_t *allocBits;                  /* a window of the allocation file (hfsp_in_use) */
    uint64_t allocBitsAt;                /* its byte position in the allocation file */
    uint32_t allocBitsLen;               /* bytes it holds; 0 none */
} hfsp_state;

extern hfsp_state g_hfsp;

/* ---- state (hfsp_state.cpp) ---- */
bool hfsp_idset_insert(hfsp_idset *set, uint32_t id);  /* false when already present */
bool hfsp_idset_has(const hfsp_idset *set, uint32_t id);
void hfsp_idset_free(hfsp_idset *set);
void hfsp_list_free(hfsp_file_list_Journal **head, hfsp_file_list_Journal **tail, hfsp_idset *seen);
/* Raises the progress value to pct (never lowers it, never touches 100+). */
void hfsp_progress_raise(int32_t pct);
/* Ends a scan: 100 unless a stop request is standing. */
void hfsp_progress_finish(void);
int32_t hfsp_device_read(void *dst, uint32_t length, uint64_t volume_offset);

/* ---- volume (hfsp_volume.cpp) ---- */
/* Parses a 512-byte volume header. */
hfsp_status hfsp_parse_volume_header(sv_view vh, hfsp_volume *out);
/* nodeSize of a B-tree header node (node 0), or 0 when it is not plausible. */
uint32_t hfsp_header_node_size(sv_view node0);

typedef struct hfsp_journal_info {
    uint64_t offset;      /* volume byte offset of the journal */
    uint64_t size;        /* bytes */
    uint32_t headerSize;  /* jhdr_size when the journal header is valid, else 0 */
} hfsp_journal_info;

/* Journal info block (512 bytes) checked against the volume size. */
hfsp_status hfsp_parse_journal_info(sv_view jib, uint64_t volume_bytes, hfsp_journal_info *out);
/* jhdr_size of a journal header (first sector of the journal), or 0. */
uint32_t hfsp_journal_header_size(sv_view jhdr, uint64_t journal_size);

/* ---- nodes (hfsp_node.cpp) ---- */
/* The leaf test made at every 512-byte boundary: kind -1, height 1. */
static inline bool hfsp_leaf_sector(const uint8_t *p)
{
    return p[8] == 0xFF && p[9] == 0x01;
}

/* Record i of a node, bounded by the node's record area: [start, end). */
bool hfsp_node_record(sv_view node, uint16_t index, size_t *start, size_t *end);

/* Parses one catalog leaf node of node.len bytes and appends its file and
 * folder records to list.  Returns HFSP_OK for a well-formed leaf node
 * (whether or not it held anything new), HFSP_CORRUPT otherwise.  accepted
 * (optional) receives the number of records appended. */
hfsp_status hfsp_parse_leaf(sv_view node, hfsp_list *list, uint32_t *accepted);

/* ---- sector walk (hfsp_journal.cpp) ---- */
typedef struct hfsp_segment {
    uint64_t offset;  /* volume byte offset */
    uint64_t length;
} hfsp_segment;

/* A logical byte stream made of volume ranges; node copies are looked for
 * at every 512-byte boundary below candidates. */
typedef struct hfsp_stream {
    const hfsp_segment *segments;
    uint32_t count;
    uint64_t candidates;
} hfsp_stream;

hfsp_status hfsp_walk_stream(const hfsp_stream *stream, uint32_t node_size, hfsp_list *list);

/* ---- reading (hfsp_read.cpp) ---- */
/* Volume byte offset of file position pos of rec's data fork and the number
 * of bytes readable from there contiguously; false when pos is not mapped. */
bool hfsp_map_position(const hfsp_file_list_Journal *rec, uint64_t pos, uint32_t block_size,
                       uint64_t volume_bytes, uint64_t *volume_offset, uint64_t *run);

/* ---- deep mode (hfsp_deep.cpp) ---- */
void hfsp_deep_search(Partiton_Struct *part);
void hfsp_deep_exit(void);

#endif /* VARN_I_H */
