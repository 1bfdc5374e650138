// salvitra-cli on the output side, as a user runs it: names from a crafted
// medium never reach the terminal raw, arguments are refused with the
// reason, and output folders that cannot work are refused before the scan.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "test_support.h"

using svt::TempDir;

namespace {

std::string q(const std::string &s) { return svt::shellQuote(s); }

bool hasRawControl(const std::string &s)
{
    for (unsigned char c : s)
        if ((c < 0x20 && c != '\n') || c == 0x7F)
            return true;
    return s.find("\xC2\x9B") != std::string::npos;
}

TEST(CliOutput, NamesFromTheMediumNeverReachTheTerminalRaw)
{
    std::string img = svt::fixture("hostile_names") + "/fat-names.img";
    svt::CommandResult r = svt::runCli("scan --quick --partition 0 --image " + q(img));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(hasRawControl(r.out)) << r.out;
    EXPECT_NE(r.out.find("\\x1b[2J\\x07\\nRecovered 999 files\\r\\u009b"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\nRecovered 999"), std::string::npos);
    // A name that direction controls would show as "holidayexe.jpg".
    EXPECT_NE(r.out.find("  holiday\\u202egpj.exe\n"), std::string::npos) << r.out;

    // JSON keeps the exact name.
    r = svt::runCli("scan --quick --json --partition 0 --image " + q(img));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"\\u001b[2J\\u0007\\nRecovered 999 files\\r\xC2\x9B___.txt\""), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"holiday\xE2\x80\xAEgpj.exe\""), std::string::npos) << r.out;

    TempDir out;
    r = svt::runCli("recover --quick --partition 0 --image " + q(img) + " --out " + q(out.path()));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(hasRawControl(r.out)) << r.out;
    EXPECT_FALSE(hasRawControl(r.err)) << r.err;
    // The file itself comes back whole under a name with the controls replaced.
    auto data = svt::readFile(svt::fixture("hostile_names") + "/data.bin");
    EXPECT_EQ(svt::readFile(out.file("_[2J__Recovered 999 files_\xC2\x9B___.txt")), data);
    // Written so that it shows its real extension, and the change said.
    EXPECT_EQ(svt::readFile(out.file("holiday_gpj.exe")), data);
    EXPECT_NE(r.out.find("renamed: holiday\\u202egpj.exe was written as holiday_gpj.exe"), std::string::npos)
        << r.out;
}

TEST(CliOutput, ArgumentsAreReadAsTheUserMeantThem)
{
    std::string img = svt::fixture("hostile_names") + "/fat-names.img";
    // decimal, whatever the leading zeros
    svt::CommandResult r = svt::runCli("scan --quick --partition 010 --image " + q(img));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("there is no partition 10 "), std::string::npos) << r.err;
    r = svt::runCli("scan --quick --partition 08 --image " + q(img));
    EXPECT_NE(r.err.find("there is no partition 8 "), std::string::npos) << r.err;
    r = svt::runCli("scan --quick --partition 00 --image " + q(img));
    EXPECT_EQ(r.status, 0) << r.err;
    // an unknown type is refused with the list of known ones
    r = svt::runCli("scan --deep --partition 0 --types JPG,jpgg --image " + q(img));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown file type 'jpgg'"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("jpg, "), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Scanning"), std::string::npos) << r.err;
}

