/*
 * The partition list: building it device by device, the bare volume at
 * sector 0, the MBR and its chain of extended boot records.
 */
#include "merrow_i.h"
#include "RAID.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

EbrChainState EbrChain;

namespace {

/* Extended boot records followed per device.  Real chains hold a few
 * dozen logical partitions; a longer (or cyclic) chain is damaged. */
const int32_t kEbrBudget = 128;

/* Every EBR offset visited on the current device, for cycle detection. */
struct EbrVisited {
    uint64_t offsets[kEbrBudget];
    int32_t count;
} g_visited;

bool ebr_visited(uint64_t off)
{
    for (int32_t i = 0; i < g_visited.count; i++)
        if (g_visited.offsets[i] == off)
            return true;
    return false;
}

void reset_ebr_chain()
{
    memset(&EbrChain, 0, sizeof EbrChain);
    g_visited.count = 0;
}

InFoDisk entry_at(const uint8_t *sector, int i)
{
    InFoDisk e;
    memcpy(&e, sector + 446 + 16 * i, sizeof e);
    e.FirstSector = sv_ld_le32(sector + 446 + 16 * i + 8);
    e.SectorCount = sv_ld_le32(sector + 446 + 16 * i + 12);
    return e;
}

/* Turns sector 0 of a bare volume into a one-entry table. */
void fabricate_table(uint8_t *sector0, uint8_t type)
{
    memset(sector0, 0, 510);
    uint8_t *e = sector0 + 446;
    e[4] = type;
    e[12] = e[13] = e[14] = e[15] = 0xFF;  /* sector count 0xFFFFFFFF */
    sector0[510] = 0x55;
    sector0[511] = 0xAA;
}

}  // namespace

uint64_t *Get_GlobOffset(void)
{
    return EbrChain.Slots;
}

bool sv_mbr_is_partition(uint8_t type)
{
    switch (type) {
    case 0x01: case 0x04: case 0x06: case 0x07: case 0x0B: case 0x0C: case 0x0E:
    case 0x11: case 0x14: case 0x16: case 0x17: case 0x1B: case 0x1C: case 0x1E:
    case 0x83: case 0xAF:
        return true;
    default:
        return false;
    }
}

bool sv_mbr_is_extended(uint8_t type)
{
    return type == 0x05 || type == 0x0F || type == 0x85;
}

void EBR_info(_Device_List *node, uint64_t ebr_offset)
{
    Physics_Device_Struct *dev = sv_node_dev(node);
    if (!dev)
        return;
    if (EbrChain.Depth == 1) {
        EbrChain.Depth = 2;
        EbrChain.Base = ebr_offset;
    }
    /* Each EBR is read once: a link back to one already seen, or a chain
     * longer than the budget, ends the walk. */
    if (g_visited.count >= kEbrBudget || ebr_visited(ebr_offset))
        return;
    g_visited.offsets[g_visited.count++] = ebr_offset;

    uint32_t ss = (uint32_t)dev->SectorSize;
    uint8_t *sector = sv_read_block(node, ebr_offset, ss);
    if (!sector)
        return;
    if (EbrChain.Count < SV_EBR_SLOTS)
        EbrChain.Slots[EbrChain.Count] = ebr_offset;
    EbrChain.Count++;

    for (int i = 0; i < 4; i++) {
        InFoDisk e = entry_at(sector, i);
        if (e.SectorCount == 0 || e.FirstSector == 0)
            break;
        if (!sv_mbr_is_partition(e.Type) && !sv_mbr_is_extended(e.Type))
            sv_reject(node, ebr_offset + (uint64_t)e.FirstSector * ss,
                      "logical entry of type 0x%02X: not a file system Salvitra reads", e.Type);
        if (sv_mbr_is_partition(e.Type)) {
            /* Logical partitions start relative to their own EBR. */
            uint64_t first = ebr_offset / ss + e.FirstSector;
            Add_Partition_List(sv_full_part_at(node, &e, first * ss));
        } else if (sv_mbr_is_extended(e.Type)) {
            /* Links are relative to the first EBR of the chain. */
            uint64_t rel = (uint64_t)e.FirstSector * ss;
            if (EbrChain.Base <= UINT64_MAX - rel)
                EBR_info(node, EbrChain.Base + rel);
        }
    }
    free(sector);
}

