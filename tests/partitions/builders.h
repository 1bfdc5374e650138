// Builders for on-disk structures no Debian tool makes: HFS and HFS+
// headers, dynamic-disk databases, and damaged or hostile partition tables.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace svt {

using Bytes = std::vector<uint8_t>;

void putLe16(Bytes &b, size_t off, uint16_t v);
void putLe32(Bytes &b, size_t off, uint32_t v);
void putLe64(Bytes &b, size_t off, uint64_t v);
void putBe16(Bytes &b, size_t off, uint16_t v);
void putBe32(Bytes &b, size_t off, uint32_t v);
void putBe64(Bytes &b, size_t off, uint64_t v);
void putText(Bytes &b, size_t off, const std::string &s);
// Copies src into b at off, growing b when needed.
void putBytes(Bytes &b, size_t off, const Bytes &src);

// One 16-byte MBR/EBR entry in the sector at base (byte 446 + 16 * index).
void mbrEntry(Bytes &b, size_t base, int index, uint8_t type, uint32_t first, uint32_t count,
              uint8_t boot = 0);
void mbrSignature(Bytes &b, size_t base);

// An HFS master directory block, placed at byte 1024 of a volume of `size`
// bytes; name is Mac OS Roman.
Bytes hfsVolume(uint64_t size, uint16_t blocks, uint32_t blockSize, const std::string &name);
// An HFS+ ("H+", version 4) or HFSX ("HX", version 5) volume header at 1024.
Bytes hfsPlusVolume(uint64_t size, uint32_t blocks, uint32_t blockSize, bool hfsx = false,
                    uint16_t version = 0);

// A logical disk manager database (1 MiB) in the layout the core library
// reads: a PRIVHEAD sector, a VMDB sector naming the group's disk count and
// record size, and VBLK sectors holding disk and partition records.
struct LdmDisk {
    std::string objectId;  // e.g. "D1"
    std::string name;      // e.g. "Disk1": the last character gives the index
    std::string guid;      // GUID text
};
struct LdmPartition {
    std::string objectId;
    std::string name;
    uint64_t startSector = 0;   // within the disk's data area
    uint64_t volumeOffset = 0;  // 0 for a simple volume
    std::string diskObjectId;   // the disk it lies on
};
struct LdmDatabase {
    std::string ownGuid;        // this disk's GUID (PRIVHEAD)
    uint32_t diskCount = 1;     // n in VMDB
    uint32_t recordSize = 128;
    std::vector<LdmDisk> disks;
    std::vector<LdmPartition> partitions;
    Bytes build() const;
};

// A PRIVHEAD sector alone (for member disks read through Get_GPT_GUID).
Bytes ldmPrivhead(const std::string &guid);

// A GPT: protective MBR, header at LBA 1 with the entry array at LBA 2.
struct GptEntry {
    std::string typeGuid;  // text form
    uint64_t firstLba = 0, lastLba = 0;
};
void writeGpt(Bytes &disk, const std::vector<GptEntry> &entries, uint32_t entryCount = 128,
              uint32_t sectorSize = 512);
// The on-disk (mixed-endian) bytes of a GUID in text form.
Bytes guidBytes(const std::string &text);

}  // namespace svt
