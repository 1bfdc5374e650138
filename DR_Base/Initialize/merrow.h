/*
 * libmerrow - the core disk library.
 *
 * Device and partition records and their lists, raw device access, the
 * shared progress value, the found-file callback registry and the
 * allocator used by every library of the system.
 *
 * Everything here is plain C so that every scanner library and both
 * front ends share one binary interface.
 */
#ifndef MERROW_H
#define MERROW_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <pthread.h>

#include "merrow_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* File-system type codes of Partiton_Struct.FsType. */
enum {
    FS_UNKNOWN = 0,
    FS_FAT12 = 1,
    FS_FAT16 = 2,
    FS_FAT32 = 3,
    FS_NTFS = 4,
    FS_EXFAT = 5,
    FS_EXT2 = 6,
    FS_EXT3 = 7,
    FS_EXT4 = 8,
    FS_HFS = 9,
    FS_HFSPLUS = 10,
    FS_HFSX = 11
};

#define SV_DEV_FIRST 0
#define SV_DEV_LAST 19      /* /dev/disk0 .. /dev/disk19 are probed */
#define SV_DEV_SKIPPED 16   /* listed, never parsed for partitions */

#define SV_DEVNAME_LEN 50
#define SV_DEVPATH_LEN 100
#define SV_VOLNAME_LEN 32
#define SV_FSINFO_LEN 48

struct Partiton_Struct;
struct Physics_Device_Struct;

/* Bounce buffer for unaligned reads and writes. */
typedef struct ReadCache {
    uint8_t Valid;
    uint8_t *Buffer;
    uint32_t Capacity;
    uint32_t LastLength;
} ReadCache;

typedef int32_t (*DeviceWriteFn)(struct Physics_Device_Struct *dev, const void *src,
                                 uint32_t length, uint64_t offset);
typedef int32_t (*DeviceReadFn)(struct Physics_Device_Struct *dev, void *dst,
                                uint32_t length, uint64_t offset);
typedef int32_t (*DeviceCleanFn)(struct Physics_Device_Struct *dev);

/* Operations table: slot 0 write, slot 1 read, slot 2 clean. */
typedef struct DeviceOps {
    DeviceWriteFn write;
    DeviceReadFn read;
    DeviceCleanFn clean;
} DeviceOps;

typedef struct Physics_Device_Struct {
    int32_t DevNum;
    char DevName[SV_DEVNAME_LEN];
    uint64_t DiskSize;
    uint64_t Cylinders;
    uint32_t Heads;
    uint32_t SectorsPerTrack;
    int32_t OpenFlags;
    int32_t MediaKind;
    int32_t Fd;
    int32_t SectorSize;
    ReadCache *Cache;
    struct Partiton_Struct *OwnerPartition;
    uint8_t reserved[4];
    DeviceOps *Ops;
    uint8_t Used;
    char DevPath[SV_DEVPATH_LEN];
} Physics_Device_Struct;

typedef struct Partiton_Struct {
    int32_t DevNum;
    char VolumeName[SV_VOLNAME_LEN];
    char FsInfo[SV_FSINFO_LEN];
    void *ExtraBuf;
    uint64_t PartSize;
    int32_t FsType;
    uint64_t PartOffset;
    uint8_t Bootable;
    Physics_Device_Struct *Device;
    char AccessMode;
    uint8_t *BootData;
} Partiton_Struct;

/* The 16-byte MBR partition entry, as it lies on disk. */
#pragma pack(push, 1)
typedef struct InFoDisk {
    uint8_t BootIndicator;
    uint8_t StartChs[3];
    uint8_t Type;
    uint8_t EndChs[3];
    uint32_t FirstSector;
    uint32_t SectorCount;
} InFoDisk;
#pragma pack(pop)

/* Node of both global lists. */
typedef struct _Device_List {
    void *data;
    struct _Device_List *prev;
    struct _Device_List *next;
} _Device_List;

/* Found-file callback registry. */
typedef enum SCAN_TYPE {
    SCAN_TYPE_DEEP = 0,     /* signature-engine record */
    SCAN_TYPE_NTFS_DEL = 1  /* NTFS deleted-file record */
} SCAN_TYPE;