void Init_Part_i386(_Device_List *node, uint8_t *sector0)
{
    Physics_Device_Struct *dev = sv_node_dev(node);
    if (!dev || !sector0)
        return;
    reset_ebr_chain();
    uint32_t ss = (uint32_t)dev->SectorSize;
    sv_view s0 = sv_view_make(sector0, ss);

    Partiton_Struct scratch{};
    uint8_t volume_type = 0;
    if (sv_ld_le16(sector0 + 510) == 0xAA55) {
        /* A volume boot sector at sector 0: a medium formatted without a
         * partition table (memory cards often are). */
        if (test_FAT(node, s0, &scratch) == 0)
            volume_type = 0x04;
        else if (test_NTFS(node, s0, &scratch) == 0 || test_EXFAT(node, s0, &scratch) == 0)
            volume_type = 0x07;
        bool any = false;
        for (int i = 0; i < 4; i++)
            any = any || entry_at(sector0, i).SectorCount != 0;
        if (!volume_type && !any) {
            /* Neither a table with entries nor a volume: say what each
             * boot-sector check found. */
            char fat[96], ntfs[96];
            sv_probe_reason_clear();
            test_FAT(node, s0, &scratch);
            snprintf(fat, sizeof fat, "%s", *sv_probe_reason() ? sv_probe_reason() : "no FAT boot sector");
            sv_probe_reason_clear();
            test_NTFS(node, s0, &scratch);
            snprintf(ntfs, sizeof ntfs, "%s", *sv_probe_reason() ? sv_probe_reason() : "no NTFS boot sector");
            sv_reject(node, 0, "sector 0: an empty partition table and no volume (%s; %s; no exFAT boot sector)",
                      fat, ntfs);
        }
    } else {
        /* ext and HFS keep their superblock at byte 1024, whatever the
         * sector size. */
        uint32_t len = 2 * ss;
        uint8_t *sb = sv_read_block(node, 1024, len);
        if (!sb)
            return;
        sv_view v = sv_view_make(sb, len);
        if (test_EXT(node, v, &scratch) == 0)
            volume_type = 0x83;
        else if (test_HFS(node, v, &scratch) == 0 || test_HFSP(node, v, &scratch) == 0)
            volume_type = 0xAF;
        free(sb);
        if (!volume_type) {
            sv_reject(node, 0, "no partition table (no boot signature in sector 0) and no ext, HFS or HFS+ "
                               "superblock at byte 1024");
            return;
        }
    }
    if (volume_type)
        fabricate_table(sector0, volume_type);

    for (int i = 0; i < 4; i++) {
        InFoDisk e = entry_at(sector0, i);
        if (e.SectorCount == 0)
            continue;
        if (sv_mbr_is_partition(e.Type)) {
            Add_Partition_List(Full_Part_Struct(node, &e));
        } else if (sv_mbr_is_extended(e.Type)) {
            EbrChain.Depth += 1;
            EBR_info(node, (uint64_t)e.FirstSector * ss);
            EbrChain.Depth -= 2;
            EbrChain.Base = 0;
        } else if (e.Type == 0x42) {
            News_Disk(node, &e, false);
            return;
        } else if (e.Type == 0xEE) {
            News_Disk(node, &e, true);
            return;
        } else {
            sv_reject(node, (uint64_t)e.FirstSector * ss, "entry %d of type 0x%02X: not a file system Salvitra reads",
                      i + 1, e.Type);
        }
    }
}

uint8_t Judge_GTP(_Device_List *node)
{
    Physics_Device_Struct *dev = sv_node_dev(node);
    if (!dev || !sv_sector_size_ok(dev))
        return 0;
    uint8_t *sector = sv_read_block(node, 0, (uint32_t)dev->SectorSize);
    if (!sector)
        return 0;
    uint8_t type = sector[450];
    free(sector);
    return type;
}

void Get_Partiton_Data(_Device_List *node, int unused)
{
    (void)unused;
    Physics_Device_Struct *dev = sv_node_dev(node);
    if (!dev || !sv_sector_size_ok(dev))
        return;
    uint8_t *sector0 = sv_read_block(node, 0, (uint32_t)dev->SectorSize);
    if (!sector0)
        return;
    if (sector0[0] == 'E' && sector0[1] == 'R')
        Init_Part_mac(node);
    else
        Init_Part_i386(node, sector0);
    free(sector0);
}

extern "C" MERROW_EXPORT void FullPartitionBlock(void)
{
    for (_Device_List *n = GlobPointer; n; n = n->next) {
        auto *dev = static_cast<Physics_Device_Struct *>(n->data);
        if (dev->DevNum == SV_DEV_SKIPPED || dev->Used != 0)
            continue;
        dev->Used = 1;
        Get_Partiton_Data(n, 0);
    }
}

extern "C" MERROW_EXPORT void FullPartitionBlock_exit(void)
{
    sv_rejections_clear();
    sv_alternatives_free(nullptr);
    while (GlobPointerPartiton) {
        auto *part = static_cast<Partiton_Struct *>(GlobPointerPartiton->data);
        /* A private copy shares its parent's descriptor and cache: only
         * the copy's own memory goes. */
        if (part->AccessMode == '?' && part->Device && part->Device->OwnerPartition == part)
            free(part->Device);
        part->Device = nullptr;
        Free_List(part);
    }
}
