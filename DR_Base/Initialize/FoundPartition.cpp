/*
 * Partition records no table entry gave: the volumes the search found, and
 * the other file systems whose checks pass where a partition starts (a
 * partition carrying two of them is ambiguous; the user picks one).
 */
#include "merrow_i.h"

#include <cstdlib>
#include <cstring>

namespace {

struct Alternative {
    const Partiton_Struct *of;
    Partiton_Struct *alt;
};

/* Every alternative record, in the order they were made. */
struct AlternativeTable {
    Alternative *items;
    uint32_t count;
    uint32_t cap;
} g_alt;

void alt_push(const Partiton_Struct *of, Partiton_Struct *alt)
{
    if (g_alt.count == g_alt.cap) {
        uint32_t cap = g_alt.cap ? g_alt.cap * 2 : 8;
        auto *n = static_cast<Alternative *>(MALLOC(sizeof(Alternative) * cap));
        if (g_alt.count)
            memcpy(n, g_alt.items, sizeof(Alternative) * g_alt.count);
        free(g_alt.items);
        g_alt.items = n;
        g_alt.cap = cap;
    }
    g_alt.items[g_alt.count++] = {of, alt};
}

struct Check {
    int32_t (*check)(_Device_List *, Partiton_Struct *);
    int32_t family;
};

/* The file systems a partition may be scanned as, in the probes' order. */
const Check kChecks[] = {
    {check_FAT, FS_FAT32}, {check_NTFS, FS_NTFS}, {check_EXFAT, FS_EXFAT},
    {check_EXT, FS_EXT4},  {check_HFSP, FS_HFSPLUS},
};

/* The take_* of a family. */
int32_t take(_Device_List *node, Partiton_Struct *part, int32_t family, uint8_t *buf, uint32_t len)
{
    switch (family) {
    case FS_FAT32: return take_FAT(node, part, buf, len);
    case FS_NTFS: return take_NTFS(node, part, buf, len);
    case FS_EXFAT: return take_EXFAT(node, part, buf, len);
    case FS_EXT4: return take_EXT(node, part, buf, len);
    case FS_HFSPLUS: return take_HFSP(node, part, buf, len);
    default:
        free(buf);
        return 1;
    }
}

/* The record reads through the same device as the one it stands beside. */
void share_device(_Device_List *node, const Partiton_Struct *of, Partiton_Struct *part)
{
    if (of && of->AccessMode != '?' && of->Device) {
        part->Device = of->Device;
        part->AccessMode = of->AccessMode;
    } else {
        sv_private_copy(node, part);
    }
}

/* A record's private device copy and its buffers. */
void free_one(Partiton_Struct *part)
{
    if (part->AccessMode == '?' && part->Device && part->Device->OwnerPartition == part)
        free(part->Device);
    part->Device = nullptr;
    Free_Par(part);
}

bool in_list(const Partiton_Struct *part)
{
    for (_Device_List *n = GlobPointerPartiton; n; n = n->next)
        if (n->data == part)
            return true;
    return false;
}

}  // namespace

_Device_List *sv_device_node(int32_t dev_num)
{
    for (_Device_List *n = GlobPointer; n; n = n->next)
        if (static_cast<Physics_Device_Struct *>(n->data)->DevNum == dev_num)
            return n;
    return nullptr;
}

void sv_note_alternatives(_Device_List *node, Partiton_Struct *part)
{
    Physics_Device_Struct *dev = sv_node_dev(node);
    if (!dev || !part || !part->BootData || !sv_sector_size_ok(dev) || part->PartOffset > UINT64_MAX - 1024)
        return;
    const int32_t own = sv_fs_family(part->FsType);
    const uint32_t ss = (uint32_t)dev->SectorSize;
    /* Two places decide every file system: the first sector, and what
     * lies from byte 1024 on.  Each is read once (the first sector is the
     * BootData of a FAT, NTFS or exFAT record). */
    const bool ownAtBoot = own == FS_FAT32 || own == FS_NTFS || own == FS_EXFAT;
    uint8_t *place[2] = {nullptr, nullptr};
    const uint32_t len[2] = {ss, 2 * ss};
    bool tried[2] = {false, false};
    for (const Check &c : kChecks) {
        if (c.family == own)
            continue;
        const int p = (c.family == FS_FAT32 || c.family == FS_NTFS || c.family == FS_EXFAT) ? 0 : 1;
        if (!tried[p]) {
            tried[p] = true;
            if (ownAtBoot && p == 0) {
                /* The record's BootData is its first sector. */
                place[p] = static_cast<uint8_t *>(MALLOC(len[p]));
                memcpy(place[p], part->BootData, len[p]);
            } else {
                place[p] = sv_read_block(node, part->PartOffset + (p ? 1024 : 0), len[p]);
            }
        }
        if (!place[p])
            continue;
        auto *alt = static_cast<Partiton_Struct *>(MALLOC(sizeof(Partiton_Struct)));
        alt->PartOffset = part->PartOffset;
        auto *buf = static_cast<uint8_t *>(MALLOC(len[p]));
        memcpy(buf, place[p], len[p]);
        if (take(node, alt, c.family, buf, len[p]) != 0 || !alt->BootData) {
            Free_Par(alt);
            continue;
        }
        alt->DevNum = part->DevNum;
        alt->Bootable = part->Bootable;
        uint32_t cmp;
        sv_size_from_boot(alt, ss, &cmp);
        // The other file system, too, ends where the device ends.
        const uint64_t room = dev->DiskSize > alt->PartOffset ? dev->DiskSize - alt->PartOffset : 0;
        if (alt->PartSize > room)
            alt->PartSize = room;
        share_device(node, part, alt);
        alt_push(part, alt);
    }
    free(place[0]);
    free(place[1]);
}

