// bench_result_tree: the results page's model with 10,000 found files:
// adding them one by one as a deep scan hands them over, building the
// final tree, filling the table of the largest type node, and collecting
// the jobs of everything ticked.  A quick-scan tree of the same size too.
// usage: bench_result_tree [FILES]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "result_tree.h"

using namespace salvitra;

namespace {

double now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

const char *const kTypes[] = {"jpg", "png", "gif", "tif", "mp3", "wav", "flac", "ogg", "mp4",
                              "avi", "mov", "mkv", "aiff", "wma", "pdf", "zip", "doc", "xls",
                              "bmp", "psd"};

}  // namespace

int main(int argc, char **argv)
{
    size_t n = argc > 1 ? strtoull(argv[1], nullptr, 10) : 10000;
    const size_t types = sizeof kTypes / sizeof kTypes[0];
    std::vector<FoundFile> deep(n), quick(n);
    std::vector<uint32_t> perType(types, 0);
    for (size_t i = 0; i < n; i++) {
        // Skewed like real media: most finds are photos.
        size_t t = (i % 10 < 6) ? 0 : (i * 7919) % types;
        deep[i].type = kTypes[t];
        deep[i].index = perType[t]++;
        deep[i].name = std::to_string(deep[i].index) + "." + kTypes[t];
        deep[i].size = 1000 + (i * 104729) % 5000000;
        quick[i].name = "IMG_" + std::to_string(i) + "." + kTypes[t];
        quick[i].size = deep[i].size;
        quick[i].mtime = 1623752430 + (int64_t)i;
    }

    ResultTree tree(resultRules(FS_FAT32, RecoverDeep), GroupFilter());
    double t0 = now();
    for (size_t i = 0; i < n; i++)
        tree.add(deep[i], (uint32_t)i);
    double t1 = now();
    tree.finish(deep);
    double t2 = now();
    NodeRef jpg = tree.find(FileGroup::Photo, "jpg");
    std::vector<TableRow> rows = tree.rows(jpg, deep);
    double t3 = now();
    tree.setCheck({}, CheckState::Checked);
    TableSelection none;
    std::vector<RecoveryJob> jobs = collectJobs(tree, none, deep);
    double t4 = now();

    ResultTree qt(resultRules(FS_FAT32, RecoverQuick), GroupFilter());
    double q0 = now();
    qt.addAll(quick);
    qt.finish(quick);
    double q1 = now();

    printf("deep scan, %zu files handed over one by one: %.2f us per file (%.0f files/s)\n", n,
           (t1 - t0) * 1e6 / n, n / (t1 - t0));
    printf("final deep tree of %zu files built in %.2f ms (target < 500 ms)\n", n, (t2 - t1) * 1e3);
    printf("table of %s: %zu rows in %.2f ms\n", tree.text(jpg).c_str(), rows.size(), (t3 - t2) * 1e3);
    printf("jobs of everything ticked: %zu in %.2f ms\n", jobs.size(), (t4 - t3) * 1e3);
    printf("quick-scan tree of %zu files built and counted in %.2f ms\n", n, (q1 - q0) * 1e3);
    return 0;
}
