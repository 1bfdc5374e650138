// ext2_init / ext2_searchfile on random volumes, then every getter and a
// read of the blocks each find names.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "briel.h"
#include "fuzz_ext_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2048)
        return 0;
    svf::ImagePartition ip(data, size, FS_EXT2);
    if (!ip.part())
        return 0;
    svf::ReadWatch watch(ip.part()->Device, size);
    if (ext2_init(ip.part())) {
        const uint32_t bs = ext2_get_blocksize();
        std::vector<uint8_t> buf(bs);
        for (Ext2DirNode *n = ext2_searchfile(); n; n = ext2_get_next(n)) {
            if (!ext2_get_filename(n, EXT2_NAME_OF_DIR))
                abort();
            if (n->Files[n->FileCount] != nullptr)
                abort();  // the list must end with a null entry
            for (uint32_t i = 0; Ext2FileNode *f = ext2_get_file(n, i); i++) {
                if (strncmp(ext2_get_filename(f, EXT2_NAME_OF_FILE), "LostFile(", 9) != 0)
                    abort();
                uint64_t fsize = (uint64_t)ext2_get_filesize(f);
                const uint32_t *list = ext2_get_fileblocklist(f);
                uint64_t count = fsize / bs + (fsize % bs != 0);
                for (uint64_t b = 0; list && b < count && b < 64; b++) {
                    uint64_t got = 0;
                    uint64_t want = b + 1 == count && fsize % bs ? fsize % bs : bs;
                    watch.arm(true); // file data only from inside the medium
                    if (ext2_readfile(f, want, &got, list[b], buf.data()) && got != want)
                        abort();
                    watch.arm(false);
                }
            }
        }
    }
    ext2_exit();
    return 0;
}
