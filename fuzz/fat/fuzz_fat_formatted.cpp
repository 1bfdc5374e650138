// Random volumes through the formatted-volume search: every rebuilt tree
// is walked and a few of its files read.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz_mem_volume.h"
#include "polder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    svf::MemVolume vol(data, size, false);
    std::vector<uint8_t> buf(4096);
    if (fat_fmtRec_init(vol.part())) {
        tagStFmtDirNode **roots = fat_fmtRec_search(0);
        for (size_t r = 0; roots && roots[r]; r++) {
            for (tagStFmtDirNode *n = roots[r]; n; n = n->pNext) {
                for (tagStFatInfo **e = n->ppEntries; *e; e++) {
                    int64_t pos = 0;
                    uint32_t len = (*e)->nFileSize < buf.size() ? (*e)->nFileSize : (uint32_t)buf.size();
                    if (len && !(*e)->bDirectory) {
                        // The start, then a piece further on (past the
                        // clusters the present volume uses).
                        fat_fmtRec_readfile(*e, buf.data(), len, &pos);
                        pos = (*e)->nFileSize / 2 / 512;
                        fat_fmtRec_readfile(*e, buf.data(), len, &pos);
                    }
                }
            }
        }
    }
    fat_fmtRec_exit();
    return 0;
}
