// bench_window_cpu: how much of one core the interface thread spends while
// the scanning page watches a deep scan, measured as that thread's own CPU
// time (CLOCK_THREAD_CPUTIME_ID) over the scan's wall time.  Two scans: the
// carving corpus copied until it holds about 10,000 files (files arrive all
// the time), and 2 GiB of zeros after it (progress only).  The same scans
// with nobody watching give the event loop's own cost.  Target: under 5%.
// usage: QT_QPA_PLATFORM=offscreen bench_window_cpu [FILES]
#include <QApplication>
#include <QEventLoop>

#include <ctime>
#include <unistd.h>

#include "bench_image.h"
#include "scaningdlg.h"

using namespace salvitra;
using benchimg::now;

namespace {

double threadCpu()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct Watch {
    double wall = 0, cpu = 0;
    size_t files = 0;
    double share() const { return wall > 0 ? 100.0 * cpu / wall : 0; }
};

Watch watch(Partiton_Struct *part, QScaningDlg *page)
{
    ScanRequest req;
    req.part = part;
    req.mode = RecoverDeep;
    QScanAdapter scan(req);
    if (page) {
        page->DeleteTreeInfo();
        page->InitTreeNode();
        page->SetScanAdapter(&scan);
        page->setBtnStatus(false, RecoverDeep);
    }
    QEventLoop loop;
    QObject::connect(&scan, &QScanAdapter::scanEnded, &loop, &QEventLoop::quit);
    const double t0 = now(), c0 = threadCpu();
    scan.start();
    loop.exec();
    Watch w{now() - t0, threadCpu() - c0, scan.job()->fileCount()};
    if (page) {
        page->setBtnStatus(true, RecoverDeep);
        page->CreateFileTree();
        page->SetScanAdapter(nullptr);
        page->DeleteTreeInfo();
    }
    return w;
}

void print(const char *what, const Watch &alone, const Watch &watched)
{
    printf("%-22s %zu files in %.2f s: interface thread %.1f ms CPU = %.2f%% of one core "
           "(nobody watching: %.2f%%; target < 5%%)\n",
           what, watched.files, watched.wall, watched.cpu * 1e3, watched.share(), alone.share());
}

}  // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    InitSalvitraResources();
    size_t want = argc > 1 ? strtoull(argv[1], nullptr, 10) : 10000;
    benchimg::Image im;
    if (!benchimg::prepare(im, want, [](Partiton_Struct &p) { return watch(&p, nullptr).files; })) {
        im.remove();
        return 0;
    }
    QScaningDlg page(nullptr);
    page.SetRecoverMod(RecoverDeep);
    page.setScanFileType(0);
    page.resize(1100, 760);
    page.show();

    // The corpus, then 2 GiB of zeros (a sparse tail) read after it.
    Partiton_Struct files = im.part;
    Watch alone = watch(&files, nullptr), watched = watch(&files, &page);
    im.close_();
    if (truncate(im.path.c_str(), (off_t)(im.copies * im.corpus.size()) + (2ll << 30)) != 0 || !im.open_()) {
        im.remove();
        return 1;
    }
    Partiton_Struct zeros = im.part;
    zeros.PartOffset = im.copies * im.corpus.size();
    zeros.PartSize -= zeros.PartOffset;
    Watch zAlone = watch(&zeros, nullptr), zWatched = watch(&zeros, &page);
    im.close_();

    printf("image              %zu copies of the carving corpus (%zu files each), then 2 GiB of zeros\n", im.copies,
           im.perCopy);
    print("files arriving", alone, watched);
    print("2 GiB of zeros", zAlone, zWatched);
    im.remove();
    return 0;
}
