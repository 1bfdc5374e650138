// The results page's model: a real FAT scan made into the tree, its texts
// and counts, the table, the search, the ticks, the jobs they make and the
// files those jobs write; the deep-scan tree; the temporary view copies.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

#include "fat_test_util.h"
#include "result_tree.h"
#include "units.h"
#include "test_support.h"
#include "view_files.h"

using namespace salvitra;

namespace {

class UtcZone : public ::testing::Environment {
public:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};
const auto *const kUtc = ::testing::AddGlobalTestEnvironment(new UtcZone);

struct FatScan {
    std::string dir;
    std::unique_ptr<fatt::FileVolume> vol;
    std::unique_ptr<ScanJob> job;
};

std::unique_ptr<FatScan> scanResultsImage()
{
    auto s = std::make_unique<FatScan>();
    s->dir = svt::fixture("results");
    s->vol = std::make_unique<fatt::FileVolume>(s->dir + "/results.img", FS_FAT12);
    ScanRequest req;
    req.part = s->vol->part();
    s->job = std::make_unique<ScanJob>(req);
    EXPECT_TRUE(s->job->run().ok());
    return s;
}

std::vector<std::string> texts(const ResultTree &t, int group)
{
    std::vector<std::string> out;
    for (size_t i = 0; i < t.groups()[group].types.size(); i++)
        out.push_back(t.text({group, (int)i}));
    return out;
}

std::map<std::string, uint32_t> jobMap(const std::vector<RecoveryJob> &jobs)
{
    std::map<std::string, uint32_t> m;
    for (const RecoveryJob &j : jobs)
        m[j.relPath] = j.file;
    return m;
}

FoundFile deepFile(const std::string &type, uint32_t index, uint64_t size)
{
    FoundFile f;
    f.type = type;
    f.index = index;
    f.name = std::to_string(index) + "." + type;
    f.size = size;
    return f;
}

FoundFile quickFile(const std::string &name, uint64_t size)
{
    FoundFile f;
    f.name = name;
    f.size = size;
    return f;
}

}  // namespace

