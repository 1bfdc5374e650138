// The whole engine over a fuzzed medium: the bytes are an image file
// standing in for /dev/disk0, scanned as a partition and read back.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz_support.h"
#include "merrow.h"
#include "sennet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 512)
        return 0;
    svf::ImageFile img(data, size);
    const char *paths[] = {img.path().c_str()};
    Salvitra_SetDiskImages(paths, 1);
    FullDevStruct();
    if (GlobPointer) {
        auto *dev = static_cast<Physics_Device_Struct *>(GlobPointer->data);
        Partiton_Struct part{};
        part.PartSize = size;
        part.Device = dev;
        Search_FileHeadRceoverMian(&part);
        svf::ReadWatch watch(dev, size);
        watch.arm(true); // every read below is file data
        std::vector<uint8_t> buf(1024);
        while (const char *t = Get_Dir()) {
            for (int i = 0; void *r = Get_File_pr(t, i); i++) {
                uint64_t n = Get_File_Size(r);
                watch.checkSize(n);
                if (n == 0 || Get_File_Offset(r) > size - n)
                    abort();
                for (uint64_t done = 0; done < n; done += buf.size())
                    Get_file_data(&part, r, buf.data(), (uint32_t)buf.size());
                Set_fileRW_Head();
            }
        }
        Search_FileHeadRceoverMian_exit();
    }
    FullDevStruct_exit();
    Salvitra_SetDiskImages(nullptr, 0);
    return 0;
}
