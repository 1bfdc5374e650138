// Pure helpers of the NTFS backends: names, times and folder paths built
// from parent references.  Nothing here reads a device, so all of it can be
// tested with plain records.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "ntfs.h"
#include "text.h"

namespace salvitra {

// The full name of a deleted-file record (its long name when it has one).
std::string ntfsName(const NTFS_DEL_FILEINFO_t &rec);
// The name of a formatted-volume record.
std::string ntfsName(const NTFS_FORMAT_INFO_t &rec);

// 100-ns units since 1601-01-01 as seconds since the epoch; -1 for 0.
int64_t ntfsTimeToUnix(uint64_t t);

// Folder paths of deleted files from their parent references.  lookup is
// Ntfs_Get_NameParentID of the library that ran the scan: for a record it
// gives the record's parent reference and that parent's flags and name.
// Paths are cached per folder; a chain that ends in a record that is gone,
// is no folder, loops or runs deeper than maxDepth is not resolved.
class NtfsFolderResolver {
public:
    using Lookup = std::function<bool(uint64_t, NTFS_MFT_ParentID_Name *)>;
    explicit NtfsFolderResolver(Lookup lookup, int maxDepth = 256);

    // The folder (relative to the root, '/'-separated) of the file with
    // this MFT number and parent reference; false when it is not known.
    bool folderOf(uint64_t mftNumber, uint64_t parentRef, std::string *folder);
    uint64_t lookups() const { return lookups_; }

private:
    // Path of folder dir whose name is known; false when unresolved.
    bool dirPath(uint64_t dir, const std::string &name, int depth, std::string *out);

    Lookup lookup_;
    int maxDepth_;
    uint64_t lookups_ = 0;
    std::unordered_map<uint64_t, std::string> known_;    // folder number -> path
    std::unordered_set<uint64_t> failed_;                // folders that cannot be placed
    std::unordered_set<uint64_t> active_;                // folders on the chain being resolved
};

// Folder paths of formatted-volume records, through
// Nfst_GetFormat_NameParentID of the library that ran the search.
class NtfsFormatFolderResolver {
public:
    using Parent = std::function<NTFS_FORMAT_INFO_t *(const NTFS_FORMAT_INFO_t *, NTFS_MFT_ParentID_Name *)>;
    explicit NtfsFormatFolderResolver(Parent parent, int maxDepth = 256);
    // The folder of rec inside its old volume; false when the chain does
    // not reach the volume's root.
    bool folderOf(const NTFS_FORMAT_INFO_t *rec, std::string *folder);

private:
    Parent parent_;
    int maxDepth_;
    std::unordered_map<const NTFS_FORMAT_INFO_t *, std::string> known_;
    std::unordered_set<const NTFS_FORMAT_INFO_t *> failed_;
};

}  // namespace salvitra
