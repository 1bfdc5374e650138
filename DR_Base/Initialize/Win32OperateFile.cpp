/*
 * Byte-addressed reads and writes through a device record: the operations
 * table Apple_System.  Aligned requests go straight to the descriptor;
 * unaligned ones go through the record's bounce buffer.
 */
#include "merrow_i.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

extern "C" {
MERROW_EXPORT DeviceOps Apple_System = {File_Apple_Pwrite, File_Apple_Pread, File_Apple_Clean};
}

/* A failed read of at most kRetryBytes is tried once more (a transient
 * error), unless it starts where a read failed before; larger ones are
 * not: their callers read smaller pieces instead, and a bad sector answers
 * slowly on real disks.  Interruptions waited out per call. */
constexpr int kMaxRetries = 1;
constexpr uint32_t kRetryBytes = 4096;
constexpr int kMaxInterrupts = 16;

/* The calling thread's read watch (Salvitra_WatchReads). */
static thread_local Salvitra_ReadWatch t_watch = nullptr;
static thread_local void *t_watch_context = nullptr;

extern "C" MERROW_EXPORT Salvitra_ReadWatch Salvitra_WatchReads(Salvitra_ReadWatch fn, void *context, void **previous)
{
    Salvitra_ReadWatch before = t_watch;
    if (previous)
        *previous = t_watch_context;
    t_watch = fn;
    t_watch_context = context;
    return before;
}

void sv_read_watched(const Physics_Device_Struct *dev, uint64_t device_offset, uint32_t length, int32_t result)
{
    if (t_watch && dev)
        t_watch(t_watch_context, dev->DevNum, device_offset, length, result);
}

/* The offset on the device itself: a private partition copy adds its
 * partition's offset (UINT64_MAX past what can be addressed). */
static uint64_t device_offset(const Physics_Device_Struct *dev, uint64_t offset)
{
    const Partiton_Struct *owner = dev->OwnerPartition;
    if (owner && owner->AccessMode == '?')
        return UINT64_MAX - offset < owner->PartOffset ? UINT64_MAX : offset + owner->PartOffset;
    return offset;
}

/* Partition-relative offset for private device copies. */
static bool adjust_offset(const Physics_Device_Struct *dev, uint64_t *offset)
{
    const Partiton_Struct *owner = dev->OwnerPartition;
    if (owner && owner->AccessMode == '?') {
        if (UINT64_MAX - *offset < owner->PartOffset)
            return false;
        *offset += owner->PartOffset;
    }
    return *offset <= (uint64_t)INT64_MAX;
}

static int32_t file_pread_aux(Physics_Device_Struct *dev, void *dst, uint32_t length,
                              uint64_t offset)
{
    if (!adjust_offset(dev, &offset)) {
        memset(dst, 0, length);
        return -1;
    }
    uint8_t *out = static_cast<uint8_t *>(dst);
    /* A medium that went away fails at once: nothing crawls through it. */
    if (sv_medium_gone(dev->Fd)) {
        memset(dst, 0, length);
        return -1;
    }
    size_t got = 0;
    int err = 0;
    /* pread instead of lseek+read: the descriptor's position is shared with
     * every private copy, and a positioned read cannot be disturbed.  A
     * short read ends the call: images and block devices stop short only
     * at their end or before a sector they cannot read, so the caller
     * learns where the trouble starts without asking the bad sector twice. */
    const int maxRetries = length <= kRetryBytes && !sv_medium_known_bad(dev->Fd, offset) ? kMaxRetries : 0;
    for (int interrupts = 0, retries = 0; got < length;) {
        ssize_t n = pread(dev->Fd, out + got, length - got, (off_t)(offset + got));
        if (n > 0) {
            got += (size_t)n;
            break;
        }
        err = n < 0 ? errno : 0;
        if (n < 0 && err == EINTR && interrupts++ < kMaxInterrupts)
            continue;
        if (n < 0 && (err == EIO || err == EAGAIN) && retries++ < maxRetries)
            continue;
        break;
    }
    if (got)
        sv_medium_read_ok(dev->Fd, offset, got);
    if (got < length)
        sv_medium_read_failed(dev->Fd, offset + got, length - got, err ? err : EIO);
    if (got == length)
        return (int32_t)length;
    if (got == 0) {
        memset(dst, 0, length);
        return -1;
    }
    memset(out + got, 0, length - got);
    return (int32_t)got;
}

