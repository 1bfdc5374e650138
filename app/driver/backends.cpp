// The backend table: one row per scanner.
#include "backends.h"

namespace salvitra {

// A build without one of the scanner libraries keeps its row: the row then
// has no factory, and a scan of that kind says the library is missing.
#if SALVITRA_HAVE_POLDER
#define SV_FAT makeFatBackend
#define SV_FAT_FMT makeFatFormattedBackend
#else
#define SV_FAT nullptr
#define SV_FAT_FMT nullptr
#endif
#if SALVITRA_HAVE_TASKEL
#define SV_NTFS makeNtfsBackend
#define SV_NTFS_FMT makeNtfsFormattedBackend
#else
#define SV_NTFS nullptr
#define SV_NTFS_FMT nullptr
#endif
#if SALVITRA_HAVE_BRIEL
#define SV_EXT2 makeExt2Backend
#else
#define SV_EXT2 nullptr
#endif
#if SALVITRA_HAVE_COSK
#define SV_EXT3 makeExt3Backend
#else
#define SV_EXT3 nullptr
#endif
#if SALVITRA_HAVE_VARN
#define SV_HFSP makeHfspBackend
#else
#define SV_HFSP nullptr
#endif
#if SALVITRA_HAVE_HOLLIN
#define SV_EXFAT makeExfatBackend
#else
#define SV_EXFAT nullptr
#endif
#if SALVITRA_HAVE_SENNET
#define SV_DEEP makeMergedBackend
#else
#define SV_DEEP nullptr
#endif

namespace {

//   label        FsType codes                          any    quick  fmt    deep   library               factories
const BackendRow kRows[] = {
    {"FAT",       {FS_FAT12, FS_FAT16, FS_FAT32, 0},    false, true,  true,  false, ScanLibrary::Polder, SV_FAT, SV_FAT_FMT},
    {"NTFS",      {FS_NTFS, 0, 0, 0},                   false, true,  true,  false, ScanLibrary::Taskel, SV_NTFS, SV_NTFS_FMT},
    {"ext2",      {FS_EXT2, 0, 0, 0},                   false, true,  false, false, ScanLibrary::Briel,  SV_EXT2, nullptr},
    {"ext3",      {FS_EXT3, 0, 0, 0},                   false, true,  false, false, ScanLibrary::Cosk,   SV_EXT3, nullptr},
    {"ext4",      {FS_EXT4, 0, 0, 0},                   false, true,  false, false, ScanLibrary::Cosk,   SV_EXT3, nullptr},
    {"HFS+",      {FS_HFSPLUS, 0, 0, 0},                false, true,  false, false, ScanLibrary::Varn,   SV_HFSP, nullptr},
    {"HFSX",      {FS_HFSX, 0, 0, 0},                   false, true,  false, false, ScanLibrary::Varn,   SV_HFSP, nullptr},
    {"exFAT",     {FS_EXFAT, 0, 0, 0},                  false, true,  false, false, ScanLibrary::Hollin, SV_EXFAT, nullptr},
    {"signature", {0, 0, 0, 0},                         true,  false, false, true,  ScanLibrary::Sennet, SV_DEEP, nullptr},
};

bool takes(const BackendRow &r, int32_t fsType)
{
    if (r.anyFsType)
        return true;
    for (int32_t t : r.fsTypes)
        if (t != 0 && t == fsType)
            return true;
    return false;
}

bool offers(const BackendRow &r, ScanKind k)
{
    return k == ScanKind::Quick ? r.quick : k == ScanKind::Formatted ? r.formatted : r.deep;
}

BackendFactory factoryFor(const BackendRow &r, ScanKind k)
{
    return k == ScanKind::Formatted ? r.makeFormatted : r.make;
}

}  // namespace

void collectRun(void *runs, uint64_t offset, uint64_t length)
{
    static_cast<std::vector<DataRun> *>(runs)->push_back({offset, length});
}

const char *scanLibraryName(ScanLibrary l)
{
    switch (l) {
    case ScanLibrary::Polder: return "libpolder";
    case ScanLibrary::Taskel: return "libtaskel";
    case ScanLibrary::Briel: return "libbriel";
    case ScanLibrary::Cosk: return "libcosk";
    case ScanLibrary::Varn: return "libvarn";
    case ScanLibrary::Hollin: return "libhollin";
    case ScanLibrary::Sennet: return "libsennet";
    case ScanLibrary::Count: break;
    }
    return "?";
}

const BackendRow *backendRows(size_t *count)
{
    if (count)
        *count = sizeof kRows / sizeof kRows[0];
    return kRows;
}

const BackendRow *findBackendRow(int32_t fsType, ScanKind kind)
{
    for (const BackendRow &r : kRows)
        if (offers(r, kind) && takes(r, fsType))
            return &r;
    return nullptr;
}

Capabilities capabilities(int32_t fsType)
{
    Capabilities c;
    for (const BackendRow &r : kRows) {
        if (!takes(r, fsType))
            continue;
        bool quick = r.quick && r.make, formatted = r.formatted && r.makeFormatted, deep = r.deep && r.make;
        c.quick |= quick;
        c.formatted |= formatted;
        c.deep |= deep;
        if ((quick || formatted) && !*c.label)
            c.label = r.label;
    }
    return c;
}

Capabilities capabilities(const Partiton_Struct *part)
{
    if (!part)
        return {};
    Capabilities c = capabilities(part->FsType);
    // A record that reads through no device cannot be scanned at all.
    if (!part->Device)
        c = Capabilities{};
    return c;
}

std::unique_ptr<ScanBackend> makeBackend(const ScanRequest &req, Status *why, const BackendRow **rowOut)
{
    auto fail = [&](StatusCode c, std::string reason) -> std::unique_ptr<ScanBackend> {
        if (why)
            *why = Status{c, std::move(reason)};
        return nullptr;
    };
    if (rowOut)
        *rowOut = nullptr;
    if (!req.part)
        return fail(StatusCode::NotSupported, "no partition given");
    if (req.mode != RecoverQuick && req.mode != RecoverDeep)
        return fail(StatusCode::NotSupported, "unknown scan mode");
    ScanKind kind = req.kind();
    const BackendRow *row = findBackendRow(req.part->FsType, kind);
    if (!row)
        return fail(StatusCode::NotSupported, std::string("no ") + scanKindText(kind) + " scan for this file system");
    if (rowOut)
        *rowOut = row;
    if (!req.part->Device)
        return fail(StatusCode::UnreadableMedium, "the partition has no device to read from");
    BackendFactory make = factoryFor(*row, kind);
    if (!make)
        return fail(StatusCode::LibraryMissing,
                    std::string(scanLibraryName(row->library)) + " is not part of this build");
    std::unique_ptr<ScanBackend> b = make(req);
    if (!b)
        return fail(StatusCode::LibraryMissing, std::string(scanLibraryName(row->library)) + " could not be loaded");
    if (why)
        *why = Status{};
    return b;
}

}  // namespace salvitra
