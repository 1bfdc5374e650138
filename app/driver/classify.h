// File-type classification: which of the result groups "Photo", "Music",
// "Video" and "Others" a found file belongs to, decided by its extension
// (the found name's extension, or the deep-scan engine's type) and by the
// groups the user asked for.
//
// Pure functions and plain data: both front ends group and filter the same
// way, and the tests need no widgets.
#pragma once

#include <string>
#include <vector>

namespace salvitra {

enum class FileGroup : int { Photo = 0, Music = 1, Video = 2, Others = 3 };
constexpr int kFileGroupCount = 4;

// "Photo", "Music", "Video", "Others".
const char *fileGroupName(FileGroup g);

// How a file is placed when more than one group test succeeds: under every
// group (FAT, exFAT and deep-scan results), or under the first one only in
// the order photo, music, video, others (NTFS, HFS+, ext results).
enum class GroupPlacement { EveryGroup, FirstGroup };

// The extension tables, lower case, in the order they are built.
const std::vector<std::string> &photoTypes();       // 21 entries
const std::vector<std::string> &musicTypes();       // 28 entries
const std::vector<std::string> &videoTypes();       // 69 entries
const std::vector<std::string> &knownTypes();       // 116 entries: video, music without repeats, photo

// The filter choices of the disk page's "Filter Option:" list, in order.
enum FilterChoice : int {
    FilterAllFiles = 0,
    FilterPhoto = 1,
    FilterVideo = 2,
    FilterAudio = 3,
    FilterOthers = 4
};

// The groups the user wants and, when the scan was started from the options
// page, the extensions picked there.
struct GroupFilter {
    bool photo = true;
    bool music = true;
    bool video = true;
    bool others = true;
    bool custom = false;               // the picked list governs
    std::vector<std::string> picked;   // lower case
    bool goodOnly = false;             // only files whose verdict is good (FoundFile::verdict)

    // All four groups wanted.
    void setScanType();
    // The groups for a scan about to start: a deep scan (deep = true) shows
    // every group; a quick scan keeps the groups of the filter choice.
    void setScanFileType(int filterChoice, bool deep);
    // Installs the extensions picked on the options page; custom says
    // whether the scan was started from there.
    void setPicked(const std::vector<std::string> &types, bool custom);

    bool isPhoto(const std::string &ext) const;
    bool isMusic(const std::string &ext) const;
    bool isVideo(const std::string &ext) const;
    bool isOtherFile(const std::string &ext) const;
    // Any wanted group (tested in the order music, photo, video, others).
    bool isTargetFiletype(const std::string &ext) const;
    bool wants(FileGroup g, const std::string &ext) const;

    // The groups a file with this extension is listed under, in the order
    // photo, music, video, others; empty when no wanted group takes it.
    std::vector<FileGroup> place(const std::string &ext, GroupPlacement how) const;
};

// The extension as the tables compare it: lower case ASCII.
std::string lowerExtension(const std::string &ext);

}  // namespace salvitra
