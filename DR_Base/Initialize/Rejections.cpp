/*
 * Why a table entry or a bare volume did not become a partition.  The
 * probes say why they refused a boot sector (sv_probe_fail); the partition
 * walk turns the refusals of every probe it tried into one line per entry
 * (sv_reject).  The lines live until the partition list is torn down and
 * are read through Salvitra_GetRejection, so that a front end can explain
 * "no recognised partitions".
 */
#include "merrow_i.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Rejection {
    int32_t dev;
    uint64_t offset;
    char text[256];
};

/* Entries kept per list build: a table that loops or lists thousands of
 * entries does not grow the log without end. */
constexpr uint32_t kMaxRejections = 512;

struct RejectionLog {
    Rejection *items;
    uint32_t count;
    uint32_t cap;
    char last_reason[160]; /* what the last probe that failed said */
};

RejectionLog g_rej;

/* Volumes cut to their partition or device, of the same list build. */
struct ClaimLog {
    Salvitra_SizeClaim *items;
    uint32_t count;
    uint32_t cap;
};

ClaimLog g_claims;

}  // namespace

int32_t sv_probe_fail(int32_t code, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(g_rej.last_reason, sizeof g_rej.last_reason, fmt, ap);
    va_end(ap);
    return code;
}

void sv_probe_reason_clear(void)
{
    g_rej.last_reason[0] = '\0';
}

const char *sv_probe_reason(void)
{
    return g_rej.last_reason;
}

void sv_reject(_Device_List *node, uint64_t offset, const char *fmt, ...)
{
    Physics_Device_Struct *dev = sv_node_dev(node);
    if (g_rej.count >= kMaxRejections)
        return;
    if (g_rej.count == g_rej.cap) {
        uint32_t cap = g_rej.cap ? g_rej.cap * 2 : 16;
        auto *n = static_cast<Rejection *>(MALLOC(sizeof(Rejection) * cap));
        if (g_rej.count)
            memcpy(n, g_rej.items, sizeof(Rejection) * g_rej.count);
        free(g_rej.items);
        g_rej.items = n;
        g_rej.cap = cap;
    }
    Rejection *r = &g_rej.items[g_rej.count++];
    r->dev = dev ? dev->DevNum : -1;
    r->offset = offset;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(r->text, sizeof r->text, fmt, ap);
    va_end(ap);
}

void sv_rejections_clear(void)
{
    free(g_rej.items);
    memset(&g_rej, 0, sizeof g_rej);
    free(g_claims.items);
    memset(&g_claims, 0, sizeof g_claims);
}

void sv_note_size_claim(const Partiton_Struct *part, uint64_t claimed, uint64_t holds, bool by_table,
                        const char *source)
{
    if (!part || g_claims.count >= kMaxRejections)
        return;
    if (g_claims.count == g_claims.cap) {
        uint32_t cap = g_claims.cap ? g_claims.cap * 2 : 8;
        auto *n = static_cast<Salvitra_SizeClaim *>(MALLOC(sizeof(Salvitra_SizeClaim) * cap));
        if (g_claims.count)
            memcpy(n, g_claims.items, sizeof(Salvitra_SizeClaim) * g_claims.count);
        free(g_claims.items);
        g_claims.items = n;
        g_claims.cap = cap;
    }
    Salvitra_SizeClaim *c = &g_claims.items[g_claims.count++];
    memset(c, 0, sizeof *c);
    c->DevNum = part->DevNum;
    c->PartOffset = part->PartOffset;
    c->Claimed = claimed;
    c->Holds = holds;
    c->ByTable = by_table ? 1 : 0;
    snprintf(c->Source, sizeof c->Source, "%s", source ? source : "header");
}

extern "C" MERROW_EXPORT int32_t Salvitra_GetSizeClaim(int32_t index, Salvitra_SizeClaim *out)
{
    if (index < 0 || (uint32_t)index >= g_claims.count)
        return -1;
    if (out)
        *out = g_claims.items[index];
    return 0;
}

extern "C" MERROW_EXPORT int32_t Salvitra_GetRejection(int32_t index, int32_t *dev_num, uint64_t *offset,
                                                       char *text, size_t text_len)
{
    if (index < 0 || (uint32_t)index >= g_rej.count)
        return -1;
    const Rejection *r = &g_rej.items[index];
    if (dev_num)
        *dev_num = r->dev;
    if (offset)
        *offset = r->offset;
    if (text && text_len) {
        strncpy(text, r->text, text_len - 1);
        text[text_len - 1] = '\0';
    }
    return 0;
}
