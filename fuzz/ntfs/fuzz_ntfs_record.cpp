// Random MFT records into the record checks and the attribute search: every
// attribute found is turned into a context, its value read, its run list
// walked; nothing may read outside the record or loop.
#include <cstdint>
#include <cstring>
#include <vector>

#include "ntfs_i.h"

static const uint16_t kNone[1] = {0};
static const uint16_t kI30[4] = {'$', 'I', '3', '0'};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // The first byte picks the record size; the rest is the record.
    static const uint32_t sizes[] = {512, 1024, 2048, 4096};
    uint32_t rs = sizes[data[0] & 3];
    std::vector<uint8_t> rec(rs, 0);
    memcpy(rec.data(), data + 1, size - 1 < rs ? size - 1 : rs);
    ntfs_volume vol;
    memset(&vol, 0, sizeof(vol));
    vol.cluster_size = 512u << (data[0] >> 2 & 7);
    vol.record_size = rs;
    ntfs_finder f = {&vol, nullptr};
    // Unchecked walks are as safe as checked ones: try the raw bytes too.
    for (int pass = 0; pass < 2; pass++) {
        if (pass == 1 && ntfs_check_record(rec.data(), rs) != NTFS_OK)
            break;
        if (sv_ld_le16(rec.data() + NTFS_REC_FIRST_ATTR) > rs - 8)
            continue;
        struct {
            uint32_t type;
            const uint16_t *name;
            uint32_t len;
        } wants[] = {{NTFS_AT_FILE_NAME, kNone, 0}, {NTFS_AT_DATA, kNone, 0}, {NTFS_AT_INDEX_ROOT, kI30, 4},
                     {NTFS_AT_BITMAP, kI30, 4}, {NTFS_AT_ATTRIBUTE_LIST, kNone, 0}};
        for (auto &w : wants) {
            NTFS_ATTR_CONTEXT *ctx = ntfs_find_attr(&f, rec.data(), rs, 0, w.type, w.name, w.len, 0);
            if (!ctx)
                continue;
            uint64_t parent, ctime;
            uint8_t n;
            const uint8_t *name;
            if (ntfs_fn_parse(ctx, &parent, &ctime, &n, &name)) {
                uint16_t sink = 0;
                for (uint8_t i = 0; i < n; i++)
                    sink ^= sv_ld_le16(name + 2 * i);
                asm volatile("" : : "r"(sink));
            }
            uint8_t buf[256];
            Ntfs_Read_Attribute(ctx, 0, buf, sizeof buf);
            Ntfs_Read_Attribute(ctx, (int64_t)(ntfs_ctx_size(ctx) / 2), buf, sizeof buf);
            (void)__getLCNlenth(ctx);
            Ntfs_Release_Attribute_Context(ctx);
        }
    }
    return 0;
}
