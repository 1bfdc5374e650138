// The leaf-node parser against nodes a hostile journal can hold, and the
// sector walk's stop handling.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "hfs_builder.h"
#include "test_support.h"
#include "varn_i.h"

using namespace svt;

namespace {

struct List {
    hfsp_file_list_Journal *head = nullptr, *tail = nullptr;
    hfsp_idset ids = {nullptr, 0, 0};
    hfsp_list ref{&head, &tail, &ids};
    ~List() { hfsp_list_free(&head, &tail, &ids); }
    size_t size() const
    {
        size_t n = 0;
        for (auto *r = head; r; r = r->Next)
            n++;
        return n;
    }
    hfsp_file_list_Journal *find(uint32_t id) const
    {
        for (auto *r = head; r; r = r->Next)
            if (r->FileID == id)
                return r;
        return nullptr;
    }
};

void be16(std::vector<uint8_t> &n, size_t off, uint16_t v)
{
    n[off] = (uint8_t)(v >> 8);
    n[off + 1] = (uint8_t)v;
}

// A valid node: folder 20 (record 0), file 30 (record 1), file 31 (record 2).
std::vector<uint8_t> sampleNode(HfsImage &v)
{
    HfsRecord a = v.folder(20, 2, "A");
    HfsRecord b = v.file(30, 20, "b.txt", patternBytes(5000, 1));
    HfsRecord c = v.file(31, 20, "c.txt", patternBytes(10, 2));
    return v.leafNode({a, b, c});
}

hfsp_status parse(const std::vector<uint8_t> &n, List &l)
{
    return hfsp_parse_leaf(sv_view_make(n.data(), n.size()), &l.ref, nullptr);
}

TEST(HfsNode, ParsesAWellFormedLeaf)
{
    HfsImage v;
    std::vector<uint8_t> n = sampleNode(v);
    List l;
    uint32_t accepted = 0;
    ASSERT_EQ(hfsp_parse_leaf(sv_view_make(n.data(), n.size()), &l.ref, &accepted), HFSP_OK);
    EXPECT_EQ(accepted, 3u);
    ASSERT_NE(l.find(30), nullptr);
    EXPECT_EQ(+l.find(30)->DataSize, 5000u);
    EXPECT_EQ(+l.find(30)->ParentID, 20u);
    // The same node again adds nothing.
    ASSERT_EQ(hfsp_parse_leaf(sv_view_make(n.data(), n.size()), &l.ref, &accepted), HFSP_OK);
    EXPECT_EQ(accepted, 0u);
    EXPECT_EQ(l.size(), 3u);
}

TEST(HfsNode, HostileOffsetsLengthsAndCountsStayInsideTheNode)
{
    HfsImage v;
    const std::vector<uint8_t> good = sampleNode(v);
    const size_t N = good.size();
    // Offsets of records 1 and 2 as built.
    uint16_t off1 = (uint16_t)(good[N - 4] << 8 | good[N - 3]);
    uint16_t off2 = (uint16_t)(good[N - 6] << 8 | good[N - 5]);
    struct Case {
        const char *what;
        std::function<void(std::vector<uint8_t> &)> damage;
        std::vector<uint32_t> kept;  // CNIDs that must still be found
    } cases[] = {
        {"record offset past the node", [&](std::vector<uint8_t> &n) { be16(n, N - 4, 0xFFF0); }, {20, 31}},
        {"record offset inside the offset table", [&](std::vector<uint8_t> &n) { be16(n, N - 4, (uint16_t)(N - 4)); }, {20, 31}},
        {"record offset inside the descriptor", [&](std::vector<uint8_t> &n) { be16(n, N - 4, 3); }, {20, 31}},
        {"name length past the node", [&](std::vector<uint8_t> &n) { be16(n, off1 + 6, 255); be16(n, off1, 6 + 510); }, {20, 31}},
        {"file record cut by the next record", [&](std::vector<uint8_t> &n) { be16(n, N - 6, (uint16_t)(off1 + 100)); }, {20}},
        {"last record runs into the table", [&](std::vector<uint8_t> &n) { be16(n, N - 6, (uint16_t)(N - 200)); }, {20}},
        {"record count beyond the node", [&](std::vector<uint8_t> &n) { be16(n, 10, 0xFFFF); }, {}},
        {"unknown record type", [&](std::vector<uint8_t> &n) { be16(n, off2 + 8 + 10, 9); }, {20, 30}},
        {"key length disagrees with the name", [&](std::vector<uint8_t> &n) { be16(n, off1, 40); }, {20, 31}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> n = good;
        c.damage(n);
        List l;
        parse(n, l);
        for (uint32_t id : c.kept)
            EXPECT_NE(l.find(id), nullptr) << "lost CNID " << id;
        for (auto *r = l.head; r; r = r->Next) {
            EXPECT_GE(+r->NameLen, 1);
            EXPECT_TRUE(+r->RecordType == 1 || +r->RecordType == 2);
        }
    }
}

TEST(HfsNode, RefusesWhatIsNotALeafNode)
{
    HfsImage v;
    std::vector<uint8_t> good = sampleNode(v);
    List l;
    std::vector<uint8_t> n = good;
    be16(n, n.size() - 2, 16);  // record 0 not right after the descriptor
    EXPECT_EQ(parse(n, l), HFSP_CORRUPT);
    n = good;
    n[8] = 0;  // an index node
    EXPECT_EQ(parse(n, l), HFSP_CORRUPT);
    EXPECT_EQ(hfsp_parse_leaf(sv_view_make(good.data(), 100), &l.ref, nullptr), HFSP_CORRUPT);
    EXPECT_EQ(hfsp_parse_leaf(sv_view_make(nullptr, 0), &l.ref, nullptr), HFSP_CORRUPT);
    EXPECT_EQ(l.size(), 0u);
}

TEST(HfsNode, ThreadsReservedIdsAndEmptyNamesAreNotListed)
{
    HfsImage v;
    HfsRecord f = v.file(40, 2, "x", patternBytes(1, 1));
    HfsRecord r16 = v.folder(16, 2, "private");
    HfsRecord r3 = v.file(3, 2, "extents", {});
    HfsRecord empty = v.file(41, 2, "", {});
    std::vector<uint8_t> n = v.leafNode({f, f.thread(), r16, r16.thread(), r3, empty});
    List l;
    ASSERT_EQ(parse(n, l), HFSP_OK);
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(+l.head->FileID, 40u);
}

TEST(HfsNode, NodeRecordBoundsEveryRecord)
{
    HfsImage v;
    std::vector<uint8_t> n = sampleNode(v);
    sv_view view = sv_view_make(n.data(), n.size());
    size_t start, end;
    for (uint16_t i = 0; i < 3; i++) {
        ASSERT_TRUE(hfsp_node_record(view, i, &start, &end));
        EXPECT_GE(start, 14u);
        EXPECT_LE(end, n.size() - 6);
        EXPECT_LT(start, end);
    }
    EXPECT_FALSE(hfsp_node_record(view, 3, &start, &end));
}

TEST(HfsWalk, AStopRequestEndsTheWalkAndStands)
{
    HfsImage v;
    std::vector<uint8_t> node = sampleNode(v);
    // No device is needed: the walk checks the stop request first.
    hfsp_segment seg = {0, 1 << 20};
    hfsp_stream st = {&seg, 1, 1 << 20};
    List l;
    set_ExportsData(false);  // the stop value, 200
    EXPECT_EQ(hfsp_walk_stream(&st, 4096, &l.ref), HFSP_STOP);
    EXPECT_EQ(get_ExportsData(), 200);
    hfsp_progress_finish();
    EXPECT_EQ(get_ExportsData(), 200) << "finishing must not hide a stop";
    changeExportsData(0);
    hfsp_progress_raise(40);
    hfsp_progress_raise(30);
    EXPECT_EQ(get_ExportsData(), 40);
    hfsp_progress_finish();
    EXPECT_EQ(get_ExportsData(), 100);
}

TEST(HfsIdSet, GrowsAndKeepsEveryId)
{
    hfsp_idset s = {nullptr, 0, 0};
    for (uint32_t i = 1; i <= 100000; i++)
        ASSERT_TRUE(hfsp_idset_insert(&s, i * 7919u));
    for (uint32_t i = 1; i <= 100000; i++)
        ASSERT_TRUE(hfsp_idset_has(&s, i * 7919u));
    EXPECT_FALSE(hfsp_idset_insert(&s, 7919u));
    EXPECT_FALSE(hfsp_idset_has(&s, 1));
    EXPECT_FALSE(hfsp_idset_insert(&s, 0));
    hfsp_idset_free(&s);
}

}  // namespace
