#include "exfat_editor.h"

#include <cstring>
#include <stdexcept>

namespace exft {

namespace {

uint32_t le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
void put16(uint8_t *p, uint16_t v) { p[0] = (uint8_t)v; p[1] = (uint8_t)(v >> 8); }
void put32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = (uint8_t)(v >> (8 * i));
}
void put64(uint8_t *p, uint64_t v)
{
    for (int i = 0; i < 8; i++)
        p[i] = (uint8_t)(v >> (8 * i));
}

}  // namespace

Editor::Editor(std::vector<uint8_t> &img) : img_(img)
{
    if (img.size() < 4096 || memcmp(img.data() + 3, "EXFAT   ", 8) != 0)
        throw std::runtime_error("not an exFAT image");
    bps_ = 1u << img[108];
    cs_ = bps_ << img[109];
    fatOff_ = (uint64_t)le32(&img[80]) * bps_;
    heap_ = (uint64_t)le32(&img[88]) * bps_;
    count_ = le32(&img[92]);
    root_ = le32(&img[96]);
    const uint64_t dir = clusterOffset(root_);
    for (uint64_t off = dir; off < dir + cs_; off += 32)
        if (img[off] == 0x81) {
            bitmapEntry_ = off;
            bitmapCluster_ = le32(&img[off + 20]);
            break;
        }
}

uint32_t Editor::fat(uint32_t c) const { return le32(&img_[fatOff_ + 4ull * c]); }
void Editor::setFat(uint32_t c, uint32_t v) { put32(&img_[fatOff_ + 4ull * c], v); }

bool Editor::inUse(uint32_t c) const
{
    const uint64_t b = clusterOffset(bitmapCluster_) + (c - 2) / 8;
    return (img_[b] >> ((c - 2) % 8)) & 1;
}

void Editor::setInUse(uint32_t c, bool used)
{
    const uint64_t b = clusterOffset(bitmapCluster_) + (c - 2) / 8;
    if (used)
        img_[b] |= (uint8_t)(1u << ((c - 2) % 8));
    else
        img_[b] &= (uint8_t) ~(1u << ((c - 2) % 8));
}

uint32_t Editor::findFree(uint32_t n, bool take)
{
    for (uint32_t c = 2; c + n <= count_ + 2; c++) {
        uint32_t k = 0;
        while (k < n && !inUse(c + k))
            k++;
        if (k == n) {
            for (uint32_t i = 0; take && i < n; i++)
                setInUse(c + i, true);
            return c;
        }
        c += k;
    }
    return 0;
}

void Editor::writeCluster(uint32_t c, const std::vector<uint8_t> &data, size_t from)
{
    size_t n = data.size() - from < cs_ ? data.size() - from : cs_;
    memcpy(&img_[clusterOffset(c)], data.data() + from, n);
}

uint16_t Editor::setChecksum(const uint8_t *e, size_t count)
{
    uint16_t sum = 0;
    for (size_t i = 0; i < count * 32; i++) {
        if (i == 2 || i == 3)
            continue;
        uint8_t b = e[i];
        if (i % 32 == 0)
            b |= 0x80;
        sum = (uint16_t)(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + b);
    }
    return sum;
}

std::vector<uint8_t> Editor::buildSet(const SetSpec &s)
{
    const size_t names = (s.name.size() + 14) / 15;
    std::vector<uint8_t> e((2 + names) * 32, 0);
    e[0] = 0x85;
    e[1] = (uint8_t)(1 + names);
    put16(&e[4], s.directory ? 0x10 : 0x20);
    put32(&e[8], s.modified);
    put32(&e[12], s.modified);
    put32(&e[16], s.modified);
    e[21] = s.modified10ms;
    e[22] = e[23] = e[24] = s.modifiedUtc;
    e[32] = 0xC0;
    e[33] = (uint8_t)(1 | (s.noFatChain ? 2 : 0));
    e[35] = (uint8_t)s.name.size();
    put64(&e[40], s.validLength == UINT64_MAX ? s.dataLength : s.validLength);
    put32(&e[52], s.firstCluster);
    put64(&e[56], s.dataLength);
    for (size_t i = 0; i < s.name.size(); i++) {
        uint8_t *ne = &e[64 + (i / 15) * 32];
        ne[0] = 0xC1;
        put16(ne + 2 + (i % 15) * 2, s.name[i]);
    }
    for (size_t k = 0; k < names; k++)
        e[64 + k * 32] = 0xC1;
    put16(&e[2], setChecksum(e.data(), 2 + names));
    if (s.deleted)
        for (size_t k = 0; k < e.size(); k += 32)
            e[k] &= 0x7F;
    return e;
}

uint64_t Editor::addRaw(uint32_t dir, const std::vector<uint8_t> &entries)
{
    const uint64_t base = clusterOffset(dir);
    for (uint64_t off = base; off + entries.size() <= base + cs_; off += 32)
        if (img_[off] == 0x00) {
            memcpy(&img_[off], entries.data(), entries.size());
            return off;
        }
    throw std::runtime_error("folder full");
}

uint64_t Editor::addSet(uint32_t dir, const SetSpec &set) { return addRaw(dir, buildSet(set)); }

void Editor::fixBootChecksum(uint64_t region)
{
    uint32_t sum = 0;
    for (uint32_t i = 0; i < bps_ * 11; i++) {
        if (i == 106 || i == 107 || i == 112)
            continue;
        sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + img_[region + i];
    }
    for (uint32_t off = 0; off < bps_; off += 4)
        put32(&img_[region + 11ull * bps_ + off], sum);
}

}  // namespace exft
