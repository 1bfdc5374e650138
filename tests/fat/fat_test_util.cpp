#include "fat_test_util.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "test_support.h"

namespace fatt {

Volume::Volume(std::vector<uint8_t> bytes, int32_t fsType) : bytes_(std::move(bytes))
{
    ops_.ops.read = readOp;
    ops_.ops.write = writeOp;
    ops_.ops.clean = cleanOp;
    ops_.self = this;
    dev_.Fd = -1;
    dev_.SectorSize = 512;
    dev_.DiskSize = bytes_.size();
    dev_.Ops = &ops_.ops;
    dev_.OwnerPartition = &part_;
    part_.PartSize = bytes_.size();
    part_.FsType = fsType;
    part_.AccessMode = '?';
    part_.Device = &dev_;
    part_.BootData = boot_;
    syncBoot();
}

Volume::~Volume() = default;

std::unique_ptr<Volume> Volume::load(const std::string &path, int32_t fsType)
{
    return std::make_unique<Volume>(readAll(path), fsType);
}

std::vector<uint8_t> readAll(const std::string &path)
{
    std::vector<uint8_t> out;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return out;
    uint8_t buf[1 << 16];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.insert(out.end(), buf, buf + n);
    fclose(f);
    return out;
}

void Volume::syncBoot()
{
    memset(boot_, 0, sizeof boot_);
    memcpy(boot_, bytes_.data(), bytes_.size() < 512 ? bytes_.size() : 512);
}

int32_t Volume::readOp(Physics_Device_Struct *dev, void *dst, uint32_t length, uint64_t offset)
{
    Volume *v = reinterpret_cast<OwnedOps *>(dev->Ops)->self;
    memset(dst, 0, length);
    v->reads++;
    if (v->onRead)
        v->onRead(v->reads);
    if (offset < v->failTo && offset + length > v->failFrom)
        return -1;
    if (offset >= v->bytes_.size())
        return -1;
    uint64_t n = v->bytes_.size() - offset < length ? v->bytes_.size() - offset : length;
    memcpy(dst, v->bytes_.data() + offset, n);
    return (int32_t)n;
}

FileVolume::FileVolume(const std::string &path, int32_t fsType)
    : set_(std::make_unique<svt::ImageSet>(std::vector<std::string>{path}))
{
    Physics_Device_Struct *d = set_->device(0);
    if (!d)
        return;
    dev_ = *d;
    dev_.OwnerPartition = &part_;
    part_.PartSize = d->DiskSize;
    part_.FsType = fsType;
    part_.AccessMode = '?';
    part_.Device = &dev_;
    part_.BootData = boot_;
    sv_dev_read(&dev_, boot_, 512, 0);
}

FileVolume::~FileVolume() = default;

std::vector<Truth> readTruth(const std::string &dir)
{
    std::vector<Truth> out;
    std::ifstream f(dir + "/truth.tsv");
    std::string line;
    while (std::getline(f, line)) {
        std::stringstream ss(line);
        Truth t;
        std::string size;
        std::getline(ss, t.path, '\t');
        std::getline(ss, size, '\t');
        std::getline(ss, t.sha256, '\t');
        std::getline(ss, t.state, '\t');
        t.size = std::stoull(size);
        out.push_back(t);
    }
    return out;
}

// ---- SHA-256 ----

namespace {

const uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void block(uint32_t h[8], const uint8_t *p)
{
    uint32_t w[64];
    for (int i = 0; i < 16; i++)
        w[i] = (uint32_t)p[4 * i] << 24 | (uint32_t)p[4 * i + 1] << 16 | (uint32_t)p[4 * i + 2] << 8 | p[4 * i + 3];
    for (int i = 16; i < 64; i++) {
        uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int i = 0; i < 64; i++) {
        uint32_t S1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
        uint32_t ch = (e & f) ^ (~e & g);
        uint32_t t1 = hh + S1 + ch + K[i] + w[i];
        uint32_t S0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
        uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
        uint32_t t2 = S0 + maj;
        hh = g; g = f; f = e; e = d + t1; d = c; c = b; b = a; a = t1 + t2;
    }
    h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += hh;
}

}  // namespace

std::string sha256Hex(const std::vector<uint8_t> &data)
{
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    size_t n = data.size();
    size_t i = 0;
    for (; n - i >= 64; i += 64)
        block(h, data.data() + i);
    uint8_t tail[128] = {};
    size_t rest = n - i;
    if (rest)
        memcpy(tail, data.data() + i, rest);
    tail[rest] = 0x80;
    size_t len = rest + 1 + 8 <= 64 ? 64 : 128;
    uint64_t bits = (uint64_t)n * 8;
    for (int k = 0; k < 8; k++)
        tail[len - 1 - k] = (uint8_t)(bits >> (8 * k));
    block(h, tail);
    if (len == 128)
        block(h, tail + 64);
    static const char *hex = "0123456789abcdef";
    std::string out;
    for (uint32_t v : h)
        for (int k = 28; k >= 0; k -= 4)
            out += hex[(v >> k) & 0xF];
    return out;
}

// ---- FAT editor ----

static uint16_t le16(const uint8_t *p) { return (uint16_t)(p[0] | p[1] << 8); }
static uint32_t le32(const uint8_t *p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24; }

FatEditor::FatEditor(std::vector<uint8_t> &img) : img_(img)
{
    const uint8_t *b = img.data();
    bps_ = le16(b + 11);
    spc_ = b[13];
    reserved_ = le16(b + 14);
    fats_ = b[16];
    rootEntries_ = le16(b + 17);
    uint32_t total = le16(b + 19) ? le16(b + 19) : le32(b + 32);
    fatSectors_ = le16(b + 22) ? le16(b + 22) : le32(b + 36);
    uint32_t rootSectors = (rootEntries_ * 32 + bps_ - 1) / bps_;
    uint32_t dataSector = reserved_ + fats_ * fatSectors_ + rootSectors;
    uint32_t clusters = (total - dataSector) / spc_;
    type_ = clusters < 4085 ? 12 : clusters < 65525 ? 16 : 32;
    if (le16(b + 22) == 0)
        type_ = 32;
    rootOff_ = (uint64_t)(reserved_ + fats_ * fatSectors_) * bps_;
    dataOff_ = (uint64_t)dataSector * bps_;
    if (type_ == 32)
        rootCluster_ = le32(b + 44);
}

uint64_t FatEditor::clusterOffset(uint32_t c) const
{
    return dataOff_ + (uint64_t)(c - 2) * clusterSize();
}

uint32_t FatEditor::fatEntry(uint32_t c) const
{
    const uint8_t *fat = img_.data() + (uint64_t)reserved_ * bps_;
    if (type_ == 32)
        return le32(fat + 4 * c) & 0x0FFFFFFF;
    if (type_ == 16)
        return le16(fat + 2 * c);
    uint16_t w = le16(fat + c + c / 2);
    return (c & 1) ? w >> 4 : w & 0xFFF;
}

void FatEditor::setFatEntry(uint32_t c, uint32_t v)
{
    for (uint32_t k = 0; k < fats_; k++) {
        uint8_t *fat = img_.data() + (uint64_t)(reserved_ + k * fatSectors_) * bps_;
        if (type_ == 32) {
            uint32_t old = le32(fat + 4 * c);
            v = (old & 0xF0000000) | (v & 0x0FFFFFFF);
            for (int i = 0; i < 4; i++)
                fat[4 * c + i] = (uint8_t)(v >> (8 * i));
        } else if (type_ == 16) {
            fat[2 * c] = (uint8_t)v;
            fat[2 * c + 1] = (uint8_t)(v >> 8);
        } else {
            uint8_t *p = fat + c + c / 2;
            uint16_t w = le16(p);
            w = (c & 1) ? (uint16_t)((w & 0x000F) | (v << 4)) : (uint16_t)((w & 0xF000) | (v & 0xFFF));
            p[0] = (uint8_t)w;
            p[1] = (uint8_t)(w >> 8);
        }
    }
}

uint64_t FatEditor::findEntry(const std::string &name83, uint32_t dirCluster) const
{
    auto match = [&](const uint8_t *e) {
        for (size_t i = 0; i < 11; i++)
            if (!(i == 0 && name83[0] == '?') && e[i] != (uint8_t)name83[i])
                return false;
        return e[11] != 0x0F;
    };
    if (dirCluster == 0 && type_ != 32) {
        for (uint32_t i = 0; i < rootEntries_; i++)
            if (match(img_.data() + rootOff_ + 32 * i))
                return rootOff_ + 32 * i;
        return 0;
    }
    uint32_t c = dirCluster ? dirCluster : rootCluster_;
    for (int hops = 0; hops < 100000 && c >= 2 && c < 0x0FFFFFF7; hops++) {
        uint64_t off = clusterOffset(c);
        for (uint32_t i = 0; i < clusterSize() / 32; i++)
            if (match(img_.data() + off + 32 * i))
                return off + 32 * i;
        c = fatEntry(c);
        if ((type_ == 16 && c >= 0xFFF7) || (type_ == 12 && c >= 0xFF7))
            break;
    }
    return 0;
}

uint32_t FatEditor::entryCluster(uint64_t off) const
{
    return (uint32_t)le16(img_.data() + off + 20) << 16 | le16(img_.data() + off + 26);
}

void FatEditor::setEntryCluster(uint64_t off, uint32_t c)
{
    uint8_t *e = img_.data() + off;
    e[20] = (uint8_t)(c >> 16);
    e[21] = (uint8_t)(c >> 24);
    e[26] = (uint8_t)c;
    e[27] = (uint8_t)(c >> 8);
}

}  // namespace fatt