static int32_t file_pwrite_aux(Physics_Device_Struct *dev, const void *src, uint32_t length,
                               uint64_t offset)
{
    /* Same partition-relative addressing as reads, so that a
     * read-modify-write puts the sector back where it came from. */
    if (!adjust_offset(dev, &offset))
        return -1;
    const uint8_t *in = static_cast<const uint8_t *>(src);
    size_t put = 0;
    while (put < length) {
        ssize_t n = pwrite(dev->Fd, in + put, length - put, (off_t)(offset + put));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        put += (size_t)n;
    }
    return (int32_t)length;
}

/* Smallest multiple of s at least len + r, or 0 when it does not fit 32 bits. */
static uint32_t aligned_size(uint32_t length, uint32_t r, uint32_t s)
{
    uint64_t need = (uint64_t)length + r;
    uint64_t size = (need + s - 1) / s * s;
    if (size > 0x7fffffffu)
        return 0;
    return (uint32_t)size;
}

static int32_t apple_pread(Physics_Device_Struct *dev, void *dst, uint32_t length, uint64_t offset);

extern "C" MERROW_EXPORT int32_t File_Apple_Pread(Physics_Device_Struct *dev, void *dst,
                                                  uint32_t length, uint64_t offset)
{
    int32_t n = apple_pread(dev, dst, length, offset);
    if (t_watch && dev && length)
        sv_read_watched(dev, device_offset(dev, offset), length, n);
    return n;
}

static int32_t apple_pread(Physics_Device_Struct *dev, void *dst, uint32_t length, uint64_t offset)
{
    if (!dev || !dst || dev->SectorSize <= 0)
        return -1;
    if (length == 0)
        return 0;
    uint32_t s = (uint32_t)dev->SectorSize;
    uint32_t r = (uint32_t)(offset % s);
    uint32_t size = aligned_size(length, r, s);
    if (size == 0 || length > 0x7fffffffu) {
        memset(dst, 0, length);
        return -1;
    }
    if (size == length)
        return file_pread_aux(dev, dst, length, offset);

    ReadCache *c = dev->Cache;
    if (!c)
        return -1;
    if (!c->Buffer && c->Capacity == 0)
        c->Capacity = s;
    if (size != c->Capacity) {
        free(c->Buffer);
        c->Buffer = nullptr;
        c->Capacity = size;
    }
    if (!c->Buffer)
        c->Buffer = static_cast<uint8_t *>(MALLOC(c->Capacity));

    int32_t d = file_pread_aux(dev, c->Buffer, size, offset - r);
    memcpy(dst, c->Buffer + r, length);
    c->LastLength = length;
    c->Valid = 1;
    if (d < 0)
        return -1;
    /* Bytes of the request that were actually read. */
    uint32_t useful = (uint32_t)d > r ? (uint32_t)d - r : 0;
    if (useful == 0)
        return -1;
    return (int32_t)(useful < length ? useful : length);
}

extern "C" MERROW_EXPORT int32_t File_Apple_Pwrite(Physics_Device_Struct *dev, const void *src,
                                                   uint32_t length, uint64_t offset)
{
    if (!dev || !src || dev->SectorSize <= 0)
        return -1;
    uint32_t s = (uint32_t)dev->SectorSize;
    uint32_t r = (uint32_t)(offset % s);
    uint32_t n = aligned_size(length, r, s);
    if (n == 0)
        return -1;
    if (n == length)
        return file_pwrite_aux(dev, src, length, offset);

    ReadCache *c = dev->Cache;
    if (!c)
        return -1;
    if (c->Capacity == 0) {
        c->Capacity = n;
    } else {
        while (c->Capacity < n) {
            free(c->Buffer);
            c->Buffer = nullptr;
            c->Capacity *= 2;
        }
    }
    if (c->Buffer)
        memset(c->Buffer, 0, c->Capacity);
    else
        c->Buffer = static_cast<uint8_t *>(MALLOC(c->Capacity));

    if (file_pread_aux(dev, c->Buffer, n, offset - r) < 0)
        memset(c->Buffer, 0, n);
    memcpy(c->Buffer + r, src, length);
    return file_pwrite_aux(dev, c->Buffer, n, offset - r);
}

extern "C" MERROW_EXPORT int32_t File_Apple_Clean(Physics_Device_Struct *dev)
{
    Free_List(dev);
    return 0;
}
