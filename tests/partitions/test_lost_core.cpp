// The search for lost volumes inside the core library, on a memory copy of
// a fixture disk: how it reads the device, and a stop half way.
#include <gtest/gtest.h>

#include <fstream>

#include "part_util.h"
#include "test_support.h"

namespace {

std::string lostImage(const std::string &name)
{
    std::string dir = svt::fixture("lost");
    std::ifstream skip(dir + "/SKIP");
    return skip ? std::string() : dir + "/" + name;
}

TEST(LostSearch, ReadsTheDeviceOnceFrontToBackInLargeBlocksAndNeverWrites)
{
    std::string path = lostImage("fat32-backup.img");
    if (path.empty())
        GTEST_SKIP() << "the lost-volume fixture could not be made here";
    svt::Bytes bytes = svt::readRange(path, 0, svt::fileSize(path));
    const uint64_t size = bytes.size();
    svt::MemDisk disk(std::move(bytes));
    disk.mem().logReads = true;
    Volume_Search s;
    ASSERT_EQ(sv_search_volumes(disk.node(), nullptr, nullptr, &s), 0);

    // The pass: one run of reads, each starting where the last one ended,
    // from the first byte to the last, in blocks of a mebibyte.
    const auto &log = disk.mem().readLog;
    size_t i = 0;
    uint64_t next = 0;
    for (; i < log.size() && log[i].first == next; i++) {
        EXPECT_TRUE(log[i].second >= (1u << 20) || next + log[i].second == size) << "read " << i;
        next += log[i].second;
    }
    EXPECT_EQ(next, size);
    EXPECT_EQ(s.BytesRead, size);
    // Then only a few sectors per candidate, to check it.
    EXPECT_LE(log.size() - i, 32u);
    for (; i < log.size(); i++)
        EXPECT_LE(log[i].second, 64u * 1024) << "read " << i << " at " << log[i].first;
    EXPECT_EQ(disk.mem().writes.load(), 0);

    // The FAT32 volume, through its backup boot sector six sectors on.
    ASSERT_EQ(s.Count, 1u);
    EXPECT_EQ(s.Volumes[0].Offset, 1u << 20);
    EXPECT_EQ(s.Volumes[0].Evidence, (1u << 20) + 6 * 512);
    EXPECT_EQ(s.Volumes[0].Flags & (SV_VOL_PRIMARY | SV_VOL_BACKUP), (uint32_t)SV_VOL_BACKUP);
    EXPECT_STREQ(s.Volumes[0].VolumeName, "LOSTFAT");
    Salvitra_FreeSearch(&s);
}

TEST(LostSearch, AnUnreadableStretchCostsOnlyItsOwnSectors)
{
    std::string path = lostImage("fat32-backup.img");
    if (path.empty())
        GTEST_SKIP() << "the lost-volume fixture could not be made here";
    svt::MemDisk disk(svt::readRange(path, 0, svt::fileSize(path)));
    disk.mem().failFrom = (20u << 20) + 1000;
    disk.mem().failTo = (20u << 20) + 5000;
    Volume_Search s;
    ASSERT_EQ(sv_search_volumes(disk.node(), nullptr, nullptr, &s), 0);
    EXPECT_EQ(s.Unreadable, 9u * 512);  // sectors 1 to 9 after 20 MiB: those the stretch touches
    EXPECT_EQ(s.BytesRead, svt::fileSize(path));
    ASSERT_EQ(s.Count, 1u);
    EXPECT_STREQ(s.Volumes[0].VolumeName, "LOSTFAT");
    Salvitra_FreeSearch(&s);
}

TEST(LostSearch, AStopKeepsWhatThePassHadRead)
{
    std::string path = lostImage("fat32-backup.img");
    if (path.empty())
        GTEST_SKIP() << "the lost-volume fixture could not be made here";
    svt::MemDisk disk(svt::readRange(path, 0, svt::fileSize(path)));
    int calls = 0;
    auto gate = [](void *ctx, uint64_t, uint64_t) { return ++*static_cast<int *>(ctx) < 3; };
    Volume_Search s;
    ASSERT_EQ(sv_search_volumes(disk.node(), gate, &calls, &s), 0);
    EXPECT_EQ(s.Stopped, 1);
    EXPECT_EQ(s.BytesRead, 3u << 20);
    // The volume starts in the part read.
    ASSERT_EQ(s.Count, 1u);
    EXPECT_EQ(s.Volumes[0].FsType, FS_FAT32);
    Salvitra_FreeSearch(&s);
}

}  // namespace
