// A mapfile of any content, for a medium of a size taken from the input:
// either refused, or a map that covers the medium exactly, whose totals add
// up, and whose text reads back as the same map.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "rescue_map.h"

using namespace salvitra;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    uint32_t sectors;
    memcpy(&sectors, data, 4);
    uint64_t medium = (uint64_t)(sectors % (1u << 24)) * 512 + (sectors >> 30);
    std::string text(reinterpret_cast<const char *>(data + 4), size - 4);
    RescueMap m;
    std::string why;
    if (!m.parse(text, medium, &why))
        return 0;
    uint64_t end = 0, sum = 0;
    m.forEach([&](uint64_t pos, uint64_t len, BlockStatus) {
        if (pos != end || len == 0)
            abort();
        end = pos + len;
        return true;
    });
    if (end != medium)
        abort();
    for (BlockStatus s : {BlockStatus::NonTried, BlockStatus::NonTrimmed, BlockStatus::NonScraped,
                          BlockStatus::BadSector, BlockStatus::Finished})
        sum += m.bytes(s);
    if (sum != medium)
        abort();
    RescueMap again;
    if (!again.parse(m.text("x"), medium, &why) || again.text("x") != m.text("x"))
        abort();
    return 0;
}
