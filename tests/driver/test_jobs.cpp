// Scan jobs: a stop that holds however early it comes and between the scan
// and the writes, a pause that holds inside every scanner's walk and the
// deep engine's empty stretches, stops and pauses inside a recovery, a
// deep scan's stream held and resumed, result snapshots taken while files
// arrive, one job per scanner library, and the device list kept while a
// job reads it.  Real volumes from the fixture
// scripts where a tool makes them; raw media built in memory otherwise.
// These tests also run under ThreadSanitizer (label jobs).
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "bmp_run.h"
#include "inventory.h"
#include "mem_device.h"
#include "recover.h"
#include "scan.h"
#include "test_support.h"

#if SALVITRA_HAVE_POLDER
#include "polder.h"
#endif
#if SALVITRA_HAVE_BRIEL
#include "briel.h"
#endif
#if SALVITRA_HAVE_VARN
#include "hfs_scenario.h"
#include "varn.h"
#endif
#if SALVITRA_HAVE_TASKEL
#include "ntfs_backend.h"
#endif

using namespace salvitra;
using namespace std::chrono_literals;

namespace {

// Holds the first read of a device until the test lets it go.
class ReadLatch {
public:
    explicit ReadLatch(svt::MemDevice &dev, int64_t at = 0)
    {
        dev.onRead = [this, at](int64_t n) {
            if (n != at)
                return;
            std::unique_lock<std::mutex> l(mu_);
            hit_ = true;
            cv_.notify_all();
            cv_.wait(l, [&] { return go_; });
        };
    }
    void waitHit()
    {
        std::unique_lock<std::mutex> l(mu_);
        cv_.wait(l, [&] { return hit_; });
    }
    void release()
    {
        std::lock_guard<std::mutex> l(mu_);
        go_ = true;
        cv_.notify_all();
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool hit_ = false, go_ = false;
};

// Everything an observer is told, in order.
class Recorder : public JobObserver {
public:
    void onFiles(uint64_t first, std::vector<FoundFile> batch) override
    {
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> l(mu);
            firsts.push_back(first);
            files.insert(files.end(), batch.begin(), batch.end());
            hook = onFirstBatch;
            onFirstBatch = nullptr;
        }
        if (hook)
            hook();
    }
    void onProgress(const Progress &p) override
    {
        std::lock_guard<std::mutex> l(mu);
        percents.push_back(p.percent);
    }
    void onFinished(const Status &s) override
    {
        std::lock_guard<std::mutex> l(mu);
        finished.push_back(s.code);
    }

