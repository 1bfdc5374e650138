// Random run lists into the run decoder and the run cache: the bytes become
// the run list of a non-resident attribute read through a memory volume, at
// offsets the input chooses, forwards and backwards.
#include <cstdint>
#include <cstring>
#include <vector>

#include "mem_device.h"
#include "ntfs_i.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 8)
        return 0;
    const uint8_t *ctl = data;
    const uint8_t *runs = data + 8;
    size_t nruns = size - 8 > 2000 ? 2000 : size - 8;

    // The plain decoder over the bytes.
    const uint8_t *p = runs, *end = runs + nruns;
    for (size_t hops = 0; p && p < end && hops <= nruns; hops++) {
        ntfs_run r;
        bool bad;
        p = Ntfs_Decode_Run(p, end, &r, &bad);
    }

    // The bytes as LZNT1 data of one compression unit.
    static std::vector<uint8_t> unit(64 * 1024);
    ntfs_lznt1_decompress(runs, nruns, unit.data(), (size_t)(4096u << (ctl[7] % 5)));

    // A non-resident attribute with these runs, compressed when ctl says so.
    std::vector<uint8_t> attr(64 + nruns + 8, 0);
    uint32_t len = (uint32_t)attr.size();
    attr[0] = 0x80;
    memcpy(&attr[4], &len, 4);
    attr[8] = 1;
    attr[32] = 64;
    if (ctl[4] & 0x80) {
        attr[12] = 0x01;             // compressed
        attr[34] = ctl[4] & 0x0F;    // compression unit: 2^n clusters
    }
    uint64_t dataSize = (uint64_t)ctl[0] << (ctl[1] % 40);
    uint64_t highest = (uint64_t)ctl[2] << 8 | ctl[3];
    memcpy(&attr[24], &highest, 8);
    memcpy(&attr[40], &dataSize, 8);
    memcpy(&attr[48], &dataSize, 8);
    memcpy(&attr[56], &dataSize, 8);
    memcpy(&attr[64], runs, nruns);
    ntfs_attr a;
    if (!ntfs_attr_parse(attr.data(), len, &a))
        return 0;

    static svt::MemDevice *dev = nullptr;
    static Partiton_Struct *part = nullptr;
    if (!dev) {
        std::vector<uint8_t> bytes(1 << 20);
        for (size_t i = 0; i < bytes.size(); i++)
            bytes[i] = (uint8_t)(i * 31 + (i >> 9));
        dev = new svt::MemDevice(bytes);
        part = dev->partition(0, bytes.size(), FS_NTFS);
    }
    ntfs_volume vol;
    memset(&vol, 0, sizeof(vol));
    vol.part = part;
    vol.cluster_size = 512u << (ctl[4] % 5);
    vol.record_size = 1024;
    vol.limit = 1 << 20;
    NTFS_ATTR_CONTEXT *ctx = Ntfs_Prepare_Attribute_Context(&a, &vol);
    (void)__getLCNlenth(ctx);
    std::vector<uint8_t> buf(64 * 1024);
    for (int i = 0; i < 4; i++) {
        uint64_t off = ((uint64_t)ctl[5 + (i % 3)] << (8 + i * 3)) % (dataSize + 1);
        uint64_t n = ((uint64_t)ctl[(i + 6) % 8] << 8) % buf.size() + 1;
        int64_t got = Ntfs_Read_Attribute(ctx, (int64_t)off, buf.data(), (int64_t)n);
        if (got < 0 || (uint64_t)got > n)
            __builtin_trap();
    }
    Ntfs_Release_Attribute_Context(ctx);
    return 0;
}
