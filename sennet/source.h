/* Device reads shared by the scan loop, the byte source and recovery. */
#ifndef SENNET_SOURCE_H
#define SENNET_SOURCE_H

#include <stddef.h>
#include <stdint.h>

#include "merrow.h"

/* Reads len bytes at device offset devoff; sectors that cannot be read
 * become zeros.  Returns the number of bytes actually read. */
size_t sn_read_range(Physics_Device_Struct *dev, uint64_t devoff, uint8_t *buf, size_t len);

#endif
