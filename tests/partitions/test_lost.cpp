// Lost volumes, as a user meets them through salvitra-cli: disks whose
// tables were wiped, damaged or rewritten (tests/fixtures/lost.sh); the
// search must list every volume with its start, size and label, and a
// quick scan of each must bring its deleted files back by name.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "test_support.h"

namespace {

std::vector<std::string> split(const std::string &line, char sep)
{
    std::vector<std::string> out;
    std::stringstream ss(line);
    std::string c;
    while (std::getline(ss, c, sep))
        out.push_back(c);
    if (!line.empty() && line.back() == sep)
        out.push_back("");
    return out;
}

std::string fixtureOrSkip()
{
    std::string dir = svt::fixture("lost");
    std::ifstream skip(dir + "/SKIP");
    std::string why;
    if (skip && std::getline(skip, why))
        return "SKIP:" + why;
    return dir;
}

#define FIXTURE_OR_SKIP(dir)                                  \
    std::string dir = fixtureOrSkip();                        \
    if (dir.rfind("SKIP:", 0) == 0)                           \
        GTEST_SKIP() << dir.substr(5);

std::vector<std::vector<std::string>> truth(const std::string &dir, const std::string &kind)
{
    std::vector<std::vector<std::string>> rows;
    std::ifstream f(dir + "/truth.tsv");
    std::string line;
    while (std::getline(f, line)) {
        auto cols = split(line, '\t');
        if (!cols.empty() && cols[0] == kind)
            rows.push_back(cols);
    }
    return rows;
}

// The partitions of an image after a search, one per line:
// index, offset, size, fsLabel, volumeName, found, flags, ambiguous, choices.
struct Part {
    int index;
    uint64_t offset, size;
    std::string fs, name, flags, choices;
    bool found, ambiguous;
};

std::vector<Part> searched(const std::string &image, svt::CommandResult *raw = nullptr)
{
    svt::CommandResult r = svt::runCli("devices --search --json --image " + svt::shellQuote(image));
    if (raw)
        *raw = r;
    EXPECT_EQ(r.status, 0) << r.err;
    svt::CommandResult t = svt::run(
        "printf '%s' " + svt::shellQuote(r.out) +
        " | python3 -c 'import json,sys\n"
        "for d in json.load(sys.stdin):\n"
        "  for p in d[\"partitions\"]:\n"
        "    print(\"\\t\".join(str(x) for x in [p[\"index\"], p[\"offset\"], p[\"size\"], p[\"fsLabel\"], "
        "p[\"volumeName\"], int(p[\"found\"]), \",\".join(p[\"foundFlags\"]), int(p[\"ambiguous\"]), "
        "\",\".join(c[\"fsLabel\"] + (\"\" if c[\"accepted\"] else \"!\") for c in p[\"choices\"])]))'");
    EXPECT_EQ(t.status, 0) << t.err << r.out;
    std::vector<Part> parts;
    std::stringstream ss(t.out);
    std::string line;
    while (std::getline(ss, line)) {
        auto c = split(line, '\t');
        if (c.size() < 9)
            continue;
        parts.push_back({std::stoi(c[0]), std::stoull(c[1]), std::stoull(c[2]), c[3], c[4], c[6], c[8],
                         c[5] == "1", c[7] == "1"});
    }
    return parts;
}

const Part *at(const std::vector<Part> &parts, uint64_t offset)
{
    for (const Part &p : parts)
        if (p.offset == offset)
            return &p;
    return nullptr;
}

std::string sha256(const std::string &path)
{
    return svt::run("sha256sum " + svt::shellQuote(path) + " | cut -d' ' -f1").out;
}

TEST(LostVolumes, EveryVolumeIsFoundWithItsStartSizeAndLabelAndNoImageIsWritten)
{
    FIXTURE_OR_SKIP(dir);
    std::set<std::string> images;
    for (const auto &row : truth(dir, "volume"))
        images.insert(row[1]);
    std::map<std::string, std::string> before;
    for (const std::string &img : images)
        before[img] = sha256(dir + "/" + img);

    std::set<std::pair<std::string, uint64_t>> table;
    for (const auto &row : truth(dir, "table"))
        table.insert({row[1], std::stoull(row[2])});
    for (const std::string &img : images) {
        SCOPED_TRACE(img);
        std::vector<Part> parts = searched(dir + "/" + img);
        std::set<uint64_t> expected;
        for (const auto &row : truth(dir, "volume")) {
            if (row[1] != img)
                continue;
            uint64_t off = std::stoull(row[2]);
            expected.insert(off);
            const Part *p = at(parts, off);
            ASSERT_NE(p, nullptr) << "no volume at " << off;
            EXPECT_EQ(p->size, std::stoull(row[3]));
            EXPECT_EQ(p->fs, row[4]);
            EXPECT_EQ(p->name, row[5].empty() ? "Untitled" : row[5]);
            // Found by the search, unless the table lists it; either way
            // not marked as inside or across another.
            EXPECT_EQ(p->found, !table.count({img, off})) << off;
            EXPECT_EQ(p->flags.find("nested"), std::string::npos) << off;
            EXPECT_EQ(p->flags.find("overlap"), std::string::npos) << off;
        }
        // Anything else the search lists is marked: a disk image kept in a
        // file, or what is left of an older volume.
        for (const Part &p : parts) {
            if (!expected.count(p.offset) && !table.count({img, p.offset})) {
                EXPECT_TRUE(p.flags.find("nested") != std::string::npos ||
                            p.flags.find("overlap") != std::string::npos)
                    << "unexpected volume at " << p.offset << " (" << p.fs << " " << p.name << ")";
            }
        }
        for (const auto &row : truth(dir, "nested")) {
            if (row[1] != img)
                continue;
            const Part *outer = at(parts, std::stoull(row[2]));
            ASSERT_NE(outer, nullptr);
            bool seen = false;
            for (const Part &p : parts)
                seen = seen || (p.name == row[3] && p.flags.find("nested") != std::string::npos &&
                                p.offset > outer->offset && p.offset + p.size <= outer->offset + outer->size);
            EXPECT_TRUE(seen) << row[3] << " inside the volume at " << row[2];
        }
    }
    // Read-only: every image is as it was.
    for (const std::string &img : images)
        EXPECT_EQ(sha256(dir + "/" + img), before[img]) << img;
}

TEST(LostVolumes, DeletedFilesComeBackByNameThroughAQuickScan)
{
    FIXTURE_OR_SKIP(dir);
    std::map<std::pair<std::string, uint64_t>, std::vector<std::vector<std::string>>> byVolume;
    for (const auto &row : truth(dir, "file"))
        byVolume[{row[1], std::stoull(row[2])}].push_back(row);
    ASSERT_GE(byVolume.size(), 10u);
    for (const auto &v : byVolume) {
        const std::string img = dir + "/" + v.first.first;
        SCOPED_TRACE(v.first.first + " at " + std::to_string(v.first.second));
        const Part *p = nullptr;
        std::vector<Part> parts = searched(img);
        p = at(parts, v.first.second);
        ASSERT_NE(p, nullptr);
        svt::TempDir out;
        svt::CommandResult r = svt::runCli("recover --quick --search --partition " + std::to_string(p->index) +
                                           " --image " + svt::shellQuote(img) + " --out " +
                                           svt::shellQuote(out.path()));
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        std::string all = svt::run("cd " + svt::shellQuote(out.path()) + " && find . -type f").out;
        for (const auto &row : v.second) {
            std::vector<uint8_t> want = svt::readFile(dir + "/" + row[4]);
            if (row[3] != "*") {
                EXPECT_EQ(svt::readFile(out.file(row[3])), want) << row[3] << "\n" << all;
                continue;
            }
            bool same = false;
            std::stringstream ss(all);
            std::string f;
            while (std::getline(ss, f))
                same = same || svt::readFile(out.path() + "/" + f) == want;
            EXPECT_TRUE(same) << row[4] << " is not among\n" << all;
        }
    }
}

TEST(LostVolumes, AnAmbiguousPartitionIsScannedAsTheFileSystemTheUserPicks)
{
    FIXTURE_OR_SKIP(dir);
    auto rows = truth(dir, "ambiguous");
    ASSERT_EQ(rows.size(), 1u);
    const std::string img = dir + "/" + rows[0][1];
    svt::CommandResult raw;
    std::vector<Part> parts = searched(img, &raw);
    const Part *p = at(parts, std::stoull(rows[0][2]));
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(p->ambiguous);
    // Both file systems are offered; the one whose scanner refuses the
    // volume is marked, and the other is the one scanned by default.
    EXPECT_EQ(p->choices, "NTFS!,EXT2");
    EXPECT_EQ(p->fs, rows[0][4]);
    svt::CommandResult text = svt::runCli("devices --image " + svt::shellQuote(img));
    EXPECT_NE(text.out.find("ambiguous: two file systems pass their checks here: NTFS"), std::string::npos)
        << text.out;

    std::string target = "scan --quick --partition " + std::to_string(p->index) + " --image " + svt::shellQuote(img);
    svt::CommandResult ntfs = svt::runCli(target + " --fs ntfs");
    EXPECT_EQ(ntfs.status, 1) << ntfs.out << ntfs.err;
    EXPECT_NE(ntfs.err.find("the NTFS boot sector or the MFT could not be read"), std::string::npos) << ntfs.err;
    svt::CommandResult ext = svt::runCli(target + " --fs ext2");
    EXPECT_EQ(ext.status, 0) << ext.err;
    EXPECT_NE(ext.out.find("2 files found."), std::string::npos) << ext.out;
    svt::CommandResult none = svt::runCli(target + " --fs exfat");
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("holds no exfat file system (it holds NTFS, EXT2)"), std::string::npos) << none.err;
}