// A FAT quick scan: placement under every accepting group, the "_" of a
// deleted 8.3 name, a name without a dot as its own type, counted texts,
// the table's columns, and the files written back under the folder names
// the tree shows, byte for byte, twice without overwriting anything.
TEST(ResultTree, FatScanBecomesTheTreeAndComesBackByteForByte)
{
    auto scan = scanResultsImage();
    const auto &files = scan->job->files();
    ResultTree tree(resultRules(FS_FAT12, RecoverQuick), GroupFilter());
    tree.addAll(files);
    EXPECT_EQ(tree.text({tree.groupIndex(FileGroup::Photo), -1}), "Photo");
    tree.finish(files);

    int photo = tree.groupIndex(FileGroup::Photo);
    int music = tree.groupIndex(FileGroup::Music);
    int video = tree.groupIndex(FileGroup::Video);
    int others = tree.groupIndex(FileGroup::Others);
    ASSERT_TRUE(photo >= 0 && music >= 0 && video >= 0 && others >= 0);
    EXPECT_EQ(tree.text({}), "All Files");
    EXPECT_EQ(tree.text({photo, -1}), "Photo(3)");
    EXPECT_EQ(texts(tree, photo), (std::vector<std::string>{"png(2)", "jpg(1)"}));
    EXPECT_EQ(tree.text({music, -1}), "Music(1)");
    EXPECT_EQ(texts(tree, music), std::vector<std::string>{"aiff(1)"});
    EXPECT_EQ(tree.text({video, -1}), "Video(2)");
    EXPECT_EQ(tree.text({others, -1}), "Others(1)");
    EXPECT_EQ(texts(tree, others), std::vector<std::string>{"_eadme(1)"});

    NodeRef jpg = tree.find(FileGroup::Photo, "jpg");
    std::vector<TableRow> rows = tree.rows(jpg, files);
    ASSERT_EQ(rows.size(), 1u);
    auto img = rows.begin();
    EXPECT_EQ(img->name, "_MG_0001.JPG");
    const uint64_t jpgBytes = svt::readFile(scan->dir + "/src/IMG_0001.JPG").size();
    EXPECT_EQ(img->bytes, jpgBytes);
    EXPECT_EQ(img->size, readableSize(jpgBytes));
    EXPECT_EQ(img->group, "Photo");
    EXPECT_EQ(img->time, "2021-06-15 10:20");  // the C locale, in UTC
    // A group lists its types' files; "All Files" every file once (the
    // aiff sits under Music and Video).
    EXPECT_EQ(tree.rows({photo, -1}, files).size(), 3u);
    EXPECT_EQ(tree.rows({}, files).size(), 6u);
    EXPECT_EQ(tree.distinctFiles({}), 6u);
    EXPECT_EQ(tree.distinctFiles({photo, -1}), 3u);
    EXPECT_EQ(tree.rowsByName({}, files, "Trip").size(), 2u);

    // The same files through the rules of an NTFS scan: the first group wins.
    ResultTree ntfs(resultRules(FS_NTFS, RecoverQuick), GroupFilter());
    ntfs.addAll(files);
    ntfs.finish(files);
    EXPECT_TRUE(ntfs.find(FileGroup::Music, "aiff").isType());
    EXPECT_FALSE(ntfs.find(FileGroup::Video, "aiff").isType());
    EXPECT_EQ(ntfs.text({ntfs.groupIndex(FileGroup::Video), -1}), "Video(1)");
    EXPECT_EQ(ntfs.rows(ntfs.find(FileGroup::Photo, "jpg"), files).at(0).time, rows[0].time);

    // Everything ticked: one job per file and folder; the aiff twice, the
    // two Trip.png of two folders apart.
    tree.setCheck({}, CheckState::Checked);
    ASSERT_TRUE(tree.anyChecked());
    TableSelection none;
    std::vector<RecoveryJob> jobs = collectJobs(tree, none, files);
    std::map<std::string, uint32_t> byPath = jobMap(jobs);
    std::map<std::string, std::string> want = {
        {"Photo(3)/jpg(1)/_MG_0001.JPG", "IMG_0001.JPG"},
        {"Photo(3)/png(2)/Trip.png", ""},
        {"Photo(3)/png(2)/Trip (1).png", ""},
        {"Music(1)/aiff(1)/Song.aiff", "Song.aiff"},
        {"Video(2)/aiff(1)/Song.aiff", "Song.aiff"},
        {"Video(2)/mp4(1)/Clip.mp4", "Clip.mp4"},
        {"Others(1)/_eadme(1)/_EADME", "README"},
    };
    ASSERT_EQ(jobs.size(), want.size());
    for (const auto &w : want)
        EXPECT_EQ(byPath.count(w.first), 1u) << w.first;
    EXPECT_FALSE(tree.anyChecked());  // collected nodes are left unticked
    EXPECT_EQ(tree.check({}), CheckState::Unchecked);

    svt::TempDir out;
    RecoverSummary sum = recoverJobs(*scan->job, jobs, out.path());
    EXPECT_EQ(sum.written, jobs.size());
    for (const auto &w : want) {
        std::vector<uint8_t> got = svt::readFile(out.file(w.first));
        if (!w.second.empty()) {
            EXPECT_EQ(got, svt::readFile(scan->dir + "/src/" + w.second)) << w.first;
            continue;
        }
        // The two Trip.png: each matches one original, and they differ.
        EXPECT_TRUE(got == svt::readFile(scan->dir + "/src/Trip.png") ||
                    got == svt::readFile(scan->dir + "/src/Trip-b.png")) << w.first;
    }
    EXPECT_NE(svt::readFile(out.file("Photo(3)/png(2)/Trip.png")),
              svt::readFile(out.file("Photo(3)/png(2)/Trip (1).png")));

    // Again into the same folder: every file is left as it is.
    svt::writeFile(out.file("Music(1)/aiff(1)/Song.aiff"), {1, 2, 3});
    RecoverSummary again = recoverJobs(*scan->job, jobs, out.path());
    EXPECT_EQ(again.written, 0u);
    for (const RecoveredFile &rf : again.files)
        EXPECT_EQ(rf.result, WriteResult::Exists) << rf.path;
    EXPECT_EQ(svt::readFile(out.file("Music(1)/aiff(1)/Song.aiff")), (std::vector<uint8_t>{1, 2, 3}));
}

