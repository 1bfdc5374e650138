#include "builders.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace svt {

static void grow(Bytes &b, size_t end)
{
    if (b.size() < end)
        b.resize(end, 0);
}

void putLe16(Bytes &b, size_t off, uint16_t v)
{
    grow(b, off + 2);
    b[off] = (uint8_t)v;
    b[off + 1] = (uint8_t)(v >> 8);
}

void putLe32(Bytes &b, size_t off, uint32_t v)
{
    putLe16(b, off, (uint16_t)v);
    putLe16(b, off + 2, (uint16_t)(v >> 16));
}

void putLe64(Bytes &b, size_t off, uint64_t v)
{
    putLe32(b, off, (uint32_t)v);
    putLe32(b, off + 4, (uint32_t)(v >> 32));
}

void putBe16(Bytes &b, size_t off, uint16_t v)
{
    grow(b, off + 2);
    b[off] = (uint8_t)(v >> 8);
    b[off + 1] = (uint8_t)v;
}

void putBe32(Bytes &b, size_t off, uint32_t v)
{
    putBe16(b, off, (uint16_t)(v >> 16));
    putBe16(b, off + 2, (uint16_t)v);
}

void putBe64(Bytes &b, size_t off, uint64_t v)
{
    putBe32(b, off, (uint32_t)(v >> 32));
    putBe32(b, off + 4, (uint32_t)v);
}

void putText(Bytes &b, size_t off, const std::string &s)
{
    grow(b, off + s.size());
    memcpy(b.data() + off, s.data(), s.size());
}

void putBytes(Bytes &b, size_t off, const Bytes &src)
{
    grow(b, off + src.size());
    memcpy(b.data() + off, src.data(), src.size());
}

void mbrEntry(Bytes &b, size_t base, int index, uint8_t type, uint32_t first, uint32_t count,
              uint8_t boot)
{
    size_t e = base + 446 + 16 * (size_t)index;
    grow(b, e + 16);
    b[e] = boot;
    b[e + 4] = type;
    putLe32(b, e + 8, first);
    putLe32(b, e + 12, count);
}

void mbrSignature(Bytes &b, size_t base)
{
    putLe16(b, base + 510, 0xAA55);
}

Bytes hfsVolume(uint64_t size, uint16_t blocks, uint32_t blockSize, const std::string &name)
{
    Bytes v(size, 0);
    size_t m = 1024;
    putText(v, m, "BD");
    putBe16(v, m + 18, blocks);
    putBe32(v, m + 20, blockSize);
    putBe16(v, m + 28, 16);       // first allocation block
    putBe16(v, m + 34, blocks / 2);  // free blocks
    v[m + 36] = (uint8_t)name.size();
    putText(v, m + 37, name);
    return v;
}

Bytes hfsPlusVolume(uint64_t size, uint32_t blocks, uint32_t blockSize, bool hfsx, uint16_t version)
{
    Bytes v(size, 0);
    size_t h = 1024;
    putText(v, h, hfsx ? "HX" : "H+");
    putBe16(v, h + 2, version ? version : (hfsx ? 5 : 4));
    putBe32(v, h + 40, blockSize);
    putBe32(v, h + 44, blocks);
    putBe32(v, h + 48, blocks / 3);
    return v;
}

static size_t putVar(Bytes &b, size_t off, const std::string &s)
{
    grow(b, off + 1 + s.size());
    b[off] = (uint8_t)s.size();
    putText(b, off + 1, s);
    return off + 1 + s.size();
}

Bytes ldmPrivhead(const std::string &guid)
{
    Bytes s(512, 0);
    putText(s, 0, "PRIVHEAD");
    putText(s, 48, guid.substr(0, 64));
    return s;
}

Bytes LdmDatabase::build() const
{
    const size_t ss = 512, stride = 128;
    Bytes db(1024 * 1024, 0);
    putBytes(db, 0, ldmPrivhead(ownGuid));
    size_t vmdb = ss;
    putText(db, vmdb, "VMDB");
    putBe32(db, vmdb + 8, recordSize);
    putBe32(db, vmdb + 145, diskCount);

    // Records, four to a 512-byte VBLK sector.
    std::vector<Bytes> records;
    uint32_t seq = 1;
    for (const LdmDisk &d : disks) {
        Bytes r(stride, 0);
        putText(r, 0, "VBLK");
        putBe32(r, 8, seq++);
        r[19] = 0x34;
        size_t o = putVar(r, 24, d.objectId);
        o = putVar(r, o, d.name);
        putVar(r, o, d.guid);
        r.resize(stride);
        records.push_back(r);
    }
    for (const LdmPartition &p : partitions) {
        Bytes r(stride, 0);
        putText(r, 0, "VBLK");
        putBe32(r, 8, seq++);
        r[19] = 0x33;
        size_t o = putVar(r, 24, p.objectId);
        putVar(r, o, p.name);
        size_t x = p.objectId.size() + p.name.size();
        putBe64(r, x + 38, p.startSector);
        putBe64(r, x + 46, p.volumeOffset);
        r[x + 54] = 0;   // component id: empty
        r[x + 55] = 0;   // parent: empty
        putVar(r, x + 56, p.diskObjectId);
        r[x + 57 + p.diskObjectId.size()] = 0;
        r.resize(stride);
        records.push_back(r);
    }
    size_t at = 2 * ss;
    for (size_t i = 0; i < records.size(); i++) {
        if (at + stride > db.size())
            break;
        putBytes(db, at, records[i]);
        at += stride;
    }
    return db;
}

Bytes guidBytes(const std::string &text)
{
    unsigned a, b, c, d0, d1, e[6];
    if (sscanf(text.c_str(), "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &a, &b, &c, &d0, &d1, &e[0],
               &e[1], &e[2], &e[3], &e[4], &e[5]) != 11)
        abort();
    Bytes g(16, 0);
    putLe32(g, 0, a);
    putLe16(g, 4, (uint16_t)b);
    putLe16(g, 6, (uint16_t)c);
    g[8] = (uint8_t)d0;
    g[9] = (uint8_t)d1;
    for (int i = 0; i < 6; i++)
        g[10 + i] = (uint8_t)e[i];
    return g;
}

void writeGpt(Bytes &disk, const std::vector<GptEntry> &entries, uint32_t entryCount,
              uint32_t sectorSize)
{
    grow(disk, sectorSize * 34);
    for (size_t i = 0; i < sectorSize * 2; i++)
        disk[i] = 0;
    uint64_t sectors = disk.size() / sectorSize;
    mbrEntry(disk, 0, 0, 0xEE, 1,
             sectors - 1 > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)(sectors - 1));
    mbrSignature(disk, 0);
    size_t h = sectorSize;
    putText(disk, h, "EFI PART");
    putLe32(disk, h + 8, 0x00010000);
    putLe32(disk, h + 12, 92);
    putLe64(disk, h + 24, 1);
    putLe64(disk, h + 32, sectors - 1);
    putLe64(disk, h + 40, 34);
    putLe64(disk, h + 48, sectors - 34);
    putLe64(disk, h + 72, 2);
    putLe32(disk, h + 80, entryCount);
    putLe32(disk, h + 84, 128);
    for (size_t i = 0; i < entries.size(); i++) {
        size_t e = 2 * (size_t)sectorSize + 128 * i;
        putBytes(disk, e, guidBytes(entries[i].typeGuid));
        putLe64(disk, e + 32, entries[i].firstLba);
        putLe64(disk, e + 40, entries[i].lastLba);
    }
}

}  // namespace svt