typedef void (*FoundFileCallBack)(void *item, SCAN_TYPE type, void *context);

typedef struct CallBackStruct {
    FoundFileCallBack function;
    void *context;
} CallBackStruct;

typedef struct CallBackVec {
    CallBackStruct *items;
    uint32_t count;
    uint32_t capacity;
} CallBackVec;

/* ---- globals ---- */
MERROW_EXPORT extern _Device_List *GlobPointer;
MERROW_EXPORT extern _Device_List *GlobPointerPartiton;
MERROW_EXPORT extern void *GlobPointerArry[16];
MERROW_EXPORT extern DeviceOps Apple_System;
MERROW_EXPORT extern int32_t ExportsData;
MERROW_EXPORT extern pthread_mutex_t hDataEvent;
MERROW_EXPORT extern CallBackVec g_callbackVec;
MERROW_EXPORT extern int32_t DeviceStructSize;
MERROW_EXPORT extern int32_t PartitonStructSize;

/* Dynamic-disk reader state: the database buffer of the disk being read
 * (only during one call), the disk GUID texts in it by disk index, the
 * byte offsets of the volumes found, and the index of the volume being
 * built (-1 when none). */
MERROW_EXPORT extern uint8_t *LDMaddr;
MERROW_EXPORT extern int32_t _Gindx;
MERROW_EXPORT extern uint64_t OffsetArry[16];
MERROW_EXPORT extern uint8_t *DiskGUID[16];

/* ---- device list (build / teardown) ---- */
MERROW_EXPORT void FullDevStruct(void);
MERROW_EXPORT int FullDevStruct_exit(void);

/* ---- partition list (build after FullDevStruct, tear down before
 * FullDevStruct_exit) ---- */
MERROW_EXPORT void FullPartitionBlock(void);
MERROW_EXPORT void FullPartitionBlock_exit(void);

/* ---- raw access through Apple_System ---- */
MERROW_EXPORT int32_t File_Apple_Pwrite(Physics_Device_Struct *dev, const void *src,
                                        uint32_t length, uint64_t offset);
MERROW_EXPORT int32_t File_Apple_Pread(Physics_Device_Struct *dev, void *dst,
                                       uint32_t length, uint64_t offset);
MERROW_EXPORT int32_t File_Apple_Clean(Physics_Device_Struct *dev);

/* ---- progress value ---- */
MERROW_EXPORT int32_t get_ExportsData(void);
MERROW_EXPORT void changeExportsData(int32_t value);
MERROW_EXPORT void set_ExportsData(bool flag);

/* ---- misc services ---- */
MERROW_EXPORT uint32_t get_blocksize(const Partiton_Struct *part);
MERROW_EXPORT void *MALLOC(size_t size);
MERROW_EXPORT uint32_t CONVERSION32(uint32_t v);
MERROW_EXPORT uint16_t CONVERSION16(uint16_t v);

/* ---- found-file callbacks ---- */
MERROW_EXPORT void AddFoundFileCallBack(FoundFileCallBack function, void *context);
MERROW_EXPORT void RemoveFoundFileCallback(void *context);

/*
 * Stand-in devices.  Salvitra_SetDiskImages names image files (or block
 * devices) that take the /dev/disk0.. slots in the given order; while such
 * a list is set nothing else is probed.  Returns 0, or -1 when more paths
 * are given than there are slots.  Salvitra_SetDiskImages(NULL, 0) clears it.
 * Without a list, the SALVITRA_DISK_DIR folder (entries disk0..disk19)
 * is used when that variable is set, else the machine's whole disks.
 */
MERROW_EXPORT int Salvitra_SetDiskImages(const char *const *paths, int count);

/* Why the index-th table entry or bare-volume check of the last list build
 * gave no partition: the device number, the byte offset it was looked for
 * at, and a line of text.  0, or -1 past the last one. */
MERROW_EXPORT int32_t Salvitra_GetRejection(int32_t index, int32_t *dev_num, uint64_t *offset, char *text,
                                            size_t text_len);