// Rows ticked in the table: some leave the type node unticked and are
// written straight into the output folder; all of them tick the node.
TEST(ResultTree, TableTicksDriveTheNodeAndGoStraightIntoTheFolder)
{
    std::vector<FoundFile> files = {quickFile("a.jpg", 10), quickFile("b.jpg", 20),
                                    quickFile("c.jpg", 30), quickFile("d.png", 40)};
    ResultTree tree(resultRules(FS_NTFS, RecoverQuick), GroupFilter());
    tree.addAll(files);
    tree.finish(files);
    NodeRef jpg = tree.find(FileGroup::Photo, "jpg");
    NodeRef png = tree.find(FileGroup::Photo, "png");

    TableSelection table{jpg, tree.rows(jpg, files)};
    table.rows[0].check = table.rows[2].check = CheckState::Checked;
    EXPECT_EQ(tree.applyRowTicks(jpg, 2, 3), CheckState::Unchecked);
    EXPECT_EQ(tree.check(jpg), CheckState::Unchecked);
    tree.setCheck(png, CheckState::Checked);
    EXPECT_EQ(tree.check({jpg.group, -1}), CheckState::PartlyChecked);

    std::vector<RecoveryJob> jobs = collectJobs(tree, table, files);
    ASSERT_EQ(jobs.size(), 3u);
    EXPECT_EQ(jobs[0].relPath, "a.jpg");
    EXPECT_EQ(jobs[1].relPath, "c.jpg");
    EXPECT_EQ(jobs[2].relPath, "Photo(4)/png(1)/d.png");
    EXPECT_EQ(table.rows[0].check, CheckState::Unchecked);

    // All rows ticked: the node is ticked, and the tree collects it whole.
    EXPECT_EQ(tree.applyRowTicks(jpg, 3, 3), CheckState::Checked);
    EXPECT_EQ(tree.check(jpg), CheckState::Checked);
    EXPECT_EQ(tree.check({}), CheckState::PartlyChecked);
    TableSelection all{jpg, tree.rows(jpg, files)};
    EXPECT_EQ(all.rows[1].check, CheckState::Checked);  // rows copy the node
    jobs = collectJobs(tree, all, files);
    ASSERT_EQ(jobs.size(), 3u);
    EXPECT_EQ(jobs[0].relPath, "Photo(4)/jpg(3)/a.jpg");
    EXPECT_EQ(all.rows[1].check, CheckState::Unchecked);  // the table agrees with the tree

    // The table of "All Files": a ticked type goes to its folder once, and
    // the rows ticked besides it straight into the output folder.
    tree.setCheck(png, CheckState::Checked);
    TableSelection root{{}, tree.rows({}, files)};
    ASSERT_EQ(root.rows.size(), 4u);
    EXPECT_EQ(root.rows[3].check, CheckState::Checked);  // d.png, from its type
    root.rows[0].check = CheckState::Checked;
    jobs = collectJobs(tree, root, files);
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[0].relPath, "a.jpg");
    EXPECT_EQ(jobs[1].relPath, "Photo(4)/png(1)/d.png");
    // All rows of "All Files" ticked tick the whole tree.
    EXPECT_EQ(tree.applyRowTicks({}, 4, 4), CheckState::Checked);
    EXPECT_EQ(tree.check(jpg), CheckState::Checked);
    EXPECT_EQ(tree.applyRowTicks({}, 3, 4), CheckState::Unchecked);
    EXPECT_FALSE(tree.anyChecked());
}

// Ticks travel down from the root and groups, and up from type nodes.
TEST(ResultTree, TicksTravelBetweenTypeNodesGroupsAndTheRoot)
{
    std::vector<FoundFile> files = {quickFile("a.jpg", 1), quickFile("b.png", 1),
                                    quickFile("c.mp3", 1), quickFile("NOTES", 1)};
    ResultTree tree(resultRules(FS_FAT16, RecoverQuick), GroupFilter());
    tree.addAll(files);
    tree.finish(files);
    NodeRef jpg = tree.find(FileGroup::Photo, "jpg"), png = tree.find(FileGroup::Photo, "png");
    NodeRef photo{jpg.group, -1};
    NodeRef music{tree.groupIndex(FileGroup::Music), -1};

    tree.setCheck(jpg, CheckState::Checked);
    EXPECT_EQ(tree.check(photo), CheckState::PartlyChecked);
    EXPECT_EQ(tree.check({}), CheckState::PartlyChecked);
    tree.setCheck(png, CheckState::Checked);
    EXPECT_EQ(tree.check(photo), CheckState::Checked);
    EXPECT_EQ(tree.check({}), CheckState::PartlyChecked);
    tree.setCheck(photo, CheckState::PartlyChecked);  // from outside: nothing
    EXPECT_EQ(tree.check(jpg), CheckState::Checked);

    tree.setCheck({}, CheckState::Checked);
    EXPECT_EQ(tree.check(music), CheckState::Checked);
    EXPECT_EQ(tree.check(tree.find(FileGroup::Others, "notes")), CheckState::Checked);
    tree.setCheck(music, CheckState::Unchecked);
    EXPECT_EQ(tree.check(tree.find(FileGroup::Music, "mp3")), CheckState::Unchecked);
    EXPECT_EQ(tree.check({}), CheckState::PartlyChecked);
    tree.setCheck(photo, CheckState::Unchecked);
    tree.setCheck({tree.groupIndex(FileGroup::Others), -1}, CheckState::Unchecked);
    EXPECT_EQ(tree.check({}), CheckState::Unchecked);
    EXPECT_FALSE(tree.anyChecked());
}

