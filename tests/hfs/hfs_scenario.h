// The journaled HFS+ volume most HFS+ tests share, and its ground truth.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "hfs_builder.h"

namespace svt {

struct HfsExpected {
    uint32_t cnid = 0;
    uint32_t parent = 0;
    bool folder = false;
    std::string name;            // UTF-8 as stored
    std::string path;            // folder path the driver should give ("" root)
    uint64_t dataSize = 0;
    uint32_t createDate = 0;
    bool hasData = false, hasRsrc = false;
    uint32_t firstStart = 0, firstCount = 0;   // first extent of the first stored fork
    std::vector<uint8_t> data;   // the data fork's bytes (files)
    bool complete = true;        // all of the data fork lies in the recorded extents
};

struct HfsScenario {
    std::vector<uint8_t> image;
    std::map<uint32_t, HfsExpected> records;   // what the journal scan must list, by CNID
    std::map<uint32_t, HfsExpected> live;      // what the live catalog holds (CNID > 16)
    uint64_t journalOffset = 0, journalSize = 0;
    uint64_t catalogOffset = 0, jibOffset = 0;
    uint32_t blockSize = 0;
};

// A 8 MiB volume, 4 KiB blocks, 4096-byte catalog nodes, 8192-byte
// attributes nodes, a 1 MiB journal (512-byte journal header, so node
// copies sit at 512-byte but not 4096-byte boundaries).  The journal holds
// three transactions: catalog leaf node 1, leaf node 2, and node 1 again
// after some files were deleted and one was rewritten.
// hfsx: the case-sensitive variant ("HX", version 5).
HfsScenario makeHfsScenario(bool bigEndianJournal = false, bool hfsx = false);

}  // namespace svt
