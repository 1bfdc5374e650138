/*
 * Catalog leaf nodes: the record table, catalog keys, folder and file
 * records, and the found-record lists they feed.
 *
 * A node buffer comes from the journal or from a damaged catalog, so every
 * offset, length and count in it is checked against the node before use.
 */
#include "varn_i.h"

#include <cstdlib>
#include <cstring>

/* Records of a node lie between the descriptor and the offset table at the
 * node's end: n entries of 2 bytes, record 0's offset in the last two. */
static uint16_t usable_records(sv_view node, uint16_t num_records)
{
    size_t max = (node.len - HFSP_NODE_DESCRIPTOR) / 2;
    return num_records > max ? (uint16_t)max : num_records;
}

bool hfsp_node_record(sv_view node, uint16_t index, size_t *start, size_t *end)
{
    uint16_t num;
    if (node.len < HFSP_MIN_NODE || !sv_be16(node, 10, &num))
        return false;
    num = usable_records(node, num);
    if (index >= num)
        return false;
    size_t area_end = node.len - 2 * (size_t)num;
    uint16_t off;
    if (!sv_be16(node, node.len - 2 - 2 * (size_t)index, &off))
        return false;
    if (off < HFSP_NODE_DESCRIPTOR || off >= area_end)
        return false;
    /* A record ends where the next one starts when that offset is sane,
     * else at the end of the record area. */
    size_t stop = area_end;
    uint16_t next;
    if (index + 1 < num && sv_be16(node, node.len - 4 - 2 * (size_t)index, &next) && next > off &&
        next <= area_end)
        stop = next;
    *start = off;
    *end = stop;
    return true;
}

/* Appends rec at the tail of the list. */
static void list_append(hfsp_list *list, hfsp_file_list_Journal *rec)
{
    rec->Prev = *list->tail;
    rec->Next = nullptr;
    if (*list->tail)
        (*list->tail)->Next = rec;
    else
        *list->head = rec;
    *list->tail = rec;
}

/* One catalog record in [start, end) of the node; CORRUPT skips it. */
static hfsp_status parse_record(sv_view node, size_t start, size_t end, hfsp_list *list)
{
    sv_view r = sv_sub(node, start, end - start);
    uint16_t key_len, name_len;
    uint32_t parent;
    if (!sv_be16(r, 0, &key_len) || !sv_be32(r, 2, &parent) || !sv_be16(r, 6, &name_len))
        return HFSP_CORRUPT;
    /* Thread records have empty names; a key whose length disagrees with
     * its name is not a catalog key. */
    if (name_len < 1 || name_len > 255 || key_len != 6 + 2 * (uint32_t)name_len)
        return HFSP_CORRUPT;
    size_t data = 8 + 2 * (size_t)name_len;
    int16_t type;
    uint16_t type_raw;
    if (!sv_be16(r, data, &type_raw))
        return HFSP_CORRUPT;
    type = (int16_t)type_raw;
    size_t need = type == HFSP_RECORD_FOLDER ? HFSP_FOLDER_RECORD
                  : type == HFSP_RECORD_FILE ? HFSP_FILE_RECORD
                                             : 0;
    if (need == 0 || !sv_has(r, data, need))
        return HFSP_CORRUPT;
    const uint8_t *d = r.data + data;
    uint32_t cnid = sv_ld_be32(d + 8);
    if (cnid < HFSP_FIRST_LISTED_CNID)
        return HFSP_CORRUPT;
    /* The first copy of a record met wins; nothing below can fail, so the
     * CNID is taken now. */
    if (!hfsp_idset_insert(list->seen, cnid))
        return HFSP_OK;

    uint8_t has_data = 0, has_rsrc = 0;
    uint32_t data_extents = 0;
    if (type == HFSP_RECORD_FILE) {
        has_data = sv_ld_be32(d + 100) != 0;
        has_rsrc = sv_ld_be32(d + 180) != 0;
        if (has_data)
            data_extents = HFSP_FORK_EXTENTS;
    }
    size_t size = sizeof(hfsp_file_list_Journal);
    if (type == HFSP_RECORD_FOLDER)
        size += 4;
    else
        size += sizeof(hfsp_extent) * ((size_t)has_data + has_rsrc + data_extents);

    auto *rec = static_cast<hfsp_file_list_Journal *>(MALLOC(size));
    rec->NameLen = (uint8_t)name_len;
    rec->RecordType = (uint16_t)type;
    rec->HasDataFork = has_data;
    rec->HasRsrcFork = has_rsrc;
    rec->DataSize = type == HFSP_RECORD_FILE ? sv_ld_be64(d + 88) : 0;
    rec->CreateDate = sv_ld_be32(d + 12);
    rec->ParentID = parent;
    rec->FileID = cnid;
    uint16_t *name = static_cast<uint16_t *>(MALLOC(2 * (size_t)name_len + 2));
    for (uint16_t i = 0; i < name_len; i++)
        name[i] = sv_ld_be16(r.data + 8 + 2 * (size_t)i);
    name[name_len] = 0;
    rec->Name = name;
    if (type == HFSP_RECORD_FILE) {
        hfsp_extent *x = rec->Extents;
        /* The two standard slots: first extents, still big-endian. */
        if (has_data)
            memcpy(x++, d + 104, sizeof(hfsp_extent));
        if (has_rsrc)
            memcpy(x++, d + 184, sizeof(hfsp_extent));
        /* Then the whole extent record of the data fork, so that a file in
         * up to eight fragments streams back whole. */
        if (has_data)
            memcpy(x, d + 104, sizeof(hfsp_extent) * HFSP_FORK_EXTENTS);
    }
    list_append(list, rec);
    return HFSP_OK;
}

hfsp_status hfsp_parse_leaf(sv_view node, hfsp_list *list, uint32_t *accepted)
{
    if (accepted)
        *accepted = 0;
    if (node.len < HFSP_MIN_NODE || node.len > HFSP_MAX_NODE || !hfsp_leaf_sector(node.data))
        return HFSP_CORRUPT;
    /* Record 0 starts right after the descriptor in every leaf node. */
    uint16_t first;
    if (!sv_be16(node, node.len - 2, &first) || first != HFSP_NODE_DESCRIPTOR)
        return HFSP_CORRUPT;
    uint16_t num = usable_records(node, sv_ld_be16(node.data + 10));
    uint32_t before = list->seen->count;
    for (uint16_t i = 0; i < num; i++) {
        size_t start, end;
        if (!hfsp_node_record(node, i, &start, &end))
            continue;
        parse_record(node, start, end, list);
    }
    if (accepted)
        *accepted = list->seen->count - before;
    return HFSP_OK;
}
