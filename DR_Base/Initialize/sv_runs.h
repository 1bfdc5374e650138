/*
 * Joins the runs a scanner library hands to a Salvitra_RunFn: consecutive
 * stretches of the partition become one run, and so do neighbouring runs
 * of the same mark (SV_RUN_LOST, SV_RUN_SPARSE).  Header only: each
 * library keeps its own copy.
 */
#ifndef SV_RUNS_H
#define SV_RUNS_H

#include "merrow.h"

namespace sv {

struct RunJoiner {
    Salvitra_RunFn fn;
    void *ctx;
    uint64_t at = 0, len = 0;

    void add(uint64_t offset, uint64_t length)
    {
        if (length == 0)
            return;
        bool mark = offset == SV_RUN_LOST || offset == SV_RUN_SPARSE;
        bool lastMark = at == SV_RUN_LOST || at == SV_RUN_SPARSE;
        if (len && (mark ? at == offset : !lastMark && at + len == offset)) {
            len += length;
            return;
        }
        flush();
        at = offset;
        len = length;
    }
    void flush()
    {
        if (len)
            fn(ctx, at, len);
        len = 0;
    }
};

}  // namespace sv

#endif
