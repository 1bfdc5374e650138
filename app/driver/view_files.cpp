#include "view_files.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <ftw.h>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "recover.h"

namespace salvitra {

namespace {

const char *const kFolderNames[] = {"Salvitra Data Recovery", "Salvitra Data Recovery Temp"};

int removeEntry(const char *path, const struct stat *, int flag, struct FTW *ftw)
{
    if (ftw->level == 0)
        return 0;  // the folder itself stays
    int rc = (flag == FTW_DP) ? rmdir(path) : unlink(path);
    // Keep going: one stubborn entry must not leave the rest behind.
    if (rc != 0)
        errno = 0;
    return 0;
}

// The folder exists, is a real folder (not a link), belongs to this user
// and only this user may write into it.
bool privateFolder(const std::string &dir)
{
    struct stat sb;
    if (lstat(dir.c_str(), &sb) != 0)
        return false;
    return S_ISDIR(sb.st_mode) && sb.st_uid == geteuid() && (sb.st_mode & 022) == 0;
}

// Every live ViewFiles, so that their copies go at exit even when an owner
// is never destroyed (a page leaked or ended by exit()).
std::mutex g_liveMu;
std::set<ViewFiles *> *g_live = nullptr;

void releaseAllAtExit()
{
    std::set<ViewFiles *> live;
    {
        std::lock_guard<std::mutex> lock(g_liveMu);
        if (g_live)
            live = *g_live;
    }
    for (ViewFiles *v : live)
        v->release();
}

void track(ViewFiles *v, bool add)
{
    std::lock_guard<std::mutex> lock(g_liveMu);
    if (!g_live) {
        g_live = new std::set<ViewFiles *>();
        std::atexit(releaseAllAtExit);
    }
    if (add)
        g_live->insert(v);
    else
        g_live->erase(v);
}

}  // namespace

std::string systemTempDir()
{
    const char *t = getenv("TMPDIR");
    std::string dir = (t && t[0] == '/') ? t : "/tmp";
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}

std::string viewFolderPath(ViewFolder which)
{
    return systemTempDir() + "/" + kFolderNames[which == ViewFolder::Preview] + "/";
}

bool removeFolderContent(const std::string &dir)
{
    struct stat sb;
    if (lstat(dir.c_str(), &sb) != 0 || !S_ISDIR(sb.st_mode))
        return false;
    nftw(dir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
    DIR *d = opendir(dir.c_str());
    if (!d)
        return false;
    bool empty = true;
    while (struct dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..")
            empty = false;
    }
    closedir(d);
    return empty;
}

ViewFiles::ViewFiles()
{
    track(this, true);
}

ViewFiles::~ViewFiles()
{
    release();
    track(this, false);
}

bool ViewFiles::prepare(ViewFolder which)
{
    std::string dir = viewFolderPath(which);
    dir.pop_back();
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    if (!privateFolder(dir))
        return false;
    int slot = which == ViewFolder::Preview;
    if (!used_[slot]) {
        // Left over from an earlier run: nothing in it belongs to this scan.
        removeFolderContent(dir);
        used_[slot] = true;
    }
    return true;
}

std::string ViewFiles::extract(ScanJob &job, const FoundFile &file, uint32_t index,
                               ViewFolder which, uint64_t maxBytes)
{
    if (!file.readable() || file.size == 0 || file.size > maxBytes)
        return {};
    if (!prepare(which))
        return {};
    // The index keeps two files of the same name apart.
    std::string path = viewFolderPath(which) + std::to_string(index) + "-" + safePathComponent(file.name);
    struct stat sb;
    if (lstat(path.c_str(), &sb) == 0)
        return S_ISREG(sb.st_mode) ? path : std::string();
    WriteStats stats;
    WriteResult r = job.write(file, path, stats);
    // A damaged file is shown as far as it could be read.
    if (r != WriteResult::Ok && !(r == WriteResult::Damaged && stats.bytes > 0)) {
        if (r != WriteResult::Exists)
            unlink(path.c_str());
        return {};
    }
    return path;
}

void ViewFiles::clear(ViewFolder which)
{
    std::string dir = viewFolderPath(which);
    if (privateFolder(dir.substr(0, dir.size() - 1)))
        removeFolderContent(dir);
}

void ViewFiles::release()
{
    for (ViewFolder w : {ViewFolder::Thumbnails, ViewFolder::Preview}) {
        if (used_[w == ViewFolder::Preview])
            clear(w);
    }
}

}  // namespace salvitra
