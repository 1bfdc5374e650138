/*
 * Internal interface of libmerrow: list operations, the device opener and
 * the platform layer.  Not installed; scanners use merrow.h only.
 */
#ifndef MERROW_I_H
#define MERROW_I_H

#include "merrow.h"
#include "sv_bytes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- List.cpp ---- */
void Add_Dev_List(Physics_Device_Struct *dev);
int Add_Partition_List(Partiton_Struct *part);
_Device_List *Inquiry_Device_List(const Physics_Device_Struct *dev);
_Device_List *Inquiry_Partiton_List(const Partiton_Struct *part);
int RemoveList(_Device_List *node);
void Insert_DevOrPartiton_List(_Device_List *node, _Device_List *add);
void Free_Dev(Physics_Device_Struct *dev);
void Free_Par(Partiton_Struct *part);
void Free_List(void *record);
void FreeDiskOpera_Partition(void *block);

/* ---- GetDevGeometrySize.cpp ---- */
Physics_Device_Struct *GetDeviceData_APPLE_(const char *path);
/* Why a path that resolved could not be opened. */
typedef struct sv_open_failure {
    bool failed;      /* the path resolved but could not be opened */
    int err;          /* errno of the direct open */
    char path[4096];  /* the resolved path */
    char text[256];
} sv_open_failure;
/* GetDeviceData_APPLE_, telling in *fail (when given) why a path that
 * resolved gave no descriptor. */
Physics_Device_Struct *sv_open_device(const char *path, sv_open_failure *fail);
int32_t disk_get_sector_size(int fd, const char *path);
uint64_t disk_get_size(int fd, const char *path, int32_t sector_size);
void disk_get_geometry(Physics_Device_Struct *geom, int fd, const char *path);
void disk_get_model(int fd, Physics_Device_Struct *dev);
void Update_Disk_Car_Fields(Physics_Device_Struct *dev);
uint64_t compute_device_size(void);

/* ---- platform_linux.cpp: the only file that knows the platform ---- */
typedef struct sv_disk_desc {
    int32_t sector_size;   /* logical sector size, 0 when unknown */
    uint64_t media_size;   /* bytes, 0 when unknown */
    char vendor[64];       /* trimmed; empty when unknown */
    char model[128];       /* trimmed; empty when unknown */
    bool has_vendor;
} sv_disk_desc;

/* Resolve "/dev/diskN" to the path that stands for it; false when absent. */
bool sv_platform_resolve(const char *dev_path, char *out, size_t out_len);
/* Describe the opened descriptor (opened from the resolved path). */
bool sv_platform_describe(int fd, const char *resolved, sv_disk_desc *desc);
/*
 * Opens the resolved path for reading only: directly (exclusively where the
 * system allows it, else shared), else, when the direct open was refused
 * for want of permission, through the opener a front end set with
 * Salvitra_SetDeviceOpener.  A descriptor from the opener is taken only
 * when it is read-only and stands for that very file or device; it is then
 * used like one opened here.  On failure returns -1 with *err the errno of
 * the direct open and why a line of text (the opener's when it was asked).
 */
int sv_platform_open(const char *resolved, int32_t *flags_used, int *err, char *why, size_t why_len);

/* ---- block reads for probes and table readers (FullPartitionStruct.cpp) ---- */
/* The real device record behind a list node, or null. */
Physics_Device_Struct *sv_node_dev(_Device_List *node);
/* True when the device's sector size is one the readers can work with. */
bool sv_sector_size_ok(const Physics_Device_Struct *dev);
/*
 * Reads len bytes at byte offset off of the node's device into a new MALLOC
 * block.  Null (nothing allocated) unless the whole range lies on the device
 * and the read delivers every byte: nothing is read past the medium's end.
 */
uint8_t *sv_read_block(_Device_List *node, uint64_t off, uint32_t len);

/*
 * The shared first half of every check_*: reads len bytes at byte off of
 * the partition (off + PartOffset on the device) and runs test on them with
 * a scratch record that carries the partition's size.  On success returns
 * the block (to become BootData through sv_keep_boot_data) with the scratch
 * record filled in; otherwise null, with *rc the failed check (1 when the
 * bytes could not be read).
 */
typedef int32_t (*sv_probe_test)(_Device_List *node, sv_view bytes, Partiton_Struct *probe);
uint8_t *sv_probe_block(_Device_List *node, const Partiton_Struct *part, uint64_t off, uint32_t len,
                        sv_probe_test test, Partiton_Struct *probe, int32_t *rc);
/* Hands buf to the record as its BootData, freeing an earlier one. */
void sv_keep_boot_data(Partiton_Struct *part, uint8_t *buf);

/* ---- volume-name text (VolumeName.cpp): both write a terminated UTF-8
 * text cut on a character boundary to fit out_len ---- */
void sv_utf16le_to_utf8(const uint8_t *src, size_t nchars, char *out, size_t out_len);
void sv_macroman_to_utf8(const uint8_t *src, size_t len, char *out, size_t out_len);

/* ---- file-system probes: 0 = recognised, else the number of the failed
 * check.  test_* judge an already-read buffer; check_* read it themselves.
 * Both write the record only on success. ---- */
