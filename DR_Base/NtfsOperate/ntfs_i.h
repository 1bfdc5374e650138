/*
 * Internal interface of the NTFS scanner: on-disk layouts, the attribute
 * context with its run cache, the volume and read state, and the helpers
 * shared by the search, the read path and the formatted-volume search.
 */
#ifndef NTFS_I_H
#define NTFS_I_H

#include "ntfs.h"
#include "sv_bytes.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- on-disk constants ---- */
#define NTFS_SIG_FILE 0x454C4946u   /* "FILE" */
#define NTFS_SIG_INDX 0x58444E49u   /* "INDX" */
#define NTFS_ATTR_END 0xFFFFFFFFu

enum {
    NTFS_AT_STANDARD_INFORMATION = 0x10,
    NTFS_AT_ATTRIBUTE_LIST = 0x20,
    NTFS_AT_FILE_NAME = 0x30,
    NTFS_AT_DATA = 0x80,
    NTFS_AT_INDEX_ROOT = 0x90,
    NTFS_AT_INDEX_ALLOCATION = 0xA0,
    NTFS_AT_BITMAP = 0xB0
};

/* MFT record header offsets. */
enum {
    NTFS_REC_USA_OFS = 4,
    NTFS_REC_USA_COUNT = 6,
    NTFS_REC_SEQUENCE = 16,
    NTFS_REC_FIRST_ATTR = 20,
    NTFS_REC_FLAGS = 22,
    NTFS_REC_BYTES_IN_USE = 24,
    NTFS_REC_BYTES_ALLOCATED = 28,
    NTFS_REC_BASE_REF = 32,
    NTFS_REC_NUMBER = 44,
    NTFS_REC_HEADER_MIN = 42     /* smallest header: NTFS 3.0 records put the USA here */
};

#define NTFS_REC_IN_USE 0x0001
#define NTFS_REC_DIRECTORY 0x0002

/* File name value offsets. */
enum {
    NTFS_FN_PARENT = 0,
    NTFS_FN_CTIME = 8,
    NTFS_FN_DATA_SIZE = 48,
    NTFS_FN_FLAGS = 56,
    NTFS_FN_NAME_LEN = 64,
    NTFS_FN_NAMESPACE = 65,
    NTFS_FN_NAME = 66
};
#define NTFS_NAMESPACE_DOS 2
#define NTFS_FILE_ATTR_DIRECTORY 0x10000000u

/* Size limits of the structures this reader accepts. */
#define NTFS_MIN_RECORD 512u
#define NTFS_MAX_RECORD 65536u
#define NTFS_MAX_CLUSTER (2u * 1024 * 1024)
#define NTFS_MAX_ATTR_LIST (1u << 20)   /* bytes of an attribute list value read */
#define NTFS_MAX_LIST_RECORDS 4096u     /* extension records one attribute list may name */

/* Inside status; folded into the design's return values at the exports. */
typedef enum ntfs_status {
    NTFS_OK = 0,
    NTFS_IO,        /* the device did not deliver */
    NTFS_CORRUPT,   /* a structure is damaged: skip it and go on */
    NTFS_STOP       /* the progress value asks to stop */
} ntfs_status;

/* Where a volume's clusters are and how far reads may go. */
typedef struct ntfs_volume {
    Partiton_Struct *part;
    uint32_t cluster_size;
    uint32_t record_size;
    int64_t origin;     /* byte offset of cluster 0 on the partition (formatted volumes) */
    uint64_t limit;     /* bytes of the partition that may be read; 0: no check */
} ntfs_volume;

/* One attribute ready to read: a copy of it and the run cache. */
typedef struct NTFS_ATTR_CONTEXT {
    const uint8_t *pNextRun;   /* run list position just past the cached run */
    uint64_t nReadEnd;         /* value offset just past the last byte read */
    int64_t nRunLcn;           /* first cluster of the cached run; -1 sparse */
    uint64_t nRunLength;       /* clusters in the cached run; 0: no run cached */
    int64_t nLcnBase;          /* the cluster the next run's delta is added to */
    uint64_t nRunStart;        /* value offset at which the cached run begins */
    ntfs_volume stVolume;      /* geometry the clusters are read with */
    uint32_t nRecordLength;    /* bytes in stRecord */
    uint8_t *stRecord;         /* the whole attribute (same allocation) */
    /* compressed attributes: the last compression unit expanded */
    uint8_t *pUnit;
    uint64_t nUnitVcn;         /* its first VCN; UINT64_MAX none */
} NTFS_ATTR_CONTEXT;

/* A checked attribute header. */
typedef struct ntfs_attr {
    const uint8_t *p;
    uint32_t len;
    uint32_t type;
    uint8_t nonres;
    uint8_t name_len;
    uint16_t name_off;
    uint16_t flags;
    uint16_t id;
    /* resident */
    uint32_t value_len;
    uint16_t value_off;
    /* non-resident */
    uint64_t lowest_vcn;
    uint64_t highest_vcn;
    uint16_t runs_off;
    uint64_t alloc_size;
    uint64_t data_size;
    uint64_t init_size;
} ntfs_attr;

