#include "ntfs_paths.h"
#include "text.h"

#include <cstddef>
#include <cstring>
#include <vector>

namespace salvitra {

std::string ntfsName(const NTFS_DEL_FILEINFO_t &rec)
{
    if (rec.pwszLongName)
        return utf16leToUtf8(rec.pwszLongName, rec.cNameLength);
    size_t n = rec.cNameLength < 127 ? rec.cNameLength : 127;
    return utf16leToUtf8(reinterpret_cast<const uint8_t *>(&rec) + offsetof(NTFS_DEL_FILEINFO_t, wszName), n);
}

std::string ntfsName(const NTFS_FORMAT_INFO_t &rec)
{
    return utf16leToUtf8(reinterpret_cast<const uint8_t *>(&rec) + offsetof(NTFS_FORMAT_INFO_t, wszName),
                         rec.cNameLength);
}

int64_t ntfsTimeToUnix(uint64_t t)
{
    if (t == 0)
        return -1;
    const int64_t epochDiff = 11644473600LL;  // seconds from 1601-01-01 to 1970-01-01
    return (int64_t)(t / 10000000ULL) - epochDiff;
}

static std::string parentName(const NTFS_MFT_ParentID_Name &o)
{
    size_t n = o.cNameLength < 128 ? o.cNameLength : 128;
    return utf16leToUtf8(reinterpret_cast<const uint8_t *>(&o) + offsetof(NTFS_MFT_ParentID_Name, wszName), n);
}

NtfsFolderResolver::NtfsFolderResolver(Lookup lookup, int maxDepth) : lookup_(std::move(lookup)), maxDepth_(maxDepth)
{
}

bool NtfsFolderResolver::folderOf(uint64_t mftNumber, uint64_t parentRef, std::string *folder)
{
    uint64_t parent = NTFS_MFT_REF_NUMBER(parentRef);
    if (parent == NTFS_ROOT_MFT_NUMBER) {
        folder->clear();
        return true;
    }
    auto k = known_.find(parent);
    if (k != known_.end()) {
        *folder = k->second;
        return true;
    }
    if (failed_.count(parent))
        return false;
    // The folder's name comes with the file's own record.
    NTFS_MFT_ParentID_Name o;
    lookups_++;
    if (!lookup_(mftNumber, &o) || NTFS_MFT_REF_NUMBER(o.nNumber) != parent)
        return false;
    if (!(o.cFlags & 0x02)) {
        failed_.insert(parent);
        return false;
    }
    return dirPath(parent, parentName(o), 0, folder);
}

bool NtfsFolderResolver::dirPath(uint64_t dir, const std::string &name, int depth, std::string *out)
{
    auto k = known_.find(dir);
    if (k != known_.end()) {
        *out = k->second;
        return true;
    }
    if (failed_.count(dir) || depth > maxDepth_ || active_.count(dir) || name.empty()) {
        failed_.insert(dir);
        return false;
    }
    active_.insert(dir);
    NTFS_MFT_ParentID_Name o;
    lookups_++;
    bool ok = lookup_(dir, &o);
    std::string path;
    if (ok) {
        uint64_t up = NTFS_MFT_REF_NUMBER(o.nNumber);
        if (up == NTFS_ROOT_MFT_NUMBER) {
            path = name;
        } else if (o.cFlags & 0x02) {
            std::string above;
            ok = dirPath(up, parentName(o), depth + 1, &above);
            if (ok)
                path = above + "/" + name;
        } else {
            ok = false;
        }
    }
    active_.erase(dir);
    if (!ok) {
        failed_.insert(dir);
        return false;
    }
    known_[dir] = path;
    *out = path;
    return true;
}

NtfsFormatFolderResolver::NtfsFormatFolderResolver(Parent parent, int maxDepth)
    : parent_(std::move(parent)), maxDepth_(maxDepth)
{
}

bool NtfsFormatFolderResolver::folderOf(const NTFS_FORMAT_INFO_t *rec, std::string *folder)
{
    // The folders above rec, nearest first, up to one already placed.
    std::vector<const NTFS_FORMAT_INFO_t *> chain;
    std::unordered_set<const NTFS_FORMAT_INFO_t *> seen{rec};
    const NTFS_FORMAT_INFO_t *cur = rec;
    std::string base;
    bool rooted = false;
    for (int depth = 0;; depth++) {
        NTFS_MFT_ParentID_Name o;
        const NTFS_FORMAT_INFO_t *up = parent_(cur, &o);
        if (!up) {
            rooted = o.nNumber == NTFS_ROOT_MFT_NUMBER;
            break;
        }
        auto k = known_.find(up);
        if (k != known_.end()) {
            base = k->second;
            rooted = true;
            break;
        }
        if (failed_.count(up) || depth >= maxDepth_ || !seen.insert(up).second || !(up->cFlags & 1))
            break;
        chain.push_back(up);
        cur = up;
    }
    if (!rooted) {
        for (const NTFS_FORMAT_INFO_t *d : chain)
            failed_.insert(d);
        return false;
    }
    std::string path = base;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        path = path.empty() ? ntfsName(**it) : path + "/" + ntfsName(**it);
        known_[*it] = path;
    }
    *folder = path;
    return true;
}

}  // namespace salvitra
