// ext3_init / ext3_searchfile on random volumes, then every getter.
#include <cstdlib>
#include <cstring>

#include "cosk.h"
#include "fuzz_ext_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2048)
        return 0;
    svf::ImagePartition ip(data, size, FS_EXT3);
    if (!ip.part())
        return 0;
    if (ext3_init(ip.part())) {
        for (Ext3DirNode *n = ext3_searchfile(); n; n = ext3_get_next(n)) {
            // The parent chain is finite and ends at the root.
            int hops = 0;
            for (Ext3DirNode *p = n; p && !p->IsRoot; p = ext3_user_get_parantnode(p))
                if (++hops > 10000)
                    abort();
            uint32_t i = 0;
            for (; Ext3FileNode *f = ext3_get_file(n, i); i++) {
                const char *name = ext3_get_filename(f);
                size_t len = strnlen(name, EXT3_NAME_LEN);
                if (len == 0 || len >= EXT3_NAME_LEN || strchr(name, '/'))
                    abort();
                (void)ext3_get_filesize(f);
                (void)ext3_file_isdir(f);
            }
            if (ext3_get_filelist(n)[i] != nullptr)
                abort();
        }
    }
    ext3_exit();
    return 0;
}