/* A decoded run. */
typedef struct ntfs_run {
    uint64_t length;   /* clusters */
    int64_t delta;     /* cluster delta from the previous run (not for sparse runs) */
    bool sparse;
} ntfs_run;

/* What an attribute search may use to follow attribute lists. */
typedef struct ntfs_finder {
    const ntfs_volume *vol;
    NTFS_ATTR_CONTEXT *mft;   /* the MFT's data, to read extension records; null: base record only */
} ntfs_finder;

/* Search flags. */
#define NTFS_FIND_FIRST_EXTENT 0x1   /* sizes only: do not gather the later extents */

/* ---- NtfsRecord.cpp: records and fixups ---- */
bool ntfs_apply_fixup(uint8_t *rec, uint32_t size, uint32_t signature);
/* Signature, fixups and header sanity of a FILE record (fixed up in place). */
ntfs_status ntfs_check_record(uint8_t *rec, uint32_t size);
/* Reads MFT record number from the MFT's data into buf and checks it. */
ntfs_status ntfs_read_mft_record(NTFS_ATTR_CONTEXT *mft, uint64_t number, uint32_t size, uint8_t *buf);
int64_t Ntfs_Get_MFTID(const uint8_t *rec);
bool ntfs_record_size_ok(uint32_t size);
/* Reads exactly len bytes at a byte offset of the partition (no origin); bytes delivered. */
uint64_t ntfs_dev_pread(const ntfs_volume *vol, uint64_t off, void *dst, uint64_t len);

/* ---- NtfsAttribute.cpp: attribute headers and the search ---- */
bool ntfs_attr_parse(const uint8_t *p, uint32_t avail, ntfs_attr *out);
/* Walks the attributes of a checked record; false at the end or on damage. */
typedef struct ntfs_attr_iter {
    const uint8_t *rec;
    uint32_t used;
    uint32_t pos;
    uint32_t hops;
} ntfs_attr_iter;
void ntfs_attr_iter_init(ntfs_attr_iter *it, const uint8_t *rec, uint32_t size);
bool ntfs_attr_iter_next(ntfs_attr_iter *it, ntfs_attr *out);
bool ntfs_attr_name_is(const ntfs_attr *a, const uint16_t *name, uint32_t name_len);
NTFS_ATTR_CONTEXT *Ntfs_Prepare_Attribute_Context(const ntfs_attr *a, const ntfs_volume *vol);
void Ntfs_Release_Attribute_Context(NTFS_ATTR_CONTEXT *ctx);
NTFS_ATTR_CONTEXT *ntfs_find_attr(const ntfs_finder *f, const uint8_t *rec, uint32_t size, uint64_t number,
                                  uint32_t type, const uint16_t *name, uint32_t name_len, unsigned flags);
/* The design's search on the present volume: name is an ASCII string. */
NTFS_ATTR_CONTEXT *Ntfs_Find_Attribute(const uint8_t *rec, uint32_t type, const char *name);
bool Ntfs_is_RepeatMTF(const NTFS_ATTR_CONTEXT *ctx);
/* Parsed header of a context's attribute. */
bool ntfs_ctx_attr(const NTFS_ATTR_CONTEXT *ctx, ntfs_attr *out);
/* Size of the value: value length (resident) or data size. */
uint64_t ntfs_ctx_size(const NTFS_ATTR_CONTEXT *ctx);
/* A file name value (checked): the value bytes of a 0x30 context. */
bool ntfs_ctx_value(const NTFS_ATTR_CONTEXT *ctx, const uint8_t **value, uint32_t *len);
bool ntfs_fn_parse(const NTFS_ATTR_CONTEXT *ctx, uint64_t *parent, uint64_t *ctime, uint8_t *name_len,
                   const uint8_t **name);

/* ---- NtfsRunList.cpp: run lists ---- */
const uint8_t *Ntfs_Decode_Run(const uint8_t *p, const uint8_t *end, ntfs_run *out, bool *bad);
/* Decodes the first run into the cache; false when the list is empty or damaged. */
bool ntfs_ctx_rewind(NTFS_ATTR_CONTEXT *ctx);
/* Decodes the run after the cached one; false at the end of the list or on damage. */
bool ntfs_ctx_advance(NTFS_ATTR_CONTEXT *ctx);
uint64_t __getLCNlenth(NTFS_ATTR_CONTEXT *ctx);
/* Absolute runs of one extent; returns false on a damaged list (runs so far kept). */
typedef struct ntfs_abs_run {
    uint64_t vcn;
    uint64_t length;
    int64_t lcn;       /* -1 sparse */
} ntfs_abs_run;
size_t ntfs_runs_count_bytes(size_t nruns);
/* Writes an encoded run list for runs into out (room ntfs_runs_count_bytes); returns bytes. */
size_t ntfs_runs_encode(const ntfs_abs_run *runs, size_t n, uint8_t *out);

