// Random volumes into the deleted-file search and everything a recovery
// does with its result: reads of every file, parent look-ups, the folder
// lister and the teardown.  The input is the volume, served from memory.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "mem_device.h"
#include "ntfs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 512)
        return 0;
    svt::MemDevice dev(std::vector<uint8_t>(data, data + size));
    Partiton_Struct *part = dev.partition(0, size, FS_NTFS);
    svf::ReadWatch watch(part->Device, size);
    if (Initi_Ntfs_InFo(part)) {
        NTFS_DEL_FILEINFO_t *list = Ntfs_Get_Del_File();
        std::vector<uint8_t> buf(4096);
        int files = 0;
        for (NTFS_DEL_FILEINFO_t *r = list; r && files < 64; r = r->pNextFile, files++) {
            watch.arm(true);  // file data only from inside the medium
            for (int i = 0; i < 64; i++)
                if (Ntfs_Get_Data(r->nMftNumber, buf.data(), (uint32_t)buf.size()) != 0)
                    break;
            watch.arm(false);
            Ntfs_RWfile_Set(1);
            NTFS_MFT_ParentID_Name o;
            Ntfs_Get_NameParentID(r->nMftNumber, &o);
            Ntfs_Get_FlieSize(r->nMftNumber, list);
        }
        Shwo_Ntfs_Dir(NTFS_ROOT_MFT_NUMBER);
        NTFS_Free_File_Info(_Get_ExternUse());
        Ntfs_Fat_Cmp(part, size / 7);
        NTFS_Free_Glod_Exit();
        NTFS_Free_File_Info(list);
    }
    return 0;
}