/* A volume whose own header claims more than its partition or device holds
 * is listed with what can be read (PartSize); the claim is kept for the
 * front ends to show. */
typedef struct Salvitra_SizeClaim {
    int32_t DevNum;       /* the device whose table (or bare volume) gave it */
    uint64_t PartOffset;
    uint64_t Claimed;     /* bytes the file system's header claims */
    uint64_t Holds;       /* bytes from PartOffset to the end of the partition or device */
    uint8_t ByTable;      /* 1: the partition table entry ends first; 0: the device */
    char Source[16];      /* "boot sector", "superblock", "volume header" */
} Salvitra_SizeClaim;

/* The index-th such claim of the last list build: 0, or -1 past the last. */
MERROW_EXPORT int32_t Salvitra_GetSizeClaim(int32_t index, Salvitra_SizeClaim *out);

/*
 * The health of the medium behind a device record (shared by the private
 * copies of its partitions).  A byte range whose read failed counts as
 * unreadable until a later read of it succeeds.
 */
typedef struct Salvitra_MediumHealth {
    uint64_t UnreadableBytes;  /* bytes whose reads failed and were never read since */
    uint32_t UnreadableAreas;  /* runs of such bytes */
    uint32_t FailedReads;      /* read calls that failed, retries included */
    uint8_t Gone;              /* the medium went away: unplugged, its image removed, ... */
} Salvitra_MediumHealth;

/* 0, or -1 (and zeros) for a record that is not an opened medium. */
MERROW_EXPORT int32_t Salvitra_GetMediumHealth(const Physics_Device_Struct *dev, Salvitra_MediumHealth *out);
/* Forgets the unreadable ranges and failed reads seen so far (a scan's start). */
MERROW_EXPORT void Salvitra_ResetMediumHealth(const Physics_Device_Struct *dev);
/* Looks now whether the medium is still there (an image file still under
 * its name, a block device still attached): 1, or 0 once it is gone. */
MERROW_EXPORT int32_t Salvitra_CheckMedium(const Physics_Device_Struct *dev);

/* The path /dev/diskN resolves to right now, or an empty string. */
MERROW_EXPORT int Salvitra_ResolveDiskPath(uint32_t n, char *out, size_t out_len);

/* ---- the search for lost volumes ----
 *
 * Salvitra_SearchVolumes reads a whole device once, front to back, and
 * finds the volumes on it wherever they start, whatever its partition
 * table says: FAT boot sectors (and the FAT32 backup six sectors on),
 * exFAT boot regions and their backups, NTFS boot sectors (and the backup
 * in a volume's last sector), ext2/3/4 superblocks and their copies in
 * later block groups, HFS+/HFSX volume headers and the alternate header
 * 1024 bytes before a volume's end.  Every copy is taken at the start it
 * implies; a candidate counts only when the volume's other structures
 * (its FAT, its MFT, its group descriptors or its other copies, its
 * catalog) agree with it.  Nothing is written.
 */
enum {
    SV_VOL_PRIMARY = 1u << 0,   /* its own first structure is intact */
    SV_VOL_BACKUP = 1u << 1,    /* a backup copy of it was seen */
    SV_VOL_NESTED = 1u << 2,    /* lies inside another volume (a disk image kept in a file there, or
                                 * an older volume under a newer one); Within names it */
    SV_VOL_OVERLAP = 1u << 3,   /* overlaps a volume whose structures agree better; Within names it */
    SV_VOL_AMBIGUOUS = 1u << 4, /* another file system's checks pass at the same start */
    SV_VOL_PAST_END = 1u << 5,  /* its header says it is larger than what is left of the device */
    SV_VOL_IN_TABLE = 1u << 6   /* a listed partition is this volume */
};

#define SV_VOL_BOOT_LEN 4096

