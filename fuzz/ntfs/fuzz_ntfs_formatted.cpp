// Random partitions into the formatted-volume search, then reads and folder
// look-ups of what it found, then the teardown.
#include <cstdint>
#include <cstring>
#include <vector>

#include "mem_device.h"
#include "ntfs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 512)
        return 0;
    svt::MemDevice dev(std::vector<uint8_t>(data, data + size));
    Partiton_Struct *part = dev.partition(0, size, FS_NTFS);
    NTFS_FORMAT_INFO_t *list = Search_Ntfs_InFo(part);
    std::vector<uint8_t> buf(4096);
    int n = 0;
    for (NTFS_FORMAT_INFO_t *r = list; r && n < 64; r = r->pNext, n++) {
        for (int i = 0; i < 32; i++)
            if (Ntfs_Read_ForMat_Data(r, buf.data(), (int)buf.size()) != 0)
                break;
        Ntfs_RWfile_Set(2);
        NTFS_MFT_ParentID_Name o;
        const NTFS_FORMAT_INFO_t *up = r;
        for (int depth = 0; up && depth < 64; depth++)
            up = Nfst_GetFormat_NameParentID(nullptr, up, &o);
        Ntfs_Format_BlockSize(r);
    }
    NTFS_Free_Glod_Exit();
    NTFS_Free_Format_Info(list);
    return 0;
}
