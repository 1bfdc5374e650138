#include "result_tree.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <utility>

#include "units.h"

namespace salvitra {

const char *const kAllFilesText = "All Files";

namespace {

// The rules of each kind of result, one row per kind of file system.
struct RuleRow {
    int fsTypes[4];          // codes of the row, 0-terminated
    GroupPlacement placement;
};

const RuleRow kRuleRows[] = {
    // A FAT file may sit in two groups.
    {{FS_FAT12, FS_FAT16, FS_FAT32, FS_EXFAT}, GroupPlacement::EveryGroup},
};

char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

CheckState combine(size_t checked, size_t partly, size_t total)
{
    if (partly > 0)
        return CheckState::PartlyChecked;
    if (checked == 0)
        return CheckState::Unchecked;
    if (checked == total)
        return CheckState::Checked;
    return CheckState::PartlyChecked;
}

bool groupFlag(const GroupFilter &f, FileGroup g)
{
    switch (g) {
    case FileGroup::Photo: return f.photo;
    case FileGroup::Music: return f.music;
    case FileGroup::Video: return f.video;
    case FileGroup::Others: return f.others;
    }
    return false;
}

// "name (n).ext" for n = 1, 2, ...
std::string numbered(const std::string &rel, unsigned n)
{
    size_t slash = rel.find_last_of('/');
    size_t dot = rel.find_last_of('.');
    size_t start = slash == std::string::npos ? 0 : slash + 1;
    std::string suffix = " (" + std::to_string(n) + ")";
    if (dot == std::string::npos || dot <= start)
        return rel + suffix;
    return rel.substr(0, dot) + suffix + rel.substr(dot);
}

}  // namespace

ResultRules resultRules(int fsType, RecoverMod mode)
{
    ResultRules r;
    if (mode == RecoverDeep) {
        r.placement = GroupPlacement::EveryGroup;
        r.deep = true;
        return r;
    }
    for (const RuleRow &row : kRuleRows) {
        for (int code : row.fsTypes) {
            if (code != 0 && code == fsType) {
                r.placement = row.placement;
                return r;
            }
        }
    }
    return r;
}

std::string treeTypeName(const std::string &fileName)
{
    size_t dot = fileName.find_last_of('.');
    std::string t = dot == std::string::npos ? fileName : fileName.substr(dot + 1);
    for (char &c : t)
        c = asciiLower(c);
    return t;
}

bool deepTypeHidden(const std::string &type)
{
    return type.compare(0, 3, "FAT") == 0 || type == "NTFS";
}

std::string countedText(const std::string &text, uint64_t count)
{
    return text + "(" + std::to_string(count) + ")";
}

std::string textBeforeCount(const std::string &text)
{
    return text.substr(0, text.find('('));
}

std::string sizeText(uint64_t bytes)
{
    return readableSize(bytes);
}

std::string timeText(int64_t mtime)
{
    return dateText(mtime);
}

uint64_t SizeSearch::limit() const
{
    static const uint64_t kUnits[] = {1, 1024, 1048576, 1073741824};
    if (unit < 0 || unit > 3)
        return 0;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        uint64_t d = (uint64_t)(c - '0');
        if (v > (UINT64_MAX - d) / 10)
            return UINT64_MAX;
        v = v * 10 + d;
    }
    if (v != 0 && kUnits[unit] > UINT64_MAX / v)
        return UINT64_MAX;
    return v * kUnits[unit];
}

bool SizeSearch::matches(uint64_t size) const
{
    uint64_t l = limit();
    return compare == SizeCompare::LessThan ? size < l : size > l;
}

uint64_t GroupNode::fileCount() const
{
    uint64_t n = 0;
    for (const TypeNode &t : types)
        n += t.files.size();
    return n;
}

void ResultTree::reset(const ResultRules &rules, const GroupFilter &filter)
{
    rules_ = rules;
    filter_ = filter;
    placed_.clear();
    clear();
}

void ResultTree::clear()
{
    groups_.clear();
    rootCheck_ = CheckState::Unchecked;
    finished_ = false;
}

int ResultTree::groupIndex(FileGroup g) const
{
    for (size_t i = 0; i < groups_.size(); i++)
        if (groups_[i].group == g)
            return (int)i;
    return -1;
}

