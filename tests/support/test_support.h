// Shared helpers of the test suite.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "merrow.h"

namespace svt {

std::string sourceDir();
std::string buildDir();

// Runs tests/fixtures/<script>.sh OUTDIR once per build (guarded by a lock,
// since CTest runs test processes in parallel) and returns OUTDIR.  The
// script writes its images and ground truth into OUTDIR; a failing script
// fails the calling test.
std::string fixture(const std::string &script);

// True when a command exists on PATH (also /sbin and /usr/sbin).
bool haveTool(const std::string &tool);

// A folder removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct CommandResult {
    int status = -1;     // exit status, or -1 when it did not exit normally
    std::string out;     // standard output
    std::string err;     // standard error
};

// Runs a shell command line and captures both streams.
CommandResult run(const std::string &cmdline);
// Runs salvitra-cli with the given argument string (already quoted).
CommandResult runCli(const std::string &args, const std::string &env = "");
std::string shellQuote(const std::string &s);

std::vector<uint8_t> readFile(const std::string &path);
// True when something (a link too) is at path.
bool exists(const std::string &path);
void writeFile(const std::string &path, const std::vector<uint8_t> &data);
// Deterministic pseudo-random bytes.
std::vector<uint8_t> patternBytes(size_t n, uint32_t seed);

// Holds the core library's lists for one test, torn down in the right order.
struct ImageSet {
    explicit ImageSet(const std::vector<std::string> &images);
    ~ImageSet();
    Physics_Device_Struct *device(int devNum) const;
    std::vector<Partiton_Struct *> partitions() const;
};

}  // namespace svt
