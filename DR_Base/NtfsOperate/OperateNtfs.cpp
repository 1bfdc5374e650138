/*
 * The NTFS scanner's state and its lifetime: the volume set up by
 * Initi_Ntfs_InFo and torn down by NTFS_Free_Glod_Exit.
 *
 * All process-wide state of the scanner lives in g_ntfs.  It has hidden
 * visibility, so libmerrow and libtaskel, which both carry this code, each
 * have their own copy.
 */
#include "ntfs_i.h"

#include <stdlib.h>
#include <string.h>

NtfsState g_ntfs = {
    nullptr, nullptr, 0, 0, 0, nullptr, nullptr, {}, UINT64_MAX, nullptr, 0, 0, false, nullptr,
    {}, {}, {}, UINT32_MAX, nullptr, nullptr, nullptr, nullptr, nullptr,
};

static uint32_t size_from_code(int8_t code, uint32_t cluster)
{
    if (code > 0) {
        uint64_t s = (uint64_t)(uint8_t)code * cluster;
        return s > NTFS_MAX_RECORD ? 0 : (uint32_t)s;
    }
    int shift = -code;
    if (shift < 9 || shift > 16)
        return 0;
    return 1u << shift;
}

bool ntfs_parse_boot(const uint8_t *boot, size_t len, uint32_t *cluster, uint32_t *record, uint32_t *index,
                     uint64_t *mft_lcn, uint64_t *total_bytes)
{
    sv_view v = sv_view_make(boot, len);
    uint16_t bps;
    uint8_t spc;
    uint64_t lcn, sectors;
    uint8_t rc, ic;
    if (!sv_le16(v, 11, &bps) || !sv_u8(v, 13, &spc) || !sv_le64(v, 40, &sectors) || !sv_le64(v, 48, &lcn) ||
        !sv_u8(v, 64, &rc) || !sv_u8(v, 68, &ic))
        return false;
    if (bps < 256 || bps > 4096 || (bps & (bps - 1)))
        return false;
    uint64_t cs;
    if (spc == 0)
        return false;
    if (spc <= 0x80) {
        if (spc & (spc - 1))
            return false;
        cs = (uint64_t)bps * spc;
    } else {
        /* Large clusters: the count is 2 to the power (256 - value). */
        uint32_t shift = 256u - spc;
        if (shift > 20)
            return false;
        cs = (uint64_t)bps << shift;
    }
    if (cs > NTFS_MAX_CLUSTER)
        return false;
    uint32_t rs = size_from_code((int8_t)rc, (uint32_t)cs);
    uint32_t is = size_from_code((int8_t)ic, (uint32_t)cs);
    if (!ntfs_record_size_ok(rs))
        return false;
    if (!ntfs_record_size_ok(is))
        is = 4096;
    if (lcn > (uint64_t)INT64_MAX / cs)
        return false;
    *cluster = (uint32_t)cs;
    *record = rs;
    *index = is;
    *mft_lcn = lcn;
    *total_bytes = sectors > UINT64_MAX / bps ? UINT64_MAX : sectors * bps;
    return true;
}

bool ntfs_ready(void)
{
    return g_ntfs.NtfsClusterSize != 0 && g_ntfs.NtfsMFTContext != nullptr;
}

ntfs_finder ntfs_present_finder(void)
{
    ntfs_finder f;
    f.vol = &g_ntfs.Volume;
    f.mft = g_ntfs.NtfsMFTContext;
    return f;
}

uint8_t *ntfs_load_record(uint64_t number, ntfs_status *st)
{
    ntfs_status s = NTFS_IO;
    uint8_t *buf = nullptr;
    if (ntfs_ready()) {
        buf = (uint8_t *)MALLOC(g_ntfs.NtfsMftRecordSize);
        s = ntfs_read_mft_record(g_ntfs.NtfsMFTContext, number, g_ntfs.NtfsMftRecordSize, buf);
        if (s != NTFS_OK) {
            free(buf);
            buf = nullptr;
        }
    }
    if (st)
        *st = s;
    return buf;
}

/*
 * The MFT's data.  Its first extent is in record 0; on a volume whose MFT
 * is badly fragmented the rest sits in extension records, which are read
 * through that first extent.
 */
