/*
 * Windows dynamic disks: the logical disk manager database (1 MiB at the
 * end of an MBR disk, or in its own GPT partition) names the member disks
 * of the group and the volumes on them.  Every simple volume (and the
 * first piece of a spanned or striped one) is probed and listed.
 *
 * Database numbers are big-endian; a var-string is one length byte and
 * that many bytes.  Nothing here writes past its 16-entry tables or its
 * 128-entry record list, whatever the database says.
 */
#include "merrow_i.h"
#include "RAID.h"

#include <cstdlib>
#include <cstring>

extern "C" {
MERROW_EXPORT uint8_t *LDMaddr = nullptr;
MERROW_EXPORT int32_t _Gindx = -1;
MERROW_EXPORT uint64_t OffsetArry[16] = {};
MERROW_EXPORT uint8_t *DiskGUID[16] = {};
}

namespace {

const uint8_t kKindDisk = 0x34;
const uint8_t kKindPartition = 0x33;
const uint32_t kRecordStride = 128;

/* A var-string inside the database buffer. */
struct VarString {
    const uint8_t *text;  /* the length byte is text[-1] */
    uint32_t len;
};

/* The var-string at byte off of the view; false when it does not fit. */
bool var_string(sv_view v, size_t off, VarString *out)
{
    uint8_t len;
    if (!sv_u8(v, off, &len) || !sv_has(v, off + 1, len))
        return false;
    out->text = v.data + off + 1;
    out->len = len;
    return true;
}

/* State of one call. */
struct LdmCall {
    GPT_INFO slots[SV_LDM_MAX_DISKS];
    const uint8_t *objid[SV_LDM_MAX_DISKS];  /* disk object ids; length byte before */
    const uint8_t *records[SV_LDM_MAX_RECORDS];
    uint32_t nrecords;
    _Device_List *members[SV_LDM_MAX_DISKS];  /* devices taken as members */
    uint32_t nmembers;
    uint32_t record_size;
    bool vmdb_seen;
};

/* The view from a record to the end of the database buffer. */
sv_view record_view(const uint8_t *rec)
{
    size_t used = (size_t)(rec - LDMaddr);
    return sv_view_make(rec, SV_LDM_DB_SIZE - used);
}

uint64_t tail_metadata(const Physics_Device_Struct *dev)
{
    return dev->DiskSize >= SV_LDM_DB_SIZE ? dev->DiskSize - SV_LDM_DB_SIZE : UINT64_MAX;
}

void walk_members(_Device_List *node, LdmCall *c, uint32_t disks)
{
    uint32_t wanted = disks >= 1 ? disks - 1 : 0;
    if (wanted > SV_LDM_MAX_DISKS - 1)
        wanted = SV_LDM_MAX_DISKS - 1;
    uint32_t slot = 1;
    for (_Device_List *m = node->next; m && slot <= wanted; m = m->next) {
        auto *dev = static_cast<Physics_Device_Struct *>(m->data);
        if (dev->DevNum == SV_DEV_SKIPPED)
            continue;
        c->members[c->nmembers++] = m;
        GPT_INFO &s = c->slots[slot];
        uint8_t type = Judge_GTP(m);
        if (type == 0x42 && sv_sector_size_ok(dev)) {
            s.DataStart = 63ull * (uint32_t)dev->SectorSize;
            s.MetadataLocation = tail_metadata(dev);
            Get_GPT_GUID(m, &s);
            s.Node = m;
        } else if (type == 0xEE) {
            /* Also lists the member's ordinary GPT partitions, if any. */
            if (Init_GTP_DataOffset(m, &s) == 1)
                Get_GPT_GUID(m, &s);
            s.Node = m;
        }
        slot++;
    }
}

void walk_database(_Device_List *node, LdmCall *c, uint32_t ss)
{
    for (uint32_t off = 0; SV_LDM_DB_SIZE - off >= ss; off += ss) {
        const uint8_t *sec = LDMaddr + off;
        if (sv_ld_le32(sec) == 0)
            continue;
        if (memcmp(sec, "PRIVHEAD", 8) == 0) {
            memcpy(c->slots[0].DiskGuid, sec + 48, SV_LDM_GUID_LEN);
        } else if (memcmp(sec, "VBLK", 4) == 0 && c->record_size != 0) {
            /* Records sit at a fixed stride; never more than the sector holds. */
            uint32_t per = ss / c->record_size;
            if (per > ss / kRecordStride)
                per = ss / kRecordStride;
            for (uint32_t r = 0; r < per; r++) {
                const uint8_t *rec = sec + r * kRecordStride;
                if (sv_ld_be32(rec + 8) == 0)
                    continue;
                if (c->nrecords >= SV_LDM_MAX_RECORDS)
                    break;
                c->records[c->nrecords++] = rec;
                if (rec[19] != kKindDisk)
                    continue;
                sv_view v = record_view(rec);
                VarString id, name, guid;
                if (!var_string(v, 24, &id) || !var_string(v, 25 + id.len, &name) ||
                    name.len == 0 || !var_string(v, 26 + id.len + name.len, &guid))
                    continue;
                int index = (int)name.text[name.len - 1] - '1';
                if (index < 0 || index >= SV_LDM_MAX_DISKS)
                    continue;
                c->objid[index] = id.text;
                DiskGUID[index] = const_cast<uint8_t *>(guid.text);
            }
        } else if (memcmp(sec, "VMDB", 4) == 0) {
            c->record_size = sv_ld_be32(sec + 8);
            if (!c->vmdb_seen) {
                c->vmdb_seen = true;
                uint32_t disks = sv_ld_be32(sec + 145);
                walk_members(node, c, disks);
                if (disks < SV_LDM_MAX_DISKS)
                    memset(&c->slots[disks], 0, sizeof c->slots[disks]);
            }
        }
    }
}

/* Puts each member into the slot of its disk index, by GUID. */
void order_slots(LdmCall *c)
{
    for (int e = 0; e < SV_LDM_MAX_DISKS && c->slots[e].Node; e++) {
        int found = -1;
        for (int i = 0; i < SV_LDM_MAX_DISKS && DiskGUID[i]; i++) {
            uint32_t len = DiskGUID[i][-1];
            if (len <= SV_LDM_GUID_LEN && memcmp(DiskGUID[i], c->slots[e].DiskGuid, len) == 0) {
                found = i;
                break;
            }
        }
        if (found >= 0 && found != e) {
            GPT_INFO t = c->slots[e];
            c->slots[e] = c->slots[found];
            c->slots[found] = t;
        }
    }
}

void list_volumes(LdmCall *c, const InFoDisk *entry)
{
    int32_t k = 0;
    for (uint32_t r = 0; r < c->nrecords && k < SV_LDM_MAX_VOLUMES; r++) {
        const uint8_t *rec = c->records[r];
        if (rec[19] != kKindPartition)
            continue;
        sv_view v = record_view(rec);
        uint8_t a, b, cl, dl, el, after;
        uint64_t start, vol_offset;
        if (!sv_u8(v, 24, &a) || !sv_u8(v, 25 + (size_t)a, &b))
            continue;
        size_t x = (size_t)a + b;
        if (!sv_be64(v, x + 38, &start) || !sv_be64(v, x + 46, &vol_offset) ||
            !sv_u8(v, x + 54, &cl))
            continue;
        size_t y = x + cl;
        if (!sv_u8(v, y + 55, &dl))
            continue;
        size_t z = y + dl;
        if (!sv_u8(v, z + 56, &el) || !sv_u8(v, z + 57 + el, &after))
            continue;
        if (vol_offset != 0 || after != 0)
            continue;
        const uint8_t *disk_id = rec + z + 57;
        int g = -1;
        for (int i = 0; i < SV_LDM_MAX_DISKS && c->objid[i]; i++) {
            uint32_t len = c->objid[i][-1];
            if (sv_has(v, z + 57, len) && memcmp(c->objid[i], disk_id, len) == 0) {
                g = i;
                break;
            }
        }
        if (g < 0 || !c->slots[g].Node)
            continue;
        auto *dev = static_cast<Physics_Device_Struct *>(c->slots[g].Node->data);
        uint64_t ss = (uint32_t)dev->SectorSize;
        if (ss == 0 || start > (UINT64_MAX - c->slots[g].DataStart) / ss)
            continue;
        OffsetArry[k] = start * ss + c->slots[g].DataStart;
        _Gindx = k;
        Add_Partition_List(Full_Part_Struct(c->slots[g].Node, entry));
        k++;
    }
    _Gindx = -1;
}

void end_call()
{
    free(LDMaddr);
    LDMaddr = nullptr;
    /* The GUID texts lived in the buffer just freed. */
    memset(DiskGUID, 0, sizeof DiskGUID);
    _Gindx = -1;
}

}  // namespace

