#include "rescue_map.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace salvitra {

namespace {

// A map larger than this is no map of ours (a map of millions of areas
// is a few tens of MiB).
constexpr off_t kMaxMapBytes = 256 << 20;

bool validStatus(char c)
{
    return c == '?' || c == '*' || c == '/' || c == '-' || c == '+';
}

bool validPhase(char c)
{
    return validStatus(c) || c == 'F' || c == 'G';
}

// An integer as C++ writes its constants: decimal, 0x hexadecimal, 0 octal.
bool parseInteger(const std::string &s, uint64_t *out)
{
    if (s.empty() || s[0] == '-' || s[0] == '+')
        return false;
    int base = 10;
    size_t i = 0;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        i = 2;
    } else if (s.size() > 1 && s[0] == '0') {
        base = 8;
        i = 1;
    }
    uint64_t v = 0;
    for (; i < s.size(); i++) {
        int d;
        char c = s[i];
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        if (d >= base || v > (UINT64_MAX - (uint64_t)d) / (uint64_t)base)
            return false;
        v = v * (uint64_t)base + (uint64_t)d;
    }
    *out = v;
    return true;
}

// The words of a line, without its comment ('#' at its start or after a blank).
std::vector<std::string> words(const std::string &line)
{
    std::vector<std::string> out;
    std::string cur;
    for (size_t i = 0; i < line.size(); i++) {
        char c = line[i];
        if (c == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t'))
            break;
        if (c == ' ' || c == '\t' || c == '\r') {
            if (!cur.empty())
                out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty())
        out.push_back(cur);
    return out;
}

std::string hex(uint64_t v, int width)
{
    char buf[32];
    snprintf(buf, sizeof buf, "0x%0*" PRIX64, width, v);
    return buf;
}

}  // namespace

RescueMap::RescueMap(uint64_t size) : size_(size)
{
    if (size_) {
        areas_[0] = Area{size_, BlockStatus::NonTried};
        totals_[slot(BlockStatus::NonTried)] = size_;
    }
}

size_t RescueMap::slot(BlockStatus s)
{
    switch (s) {
    case BlockStatus::NonTried: return 0;
    case BlockStatus::NonTrimmed: return 1;
    case BlockStatus::NonScraped: return 2;
    case BlockStatus::BadSector: return 3;
    case BlockStatus::Finished: return 4;
    }
    return 0;
}

std::map<uint64_t, RescueMap::Area>::iterator RescueMap::split(uint64_t pos)
{
    // The area holding pos; split so that one starts at pos.
    auto it = areas_.upper_bound(pos);
    --it;
    if (it->first == pos)
        return it;
    uint64_t head = pos - it->first;
    Area tail{it->second.len - head, it->second.status};
    it->second.len = head;
    return areas_.emplace_hint(std::next(it), pos, tail);
}

void RescueMap::set(uint64_t pos, uint64_t len, BlockStatus status)
{
    if (pos >= size_ || len == 0)
        return;
    if (len > size_ - pos)
        len = size_ - pos;
    uint64_t end = pos + len;
    auto first = split(pos);
    if (end < size_)
        split(end);
    first = areas_.find(pos);
    auto it = first;
    while (it != areas_.end() && it->first < end) {
        totals_[slot(it->second.status)] -= it->second.len;
        it = areas_.erase(it);
    }
    totals_[slot(status)] += len;
    auto placed = areas_.emplace_hint(it, pos, Area{len, status});
    // Merge with the neighbours of the same status.
    if (placed != areas_.begin()) {
        auto prev = std::prev(placed);
        if (prev->second.status == status) {
            prev->second.len += placed->second.len;
            areas_.erase(placed);
            placed = prev;
        }
    }
    auto next = std::next(placed);
    if (next != areas_.end() && next->second.status == status) {
        placed->second.len += next->second.len;
        areas_.erase(next);
    }
}

BlockStatus RescueMap::at(uint64_t pos) const
{
    if (pos >= size_)
        return BlockStatus::Finished;
    auto it = areas_.upper_bound(pos);
    --it;
    return it->second.status;
}

uint64_t RescueMap::bytes(BlockStatus status) const
{
    return totals_[slot(status)];
}

void RescueMap::forEach(const std::function<bool(uint64_t, uint64_t, BlockStatus)> &f) const
{
    for (const auto &a : areas_)
        if (!f(a.first, a.second.len, a.second.status))
            return;
}

bool RescueMap::nextArea(BlockStatus status, uint64_t pos, uint64_t *start, uint64_t *end) const
{
    if (pos >= size_)
        return false;
    auto it = areas_.upper_bound(pos);
    --it;
    for (; it != areas_.end(); ++it) {
        if (it->second.status != status)
            continue;
        *start = it->first < pos ? pos : it->first;
        *end = it->first + it->second.len;
        return true;
    }
    return false;
}

bool RescueMap::prevArea(BlockStatus status, uint64_t pos, uint64_t *start, uint64_t *end) const
{
    if (pos == 0 || areas_.empty())
        return false;
    auto it = areas_.lower_bound(pos);  // the first area starting at or after pos
    while (it != areas_.begin()) {
        --it;
        if (it->second.status != status)
            continue;
        *start = it->first;
        uint64_t e = it->first + it->second.len;
        *end = e > pos ? pos : e;
        return true;
    }
    return false;
}

std::string RescueMap::text(const std::string &heading) const
{
    std::ostringstream o;
    std::istringstream h(heading);
    for (std::string line; std::getline(h, line);)
        o << "# " << line << "\n";
    o << "# current_pos  current_status  current_pass\n";
    o << hex(position, 8) << "     " << (char)phase << "               " << (pass > 0 ? pass : 1) << "\n";
    o << "#      pos        size  status\n";
    for (const auto &a : areas_)
        o << hex(a.first, 8) << "  " << hex(a.second.len, 8) << "  " << (char)a.second.status << "\n";
    return o.str();
}

bool RescueMap::parse(const std::string &text, uint64_t size, std::string *why)
{
    auto fail = [&](size_t lineNo, const std::string &what) {
        if (why)
            *why = "line " + std::to_string(lineNo) + ": " + what;
        return false;
    };
    RescueMap m(size);
    bool haveStatus = false;
    uint64_t end = 0;  // where the areas read so far end
    std::istringstream in(text);
    size_t lineNo = 0;
    for (std::string line; std::getline(in, line);) {
        lineNo++;
        std::vector<std::string> w = words(line);
        if (w.empty())
            continue;
        if (!haveStatus) {
            // current_pos current_status [current_pass]
            if (w.size() < 2 || w.size() > 3 || w[1].size() != 1 || !validPhase(w[1][0]) ||
                !parseInteger(w[0], &m.position))
                return fail(lineNo, "not the status line of a mapfile");
            m.phase = validStatus(w[1][0]) ? (RescuePhase)w[1][0] : RescuePhase::Copying;
            uint64_t pass = 1;
            if (w.size() == 3 && (!parseInteger(w[2], &pass) || pass == 0 || pass > 1000))
                return fail(lineNo, "not a pass number");
            m.pass = (int)pass;
            haveStatus = true;
            continue;
        }
        uint64_t pos, len;
        if (w.size() != 3 || w[2].size() != 1 || !validStatus(w[2][0]) || !parseInteger(w[0], &pos) ||
            !parseInteger(w[1], &len))
            return fail(lineNo, "not an area of a mapfile (position, size, status)");
        if (pos < end)
            return fail(lineNo, "areas out of order or overlapping");
        if (len == 0)
            continue;
        if (pos >= size || len > size - pos)
            return fail(lineNo, "an area past the end of the medium (" + std::to_string(size) +
                                    " bytes): the map is of another medium");
        m.set(pos, len, (BlockStatus)w[2][0]);
        end = pos + len;
    }
    if (!haveStatus) {
        if (why)
            *why = "no status line: not a mapfile";
        return false;
    }
    if (m.position > size)
        m.position = 0;
    *this = std::move(m);
    return true;
}

bool saveMapFile(const std::string &path, const std::string &text, std::string *why, bool sync)
{
    std::string tmp = path + ".new";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (why)
            *why = tmp + ": " + strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (why)
                *why = tmp + ": " + strerror(n < 0 ? errno : EIO);
            close(fd);
            unlink(tmp.c_str());
            return false;
        }
        done += (size_t)n;
    }
    if ((sync && fsync(fd) != 0) || close(fd) != 0) {
        if (why)
            *why = tmp + ": " + strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        if (why)
            *why = path + ": " + strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool loadMapFile(const std::string &path, std::string *text, std::string *why)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (why)
            *why = path + ": " + strerror(errno);
        return false;
    }
    struct stat sb;
    if (fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode) || sb.st_size > kMaxMapBytes) {
        if (why)
            *why = path + ": not a mapfile";
        close(fd);
        return false;
    }
    text->assign((size_t)sb.st_size, '\0');
    size_t got = 0;
    while (got < text->size()) {
        ssize_t n = read(fd, &(*text)[got], text->size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += (size_t)n;
    }
    text->resize(got);
    close(fd);
    return true;
}

}  // namespace salvitra
