// Random volumes through the exFAT quick scan: exfat_init, exfat_searchfile,
// a walk over every record with a read of each file's first and last
// bytes, then exfat_exit.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz_mem_volume.h"
#include "hollin.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Byte 0 only says whether the volume is sparse (bit 7); the rest is the volume.
    svf::MemVolume vol(data, size);
    vol.part()->FsType = FS_EXFAT;
    if (exfat_init(vol.part())) {
        int files = 0, dirs = 0;
        std::vector<uint8_t> buf(8192);
        uint64_t seen = 0;
        for (tagExfatFile *r = exfat_searchfile(&files, &dirs); r; r = exfat_get_next(r)) {
            seen++;
            if (r->nNameLength == 0 || r->szName[r->nNameLength] != 0 || r->nValidDataLength > r->nSize)
                abort();
            // A parent always comes before its contents.
            if (r->pParent && r->pParent->nId >= r->nId)
                abort();
            if (r->bDirectory)
                continue;
            uint32_t bad = 0;
            exfat_readfile(r, 0, buf.data(), (uint32_t)buf.size(), &bad);
            if (r->nSize > buf.size())
                exfat_readfile(r, r->nSize - 100, buf.data(), (uint32_t)buf.size(), &bad);
        }
        if (seen < (uint64_t)files)
            abort();
    }
    exfat_exit();
    return 0;
}
