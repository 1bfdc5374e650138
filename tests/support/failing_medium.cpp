#include "failing_medium.h"

#include <cerrno>
#include <fcntl.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_support.h"

namespace svt {

namespace {

constexpr long kFuseMagic = 0x65735546;

bool mounted(const std::string &mnt)
{
    struct statfs sf;
    return statfs(mnt.c_str(), &sf) == 0 && sf.f_type == kFuseMagic;
}

}  // namespace

FailingMedium::FailingMedium(const std::string &image, const Options &o)
{
#ifndef SV_FAULTYFS
    why_ = "the failing-medium server was not built (libfuse3 is missing)";
    (void)image;
    (void)o;
#else
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        why_ = "/dev/fuse cannot be used here";
        return;
    }
    char tmpl[] = "/tmp/sv-failing-XXXXXX";
    if (!mkdtemp(tmpl)) {
        why_ = "no temporary folder";
        return;
    }
    dir_ = tmpl;
    mnt_ = dir_ + "/mnt";
    mkdir(mnt_.c_str(), 0755);
    std::string badFile = dir_ + "/bad.txt";
    {
        std::ofstream f(badFile);
        for (const auto &r : o.bad)
            f << r.first << " " << r.second << "\n";
    }
    std::string vanish = std::to_string(o.vanishAt), latency = std::to_string(o.latencyUs),
                mbps = std::to_string(o.mbps);
    pid_ = fork();
    if (pid_ == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        std::vector<const char *> argv{SV_FAULTYFS, image.c_str(), mnt_.c_str(), "--bad", badFile.c_str()};
        if (o.vanishAt != UINT64_MAX) {
            argv.push_back("--vanish-at");
            argv.push_back(vanish.c_str());
        }
        if (o.cached)
            argv.push_back("--cached");
        if (o.latencyUs) {
            argv.push_back("--latency-us");
            argv.push_back(latency.c_str());
        }
        if (o.mbps) {
            argv.push_back("--mbps");
            argv.push_back(mbps.c_str());
        }
        argv.push_back(nullptr);
        execv(SV_FAULTYFS, const_cast<char *const *>(argv.data()));
        _exit(127);
    }
    // The mount is the event: wait for it, or for the server to give up.
    for (int i = 0; i < 24000; i++) {
        if (mounted(mnt_))
            break;
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            why_ = "the FUSE server could not mount (exit status " +
                   std::to_string(WIFEXITED(st) ? WEXITSTATUS(st) : -1) + ")";
            return;
        }
        usleep(5000);
    }
    if (!mounted(mnt_)) {
        why_ = "the FUSE server did not mount";
        return;
    }
    path_ = mnt_ + "/disk";
    ok_ = true;
#endif
}

void FailingMedium::vanish()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

FailingMedium::~FailingMedium()
{
    vanish();
    if (!mnt_.empty()) {
        // A server that went away leaves its mount point behind.
        run("fusermount3 -u -z " + shellQuote(mnt_) + " 2>/dev/null || umount -l " + shellQuote(mnt_) +
            " 2>/dev/null");
        rmdir(mnt_.c_str());
    }
    if (!dir_.empty())
        run("rm -rf " + shellQuote(dir_));
}

BadSectors spreadBadSectors(uint64_t sectors, double share, uint32_t seed)
{
    std::mt19937_64 rng(seed);
    std::set<uint64_t> picked;
    uint64_t want = (uint64_t)((double)sectors * share);
    while (picked.size() < want && picked.size() < sectors)
        picked.insert(rng() % sectors);
    BadSectors out;
    for (uint64_t s : picked)
        out.emplace_back(s, 1);
    return out;
}

}  // namespace svt