typedef struct Found_Volume {
    int32_t DevNum;
    int32_t FsType;
    uint64_t Offset;            /* the volume's first byte on the device */
    uint64_t Size;              /* bytes, as its header says */
    uint64_t Evidence;          /* device offset of the structure it is known by: its
                                 * first one when intact, else the backup used */
    uint32_t Flags;             /* SV_VOL_* */
    int32_t Agree;              /* structures of the volume that agree with each other */
    int32_t Within;             /* index of the volume it lies in or overlaps, or -1; a
                                 * listed partition counts as -2 - its list index */
    char VolumeName[SV_VOLNAME_LEN];
    char FsInfo[SV_FSINFO_LEN];
    uint32_t BootLen;           /* bytes in Boot */
    uint8_t Boot[SV_VOL_BOOT_LEN]; /* the structure the record is built from: the boot
                                 * sector, or the superblock / volume header */
} Found_Volume;

/* Called after every block the search has read: bytes done of total.
 * Returns false to stop (a pause waits inside the call). */
typedef bool (*Volume_Search_Gate)(void *context, uint64_t done, uint64_t total);

typedef struct Volume_Search {
    Found_Volume *Volumes;      /* Count records, in the order of their offsets */
    uint32_t Count;
    uint64_t BytesRead;         /* bytes of the device the pass went through */
    uint64_t Unreadable;        /* of them, bytes that could not be read (taken as zeros) */
    int32_t Stopped;            /* 1 when the gate stopped the pass early */
    int32_t Truncated;          /* 1 when more structures were seen than are kept */
} Volume_Search;

/* Searches device devNum of the device list; gate may be null.  0 with the
 * result in *out (also when stopped: what was found until then), -1 when
 * the device is not listed or nothing of it could be read.  The partition
 * list must not change during the call.  Release with Salvitra_FreeSearch. */
MERROW_EXPORT int32_t Salvitra_SearchVolumes(int32_t devNum, Volume_Search_Gate gate, void *context,
                                             Volume_Search *out);
MERROW_EXPORT void Salvitra_FreeSearch(Volume_Search *search);

/* A partition record for a found volume (on device DevNum of the device
 * list), built from its Boot bytes and checked again; null when it does
 * not hold.  With withAlternatives the other file systems whose checks pass
 * at its start are noted (Salvitra_GetAlternative).  The record is in no
 * list: hand it to Salvitra_AddPartition, or free it with
 * Salvitra_FreePartition. */
MERROW_EXPORT Partiton_Struct *Salvitra_MakeFoundPartition(const Found_Volume *volume, int32_t withAlternatives);
/* Appends a record made above to the partition list, which then owns it;
 * returns it, or null (the record then freed) when the list holds it
 * already. */
MERROW_EXPORT Partiton_Struct *Salvitra_AddPartition(Partiton_Struct *part);
MERROW_EXPORT void Salvitra_FreePartition(Partiton_Struct *part);

/* Another file system whose checks pass at the same place as the record's
 * (index 0, 1, ...), or null past the last.  Such a partition is
 * ambiguous: the user chooses which file system to scan.  The records
 * belong to the library and live as long as the partition's. */
MERROW_EXPORT Partiton_Struct *Salvitra_GetAlternative(const Partiton_Struct *part, int32_t index);

/*
 * Devices this process may not open itself.  When the read-only open of a
 * device is refused for want of permission (EACCES, EPERM), the opener is
 * asked for a descriptor of path: it returns one opened read-only (the
 * library then owns it), or -1 with a line of text in why.  A descriptor
 * that is not read-only or does not stand for path is closed and refused.
 * Salvitra_SetDeviceOpener(NULL, NULL) removes it.
 */
typedef int (*Salvitra_DeviceOpener)(const char *path, char *why, size_t why_len, void *context);
MERROW_EXPORT void Salvitra_SetDeviceOpener(Salvitra_DeviceOpener opener, void *context);

/* Why the index-th /dev/diskN of the last device-list build that stands for
 * something could not be opened: its number, the errno of the direct open,
 * the path and a line of text.  0, or -1 past the last one. */
MERROW_EXPORT int32_t Salvitra_GetOpenFailure(int32_t index, int32_t *dev_num, int32_t *err, char *path,
                                              size_t path_len, char *text, size_t text_len);

