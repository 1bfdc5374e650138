#include "nbd_medium.h"

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace svt {

namespace {

std::string slurpText(const std::string &path)
{
    std::ifstream f(path);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace

NbdMedium::NbdMedium(const std::string &image, const std::vector<std::pair<uint64_t, uint64_t>> &bad)
{
    if (!haveTool("nbdkit") || !haveTool("nbdfuse")) {
        why_ = "nbdkit or nbdfuse is missing";
        return;
    }
    int fuse = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fuse < 0) {
        why_ = std::string("/dev/fuse: ") + strerror(errno);
        return;
    }
    close(fuse);
    struct stat sb;
    if (stat(image.c_str(), &sb) != 0) {
        why_ = image + ": " + strerror(errno);
        return;
    }
    // The filter's map: every byte finished but the bad ones.
    std::string map = dir_.file("medium.map");
    {
        FILE *f = fopen(map.c_str(), "w");
        fprintf(f, "# current_pos  current_status  current_pass\n0x0 + 1\n");
        uint64_t at = 0, size = (uint64_t)sb.st_size;
        for (const auto &b : bad) {
            if (b.first > at)
                fprintf(f, "0x%" PRIX64 " 0x%" PRIX64 " +\n", at, b.first - at);
            fprintf(f, "0x%" PRIX64 " 0x%" PRIX64 " -\n", b.first, b.second - b.first);
            at = b.second;
        }
        if (at < size)
            fprintf(f, "0x%" PRIX64 " 0x%" PRIX64 " +\n", at, size - at);
        fclose(f);
    }
    std::string mnt = dir_.file("mnt"), pidfile = dir_.file("nbdfuse.pid"), log = dir_.file("nbdfuse.log");
    mkdir(mnt.c_str(), 0755);
    path_ = mnt + "/medium";

    // Ready when nbdfuse writes its pid file: watched, not polled.
    int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    inotify_add_watch(watch, dir_.path().c_str(), IN_CLOSE_WRITE | IN_MOVED_TO);

    std::vector<std::string> args = {"nbdfuse", "-P", pidfile, path_, "--command", "nbdkit", "-s", "-r",
                                     "--filter=ddrescue", "file", "file=" + image, "ddrescue-mapfile=" + map};
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, "nbdfuse", &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        why_ = std::string("nbdfuse: ") + strerror(rc);
        close(watch);
        return;
    }
    int pidfd = (int)syscall(SYS_pidfd_open, pid, 0);
    bool ready = false, exited = false;
    // At most a minute for a FUSE mount, on a machine busy with other work.
    for (int rounds = 0; rounds < 600 && !ready && !exited; rounds++) {
        struct pollfd fds[2] = {{watch, POLLIN, 0}, {pidfd, POLLIN, 0}};
        poll(fds, pidfd >= 0 ? 2 : 1, 100);
        char buf[4096];
        while (read(watch, buf, sizeof buf) > 0) {
        }
        ready = access(pidfile.c_str(), F_OK) == 0 && stat(path_.c_str(), &sb) == 0;
        exited = waitpid(pid, nullptr, WNOHANG) == pid;
    }
    if (pidfd >= 0)
        close(pidfd);
    close(watch);
    if (!ready) {
        why_ = "nbdfuse did not start: " + slurpText(log);
        if (!exited) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        return;
    }
    pid_ = pid;
}

NbdMedium::~NbdMedium()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    // Gone with its mount; should it have left one, take it down.
    struct stat sb;
    if (stat(path_.c_str(), &sb) == 0)
        run("fusermount3 -u -q " + shellQuote(dir_.file("mnt")));
}

}  // namespace svt
