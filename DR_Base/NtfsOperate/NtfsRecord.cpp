/*
 * MFT and index records: the update-sequence fixups, the header checks
 * and the read of one MFT record through the MFT's own data.
 */
#include "ntfs_i.h"

#include <string.h>

bool ntfs_record_size_ok(uint32_t size)
{
    return size >= NTFS_MIN_RECORD && size <= NTFS_MAX_RECORD && (size & (size - 1)) == 0;
}

/*
 * A multi-sector record carries, at the end of every 512-byte stride, the
 * update sequence number; the real last two bytes of each stride are kept
 * in the update-sequence array.  A stride whose tail does not hold the
 * number was not written together with the rest: the record is torn.
 * Nothing is changed unless every stride checks out.
 */
bool ntfs_apply_fixup(uint8_t *rec, uint32_t size, uint32_t signature)
{
    sv_view v = sv_view_make(rec, size);
    uint32_t sig;
    uint16_t usa_ofs, usa_count;
    if (!sv_le32(v, 0, &sig) || sig != signature)
        return false;
    if (!sv_le16(v, NTFS_REC_USA_OFS, &usa_ofs) || !sv_le16(v, NTFS_REC_USA_COUNT, &usa_count))
        return false;
    if (usa_count < 2 || (usa_ofs & 1) || usa_ofs < 8)
        return false;
    uint32_t strides = (uint32_t)usa_count - 1;
    if (size % strides != 0)
        return false;
    uint32_t stride = size / strides;
    if (stride < 256 || (stride & (stride - 1)) != 0)
        return false;
    /* The array lies inside the first stride, before its own tail. */
    if (!sv_has(v, usa_ofs, (size_t)usa_count * 2) || (uint32_t)usa_ofs + (uint32_t)usa_count * 2 > stride - 2)
        return false;
    const uint8_t *usa = rec + usa_ofs;
    for (uint32_t i = 1; i <= strides; i++) {
        const uint8_t *tail = rec + i * stride - 2;
        if (tail[0] != usa[0] || tail[1] != usa[1])
            return false;
    }
    for (uint32_t i = 1; i <= strides; i++) {
        uint8_t *tail = rec + i * stride - 2;
        tail[0] = usa[2 * i];
        tail[1] = usa[2 * i + 1];
    }
    return true;
}

ntfs_status ntfs_check_record(uint8_t *rec, uint32_t size)
{
    if (!rec || size < NTFS_REC_HEADER_MIN + 8)
        return NTFS_CORRUPT;
    if (!ntfs_apply_fixup(rec, size, NTFS_SIG_FILE))
        return NTFS_CORRUPT;
    uint16_t first = sv_ld_le16(rec + NTFS_REC_FIRST_ATTR);
    if (first < NTFS_REC_HEADER_MIN || first > size - 8)
        return NTFS_CORRUPT;
    return NTFS_OK;
}

int64_t Ntfs_Get_MFTID(const uint8_t *rec)
{
    if (!rec || sv_ld_le32(rec) != NTFS_SIG_FILE)
        return -1;
    return (int64_t)sv_ld_le32(rec + NTFS_REC_NUMBER);
}

uint64_t ntfs_dev_pread(const ntfs_volume *vol, uint64_t off, void *dst, uint64_t len)
{
    if (!vol || !vol->part || !vol->part->Device || !vol->part->Device->Ops || len == 0)
        return 0;
    if (vol->limit && (off > vol->limit || vol->limit - off < len)) {
        /* Never read into whatever follows the partition. */
        if (off >= vol->limit)
            return 0;
        len = vol->limit - off;
    }
    Physics_Device_Struct *dev = vol->part->Device;
    uint8_t *out = (uint8_t *)dst;
    uint64_t done = 0;
    while (done < len) {
        uint64_t left = len - done;
        uint32_t piece = left > (1u << 30) ? (1u << 30) : (uint32_t)left;
        if (UINT64_MAX - off < done)
            break;
        int32_t got = sv_dev_read(dev, out + done, piece, off + done);
        if (got <= 0)
            break;
        done += (uint32_t)got;
        if ((uint32_t)got < piece)
            break;
    }
    return done;
}

ntfs_status ntfs_read_mft_record(NTFS_ATTR_CONTEXT *mft, uint64_t number, uint32_t size, uint8_t *buf)
{
    if (!mft || !buf || !ntfs_record_size_ok(size))
        return NTFS_IO;
    if (number > (uint64_t)INT64_MAX / size)
        return NTFS_IO;
    uint64_t off = number * size;
    if (off >= ntfs_ctx_size(mft))
        return NTFS_IO;
    memset(buf, 0, size);
    if (Ntfs_Read_Attribute(mft, (int64_t)off, buf, size) != (int64_t)size)
        return NTFS_IO;
    return ntfs_check_record(buf, size);
}
