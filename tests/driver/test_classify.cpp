// Grouping of found files into "Photo", "Music", "Video" and "Others".
#include <gtest/gtest.h>

#include <set>

#include "classify.h"

using namespace salvitra;

namespace {

std::vector<FileGroup> groups(const GroupFilter &f, const char *ext, GroupPlacement how)
{
    return f.place(ext, how);
}

}  // namespace

TEST(Classify, TablesHaveTheirSizesAndTheKnownTableIsTheirUnion)
{
    EXPECT_EQ(photoTypes().size(), 21u);
    EXPECT_EQ(musicTypes().size(), 28u);
    EXPECT_EQ(videoTypes().size(), 69u);
    ASSERT_EQ(knownTypes().size(), 116u);
    std::set<std::string> all(photoTypes().begin(), photoTypes().end());
    all.insert(musicTypes().begin(), musicTypes().end());
    all.insert(videoTypes().begin(), videoTypes().end());
    EXPECT_EQ(std::set<std::string>(knownTypes().begin(), knownTypes().end()), all);
    // Built in order: the video table first, the photo table last.
    EXPECT_EQ(knownTypes().front(), "flc");
    EXPECT_EQ(knownTypes().back(), "rle");
}

TEST(Classify, ExtensionsAreComparedInLowerCaseAndEmptyOnesAreOthers)
{
    GroupFilter f;
    EXPECT_TRUE(f.isPhoto("JPG"));
    EXPECT_FALSE(f.isOtherFile("JPG"));
    EXPECT_TRUE(f.isOtherFile(""));
    EXPECT_TRUE(f.isOtherFile("docx"));
    EXPECT_EQ(groups(f, "", GroupPlacement::EveryGroup), std::vector<FileGroup>{FileGroup::Others});
}

TEST(Classify, AiffAndWmaGoUnderBothGroupsOnlyWhereEveryGroupCounts)
{
    GroupFilter f;
    std::vector<FileGroup> both{FileGroup::Music, FileGroup::Video};
    EXPECT_EQ(groups(f, "aiff", GroupPlacement::EveryGroup), both);
    EXPECT_EQ(groups(f, "WMA", GroupPlacement::EveryGroup), both);
    EXPECT_EQ(groups(f, "aiff", GroupPlacement::FirstGroup), std::vector<FileGroup>{FileGroup::Music});

    // "Audio" in a quick scan: Music only, whatever the placement.
    f.setScanFileType(FilterAudio, false);
    EXPECT_EQ(groups(f, "aiff", GroupPlacement::EveryGroup), std::vector<FileGroup>{FileGroup::Music});
    EXPECT_TRUE(groups(f, "jpg", GroupPlacement::EveryGroup).empty());
    EXPECT_FALSE(f.isTargetFiletype("txt"));
}

TEST(Classify, FilterChoiceKeepsOneGroupAndADeepScanIgnoresIt)
{
    GroupFilter f;
    f.setScanFileType(FilterPhoto, false);
    EXPECT_TRUE(f.photo);
    EXPECT_FALSE(f.music || f.video || f.others);
    f.setScanFileType(FilterVideo, false);
    EXPECT_TRUE(f.video && !f.photo && !f.music && !f.others);
    f.setScanFileType(FilterOthers, false);
    EXPECT_TRUE(f.others && !f.photo && !f.music && !f.video);
    f.setScanFileType(FilterOthers, true);
    EXPECT_TRUE(f.photo && f.music && f.video && f.others);
    f.setScanFileType(FilterAllFiles, false);
    EXPECT_TRUE(f.photo && f.music && f.video && f.others);
}

TEST(Classify, APickedListGovernsAndLeavesOthersEmpty)
{
    GroupFilter f;
    f.setPicked({"JPG", "raw", "mp3"}, true);
    EXPECT_TRUE(f.isPhoto("jpg"));
    EXPECT_TRUE(f.isPhoto("raw"));
    EXPECT_FALSE(f.isPhoto("png"));           // a photo type not picked
    EXPECT_TRUE(f.isMusic("mp3"));
    EXPECT_FALSE(f.isOtherFile("docx"));      // nothing is "other" with a list
    EXPECT_FALSE(f.isTargetFiletype("docx"));
    // The group flags are not consulted while the list governs.
    f.photo = false;
    EXPECT_TRUE(f.isPhoto("jpg"));
    f.setPicked({}, false);
    f.setScanType();
    EXPECT_TRUE(f.isPhoto("png"));
    EXPECT_TRUE(f.isOtherFile("docx"));
}
