#include "classify.h"

#include <algorithm>

namespace salvitra {

namespace {

const std::vector<std::string> kPhoto = {
    "jif", "emf", "x3f", "indd", "mrw", "orf", "psp", "raw", "psd", "exif", "icon",
    "ico", "png", "jpe", "jpg", "jpeg", "tiff", "tif", "gif", "dib", "rle"};

const std::vector<std::string> kMusic = {
    "dtswav", "dts", "a52", "ac3", "ra", "au", "snd", "rmi", "midi", "mid",
    "aiff", "aifc", "aif", "mp+", "mpc", "fla", "flac", "ape", "aa", "aac",
    "m4r", "m4a", "ogg", "wav", "wma", "mp3", "mp2", "mp1"};

const std::vector<std::string> kVideo = {
    "flc", "fli", "flic", "flv", "moi", "dv", "divx", "avsts", "asm", "wv",
    "vp6", "vob", "vid", "vg2", "ts", "tpr", "tp", "smk", "ratdvd", "pva",
    "pss", "pmp2", "pmp", "ogm", "mts", "mpg", "mpeg", "mpe", "mqv", "mp4",
    "mkv", "m4v", "m4p", "m4b", "m2v", "m2ts", "m2p", "m1v", "f4v", "ivf",
    "dsv", "dsm", "d2v", "csf", "bik", "avi", "amv", "amr", "3gpp", "3gp2",
    "3gp", "3g2", "aiff", "air", "qt", "mov", "evo", "dat", "realpix", "scm",
    "rpm", "rmvb", "rm", "ram", "wma", "wmv", "wmp", "wm", "asf"};

std::vector<std::string> buildKnown()
{
    std::vector<std::string> all = kVideo;
    for (const std::string &m : kMusic)
        if (std::find(all.begin(), all.end(), m) == all.end())
            all.push_back(m);
    all.insert(all.end(), kPhoto.begin(), kPhoto.end());
    return all;
}

bool contains(const std::vector<std::string> &table, const std::string &ext)
{
    return std::find(table.begin(), table.end(), ext) != table.end();
}

}  // namespace

const char *fileGroupName(FileGroup g)
{
    switch (g) {
    case FileGroup::Photo: return "Photo";
    case FileGroup::Music: return "Music";
    case FileGroup::Video: return "Video";
    case FileGroup::Others: return "Others";
    }
    return "Others";
}

const std::vector<std::string> &photoTypes() { return kPhoto; }
const std::vector<std::string> &musicTypes() { return kMusic; }
const std::vector<std::string> &videoTypes() { return kVideo; }

const std::vector<std::string> &knownTypes()
{
    static const std::vector<std::string> known = buildKnown();
    return known;
}

std::string lowerExtension(const std::string &ext)
{
    std::string s = ext;
    for (char &c : s)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return s;
}

void GroupFilter::setScanType()
{
    photo = music = video = others = true;
}

void GroupFilter::setScanFileType(int filterChoice, bool deep)
{
    setScanType();
    if (deep)
        return;
    switch (filterChoice) {
    case FilterPhoto: music = video = others = false; break;
    case FilterVideo: photo = music = others = false; break;
    case FilterAudio: photo = video = others = false; break;
    case FilterOthers: photo = music = video = false; break;
    default: break;
    }
}

void GroupFilter::setPicked(const std::vector<std::string> &types, bool isCustom)
{
    picked.clear();
    for (const std::string &t : types)
        picked.push_back(lowerExtension(t));
    custom = isCustom;
}

namespace {

bool groupTest(const GroupFilter &f, bool flag, const std::vector<std::string> &table,
               const std::string &ext)
{
    std::string e = lowerExtension(ext);
    if (!f.custom)
        return flag && contains(table, e);
    return contains(f.picked, e) && contains(table, e);
}

}  // namespace

bool GroupFilter::isPhoto(const std::string &ext) const { return groupTest(*this, photo, kPhoto, ext); }
bool GroupFilter::isMusic(const std::string &ext) const { return groupTest(*this, music, kMusic, ext); }
bool GroupFilter::isVideo(const std::string &ext) const { return groupTest(*this, video, kVideo, ext); }

bool GroupFilter::isOtherFile(const std::string &ext) const
{
    if (custom || !others)
        return false;
    return !contains(knownTypes(), lowerExtension(ext));
}

bool GroupFilter::isTargetFiletype(const std::string &ext) const
{
    return isMusic(ext) || isPhoto(ext) || isVideo(ext) || isOtherFile(ext);
}

bool GroupFilter::wants(FileGroup g, const std::string &ext) const
{
    switch (g) {
    case FileGroup::Photo: return isPhoto(ext);
    case FileGroup::Music: return isMusic(ext);
    case FileGroup::Video: return isVideo(ext);
    case FileGroup::Others: return isOtherFile(ext);
    }
    return false;
}

std::vector<FileGroup> GroupFilter::place(const std::string &ext, GroupPlacement how) const
{
    std::vector<FileGroup> groups;
    for (int g = 0; g < kFileGroupCount; ++g) {
        if (!wants((FileGroup)g, ext))
            continue;
        groups.push_back((FileGroup)g);
        if (how == GroupPlacement::FirstGroup)
            break;
    }
    return groups;
}

}  // namespace salvitra
