// bench_jobs: the cost of streaming a deep scan's files through a job.  A
// medium holding 10,000 small pictures (one per 8 KiB, the rest empty) is
// scanned (1) by a job nobody watches and (2) by a job whose observer hands
// every batch to a consumer thread that takes each file.  Target: (2)
// under 10% slower than (1).  The machine may be busy: the rounds
// alternate and the fastest of each is compared, with the CPU time of all
// threads beside it.
// usage: bench_jobs [FILES] [ROUNDS]
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <sys/resource.h>
#include <thread>
#include <vector>

#include "bmp_run.h"
#include "mem_device.h"
#include "scan.h"

using namespace salvitra;

namespace {

double now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// CPU time of every thread of the process so far.
double cpu()
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Hands batches to a consumer thread, which takes every file.
class Consumer : public JobObserver {
public:
    Consumer() : thread_([this] { loop(); }) {}
    ~Consumer()
    {
        {
            std::lock_guard<std::mutex> l(mu_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    void onFiles(uint64_t, std::vector<FoundFile> batch) override
    {
        {
            std::lock_guard<std::mutex> l(mu_);
            queue_.push_back(std::move(batch));
        }
        cv_.notify_one();
    }
    uint64_t taken() const { return taken_; }
    uint64_t batches() const { return batches_; }

private:
    void loop()
    {
        std::unique_lock<std::mutex> l(mu_);
        while (true) {
            cv_.wait(l, [&] { return done_ || !queue_.empty(); });
            if (queue_.empty() && done_)
                return;
            std::vector<FoundFile> b = std::move(queue_.front());
            queue_.pop_front();
            l.unlock();
            for (const FoundFile &f : b)
                bytes_ += f.size + f.name.size();
            taken_ += b.size();
            batches_++;
            l.lock();
        }
    }

    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::vector<FoundFile>> queue_;
    bool done_ = false;
    uint64_t taken_ = 0, batches_ = 0, bytes_ = 0;
    std::thread thread_;
};

}  // namespace

int main(int argc, char **argv)
{
    size_t files = argc > 1 ? strtoull(argv[1], nullptr, 10) : 10000;
    int rounds = argc > 2 ? atoi(argv[2]) : 9;
    svt::MemDevice dev(svt::bmpRun(files, 1 << 20, 7 * 1024));
    Partiton_Struct *part = dev.partition(0, dev.bytes().size(), FS_UNKNOWN);
    ScanRequest req;
    req.part = part;
    req.mode = RecoverDeep;

    std::vector<double> alone, watched, aloneCpu, watchedCpu;
    uint64_t found = 0, taken = 0, batches = 0;
    {
        ScanJob warm(req);  // the medium and the engine's tables into the caches
        warm.run();
    }
    for (int r = 0; r < rounds; r++) {
        // Alternate the two, so that both meet the same machine.
        {
            double t0 = now(), c0 = cpu();
            ScanJob job(req);
            job.run();
            alone.push_back(now() - t0);
            aloneCpu.push_back(cpu() - c0);
            found = job.fileCount();
        }
        {
            double t0 = now(), c0 = cpu();
            Consumer consumer;
            {
                ScanJob job(req, &consumer);
                job.run();
            }
            watched.push_back(now() - t0);
            watchedCpu.push_back(cpu() - c0);
            taken = consumer.taken();
            batches = consumer.batches();
        }
    }
    double a = *std::min_element(alone.begin(), alone.end());
    double w = *std::min_element(watched.begin(), watched.end());
    double ac = *std::min_element(aloneCpu.begin(), aloneCpu.end());
    double wc = *std::min_element(watchedCpu.begin(), watchedCpu.end());
    printf("deep scan of %.1f MiB holding %zu pictures: %llu files found\n",
           dev.bytes().size() / 1048576.0, files, (unsigned long long)found);
    printf("  job, no consumer:                %7.1f ms wall, %7.1f ms CPU (best of %d)\n", a * 1e3, ac * 1e3,
           rounds);
    printf("  job, consumer takes every batch: %7.1f ms wall, %7.1f ms CPU (%llu files in %llu batches)\n",
           w * 1e3, wc * 1e3, (unsigned long long)taken, (unsigned long long)batches);
    printf("  streaming overhead: %+.1f%% wall, %+.1f%% CPU (target: under 10%%)\n", (w / a - 1.0) * 100.0,
           (wc / ac - 1.0) * 100.0);
    return found == files && taken == files ? 0 : 1;
}