void sv_alternatives_free(const Partiton_Struct *part)
{
    uint32_t kept = 0;
    for (uint32_t i = 0; i < g_alt.count; i++) {
        Alternative a = g_alt.items[i];
        if (part && a.of != part) {
            g_alt.items[kept++] = a;
            continue;
        }
        free_one(a.alt);
    }
    g_alt.count = kept;
    if (!part || kept == 0) {
        free(g_alt.items);
        memset(&g_alt, 0, sizeof g_alt);
    }
}

void sv_free_record(Partiton_Struct *part)
{
    if (!part)
        return;
    if (g_alt.count)
        sv_alternatives_free(part);
    free_one(part);
}

Partiton_Struct *sv_found_record(_Device_List *node, const Found_Volume *v)
{
    Physics_Device_Struct *dev = sv_node_dev(node);
    if (!dev || !v || !sv_sector_size_ok(dev) || v->BootLen == 0 || v->BootLen > SV_VOL_BOOT_LEN)
        return nullptr;
    const int32_t family = sv_fs_family(v->FsType);
    auto *part = static_cast<Partiton_Struct *>(MALLOC(sizeof(Partiton_Struct)));
    part->PartOffset = v->Offset;
    auto *buf = static_cast<uint8_t *>(MALLOC(v->BootLen));
    memcpy(buf, v->Boot, v->BootLen);
    if (take(node, part, family, buf, v->BootLen) != 0 || sv_fs_family(part->FsType) != family) {
        Free_Par(part);
        return nullptr;
    }
    part->DevNum = dev->DevNum;
    uint32_t cmp_len;
    sv_size_from_boot(part, (uint32_t)dev->SectorSize, &cmp_len);
    sv_cap_to_medium(dev, nullptr, part);
    sv_choose_device(node, part, cmp_len);
    return part;
}

extern "C" MERROW_EXPORT Partiton_Struct *Salvitra_MakeFoundPartition(const Found_Volume *volume,
                                                                      int32_t withAlternatives)
{
    if (!volume)
        return nullptr;
    _Device_List *node = sv_device_node(volume->DevNum);
    Partiton_Struct *part = sv_found_record(node, volume);
    if (part && withAlternatives)
        sv_note_alternatives(node, part);
    return part;
}

extern "C" MERROW_EXPORT Partiton_Struct *Salvitra_AddPartition(Partiton_Struct *part)
{
    if (!part || in_list(part))
        return part;
    if (Inquiry_Partiton_List(part)) {
        sv_free_record(part);
        return nullptr;
    }
    Add_Partition_List(part);
    return part;
}

extern "C" MERROW_EXPORT void Salvitra_FreePartition(Partiton_Struct *part)
{
    /* Records of the list go with the list. */
    if (!part || in_list(part))
        return;
    for (uint32_t i = 0; i < g_alt.count; i++)
        if (g_alt.items[i].alt == part)
            return;
    sv_free_record(part);
}

extern "C" MERROW_EXPORT Partiton_Struct *Salvitra_GetAlternative(const Partiton_Struct *part, int32_t index)
{
    if (!part || index < 0)
        return nullptr;
    int32_t seen = 0;
    for (uint32_t i = 0; i < g_alt.count; i++) {
        if (g_alt.items[i].of != part)
            continue;
        if (seen++ == index)
            return g_alt.items[i].alt;
    }
    return nullptr;
}
