#include "imaging.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "inventory.h"
#include "output_dir.h"
#include "text.h"

namespace salvitra {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kMinSkip = 64 << 10;                 // the first skip after a failed block
constexpr uint64_t kMaxSkipCap = 1ull << 30;            // skips never grow past 1 GiB...
constexpr auto kMapInterval = std::chrono::seconds(30);  // ...and the map is saved this often
constexpr size_t kAlign = 4096;                         // buffers for reads that bypass the cache
constexpr uint64_t kSpan = 64 << 20;                    // bytes per copy in the kernel

std::string folderOf(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nowText()
{
    time_t t = time(nullptr);
    struct tm tmv;
    char buf[64] = "";
    if (localtime_r(&t, &tmv))
        strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tmv);
    return buf;
}

bool allZero(const uint8_t *p, uint64_t n)
{
    // Word by word: the image's holes cost nothing to check.
    uint64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        memcpy(&w, p + i, 8);
        if (w)
            return false;
    }
    for (; i < n; i++)
        if (p[i])
            return false;
    return true;
}

struct AlignedFree {
    void operator()(uint8_t *p) const { free(p); }
};
using Buffer = std::unique_ptr<uint8_t, AlignedFree>;

Buffer alignedBuffer(size_t n)
{
    void *p = nullptr;
    if (posix_memalign(&p, kAlign, n) != 0)
        return nullptr;
    memset(p, 0, n);
    return Buffer(static_cast<uint8_t *>(p));
}

}  // namespace

const char *rescuePhaseText(RescuePhase p)
{
    switch (p) {
    case RescuePhase::Copying: return "copying";
    case RescuePhase::Trimming: return "trimming";
    case RescuePhase::Scraping: return "scraping";
    case RescuePhase::Retrying: return "retrying";
    case RescuePhase::Finished: return "finished";
    }
    return "?";
}

// Reads of the medium: through the device record's operations table, and
// for single sectors, where the device allows it, through a descriptor that
// bypasses the system's cache (a buffered read fails a whole page for one
// bad sector in it).
struct ImageJob::Reader {
    Physics_Device_Struct *dev = nullptr;
    uint64_t origin = 0;   // offset of byte 0 of the copy for the operations table
    uint64_t absolute = 0; // ... and on the descriptor
    int direct = -1;
    uint32_t sector = 512;
    Buffer block, one;

    ~Reader()
    {
        if (direct >= 0)
            close(direct);
    }

    int64_t read(uint8_t *buf, uint32_t len, uint64_t pos)
    {
        int32_t n = dev->Ops->read(dev, buf, len, origin + pos);
        return n < 0 ? -1 : std::min<int64_t>(n, len);
    }

    int64_t readSector(uint8_t *buf, uint32_t len, uint64_t pos)
    {
        if (direct >= 0 && pos % sector == 0) {
            uint32_t whole = (len + sector - 1) / sector * sector;
            ssize_t n;
            do
                n = pread(direct, buf, whole, (off_t)(absolute + pos));
            while (n < 0 && errno == EINTR);
            if (n >= 0 || errno != EINVAL)
                return n < 0 ? -1 : std::min<int64_t>(n, len);
            // The device takes no such reads after all.
            close(direct);
            direct = -1;
        }
        return read(buf, len, pos);
    }

    // Copies len bytes at pos straight into out at the same position, in
    // the kernel, where the medium is a file that allows it (an image being
    // imaged).  The bytes copied; 0 when this medium cannot be copied so (or
    // failed at pos: the ordinary reads then find out where).
    bool rangeCopy = true;
    uint64_t copyRange(int out, uint64_t len, uint64_t pos)
    {
        if (!rangeCopy || dev->Ops != &Apple_System || dev->Fd < 0)
            return 0;
        loff_t in = (loff_t)(absolute + pos), at = (loff_t)pos;
        uint64_t done = 0;
        while (done < len) {
            ssize_t n = copy_file_range(dev->Fd, &in, out, &at, len - done, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                if (n == 0 || errno == EINVAL || errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP ||
                    errno == EBADF || errno == ETXTBSY)
                    rangeCopy = false;  // not this medium, or not this pair of file systems
                break;
            }
            done += (uint64_t)n;
        }
        return done;
    }

