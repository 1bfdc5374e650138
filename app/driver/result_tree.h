// The results page's model as plain data: the three-level tree (all files,
// the groups "Photo", "Music", "Video", "Others", one node per file type),
// the rows of the table for one type node, the name and size search, the
// tick states and the recovery jobs collected from them.
//
// The widgets mirror this model: every text, count and order they show
// comes from here, so both front ends and the tests see the same results.
// Files are referred to by their index in the scan's found-file list.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "classify.h"
#include "recover.h"
#include "scan.h"

namespace salvitra {

// Read access by index to a scan's found files, whether a list of them or
// a job's store (any container with size() and operator[]).  The container
// must outlive the view.
class FileView {
public:
    template <typename C>
    FileView(const C &files)
        : files_(&files), size_(files.size()),
          at_([](const void *c, size_t i) -> const FoundFile & { return (*static_cast<const C *>(c))[i]; })
    {
    }
    size_t size() const { return size_; }
    const FoundFile &operator[](size_t i) const { return at_(files_, i); }

private:
    const void *files_;
    size_t size_;
    const FoundFile &(*at_)(const void *, size_t);
};

// Tick values as the tree and the table use them.
enum class CheckState : uint8_t { Unchecked = 0, PartlyChecked = 1, Checked = 2 };

// What differs between the kinds of scan results.
struct ResultRules {
    GroupPlacement placement = GroupPlacement::FirstGroup;
    bool deep = false;       // type nodes are the engine's type names
};

// The rules for the results of a scan of file system fsType in mode (quick
// and formatted-volume scans share their file system's rules).
ResultRules resultRules(int fsType, RecoverMod mode);

// The type node a quick-scan file goes under: its name after the last ".",
// the whole name when it has none, lower case.
std::string treeTypeName(const std::string &fileName);

// Deep-scan types that name file-system structures, not files ("FAT...",
// "NTFS"): never shown.
bool deepTypeHidden(const std::string &type);

// The type node a found file goes under ("" when it is never shown: a
// quick-scan file without name or data, a hidden deep type).
std::string treeTypeOf(const ResultRules &rules, const FoundFile &file);
// The groups a found file is listed under, in the order photo, music,
// video, others; empty when it is not shown (also when the filter wants
// good files only and its verdict is not good).
std::vector<FileGroup> groupsOf(const ResultRules &rules, const GroupFilter &filter, const FoundFile &file);

// "%1(%2)".
std::string countedText(const std::string &text, uint64_t count);
// A node's text up to its first "(": "Photo(12)" -> "Photo".
std::string textBeforeCount(const std::string &text);

// Table column texts: readableSize and dateText (units.h), the time empty
// when the medium kept none.
std::string sizeText(uint64_t bytes);
std::string timeText(int64_t mtime);

// The root's text.
extern const char *const kAllFilesText;  // "All Files"

struct TypeNode {
    std::string type;             // extension or engine type name
    std::vector<uint32_t> files;  // indexes into the found-file list, in arrival order
    CheckState check = CheckState::Unchecked;
};

struct GroupNode {
    FileGroup group = FileGroup::Others;
    std::vector<TypeNode> types;  // in creation order
    CheckState check = CheckState::Unchecked;
    uint64_t fileCount() const;
};

// A node of the tree: the root (group < 0), a group (type < 0) or a type node.
struct NodeRef {
    int group = -1;  // index into ResultTree::groups()
    int type = -1;   // index into that group's types
    bool isRoot() const { return group < 0; }
    bool isType() const { return group >= 0 && type >= 0; }
    bool operator==(const NodeRef &o) const { return group == o.group && type == o.type; }
};

// One row of the file table.
struct TableRow {
    uint32_t file = 0;     // index into the found-file list
    std::string name;      // column 0
    std::string size;      // column 1: "18.1 KB"
    uint64_t bytes = 0;    // the exact size (column 1's tooltip)
    std::string group;     // column 2: the group's name
    std::string time;      // column 3: the modification time, "" when unknown
    bool readable = true;  // shown with the row's state, with the note as its tooltip
    FileState state = FileState::Deleted;
    std::string note;
    Verdict verdict = Verdict::Unknown;        // and the evidence for it (a deep scan judges every file)
    std::string why;
    CheckState check = CheckState::Unchecked;  // copied from the type node
};

// The search area: by name (a substring, case-sensitive) or by size.
enum class SizeCompare : int { LessThan = 0, MoreThan = 1 };
struct SizeSearch {
    std::string text;      // digits, as typed
    SizeCompare compare = SizeCompare::LessThan;
    int unit = 0;          // 0 bytes, 1 KB, 2 MB, 3 GB
    // The limit in bytes: text x unit; 0 for an unknown unit; saturates.
    uint64_t limit() const;
    bool matches(uint64_t size) const;
};

class ResultTree {
public:
    ResultTree() = default;
    ResultTree(const ResultRules &rules, const GroupFilter &filter) : rules_(rules), filter_(filter) {}

