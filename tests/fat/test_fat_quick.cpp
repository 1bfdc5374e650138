// The quick scan on real FAT volumes: what is listed, what comes back.
#include <gtest/gtest.h>

#include <map>
#include <sys/stat.h>

#include "fat_backend.h"
#include "fat_test_util.h"
#include "recover.h"
#include "scan.h"
#include "test_support.h"

using namespace salvitra;

namespace {

std::string pathOf(const FoundFile &f)
{
    return f.folder.empty() ? f.name : f.folder + "/" + f.name;
}

struct Scan {
    std::unique_ptr<fatt::Volume> vol;
    std::unique_ptr<ScanSession> session;
    std::map<std::string, const FoundFile *> byPath;
};

std::unique_ptr<Scan> quickScan(const std::string &image, int32_t fsType)
{
    auto s = std::make_unique<Scan>();
    s->vol = fatt::Volume::load(image, fsType);
    ScanRequest req;
    req.part = s->vol->part();
    s->session = std::make_unique<ScanSession>(req);
    EXPECT_TRUE(s->session->supported());
    EXPECT_TRUE(s->session->run());
    for (const FoundFile &f : s->session->files())
        s->byPath[pathOf(f)] = &f;
    return s;
}

TEST(FatQuick, Fat16ListsDeletedFilesOnly)
{
    std::string dir = svt::fixture("fat16");
    auto s = quickScan(dir + "/fat16.img", FS_FAT16);
    for (const fatt::Truth &t : fatt::readTruth(dir)) {
        auto it = s->byPath.find(t.path);
        if (t.state == "live") {
            EXPECT_TRUE(it == s->byPath.end()) << "live file listed: " << t.path;
            continue;
        }
        ASSERT_TRUE(it != s->byPath.end()) << "not found: " << t.path;
        EXPECT_EQ(it->second->size, t.size) << t.path;
    }
    for (const auto &kv : s->byPath)
        EXPECT_EQ(kv.first.find("Archive"), std::string::npos) << kv.first;
}

}  // namespace