int ResultTree::ensureGroup(FileGroup g)
{
    int i = groupIndex(g);
    if (i >= 0)
        return i;
    GroupNode node;
    node.group = g;
    groups_.push_back(std::move(node));
    return (int)groups_.size() - 1;
}

void ResultTree::addTo(FileGroup g, const std::string &type, uint32_t index, bool keepIndex)
{
    GroupNode &group = groups_[ensureGroup(g)];
    for (TypeNode &t : group.types) {
        if (t.type == type) {
            if (keepIndex)
                t.files.push_back(index);
            return;
        }
    }
    TypeNode node;
    node.type = type;
    if (keepIndex)
        node.files.push_back(index);
    group.types.push_back(std::move(node));
}

std::string treeTypeOf(const ResultRules &rules, const FoundFile &file)
{
    if (rules.deep)
        return deepTypeHidden(file.type) ? std::string() : file.type;
    if (file.name.empty() || file.size == 0)
        return {};
    return treeTypeName(file.name);
}

std::vector<FileGroup> groupsOf(const ResultRules &rules, const GroupFilter &filter, const FoundFile &file)
{
    std::string type = treeTypeOf(rules, file);
    if (type.empty() || (filter.goodOnly && file.verdict != Verdict::Good))
        return {};
    return filter.place(type, rules.placement);
}

const std::vector<FileGroup> &ResultTree::placeOf(const std::string &type)
{
    auto it = placed_.find(type);
    if (it == placed_.end())
        it = placed_.emplace(type, filter_.place(type, rules_.placement)).first;
    return it->second;
}

bool ResultTree::add(const FoundFile &file, uint32_t index)
{
    std::string type = treeTypeOf(rules_, file);
    if (type.empty() || (filter_.goodOnly && file.verdict != Verdict::Good))
        return false;
    const std::vector<FileGroup> &where = placeOf(type);
    for (FileGroup g : where)
        addTo(g, type, index, true);
    return !where.empty();
}

void ResultTree::addAll(FileView files)
{
    for (size_t i = 0; i < files.size(); i++)
        add(files[i], (uint32_t)i);
}

void ResultTree::finish(FileView files)
{
    if (rules_.deep) {
        // Built again from the whole list, so that the counts are exact
        // whatever arrived while the scan ran; types ticked meanwhile stay
        // ticked.
        std::vector<std::pair<FileGroup, std::string>> ticked;
        for (const GroupNode &g : groups_)
            for (const TypeNode &t : g.types)
                if (t.check == CheckState::Checked)
                    ticked.emplace_back(g.group, t.type);
        clear();
        addAll(files);
        for (const auto &[group, type] : ticked) {
            NodeRef n = find(group, type);
            if (n.isType())
                setCheck(n, CheckState::Checked);
        }
    }
    finished_ = true;
}

NodeRef ResultTree::find(FileGroup g, const std::string &type) const
{
    int gi = groupIndex(g);
    if (gi < 0)
        return {-1, -1};
    const std::vector<TypeNode> &types = groups_[gi].types;
    for (size_t i = 0; i < types.size(); i++)
        if (types[i].type == type)
            return {gi, (int)i};
    return {-1, -1};
}

bool ResultTree::valid(const NodeRef &n) const
{
    if (n.isRoot())
        return n.type < 0;
    if ((size_t)n.group >= groups_.size())
        return false;
    return n.type < 0 || (size_t)n.type < groups_[n.group].types.size();
}

uint64_t ResultTree::fileCount() const
{
    uint64_t n = 0;
    for (const GroupNode &g : groups_)
        n += g.fileCount();
    return n;
}

std::string ResultTree::text(const NodeRef &n) const
{
    if (!valid(n))
        return {};
    if (n.isRoot())
        return kAllFilesText;
    const GroupNode &g = groups_[n.group];
    if (n.type < 0) {
        std::string name = fileGroupName(g.group);
        return finished_ && groupFlag(filter_, g.group) ? countedText(name, g.fileCount()) : name;
    }
    const TypeNode &t = g.types[n.type];
    return finished_ ? countedText(t.type, t.files.size()) : t.type;
}