    // A second descriptor of the same medium, read-only and past the cache.
    void openDirect(const std::string &path)
    {
        if (dev->Ops != &Apple_System || dev->Fd < 0)
            return;
        struct stat want;
        if (fstat(dev->Fd, &want) != 0)
            return;
        std::string via = "/proc/self/fd/" + std::to_string(dev->Fd);
        for (const std::string &p : {via, path}) {
            if (p.empty())
                continue;
            int fd = open(p.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
            if (fd < 0)
                continue;
            struct stat got;
            if (fstat(fd, &got) == 0 && got.st_dev == want.st_dev && got.st_ino == want.st_ino &&
                got.st_rdev == want.st_rdev) {
                direct = fd;
                return;
            }
            close(fd);
        }
    }
};

ImageJob::ImageJob(const ImageRequest &req, ImageObserver *observer) : req_(req), observer_(observer)
{
    req_.retries = std::max(0, std::min(req_.retries, 16));
    mapPath_ = req_.mapPath.empty() ? req_.outPath + ".map" : req_.mapPath;
}

ImageJob::~ImageJob()
{
    if (worker_.joinable()) {
        stop();
        worker_.join();
    }
    if (ticker_.joinable())
        ticker_.join();
    if (outFd_ >= 0)
        close(outFd_);
    if (held_ && req_.inventory)
        req_.inventory->unhold();
}

Status ImageJob::prepare()
{
    if (prepared_)
        return prepStatus_;
    prepared_ = true;
    auto refuse = [&](StatusCode c, const std::string &why) {
        prepStatus_ = Status{c, why};
        return prepStatus_;
    };
    Partiton_Struct *part = req_.part;
    if (!part || !part->Device || !part->Device->Ops || !part->Device->Ops->read)
        return refuse(StatusCode::NotSupported, "no medium to copy");
    Physics_Device_Struct *dev = part->Device;
    size_ = part->PartSize;
    // Never more than the device holds past the partition's start.
    uint64_t start = part->PartOffset;
    if (dev->DiskSize && (start >= dev->DiskSize ? 0 : dev->DiskSize - start) < size_)
        size_ = start >= dev->DiskSize ? 0 : dev->DiskSize - start;
    if (size_ == 0)
        return refuse(StatusCode::NotSupported, "the medium is empty: nothing to copy");
    int32_t ss = dev->SectorSize;
    sector_ = (ss >= 512 && ss <= 65536 && (ss & (ss - 1)) == 0) ? (uint32_t)ss : 512;
    if (req_.blockSize < sector_ || req_.blockSize > (64u << 20))
        req_.blockSize = 1 << 20;
    req_.blockSize -= req_.blockSize % sector_;

    // The output: never on the medium being read.
    if (req_.outPath.empty())
        return refuse(StatusCode::OutputError, "no image file named");
    if (mapPath_ == req_.outPath)
        return refuse(StatusCode::OutputError, "the map cannot be the image file itself");
    for (const std::string &p : {req_.outPath, mapPath_}) {
        std::string why;
        if (!req_.devicePath.empty() && outputOnScannedMedium(folderOf(p), req_.devicePath, &why))
            return refuse(StatusCode::OutputError,
                          "refusing to write onto the medium being read (" + why + "); choose a folder on another disk");
    }
    struct stat medium, sb;
    bool outExists = lstat(req_.outPath.c_str(), &sb) == 0;
    if (outExists && !req_.devicePath.empty() && stat(req_.devicePath.c_str(), &medium) == 0 &&
        stat(req_.outPath.c_str(), &sb) == 0 && sb.st_dev == medium.st_dev && sb.st_ino == medium.st_ino)
        return refuse(StatusCode::OutputError, req_.outPath + " is the medium being read");
    if (outExists && !S_ISREG(sb.st_mode))
        return refuse(StatusCode::OutputError, req_.outPath + ": not a regular file; images are written into files");

    // The map: an earlier copy goes on from it.
    map_ = RescueMap(size_);
    struct stat msb;
    bool mapExists = lstat(mapPath_.c_str(), &msb) == 0;
    if (mapExists) {
        std::string text, why;
        if (!loadMapFile(mapPath_, &text, &why) || !map_.parse(text, size_, &why))
            return refuse(StatusCode::NotSupported, "the map " + mapPath_ + " cannot be used: " + why);
        if (!outExists)
            return refuse(StatusCode::OutputError, "the map " + mapPath_ + " belongs to an image that is not there (" +
                                                       req_.outPath + "); move the map away to start afresh");
    } else if (outExists) {
        return refuse(StatusCode::OutputError, req_.outPath +
                                                   " already exists; choose another name, or name the map of the "
                                                   "copy it holds to go on with it");
    }
    resuming_ = outExists && mapExists;

    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (resuming_ ? 0 : O_EXCL);
    outFd_ = open(req_.outPath.c_str(), flags, 0666);
    if (outFd_ < 0)
        return refuse(StatusCode::OutputError, req_.outPath + ": " + strerror(errno));
    freshFile_ = !resuming_;
    auto dropOutput = [&] {
        close(outFd_);
        outFd_ = -1;
        if (freshFile_)
            unlink(req_.outPath.c_str());
    };
    if (fstat(outFd_, &sb) != 0 || !S_ISREG(sb.st_mode)) {
        dropOutput();
        return refuse(StatusCode::OutputError, req_.outPath + ": not a regular file");
    }
    if ((uint64_t)sb.st_size > size_) {
        dropOutput();
        return refuse(StatusCode::OutputError, req_.outPath + " is larger than the medium: it is no image of it");
    }
    // Room for everything not copied yet.
    uint64_t need = size_ - map_.bytes(BlockStatus::Finished);
    uint64_t room = OutputDir::freeSpace(outFd_);
    if (need > room) {
        dropOutput();
        return refuse(StatusCode::OutputError, "not enough free space for the image in " + folderOf(req_.outPath) +
                                                   ": it needs " + humanSize(need) + ", " + humanSize(room) +
                                                   " are free");
    }
    // Full length from the start: what is never read stays zeros.
    if ((uint64_t)sb.st_size < size_ && ftruncate(outFd_, (off_t)size_) != 0) {
        std::string why = strerror(errno);
        dropOutput();
        return refuse(StatusCode::OutputError, req_.outPath + ": " + why);
    }

    reader_ = std::make_unique<Reader>();
    reader_->dev = dev;
    reader_->sector = sector_;
    // Byte 0 of the copy: a partition's own device copy adds its offset
    // itself; any other record counts from the device's start.
    const Partiton_Struct *owner = dev->OwnerPartition;
    bool ownCopy = owner == part && part->AccessMode == '?';
    reader_->origin = ownCopy ? 0 : part->PartOffset;
    reader_->absolute = deviceOffsetOf(part);
    reader_->block = alignedBuffer(req_.blockSize);
    reader_->one = alignedBuffer(std::max<size_t>(sector_, kAlign));
    if (!reader_->block || !reader_->one)
        return refuse(StatusCode::OutputError, "out of memory");
    reader_->openDirect(req_.devicePath);
    // The first pass reads the medium from start to end.
    if (dev->Ops == &Apple_System && dev->Fd >= 0)
        posix_fadvise(dev->Fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    heading_ = "Mapfile. Created by Salvitra " + std::string(SALVITRA_VERSION_TEXT) +
               "\nCopy of " + req_.devicePath + " into " + req_.outPath +
               "\nStart time:   " + nowText();
    prepStatus_ = Status{};
    return prepStatus_;
}

bool ImageJob::start()
{
    if (ran_.load() || worker_.joinable())
        return false;
    worker_ = std::thread([this] { run(); });
    return true;
}

Status ImageJob::run()
{
    if (ran_.exchange(true))
        return wait();
    Status s = prepare();
    if (!s.ok()) {
        finish(s);
        return s;
    }
    if (req_.inventory) {
        req_.inventory->hold();
        held_ = true;
    }
    {
        std::lock_guard<std::mutex> l(mu_);
        started_ = Clock::now();
        lastSave_ = started_;
        rescuedAtStart_ = map_.bytes(BlockStatus::Finished);
        window_ = lastWindow_ = Sample{started_, rescuedAtStart_};
        if (state_.load() == JobState::Idle)
            state_.store(paused_ ? JobState::Paused : JobState::Running);
    }
    if (observer_)
        ticker_ = std::thread([this] { tickerLoop(); });
    s = copy();
    finish(s);
    return s;
}

Status ImageJob::copy()
{
    std::string why;
    if (!saveMap(false, &why))
        return Status{StatusCode::OutputError, "the map cannot be written: " + why};

    const uint32_t small = std::max(sector_, req_.blockSize / 16);
    bool go = true;
    if (map_.bytes(BlockStatus::NonTried)) {
        go = copyPass(1, true, req_.blockSize, true, false) && copyPass(2, false, small, false, true) &&
             copyPass(3, true, small, false, false);
    }
    go = go && trim() && scrape();
    for (int r = 1; go && r <= req_.retries && map_.bytes(BlockStatus::BadSector); r++)
        go = retry(r, r % 2 == 1);
    if (go) {
        std::lock_guard<std::mutex> l(mu_);
        map_.phase = RescuePhase::Finished;
        map_.pass = 1;
        ranToEnd_ = true;
    }
    bool saved = saveMap(false, &why);

    std::lock_guard<std::mutex> l(mu_);
    if (outputFailed_)
        return Status{StatusCode::OutputError, outputError_ + "; the map keeps what was copied, so the copy can go on"};
    if (!saved)
        return Status{StatusCode::OutputError, "the map cannot be written: " + why};
    if (stop_)
        return Status{StatusCode::Stopped, "stopped by the user; the image and its map " + mapPath_ +
                                               " keep what was copied, and the copy goes on from them"};
    uint64_t bad = map_.bytes(BlockStatus::BadSector);
    if (bad)
        return Status{StatusCode::UnreadableMedium,
                      humanSize(bad) + " (" + std::to_string(bad / sector_ + (bad % sector_ != 0)) +
                          " sectors) could not be read; they are zeros in the image, and the map lists them"};
    return Status{};
}

void ImageJob::setPlace(RescuePhase phase, int pass, uint64_t pos)
{
    {
        std::lock_guard<std::mutex> l(mu_);
        map_.phase = phase;
        map_.pass = pass;
        map_.position = pos;
    }
    if (observer_) {
        std::lock_guard<std::mutex> o(observerMu_);
        observer_->onPhase(phase, pass);
    }
}

bool ImageJob::writeOut(const uint8_t *buf, uint64_t len, uint64_t pos)
{
    // A new image is all holes: zeros need no writing.
    if (freshFile_ && allZero(buf, len))
        return true;
    uint64_t done = 0;
    while (done < len) {
        ssize_t n = pwrite(outFd_, buf + done, len - done, (off_t)(pos + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            std::lock_guard<std::mutex> l(mu_);
            outputFailed_ = true;
            outputError_ = req_.outPath + ": " + strerror(n < 0 ? errno : ENOSPC);
            return false;
        }
        done += (uint64_t)n;
    }
    return true;
}

uint64_t ImageJob::readArea(uint64_t pos, uint64_t len, bool sectorRead, BlockStatus failed, uint64_t failedSpan)
{
    if (!sectorRead) {
        // Whole blocks of a medium that is itself a file: copied in the kernel.
        uint64_t copied = reader_->copyRange(outFd_, (uint32_t)len, pos);
        copied -= copied % sector_;
        if (copied) {
            std::lock_guard<std::mutex> l(mu_);
            map_.set(pos, copied, BlockStatus::Finished);
            map_.position = pos;
            noteRate();
        }
        if (copied == len)
            return len;
        if (copied)
            return copied + readArea(pos + copied, len - copied, false, failed, failedSpan);
    }
    uint8_t *buf = sectorRead ? reader_->one.get() : reader_->block.get();
    int64_t n = sectorRead ? reader_->readSector(buf, (uint32_t)len, pos) : reader_->read(buf, (uint32_t)len, pos);
    uint64_t got = n > 0 ? (uint64_t)n : 0;
    if (got < len)
        got = sectorRead ? 0 : got - got % sector_;  // whole sectors before the failure
    if (got && !writeOut(buf, got, pos))
        return 0;
    std::lock_guard<std::mutex> l(mu_);
    map_.set(pos, got, BlockStatus::Finished);
    if (got < len) {
        uint64_t span = failedSpan ? std::min(failedSpan, len - got) : len - got;
        map_.set(pos + got, span, failed);
        map_.set(pos + got + span, len - got - span, BlockStatus::NonTried);
        readErrors_++;
    }
    map_.position = pos;
    noteRate();
    return got;
}

void ImageJob::noteRate()
{
    auto now = Clock::now();
    if (now - window_.t >= std::chrono::seconds(2)) {
        lastWindow_ = window_;
        window_ = Sample{now, map_.bytes(BlockStatus::Finished)};
    }
}

bool ImageJob::copyPass(int pass, bool forward, uint32_t block, bool skipping, bool stopAtError)
{
    const uint64_t small = std::max<uint64_t>(sector_, req_.blockSize / 16);
    setPlace(RescuePhase::Copying, pass, forward ? 0 : size_);
    const uint64_t maxSkip = std::max(kMinSkip, std::min(kMaxSkipCap, size_ / 100 / sector_ * sector_));
    uint64_t skip = 0;
    uint64_t s, e;
    if (forward) {
        for (uint64_t pos = 0; map_.nextArea(BlockStatus::NonTried, pos, &s, &e); pos = e) {
            for (uint64_t p = s; p < e;) {
                if (!gate())
                    return false;
                // A medium that is a file: many blocks at once in the kernel,
                // down to the block that fails.
                if (reader_->rangeCopy && p % block == 0 && e - p >= block) {
                    uint64_t span = std::min<uint64_t>(e - p, kSpan) / block * block;
                    uint64_t copied = reader_->copyRange(outFd_, span, p) / block * block;
                    if (copied) {
                        std::lock_guard<std::mutex> l(mu_);
                        map_.set(p, copied, BlockStatus::Finished);
                        map_.position = p;
                        noteRate();
                        p += copied;
                        skip = 0;
                        continue;
                    }
                }
                // Reads on block boundaries of the medium.  Of a block that
                // fails, only a small block at the failure is left for
                // trimming; the rest goes back to the smaller blocks of the
                // later passes.
                uint64_t len = std::min<uint64_t>(block - p % block, e - p);
                uint64_t got = readArea(p, len, false, BlockStatus::NonTrimmed, skipping ? small : 0);
                p += len;
                if (got == len) {
                    skip = 0;
                    continue;
                }
                if (stopAtError)
                    break;
                if (skipping) {
                    // Out of the damaged area fast: the next try lies further on.
                    skip = skip ? std::min(skip * 2, maxSkip) : kMinSkip;
                    uint64_t next = p + skip;
                    next += (block - next % block) % block;
                    p = std::min(next, e);
                }
            }
        }
    } else {
        for (uint64_t pos = size_; map_.prevArea(BlockStatus::NonTried, pos, &s, &e); pos = s) {
            for (uint64_t p = e; p > s;) {
                if (!gate())
                    return false;
                uint64_t len = p % block ? p % block : block;
                len = std::min(len, p - s);
                uint64_t got = readArea(p - len, len, false, BlockStatus::NonTrimmed);
                p -= len;
                if (got < len && stopAtError)
                    break;
            }
        }
    }
    return true;
}

bool ImageJob::trim()
{
    setPlace(RescuePhase::Trimming, 1, 0);
    uint64_t s, e;
    for (uint64_t pos = 0; map_.nextArea(BlockStatus::NonTrimmed, pos, &s, &e); pos = e) {
        // From the leading edge forwards until a sector fails, then from
        // the trailing edge backwards; an edge next to a bad sector is
        // trimmed already.
        uint64_t p = s, q = e;
        bool lead = !(s > 0 && map_.at(s - 1) == BlockStatus::BadSector);
        while (lead && p < q) {
            if (!gate())
                return false;
            uint64_t len = std::min<uint64_t>(sector_ - p % sector_, q - p);
            uint64_t got = readArea(p, len, true, BlockStatus::BadSector);
            p += len;
            if (got < len)
                break;
        }
        bool trail = !(e < size_ && map_.at(e) == BlockStatus::BadSector);
        while (trail && q > p) {
            if (!gate())
                return false;
            uint64_t len = q % sector_ ? q % sector_ : sector_;
            len = std::min(len, q - p);
            uint64_t got = readArea(q - len, len, true, BlockStatus::BadSector);
            q -= len;
            if (got < len)
                break;
        }
        if (q > p) {
            std::lock_guard<std::mutex> l(mu_);
            map_.set(p, q - p, BlockStatus::NonScraped);
        }
    }
    return true;
}

bool ImageJob::scrape()
{
    setPlace(RescuePhase::Scraping, 1, 0);
    uint64_t s, e;
    for (uint64_t pos = 0; map_.nextArea(BlockStatus::NonScraped, pos, &s, &e); pos = e) {
        for (uint64_t p = s; p < e;) {
            if (!gate())
                return false;
            uint64_t len = std::min<uint64_t>(sector_ - p % sector_, e - p);
            readArea(p, len, true, BlockStatus::BadSector);
            p += len;
        }
    }
    return true;
}

bool ImageJob::retry(int pass, bool forward)
{
    setPlace(RescuePhase::Retrying, pass, forward ? 0 : size_);
    // Each bad sector once: the areas are taken as they stand at the start.
    std::vector<std::pair<uint64_t, uint64_t>> areas;
    map_.forEach([&](uint64_t pos, uint64_t len, BlockStatus st) {
        if (st == BlockStatus::BadSector)
            areas.emplace_back(pos, pos + len);
        return true;
    });
    if (!forward)
        std::reverse(areas.begin(), areas.end());
    for (const auto &a : areas) {
        if (forward) {
            for (uint64_t p = a.first; p < a.second;) {
                if (!gate())
                    return false;
                uint64_t len = std::min<uint64_t>(sector_ - p % sector_, a.second - p);
                readArea(p, len, true, BlockStatus::BadSector);
                p += len;
            }
        } else {
            for (uint64_t q = a.second; q > a.first;) {
                if (!gate())
                    return false;
                uint64_t len = q % sector_ ? q % sector_ : sector_;
                len = std::min(len, q - a.first);
                readArea(q - len, len, true, BlockStatus::BadSector);
                q -= len;
            }
        }
    }
    return true;
}

bool ImageJob::gate()
{
    bool save = false;
    {
        std::unique_lock<std::mutex> l(mu_);
        if (paused_ && !stop_ && !outputFailed_) {
            // Held still with everything on disk: the program may be closed now.
            l.unlock();
            std::string why;
            saveMap(true, &why);
            l.lock();
            cv_.wait(l, [&] { return !paused_ || stop_; });
        }
        if (stop_ || outputFailed_)
            return false;
        save = Clock::now() - lastSave_ >= kMapInterval;
    }
    if (save) {
        std::string why;
        if (!saveMap(true, &why)) {
            std::lock_guard<std::mutex> l(mu_);
            outputFailed_ = true;
            outputError_ = "the map cannot be written: " + why;
            return false;
        }
    }
    return true;
}

bool ImageJob::saveMap(bool sync, std::string *why)
{
    // The map never claims what is not on the disk yet.
    if (sync && outFd_ >= 0)
        fdatasync(outFd_);
    std::string text;
    {
        std::lock_guard<std::mutex> l(mu_);
        std::string status = map_.phase == RescuePhase::Finished ? "Finished"
                                                                  : std::string(rescuePhaseText(map_.phase)) + ", pass " +
                                                                        std::to_string(map_.pass);
        status[0] = (char)toupper((unsigned char)status[0]);
        text = map_.text(heading_ + "\nCurrent time: " + nowText() + "\n" + status);
        lastSave_ = Clock::now();
    }
    return saveMapFile(mapPath_, text, why, sync);
}

void ImageJob::finish(const Status &s)
{
    {
        std::lock_guard<std::mutex> l(mu_);
        status_ = s;
        ended_ = true;
        state_.store(JobState::Finished);
    }
    cv_.notify_all();
    if (ticker_.joinable() && ticker_.get_id() != std::this_thread::get_id())
        ticker_.join();
    if (outFd_ >= 0) {
        close(outFd_);
        outFd_ = -1;
    }
    if (held_ && req_.inventory) {
        held_ = false;
        req_.inventory->unhold();
    }
    if (observer_) {
        std::lock_guard<std::mutex> o(observerMu_);
        observer_->onFinished(s);
    }
}

void ImageJob::tickerLoop()
{
    std::unique_lock<std::mutex> l(mu_);
    while (!ended_) {
        cv_.wait_for(l, std::chrono::milliseconds(intervalMs_));
        if (ended_)
            break;
        l.unlock();
        ImageProgress p = progress();
        {
            std::lock_guard<std::mutex> o(observerMu_);
            observer_->onProgress(p);
        }
        l.lock();
    }
}

Status ImageJob::wait()
{
    if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id())
        worker_.join();
    std::unique_lock<std::mutex> l(mu_);
    cv_.wait(l, [&] { return ended_ || !ran_.load(); });
    return status_;
}

bool ImageJob::waitFor(int timeoutMs)
{
    std::unique_lock<std::mutex> l(mu_);
    return cv_.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return ended_; });
}

