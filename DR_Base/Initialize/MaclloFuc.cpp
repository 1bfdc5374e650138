/*
 * The allocator every library uses.  A zero-byte request or exhaustion ends
 * the process, so callers validate every size taken from a disk before it
 * gets here (see the size checks in the table readers and scanners).
 */
#include "merrow_i.h"

#include <cstdlib>

extern "C" MERROW_EXPORT void *MALLOC(size_t size)
{
    if (size == 0)
        exit(1);
    void *p = calloc(1, size);
    if (!p)
        exit(1);
    return p;
}

extern "C" MERROW_EXPORT uint32_t CONVERSION32(uint32_t v)
{
    return __builtin_bswap32(v);
}

extern "C" MERROW_EXPORT uint16_t CONVERSION16(uint16_t v)
{
    return __builtin_bswap16(v);
}
