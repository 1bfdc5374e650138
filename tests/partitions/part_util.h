// Helpers of the partition tests: memory devices as list nodes, and the
// partition list as plain values.
#pragma once

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "builders.h"
#include "mem_device.h"
#include "merrow_i.h"

namespace svt {

struct PartView {
    int devNum;
    uint64_t offset, size;
    int fsType;
    std::string fsInfo, volumeName;
    char accessMode;
    uint8_t bootable;
    Partiton_Struct *rec;
};

inline std::vector<PartView> listedPartitions()
{
    std::vector<PartView> v;
    for (_Device_List *n = GlobPointerPartiton; n; n = n->next) {
        auto *p = static_cast<Partiton_Struct *>(n->data);
        v.push_back({p->DevNum, p->PartOffset, p->PartSize, p->FsType,
                     std::string(p->FsInfo, strnlen(p->FsInfo, sizeof p->FsInfo)),
                     std::string(p->VolumeName, strnlen(p->VolumeName, sizeof p->VolumeName)),
                     p->AccessMode, p->Bootable, p});
    }
    return v;
}

// len bytes of a file from off (fewer at its end); a quick read of big
// images in one piece.
inline Bytes readRange(const std::string &path, uint64_t off, uint64_t len)
{
    std::ifstream f(path, std::ios::binary);
    f.seekg(0, std::ios::end);
    uint64_t size = (uint64_t)f.tellg();
    if (!f || off >= size)
        return {};
    Bytes b((size_t)std::min<uint64_t>(len, size - off));
    f.seekg((std::streamoff)off);
    f.read(reinterpret_cast<char *>(b.data()), (std::streamsize)b.size());
    return b;
}

inline uint64_t fileSize(const std::string &path)
{
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    return f ? (uint64_t)f.tellg() : 0;
}

// A memory device standing alone as a device-list node, as the table
// readers receive it.  Dropping it empties the partition list.
class MemDisk {
public:
    explicit MemDisk(Bytes bytes, int32_t sectorSize = 512) : mem_(std::move(bytes), sectorSize)
    {
        node_.data = mem_.dev();
        node_.prev = &node_;
        node_.next = nullptr;
        mem_.dev()->Used = 1;  // as FullPartitionBlock marks the device it parses
        mem_.dev()->DevNum = 3;
    }
    ~MemDisk() { FullPartitionBlock_exit(); }
    _Device_List *node() { return &node_; }
    MemDevice &mem() { return mem_; }
    void parse() { Get_Partiton_Data(&node_, 0); }

private:
    MemDevice mem_;
    _Device_List node_{};
};

// The name the device tree shows for a file-system code, without padding.
inline std::string fsName(int fs)
{
    static const char *names[] = {"Unknown", "FAT12", "FAT16", "FAT32", "NTFS", "exFAT",
                                  "EXT2",    "EXT3",  "EXT4",  "HFS",   "HFS+",  "HFSX"};
    return fs >= 0 && fs <= 11 ? names[fs] : "?";
}

}  // namespace svt
