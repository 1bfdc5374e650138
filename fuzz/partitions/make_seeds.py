#!/usr/bin/env python3
"""Seeds for fuzz_partitions: the sectors that matter of the partition
fixtures (tables, boot sectors, superblocks, MFT records), in the harness's
sparse form.  Run once by hand: make_seeds.py FIXTURE_DIR OUT_DIR.
The seed card-ntfs-2m is card-ntfs with 2 MiB clusters (sectors-per-cluster
byte 0xF4) and its MFT records moved to where that cluster size puts them.
The seeds search-* are copies of three others with mode byte 5: the harness
also runs the search for lost volumes over them."""
import os
import struct
import sys

fixtures, out = sys.argv[1], sys.argv[2]
expect = {}
for line in open(os.path.join(fixtures, "expect.tsv"), encoding="utf-8"):
    cols = line.rstrip("\n").split("\t")
    expect.setdefault(cols[0], []).append(int(cols[1]) // 512)


def anchors(image, data):
    a = {0, 1, 2, 3}
    for start in expect.get(image, []):
        a.update({start, start + 1, start + 2, start + 3, start - 2048})
        boot = data[start * 512:start * 512 + 512]
        if boot[3:7] == b"NTFS":  # the first MFT records
            spc = boot[13] if boot[13] <= 128 else 1 << (256 - boot[13])
            cluster = spc * struct.unpack_from("<H", boot, 11)[0]
            mft = struct.unpack_from("<Q", boot, 48)[0] * cluster // 512
            a.update(start + mft + i for i in range(8))
    if image == "mac.img":
        a.update(range(0, 16))
    return a


for image in sorted(expect):
    data = open(os.path.join(fixtures, image), "rb").read()
    chunks = []
    for s in sorted(anchors(image, data)):
        block = data[s * 512:s * 512 + 512]
        if s >= 0 and block.strip(b"\0"):
            chunks.append(struct.pack("<I", s) + block)
    seed = bytes([1]) + b"".join(chunks[:64])
    name = image.replace(".img", "")
    open(os.path.join(out, name), "wb").write(seed)