uint64_t Get_NewsPartition_Offset(void)
{
    if (_Gindx < 0 || _Gindx >= SV_LDM_MAX_VOLUMES)
        return UINT64_MAX;
    return OffsetArry[_Gindx];
}

int Get_GPT_GUID(_Device_List *node, GPT_INFO *info)
{
    Physics_Device_Struct *dev = sv_node_dev(node);
    if (!dev || !info || !sv_sector_size_ok(dev) || info->MetadataLocation == UINT64_MAX)
        return 0;
    uint8_t *db = sv_read_block(node, info->MetadataLocation, SV_LDM_DB_SIZE);
    if (!db)
        return 0;
    uint32_t ss = (uint32_t)dev->SectorSize;
    int found = 0;
    for (uint32_t off = 0; SV_LDM_DB_SIZE - off >= ss; off += ss) {
        if (sv_ld_le32(db + off) != 0 && memcmp(db + off, "PRIVHEAD", 8) == 0) {
            memcpy(info->DiskGuid, db + off + 48, SV_LDM_GUID_LEN);
            found = 1;
            break;
        }
    }
    free(db);
    return found;
}

uint8_t News_Disk(_Device_List *node, const InFoDisk *entry, bool gpt)
{
    Physics_Device_Struct *dev = sv_node_dev(node);
    if (!dev || !entry || !sv_sector_size_ok(dev))
        return 0;
    auto *c = static_cast<LdmCall *>(MALLOC(sizeof(LdmCall)));
    for (GPT_INFO &s : c->slots)
        s.MetadataLocation = UINT64_MAX;
    memset(DiskGUID, 0, sizeof DiskGUID);
    free(LDMaddr);
    LDMaddr = static_cast<uint8_t *>(MALLOC(SV_LDM_DB_SIZE));
    uint32_t ss = (uint32_t)dev->SectorSize;

    uint8_t result = 0;
    GPT_INFO &self = c->slots[0];
    if (gpt) {
        if (Init_GTP_DataOffset(node, &self) == 0)
            goto done;  /* an ordinary GPT disk: its partitions are listed */
    } else {
        self.MetadataLocation = tail_metadata(dev);
        self.DataStart = 63ull * ss;
    }
    self.Node = node;
    if (self.MetadataLocation == UINT64_MAX ||
        self.MetadataLocation > dev->DiskSize ||
        dev->DiskSize - self.MetadataLocation < SV_LDM_DB_SIZE ||
        dev->Ops->read(dev, LDMaddr, SV_LDM_DB_SIZE, self.MetadataLocation) !=
            (int32_t)SV_LDM_DB_SIZE)
        goto done;

    walk_database(node, c, ss);
    order_slots(c);
    list_volumes(c, entry);

    /* The disk and the members taken are not parsed again. */
    dev->Used = 1;
    for (uint32_t i = 0; i < c->nmembers; i++)
        static_cast<Physics_Device_Struct *>(c->members[i]->data)->Used = 1;
    result = 1;
done:
    end_call();
    free(c);
    return result;
}
