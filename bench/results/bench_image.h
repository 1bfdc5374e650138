// The image both results benchmarks scan: copies of the carving corpus
// (tests/fixtures/carving.sh) back to back, enough for about `want` files,
// listed as the only device.  Shared by bench_results_handover and
// bench_results_page.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "merrow.h"
#include "scan.h"

namespace benchimg {

inline double now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

inline std::vector<uint8_t> slurp(const std::string &path)
{
    std::vector<uint8_t> v;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return v;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        v.insert(v.end(), buf, buf + n);
    fclose(f);
    return v;
}


struct Image {
    std::string dir;           // removed by close()
    std::string path;
    std::vector<uint8_t> corpus;
    Partiton_Struct part{};
    size_t copies = 0, perCopy = 0;

    bool build(size_t n)
    {
        int fd = open(path.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
        if (fd < 0)
            return false;
        for (size_t i = 0; i < n; i++)
            if (write(fd, corpus.data(), corpus.size()) != (ssize_t)corpus.size()) {
                close(fd);
                return false;
            }
        ::close(fd);
        return true;
    }
    bool open_()
    {
        const char *paths[] = {path.c_str()};
        Salvitra_SetDiskImages(paths, 1);
        FullDevStruct();
        if (!GlobPointer)
            return false;
        part = Partiton_Struct{};
        part.Device = static_cast<Physics_Device_Struct *>(GlobPointer->data);
        part.PartSize = part.Device ? part.Device->DiskSize : 0;
        return true;
    }
    void close_()
    {
        FullDevStruct_exit();
        Salvitra_SetDiskImages(nullptr, 0);
    }
    void remove()
    {
        std::string rm = "rm -rf " + dir;
        if (system(rm.c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", dir.c_str());
    }
};

// Makes the corpus and an image of about `want` files; countFiles scans
// the listed image once and gives its file count.  False (with a line
// said) when the corpus tools are missing.
template <typename Count>
bool prepare(Image &im, size_t want, Count countFiles)
{
    char tmpl[] = "/tmp/bench_results.XXXXXX";
    if (!mkdtemp(tmpl))
        return false;
    im.dir = tmpl;
    std::string corpusDir = im.dir + "/corpus";
    std::string cmd = "mkdir -p " + corpusDir + " && PATH=$PATH:/sbin:/usr/sbin bash " SV_SOURCE_DIR
                      "/tests/fixtures/carving.sh " + corpusDir + " >/dev/null 2>&1";
    if (system(cmd.c_str()) == 0)
        im.corpus = slurp(corpusDir + "/raw.img");
    if (im.corpus.empty()) {
        printf("carving corpus unavailable (tools missing)\n");
        return false;
    }
    im.corpus.resize((im.corpus.size() + 511) / 512 * 512, 0);
    im.path = im.dir + "/image.img";
    if (!im.build(1) || !im.open_())
        return false;
    im.perCopy = countFiles(im.part);
    im.close_();
    if (im.perCopy == 0)
        return false;
    im.copies = (want + im.perCopy - 1) / im.perCopy;
    if (!im.build(im.copies) || !im.open_())
        return false;
    std::string cat = "cat " + im.path + " > /dev/null";
    return system(cat.c_str()) == 0;
}

}  // namespace benchimg