NTFS_ATTR_CONTEXT *ntfs_open_mft(const ntfs_volume *vol, const uint8_t *rec0, uint32_t size)
{
    static const uint16_t none[1] = {0};
    ntfs_finder boot = {vol, nullptr};
    NTFS_ATTR_CONTEXT *first = ntfs_find_attr(&boot, rec0, size, 0, NTFS_AT_DATA, none, 0, 0);
    ntfs_attr a;
    if (!first || !ntfs_ctx_attr(first, &a) || !a.nonres) {
        Ntfs_Release_Attribute_Context(first);
        return nullptr;
    }
    ntfs_finder full = {vol, first};
    NTFS_ATTR_CONTEXT *all = ntfs_find_attr(&full, rec0, size, 0, NTFS_AT_DATA, none, 0, 0);
    if (!all)
        return first;
    Ntfs_Release_Attribute_Context(first);
    return all;
}

void ntfs_close_file(void)
{
    Ntfs_Release_Attribute_Context(g_ntfs.NtfsGlobalAttrData);
    g_ntfs.NtfsGlobalAttrData = nullptr;
    g_ntfs.GlobalMFTNumber = UINT64_MAX;
    g_ntfs.ReadFileOffset = 0;
    g_ntfs.TempInFo = nullptr;
    g_ntfs.ForMat = false;
}

static void release_volume(void)
{
    Ntfs_Release_Attribute_Context(g_ntfs.BitmapData);
    g_ntfs.BitmapData = nullptr;
    free(g_ntfs.NtfsMasterFileTable);
    g_ntfs.NtfsMasterFileTable = nullptr;
    Ntfs_Release_Attribute_Context(g_ntfs.NtfsMFTContext);
    g_ntfs.NtfsMFTContext = nullptr;
    free(g_ntfs.NtfsBootSector);
    g_ntfs.NtfsBootSector = nullptr;
    g_ntfs.NtfsPartiton = nullptr;
    g_ntfs.NtfsClusterSize = 0;
    g_ntfs.NtfsMftRecordSize = 0;
    g_ntfs.NtfsIndexRecordSize = 0;
    memset(&g_ntfs.Volume, 0, sizeof(g_ntfs.Volume));
}

bool ntfs_init(Partiton_Struct *part)
{
    ntfs_close_file();
    g_ntfs.GlobalOffset = 0;
    release_volume();
    if (!part || part->FsType != FS_NTFS || !part->Device || !part->Device->Ops)
        return false;

    /* The boot sector: the partition's copy, or the first sector itself. */
    uint8_t *boot = (uint8_t *)MALLOC(512);
    if (part->BootData)
        memcpy(boot, part->BootData, 512);
    else if (sv_dev_read(part->Device, boot, 512, 0) != 512) {
        free(boot);
        return false;
    }
    uint32_t cs, rs, is;
    uint64_t mft_lcn, total;
    if (!ntfs_parse_boot(boot, 512, &cs, &rs, &is, &mft_lcn, &total)) {
        free(boot);
        return false;
    }
    ntfs_volume vol;
    memset(&vol, 0, sizeof(vol));
    vol.part = part;
    vol.cluster_size = cs;
    vol.record_size = rs;
    vol.origin = 0;
    vol.limit = part->PartSize ? part->PartSize : total;

    uint64_t mft_off = mft_lcn * cs;
    uint8_t *rec0 = (uint8_t *)MALLOC(rs);
    if (ntfs_dev_pread(&vol, mft_off, rec0, rs) != rs || ntfs_check_record(rec0, rs) != NTFS_OK) {
        free(rec0);
        free(boot);
        return false;
    }
    NTFS_ATTR_CONTEXT *mft = ntfs_open_mft(&vol, rec0, rs);
    if (!mft) {
        free(rec0);
        free(boot);
        return false;
    }
    g_ntfs.NtfsPartiton = part;
    g_ntfs.NtfsBootSector = boot;
    g_ntfs.NtfsClusterSize = cs;
    g_ntfs.NtfsMftRecordSize = rs;
    g_ntfs.NtfsIndexRecordSize = is;
    g_ntfs.NtfsMasterFileTable = rec0;
    g_ntfs.NtfsMFTContext = mft;
    g_ntfs.Volume = vol;
    return true;
}

void ntfs_exit(void)
{
    ntfs_close_file();
    g_ntfs.GlobalOffset = 0;
    release_volume();
    ntfs_format_free_slots();
}

extern "C" NTFS_EXPORT bool Initi_Ntfs_InFo(Partiton_Struct *part)
{
    return ntfs_init(part);
}

extern "C" NTFS_EXPORT int NTFS_Free_Glod_Exit(void)
{
    ntfs_exit();
    g_ntfs.ExternUse = nullptr;
    g_ntfs.ExternTail = nullptr;
    return 1;
}
