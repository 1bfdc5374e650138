// The FAT scanner's side of the driver: the walk over the quick-scan
// result, record conversion and the FAT writers.  Pure helpers here can be
// used without a device.
#pragma once

#if SALVITRA_HAVE_POLDER

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "polder.h"
#include "scan.h"

namespace salvitra {

// Pre-order walk of a quick-scan result from root: for every file record,
// onFile gets the record and the directory records on its path (outermost
// first).  A directory entry moves on to the next node in creation order
// (whose pParent it sets); the end of a node's entries goes back to its
// parent at the saved nCursor + 1.  Returns the number of records passed
// to onFile.
size_t CreateQuickFatTree(tagStLinkNode *root,
                          const std::function<void(tagStFatInfo *, const std::vector<tagStFatInfo *> &)> &onFile);

// The same over one tree of the formatted-volume search.
size_t walkFmtFatTree(tagStFmtDirNode *root,
                      const std::function<void(tagStFatInfo *, const std::vector<tagStFatInfo *> &)> &onFile);

// A record's name as UTF-8: 32-bit characters (UTF-16 units of a long name,
// or the bytes of an 8.3 name); surrogate pairs are joined, anything that
// is no character becomes U+FFFD.  A first character 0xE5 (the mark of a
// deleted entry) is shown as "_".
std::string fatNameToUtf8(const uint32_t *name);

// The record's time (local wall-clock time on the volume) as seconds since
// the epoch, or -1 when the record has no valid date.
int64_t fatRecordTime(const tagStFatInfo *rec);

// The bytes of a quick-scan record's data that can be read back: its size,
// or less when fewer free clusters follow its first one than it needs (the
// library's plan says how many).
uint64_t fatReadableSize(const tagStFatInfo *rec, uint32_t clusterSize);

// A FoundFile for a quick-scan record; clusterSize is the volume's.
FoundFile fatFoundFile(tagStFatInfo *rec, const std::vector<tagStFatInfo *> &dirs, uint32_t clusterSize);

// Writes one quick-scan file to dest (never over an existing file): its
// readable size, every block that cannot be read marked.
WriteResult DelFatRecovery(Partiton_Struct *part, tagStFatInfo *rec, const WriteDest &dest, WriteStats &stats,
                           const std::function<bool()> &gate = {});

// Writes one file of the formatted-volume search.
WriteResult FmtFatRecovery(Partiton_Struct *part, tagStFatInfo *rec, const WriteDest &dest,
                           WriteStats &stats, const std::function<bool()> &gate = {});

}  // namespace salvitra

#endif  // SALVITRA_HAVE_POLDER
