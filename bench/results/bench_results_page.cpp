// bench_results_page: the results page itself watching a deep scan that
// finds about 10,000 files.  The page gets every batch through its queued
// hand-over (the scanning thread waits while the interface thread places
// the files and grows the tree widget), then builds the final tree and its
// widgets.  Prints files per second with and without the page, the
// hand-over's cost and the final tree's build time.
// usage: QT_QPA_PLATFORM=offscreen bench_results_page [FILES]
#include <QApplication>
#include <QTimer>
#include <QTreeWidget>

#include "bench_image.h"
#include "scaningdlg.h"

using namespace salvitra;
using benchimg::now;

namespace {

struct Run {
    double seconds = 0;
    size_t files = 0;
};

// One deep scan on its own thread while this (the interface) thread serves
// the page's queued hand-over.
Run scan(Partiton_Struct *part, QScaningDlg *page, std::unique_ptr<ScanJob> *keep = nullptr)
{
    ScanRequest req;
    req.part = part;
    req.mode = RecoverDeep;
    auto job = std::make_unique<ScanJob>(req, page);
    if (page) {
        page->DeleteTreeInfo();
        page->InitTreeNode();
        page->SetScanJob(job.get());
    }
    double t0 = now();
    job->start();
    // As the window's event loop does: sleep until an event comes (a
    // batch), with a timer to look at the job's end now and then.
    QTimer tick;
    tick.start(5);
    while (!job->waitFor(0))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    job->wait();
    QCoreApplication::processEvents();
    Run r{now() - t0, job->fileCount()};
    if (keep)
        *keep = std::move(job);
    else if (page)
        page->SetScanJob(nullptr);
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
    double tree = 1e30;
    size_t shown = 0, nodes = 0;
    for (int round = 0; round < 3; round++) {
        Run p = scan(&im.part, nullptr);
        if (p.seconds < plain.seconds)
            plain = p;
        std::unique_ptr<ScanJob> job;
        Run w = scan(&im.part, &page, &job);
        if (w.seconds < watched.seconds)
            watched = w;
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
        page.SetScanJob(nullptr);
        page.DeleteTreeInfo();
        job.reset();
    }
    im.close_();

    printf("image             %zu copies of the carving corpus (%zu files each)\n", im.copies, im.perCopy);
    printf("deep scan alone   %zu files in %.3f s: %.0f files/s\n", plain.files, plain.seconds,
           plain.files / plain.seconds);
    printf("with the page     %zu files in %.3f s: %.0f files/s\n", watched.files, watched.seconds,
           watched.files / watched.seconds);
    printf("hand-over cost    %.1f%% of the scan's speed (target < 20%%)\n",
           100.0 * (1.0 - plain.seconds / watched.seconds));
    printf("final tree        %zu files in %zu nodes, model and widgets, in %.2f ms (target < 500 ms)\n", shown,
           nodes, tree * 1e3);
    im.remove();
    return 0;
}