// The deep scan: type nodes appear while it runs, structure types never do,
// the final tree counts records, and files are named "<index>.<type>".
TEST(ResultTree, DeepScanTreeGrowsWhileRunningAndIsCountedAtTheEnd)
{
    std::vector<FoundFile> files = {deepFile("jpg", 0, 100), deepFile("FAT16", 0, 512),
                                    deepFile("NTFS", 0, 512), deepFile("jpg", 1, 200),
                                    deepFile("aiff", 0, 300), deepFile("jpg", 2, 300),
                                    deepFile("png", 0, 50)};
    GroupFilter f;
    f.setScanFileType(FilterPhoto, true);  // ignored by a deep scan
    ResultTree tree(resultRules(FS_NTFS, RecoverDeep), f);
    for (uint32_t i = 0; i < 4; i++)
        tree.add(files[i], i);
    EXPECT_EQ(texts(tree, tree.groupIndex(FileGroup::Photo)), std::vector<std::string>{"jpg"});
    EXPECT_EQ(tree.groupIndex(FileGroup::Others), -1);  // FAT16 and NTFS left out
    // A type ticked while the scan runs is still ticked, with the files
    // found after the tick, when the tree is counted.
    tree.setCheck(tree.find(FileGroup::Photo, "jpg"), CheckState::Checked);
    for (uint32_t i = 4; i < files.size(); i++)
        tree.add(files[i], i);
    tree.finish(files);
    EXPECT_EQ(tree.check(tree.find(FileGroup::Photo, "jpg")), CheckState::Checked);
    EXPECT_EQ(tree.check(tree.find(FileGroup::Photo, "png")), CheckState::Unchecked);
    EXPECT_EQ(tree.check({tree.groupIndex(FileGroup::Photo), -1}), CheckState::PartlyChecked);
    tree.setCheck(tree.find(FileGroup::Photo, "jpg"), CheckState::Unchecked);
    int photo = tree.groupIndex(FileGroup::Photo);
    EXPECT_EQ(tree.text({photo, -1}), "Photo(4)");
    EXPECT_EQ(texts(tree, photo), (std::vector<std::string>{"jpg(3)", "png(1)"}));
    EXPECT_TRUE(tree.find(FileGroup::Video, "aiff").isType());  // every group
    EXPECT_EQ(tree.rows(tree.find(FileGroup::Photo, "jpg"), files)[2].name, "2.jpg");

    tree.setCheck(tree.find(FileGroup::Photo, "jpg"), CheckState::Checked);
    TableSelection none;
    std::vector<RecoveryJob> jobs = collectJobs(tree, none, files);
    ASSERT_EQ(jobs.size(), 3u);
    EXPECT_EQ(jobs[0].relPath, "Photo(4)/jpg(3)/0.jpg");
    EXPECT_EQ(jobs[2].relPath, "Photo(4)/jpg(3)/2.jpg");
}

