// bench_gui: 100,000 found files put into a job's store in the batches a
// deep scan delivers, taken in by the scanning page through its adapter's
// queued signals (the page reads the store) and counted at the end, then
// the table of every file built (as a click on "All Files" does).  Target:
// well under a second each.
#include <QApplication>
#include <QElapsedTimer>

#include <cstdio>

#include "scaningdlg.h"

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    InitSalvitraResources();
    const char *types[] = {"jpg", "png", "mp3", "mov", "doc", "pdf", "zip"};
    const int total = 100000;
    QScaningDlg page(nullptr);
    salvitra::ScanRequest req;
    req.mode = salvitra::RecoverDeep;
    QScanAdapter scan(req);
    page.SetScanAdapter(&scan);
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < total; i++) {
        salvitra::FoundFile f;
        f.type = types[i % 7];
        f.name = std::to_string(i) + "." + f.type;
        f.folder = f.type;
        f.size = 1000 + i;
        scan.job()->deliver(f);
        // The window's loop runs beside the scan.
        if (i % 256 == 255)
            QCoreApplication::processEvents();
    }
    scan.job()->flush();
    QCoreApplication::processEvents();
    // The scan's end: whatever is not placed yet is placed, the tree counted.
    page.setBtnStatus(true, salvitra::RecoverDeep);
    page.CreateFileTree();
    double handOver = t.elapsed() / 1000.0;
    t.restart();
    page.tree()->setCurrentItem(page.tree()->topLevelItem(0)->child(0));
    page.tree()->setCurrentItem(page.tree()->topLevelItem(0));
    double refill = t.elapsed() / 1000.0;
    printf("scanning page: %d files (%llu placed) delivered and taken in %.3f s (%.0f files/s); "
           "table of every file built in %.3f s\n",
           total, (unsigned long long)page.placedFiles(), handOver, total / handOver, refill);
    page.SetScanAdapter(nullptr);
    return 0;
}
