// The recovery report beside the recovered files: every file with its
// path, size, SHA-256, state, verdict, byte runs and dates, as CSV and as
// DFXML that validates against the published schema (schemas/dfxml).
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "inventory.h"
#include "recover.h"
#include "scan.h"
#include "test_support.h"

using namespace salvitra;

namespace {

std::vector<std::vector<std::string>> csvRows(const std::string &path)
{
    std::vector<std::vector<std::string>> rows;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::vector<std::string> f;
        std::istringstream s(line);
        for (std::string v; std::getline(s, v, ',');)
            f.push_back(v);
        if (!line.empty() && line.back() == ',')
            f.push_back("");
        rows.push_back(f);
    }
    return rows;
}

void expectValidDfxml(const std::string &xml)
{
    if (!svt::haveTool("xmllint"))
        return;
    svt::CommandResult r = svt::run("xmllint --noout --schema " +
                                    svt::shellQuote(svt::sourceDir() + "/schemas/dfxml/dfxml.xsd") + " " +
                                    svt::shellQuote(xml));
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST(RecoveryReport, EveryFileWithItsChecksumRunsAndDatesThroughAnyImageFormat)
{
    std::string dir = svt::fixture("images");
    std::vector<uint8_t> raw = svt::readFile(dir + "/disk.img");
    std::map<std::string, std::string> want;  // name -> sha256
    for (const auto &row : csvRows(dir + "/deleted.tsv")) {
        std::istringstream s(row[0]);
        std::string name, size, sum;
        std::getline(s, name, '\t');
        std::getline(s, size, '\t');
        std::getline(s, sum, '\t');
        want[name] = sum;
    }
    for (const char *image : {"disk.img", "ewf/disk.E01"}) {
        SCOPED_TRACE(image);
        svt::TempDir t;
        Inventory inv;
        std::string err;
        ASSERT_TRUE(inv.build({dir + "/" + image}, &err)) << err;
        ScanRequest req;
        req.part = inv.partition(0)->part;
        req.inventory = &inv;
        ScanJob job(req);
        ASSERT_TRUE(job.run().ok());
        RecoverOptions opt;
        opt.outDir = t.file("out");
        RecoverSummary sum = recoverFiles(job, selectFiles(job, {}, {}), opt);
        ASSERT_EQ(sum.report.csv, t.file("out") + "/salvitra-report.csv") << sum.report.error;
        ASSERT_EQ(sum.report.xml, t.file("out") + "/salvitra-report.xml");
        expectValidDfxml(sum.report.xml);

        auto rows = csvRows(sum.report.csv);
        ASSERT_EQ(rows.size(), 4u);
        EXPECT_EQ(rows[0][0], "path");
        EXPECT_EQ(rows[0][14], "byte_runs");
        std::map<std::string, const FoundFile *> found;
        for (const FoundFile &f : job.files())
            found[f.name] = &f;
        for (size_t i = 1; i < rows.size(); i++) {
            const auto &r = rows[i];
            ASSERT_EQ(r.size(), 16u);
            const std::string &name = r[6];
            ASSERT_TRUE(want.count(name)) << name;
            std::vector<uint8_t> file = svt::readFile(r[0]);
            EXPECT_EQ(r[0], t.file("out") + "/" + name);
            EXPECT_EQ(r[1], std::to_string(file.size()));
            EXPECT_EQ(r[2], want[name]);
            EXPECT_EQ(r[3], "deleted");
            EXPECT_EQ(r[4], "unknown");
            EXPECT_EQ(r[10], dir + "/" + image);
            EXPECT_EQ(r[11], "0");
            EXPECT_EQ(r[12], "1048576");
            EXPECT_EQ(r[13], "FAT16");
            // The runs, read from the raw disk, are the file.
            std::vector<uint8_t> again;
            std::istringstream runs(r[14]);
            for (std::string run; runs >> run;) {
                uint64_t off = std::stoull(run.substr(0, run.find('+')));
                uint64_t len = std::stoull(run.substr(run.find('+') + 1));
                ASSERT_LE(off + len, raw.size());
                again.insert(again.end(), raw.begin() + (ptrdiff_t)off, raw.begin() + (ptrdiff_t)(off + len));
            }
            EXPECT_TRUE(again == file) << name;
            char when[32];
            time_t mt = (time_t)found[name]->mtime;
            struct tm tmv;
            strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&mt, &tmv));
            EXPECT_EQ(r[8], when);
        }
    }
}

TEST(RecoveryReport, NamesFromTheMediumStayInertAndEveryRecoveryKeepsItsOwn)
{
    std::string fx = svt::fixture("hostile_names");
    svt::TempDir t;
    std::string out = t.file("out");
    auto recover = [&](const std::string &img, const std::string &extra) {
        return svt::runCli("recover --quick --partition 0 --image " + svt::shellQuote(fx + "/" + img) + " --out " +
                           svt::shellQuote(out) + extra);
    };
    svt::CommandResult r = recover("fat-names.img", "");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Report: " + out + "/salvitra-report.csv"), std::string::npos) << r.out;
    std::string csv = svt::run("cat " + svt::shellQuote(out + "/salvitra-report.csv")).out;
    for (size_t i = 0; i < csv.size(); i++)
        if ((unsigned char)csv[i] < 0x20 && csv[i] != '\r' && csv[i] != '\n')
            ADD_FAILURE() << "raw control character at " << i;
    EXPECT_NE(csv.find("\\x1b[2J\\x07\\nRecovered 999 files\\r\\u009b"), std::string::npos) << csv;
    expectValidDfxml(out + "/salvitra-report.xml");

    // A second recovery into the folder, and one whose report is named:
    // no report is written over.
    r = recover("big-claim.img", "");
    EXPECT_EQ(r.status, 3) << r.err;
    auto rows = csvRows(out + "/salvitra-report (1).csv");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1][4], "damaged") << rows[1][0];
    EXPECT_EQ(rows[2][4], "unknown");
    expectValidDfxml(out + "/salvitra-report (1).xml");
    r = recover("big-claim.img", " --report case-42.csv");
    EXPECT_NE(r.out.find("Report: " + out + "/case-42.csv, " + out + "/case-42.xml"), std::string::npos) << r.out;
    EXPECT_EQ(csvRows(out + "/case-42.csv").size(), 3u);
}

}  // namespace