CheckState ResultTree::check(const NodeRef &n) const
{
    if (!valid(n))
        return CheckState::Unchecked;
    if (n.isRoot())
        return rootCheck_;
    if (n.type < 0)
        return groups_[n.group].check;
    return groups_[n.group].types[n.type].check;
}

void ResultTree::recomputeUp(int group)
{
    if (group >= 0) {
        GroupNode &g = groups_[group];
        size_t checked = 0, partly = 0;
        for (const TypeNode &t : g.types) {
            checked += t.check == CheckState::Checked;
            partly += t.check == CheckState::PartlyChecked;
        }
        if (!g.types.empty())
            g.check = combine(checked, partly, g.types.size());
    }
    if (groups_.empty())
        return;
    size_t checked = 0, partly = 0;
    for (const GroupNode &g : groups_) {
        checked += g.check == CheckState::Checked;
        partly += g.check == CheckState::PartlyChecked;
    }
    rootCheck_ = combine(checked, partly, groups_.size());
}

void ResultTree::setCheck(const NodeRef &n, CheckState s)
{
    if (!valid(n) || s == CheckState::PartlyChecked)
        return;
    if (n.isRoot()) {
        rootCheck_ = s;
        for (GroupNode &g : groups_) {
            g.check = s;
            for (TypeNode &t : g.types)
                t.check = s;
        }
        return;
    }
    GroupNode &g = groups_[n.group];
    if (n.type < 0) {
        g.check = s;
        for (TypeNode &t : g.types)
            t.check = s;
    } else {
        g.types[n.type].check = s;
    }
    recomputeUp(n.group);
}

bool ResultTree::anyChecked() const
{
    if (rootCheck_ == CheckState::Checked)
        return true;
    for (const GroupNode &g : groups_) {
        if (g.check == CheckState::Checked)
            return true;
        for (const TypeNode &t : g.types)
            if (t.check == CheckState::Checked)
                return true;
    }
    return false;
}

namespace {

TableRow makeRow(const FoundFile &f, uint32_t idx, FileGroup group, CheckState check)
{
    TableRow r;
    r.file = idx;
    r.name = f.name;
    r.size = sizeText(f.size);
    r.bytes = f.size;
    r.group = fileGroupName(group);
    r.time = timeText(f.mtime);
    r.readable = f.readable();
    r.state = f.state;
    r.note = f.note;
    r.verdict = f.verdict;
    r.why = f.why;
    r.check = check == CheckState::Checked ? CheckState::Checked : CheckState::Unchecked;
    return r;
}

// Every file under n once, in the tree's order, with the group and the tick
// of the first place it is listed at.
template <typename Visit>
void forEachFile(const ResultTree &tree, const NodeRef &n, size_t fileCount, Visit visit)
{
    if (!tree.valid(n))
        return;
    const auto &groups = tree.groups();
    std::vector<bool> seen;
    if (n.isRoot())
        seen.assign(fileCount, false);
    for (int g = 0; g < (int)groups.size(); g++) {
        if (!n.isRoot() && g != n.group)
            continue;
        for (int t = 0; t < (int)groups[g].types.size(); t++) {
            if (n.isType() && t != n.type)
                continue;
            const TypeNode &type = groups[g].types[t];
            for (uint32_t idx : type.files) {
                if (idx >= fileCount)
                    continue;
                if (n.isRoot()) {
                    if (seen[idx])
                        continue;
                    seen[idx] = true;
                }
                visit(idx, groups[g].group, type.check);
            }
        }
    }
}

template <typename Keep>
std::vector<TableRow> buildRows(const ResultTree &tree, const NodeRef &n, FileView files, Keep keep)
{
    std::vector<TableRow> rows;
    forEachFile(tree, n, files.size(), [&](uint32_t idx, FileGroup group, CheckState check) {
        const FoundFile &f = files[idx];
        if (keep(f))
            rows.push_back(makeRow(f, idx, group, check));
    });
    return rows;
}

}  // namespace

std::vector<TableRow> ResultTree::rows(const NodeRef &n, FileView files) const
{
    return buildRows(*this, n, files, [](const FoundFile &) { return true; });
}

