// Ground truth of the carving corpus (tests/fixtures/carving.sh).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace svt {

struct CorpusFile {
    std::string name;
    std::string type;
    std::vector<uint8_t> bytes;
};

struct LayoutEntry {
    uint64_t offset;
    uint64_t size;
    std::string type; // "-" for a random gap, "frag" for a fragment
    std::string name;
};

struct Corpus {
    std::string dir;
    std::vector<CorpusFile> files;
    std::vector<LayoutEntry> layout;
    const CorpusFile *byName(const std::string &n) const;
};

const Corpus &carvingCorpus();

}  // namespace svt