void ImageJob::stop()
{
    {
        std::lock_guard<std::mutex> l(mu_);
        stop_ = true;
        paused_ = false;
        JobState s = state_.load();
        if (s == JobState::Running || s == JobState::Paused)
            state_.store(JobState::Stopping);
    }
    cv_.notify_all();
}

void ImageJob::pause()
{
    std::lock_guard<std::mutex> l(mu_);
    if (stop_ || ended_)
        return;
    paused_ = true;
    if (state_.load() == JobState::Running)
        state_.store(JobState::Paused);
}

void ImageJob::resume()
{
    {
        std::lock_guard<std::mutex> l(mu_);
        paused_ = false;
        if (state_.load() == JobState::Paused)
            state_.store(JobState::Running);
    }
    cv_.notify_all();
}

Status ImageJob::status() const
{
    std::lock_guard<std::mutex> l(mu_);
    return status_;
}

RescueMap ImageJob::map() const
{
    std::lock_guard<std::mutex> l(mu_);
    return map_;
}

ImageProgress ImageJob::progress() const
{
    std::lock_guard<std::mutex> l(mu_);
    ImageProgress p;
    p.total = map_.size();
    p.rescued = map_.bytes(BlockStatus::Finished);
    p.badSectors = map_.bytes(BlockStatus::BadSector);
    p.bad = p.badSectors + map_.bytes(BlockStatus::NonTrimmed) + map_.bytes(BlockStatus::NonScraped);
    p.remaining = map_.bytes(BlockStatus::NonTried);
    p.position = map_.position;
    p.phase = map_.phase;
    p.pass = map_.pass;
    p.readErrors = readErrors_;
    if (p.total)
        p.percent = (int)((p.rescued + p.badSectors) * 100 / p.total);
    if (started_ != Clock::time_point{}) {
        auto now = ended_ ? lastSave_ : Clock::now();
        p.seconds = std::chrono::duration<double>(now - started_).count();
        if (p.seconds > 0.05)
            p.averageRate = (double)(p.rescued - std::min(p.rescued, rescuedAtStart_)) / p.seconds;
        // Over the last two to four seconds: a read that hangs shows as a
        // falling rate.
        const Sample &from = now - window_.t >= std::chrono::seconds(1) ? window_ : lastWindow_;
        double span = std::chrono::duration<double>(now - from.t).count();
        if (span > 0.05)
            p.rate = (double)(p.rescued - std::min(p.rescued, from.rescued)) / span;
    }
    return p;
}

int ImageJob::exitStatus() const
{
    Status s = status();
    if (s.ok())
        return 0;
    if (s.code == StatusCode::Stopped)
        return 130;
    std::lock_guard<std::mutex> l(mu_);
    if (s.code == StatusCode::UnreadableMedium && ranToEnd_)
        return 3;
    return 1;
}

}  // namespace salvitra
