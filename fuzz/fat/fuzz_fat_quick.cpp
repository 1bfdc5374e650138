// Random volumes through the quick scan: fat_init, fat_searchfile, a walk
// over the whole result and a few reads, then fat_exit.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz_mem_volume.h"
#include "polder.h"

static void walk(tagStLinkNode *root, int depth)
{
    // Records and nodes meet in pre-order; every array ends with null.
    std::vector<uint8_t> buf(4096);
    tagStLinkNode *last = root;
    std::vector<std::pair<tagStLinkNode *, size_t>> stack{{root, 0}};
    while (!stack.empty()) {
        auto &[node, idx] = stack.back();
        tagStFatInfo *e = node->ppEntries[idx];
        if (!e) {
            stack.pop_back();
            continue;
        }
        idx++;
        size_t len = 0;
        while (e->szName[len])
            len++;
        if (len > 260)
            abort();
        if (e->bDirectory) {
            last = last->pNext;
            if (!last || last->pParent != node)
                abort();  // the order the consumers rely on
            stack.push_back({last, 0});
            continue;
        }
        // The start, a piece further on (through the free clusters after
        // the first), and the start again.
        int64_t pos = 0;
        uint32_t n = e->nFileSize < buf.size() ? e->nFileSize : (uint32_t)buf.size();
        if (n) {
            fat_readfile(e, buf.data(), n, &pos);
            pos = e->nFileSize / 2 / 512;
            fat_readfile(e, buf.data(), n, &pos);
            pos = 0;
            fat_readfile(e, buf.data(), n, &pos);
        }
        if ((e->bPlan & FAT_PLAN_UNPLACED) && (e->bPlan & FAT_PLAN_REBUILT))
            abort();  // a file is either placed or not
    }
    if (last->pNext)
        abort();  // a node no directory record leads to
    (void)depth;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    svf::MemVolume vol(data, size);
    if (fat_init(vol.part())) {
        int files = 0, dirs = 0;
        tagStLinkNode *root = fat_searchfile(true, &files, &dirs);
        if (root)
            walk(root, 0);
    }
    fat_exit();
    return 0;
}
