// Random media through the whole listing path: FullDevStruct opens the
// bytes as /dev/disk0, FullPartitionBlock reads whatever tables and file
// systems it finds, and (mode bit 2) the search for lost volumes adds what
// it finds.  The list must come out sane and tear down cleanly.
//
// Input: one mode byte, then either the raw image (even mode) or a sparse
// image (odd mode) as records of a little-endian sector number and up to
// 512 bytes, so that small inputs can reach tables and volumes megabytes
// into a disk.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "fuzz_support.h"
#include "merrow.h"

namespace {

const uint32_t kMaxSector = 1u << 17;  // sparse images stay below 64 MiB

void writeSparse(const std::string &path, const uint8_t *data, size_t size)
{
    int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0)
        abort();
    uint64_t end = 0;
    while (size >= 4) {
        uint32_t sector = (data[0] | data[1] << 8 | data[2] << 16 | (uint32_t)data[3] << 24) % kMaxSector;
        data += 4;
        size -= 4;
        size_t n = size < 512 ? size : 512;
        if (pwrite(fd, data, n, (off_t)sector * 512) != (ssize_t)n)
            abort();
        if ((uint64_t)sector * 512 + 512 > end)
            end = (uint64_t)sector * 512 + 512;
        data += n;
        size -= n;
    }
    if (ftruncate(fd, (off_t)end) != 0)
        abort();
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    bool sparse = data[0] & 1;
    svf::ImageFile img(sparse ? nullptr : data + 1, sparse ? 0 : size - 1);
    svf::ImageFile twin(sparse ? nullptr : data + 1, sparse ? 0 : size - 1);
    if (sparse) {
        writeSparse(img.path(), data + 1, size - 1);
        writeSparse(twin.path(), data + 1, size - 1);
    }
    // Optionally the same medium twice: the second copy may be claimed as
    // the device of a partition or as a dynamic-disk member.
    const char *paths[] = {img.path().c_str(), twin.path().c_str()};
    Salvitra_SetDiskImages(paths, (data[0] & 2) ? 2 : 1);
    FullDevStruct();
    FullPartitionBlock();
    for (_Device_List *n = GlobPointerPartiton; n; n = n->next) {
        auto *p = static_cast<Partiton_Struct *>(n->data);
        if (!p->BootData || !p->Device || p->FsType < 1 || p->FsType > 11)
            abort();
        if (strnlen(p->VolumeName, sizeof p->VolumeName) >= sizeof p->VolumeName ||
            strnlen(p->FsInfo, sizeof p->FsInfo) >= sizeof p->FsInfo)
            abort();
        if (p->AccessMode == '?' && p->Device->OwnerPartition != p)
            abort();
        uint8_t buf[600];
        p->Device->Ops->read(p->Device, buf, sizeof buf, 3);
        (void)get_blocksize(p);
    }
    if (_Gindx != -1 || LDMaddr != nullptr)
        abort();
    // The search for lost volumes over the same medium (mode bit 2), its
    // volumes made into records and listed, with their alternatives.
    if (data[0] & 4) {
        Volume_Search s;
        if (Salvitra_SearchVolumes(0, nullptr, nullptr, &s) == 0) {
            for (uint32_t i = 0; i < s.Count; i++) {
                const Found_Volume &v = s.Volumes[i];
                if (v.BootLen == 0 || v.BootLen > SV_VOL_BOOT_LEN || v.Within >= (int32_t)s.Count ||
                    strnlen(v.VolumeName, sizeof v.VolumeName) >= sizeof v.VolumeName ||
                    strnlen(v.FsInfo, sizeof v.FsInfo) >= sizeof v.FsInfo || v.FsType < 1 || v.FsType > 11)
                    abort();
                if (Partiton_Struct *p = Salvitra_AddPartition(Salvitra_MakeFoundPartition(&v, 1))) {
                    for (int32_t a = 0; Partiton_Struct *alt = Salvitra_GetAlternative(p, a); a++)
                        if (!alt->BootData || alt->PartOffset != p->PartOffset || !alt->Device)
                            abort();
                    uint8_t buf[600];
                    p->Device->Ops->read(p->Device, buf, sizeof buf, 3);
                }
            }
        }
        Salvitra_FreeSearch(&s);
    }
    FullPartitionBlock_exit();
    FullDevStruct_exit();
    Salvitra_SetDiskImages(nullptr, 0);
    return 0;
}
