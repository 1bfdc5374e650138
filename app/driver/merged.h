// The deep scan: one pass of the content search over a partition, a range
// of it or a whole device, merged with what the file systems there still
// name.
//
// For every volume it covers (the partition itself, or each volume of a
// device's partition table) the deep scan runs the volume's quick scanner
// and, where the file system has one, the formatted-volume search, which
// takes its pass over the volume from the content search's windows rather
// than reading the medium again.  The results become one set:
//  - a file found by content where a named file's data starts is that
//    file: one entry, with the name, folder and dates the file system
//    keeps, noted "confirmed by content";
//  - a file found by content inside the data of a file the volume holds
//    now (a thumbnail in a photo, a picture in a document) is not a lost
//    file: it is left out and counted, as is one inside a listed file whose
//    structure checks out;
//  - files found only by content go under "Found by content/<type>".
// Every file gets a verdict from evidence (FoundFile::verdict, ::why):
// whether its data is still free, whether another file claims any of it,
// and whether its format's structure checks out to its end.
//
// The scanner libraries keep process-wide state, so one library serves
// one volume of a scan: a later volume of a device whose library is taken
// is searched by content only, and the job's notes say so.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "scan.h"

namespace salvitra {

// "Found by content": the folder of files no file system names.
extern const char *const kFoundByContentFolder;

}  // namespace salvitra
