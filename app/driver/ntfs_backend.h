// The NTFS backends and the binding of the NTFS entry points.
//
// libmerrow and libtaskel both export the NTFS scanner under the same
// names, each over a state of its own.  The driver does not link libtaskel:
// it opens it with dlopen (RTLD_LOCAL) and takes every NTFS entry point it
// calls from that one handle, so the scan, the folder look-ups, the reads
// and the release all work on libtaskel's state.  libtaskel is looked for
// in the installed program's private library folder, then in the lib folder
// beside the program's bin folder (the build tree); nowhere else.
#pragma once

#if SALVITRA_HAVE_TASKEL

#include <string>

#include "ntfs.h"
#include "scan.h"

namespace salvitra {

struct TaskelApi {
    void *handle = nullptr;
    std::string path;   // the file that was loaded
    // The five entry points the program binds from libtaskel ...
    decltype(&::Initi_Ntfs_InFo) Initi_Ntfs_InFo = nullptr;
    decltype(&::Ntfs_Get_Del_File) Ntfs_Get_Del_File = nullptr;
    decltype(&::Ntfs_Get_Data) Ntfs_Get_Data = nullptr;
    decltype(&::Ntfs_RWfile_Set) Ntfs_RWfile_Set = nullptr;
    decltype(&::NTFS_Free_Glod_Exit) NTFS_Free_Glod_Exit = nullptr;
    // ... and the helpers that must work on the same state.
    decltype(&::NTFS_Free_File_Info) NTFS_Free_File_Info = nullptr;
    decltype(&::Ntfs_Get_NameParentID) Ntfs_Get_NameParentID = nullptr;
    decltype(&::Ntfs_Open_File) Ntfs_Open_File = nullptr;
    decltype(&::Ntfs_Read_File) Ntfs_Read_File = nullptr;
    decltype(&::Ntfs_Close_File) Ntfs_Close_File = nullptr;
    decltype(&::Search_Ntfs_InFo) Search_Ntfs_InFo = nullptr;
    decltype(&::Ntfs_Read_ForMat_Data) Ntfs_Read_ForMat_Data = nullptr;
    decltype(&::Ntfs_Format_BlockSize) Ntfs_Format_BlockSize = nullptr;
    decltype(&::Nfst_GetFormat_NameParentID) Nfst_GetFormat_NameParentID = nullptr;
    decltype(&::NTFS_Free_Format_Info) NTFS_Free_Format_Info = nullptr;
    // The merged deep scan's questions.
    decltype(&::Ntfs_File_Runs) Ntfs_File_Runs = nullptr;
    decltype(&::Ntfs_Format_File_Runs) Ntfs_Format_File_Runs = nullptr;
    decltype(&::Ntfs_In_Use) Ntfs_In_Use = nullptr;
    decltype(&::Ntfs_Format_Begin) Ntfs_Format_Begin = nullptr;
    decltype(&::Ntfs_Format_Feed) Ntfs_Format_Feed = nullptr;
    decltype(&::Ntfs_Format_End) Ntfs_Format_End = nullptr;
    decltype(&::Ntfs_Format_In_Present) Ntfs_Format_In_Present = nullptr;
};

// libtaskel's entry points, loaded once per process (never unloaded: the
// scanner's records live in it); null when it cannot be loaded, and why
// then says what was tried.
const TaskelApi *taskelApi(std::string *why = nullptr);

// Writes one deleted file found by the quick scan: whole multiples of the
// partition's allocation unit (about 1 MiB) through Ntfs_Get_Data, then
// Ntfs_RWfile_Set(1).  Clusters that cannot be read are marked (each
// cluster of zeros in a block the library could not read whole is read
// again on its own through a handle of the file).
WriteResult DelNtfsRecovery(const TaskelApi &api, const NTFS_DEL_FILEINFO_t *rec, Partiton_Struct *part,
                            const WriteDest &dest, WriteStats &stats,
                            const std::function<bool()> &gate = {});

}  // namespace salvitra

#endif  // SALVITRA_HAVE_TASKEL
