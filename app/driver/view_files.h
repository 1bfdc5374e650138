// Temporary copies of found files for the thumbnail and preview views.
//
// The views only take paths, so a found file is first written, through its
// scanner's writer, into one of two folders under the system's temporary
// folder: "Salvitra Data Recovery" for thumbnails and "Salvitra Data
// Recovery Temp" for the preview.  Their content is removed when the
// results are released and when the owner goes (at exit).
#pragma once

#include <cstdint>
#include <string>

#include "scan.h"

namespace salvitra {

enum class ViewFolder { Thumbnails, Preview };

// $TMPDIR when set to an absolute path, else /tmp; no trailing "/".
std::string systemTempDir();
// "<temp>/Salvitra Data Recovery/" or "<temp>/Salvitra Data Recovery Temp/".
std::string viewFolderPath(ViewFolder which);

// Deletes every file and sub-folder inside dir (hidden ones too, links as
// links, never what they point to); dir itself stays.  False when
// something could not be removed.
bool removeFolderContent(const std::string &dir);

class ViewFiles {
public:
    // Files larger than this are not extracted for viewing.
    static constexpr uint64_t kDefaultMaxBytes = 256ull << 20;

    // Live objects also empty their folders at exit().
    ViewFiles();
    ~ViewFiles();
    ViewFiles(const ViewFiles &) = delete;
    ViewFiles &operator=(const ViewFiles &) = delete;

    // Writes file (number index of the job's store) through the job into the folder and
    // returns the written path, or "" when it cannot be shown: unreadable,
    // empty, too large, or the folder is not a private folder of this user
    // (a fixed name in a shared folder must not be someone else's link).
    // A file already extracted into the folder is not written again.
    std::string extract(ScanJob &job, const FoundFile &file, uint32_t index,
                        ViewFolder which, uint64_t maxBytes = kDefaultMaxBytes);
    // Empties one folder (the thumbnails before each new set).
    void clear(ViewFolder which);
    // Empties both folders, if this object used them.
    void release();

private:
    bool prepare(ViewFolder which);
    bool used_[2] = {false, false};
};

}  // namespace salvitra