/* Refusals, kept for Salvitra_GetRejection (Rejections.cpp).  A probe
 * returns sv_probe_fail(code, "why") instead of a bare code; the partition
 * walk reads sv_probe_reason() after each failed probe and notes one line
 * per entry it could not use with sv_reject. */
int32_t sv_probe_fail(int32_t code, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void sv_probe_reason_clear(void);
const char *sv_probe_reason(void);
void sv_reject(_Device_List *node, uint64_t offset, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void sv_rejections_clear(void);

/* The second half of each check_*, on bytes already read: the boot sector
 * (FAT, exFAT, NTFS) or what lies from byte 1024 of the volume (ext, HFS+).
 * On success the record is filled in and buf becomes its BootData; else
 * buf is freed.  The volume's other structures (label, MFT) are read at
 * the record's PartOffset.  Found volumes whose first sectors are gone are
 * built this way from a backup copy. */
int32_t take_FAT(_Device_List *node, Partiton_Struct *part, uint8_t *buf, uint32_t len);
int32_t take_EXFAT(_Device_List *node, Partiton_Struct *part, uint8_t *buf, uint32_t len);
int32_t take_NTFS(_Device_List *node, Partiton_Struct *part, uint8_t *buf, uint32_t len);
int32_t take_EXT(_Device_List *node, Partiton_Struct *part, uint8_t *buf, uint32_t len);
int32_t take_HFSP(_Device_List *node, Partiton_Struct *part, uint8_t *buf, uint32_t len);
/* The medium health table (MediumHealth.cpp): a descriptor is registered
 * when its device is opened and dropped before it is closed; every read
 * through it reports its outcome (offsets as the descriptor sees them). */
void sv_medium_open(int fd, const char *path);
void sv_medium_close(int fd);
bool sv_medium_gone(int fd);
/* True when the byte at offset failed to read before and was not read since. */
bool sv_medium_known_bad(int fd, uint64_t offset);
void sv_medium_read_ok(int fd, uint64_t offset, uint64_t length);
void sv_medium_read_failed(int fd, uint64_t offset, uint64_t length, int err);
/* Notes that the volume at offset claims more bytes than it can hold. */
void sv_note_size_claim(const Partiton_Struct *part, uint64_t claimed, uint64_t holds, bool by_table,
                        const char *source);

int32_t test_FAT(_Device_List *node, sv_view boot, Partiton_Struct *part);
int32_t check_FAT(_Device_List *node, Partiton_Struct *part);
void set_part_name_chomp(Partiton_Struct *part, const char *src, size_t len);
bool check_VFAT_volume_name(const char *name);

int32_t test_EXFAT(_Device_List *node, sv_view boot, Partiton_Struct *part);
int32_t check_EXFAT(_Device_List *node, Partiton_Struct *part);

int32_t test_NTFS(_Device_List *node, sv_view boot, Partiton_Struct *part);
/*
 * Bytes per cluster of an NTFS boot sector: the sectors-per-cluster byte is
 * a count of 1 to 128 sectors, or, from 0x81 on, 2 to the power of
 * (256 - value) sectors (clusters of 128 KiB to 2 MiB).  0 when the byte or
 * the sector size gives no valid cluster of at most 2 MiB.
 */
uint32_t ntfs_cluster_bytes(const uint8_t *boot);
int32_t check_NTFS(_Device_List *node, Partiton_Struct *part);
/* Finds the resident attribute `type` in the MFT records of the buffer and
 * copies a $VOLUME_NAME value into name (UTF-8); 1 found, 0 not, 2 corrupt. */
int32_t ntfs_get_attr(uint8_t *record, uint32_t len, uint32_t type, char *name, size_t name_len);

int32_t test_EXT(_Device_List *node, sv_view sb, Partiton_Struct *part);
int32_t check_EXT(_Device_List *node, Partiton_Struct *part);

int32_t test_HFS(_Device_List *node, sv_view mdb, Partiton_Struct *part);
int32_t check_HFS(_Device_List *node, Partiton_Struct *part);
int32_t test_HFSP(_Device_List *node, sv_view vh, Partiton_Struct *part);
int32_t check_HFSP(_Device_List *node, Partiton_Struct *part);

/* ---- partition tables (Partition.cpp, GPT.cpp, MAC.cpp, FullPartitionStruct.cpp) ---- */
#define SV_EBR_SLOTS 24
typedef struct EbrChainState {
    uint64_t Slots[SV_EBR_SLOTS];  /* byte offsets of the first EBRs visited */
    int32_t Depth;
    uint64_t Base;                 /* first EBR of the chain: base of nested links */
    int32_t Count;                 /* EBRs visited, also beyond the slots */
} EbrChainState;
extern EbrChainState EbrChain;
uint64_t *Get_GlobOffset(void);

/* MBR type-byte classes. */
bool sv_mbr_is_partition(uint8_t type);
bool sv_mbr_is_extended(uint8_t type);

void Get_Partiton_Data(_Device_List *node, int unused);
void Init_Part_i386(_Device_List *node, uint8_t *sector0);
void EBR_info(_Device_List *node, uint64_t ebr_offset);
void Init_Part_mac(_Device_List *node);
uint8_t Judge_GTP(_Device_List *node);
struct GPT_INFO;
int Init_GTP_DataOffset(_Device_List *node, struct GPT_INFO *info);
int Get_MAC_Type(_Device_List *node, uint64_t offset);
void Get_Part_Type(_Device_List *node, const InFoDisk *entry, Partiton_Struct *part);
Partiton_Struct *Full_Part_Struct(_Device_List *node, const InFoDisk *entry);
/* As Full_Part_Struct, with the partition's byte offset given in full
 * (an entry's 32-bit first sector cannot address past 2 TiB). */
Partiton_Struct *sv_full_part_at(_Device_List *node, const InFoDisk *entry, uint64_t offset);
/* The device record a partition at this place is read through: a device
 * carrying exactly this partition, else a private partition-relative copy. */
void sv_choose_device(_Device_List *node, Partiton_Struct *part, uint32_t cmp_len);
/* A private partition-relative copy of the node's device for the record. */
void sv_private_copy(_Device_List *node, Partiton_Struct *part);
/* PartSize from the file system's own header in BootData; *cmp_len is how
 * many of its bytes identify the partition on another device record. */
void sv_size_from_boot(Partiton_Struct *part, uint32_t sector_size, uint32_t *cmp_len);
/* Ends the volume where its table entry (entry may be null) or its device
 * ends, noting a larger claim of its own header. */
void sv_cap_to_medium(const Physics_Device_Struct *dev, const InFoDisk *entry, Partiton_Struct *part);

/* ---- other file systems at a partition's place (FoundPartition.cpp) ---- */
/* Runs every other file system's check at the record's place; each one
 * that passes becomes an alternative record of it (Salvitra_GetAlternative). */
void sv_note_alternatives(_Device_List *node, Partiton_Struct *part);
/* Frees the alternatives of one record, or (null) of every record. */
void sv_alternatives_free(const Partiton_Struct *part);
/* Frees a record that is in no list: its alternatives, its private device
 * copy, its buffers. */
void sv_free_record(Partiton_Struct *part);
/* The record of a found volume, built from its Boot bytes (no
 * alternatives yet, in no list); null when they do not hold. */
Partiton_Struct *sv_found_record(_Device_List *node, const Found_Volume *v);
/* The list node of a device by its number, or null. */
_Device_List *sv_device_node(int32_t dev_num);

/* ---- the search for lost volumes (LostSearch.cpp, LostCheck.cpp) ---- */
/* What the pass noticed at a 512-byte boundary. */
enum { SV_LOST_BOOT = 1, SV_LOST_EXT = 2, SV_LOST_HFSP = 3 };
/* One reading of a structure: the volume it would belong to. */
typedef struct sv_hint {
    int32_t fs;          /* FsType the structure's test gave */
    uint64_t start;      /* device offset of the volume it implies */
    uint64_t size;       /* bytes, from the structure */
    uint64_t at;         /* device offset of the structure */
    bool backup;         /* the structure is a backup copy under this reading */
    uint8_t key[16];     /* identity all copies of one volume share (serial, UUID, ...) */
} sv_hint;
/* The readings (0 to 2) of the structure of this kind whose bytes lie at
 * device offset at: a boot sector (SectorSize bytes), an ext superblock
 * (1024 bytes) or an HFS+ volume header (512 bytes). */
int sv_lost_hints(_Device_List *node, sv_view bytes, uint64_t at, int kind, sv_hint out[2]);
/* How many of the volume's own structures (its FATs, MFT and mirror, boot
 * checksums, group descriptors, catalog) agree with the reading, read
 * from the device; bytes are the structure's. */
int32_t sv_lost_agree(_Device_List *node, const sv_hint *h, const uint8_t *bytes);
/* One code per family: FAT32 for FAT12/16/32, EXT4 for ext2/3/4, HFS+ for
 * HFS+ and HFSX, the code itself otherwise. */
int32_t sv_fs_family(int32_t fs);
/* The search on a device-list node (Salvitra_SearchVolumes finds the node
 * by device number). */
int32_t sv_search_volumes(_Device_List *node, Volume_Search_Gate gate, void *context, Volume_Search *out);

/* ---- dynamic disks (NewsDisk.cpp) ---- */
uint8_t News_Disk(_Device_List *node, const InFoDisk *entry, bool gpt);
uint64_t Get_NewsPartition_Offset(void);
int Get_GPT_GUID(_Device_List *node, struct GPT_INFO *info);

/* ---- Win32OperateFile.cpp: the calling thread's read watch ---- */
void sv_read_watched(const Physics_Device_Struct *dev, uint64_t device_offset, uint32_t length, int32_t result);

/* ---- OperateExportsData.cpp ---- */
/* Diagnostics are off unless SALVITRA_TRACE is set in the environment. */
bool sv_trace_enabled(void);
void sv_trace(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#ifdef __cplusplus
}
#endif

#endif /* MERROW_I_H */