TEST(CliOutput, OutputFoldersThatCannotWorkAreRefusedBeforeTheScan)
{
    TempDir t;
    chmod(t.path().c_str(), 0755);
    std::string img = t.file("card.img");
    svt::writeFile(img, svt::readFile(svt::fixture("hostile_names") + "/fat-names.img"));
    chmod(img.c_str(), 0644);
    std::string rootOwned = t.file("root-owned");
    ASSERT_EQ(mkdir(rootOwned.c_str(), 0755), 0);
    if (geteuid() == 0 && svt::haveTool("setpriv")) {
        svt::CommandResult r = svt::run("setpriv --reuid=65534 --regid=65534 --clear-groups " +
                                        q(SV_CLI) + " recover --quick --partition 0 --image " + q(img) +
                                        " --out " + q(rootOwned + "/out") + " 2>&1");
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find("Permission denied"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Scanning"), std::string::npos) << r.out;
    }
    // The scanned image mounted (through a hard link): refused, and the
    // output folder is not created on it.
    img = t.file("ext2.img");
    svt::writeFile(img, svt::readFile(svt::fixture("output_media") + "/ext2.img"));
    std::string link = t.file("same.img");
    ASSERT_EQ(::link(img.c_str(), link.c_str()), 0);
    std::string mnt = t.file("mnt");
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    svt::CommandResult m = svt::run("mount -o loop " + q(link) + " " + q(mnt) + " 2>&1");
    if (m.status != 0)
        GTEST_SKIP() << "loop mounts are not allowed here: " << m.out;
    svt::CommandResult r = svt::runCli("recover --quick --partition 0 --image " + q(img) + " --out " +
                                       q(mnt + "/recovered"));
    svt::run("umount " + q(mnt));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("refusing to write recovered files onto the medium being scanned"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("Scanning"), std::string::npos) << r.err;
    svt::run("mount -o loop " + q(link) + " " + q(mnt));
    struct stat sb;
    EXPECT_NE(stat((mnt + "/recovered").c_str(), &sb), 0) << "the output folder was made on the scanned medium";
    svt::run("umount " + q(mnt));
}

// Run as root, the program must not load libtaskel from a folder another
// user can write, nor pick one up through the loader's search path.
TEST(CliOutput, LibtaskelIsLoadedOnlyFromBesideTheProgram)
{
    std::string ntfs = svt::fixture("output_media") + "/ntfs.img";
    struct stat sb;
    if (stat(ntfs.c_str(), &sb) != 0)
        GTEST_SKIP() << "mkntfs is missing";
    TempDir t;
    std::string bin = t.file("bin"), lib = t.file("lib");
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(lib.c_str(), 0777), 0);
    chmod(lib.c_str(), 0777);
    ASSERT_EQ(svt::run("cp " + q(SV_CLI) + " " + q(bin) + "/ && cp " + q(svt::buildDir() + "/lib/libtaskel.so") +
                       " " + q(lib) + "/").status, 0);
    const std::string args = " scan --quick --partition 0 --image " + q(ntfs) + " 2>&1";
    svt::CommandResult r = svt::run("SALVITRA_TRACE=1 " + q(bin + "/salvitra-cli") + args);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("another user could replace it"), std::string::npos) << r.out;
    chmod(lib.c_str(), 0755);
    r = svt::run(q(bin + "/salvitra-cli") + args);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("0 files found."), std::string::npos) << r.out;
    // No lib folder beside it: the loader's search path is not asked.
    ASSERT_EQ(svt::run("rm -r " + q(lib)).status, 0);
    r = svt::run("LD_LIBRARY_PATH=" + q(svt::buildDir() + "/lib") + " " + q(bin + "/salvitra-cli") + args);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("libtaskel could not be loaded"), std::string::npos) << r.out;
}

// Exit statuses a script can trust: 3 when a selected file came back only
// in part (here one that claims 4 GiB on an 8 MiB card), 0 when every one
// came back whole, 1 when the scan cannot start; --json tells each file's
// outcome.
TEST(CliOutput, ExitStatusesSayWhetherEveryFileCameBackWhole)
{
    std::string img = svt::fixture("hostile_names") + "/big-claim.img";
    TempDir out;
    svt::CommandResult r = svt::runCli("recover --quick --partition 0 --image " + q(img) + " --out " + q(out.path()));
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.out.find("damaged (its entry says 4294963200 bytes, but only the first 614400 bytes lie "
                         "in free space before the end of the volume or another file's data; kept as _IG.BIN.partial)"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Recovered 1 file (921600 bytes) into " + out.path() + "; 1 damaged (kept as .partial)."),
              std::string::npos)
        << r.out;
    TempDir out2;
    r = svt::runCli("recover --quick --json --partition 0 --image " + q(img) + " --out " + q(out2.path()));
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.out.find("\"result\": \"damaged\", \"path\": " + std::string("\"") + out2.path() + "/_IG.BIN.partial\""),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"written\": 1, \"damaged\": 1, \"skipped\": 0"), std::string::npos) << r.out;
    TempDir out3;
    r = svt::runCli("recover --quick --partition 0 --image " + q(img) + " --out " + q(out3.path()) +
                    " --only '*ECOND.BIN'");
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    r = svt::runCli("scan --quick --partition 0 --image " + q(svt::fixture("hostile_names") + "/data.bin"));
    EXPECT_EQ(r.status, 1) << r.err;
}

}  // namespace
