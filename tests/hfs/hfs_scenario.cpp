#include "hfs_scenario.h"

#include "test_support.h"

namespace svt {

namespace {

HfsExpected expect(const HfsRecord &r, const std::string &name, const std::string &path,
                   const std::vector<uint8_t> &data = {})
{
    HfsExpected e;
    e.cnid = r.cnid;
    e.parent = r.parent;
    e.folder = r.kind == HfsRecord::Folder;
    e.name = name;
    e.path = path;
    e.dataSize = r.dataSize;
    e.createDate = r.createDate;
    e.hasData = r.dataBlocks != 0;
    e.hasRsrc = r.rsrcBlocks != 0;
    if (e.hasData) {
        e.firstStart = r.dataExtents[0].first;
        e.firstCount = r.dataExtents[0].second;
    } else if (e.hasRsrc) {
        e.firstStart = r.rsrcExtents[0].first;
        e.firstCount = r.rsrcExtents[0].second;
    }
    e.data = data;
    return e;
}

}  // namespace

HfsScenario makeHfsScenario(bool bigEndianJournal, bool hfsx)
{
    HfsImage::Options o;
    o.bigEndianJournal = bigEndianJournal;
    o.hfsx = hfsx;
    HfsImage v(o);
    HfsScenario s;

    // Folders.
    HfsRecord root = v.folder(2, 1, "Untitled");
    HfsRecord priv = v.folder(16, 2, std::string("\0\0\0\0HFS+ Private Data", 21));
    HfsRecord dcim = v.folder(20, 2, "DCIM");
    HfsRecord apple = v.folder(21, 20, "100APPLE");
    HfsRecord docs = v.folder(22, 2, "Documents");
    HfsRecord gone = v.folder(23, 2, "Gone");

    // Files.  Deleted ones keep their data in blocks the bitmap calls free.
    auto img1 = patternBytes(150000, 30);
    auto img2 = patternBytes(70000, 31);
    auto notes = patternBytes(5000, 32);
    auto report1 = patternBytes(8192, 33);
    auto report2 = patternBytes(12000, 133);
    auto cafe = patternBytes(4096, 35);
    auto slash = patternBytes(100, 36);
    auto orphan = patternBytes(9000, 37);
    auto later = patternBytes(3000, 40);
    auto frag = patternBytes(10 * 4096 + 123, 39);
    HfsRecord fImg1 = v.file(30, 21, "IMG_0001.JPG", img1);
    HfsRecord fImg2 = v.file(31, 21, "IMG_0002.JPG", img2, 0, 3);
    HfsRecord fNotes = v.file(32, 22, "notes.txt", notes, 0, 1, true);
    HfsRecord fReport1 = v.file(33, 22, "Report.pdf", report1);
    HfsRecord fReport2 = v.file(33, 22, "Report.pdf", report2, 0xD1000000u, 1, true);
    HfsRecord fIcon = v.resourceOnly(34, 2, "Icon\r", patternBytes(600, 34));
    HfsRecord fCafe = v.file(35, 23, "Caf\xC3\xA9.txt", cafe);
    HfsRecord fSlash = v.file(36, 2, "a/b.txt", slash);
    HfsRecord fOrphan = v.file(37, 99, "orphan.bin", orphan);
    HfsRecord fEmpty = v.file(38, 2, "empty.txt", {});
    // Ten pieces: the catalog record holds eight extents, the other two
    // would be in the extents overflow file.
    HfsRecord fFrag = v.file(39, 22, "fragments.bin", frag, 0, 10);
    HfsRecord fLater = v.file(40, 2, "later.txt", later, 0, 1, true);
    // Reserved CNIDs never show up.
    HfsRecord fReserved = v.file(7, 2, "reserved.bin", patternBytes(10, 7));

    std::vector<HfsRecord> node1old = {root, root.thread(), priv, priv.thread(), dcim, dcim.thread(),
                                       apple, apple.thread(), fImg1, fImg1.thread(), fImg2,
                                       fImg2.thread(), fReport1, fReserved};
    std::vector<HfsRecord> node2 = {docs, docs.thread(), fNotes, fNotes.thread(), fIcon, gone,
                                    gone.thread(), fCafe, fSlash, fOrphan, fEmpty, fFrag};
    // Node 1 after IMG_0001/0002 were deleted, Report.pdf rewritten and
    // later.txt added.
    std::vector<HfsRecord> node1new = {root, root.thread(), priv, priv.thread(), dcim, dcim.thread(),
                                       apple, apple.thread(), fReport2, fLater, fLater.thread()};
    std::vector<HfsRecord> node2live = {docs, docs.thread(), fNotes, fNotes.thread()};

    v.setCatalog({node1new, node2live});
    v.journalTransaction({{1, v.leafNode(node1old, 2, 0)}});
    v.journalTransaction({{2, v.leafNode(node2, 0, 1)}});
    v.journalTransaction({{1, v.leafNode(node1new, 2, 0)}});
    s.image = v.image();

    auto add = [&](std::map<uint32_t, HfsExpected> &m, const HfsExpected &e) { m[e.cnid] = e; };
    add(s.records, expect(dcim, "DCIM", ""));
    add(s.records, expect(apple, "100APPLE", "DCIM"));
    add(s.records, expect(fImg1, "IMG_0001.JPG", "DCIM/100APPLE", img1));
    add(s.records, expect(fImg2, "IMG_0002.JPG", "DCIM/100APPLE", img2));
    add(s.records, expect(fReport1, "Report.pdf", "Documents", report1));  // the first copy wins
    add(s.records, expect(docs, "Documents", ""));
    add(s.records, expect(fNotes, "notes.txt", "Documents", notes));
    add(s.records, expect(fIcon, "Icon\r", ""));
    add(s.records, expect(gone, "Gone", ""));
    add(s.records, expect(fCafe, "Caf\xC3\xA9.txt", "Gone", cafe));
    add(s.records, expect(fSlash, "a/b.txt", "", slash));
    add(s.records, expect(fOrphan, "orphan.bin", "Unknown folder 99", orphan));
    add(s.records, expect(fEmpty, "empty.txt", ""));
    HfsExpected ef = expect(fFrag, "fragments.bin", "Documents", frag);
    ef.complete = false;
    add(s.records, ef);
    add(s.records, expect(fLater, "later.txt", "", later));

    add(s.live, expect(dcim, "DCIM", ""));
    add(s.live, expect(apple, "100APPLE", "DCIM"));
    add(s.live, expect(fReport2, "Report.pdf", "Documents", report2));
    add(s.live, expect(fLater, "later.txt", "", later));
    add(s.live, expect(docs, "Documents", ""));
    add(s.live, expect(fNotes, "notes.txt", "Documents", notes));

    s.journalOffset = v.journalOffset();
    s.journalSize = o.journalBytes;
    s.catalogOffset = v.catalogOffset();
    s.jibOffset = v.journalInfoOffset();
    s.blockSize = o.blockSize;
    return s;
}

}  // namespace svt
