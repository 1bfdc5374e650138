/*
 * The structure check of one file whose bytes come from a reader: the
 * format checks of the scan, run over a file a file system placed, so that
 * a caller learns before reading it back whether it checks out to its end
 * and, if not, where it stops making sense.
 */
#include "sennet.h"
#include "sennet_i.h"

#include <stdlib.h>
#include <string.h>

extern "C" SENNET_EXPORT int Sennet_CheckFile(const char *type, uint64_t size, Sennet_Reader read, void *context,
                                              uint64_t *at)
{
    if (at)
        *at = 0;
    const char *name = sn_known_type_name(type);
    if (!name)
        return SENNET_CHECK_UNKNOWN;
    if (!read || size == 0)
        return SENNET_CHECK_NO_HEADER;

    sn_src src;
    memset(&src, 0, sizeof(src));
    src.limit = size;
    src.range_len = size;
    src.reader = read;
    src.reader_ctx = context;
    src.cache = static_cast<uint8_t *>(MALLOC(SN_CACHE_LEN));
    src.zip_memo = sn_zip_memo_new();

    int result = SENNET_CHECK_NO_HEADER;
    uint64_t broken = 0;
    size_t got = 0;
    const uint8_t *head = sn_get_some(&src, 0, SN_LOOKAHEAD, &got);
    if (head && got) {
        size_t n = 0;
        const sn_format *const *all = sn_formats(&n);
        for (size_t i = 0; i < n && result != SENNET_CHECK_GOOD; i++) {
            const sn_format *f = all[i];
            if (!sn_format_reports(f, name))
                continue;
            /* The head may have been evicted by the last format's walk. */
            head = sn_get_some(&src, 0, SN_LOOKAHEAD, &got);
            if (!head)
                break;
            sv_view v = sv_view_make(head, got);
            sn_hit probe = {f->name, 0, 0};
            if (!sv_has(v, f->magic_off, f->magic_len) ||
                memcmp(v.data + f->magic_off, f->magic, f->magic_len) != 0 || !f->header(v, &probe))
                continue;
            src.limit = size;
            src.furthest = 0;
            sn_hit hit;
            sn_status st = sn_check(f, &src, &hit);
            if (st == SN_OK) {
                result = SENNET_CHECK_GOOD;
                if (at)
                    *at = hit.size;
            } else {
                result = SENNET_CHECK_BROKEN;
                uint64_t stop = src.furthest < size ? src.furthest : size;
                if (stop > broken)
                    broken = stop;
            }
        }
    }
    if (result == SENNET_CHECK_BROKEN && at)
        *at = broken;
    sn_zip_memo_free(src.zip_memo);
    free(src.cache);
    return result;
}
