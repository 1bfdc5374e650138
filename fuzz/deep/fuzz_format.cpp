// One format check over random bytes after a valid signature: the bytes
// are laid behind the descriptor's magic (SN_FUZZ_FORMAT names it) and the
// header and file checks run over them, once over memory and once through
// a window/cache split as in the scan.  A found file must lie inside the
// bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sennet_i.h"

#define SN_STR2(x) #x
#define SN_STR(x) SN_STR2(x)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const sn_format *f = sn_format_by_name(SN_STR(SN_FUZZ_FORMAT));
    if (!f)
        abort();
    size_t head = (size_t)f->magic_off + f->magic_len;
    // Inputs that already carry the signature (the seed files) are used as
    // they are.
    if (size >= head && memcmp(data + f->magic_off, f->magic, f->magic_len) == 0)
        head = 0;
    std::vector<uint8_t> buf(head + size);
    if (size)
        memcpy(buf.data() + head, data, size);
    // bytes before the magic come from the input's tail (e.g. a box size)
    if (head) {
        for (size_t i = 0; i < f->magic_off; i++)
            buf[i] = size > i ? data[size - 1 - i] : 0;
        if (f->magic_off)
            buf[0] = f->first_byte;
        memcpy(buf.data() + f->magic_off, f->magic, f->magic_len);
    }

    sn_src src;
    sn_src_mem(&src, buf.data(), buf.size());
    sn_hit hit;
    if (sn_check(f, &src, &hit) == SN_OK) {
        if (hit.size == 0 || hit.size > buf.size() || !hit.type)
            abort();
    }
    // The other descriptors sharing the first byte see the same bytes.
    for (const sn_format *const *g = sn_dispatch(buf[0]); *g; g++) {
        sn_src s2;
        sn_src_mem(&s2, buf.data(), buf.size());
        if (sn_check(*g, &s2, &hit) == SN_OK && (hit.size == 0 || hit.size > buf.size()))
            abort();
    }
    return 0;
}