/*
 * Disk images.  Besides plain raw images, files in these formats are read
 * through their format's reader: split raw images (disk.000, disk.001, ...;
 * disk.aa, disk.ab, ...), EnCase (.E01), VHD, VHDX and VMDK.
 * Salvitra_CheckDiskImage opens the image as the device list would: 0, with
 * the format's name ("Disk Image" for a raw one), or -1 with the reason
 * (a damaged file, a format whose library this build lacks, ...).
 * Salvitra_GetImageFormat describes the index-th format (0 is the raw
 * image): its name, its file-name patterns ("*.E01 *.e01") and whether this
 * build reads it; -1 past the last.
 */
MERROW_EXPORT int Salvitra_CheckDiskImage(const char *path, char *format, size_t format_len, char *why,
                                          size_t why_len);
MERROW_EXPORT int Salvitra_GetImageFormat(int32_t index, const char **name, const char **patterns,
                                          int32_t *readable);

/*
 * Watches the device reads of the calling thread (NULL: no more): after
 * every read through Apple_System or an image format's reader, fn gets the
 * device's number, the byte offset on the device (a private partition copy's
 * offset added), the length asked for and the read's result.  A recovery
 * notes with it where each file's bytes came from.  Returns the watch that
 * was set before.
 */
typedef void (*Salvitra_ReadWatch)(void *context, int32_t dev_num, uint64_t offset, uint32_t length,
                                   int32_t result);
MERROW_EXPORT Salvitra_ReadWatch Salvitra_WatchReads(Salvitra_ReadWatch fn, void *context, void **previous);

/*
 * The pause gate of the running scan.  The scan's owner installs a gate
 * function on the scanning thread before the scanner starts, and removes
 * it (NULL) after the scanner returned; while the owner holds the gate
 * closed, the scanning thread calls the gate function at every device read
 * (sv_dev_read) and every look at or update of its progress (the
 * sv_progress_* helpers below); the function waits until the owner opens
 * the gate again or requests a stop.  Other threads (a recovery reading
 * through another library) never wait at it.  Salvitra_CloseProgressGate
 * acts only on the gate installed with the same context, from any thread.
 * Without a gate nothing waits.
 */
typedef void (*ProgressGateFunc)(void *context);
MERROW_EXPORT void Salvitra_SetProgressGate(ProgressGateFunc gate, void *context);
MERROW_EXPORT void Salvitra_CloseProgressGate(void *context, bool closed);
/* Returns at once while the gate is open; else calls the gate function. */
MERROW_EXPORT void Salvitra_PassProgressGate(void);

/*
 * Where a found file's data lies, as the scanner libraries describe it to
 * the merged deep scan: runs in file order that cover the file's length,
 * each a byte offset on the partition and a length.  Two offsets mark runs
 * that lie nowhere: SV_RUN_SPARSE, a hole that reads as zeros by design;
 * SV_RUN_LOST, bytes the reader gives as zeros because their place is gone
 * (in use by another file, past the volume, never located).
 */
#define SV_RUN_SPARSE UINT64_MAX
#define SV_RUN_LOST (UINT64_MAX - 1)
typedef void (*Salvitra_RunFn)(void *context, uint64_t offset, uint64_t length);

/* What the present file system of a partition does with a byte range of
 * it, as the scanner libraries' allocation checks answer: any of these
 * bits, 0 when the file system says nothing about the range. */
#define SV_ALLOC_FREE 1 /* part of it is free */
#define SV_ALLOC_USED 2 /* part of it is in use: files, folders, the file system's own structures */

#ifdef __cplusplus
}
#endif

/*
 * Progress accessors for scanner code: the shared value is a plain int32
 * that the front end writes under hDataEvent; scanners read and raise it
 * atomically instead of with bare loads and stores.  Every one of them is
 * also the pause gate (Salvitra_PassProgressGate): a paused scan holds at
 * its next look at the progress value, wherever in its walk that is.
 */
static inline int32_t sv_progress_peek(void)
{
    return __atomic_load_n(&ExportsData, __ATOMIC_SEQ_CST);
}

