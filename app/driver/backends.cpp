// Chooses the scanner by scan mode and by the partition's file system.
#include "backends.h"

namespace salvitra {

std::unique_ptr<ScanBackend> makeBackend(const ScanRequest &req)
{
    if (!req.part)
        return nullptr;
    if (req.mode == RecoverDeep)
        return makeDeepBackend(req);
    if (req.mode != RecoverQuick)
        return nullptr;
    switch (req.part->FsType) {
    case FS_FAT12:
    case FS_FAT16:
    case FS_FAT32:
        return req.formatted ? makeFatFormattedBackend(req) : makeFatBackend(req);
    case FS_NTFS:
        return req.formatted ? makeNtfsFormattedBackend(req) : makeNtfsBackend(req);
    case FS_EXT2:
        return req.formatted ? nullptr : makeExt2Backend(req);
    case FS_EXT3:
    case FS_EXT4:
        return req.formatted ? nullptr : makeExt3Backend(req);
    case FS_HFSPLUS:
        return req.formatted ? nullptr : makeHfspBackend(req);
    default:
        return nullptr;
    }
}

}  // namespace salvitra

// A build without one of the scanner libraries simply has no scanner for
// that file system.  Each backend file defines its factories when its
// library is part of the build.
namespace salvitra {
#if !SALVITRA_HAVE_POLDER
std::unique_ptr<ScanBackend> makeFatBackend(const ScanRequest &) { return nullptr; }
std::unique_ptr<ScanBackend> makeFatFormattedBackend(const ScanRequest &) { return nullptr; }
#endif
#if !SALVITRA_HAVE_TASKEL
std::unique_ptr<ScanBackend> makeNtfsBackend(const ScanRequest &) { return nullptr; }
std::unique_ptr<ScanBackend> makeNtfsFormattedBackend(const ScanRequest &) { return nullptr; }
#endif
#if !SALVITRA_HAVE_BRIEL
std::unique_ptr<ScanBackend> makeExt2Backend(const ScanRequest &) { return nullptr; }
#endif
#if !SALVITRA_HAVE_COSK
std::unique_ptr<ScanBackend> makeExt3Backend(const ScanRequest &) { return nullptr; }
#endif
#if !SALVITRA_HAVE_VARN
std::unique_ptr<ScanBackend> makeHfspBackend(const ScanRequest &) { return nullptr; }
#endif
#if !SALVITRA_HAVE_SENNET
std::unique_ptr<ScanBackend> makeDeepBackend(const ScanRequest &) { return nullptr; }
#endif
}  // namespace salvitra
