#include "ntfs_test_util.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

#include "ntfs_paths.h"

namespace svt {

bool fixtureSkipped(const std::string &dir, std::string *why)
{
    struct stat sb;
    std::string note = dir + "/SKIP";
    if (stat(note.c_str(), &sb) != 0)
        return false;
    std::ifstream f(note);
    std::getline(f, *why);
    return true;
}

std::vector<TruthEntry> loadTruth(const std::string &tsv)
{
    std::vector<TruthEntry> v;
    std::ifstream f(tsv);
    std::string line;
    while (std::getline(f, line)) {
        std::istringstream s(line);
        TruthEntry e;
        std::string size, del;
        std::getline(s, e.path, '\t');
        std::getline(s, size, '\t');
        std::getline(s, del, '\t');
        e.size = std::stoull(size);
        e.deleted = del == "1";
        v.push_back(e);
    }
    return v;
}

std::string baseName(const std::string &path)
{
    size_t s = path.find_last_of('/');
    return s == std::string::npos ? path : path.substr(s + 1);
}

std::string dirName(const std::string &path)
{
    size_t s = path.find_last_of('/');
    return s == std::string::npos ? "" : path.substr(0, s);
}

ImagePartition::ImagePartition(Physics_Device_Struct *dev, uint64_t offset, uint64_t size, int fsType)
{
    copy_ = *dev;
    copy_.OwnerPartition = &part_;
    part_.DevNum = dev->DevNum;
    part_.PartOffset = offset;
    part_.PartSize = size;
    part_.FsType = fsType;
    part_.AccessMode = '?';
    part_.Device = &copy_;
    part_.BootData = static_cast<uint8_t *>(MALLOC(4096));
    sv_dev_read(&copy_, part_.BootData, 4096, 0);
}

ImagePartition::~ImagePartition()
{
    free(part_.BootData);
}

std::vector<uint16_t> recUnits(const NTFS_DEL_FILEINFO_t *r)
{
    std::vector<uint16_t> u(r->cNameLength);
    if (r->pwszLongName)
        memcpy(u.data(), r->pwszLongName, u.size() * 2);
    else
        memcpy(u.data(), reinterpret_cast<const uint8_t *>(r) + offsetof(NTFS_DEL_FILEINFO_t, wszName), u.size() * 2);
    return u;
}

std::string recName(const NTFS_DEL_FILEINFO_t *r)
{
    return salvitra::ntfsName(*r);
}

std::vector<uint8_t> readBlocks(const DataReader &read, uint64_t mft, uint64_t size, uint32_t block,
                                std::vector<int> *codes)
{
    std::vector<uint8_t> out;
    std::vector<uint8_t> buf(block);
    uint64_t whole = size / block, rest = size % block;
    for (uint64_t i = 0; i <= whole; i++) {
        uint32_t len = i < whole ? block : (uint32_t)rest;
        if (len == 0)
            break;
        memset(buf.data(), 0xEE, block);
        int c = read(mft, buf.data(), len);
        if (codes)
            codes->push_back(c);
        out.insert(out.end(), buf.begin(), buf.begin() + len);
    }
    return out;
}

}  // namespace svt
