// The journal scan end to end: a valid journaled volume whose journal is
// the fuzz input.  Every record found is streamed back completely (sizes
// capped), which exercises the block mapping with hostile extents.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "hfs_builder.h"
#include "varn.h"

namespace {

struct Volume {
    std::vector<uint8_t> image;
    uint64_t journalOffset = 0, journalSize = 0, catalogOffset = 0;
};

const Volume &templateVolume()
{
    static Volume v = [] {
        svt::HfsImage::Options o;
        o.volumeBytes = 2u << 20;
        o.journalBytes = 256u << 10;
        o.catalogNodes = 8;
        svt::HfsImage b(o);
        svt::HfsRecord f = b.file(20, 2, "a.txt", std::vector<uint8_t>(5000, 'a'));
        b.setCatalog({{b.folder(2, 1, "Untitled"), f, f.thread()}});
        Volume out;
        out.image = b.image();
        out.journalOffset = b.journalOffset();
        out.journalSize = o.journalBytes;
        out.catalogOffset = b.catalogOffset();
        return out;
    }();
    return v;
}

std::vector<uint8_t> *g_image;

int32_t readOp(Physics_Device_Struct *, void *dst, uint32_t len, uint64_t off)
{
    memset(dst, 0, len);
    if (off >= g_image->size())
        return -1;
    uint64_t n = g_image->size() - off < len ? g_image->size() - off : len;
    memcpy(dst, g_image->data() + off, (size_t)n);
    return (int32_t)n;
}

int32_t writeOp(Physics_Device_Struct *, const void *, uint32_t, uint64_t)
{
    abort();  // the scanned medium is never written
}

int32_t cleanOp(Physics_Device_Struct *)
{
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const Volume &t = templateVolume();
    std::vector<uint8_t> image = t.image;
    g_image = &image;
    // Input: the journal from its first byte; past the journal's size, the
    // catalog file (for the catalog scan).
    size_t j = size < t.journalSize ? size : (size_t)t.journalSize;
    memcpy(image.data() + t.journalOffset, data, j);
    if (size > j)
        memcpy(image.data() + t.catalogOffset, data + j,
               size - j < 32768 ? size - j : 32768);

    DeviceOps ops = {writeOp, readOp, cleanOp};
    Physics_Device_Struct dev{};
    dev.SectorSize = 512;
    dev.Ops = &ops;
    Partiton_Struct part{};
    part.FsType = FS_HFSPLUS;
    part.PartSize = image.size();
    part.Device = &dev;
    part.AccessMode = '?';
    dev.OwnerPartition = &part;

    if (hfsp_init(&part) != 1)
        abort();
    std::vector<uint8_t> buf(4096);
    for (int pass = 0; pass < 2; pass++) {
        file_info *head = pass == 0 ? hfsp_searchfile(1) : hfsp_searchCatalogFile();
        int listed = 0;
        for (file_info *r = head; r && listed < 4096; r = r->Next, listed++) {
            if (r->RecordType != 1 && r->RecordType != 2)
                abort();
            uint64_t left = r->DataSize < (1u << 20) ? r->DataSize : (1u << 20);
            while (left) {
                uint32_t n = left < buf.size() ? (uint32_t)left : (uint32_t)buf.size();
                int32_t got = hfsxx_readwirtelogfile(r, buf.data(), n, left == n);
                if (got > (int32_t)n)
                    abort();
                left -= n;
            }
        }
    }
    hfsp_exit();
    return 0;
}
