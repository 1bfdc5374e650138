// Block maps and extent trees: the input's first byte picks the kind, the
// next 60 bytes are i_block, the rest are the 1 KiB blocks that pointer
// blocks and tree nodes are read from (block b is input block b mod n).
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ext_filemap.h"
#include "sv_bytes.h"

namespace {

struct Blocks {
    const uint8_t *data;
    size_t count;
};

ExtStatus serve(void *ctx, uint64_t block, uint8_t *buf)
{
    auto *b = static_cast<Blocks *>(ctx);
    if (b->count == 0 || block % 7 == 3)
        return EXT_IO;  /* some reads fail */
    memcpy(buf, b->data + (block % b->count) * 1024, 1024);
    return EXT_OK;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 + 60 + 4)
        return 0;
    ExtVolume vol{};
    vol.m_nBlockSizeInBytes = 1024;
    vol.blocksCount = 1u << 20;
    vol.readableBlocks = 1u << 20;
    std::vector<uint8_t> inode(256, 0);
    uint32_t flags = (data[0] & 1) ? EXT_INODE_FL_EXTENTS : 0;
    inode[EXT_I_FLAGS] = (uint8_t)flags;
    inode[EXT_I_FLAGS + 2] = (uint8_t)(flags >> 16);
    memcpy(inode.data() + EXT_I_BLOCK, data + 1, 60);
    uint64_t want = sv_ld_le32(data + 61) % (1u << 22);
    Blocks blocks{data + 65, (size - 65) / 1024};
    std::vector<ExtRun> runs;
    ExtMapStats stats;
    ext_map_inode(&vol, inode.data(), want, serve, &blocks, &runs, &stats);
    uint64_t next = 0;
    for (const ExtRun &r : runs) {
        if (r.count == 0 || r.logical < next || r.logical + r.count > want)
            abort();
        if (r.physical == 0 || r.physical + r.count > vol.blocksCount)
            abort();
        next = r.logical + r.count;
    }
    return 0;
}