    void reset(const ResultRules &rules, const GroupFilter &filter);
    // Forgets every node (the empty tree with its root).
    void clear();

    // Adds one found file (quick scans at their end, a deep scan while it
    // runs).  Files of no wanted group, empty files and hidden deep types
    // are left out.  Returns whether the file was placed.
    bool add(const FoundFile &file, uint32_t index);
    // Adds every file of the list.
    void addAll(FileView files);
    // The scan ended: nodes show their counts.  A deep scan's tree is built
    // again from the final list, types in their order of appearance.
    void finish(FileView files);
    bool finished() const { return finished_; }

    const ResultRules &rules() const { return rules_; }
    const GroupFilter &filter() const { return filter_; }
    const std::vector<GroupNode> &groups() const { return groups_; }
    // The group node of g, or -1.
    int groupIndex(FileGroup g) const;
    // The type node of type under g, or an invalid ref.
    NodeRef find(FileGroup g, const std::string &type) const;
    bool valid(const NodeRef &n) const;
    uint64_t fileCount() const;  // files placed (a file under two groups counts twice)

    // Texts as shown.
    std::string text(const NodeRef &n) const;

    // Ticks.  Setting a node fully ticked or unticked carries the state to
    // every node below it and recomputes every node above it; a partly
    // ticked value set from outside changes nothing.
    CheckState check(const NodeRef &n) const;
    void setCheck(const NodeRef &n, CheckState s);
    // Anything fully ticked in the tree.
    bool anyChecked() const;

    // The rows of a node, all of them or those a search keeps: a type
    // node's files; a group's files; every file under the root ("All
    // Files"), each once even when it is listed under two groups.
    std::vector<TableRow> rows(const NodeRef &n, FileView files) const;
    std::vector<TableRow> rowsByName(const NodeRef &n, FileView files,
                                     const std::string &text) const;
    std::vector<TableRow> rowsBySize(const NodeRef &n, FileView files,
                                     const SizeSearch &search) const;

    // Files under a node, each counted once (the rows of rows(n)).
    size_t distinctFiles(const NodeRef &n) const;

    // The table's ticks changed on node n: ticked of total rows are
    // ticked.  None or some: the node becomes unticked (the ticked rows are
    // collected from the table); all: the node becomes ticked (with every
    // node below it).  Returns the state of the table header's box.
    CheckState applyRowTicks(const NodeRef &n, size_t ticked, size_t total);

private:
    int ensureGroup(FileGroup g);
    void addTo(FileGroup g, const std::string &type, uint32_t index, bool keepIndex);
    void recomputeUp(int group);

    // The groups of each type seen: one look in the extension tables per
    // type, not per file.
    const std::vector<FileGroup> &placeOf(const std::string &type);

    ResultRules rules_;
    GroupFilter filter_;
    std::unordered_map<std::string, std::vector<FileGroup>> placed_;
    std::vector<GroupNode> groups_;  // in creation order
    CheckState rootCheck_ = CheckState::Unchecked;
    bool finished_ = false;
};

// One file to write: its index and its path under the output folder.
struct RecoveryJob {
    uint32_t file = 0;
    std::string relPath;
};

// The table as the page shows it when recover is pressed.
struct TableSelection {
    NodeRef node;                    // the current tree node (invalid: none)
    std::vector<TableRow> rows;      // with their ticks
};

// The jobs for the ticked files: first the table's ticked rows, straight
// into the output folder, unless the current node is fully ticked (then
// the tree takes its files); then every fully ticked type node, in the
// group order Photo, Music, Video, Others, into "<group text>/<type text>/".
// A file is written once per folder; two different files that would meet
// under one name get " (1)", " (2)", ... before the extension.  Every path
// component is made safe.  Collected type nodes are unticked, and so is
// every row: tree and table agree that nothing is left ticked.
std::vector<RecoveryJob> collectJobs(ResultTree &tree, TableSelection &table,
                                     FileView files);

// Writes the jobs (file indexes of the job's store) as one recovery phase
// of the job into outDir (through output when it was opened and checked
// before): its pause and stop hold.  A file that already exists is left
// alone (result Exists); nothing is overwritten.
RecoverSummary recoverJobs(ScanJob &job, const std::vector<RecoveryJob> &jobs, const std::string &outDir,
                           const std::function<void(size_t, size_t, const std::string &)> &onFile = {},
                           OutputDir *output = nullptr);

}  // namespace salvitra
