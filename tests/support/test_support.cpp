#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <vector>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace svt {

std::string sourceDir() { return SV_SOURCE_DIR; }
std::string buildDir() { return SV_BUILD_DIR; }

std::string shellQuote(const std::string &s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

static std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

CommandResult run(const std::string &cmdline)
{
    TempDir t;
    std::string out = t.file("out"), err = t.file("err");
    std::string full = "(" + cmdline + ") >" + shellQuote(out) + " 2>" + shellQuote(err) + " </dev/null";
    int st = system(full.c_str());
    CommandResult r;
    r.status = (st != -1 && WIFEXITED(st)) ? WEXITSTATUS(st) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

CommandResult runCli(const std::string &args, const std::string &env)
{
    return run(env + (env.empty() ? "" : " ") + shellQuote(SV_CLI) + " " + args);
}

bool haveTool(const std::string &tool)
{
    std::string cmd = "PATH=$PATH:/sbin:/usr/sbin command -v " + shellQuote(tool) + " >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

// The text a fixture is made from: its script and every helper of the
// fixture folder that it names, directly or through another helper.
static std::string fixtureSource(const std::string &script)
{
    std::string dir = sourceDir() + "/tests/fixtures/";
    std::string text = slurp(dir + script + ".sh");
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.' && std::string(e->d_name) != script + ".sh")
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::vector<bool> taken(names.size(), false);
    for (bool more = true; more;) {
        more = false;
        for (size_t i = 0; i < names.size(); i++) {
            if (!taken[i] && text.find("/" + names[i]) != std::string::npos) {
                taken[i] = more = true;
                text += slurp(dir + names[i]);
            }
        }
    }
    return text;
}

std::string fixture(const std::string &script)
{
    std::string root = buildDir() + "/fixtures";
    mkdir(root.c_str(), 0755);
    std::string dir = root + "/" + script;
    std::string stamp = dir + "/.done";
    std::string lockPath = root + "/" + script + ".lock";
    int lock = open(lockPath.c_str(), O_CREAT | O_RDWR, 0644);
    if (lock >= 0)
        flock(lock, LOCK_EX);
    // The stamp names the text it was made from: an edited script or
    // helper makes its images again.
    std::string scriptPath = sourceDir() + "/tests/fixtures/" + script + ".sh";
    std::string want = "ok " + std::to_string(std::hash<std::string>()(fixtureSource(script))) + "\n";
    if (slurp(stamp) != want) {
        std::string cmd = "rm -rf " + shellQuote(dir) + " && mkdir -p " + shellQuote(dir) +
                          " && PATH=$PATH:/sbin:/usr/sbin bash " + shellQuote(scriptPath) + " " +
                          shellQuote(dir);
        CommandResult r = run(cmd);
        if (r.status == 0) {
            std::ofstream(stamp) << want;
        } else {
            ADD_FAILURE() << "fixture " << script << " failed (" << r.status << "):\n"
                          << r.out << r.err;
        }
    }
    if (lock >= 0) {
        flock(lock, LOCK_UN);
        close(lock);
    }
    return dir;
}

TempDir::TempDir()
{
    std::string tmpl = (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + std::string("/svtest.XXXXXX");
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        abort();
    path_ = buf.data();
}

TempDir::~TempDir()
{
    std::string cmd = "rm -rf " + shellQuote(path_);
    if (system(cmd.c_str()) != 0) {
        // Nothing to do: a leftover temporary folder is harmless.
    }
}

bool exists(const std::string &path)
{
    struct stat sb;
    return lstat(path.c_str(), &sb) == 0;
}

std::vector<uint8_t> readFile(const std::string &path)
{
    std::string s = slurp(path);
    return std::vector<uint8_t>(s.begin(), s.end());
}

void writeFile(const std::string &path, const std::vector<uint8_t> &data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(data.data()), (std::streamsize)data.size());
}

std::vector<uint8_t> patternBytes(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v[i] = (uint8_t)x;
    }
    return v;
}

ImageSet::ImageSet(const std::vector<std::string> &images)
{
    std::vector<const char *> p;
    for (const auto &s : images)
        p.push_back(s.c_str());
    Salvitra_SetDiskImages(p.data(), (int)p.size());
    FullDevStruct();
    FullPartitionBlock();
}

ImageSet::~ImageSet()
{
    FullPartitionBlock_exit();
    FullDevStruct_exit();
    Salvitra_SetDiskImages(nullptr, 0);
}

Physics_Device_Struct *ImageSet::device(int devNum) const
{
    for (_Device_List *n = GlobPointer; n; n = n->next) {
        auto *d = static_cast<Physics_Device_Struct *>(n->data);
        if (d->DevNum == devNum)
            return d;
    }
    return nullptr;
}

std::vector<Partiton_Struct *> ImageSet::partitions() const
{
    std::vector<Partiton_Struct *> v;
    for (_Device_List *n = GlobPointerPartiton; n; n = n->next)
        v.push_back(static_cast<Partiton_Struct *>(n->data));
    return v;
}

}  // namespace svt
