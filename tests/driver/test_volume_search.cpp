// The search for lost volumes as a job: held before its first block,
// resumed to its end or stopped with what it had, the device list kept
// while it reads, and its volumes listed as partitions afterwards.  Runs
// under ThreadSanitizer too (label jobs).
#include <gtest/gtest.h>

#include <atomic>

#include "inventory.h"
#include "test_support.h"
#include "volume_search.h"

using namespace salvitra;

namespace {

struct Counter : JobObserver {
    std::atomic<int> finished{0};
    std::atomic<int> progress{0};
    void onProgress(const Progress &) override { progress++; }
    void onFinished(const Status &) override { finished++; }
};

// An 8 MiB disk without a table: a FAT volume at 1 MiB.
std::string lostDisk(const svt::TempDir &t)
{
    std::string vol = t.file("vol"), img = t.file("disk.img");
    svt::CommandResult r = svt::run("export PATH=$PATH:/sbin:/usr/sbin; truncate -s 8M " + img + " && mkfs.vfat -C -n LOST " + vol +
                                    " 4096 >/dev/null && dd if=" + vol + " of=" + img +
                                    " bs=1M seek=1 conv=notrunc status=none");
    return r.status == 0 ? img : std::string();
}

TEST(VolumeSearchJob, PausedBeforeItsFirstBlockThenResumedToItsEnd)
{
    svt::TempDir t;
    std::string img = lostDisk(t);
    if (img.empty())
        GTEST_SKIP() << "mkfs.vfat is missing";
    Inventory inv;
    ASSERT_TRUE(inv.build({img}, nullptr));
    ASSERT_TRUE(inv.partitions().empty());
    Counter obs;
    VolumeSearchJob job(inv, 0, &obs);
    job.pause();
    ASSERT_TRUE(job.start());
    job.resume();
    Status s = job.wait();
    ASSERT_TRUE(s.ok()) << s.text();
    EXPECT_EQ(obs.finished.load(), 1);
    EXPECT_EQ(job.progress().percent, 100);
    ASSERT_EQ(job.result().volumes.size(), 1u);
    EXPECT_TRUE(job.result().volumes[0].accepted);

    // The list stays while the job holds it; then the volume is a partition.
    EXPECT_EQ(inv.holders(), 1);
    EXPECT_FALSE(inv.addSearch(job.result()));
    job.release();
    ASSERT_TRUE(inv.addSearch(job.result()));
    ASSERT_EQ(inv.partitions().size(), 1u);
    EXPECT_TRUE(inv.partitions()[0].found);
    EXPECT_EQ(inv.partitions()[0].offset, 1u << 20);
    EXPECT_EQ(inv.partitions()[0].volumeName, "LOST");
    // ... and stays one through a rebuild.
    ASSERT_TRUE(inv.build({img}, nullptr));
    ASSERT_EQ(inv.partitions().size(), 1u);
    EXPECT_TRUE(inv.partitions()[0].found);
}

TEST(VolumeSearchJob, AStopWhilePausedEndsItStopped)
{
    svt::TempDir t;
    std::string img = lostDisk(t);
    if (img.empty())
        GTEST_SKIP() << "mkfs.vfat is missing";
    Inventory inv;
    ASSERT_TRUE(inv.build({img}, nullptr));
    Counter obs;
    VolumeSearchJob job(inv, 0, &obs);
    job.pause();
    ASSERT_TRUE(job.start());
    job.stop();
    Status s = job.wait();
    EXPECT_EQ(s.code, StatusCode::Stopped) << s.text();
    EXPECT_EQ(obs.finished.load(), 1);
    EXPECT_LT(job.result().bytesRead, 8u << 20);
    EXPECT_EQ(job.state(), JobState::Finished);
}

}  // namespace