/* ---- NtfsCompress.cpp ---- */
#define NTFS_ATTR_COMPRESSED 0x0001
#define NTFS_MAX_UNIT (1u << 20)   /* bytes of one compression unit */
bool ntfs_lznt1_decompress(const uint8_t *in, size_t in_len, uint8_t *out, size_t out_len);

/* ---- NtfsAttrRead.cpp: reads through the run cache ---- */
int64_t Ntfs_Read_Attribute(NTFS_ATTR_CONTEXT *ctx, int64_t offset, void *dst, int64_t length);

/* ---- OperateNtfs.cpp: the library's state ---- */
typedef struct ntfs_mft_extent {            /* one extent of an old MFT (LncOffset) */
    uint64_t nStart;                        /* byte range on the partition */
    uint64_t nEnd;
    uint64_t nFirstNumber;                  /* MFT number of its first record */
    struct ntfs_mft_extent *pNext;
} ntfs_mft_extent;

typedef struct NTFS_FORMAT_MTF_INFO {      /* one old volume */
    uint8_t *pRecord0;                      /* its MFT record 0 */
    NTFS_ATTR_CONTEXT *pMftData;            /* the old MFT's data */
    uint32_t nClusterSize;                  /* 0: slot free */
    uint32_t nRecordSize;
    uint64_t nRecordPos;                    /* byte position of record 0 */
    uint64_t nMirrorPos;                    /* byte position of the MFT mirror's data */
    int64_t nOrigin;                        /* byte position of its cluster 0 */
    ntfs_volume stVolume;
} NTFS_FORMAT_MTF_INFO;

typedef struct ntfs_dir_array {            /* ArrnyList: folders of an old volume by MFT number */
    uint64_t nCount;
    NTFS_FORMAT_INFO_t **ppDirs;
} ntfs_dir_array;

typedef struct NtfsState {
    /* present volume */
    Partiton_Struct *NtfsPartiton;
    uint8_t *NtfsBootSector;                /* private copy of the first sector */
    uint32_t NtfsClusterSize;
    uint32_t NtfsMftRecordSize;
    uint32_t NtfsIndexRecordSize;
    uint8_t *NtfsMasterFileTable;           /* MFT record 0 */
    NTFS_ATTR_CONTEXT *NtfsMFTContext;
    ntfs_volume Volume;
    /* the open file */
    uint64_t GlobalMFTNumber;
    NTFS_ATTR_CONTEXT *NtfsGlobalAttrData;
    uint64_t ReadFileOffset;
    uint64_t GlobalOffset;
    bool ForMat;
    NTFS_FORMAT_INFO_t *TempInFo;
    /* formatted volumes */
    NTFS_FORMAT_MTF_INFO MTFinfo[NTFS_FORMAT_SLOTS];
    ntfs_mft_extent *LncOffset[NTFS_FORMAT_SLOTS];
    ntfs_dir_array ArrnyList[NTFS_FORMAT_SLOTS];
    uint32_t Input;                         /* first slot registered; UINT32_MAX none */
    Partiton_Struct *FormatPartiton;
    /* directory lister */
    NTFS_DEL_FILEINFO_t *ExternUse;
    NTFS_DEL_FILEINFO_t *ExternTail;
    /* the present volume's cluster bitmap (record 6), opened when first asked */
    NTFS_ATTR_CONTEXT *BitmapData;
    /* a formatted-volume search fed from outside (Ntfs_Format_Feed) */
    struct ntfs_format_scan *FormatScan;
} NtfsState;

extern NtfsState g_ntfs;

/* Volume geometry from a boot sector; false when it is not usable. */
bool ntfs_parse_boot(const uint8_t *boot, size_t len, uint32_t *cluster, uint32_t *record, uint32_t *index,
                     uint64_t *mft_lcn, uint64_t *total_bytes);
/* The MFT's data attribute from record 0, extension records included. */
NTFS_ATTR_CONTEXT *ntfs_open_mft(const ntfs_volume *vol, const uint8_t *rec0, uint32_t size);
void ntfs_close_file(void);
bool ntfs_ready(void);
/* Set up and tear down the present volume (the exported calls wrap these). */
bool ntfs_init(Partiton_Struct *part);
void ntfs_exit(void);
ntfs_finder ntfs_present_finder(void);
/* Reads and checks the present volume's MFT record number into a new buffer; null on failure. */
uint8_t *ntfs_load_record(uint64_t number, ntfs_status *st);

/* ---- NtfsData.cpp ---- */
/* The continuing step shared by the quick-scan and formatted readers. */
int ntfs_read_open_file(void *dst, uint32_t length);

/* ---- NtfsFormat.cpp ---- */
void ntfs_format_free_slots(void);
void ntfs_format_scan_free(void);
/* The unnamed data stream of a record of an old volume, or null. */
NTFS_ATTR_CONTEXT *ntfs_format_data(const NTFS_FORMAT_INFO_t *info);

/* ---- names and times ---- */
void ntfs_copy_name_units(uint16_t *dst_unaligned_bytes, const uint8_t *src, uint32_t units);

#ifdef __cplusplus
}
#endif

#endif /* NTFS_I_H */
