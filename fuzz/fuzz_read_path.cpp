// Random offsets and lengths against a small image through the device
// operations table: every read must stay inside its buffers and return
// a count that matches what the image holds.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "merrow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 8)
        return 0;
    // The first 8 bytes steer the reads; the rest is the medium.
    const uint8_t *ctl = data;
    svf::ImageFile img(data + 8, size - 8);
    const char *paths[] = {img.path().c_str()};
    Salvitra_SetDiskImages(paths, 1);
    FullDevStruct();
    if (GlobPointer) {
        auto *dev = static_cast<Physics_Device_Struct *>(GlobPointer->data);
        uint64_t mediaSize = size - 8;
        Partiton_Struct part{};
        part.AccessMode = '?';
        part.PartOffset = ctl[7] % 4 * 512;
        Physics_Device_Struct copy = *dev;
        copy.OwnerPartition = &part;
        for (int i = 0; i < 6; i++) {
            uint32_t len = (uint32_t)ctl[i] * 37 + (uint32_t)ctl[(i + 1) % 8];
            uint64_t off = ((uint64_t)ctl[(i + 2) % 8] << 8 | ctl[(i + 3) % 8]) * 7;
            if (i == 5)
                off = UINT64_MAX - off;  // near the end of the address space
            Physics_Device_Struct *d = (i & 1) ? &copy : dev;
            std::vector<uint8_t> buf(len + 1, 0xA5);
            int32_t n = d->Ops->read(d, buf.data(), len, off);
            uint64_t base = (d == &copy) ? part.PartOffset : 0;
            if (n > 0) {
                // Delivered bytes are the medium's bytes.
                if (base + off >= mediaSize || (uint32_t)n > len)
                    abort();
                uint64_t avail = mediaSize - base - off;
                if ((uint64_t)n > avail)
                    abort();
                if (memcmp(buf.data(), data + 8 + base + off, (size_t)n) != 0)
                    abort();
            }
            if (buf[len] != 0xA5)
                abort();  // wrote past the request
        }
    }
    FullDevStruct_exit();
    Salvitra_SetDiskImages(nullptr, 0);
    return 0;
}
