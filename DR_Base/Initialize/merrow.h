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

/* The path /dev/diskN resolves to right now, or an empty string. */
MERROW_EXPORT int Salvitra_ResolveDiskPath(uint32_t n, char *out, size_t out_len);

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
