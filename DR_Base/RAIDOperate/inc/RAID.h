/*
 * Member disks of a dynamic-disk group (logical disk manager) as the core
 * library's partition readers see them.
 */
#ifndef SV_RAID_H
#define SV_RAID_H

#include <stdint.h>

#include "merrow.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SV_LDM_MAX_DISKS 16       /* member disks of one group we follow */
#define SV_LDM_MAX_RECORDS 128    /* database records kept per call */
#define SV_LDM_MAX_VOLUMES 16     /* volumes listed per call */
#define SV_LDM_DB_SIZE (1024u * 1024u)
#define SV_LDM_GUID_LEN 64

/* One member disk of the group; index = disk index. */
typedef struct GPT_INFO {
    char DiskGuid[SV_LDM_GUID_LEN];  /* bytes 48..111 of the disk's PRIVHEAD */
    _Device_List *Node;              /* the member's device-list node; null = empty */
    uint64_t DataStart;              /* byte offset of the data area */
    uint64_t MetadataLocation;       /* byte offset of the 1 MiB database; all ones = none */
} GPT_INFO;

#ifdef __cplusplus
}
#endif

#endif /* SV_RAID_H */