static inline int32_t sv_progress_get(void)
{
    Salvitra_PassProgressGate();
    return sv_progress_peek();
}

/* Raises a running scan's value by delta, never past 99 and never once it
 * reads finished or stop (100 and above): an increment cannot end a scan
 * nor overwrite a stop request. */
static inline void sv_progress_add(int32_t delta)
{
    int32_t cur = sv_progress_get();
    while (cur < 100) {
        int32_t next = cur + delta > 99 ? 99 : cur + delta;
        if (__atomic_compare_exchange_n(&ExportsData, &cur, next, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
            break;
    }
}

static inline void sv_progress_set(int32_t value)
{
    Salvitra_PassProgressGate();
    __atomic_store_n(&ExportsData, value, __ATOMIC_SEQ_CST);
}

/* The start of a search: the value goes back to 0, unless a stop (200)
 * was requested meanwhile, for instance while the volume was being set up;
 * that stop holds.  A scan paused during its set-up holds here. */
static inline void sv_progress_begin(void)
{
    int32_t cur = sv_progress_peek();
    while (cur < 200) {
        if (__atomic_compare_exchange_n(&ExportsData, &cur, 0, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
            break;
    }
    Salvitra_PassProgressGate();
}

/* The end of a search: 100, unless the value already reads finished or
 * stop; a stop request is never turned into "finished".  A paused scan
 * holds before it reports its end. */
static inline void sv_progress_finish(void)
{
    int32_t cur = sv_progress_get();
    while (cur < 100) {
        if (__atomic_compare_exchange_n(&ExportsData, &cur, 100, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
            break;
    }
}

/* True while a scan may go on: below 100 (finished) and 200 (stop). */
static inline bool sv_progress_running(void)
{
    return sv_progress_get() < 100;
}

/*
 * Where a record's first byte lies through its own Device.  A listed
 * partition starts at 0 of its Device: its private device copy adds the
 * partition offset itself ('?'), or another device record holds exactly
 * this partition.  Every other record (a range copy made for a deep scan,
 * which shares the Device of the record it was cut from, or a whole-device
 * record) starts at its PartOffset.  Quick scanners take listed partitions
 * only; the signature engine and range copies follow this rule.
 */
static inline uint64_t sv_part_origin(const Partiton_Struct *part)
{
    if (!part)
        return 0;
    if (part->Device && part->Device->OwnerPartition == part && part->AccessMode == '?')
        return 0;
    for (const _Device_List *n = GlobPointerPartiton; n; n = n->next)
        if (n->data == part)
            return 0;
    return part->PartOffset;
}

/* Read through a device record's operations table (slot 1).  A scanner's
 * read passes the pause gate first: a paused scan reads nothing more than
 * the read under way, wherever it is (set-up, walk, or the owner's look-ups
 * after it). */
static inline int32_t sv_dev_read(Physics_Device_Struct *dev, void *dst, uint32_t length,
                                  uint64_t offset)
{
    Salvitra_PassProgressGate();
    return dev->Ops->read(dev, dst, length, offset);
}

/*
 * Reads length bytes at offset, never at or past limit (the end of the
 * partition; 0: no limit).  Whatever is not read is zeros.  True only when
 * all length bytes were read.
 */
static inline bool sv_dev_read_bounded(Physics_Device_Struct *dev, uint64_t limit, uint64_t offset,
                                       uint32_t length, uint8_t *dst)
{
    if (length == 0)
        return true;
    memset(dst, 0, length);
    if (!dev || !dev->Ops || !dev->Ops->read)
        return false;
    uint32_t want = length;
    if (limit) {
        /* Nothing past the partition end belongs to the volume. */
        if (offset >= limit)
            return false;
        if (limit - offset < want)
            want = (uint32_t)(limit - offset);
    }
    int32_t got = sv_dev_read(dev, dst, want, offset);
    if (got < 0 || (uint32_t)got > want) {
        memset(dst, 0, length);
        return false;
    }
    return (uint32_t)got == length;
}

#endif /* MERROW_H */
