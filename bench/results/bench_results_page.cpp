// bench_results_page: the results page itself watching a deep scan that
// finds about 10,000 files.  The page hears of new files through the job's
// adapter (queued, coalesced signals; the job never waits for it) and
// places them from the job's store while the scan goes on, then builds the
// final tree and its widgets.  Prints files per second with and without
// the page, the page's cost to the scan and the final tree's build time.
// usage: QT_QPA_PLATFORM=offscreen bench_results_page [FILES]
#include <QApplication>
#include <QTimer>

#include <thread>
#include <QTreeWidget>

#include "bench_image.h"
#include "scaningdlg.h"

using namespace salvitra;
using benchimg::now;

namespace {

double processCpu()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct Run {
    double cpu = 0;       // CPU time of every thread of the program during the scan
    double seconds = 0;   // the scan itself: start to the job's end
    double absorbed = 0;  // start to the page holding every file (the end's signal served)
    size_t files = 0;
};

// One deep scan on its own threads (through the window's adapter, watched
// by the page or by nobody) while this, the interface thread, runs its
// event loop.  The scan's end is taken where the job ends, by a thread
// waiting on it, not where this thread gets to hear of it.
Run scan(Partiton_Struct *part, QScaningDlg *page, std::unique_ptr<QScanAdapter> *keep = nullptr)
{
    ScanRequest req;
    req.part = part;
    req.mode = RecoverDeep;
    auto adapter = std::make_unique<QScanAdapter>(req);
    if (page) {
        page->DeleteTreeInfo();
        page->InitTreeNode();
        page->SetScanAdapter(adapter.get());
    }
    QEventLoop loop;
    QObject::connect(adapter.get(), &QScanAdapter::scanEnded, &loop, &QEventLoop::quit);
    double t0 = now(), end = 0, c0 = processCpu();
    adapter->start();
    ScanJob *job = adapter->job();
    std::thread ender([job, &end] {
        while (!job->waitFor(1000)) {
        }
        end = now();
    });
    loop.exec();
    ender.join();
    Run r{processCpu() - c0, end - t0, now() - t0, job->fileCount()};
    if (keep)
        *keep = std::move(adapter);
    else if (page)
        page->SetScanAdapter(nullptr);
    return r;
}

}  // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    size_t want = argc > 1 ? strtoull(argv[1], nullptr, 10) : 10000;
    benchimg::Image im;
    if (!benchimg::prepare(im, want, [](Partiton_Struct &p) { return scan(&p, nullptr).files; })) {
        im.remove();
        return 0;
    }

    QScaningDlg page(nullptr);
    page.SetRecoverMod(RecoverDeep);
    page.setScanFileType(0);
    page.show();
    scan(&im.part, nullptr);  // warm
    Run plain, watched;
    plain.seconds = watched.seconds = 1e30;
    double plainCpu = 1e30, watchedCpu = 1e30;
    double tree = 1e30;
    size_t shown = 0, nodes = 0;
    for (int round = 0; round < 7; round++) {
        Run p = scan(&im.part, nullptr);
        if (p.seconds < plain.seconds)
            plain = p;
        plainCpu = std::min(plainCpu, p.cpu);
        std::unique_ptr<QScanAdapter> job;
        Run w = scan(&im.part, &page, &job);
        if (w.seconds < watched.seconds)
            watched = w;
        watchedCpu = std::min(watchedCpu, w.cpu);
        double t0 = now();
        page.setBtnStatus(true, RecoverDeep);
        page.CreateFileTree();
        QCoreApplication::processEvents();
        tree = std::min(tree, now() - t0);
        shown = page.model().fileCount();
        nodes = 0;
        QTreeWidgetItemIterator it(page.tree());
        for (; *it; ++it)
            nodes++;
        page.SetScanAdapter(nullptr);
        page.DeleteTreeInfo();
        job.reset();
    }
    im.close_();

    printf("image             %zu copies of the carving corpus (%zu files each)\n", im.copies, im.perCopy);
    printf("deep scan alone   %zu files in %.3f s: %.0f files/s\n", plain.files, plain.seconds,
           plain.files / plain.seconds);
    printf("with the page     %zu files in %.3f s: %.0f files/s (every file placed in the page after %.3f s)\n",
           watched.files, watched.seconds, watched.files / watched.seconds, watched.absorbed);
    // On a machine busy with other work the wall times move by more than
    // the page costs; the program's CPU time is what the page adds to it.
    printf("page's cost       %.1f%% of the scan's speed by wall time; %.1f%% more CPU time (%.0f ms against "
           "%.0f ms; target < 5%%)\n",
           100.0 * (1.0 - plain.seconds / watched.seconds), 100.0 * (watchedCpu / plainCpu - 1.0), watchedCpu * 1e3,
           plainCpu * 1e3);
    printf("final tree        %zu files in %zu nodes, model and widgets, in %.2f ms (target < 500 ms)\n", shown,
           nodes, tree * 1e3);
    im.remove();
    return 0;
}
