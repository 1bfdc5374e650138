// One catalog node from the fuzzer: the parser must stay inside it and list
// only well-formed file and folder records.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "varn_i.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte picks the node size; the rest fills the node exactly,
    // in a buffer of its own so that the sanitizer sees any overrun.
    uint32_t nodeSize = 512u << (data[0] % 7);
    std::vector<uint8_t> node(nodeSize, 0);
    memcpy(node.data(), data + 1, size - 1 < nodeSize ? size - 1 : nodeSize);
    node[8] = 0xFF;
    node[9] = 0x01;
    uint8_t *heap = static_cast<uint8_t *>(malloc(nodeSize));
    memcpy(heap, node.data(), nodeSize);
    sv_view v = sv_view_make(heap, nodeSize);

    hfsp_file_list_Journal *head = nullptr, *tail = nullptr;
    hfsp_idset ids = {nullptr, 0, 0};
    hfsp_list list = {&head, &tail, &ids};
    uint32_t accepted = 0;
    hfsp_parse_leaf(v, &list, &accepted);
    for (uint16_t i = 0; i < 300; i++) {
        size_t start, end;
        if (hfsp_node_record(v, i, &start, &end) && (start < 14 || end > nodeSize || start >= end))
            abort();
    }
    uint32_t n = 0;
    for (hfsp_file_list_Journal *r = head; r; r = r->Next, n++) {
        if (r->NameLen == 0 || (r->RecordType != 1 && r->RecordType != 2) || r->FileID <= 16 ||
            r->Name[r->NameLen] != 0)
            abort();
    }
    if (n != accepted)
        abort();
    hfsp_list_free(&head, &tail, &ids);
    free(heap);
    return 0;
}