std::vector<TableRow> ResultTree::rowsByName(const NodeRef &n, FileView files,
                                             const std::string &text) const
{
    if (text.empty())
        return {};
    return buildRows(*this, n, files,
                     [&](const FoundFile &f) { return f.name.find(text) != std::string::npos; });
}

std::vector<TableRow> ResultTree::rowsBySize(const NodeRef &n, FileView files,
                                             const SizeSearch &search) const
{
    if (search.text.empty())
        return {};
    return buildRows(*this, n, files, [&](const FoundFile &f) { return search.matches(f.size); });
}

size_t ResultTree::distinctFiles(const NodeRef &n) const
{
    if (!valid(n))
        return 0;
    if (n.isType())
        return groups_[n.group].types[n.type].files.size();
    if (!n.isRoot())
        return groups_[n.group].fileCount();
    uint32_t top = 0;
    for (const GroupNode &g : groups_)
        for (const TypeNode &t : g.types)
            for (uint32_t idx : t.files)
                top = std::max(top, idx + 1);
    size_t count = 0;
    forEachFile(*this, n, top, [&](uint32_t, FileGroup, CheckState) { count++; });
    return count;
}

CheckState ResultTree::applyRowTicks(const NodeRef &n, size_t ticked, size_t total)
{
    CheckState s = total > 0 && ticked == total ? CheckState::Checked : CheckState::Unchecked;
    setCheck(n, s);
    return s;
}

std::vector<RecoveryJob> collectJobs(ResultTree &tree, TableSelection &table,
                                     FileView files)
{
    std::vector<RecoveryJob> jobs;
    std::set<std::pair<uint32_t, std::string>> placed;  // (file, folder)
    std::set<std::string> used;                         // relative paths taken
    auto place = [&](uint32_t file, const std::string &dir) {
        if (file >= files.size() || !placed.insert({file, dir}).second)
            return;
        std::string rel = dir + safePathComponent(files[file].name);
        if (used.count(rel)) {
            unsigned n = 1;
            while (used.count(numbered(rel, n)))
                n++;
            rel = numbered(rel, n);
        }
        used.insert(rel);
        jobs.push_back({file, rel});
    };

    bool tableFirst = tree.valid(table.node) && tree.check(table.node) != CheckState::Checked;
    if (tableFirst) {
        // Rows of a group's or the root's table whose type is fully ticked
        // go with their type below, not twice.
        std::vector<bool> byTree(files.size(), false);
        for (const GroupNode &g : tree.groups())
            for (const TypeNode &t : g.types)
                if (t.check == CheckState::Checked)
                    for (uint32_t idx : t.files)
                        if (idx < byTree.size())
                            byTree[idx] = true;
        for (TableRow &r : table.rows) {
            if (r.check != CheckState::Checked || (r.file < byTree.size() && byTree[r.file]))
                continue;
            place(r.file, "");
            r.check = CheckState::Unchecked;
        }
    }
    for (int g = 0; g < kFileGroupCount; g++) {
        int gi = tree.groupIndex((FileGroup)g);
        if (gi < 0)
            continue;
        std::string groupDir = safePathComponent(tree.text({gi, -1})) + "/";
        const size_t types = tree.groups()[gi].types.size();
        for (size_t ti = 0; ti < types; ti++) {
            NodeRef n{gi, (int)ti};
            if (tree.check(n) != CheckState::Checked)
                continue;
            std::string dir = groupDir + safePathComponent(tree.text(n)) + "/";
            for (uint32_t idx : tree.groups()[gi].types[ti].files)
                place(idx, dir);
            tree.setCheck(n, CheckState::Unchecked);
        }
    }
    for (TableRow &r : table.rows)
        r.check = CheckState::Unchecked;
    return jobs;
}

RecoverSummary recoverJobs(ScanJob &job, const std::vector<RecoveryJob> &jobs, const std::string &outDir,
                           const std::function<void(size_t, size_t, const std::string &)> &onFile, OutputDir *output)
{
    const std::deque<FoundFile> &files = job.files();
    std::vector<PlannedWrite> plan;
    plan.reserve(jobs.size());
    for (const RecoveryJob &j : jobs)
        if (j.file < files.size())
            plan.push_back({&files[j.file], j.relPath});
    return writePlanned(job, plan, outDir, false, onFile, output);
}

}  // namespace salvitra
