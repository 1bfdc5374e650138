/*
 * Volume-level structures: the volume header, B-tree header nodes, the
 * journal info block and the journal header.  All big-endian on disk except
 * the journal header, which is in the byte order of the machine that wrote
 * it.
 */
#include "varn_i.h"

static void parse_fork(sv_view vh, size_t off, hfsp_fork *f)
{
    f->logicalSize = sv_ld_be64(vh.data + off);
    f->totalBlocks = sv_ld_be32(vh.data + off + 12);
    for (int i = 0; i < HFSP_FORK_EXTENTS; i++) {
        f->startBlock[i] = sv_ld_be32(vh.data + off + 16 + 8 * i);
        f->blockCount[i] = sv_ld_be32(vh.data + off + 20 + 8 * i);
    }
}

hfsp_status hfsp_parse_volume_header(sv_view vh, hfsp_volume *out)
{
    if (!sv_has(vh, 0, HFSP_SECTOR))
        return HFSP_CORRUPT;
    hfsp_volume v = {};
    v.signature = sv_ld_be16(vh.data);
    v.version = sv_ld_be16(vh.data + 2);
    v.attributes = sv_ld_be32(vh.data + 4);
    v.journalInfoBlock = sv_ld_be32(vh.data + 12);
    v.blockSize = sv_ld_be32(vh.data + 40);
    v.totalBlocks = sv_ld_be32(vh.data + 44);
    parse_fork(vh, 112, &v.allocationFile);
    parse_fork(vh, 192, &v.extentsFile);
    parse_fork(vh, 272, &v.catalogFile);
    parse_fork(vh, 352, &v.attributesFile);
    if (v.signature != 0x482B && v.signature != 0x4858) /* "H+", "HX" */
        return HFSP_CORRUPT;
    /* A power of two from 512 bytes; HFS+ allows up to 2^31 but nothing
     * real goes beyond 1 MiB, and a larger value is a damaged header. */
    if (v.blockSize < 512 || v.blockSize > (1u << 20) || (v.blockSize & (v.blockSize - 1)))
        return HFSP_CORRUPT;
    if (v.totalBlocks == 0)
        return HFSP_CORRUPT;
    *out = v;
    return HFSP_OK;
}

uint32_t hfsp_header_node_size(sv_view node0)
{
    uint8_t kind;
    uint16_t size;
    /* Node 0 is the header node (kind 1); the header record's nodeSize is a
     * power of two from 512 to 32768 bytes. */
    if (!sv_u8(node0, 8, &kind) || kind != 1 || !sv_be16(node0, 32, &size))
        return 0;
    if (size < HFSP_MIN_NODE || (size & (size - 1)))
        return 0;
    return size;
}

hfsp_status hfsp_parse_journal_info(sv_view jib, uint64_t volume_bytes, hfsp_journal_info *out)
{
    uint32_t flags;
    uint64_t offset, size;
    if (!sv_be32(jib, 0, &flags) || !sv_be64(jib, 36, &offset) || !sv_be64(jib, 44, &size))
        return HFSP_CORRUPT;
    /* A journal kept on another device is not part of this volume. */
    if ((flags & HFSP_JIB_OTHER_DEVICE) && !(flags & HFSP_JIB_IN_FS))
        return HFSP_CORRUPT;
    if (size < HFSP_SECTOR || offset >= volume_bytes || volume_bytes - offset < size)
        return HFSP_CORRUPT;
    out->offset = offset;
    out->size = size;
    out->headerSize = 0;
    return HFSP_OK;
}

uint32_t hfsp_journal_header_size(sv_view jhdr, uint64_t journal_size)
{
    uint32_t magic, endian, hsize;
    if (!sv_le32(jhdr, 0, &magic) || !sv_le32(jhdr, 4, &endian) || !sv_le32(jhdr, 40, &hsize))
        return 0;
    if (magic == HFSP_JOURNAL_MAGIC && endian == HFSP_JOURNAL_ENDIAN) {
        /* written little-endian */
    } else if (magic == __builtin_bswap32(HFSP_JOURNAL_MAGIC) &&
               endian == __builtin_bswap32(HFSP_JOURNAL_ENDIAN)) {
        hsize = __builtin_bswap32(hsize);
    } else {
        return 0;
    }
    if (hsize < HFSP_SECTOR || hsize % HFSP_SECTOR || hsize >= journal_size)
        return 0;
    return hsize;
}