TEST(LostVolumes, TheFoundLayoutAsAnSfdiskScriptRebuildsTheTable)
{
    FIXTURE_OR_SKIP(dir);
    for (const char *name : {"mbr-wiped.img", "gpt-wiped.img"}) {
        SCOPED_TRACE(name);
        const std::string img = dir + "/" + name;
        svt::CommandResult s = svt::runCli("devices --sfdisk --image " + svt::shellQuote(img));
        ASSERT_EQ(s.status, 0) << s.err;
        EXPECT_NE(s.out.find("Salvitra never writes it"), std::string::npos);
        // The protective MBR says the device had a GUID table.
        EXPECT_NE(s.out.find(std::string(name) == "gpt-wiped.img" ? "label: gpt\n" : "label: dos\n"),
                  std::string::npos)
            << s.out;
        // Applied by the person (here to a copy), the table lists the volumes.
        svt::TempDir t;
        svt::writeFile(t.file("script"), std::vector<uint8_t>(s.out.begin(), s.out.end()));
        svt::CommandResult cp = svt::run("cp --sparse=always " + svt::shellQuote(img) + " " +
                                         svt::shellQuote(t.file("copy.img")) + " && PATH=$PATH:/sbin sfdisk -q " +
                                         svt::shellQuote(t.file("copy.img")) + " < " + svt::shellQuote(t.file("script")));
        ASSERT_EQ(cp.status, 0) << cp.err;
        std::vector<Part> now = searched(t.file("copy.img"));
        for (const auto &row : truth(dir, "volume")) {
            if (row[1] != name)
                continue;
            const Part *p = at(now, std::stoull(row[2]));
            ASSERT_NE(p, nullptr) << row[2];
            EXPECT_FALSE(p->found) << row[2] << ": the new table lists it";
            EXPECT_EQ(p->name, row[5]);
        }
    }
}

}  // namespace
