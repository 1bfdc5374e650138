/*
 * The NTFS scanner: deleted files found through the MFT, their data read
 * back through their own run lists, and the files of NTFS volumes that
 * were formatted over.
 *
 * The same entry points are exported by libmerrow and by libtaskel; each
 * library keeps its own volume and read state, so a scan started through
 * one library must be read, listed and released through the same one.
 *
 * Usage of the deleted-file search:
 *   Initi_Ntfs_InFo(part);
 *   PNTFS_DEL_FILEINFO list = Ntfs_Get_Del_File();
 *   for each file: Ntfs_Get_Data(file->nMftNumber, buf, block) per block,
 *                  then Ntfs_RWfile_Set(1);
 *   NTFS_Free_Glod_Exit(); NTFS_Free_File_Info(list);
 *
 * Not thread-safe: one scan and one open file per library at a time.
 */
#ifndef NTFS_H
#define NTFS_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "merrow.h"

#ifdef __cplusplus
extern "C" {
#endif

#define NTFS_EXPORT __attribute__((visibility("default")))

/* The MFT number of the root folder. */
#define NTFS_ROOT_MFT_NUMBER 5
/* Record numbers inside a parent reference (the high 16 bits are the sequence number). */
#define NTFS_MFT_REF_NUMBER(ref) ((uint64_t)(ref) & 0x0000FFFFFFFFFFFFull)
#define NTFS_MFT_REF_SEQUENCE(ref) ((uint16_t)((uint64_t)(ref) >> 48))

#pragma pack(push, 1)

/*
 * One deleted file found by Ntfs_Get_Del_File (or one entry of the
 * directory lister).  Packed; owned by the library until
 * NTFS_Free_File_Info.  Read wszName with memcpy: it is not aligned.
 */
typedef struct NTFS_DEL_FILEINFO_t {
    uint8_t cIsDir;            /* 1 directory, 0 file */
    uint8_t cUserFlag;         /* 0 on delivery; left to the consumer */
    uint8_t cNameLength;       /* name length in UTF-16 units (up to 255) */
    uint16_t wszName[128];     /* first units of the name (at most 127), zero-terminated */
    struct NTFS_DEL_FILEINFO_t *pNextFile;
    uint32_t nSpare;           /* zero */
    uint64_t nCreateTime;      /* 100-ns units since 1601-01-01 */
    uint64_t nMftNumber;
    uint64_t nParentRef;       /* parent reference as stored (number | sequence << 48) */
    uint64_t nFileSize;        /* bytes of the unnamed data stream */
    /* The whole name (cNameLength units and a zero unit) when it is longer
     * than wszName holds, else null.  Freed with the record. */
    uint16_t *pwszLongName;
} NTFS_DEL_FILEINFO_t, *PNTFS_DEL_FILEINFO;

/*
 * One MFT record found by the formatted-volume search.  Allocated with
 * room for cNameLength units of name and a zero unit after wszName.
 */
typedef struct NTFS_FORMAT_INFO_t {
    uint8_t cFlags;            /* bit 0 directory; bits 2-7 old-volume slot (all set: none) */
    uint8_t cNameLength;       /* UTF-16 units */
    struct NTFS_FORMAT_INFO_t *pNext;
    uint32_t nSpare;           /* zero */
    uint32_t nParent;          /* low 32 bits of the parent reference */
    uint64_t nCreateTime;      /* 100-ns units since 1601-01-01 */
    uint64_t nFileSize;        /* bytes of the unnamed data stream (files) */
    uint64_t nPosition;        /* byte offset of the MFT record on the partition */
    uint16_t wszName[1];       /* cNameLength units follow */
} NTFS_FORMAT_INFO_t;

/* A parent folder as Ntfs_Get_NameParentID and Nfst_GetFormat_NameParentID report it. */
typedef struct NTFS_MFT_ParentID_Name {
    uint64_t nNumber;          /* parent reference (quick scan) or parent number (formatted) */
    uint8_t cNameLength;       /* the parent's name length in UTF-16 units */
    uint8_t cSlot;             /* old-volume slot (formatted search), else 0 */
    uint8_t cFlags;            /* low byte of the parent record's flags (bit 1 directory) */
    uint16_t wszName[128];     /* the parent's name, min(cNameLength, 128) units */
} NTFS_MFT_ParentID_Name;

#pragma pack(pop)

#define NTFS_FORMAT_SLOT(info) ((uint8_t)((info)->cFlags >> 2))
#define NTFS_FORMAT_NO_SLOT 0x3F
#define NTFS_FORMAT_SLOTS 16

/* An open unnamed data stream read piece by piece with Ntfs_Read_File. */
typedef struct NTFS_FILE_HANDLE {
    void *pAttribute;          /* library-owned attribute context */
    uint64_t nOffset;          /* position of the next read */
    uint64_t nSize;            /* bytes in the stream */
} NTFS_FILE_HANDLE;

/* ---- deleted-file search ---- */
NTFS_EXPORT bool Initi_Ntfs_InFo(Partiton_Struct *part);
NTFS_EXPORT PNTFS_DEL_FILEINFO Ntfs_Get_Del_File(void);

/* The record's parent reference and the parent folder's flags and name. */
NTFS_EXPORT bool Ntfs_Get_NameParentID(uint64_t nMftNumber, NTFS_MFT_ParentID_Name *out);
NTFS_EXPORT uint64_t Ntfs_Get_FlieSize(uint64_t nMftNumber, PNTFS_DEL_FILEINFO list);
NTFS_EXPORT bool Ntfs_Open_File(uint64_t nMftNumber, NTFS_FILE_HANDLE *handle);
NTFS_EXPORT bool Ntfs_Read_File(NTFS_FILE_HANDLE *handle, uint32_t length, uint32_t *count, void *dst);
NTFS_EXPORT void Ntfs_Close_File(NTFS_FILE_HANDLE *handle);
/* Stores a time in a NTFS_DEL_FILEINFO_t (del true) or a NTFS_FORMAT_INFO_t. */
NTFS_EXPORT void Get_File_Time(void *record, uint64_t time, bool del);
/* Copies the first component of a path ('/' or '\\' separated); returns its length. */
NTFS_EXPORT int FsGetFirstNameFromPath(const char *path, char *name, uint32_t nameSize);
NTFS_EXPORT int FsGetNumPathParts(const char *path);

/* ---- directory lister: entries are appended to the list _Get_ExternUse returns ---- */
NTFS_EXPORT bool Shwo_Ntfs_Dir(uint32_t nMftNumber);
NTFS_EXPORT bool Ntfs_Lookup_File(uint32_t nMftNumber);
NTFS_EXPORT PNTFS_DEL_FILEINFO _Get_ExternUse(void);
NTFS_EXPORT void _Set_ExternUse(void);

/* ---- data extraction and teardown ---- */
/* 0 delivered, 1 record unreadable, 2 no data or a piece could not be read
 * (the unread bytes are zeros), -1 already at the end. */
NTFS_EXPORT int Ntfs_Get_Data(uint64_t nMftNumber, void *dst, uint32_t length);
NTFS_EXPORT void Ntfs_RWfile_Set(uint32_t mode);
NTFS_EXPORT int NTFS_Free_Glod_Exit(void);
NTFS_EXPORT int NTFS_Free_File_Info(PNTFS_DEL_FILEINFO list);
NTFS_EXPORT int NTFS_Free_Format_Info(NTFS_FORMAT_INFO_t *list);
NTFS_EXPORT uint32_t Ntfs_Format_BlockSize(const NTFS_FORMAT_INFO_t *info);
NTFS_EXPORT bool Ntfs_Fat_Cmp(Partiton_Struct *part, uint64_t cluster);

/* ---- formatted-volume search ---- */
NTFS_EXPORT NTFS_FORMAT_INFO_t *Search_Ntfs_InFo(Partiton_Struct *part);
NTFS_EXPORT int Ntfs_Read_ForMat_Data(NTFS_FORMAT_INFO_t *info, void *dst, int length);
NTFS_EXPORT uint32_t Nfst_GetFormat_ClusterSize(const NTFS_FORMAT_INFO_t *info);
NTFS_EXPORT NTFS_FORMAT_INFO_t *Nfst_GetFormat_NameParentID(void *unused, const NTFS_FORMAT_INFO_t *info,
                                                            NTFS_MFT_ParentID_Name *out);

/* ---- for the merged deep scan ---- */
/* The runs of a deleted file's unnamed data stream on the partition (see
 * Salvitra_RunFn; sparse runs and bytes past the initialised size are
 * SV_RUN_SPARSE); 1 when described, 0 for data that lies nowhere on its
 * own (resident in its record, compressed) or a record that cannot be read. */
NTFS_EXPORT int Ntfs_File_Runs(uint64_t nMftNumber, Salvitra_RunFn fn, void *context);
/* The same for a file of the formatted-volume search. */
NTFS_EXPORT int Ntfs_Format_File_Runs(const NTFS_FORMAT_INFO_t *info, Salvitra_RunFn fn, void *context);
/* True when the formatted-volume search found the record in the volume
 * Initi_Ntfs_InFo set up (not one that was formatted over). */
NTFS_EXPORT bool Ntfs_Format_In_Present(const NTFS_FORMAT_INFO_t *info);
/* SV_ALLOC_* bits for a byte range of the partition, from the cluster
 * bitmap of the volume Initi_Ntfs_InFo set up. */
NTFS_EXPORT int Ntfs_In_Use(uint64_t offset, uint64_t length);
/* The formatted-volume search without its own pass over the partition:
 * Ntfs_Format_Begin, then Ntfs_Format_Feed with the partition's bytes in
 * order (offsets from its start, multiples of 512), then Ntfs_Format_End
 * gives what Search_Ntfs_InFo would have. */
NTFS_EXPORT bool Ntfs_Format_Begin(Partiton_Struct *part);
NTFS_EXPORT void Ntfs_Format_Feed(uint64_t offset, const void *data, uint32_t length);
NTFS_EXPORT NTFS_FORMAT_INFO_t *Ntfs_Format_End(void);

#ifdef __cplusplus
}
#endif

#endif /* NTFS_H */