    std::mutex mu;
    std::vector<uint64_t> firsts;
    std::vector<FoundFile> files;
    std::vector<int> percents;
    std::vector<StatusCode> finished;
    std::function<void()> onFirstBatch;
};

// Waits until f() holds; false only when it never did in two minutes (a
// hang, not a slow machine).
template <typename F>
bool eventually(F f)
{
    for (int i = 0; i < 24000; i++) {
        if (f())
            return true;
        std::this_thread::sleep_for(5ms);
    }
    return f();
}

// True when the job's worker is held at its pause gate (once the step
// under way when it was asked to hold has ended) and the count stays put.
bool holdsStill(const ScanJob &job, const std::function<int64_t()> &count)
{
    if (!job.waitHolding(120000))
        return false;
    int64_t before = count();
    std::this_thread::sleep_for(50ms);
    return job.holding() && count() == before;
}

std::string fixtureImage(const std::string &script, const std::string &name)
{
    std::string path = svt::fixture(script) + "/" + name;
    return std::ifstream(path).good() ? path : "";
}

struct Volume {
    std::string label;
    std::string image;       // empty: built in memory
    std::vector<uint8_t> bytes;
    int32_t fsType;
    // Device reads the scanner's set-up alone costs on this volume.
    std::function<int64_t(Partiton_Struct *, svt::MemDevice &)> setUpReads;
    bool formatted = false;  // the formatted-volume search
};

std::vector<Volume> quickVolumes()
{
    std::vector<Volume> v;
#if SALVITRA_HAVE_POLDER
    v.push_back({"FAT", fixtureImage("fat16", "fat16.img"), {}, FS_FAT16,
                 [](Partiton_Struct *p, svt::MemDevice &m) {
                     bool ok = fat_init(p);
                     int64_t n = m.reads;
                     if (ok)
                         fat_exit();
                     return n;
                 }});
#endif
#if SALVITRA_HAVE_TASKEL
    v.push_back({"NTFS", fixtureImage("ntfs", "c4k.img"), {}, FS_NTFS,
                 [](Partiton_Struct *p, svt::MemDevice &m) {
                     const TaskelApi *api = taskelApi();
                     api->Initi_Ntfs_InFo(p);
                     int64_t n = m.reads;
                     api->NTFS_Free_Glod_Exit();
                     return n;
                 }});
#endif
#if SALVITRA_HAVE_BRIEL
    v.push_back({"ext2", fixtureImage("ext2", "ext2-4k.img"), {}, FS_EXT2,
                 [](Partiton_Struct *p, svt::MemDevice &m) {
                     bool ok = ext2_init(p);
                     int64_t n = m.reads;
                     if (ok)
                         ext2_exit();
                     return n;
                 }});
#endif
#if SALVITRA_HAVE_VARN
    v.push_back({"HFS+", "", svt::makeHfsScenario().image, FS_HFSPLUS,
                 [](Partiton_Struct *p, svt::MemDevice &m) {
                     hfsp_init(p);
                     int64_t n = m.reads;
                     hfsp_exit();
                     return n;
                 }});
#endif
    return v;
}

std::vector<uint8_t> bytesOf(const Volume &v)
{
    return v.image.empty() ? v.bytes : svt::readFile(v.image);
}

// Every quick and formatted-volume scanner, on volumes with enough to walk.
std::vector<Volume> walkVolumes()
{
    std::vector<Volume> v = quickVolumes();
#if SALVITRA_HAVE_POLDER
    v.push_back({"FAT formatted", fixtureImage("fat32fmt", "fat32fmt.img"), {}, FS_FAT32, nullptr, true});
#endif
#if SALVITRA_HAVE_TASKEL
    v.push_back({"NTFS formatted", fixtureImage("ntfs_formatted", "f4k.img"), {}, FS_NTFS, nullptr, true});
#endif
#if SALVITRA_HAVE_HOLLIN
    v.push_back({"exFAT", fixtureImage("exfat", "exfat.img"), {}, FS_EXFAT, nullptr});
#endif
#if SALVITRA_HAVE_COSK
    v.push_back({"ext3", fixtureImage("ext3", "ext3-4k.img"), {}, FS_EXT3, nullptr});
    // Its journal needs recovery: replayed in memory before the walk.
    v.push_back({"ext4, journal", fixtureImage("extj", "ext4j-dirty.img"), {}, FS_EXT4, nullptr});
#endif
    return v;
}

ScanRequest requestFor(svt::MemDevice &dev, const Volume &v)
{
    ScanRequest req;
    req.part = dev.partition(0, dev.bytes().size(), v.fsType);
    req.formatted = v.formatted;
    return req;
}

// ---- the pause ----

// What a scan read around a pause: when pause() was called (from the
// device's side of the read numbered `at`), and when the worker held at
// the gate.
struct HeldScan {
    bool held = false;
    uint64_t bytesAtPause = 0, bytesAtHold = 0;
    int64_t readsAtHold = 0;
    Status status;
    size_t files = 0;
};

// Runs the scan, pauses it at read `at`, waits for the worker to hold at
// the gate (or for the scan's end: then it did not hold), then resumes.
HeldScan pauseAtRead(svt::MemDevice &dev, const ScanRequest &req, int64_t at)
{
    HeldScan h;
    ScanJob job(req);
    dev.onRead = [&](int64_t n) {
        if (n == at) {
            h.bytesAtPause = dev.bytesRead;
            job.pause();
        }
    };
    EXPECT_TRUE(job.start());
    h.held = job.waitHolding(600000);
    h.bytesAtHold = dev.bytesRead;
    h.readsAtHold = dev.reads;
    if (h.held) {
        // The reader is the thread that waits: nothing more is read.
        EXPECT_EQ(job.state(), JobState::Paused);
        EXPECT_TRUE(job.holding());
        EXPECT_EQ(dev.bytesRead.load(), h.bytesAtHold);
    }
    job.resume();
    h.status = job.wait();
    dev.onRead = nullptr;
    h.files = job.fileCount();
    return h;
}

// The longest read a scanner makes: 2 MiB, what a slow card (20 MB/s)
// reads in 100 ms.
constexpr uint64_t kPauseStep = 2u << 20;

// Paused in the middle of its walk, every scanner holds before its next
// read, having read at most the step under way; continued, it reads and
// finds exactly what an unpaused scan does.  (Before, only deliveries
// passed the gate, and quick scans deliver at their end.)
TEST(JobPause, EveryScannerHoldsInsideItsWalk)
{
    for (const Volume &v : walkVolumes()) {
        SCOPED_TRACE(v.label);
        std::vector<uint8_t> bytes = bytesOf(v);
        if (bytes.empty()) {
            ADD_FAILURE() << "fixture missing";
            continue;
        }
        svt::MemDevice whole(bytes);
        ScanJob ref(requestFor(whole, v));
        Status rs = ref.run();
        ASSERT_TRUE(rs.ok()) << rs.text();
        const int64_t total = whole.reads;
        const size_t files = ref.fileCount();
        ref.release();  // the library takes one job at a time
        ASSERT_GE(total, 3);

        svt::MemDevice dev(bytes);
        HeldScan h = pauseAtRead(dev, requestFor(dev, v), total / 2);
        EXPECT_TRUE(h.held) << "the scan ended while paused";
        // The read under way when the pause came is the last one.
        EXPECT_EQ(h.readsAtHold, total / 2 + 1);
        EXPECT_LE(h.bytesAtHold - h.bytesAtPause, kPauseStep);
        EXPECT_EQ(h.status.code, StatusCode::Done) << h.status.text();
        EXPECT_EQ(h.files, files);
        EXPECT_EQ(dev.reads.load(), total) << "the pause changes nothing of what is read";
    }
}

// A deep scan of a medium with nothing to find delivers nothing: it holds
// at its next window all the same, and reads nothing more while paused.
TEST(JobPause, ADeepScanHoldsInAStretchOfEmptySectors)
{
    std::vector<uint8_t> zeros(24u << 20);
    svt::MemDevice whole(zeros);
    ScanRequest req;
    req.part = whole.partition(0, zeros.size(), FS_UNKNOWN);
    req.mode = RecoverDeep;
    ASSERT_TRUE(ScanJob(req).run());
    const int64_t total = whole.reads;
    ASSERT_GE(total, 8);

    svt::MemDevice dev(zeros);
    req.part = dev.partition(0, zeros.size(), FS_UNKNOWN);
    HeldScan h = pauseAtRead(dev, req, total / 2);
    EXPECT_TRUE(h.held) << "the scan ended while paused";
    // The window being read when the pause came (1 MiB and its look-ahead).
    EXPECT_LE(h.bytesAtHold - h.bytesAtPause, (1u << 20) + (64u << 10));
    EXPECT_EQ(h.readsAtHold, total / 2 + 1);
    EXPECT_TRUE(h.status.ok()) << h.status.text();
    EXPECT_EQ(h.files, 0u);
    EXPECT_EQ(dev.reads.load(), total);
}

// ---- the stop ----

// However early a stop comes, the scan ends Stopped: before start() (the
// library is never touched), while start() runs, and between the scan and
// the writes (kept for the writes, which then end at once).
TEST(JobStop, AStopBeforeTheStartDuringItAndBeforeTheWritesEndsStopped)
{
    std::vector<uint8_t> bytes = svt::bmpRun(40, 4096);
    svt::MemDevice dev(bytes);
    ScanRequest req;
    req.part = dev.partition(0, bytes.size(), FS_UNKNOWN);
    req.mode = RecoverDeep;
    {
        Recorder rec;
        ScanJob job(req, &rec);
        job.stop();
        ASSERT_TRUE(job.start());
        Status s = job.wait();
        EXPECT_EQ(s.code, StatusCode::Stopped) << s.text();
        EXPECT_EQ(dev.reads.load(), 0);
        EXPECT_EQ(job.fileCount(), 0u);
        EXPECT_EQ(rec.finished, std::vector<StatusCode>{StatusCode::Stopped});
    }
    // A stop racing start() from another thread, at whatever moment the
    // threads happen to meet; the scan's first read waits for it, so that
    // the scan cannot end first.
    for (int round = 0; round < 20; round++) {
        ScanJob job(req);
        ReadLatch firstRead(dev, dev.reads);
        std::atomic<bool> go{false};
        std::thread stopper([&] {
            while (!go.load())
                std::this_thread::yield();
            job.stop();
        });
        go = true;
        ASSERT_TRUE(job.start());
        stopper.join();
        firstRead.release();
        Status s = job.wait();
        EXPECT_EQ(s.code, StatusCode::Stopped) << "round " << round << ": " << s.text();
    }
    dev.onRead = nullptr;

    ScanJob job(req);
    ASSERT_TRUE(job.run());
    ASSERT_EQ(job.fileCount(), 40u);
    std::vector<const FoundFile *> all;
    for (const FoundFile &f : job.files())
        all.push_back(&f);
    svt::TempDir out;
    RecoverOptions opt;
    opt.outDir = out.path();

    // A stop button's question outlasting the scan stops nothing later.
    EXPECT_FALSE(job.stopIfRunning());
    // A Ctrl-C between the scan's end and the writes is not lost.
    job.stop();
    RecoverSummary sum = recoverFiles(job, all, opt);
    EXPECT_EQ(sum.status.code, StatusCode::Stopped);
    EXPECT_TRUE(sum.stopped);
    EXPECT_EQ(sum.written, 0u);
    EXPECT_TRUE(svt::run("ls -A " + svt::shellQuote(out.path())).out.empty());

    // Nor one that comes after startWrites, before its worker begins them.
    std::mutex mu;
    std::condition_variable cv;
    bool go = false;
    RecoverSummary later;
    ASSERT_TRUE(job.startWrites([&] {
        std::unique_lock<std::mutex> l(mu);
        cv.wait(l, [&] { return go; });
        l.unlock();
        later = recoverFiles(job, all, opt);
    }));
    EXPECT_TRUE(job.stopIfRunning());
    {
        std::lock_guard<std::mutex> l(mu);
        go = true;
    }
    cv.notify_all();
    EXPECT_EQ(job.wait().code, StatusCode::Stopped);
    EXPECT_EQ(later.written, 0u);

    // Each stop was the writes' it came for: the next writes run whole.
    ASSERT_TRUE(job.startWrites([&] { later = recoverFiles(job, all, opt); }));
    EXPECT_TRUE(job.wait().ok());
    EXPECT_EQ(later.written, 40u);
}

// A stop pressed while a scanner sets its volume up used to be wiped by the
// progress value's reset at the start of the search, and the scan ran to
// its end.  Now the search returns at its first look at the value: no more
// device reads than the set-up costs plus the search's first step (HFS+
// reads its journal's two headers first), far from a whole scan.
TEST(JobStop, AStopDuringEveryScannersSetUpHolds)
{
    for (const Volume &v : quickVolumes()) {
        SCOPED_TRACE(v.label);
        std::vector<uint8_t> bytes = bytesOf(v);
        ASSERT_FALSE(bytes.empty()) << "fixture missing";

        svt::MemDevice whole(bytes);
        ScanRequest full;
        full.part = whole.partition(0, bytes.size(), v.fsType);
        ASSERT_TRUE(ScanJob(full).run());

        svt::MemDevice probe(bytes);
        // FAT sets up from the boot sector the partition record carries:
        // its first read is already the search's.
        int64_t setUp = v.setUpReads(probe.partition(0, bytes.size(), v.fsType), probe);
        ASSERT_TRUE(setUp > 0 || v.fsType == FS_FAT16);
        setUp = std::max<int64_t>(setUp, 1);

        svt::MemDevice dev(bytes);
        ScanRequest req;
        req.part = dev.partition(0, bytes.size(), v.fsType);
        ScanJob job(req);
        ASSERT_TRUE(job.supported());
        ReadLatch latch(dev);
        job.start();
        latch.waitHit();  // the scanner's set-up reads its first sector
        job.stop();
        EXPECT_EQ(job.state(), JobState::Stopping);
        latch.release();
        Status s = job.wait();
        EXPECT_EQ(s.code, StatusCode::Stopped) << s.text();
        EXPECT_EQ(job.state(), JobState::Finished);
        EXPECT_LE(dev.reads.load(), setUp + 2) << "set-up reads " << setUp;
        EXPECT_GT(whole.reads.load(), setUp + 2) << "a whole scan reads more";
        EXPECT_EQ(get_ExportsData(), 200) << "the stop value stays until the next scan";
        EXPECT_EQ(job.progress().percent, 0) << "a stop is never shown as a percentage";
    }
}

// A large carved file: a stop ends its copy within one chunk and leaves a
// file marked incomplete that holds exactly what was copied; a pause holds
// the copy between two chunks, and continuing finishes it byte for byte.
TEST(JobStop, ARecoveryPausesBetweenChunksAndStopsInsideAFile)
{
    const uint32_t kBig = 4u << 20;
    std::vector<uint8_t> bytes = svt::bmpFile(kBig, 77);
    std::vector<uint8_t> small = svt::bmpFile(1024, 78);
    bytes.insert(bytes.end(), small.begin(), small.end());
    bytes.resize(bytes.size() + 4096);
    svt::MemDevice dev(bytes);
    ScanRequest req;
    req.part = dev.partition(0, bytes.size(), FS_UNKNOWN);
    req.mode = RecoverDeep;
    ScanJob job(req);
    ASSERT_TRUE(job.run());
    ASSERT_EQ(job.fileCount(), 2u);
    const FoundFile &big = job.files()[0];
    ASSERT_EQ(big.size, kBig);
    svt::TempDir out;
    RecoverOptions opt;
    opt.outDir = out.path();

    // Pause after a few chunks (deep files are read in pieces of about
    // 1 MiB), from another thread; the copy holds still.
    int64_t start = dev.reads;
    dev.onRead = [&](int64_t n) {
        if (n == start + 2)
            job.pause();
    };
    RecoverSummary sum;
    std::thread worker([&] { sum = recoverFiles(job, {&big}, opt); });
    ASSERT_TRUE(eventually([&] { return job.state() == JobState::Paused; }));
    EXPECT_TRUE(holdsStill(job, [&] { return dev.reads.load(); }));
    EXPECT_LT(job.progress().bytesDone, (uint64_t)kBig);
    job.resume();
    worker.join();
    dev.onRead = nullptr;
    ASSERT_EQ(sum.written, 1u);
    EXPECT_EQ(sum.status.code, StatusCode::Done);
    std::string whole = out.file("Found by content/bmp/0.bmp");
    EXPECT_EQ(svt::readFile(whole), std::vector<uint8_t>(bytes.begin(), bytes.begin() + kBig));
    EXPECT_EQ(job.progress().bytesDone, (uint64_t)kBig);

    // A stop from the device's side of a chunk read: that chunk is the last.
    int64_t stopAt = -1;
    int64_t base = dev.reads;
    dev.onRead = [&](int64_t n) {
        if (stopAt < 0 && n >= base + 2) {
            stopAt = n;
            job.stop();
        }
    };
    RecoverSummary cut = recoverFiles(job, {&big, &job.files()[1]}, opt);
    dev.onRead = nullptr;
    ASSERT_GE(stopAt, 0);
    EXPECT_LE(dev.reads.load() - stopAt, 1) << "at most the chunk being read when the stop came";
    EXPECT_TRUE(cut.stopped);
    EXPECT_EQ(cut.status.code, StatusCode::Stopped);
    ASSERT_EQ(cut.files.size(), 1u) << "nothing after the stopped file is started";
    const RecoveredFile &rf = cut.files[0];
    EXPECT_EQ(rf.result, WriteResult::Stopped);
    EXPECT_TRUE(rf.stats.incomplete);
    EXPECT_EQ(cut.incomplete, 1u);
    ASSERT_GT(rf.stats.bytes, 0u);
    ASSERT_LT(rf.stats.bytes, (uint64_t)kBig);
    // The cut file is kept as NAME.partial, and holds exactly the bytes copied.
    EXPECT_EQ(rf.path.substr(rf.path.size() - 8), ".partial");
    EXPECT_EQ(svt::readFile(rf.path), std::vector<uint8_t>(bytes.begin(), bytes.begin() + rf.stats.bytes));
}

// ---- the stream ----

// A deep scan hands its files over while the engine runs.  Paused at its
// first batch, the engine holds still (no reads, no new files); continued,
// it delivers every file exactly once, in order, with ids 0..n-1.
TEST(JobStream, PauseHoldsADeepScansStreamAndContinueLosesNothing)
{
    const size_t kFiles = 600;
    std::vector<uint8_t> bytes = svt::bmpRun(kFiles, 64 * 1024);
    svt::MemDevice dev(bytes);
    ScanRequest req;
    req.part = dev.partition(0, bytes.size(), FS_UNKNOWN);
    req.mode = RecoverDeep;
    Recorder rec;
    ScanJob job(req, &rec);
    job.setProgressInterval(20);
    rec.onFirstBatch = [&] { job.pause(); };
    ASSERT_TRUE(job.start());

    ASSERT_TRUE(eventually([&] { return job.state() == JobState::Paused && job.fileCount() > 0; }));
    EXPECT_TRUE(holdsStill(job, [&] { return dev.reads.load(); })) << "the engine waits at the gate";
    size_t held = job.fileCount();
    EXPECT_LT(held, kFiles) << "files arrive while the scan runs, not at its end";
    EXPECT_EQ(job.fileCount(), held);

    job.resume();
    Status s = job.wait();
    ASSERT_TRUE(s.ok()) << s.text();
    ASSERT_EQ(job.fileCount(), kFiles);
    std::set<uint64_t> offsets;
    for (size_t i = 0; i < kFiles; i++) {
        const FoundFile &f = job.files()[i];
        EXPECT_EQ(f.id, i);
        EXPECT_EQ(f.index, i);
        EXPECT_EQ(f.type, "bmp");
        EXPECT_EQ(f.state, FileState::Carved);
        EXPECT_EQ(f.offset, i * 1024);
        offsets.insert(f.offset);
    }
    EXPECT_EQ(offsets.size(), kFiles);

    // The observer saw the same files, in batches that join end to end.
    std::lock_guard<std::mutex> l(rec.mu);
    ASSERT_EQ(rec.files.size(), kFiles);
    EXPECT_GT(rec.firsts.size(), 1u);
    uint64_t next = 0;
    for (size_t b = 0; b < rec.firsts.size(); b++) {
        EXPECT_EQ(rec.firsts[b], next);
        next = b + 1 < rec.firsts.size() ? rec.firsts[b + 1] : kFiles;
    }
    for (size_t i = 0; i < kFiles; i++)
        EXPECT_EQ(rec.files[i].id, i);
    EXPECT_EQ(rec.finished, std::vector<StatusCode>{StatusCode::Done});
    EXPECT_EQ(job.progress().percent, 100);
    EXPECT_EQ(job.progress().bytesTotal, bytes.size());
}

// A page pulls what is new with snapshot(known) while the store grows; the
// pieces join into exactly the final list.
TEST(JobStream, SnapshotsTakenWhileFilesArriveJoinIntoTheWholeList)
{
    const size_t kFiles = 1500;
    std::vector<uint8_t> bytes = svt::bmpRun(kFiles, 0, 7 * 1024);
    svt::MemDevice dev(bytes);
    dev.delayUs = 2000;  // a slow medium: the files come in many bursts
    ScanRequest req;
    req.part = dev.partition(0, bytes.size(), FS_UNKNOWN);
    req.mode = RecoverDeep;
    ScanJob job(req);
    ASSERT_TRUE(job.start());
    std::vector<FoundFile> pulled;
    size_t pulls = 0;
    while (true) {
        bool ended = job.waitFor(0);
        job.waitForFiles(pulled.size(), 50);
        std::vector<FoundFile> fresh = job.snapshot(pulled.size());
        for (const FoundFile &f : fresh)
            ASSERT_EQ(f.id, pulled.size() + (&f - fresh.data()));
        pulls += !fresh.empty();
        pulled.insert(pulled.end(), fresh.begin(), fresh.end());
        if (ended && pulled.size() == job.fileCount())
            break;
    }
    ASSERT_TRUE(job.wait().ok());
    ASSERT_EQ(pulled.size(), kFiles);
    EXPECT_GT(pulls, 1u);
    for (size_t i = 0; i < kFiles; i++) {
        EXPECT_EQ(pulled[i].offset, job.files()[i].offset);
        EXPECT_EQ(pulled[i].name, job.files()[i].name);
    }
}

// ---- lifetimes ----

// A second job on the same scanner library is refused while the first one
// holds its records; the first one's files still come back whole.
TEST(JobLifetimes, ASecondJobOnTheSameLibraryIsRefused)
{
    std::string dir = svt::fixture("fat16");
    std::vector<uint8_t> bytes = svt::readFile(dir + "/fat16.img");
    ASSERT_FALSE(bytes.empty());
    svt::MemDevice a(bytes), b(bytes);
    ScanRequest ra, rb;
    ra.part = a.partition(0, bytes.size(), FS_FAT16);
    rb.part = b.partition(0, bytes.size(), FS_FAT16);
    auto first = std::make_unique<ScanJob>(ra);
    ASSERT_TRUE(first->run());
    ASSERT_GT(first->fileCount(), 0u);

    ScanJob second(rb);
    Status s = second.run();
    EXPECT_EQ(s.code, StatusCode::Busy) << s.text();
    EXPECT_NE(s.reason.find("libpolder"), std::string::npos) << s.reason;
    EXPECT_EQ(b.reads.load(), 0) << "the refused job never touched the library";

    // The first job's records are intact: recover and compare.
    std::map<std::string, std::string> sha;
    std::ifstream truth(dir + "/truth.tsv");
    for (std::string line; std::getline(truth, line);) {
        std::istringstream ls(line);
        std::string path, size, hash, kind;
        std::getline(ls, path, '\t');
        std::getline(ls, size, '\t');
        std::getline(ls, hash, '\t');
        std::getline(ls, kind, '\t');
        if (kind == "exact")
            sha[path] = hash;
    }
    ASSERT_FALSE(sha.empty());
    svt::TempDir out;
    RecoverOptions opt;
    opt.outDir = out.path();
    std::vector<const FoundFile *> pick;
    for (const FoundFile &f : first->files())
        if (sha.count(f.folder.empty() ? f.name : f.folder + "/" + f.name))
            pick.push_back(&f);
    ASSERT_FALSE(pick.empty());
    RecoverSummary sum = recoverFiles(*first, pick, opt);
    ASSERT_EQ(sum.written, pick.size());
    // One sha256sum over every output, in the order written.
    std::string cmd = "cd " + svt::shellQuote(out.path()) + " && sha256sum --";
    for (const RecoveredFile &rf : sum.files)
        cmd += " " + svt::shellQuote(rf.path.substr(out.path().size() + 1));
    std::istringstream sums(svt::run(cmd).out);
    for (const RecoveredFile &rf : sum.files) {
        std::string rel = rf.file->folder.empty() ? rf.file->name : rf.file->folder + "/" + rf.file->name;
        std::string line;
        ASSERT_TRUE(std::getline(sums, line)) << rel;
        EXPECT_EQ(line.substr(0, 64), sha[rel]) << rel;
    }

    // Released, the library takes the next job.
    first.reset();
    ScanJob third(rb);
    EXPECT_TRUE(third.run());
    EXPECT_GT(third.fileCount(), 0u);
}

// The device list is not torn down under a job: a rebuild asked for (a
// medium plugged in) waits until the job lets go of the lists.
TEST(JobLifetimes, ARebuildAskedForDuringAJobWaitsForItsEnd)
{
    std::string image = svt::fixture("fat16") + "/fat16.img";
    Inventory inv;
    std::string err;
    ASSERT_TRUE(inv.build({image}, &err)) << err;
    ASSERT_FALSE(inv.partitions().empty());
    const PartitionInfo *p = &inv.partitions()[0];
    ScanRequest req;
    req.part = p->part;
    req.inventory = &inv;
    auto job = std::make_unique<ScanJob>(req);
    job->pause();  // the scan holds at its delivery, still running
    ASSERT_TRUE(job->start());
    ASSERT_TRUE(eventually([&] { return inv.holders() == 1; }));

    std::atomic<int> rebuilt{0};
    inv.setOnRebuilt([&](bool ok, const std::string &) { rebuilt += ok; });
    EXPECT_EQ(inv.requestRebuild({image}), Inventory::Rebuild::Deferred);
    EXPECT_TRUE(inv.rebuildPending());
    EXPECT_FALSE(inv.teardown()) << "the lists are in use";
    EXPECT_FALSE(inv.build({image}, &err));
    job->resume();
    ASSERT_TRUE(job->wait());
    EXPECT_EQ(rebuilt, 0) << "the job's files still read through the lists";

    // The records the job reads through are still there.
    svt::TempDir out;
    RecoverOptions opt;
    opt.outDir = out.path();
    RecoverSummary sum = recoverFiles(*job, {&job->files()[0]}, opt);
    EXPECT_EQ(sum.status.code, StatusCode::Done);

    job.reset();
    EXPECT_EQ(rebuilt, 1);
    EXPECT_FALSE(inv.rebuildPending());
    EXPECT_EQ(inv.holders(), 0);
    ASSERT_FALSE(inv.partitions().empty());
    EXPECT_EQ(inv.requestRebuild({image}), Inventory::Rebuild::Done);
}

// ---- what a partition offers, and why a scan did not run ----

TEST(JobTable, OneRowPerScannerAndStatusesThatSayWhy)
{
    Capabilities fat = capabilities(FS_FAT32);
    EXPECT_TRUE(fat.quick && fat.formatted && fat.deep);
    EXPECT_STREQ(fat.label, "FAT");
    Capabilities ext2 = capabilities(FS_EXT2);
    EXPECT_TRUE(ext2.quick && !ext2.formatted && ext2.deep);
    Capabilities exfat = capabilities(FS_EXFAT);
    EXPECT_TRUE(exfat.quick && !exfat.formatted && exfat.deep);
    EXPECT_STREQ(exfat.label, "exFAT");
    Capabilities hfs = capabilities(FS_HFS);
    EXPECT_TRUE(!hfs.quick && !hfs.formatted && hfs.deep);
    Partiton_Struct noDevice{};
    noDevice.FsType = FS_FAT32;
    EXPECT_FALSE(capabilities(&noDevice).deep) << "nothing to read from";

    // Each file system and kind has one row at most.
    size_t n = 0;
    const BackendRow *rows = backendRows(&n);
    for (int32_t fs = FS_UNKNOWN; fs <= FS_HFSX; fs++) {
        for (ScanKind k : {ScanKind::Quick, ScanKind::Formatted, ScanKind::Deep}) {
            int matches = 0;
            for (size_t i = 0; i < n; i++) {
                bool takes = rows[i].anyFsType;
                for (int32_t t : rows[i].fsTypes)
                    takes |= t != 0 && t == fs;
                bool offers = k == ScanKind::Quick ? rows[i].quick
                              : k == ScanKind::Formatted ? rows[i].formatted : rows[i].deep;
                matches += takes && offers;
            }
            EXPECT_LE(matches, 1) << fs << " " << scanKindText(k);
        }
    }

    // An NTFS partition whose boot sector is gone is a failed scan, not an
    // empty one.
    svt::MemDevice blank(std::vector<uint8_t>(1 << 20));
    ScanRequest req;
    req.part = blank.partition(0, 1 << 20, FS_NTFS);
    ScanJob ntfs(req);
    Status s = ntfs.run();
    EXPECT_EQ(s.code, StatusCode::NotThisFileSystem) << s.text();
    req.part = blank.partition(0, 1 << 20, FS_HFS);
    EXPECT_EQ(ScanJob(req).run().code, StatusCode::NotSupported);
    req.part = blank.partition(0, 1 << 20, FS_EXFAT);
    EXPECT_EQ(ScanJob(req).run().code, StatusCode::NotThisFileSystem);
    req.formatted = true;
    req.part = blank.partition(0, 1 << 20, FS_EXT2);
    EXPECT_EQ(ScanJob(req).run().code, StatusCode::NotSupported);
}

}  // namespace
