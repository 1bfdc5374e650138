#include "ntfs_image.h"

#include <cstring>
#include <stdexcept>

namespace svt {

namespace {

void put16(std::vector<uint8_t> &v, size_t off, uint16_t x)
{
    v[off] = (uint8_t)x;
    v[off + 1] = (uint8_t)(x >> 8);
}

void put32(std::vector<uint8_t> &v, size_t off, uint32_t x)
{
    for (int i = 0; i < 4; i++)
        v[off + i] = (uint8_t)(x >> (8 * i));
}

void put64(std::vector<uint8_t> &v, size_t off, uint64_t x)
{
    for (int i = 0; i < 8; i++)
        v[off + i] = (uint8_t)(x >> (8 * i));
}

size_t align8(size_t n)
{
    return (n + 7) & ~(size_t)7;
}

uint32_t uwidth(uint64_t v)
{
    uint32_t w = 1;
    while (w < 8 && (v >> (8 * w)))
        w++;
    return w;
}

uint32_t swidth(int64_t v)
{
    for (uint32_t w = 1; w < 8; w++) {
        int64_t lo = -((int64_t)1 << (8 * w - 1)), hi = ((int64_t)1 << (8 * w - 1)) - 1;
        if (v >= lo && v <= hi)
            return w;
    }
    return 8;
}

}  // namespace

std::vector<uint8_t> ntfsEncodeRuns(const std::vector<NtfsRun> &runs)
{
    std::vector<uint8_t> out;
    int64_t base = 0;
    for (const NtfsRun &r : runs) {
        uint32_t lw = uwidth(r.length), ow = 0;
        int64_t delta = 0;
        if (r.lcn >= 0) {
            delta = r.lcn - base;
            ow = swidth(delta);
            base = r.lcn;
        }
        out.push_back((uint8_t)(lw | (ow << 4)));
        for (uint32_t i = 0; i < lw; i++)
            out.push_back((uint8_t)(r.length >> (8 * i)));
        for (uint32_t i = 0; i < ow; i++)
            out.push_back((uint8_t)((uint64_t)delta >> (8 * i)));
    }
    out.push_back(0);
    return out;
}

void ntfsProtect(std::vector<uint8_t> &rec, uint16_t usn)
{
    uint16_t ofs = (uint16_t)(rec[4] | (rec[5] << 8));
    uint16_t count = (uint16_t)(rec[6] | (rec[7] << 8));
    put16(rec, ofs, usn);
    for (uint32_t i = 1; i < count; i++) {
        size_t tail = (size_t)i * 512 - 2;
        rec[ofs + 2 * i] = rec[tail];
        rec[ofs + 2 * i + 1] = rec[tail + 1];
        put16(rec, tail, usn);
    }
}

NtfsRecordBuilder::NtfsRecordBuilder(uint32_t size, uint32_t number, uint16_t flags, uint16_t seq)
    : rec_(size, 0)
{
    memcpy(rec_.data(), "FILE", 4);
    uint16_t count = (uint16_t)(size / 512 + 1);
    put16(rec_, 4, 48);
    put16(rec_, 6, count);
    put16(rec_, 16, seq);
    put16(rec_, 18, 1);
    pos_ = align8(48 + 2 * (size_t)count);
    put16(rec_, 20, (uint16_t)pos_);
    put16(rec_, 22, flags);
    put32(rec_, 28, size);
    put32(rec_, 44, number);
}

NtfsRecordBuilder &NtfsRecordBuilder::baseRef(uint64_t ref)
{
    put64(rec_, 32, ref);
    return *this;
}

NtfsRecordBuilder &NtfsRecordBuilder::raw(const std::vector<uint8_t> &bytes)
{
    if (pos_ + bytes.size() + 8 > rec_.size())
        throw std::length_error("record full");
    memcpy(rec_.data() + pos_, bytes.data(), bytes.size());
    pos_ += bytes.size();
    return *this;
}

NtfsRecordBuilder &NtfsRecordBuilder::resident(uint32_t type, const std::vector<uint8_t> &value,
                                               const std::u16string &name, uint16_t id)
{
    size_t nameOff = 24, valueOff = align8(24 + 2 * name.size());
    size_t len = align8(valueOff + value.size());
    std::vector<uint8_t> a(len, 0);
    put32(a, 0, type);
    put32(a, 4, (uint32_t)len);
    a[8] = 0;
    a[9] = (uint8_t)name.size();
    put16(a, 10, (uint16_t)nameOff);
    put16(a, 14, id ? id : nextId_++);
    put32(a, 16, (uint32_t)value.size());
    put16(a, 20, (uint16_t)valueOff);
    for (size_t i = 0; i < name.size(); i++)
        put16(a, nameOff + 2 * i, name[i]);
    if (!value.empty())
        memcpy(a.data() + valueOff, value.data(), value.size());
    return raw(a);
}

NtfsRecordBuilder &NtfsRecordBuilder::fileName(const std::u16string &name, uint64_t parentRef, uint8_t nameSpace,
                                               uint64_t ctime, uint64_t dataSize, uint32_t fileFlags)
{
    std::vector<uint8_t> v(66 + 2 * name.size(), 0);
    put64(v, 0, parentRef);
    for (int i = 0; i < 4; i++)
        put64(v, 8 + 8 * i, ctime);
    put64(v, 40, dataSize);
    put64(v, 48, dataSize);
    put32(v, 56, fileFlags);
    v[64] = (uint8_t)name.size();
    v[65] = nameSpace;
    for (size_t i = 0; i < name.size(); i++)
        put16(v, 66 + 2 * i, name[i]);
    return resident(0x30, v);
}

NtfsRecordBuilder &NtfsRecordBuilder::nonResident(uint32_t type, const std::vector<NtfsRun> &runs, uint64_t dataSize,
                                                  uint32_t clusterSize, uint64_t lowestVcn,
                                                  const std::u16string &name, uint16_t id, uint64_t allocSize,
                                                  uint64_t highestVcn)
{
    std::vector<uint8_t> enc = ntfsEncodeRuns(runs);
    uint64_t clusters = 0;
    for (const NtfsRun &r : runs)
        clusters += r.length;
    size_t runsOff = align8(64 + 2 * name.size());
    size_t len = align8(runsOff + enc.size());
    std::vector<uint8_t> a(len, 0);
    put32(a, 0, type);
    put32(a, 4, (uint32_t)len);
    a[8] = 1;
    a[9] = (uint8_t)name.size();
    put16(a, 10, 64);
    put16(a, 14, id ? id : nextId_++);
    put64(a, 16, lowestVcn);
    put64(a, 24, highestVcn != UINT64_MAX ? highestVcn : lowestVcn + clusters - 1);
    put16(a, 32, (uint16_t)runsOff);
    put64(a, 40, allocSize != UINT64_MAX ? allocSize : clusters * clusterSize);
    put64(a, 48, dataSize);
    put64(a, 56, dataSize);
    for (size_t i = 0; i < name.size(); i++)
        put16(a, 64 + 2 * i, name[i]);
    memcpy(a.data() + runsOff, enc.data(), enc.size());
    return raw(a);
}

NtfsRecordBuilder &NtfsRecordBuilder::attributeList(const std::vector<ListEntry> &entries)
{
    std::vector<uint8_t> v;
    for (const ListEntry &e : entries) {
        size_t len = align8(26 + 2 * e.name.size());
        std::vector<uint8_t> x(len, 0);
        put32(x, 0, e.type);
        put16(x, 4, (uint16_t)len);
        x[6] = (uint8_t)e.name.size();
        x[7] = 26;
        put64(x, 8, e.lowestVcn);
        put64(x, 16, e.record | (1ull << 48));
        put16(x, 24, e.id);
        for (size_t i = 0; i < e.name.size(); i++)
            put16(x, 26 + 2 * i, e.name[i]);
        v.insert(v.end(), x.begin(), x.end());
    }
    return resident(0x20, v);
}

std::vector<uint8_t> NtfsRecordBuilder::finish(bool fixups) const
{
    std::vector<uint8_t> r = rec_;
    size_t pos = pos_;
    put32(r, pos, 0xFFFFFFFFu);
    put32(r, 24, (uint32_t)(pos + 8));
    if (fixups)
        ntfsProtect(r);
    return r;
}

NtfsVolumeBuilder::NtfsVolumeBuilder(uint32_t clusterSize, uint32_t recordSize, uint64_t clusters, uint64_t mftLcn,
                                     uint64_t mftRecords, uint32_t sectorSize)
    : cs_(clusterSize), rs_(recordSize), ss_(sectorSize), clusters_(clusters), mftLcn_(mftLcn),
      mftRecords_(mftRecords), img_((size_t)(clusters * clusterSize), 0)
{
    uint64_t mftClusters = (mftRecords * recordSize + clusterSize - 1) / clusterSize;
    mftRuns_ = {{(int64_t)mftLcn, mftClusters}};
}

uint64_t NtfsVolumeBuilder::recordOffset(uint64_t n) const
{
    uint64_t byte = n * rs_;
    uint64_t vcn = byte / cs_, within = byte % cs_;
    for (const NtfsRun &r : mftRuns_) {
        if (vcn < r.length)
            return (uint64_t)r.lcn * cs_ + vcn * cs_ + within;
        vcn -= r.length;
    }
    throw std::out_of_range("record beyond the MFT");
}

void NtfsVolumeBuilder::setRecord(uint64_t n, const std::vector<uint8_t> &rec)
{
    uint64_t off = recordOffset(n);
    memcpy(img_.data() + off, rec.data(), rec.size());
}

void NtfsVolumeBuilder::writeClusters(uint64_t lcn, const std::vector<uint8_t> &data)
{
    memcpy(img_.data() + lcn * cs_, data.data(), data.size());
}

const std::vector<uint8_t> &NtfsVolumeBuilder::image()
{
    // Boot sector.
    std::vector<uint8_t> &b = img_;
    memcpy(b.data() + 3, "NTFS    ", 8);
    put16(b, 11, (uint16_t)ss_);
    b[13] = (uint8_t)(cs_ / ss_ <= 128 ? cs_ / ss_ : 256 - __builtin_ctz(cs_ / ss_));
    b[21] = 0xF8;
    put64(b, 40, clusters_ * (cs_ / ss_) - 1);
    put64(b, 48, mftLcn_);
    put64(b, 56, clusters_ / 2);
    b[64] = rs_ >= cs_ ? (uint8_t)(rs_ / cs_) : (uint8_t)(int8_t)(-__builtin_ctz(rs_));
    b[68] = (uint8_t)(int8_t)(-12);
    b[510] = 0x55;
    b[511] = 0xAA;
    // Record 0: the MFT itself.
    NtfsRecordBuilder r0(rs_, 0, 0x0001);
    r0.fileName(u"$MFT", 5 | (5ull << 48), 3);
    uint64_t clusters = 0;
    for (const NtfsRun &r : mftRuns_)
        clusters += r.length;
    r0.nonResident(0x80, mftRuns_, mftRecords_ * rs_, cs_);
    (void)clusters;
    setRecord(0, r0.finish());
    return img_;
}

}  // namespace svt
