#include "hfsp_paths.h"
#include "text.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

namespace salvitra {

namespace {

// Seconds from 1904-01-01 to 1970-01-01.
constexpr int64_t kHfsEpochOffset = 2082844800;
constexpr uint32_t kRootFolder = 2;
constexpr uint32_t kRootParent = 1;
// HFS+ sets no depth limit; a chain longer than this is a loop in disguise.
constexpr int kMaxDepth = 1024;

}  // namespace

int64_t hfsTimeToUnix(uint32_t hfsTime)
{
    if (hfsTime == 0)
        return -1;
    return (int64_t)hfsTime - kHfsEpochOffset;
}

std::string hfsNameToUtf8(const uint16_t *units, size_t count)
{
    std::string out;
    if (!units)
        return out;
    out.reserve(count);
    for (size_t i = 0; i < count; i++) {
        uint32_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            i++;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            appendUtf8(out, 0xFFFD);
        } else if (u == '/') {
            out += ':';
        } else if (u == 0) {
            appendUtf8(out, 0x2400);
        } else {
            appendUtf8(out, u);
        }
    }
    return out;
}

void HfsFolderPaths::addFolder(uint32_t cnid, uint32_t parent, const std::string &name)
{
    if (folders_.emplace(cnid, Folder{parent, name}).second)
        memo_.clear();
}

std::string HfsFolderPaths::path(uint32_t cnid)
{
    auto hit = memo_.find(cnid);
    if (hit != memo_.end())
        return hit->second;
    std::vector<const std::string *> names;
    std::unordered_set<uint32_t> seen;
    std::string prefix;
    uint32_t cur = cnid;
    for (int depth = 0;; depth++) {
        if (cur == kRootFolder || cur == kRootParent)
            break;
        auto m = memo_.find(cur);
        if (m != memo_.end()) {
            prefix = m->second;
            break;
        }
        auto f = folders_.find(cur);
        if (f == folders_.end() || !seen.insert(cur).second || depth >= kMaxDepth) {
            prefix = "Unknown folder " + std::to_string(cur);
            break;
        }
        names.push_back(&f->second.name);
        cur = f->second.parent;
    }
    std::string p = prefix;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        if (!p.empty())
            p += '/';
        p += **it;
    }
    memo_.emplace(cnid, p);
    return p;
}

}  // namespace salvitra
