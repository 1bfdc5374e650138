// Ctrl-C in salvitra-cli: a scan or a recovery stops cleanly, says what it
// kept, and exits with status 130.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "bmp_run.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// salvitra-cli running in the background, its output going to files.
class Background {
public:
    Background(const svt::TempDir &t, const std::vector<std::string> &args) : t_(t)
    {
        pid_ = fork();
        if (pid_ == 0) {
            int out = open(t.file("out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(t.file("err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(err, 2);
            std::vector<char *> argv{const_cast<char *>(SV_CLI)};
            for (const std::string &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(SV_CLI, argv.data());
            _exit(127);
        }
    }
    ~Background()
    {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    // Sends SIGINT; the exit status and the seconds until the exit.
    std::pair<int, double> interrupt()
    {
        auto t0 = Clock::now();
        kill(pid_, SIGINT);
        int st = 0;
        waitpid(pid_, &st, 0);
        reaped_ = true;
        double secs = std::chrono::duration<double>(Clock::now() - t0).count();
        return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, secs};
    }
    bool running()
    {
        return waitpid(pid_, nullptr, WNOHANG) == 0;
    }
    // Bytes the program has read so far (its rchar).
    uint64_t bytesRead() const
    {
        std::ifstream io("/proc/" + std::to_string(pid_) + "/io");
        std::string key;
        uint64_t value = 0;
        while (io >> key >> value)
            if (key == "rchar:")
                return value;
        return 0;
    }
    std::string out() const { return text("out.txt"); }
    std::string err() const { return text("err.txt"); }

private:
    std::string text(const char *name) const
    {
        std::vector<uint8_t> b = svt::readFile(t_.file(name));
        return std::string(b.begin(), b.end());
    }
    const svt::TempDir &t_;
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// Waits (up to about 15 s) until something has been written into file.
bool copyingInto(const std::string &file)
{
    struct stat sb {};
    for (int i = 0; i < 3000; i++) {
        if (stat(file.c_str(), &sb) == 0 && sb.st_size > 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// A large sparse medium with a picture at its start, written as the header
// (and pixels) of a BMP of `pictureBytes`.
std::string sparseMedium(const svt::TempDir &t, uint64_t mediumBytes, uint32_t pictureBytes)
{
    std::string path = t.file("medium.img");
    std::vector<uint8_t> head = svt::bmpFile(std::min<uint32_t>(pictureBytes, 4096), 5);
    head[2] = (uint8_t)pictureBytes;
    head[3] = (uint8_t)(pictureBytes >> 8);
    head[4] = (uint8_t)(pictureBytes >> 16);
    head[5] = (uint8_t)(pictureBytes >> 24);
    // Wide enough for a height the format allows.
    uint32_t width = pictureBytes > (1u << 20) ? 4096 : 16;
    uint32_t height = (pictureBytes - 54) / (width * 3);
    for (int i = 0; i < 4; i++) {
        head[18 + i] = (uint8_t)(width >> (8 * i));
        head[22 + i] = (uint8_t)(height >> (8 * i));
    }
    svt::writeFile(path, head);
    EXPECT_EQ(truncate(path.c_str(), (off_t)mediumBytes), 0);
    return path;
}

TEST(CliInterrupt, CtrlCStopsAScanAndListsWhatWasFound)
{
    svt::TempDir t;
    std::string medium = sparseMedium(t, 64ull << 30, 1024);
    Background cli(t, {"scan", "--deep", "--device", "0", "--image", medium});
    // Once the scan has read well past the picture it has found it (the
    // deadline only catches a hang).
    for (int i = 0; i < 24000 && cli.running() && cli.bytesRead() < (16u << 20); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(cli.running()) << cli.err();
    auto [status, secs] = cli.interrupt();
    (void)secs;
    EXPECT_EQ(status, 130) << cli.err();
    EXPECT_NE(cli.err().find("Scan stopped; 1 file found so far is listed."), std::string::npos) << cli.err();
    EXPECT_NE(cli.out().find("bmp: 1 file"), std::string::npos) << cli.out();
}

TEST(CliInterrupt, CtrlCStopsARecoveryAndKeepsTheIncompleteFile)
{
    svt::TempDir t;
    const uint32_t kPicture = 256u << 20;
    std::string medium = sparseMedium(t, kPicture + (1u << 20), kPicture);
    std::string outDir = t.file("out");
    Background cli(t, {"recover", "--deep", "--device", "0", "--image", medium, "--out", outDir});
    // Written as NAME.partial from its first byte.
    std::string file = outDir + "/Found by content/bmp/0.bmp";
    struct stat sb {};
    ASSERT_TRUE(copyingInto(file + ".partial")) << cli.err();
    auto [status, secs] = cli.interrupt();
    (void)secs;
    EXPECT_EQ(status, 130) << cli.err();
    // A file cut short never gets its name: it is kept as NAME.partial.
    EXPECT_NE(stat(file.c_str(), &sb), 0);
    file += ".partial";
    ASSERT_EQ(stat(file.c_str(), &sb), 0);
    EXPECT_GT(sb.st_size, 0);
    EXPECT_LT((uint64_t)sb.st_size, (uint64_t)kPicture);
    std::string says = "incomplete (stopped after " + std::to_string(sb.st_size) + " bytes; kept as Found by content/bmp/0.bmp.partial)";
    EXPECT_NE(cli.out().find(says), std::string::npos) << cli.out();
    EXPECT_NE(cli.out().find("Recovery stopped before the end"), std::string::npos) << cli.out();
    // What was written is the medium's bytes.
    std::vector<uint8_t> got = svt::readFile(file);
    std::vector<uint8_t> want(got.size());
    int fd = open(medium.c_str(), O_RDONLY);
    ASSERT_EQ(pread(fd, want.data(), want.size(), 0), (ssize_t)want.size());
    close(fd);
    EXPECT_TRUE(got == want);
}

// Killed outright in the middle of a file (as by a crash): what is left
// has no name that passes for a whole file.
TEST(CliInterrupt, AKilledRecoveryLeavesOnlyAPartialFile)
{
    svt::TempDir t;
    const uint32_t kPicture = 256u << 20;
    std::string medium = sparseMedium(t, kPicture + (1u << 20), kPicture);
    std::string outDir = t.file("out");
    std::string file = outDir + "/Found by content/bmp/0.bmp";
    {
        Background cli(t, {"recover", "--deep", "--device", "0", "--image", medium, "--out", outDir});
        ASSERT_TRUE(copyingInto(file + ".partial")) << cli.err();
    }  // SIGKILL
    struct stat sb {};
    EXPECT_NE(stat(file.c_str(), &sb), 0) << "a cut file under the name of a whole one";
    EXPECT_EQ(stat((file + ".partial").c_str(), &sb), 0);
}

}  // namespace
