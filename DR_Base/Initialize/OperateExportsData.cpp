/*
 * The shared progress value, the allocation-unit query and the found-file
 * callback registry.
 */
#include "merrow_i.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
MERROW_EXPORT int32_t ExportsData = 0;
MERROW_EXPORT pthread_mutex_t hDataEvent = PTHREAD_MUTEX_INITIALIZER;
MERROW_EXPORT CallBackVec g_callbackVec = {nullptr, 0, 0};
}

bool sv_trace_enabled(void)
{
    static int enabled = -1;
    if (enabled < 0) {
        const char *v = getenv("SALVITRA_TRACE");
        enabled = (v && *v && strcmp(v, "0") != 0) ? 1 : 0;
    }
    return enabled == 1;
}

void sv_trace(const char *fmt, ...)
{
    if (!sv_trace_enabled())
        return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}

static void store_progress(int32_t value)
{
    sv_trace("enter changeExportsData %d", value);
    pthread_mutex_lock(&hDataEvent);
    __atomic_store_n(&ExportsData, value, __ATOMIC_SEQ_CST);
    pthread_mutex_unlock(&hDataEvent);
}

extern "C" MERROW_EXPORT int32_t get_ExportsData(void)
{
    pthread_mutex_lock(&hDataEvent);
    int32_t v = __atomic_load_n(&ExportsData, __ATOMIC_SEQ_CST);
    pthread_mutex_unlock(&hDataEvent);
    return v;
}

extern "C" MERROW_EXPORT void changeExportsData(int32_t value)
{
    store_progress(value);
}

extern "C" MERROW_EXPORT void set_ExportsData(bool flag)
{
    store_progress(flag ? 0 : 200);
}

/* The pause gate: the installed function, its context and the scanning
 * thread change only under the mutex; the closed flag is read on every
 * pass without it. */
static pthread_mutex_t g_gateMu = PTHREAD_MUTEX_INITIALIZER;
static ProgressGateFunc g_gateFn = nullptr;
static void *g_gateCtx = nullptr;
static pthread_t g_gateThread;
static int32_t g_gateClosed = 0;

extern "C" MERROW_EXPORT void Salvitra_SetProgressGate(ProgressGateFunc gate, void *context)
{
    pthread_mutex_lock(&g_gateMu);
    g_gateFn = gate;
    g_gateCtx = gate ? context : nullptr;
    g_gateThread = pthread_self();
    __atomic_store_n(&g_gateClosed, 0, __ATOMIC_SEQ_CST);
    pthread_mutex_unlock(&g_gateMu);
}

extern "C" MERROW_EXPORT void Salvitra_CloseProgressGate(void *context, bool closed)
{
    pthread_mutex_lock(&g_gateMu);
    if (g_gateFn && context == g_gateCtx)
        __atomic_store_n(&g_gateClosed, closed ? 1 : 0, __ATOMIC_SEQ_CST);
    pthread_mutex_unlock(&g_gateMu);
}

extern "C" MERROW_EXPORT void Salvitra_PassProgressGate(void)
{
    if (!__atomic_load_n(&g_gateClosed, __ATOMIC_ACQUIRE))
        return;
    pthread_mutex_lock(&g_gateMu);
    ProgressGateFunc fn = g_gateFn;
    void *ctx = g_gateCtx;
    bool scanning = fn && pthread_equal(g_gateThread, pthread_self());
    pthread_mutex_unlock(&g_gateMu);
    if (scanning)
        fn(ctx);
}

extern "C" MERROW_EXPORT uint32_t get_blocksize(const Partiton_Struct *part)
{
    if (!part || !part->BootData)
        return 0;
    /* BootData holds at least one 512-byte sector for every type below. */
    const uint8_t *b = part->BootData;
    switch (part->FsType) {
    case FS_FAT12:
    case FS_FAT16:
    case FS_FAT32:
        return (uint32_t)b[13] * sv_ld_le16(b + 11);
    case FS_NTFS:
        return ntfs_cluster_bytes(b);
    case FS_HFS:
        return sv_ld_be32(b + 20);
    case FS_HFSPLUS:
    case FS_HFSX:
        return sv_ld_be32(b + 40);
    default:
        return 0;
    }
}

extern "C" MERROW_EXPORT void AddFoundFileCallBack(FoundFileCallBack function, void *context)
{
    CallBackVec &v = g_callbackVec;
    for (uint32_t i = 0; i < v.count; i++)
        if (v.items[i].function == function && v.items[i].context == context)
            return;
    if (v.count == v.capacity) {
        uint32_t cap = v.capacity ? v.capacity * 2 : 4;
        auto *items = static_cast<CallBackStruct *>(MALLOC(sizeof(CallBackStruct) * cap));
        if (v.count)
            memcpy(items, v.items, sizeof(CallBackStruct) * v.count);
        free(v.items);
        v.items = items;
        v.capacity = cap;
    }
    v.items[v.count].function = function;
    v.items[v.count].context = context;
    v.count++;
}

extern "C" MERROW_EXPORT void RemoveFoundFileCallback(void *context)
{
    CallBackVec &v = g_callbackVec;
    uint32_t kept = 0;
    for (uint32_t i = 0; i < v.count; i++)
        if (v.items[i].context != context)
            v.items[kept++] = v.items[i];
    v.count = kept;
    if (kept == 0) {
        free(v.items);
        v.items = nullptr;
        v.capacity = 0;
    }
}