// Name search is a case-sensitive substring; size search compares with the
// number times the unit; an empty field finds nothing.
TEST(ResultTree, SearchByNameAndSize)
{
    std::vector<FoundFile> files = {quickFile("Beach.jpg", 2047), quickFile("beach2.jpg", 2048),
                                    quickFile("city.jpg", 5000)};
    ResultTree tree(resultRules(FS_HFSPLUS, RecoverQuick), GroupFilter());
    tree.addAll(files);
    NodeRef jpg = tree.find(FileGroup::Photo, "jpg");

    std::vector<TableRow> rows = tree.rowsByName(jpg, files, "each");
    EXPECT_EQ(rows.size(), 2u);
    EXPECT_EQ(tree.rowsByName(jpg, files, "Beach").size(), 1u);
    EXPECT_TRUE(tree.rowsByName(jpg, files, "").empty());

    SizeSearch s{"2", SizeCompare::LessThan, 1};
    rows = tree.rowsBySize(jpg, files, s);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].name, "Beach.jpg");
    s.compare = SizeCompare::MoreThan;
    EXPECT_EQ(tree.rowsBySize(jpg, files, s).size(), 1u);  // 2048 is neither
    s.unit = 7;
    EXPECT_EQ(s.limit(), 0u);
    s = {"99999999999999999999999", SizeCompare::LessThan, 3};
    EXPECT_EQ(s.limit(), UINT64_MAX);
    EXPECT_EQ(tree.rowsBySize(jpg, files, s).size(), 3u);
    s.text.clear();
    EXPECT_TRUE(tree.rowsBySize(jpg, files, s).empty());
}

// Copies for the views go to the fixed folders under the temporary folder
// and are removed on release; a folder that is someone's link is refused.
TEST(ViewFilesTest, ExtractsIntoTheViewFoldersAndRemovesThemOnRelease)
{
    svt::TempDir tmp;
    setenv("TMPDIR", tmp.path().c_str(), 1);
    auto scan = scanResultsImage();
    const auto &files = scan->job->files();
    EXPECT_EQ(viewFolderPath(ViewFolder::Thumbnails), tmp.path() + "/Salvitra Data Recovery/");
    EXPECT_EQ(viewFolderPath(ViewFolder::Preview), tmp.path() + "/Salvitra Data Recovery Temp/");

    // A stop and a pause left over from the scan do not hold the copies.
    scan->job->stop();
    scan->job->pause();
    std::string thumb, preview;
    {
        ViewFiles views;
        for (uint32_t i = 0; i < files.size(); i++) {
            if (files[i].name == "Clip.mp4")
                thumb = views.extract(*scan->job, files[i], i, ViewFolder::Thumbnails);
            if (files[i].name == "Song.aiff")
                preview = views.extract(*scan->job, files[i], i, ViewFolder::Preview);
        }
        ASSERT_FALSE(thumb.empty());
        ASSERT_FALSE(preview.empty());
        EXPECT_EQ(svt::readFile(thumb), svt::readFile(scan->dir + "/src/Clip.mp4"));
        EXPECT_EQ(svt::readFile(preview), svt::readFile(scan->dir + "/src/Song.aiff"));
        EXPECT_EQ(thumb.rfind(viewFolderPath(ViewFolder::Thumbnails), 0), 0u);
        views.clear(ViewFolder::Thumbnails);
        EXPECT_NE(access(thumb.c_str(), F_OK), 0);
        EXPECT_EQ(access(preview.c_str(), F_OK), 0);
    }  // gone with its owner
    EXPECT_NE(access(preview.c_str(), F_OK), 0);
    struct stat sb;
    EXPECT_EQ(stat(viewFolderPath(ViewFolder::Preview).c_str(), &sb), 0);  // the folder stays

    // An owner never destroyed (the program ends with exit()): the copies
    // still go.
    EXPECT_EXIT(
        {
            auto *leaked = new ViewFiles;
            if (leaked->extract(*scan->job, files[0], 0, ViewFolder::Thumbnails).empty())
                _exit(3);
            exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    std::string thumbs = viewFolderPath(ViewFolder::Thumbnails);
    EXPECT_EQ(access(thumbs.c_str(), F_OK), 0);
    EXPECT_EQ(system(("test -z \"$(ls -A " + svt::shellQuote(thumbs) + ")\"").c_str()), 0);

    // Someone else's link in place of the folder: nothing is written there.
    svt::TempDir elsewhere;
    rmdir((tmp.path() + "/Salvitra Data Recovery").c_str());
    ASSERT_EQ(symlink(elsewhere.path().c_str(), (tmp.path() + "/Salvitra Data Recovery").c_str()), 0);
    ViewFiles views;
    EXPECT_EQ(views.extract(*scan->job, files[0], 0, ViewFolder::Thumbnails), "");
    svt::writeFile(elsewhere.file("precious"), {7});
    views.release();
    EXPECT_EQ(svt::readFile(elsewhere.file("precious")), std::vector<uint8_t>{7});
    unsetenv("TMPDIR");
}
