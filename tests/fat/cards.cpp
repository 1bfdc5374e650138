#include "cards.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "fat_test_util.h"
#include "recover.h"
#include "scan.h"
#include "test_support.h"

using namespace salvitra;

namespace fatt {

namespace {

struct CardFile {
    std::string path;
    uint64_t size = 0;
    std::string sha256;
    std::string state;
};

std::vector<CardFile> cardTruth(const std::string &dir, const std::string &image)
{
    std::vector<CardFile> out;
    std::ifstream in(dir + "/truth.tsv");
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> col;
        std::stringstream ss(line);
        for (std::string c; std::getline(ss, c, '\t');)
            col.push_back(c);
        if (col.size() == 5 && col[0] == image)
            out.push_back({col[1], std::stoull(col[2]), col[3], col[4]});
    }
    return out;
}

std::string pathOf(const FoundFile &f) { return f.folder.empty() ? f.name : f.folder + "/" + f.name; }

}  // namespace

void expectCardComesBack(const std::string &image, int32_t fsType,
                         const std::function<std::string(std::string)> &rename)
{
    std::string dir = svt::fixture("cards");
    std::ifstream skip(dir + "/SKIP_" + image.substr(0, image.find('.')));
    std::string why;
    if (skip && std::getline(skip, why))
        GTEST_SKIP() << why;
    std::vector<CardFile> truth = cardTruth(dir, image);
    ASSERT_FALSE(truth.empty());
    FileVolume vol(dir + "/" + image, fsType);
    ScanRequest req;
    req.part = vol.part();
    ScanJob job(req);
    ASSERT_TRUE(job.run());
    EXPECT_EQ(job.files().size(), truth.size());
    std::vector<const FoundFile *> all;
    for (const FoundFile &f : job.files())
        all.push_back(&f);
    svt::TempDir out;
    RecoverOptions opt;
    opt.outDir = out.path();
    RecoverSummary sum = recoverFiles(job, all, opt);
    std::map<std::string, std::pair<const FoundFile *, std::string>> byPath;
    for (const RecoveredFile &rf : sum.files)
        byPath[pathOf(*rf.file)] = {rf.file, rf.path};
    for (const CardFile &t : truth) {
        auto it = byPath.find(rename(t.path));
        ASSERT_TRUE(it != byPath.end()) << "not found: " << rename(t.path);
        const FoundFile &f = *it->second.first;
        EXPECT_EQ(f.size, t.size) << t.path;
        EXPECT_EQ(f.state, t.state == "unverified" ? FileState::Unverified : FileState::Deleted) << t.path;
        EXPECT_EQ(sha256Hex(readAll(it->second.second)), t.sha256) << t.path;
    }
}

}  // namespace fatt
