// The journal search on a real ext4 volume whose journal area is replaced
// by the input: ring walk, replay, inode history, block maps, names, reads.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "cosk.h"
#include "mem_device.h"

namespace {

struct Template {
    std::vector<uint8_t> image;
    std::vector<size_t> slots;  // byte offset of each journal block in the image
    Template()
    {
        std::ifstream f(SV_EXT_JOURNAL_TEMPLATE "/template.img", std::ios::binary);
        image.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        std::ifstream j(SV_EXT_JOURNAL_TEMPLATE "/template.jmap");
        size_t logical, physical, length;
        while (j >> logical >> physical >> length)
            for (size_t i = 0; i < length; i++)
                if ((physical + i + 1) * 1024 <= image.size())
                    slots.push_back((physical + i) * 1024);
        if (image.empty() || slots.empty())
            abort();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Template t;
    std::vector<uint8_t> image = t.image;
    // The input is the journal file: spread over its blocks in order.
    for (size_t s = 0; s < t.slots.size() && s * 1024 < size; s++)
        memcpy(image.data() + t.slots[s], data + s * 1024, std::min<size_t>(1024, size - s * 1024));
    // Served from memory: thousands of runs a second instead of tens.
    svt::MemDevice dev(std::move(image));
    if (ext3_init(dev.partition(0, dev.bytes().size(), FS_EXT4))) {
        int64_t count = ext3_journal_searchfile();
        std::vector<uint8_t> buf(65536);
        for (int64_t i = 0; i < count; i++) {
            Ext3JournalFile *f = ext3_journal_get_file((uint32_t)i);
            if (!f)
                abort();
            size_t len = strnlen(f->Name, EXT3_JNAME_LEN);
            if (len >= EXT3_JNAME_LEN || strchr(f->Name, '/'))
                abort();
            if (f->Folder && f->Folder[0] == '/')
                abort();
            int64_t got = ext3_journal_readfile(f, 0, buf.data(), (uint32_t)buf.size(), nullptr);
            if (got < 0 || (uint64_t)got > f->Size || got > (int64_t)buf.size())
                abort();
        }
        if (ext3_journal_get_file((uint32_t)(count < 0 ? 0 : count)) != nullptr)
            abort();
    }
    ext3_exit();
    return 0;
}
