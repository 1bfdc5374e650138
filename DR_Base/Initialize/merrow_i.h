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

/* ---- OperateExportsData.cpp ---- */
/* Diagnostics are off unless SALVITRA_TRACE is set in the environment. */
bool sv_trace_enabled(void);
void sv_trace(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#ifdef __cplusplus
}
#endif

#endif /* MERROW_I_H */
