// bench_gui: 100,000 found files handed to the scanning page in batches of
// 64 (as a deep scan delivers them), then the whole table built again (as a
// click on the tree's top node does).  Target: well under a second each.
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
    const int total = 100000, batchSize = 64;
    QScaningDlg page(nullptr);
    QElapsedTimer t;
    t.start();
    std::vector<salvitra::FoundFile> batch;
    for (int i = 0; i < total; i++) {
        salvitra::FoundFile f;
        f.type = types[i % 7];
        f.name = std::to_string(i) + "." + f.type;
        f.folder = f.type;
        f.size = 1000 + i;
        batch.push_back(f);
        if ((int)batch.size() == batchSize || i == total - 1) {
            page.OnRefresh(&batch);
            batch.clear();
        }
    }
    double handOver = t.elapsed() / 1000.0;
    t.restart();
    page.tree()->setCurrentItem(page.tree()->topLevelItem(0)->child(0));
    page.tree()->setCurrentItem(page.tree()->topLevelItem(0));
    double refill = t.elapsed() / 1000.0;
    printf("scanning page: %d files in batches of %d taken in %.3f s (%.0f files/s); table rebuilt in %.3f s\n",
           total, batchSize, handOver, total / handOver, refill);
    return 0;
}
