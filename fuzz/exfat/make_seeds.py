#!/usr/bin/env python3
"""Seed volumes for the exFAT fuzzer.

A 64 KiB exFAT volume with 512-byte sectors and clusters, written here
(mkfs.exfat makes nothing this small): the allocation bitmap, an up-case
table, and in the root a deleted contiguous file, a deleted chained file, a
deleted folder holding a deleted file, and a live folder holding a deleted
file with a long name.  A second seed has the main boot region's checksum
broken, so the backup is read.  Every seed starts with the harness's flag
byte.
"""
import os
import struct
import sys

SS = 512
CS = 512
TOTAL = 128            # sectors
FAT_OFF, FAT_LEN, HEAP = 24, 1, 32
COUNT = TOTAL - HEAP   # clusters 2 .. COUNT + 1
ROOT, BITMAP, UPCASE = 4, 2, 3


def boot_checksum(region):
    s = 0
    for i, b in enumerate(region[:SS * 11]):
        if i in (106, 107, 112):
            continue
        s = (((s & 1) << 31) + (s >> 1) + b) & 0xFFFFFFFF
    return s


def boot_region():
    b = bytearray(SS * 12)
    b[0:3] = b"\xeb\x76\x90"
    b[3:11] = b"EXFAT   "
    struct.pack_into("<QQIIIIIIHH", b, 64, 0, TOTAL, FAT_OFF, FAT_LEN, HEAP, COUNT, ROOT, 0x1234, 0x100, 0)
    b[108], b[109], b[110], b[111], b[112] = 9, 0, 1, 0x80, 0
    b[510:512] = b"\x55\xaa"
    for s in range(1, 9):
        b[s * SS + 510:s * SS + 512] = b"\x55\xaa"
    b[SS * 11:SS * 12] = struct.pack("<I", boot_checksum(b)) * (SS // 4)
    return b


def set_checksum(e):
    s = 0
    for i, b in enumerate(e):
        if i in (2, 3):
            continue
        if i % 32 == 0:
            b |= 0x80
        s = (((s & 1) << 15) + (s >> 1) + b) & 0xFFFF
    return s


def entry_set(name, first, length, attr=0x20, nofat=True, deleted=True):
    names = (len(name) + 14) // 15
    e = bytearray(32 * (2 + names))
    e[0], e[1] = 0x85, 1 + names
    struct.pack_into("<HHIII", e, 4, attr, 0, 0x52CF3D88, 0x52CF3D88, 0x52CF3D88)
    e[21], e[22], e[23], e[24] = 100, 0x80, 0x80, 0x80
    e[32], e[33], e[35] = 0xC0, 1 | (2 if nofat else 0), len(name)
    struct.pack_into("<QIIQ", e, 40, length, 0, first, length)
    units = name.encode("utf-16-le")
    for k in range(names):
        e[64 + 32 * k] = 0xC1
        chunk = units[30 * k:30 * k + 30]
        e[64 + 32 * k + 2:64 + 32 * k + 2 + len(chunk)] = chunk
    struct.pack_into("<H", e, 2, set_checksum(e))
    if deleted:
        for k in range(0, len(e), 32):
            e[k] &= 0x7F
    return bytes(e)


def cluster(img, c):
    return HEAP * SS + (c - 2) * CS


def build():
    img = bytearray(TOTAL * SS)
    region = boot_region()
    img[0:len(region)] = region
    img[len(region):2 * len(region)] = region
    fat = [0xFFFFFFF8, 0xFFFFFFFF] + [0] * (SS // 4 - 2)
    for c in (BITMAP, UPCASE, ROOT, 20, 21):
        fat[c] = 0xFFFFFFFF
    fat[30], fat[32] = 32, 0xFFFFFFFF       # chained file: 30 -> 32
    struct.pack_into("<%dI" % len(fat), img, FAT_OFF * SS, *fat)
    bitmap = bytearray((COUNT + 7) // 8)
    for c in (BITMAP, UPCASE, ROOT, 20, 31):
        bitmap[(c - 2) // 8] |= 1 << ((c - 2) % 8)
    img[cluster(img, BITMAP):cluster(img, BITMAP) + len(bitmap)] = bitmap
    up = b"".join(struct.pack("<H", u) for u in range(128))
    img[cluster(img, UPCASE):cluster(img, UPCASE) + 256] = up[:256]
    root = bytearray(CS)
    e = bytearray(32)
    e[0] = 0x81
    struct.pack_into("<IQ", e, 20, BITMAP, len(bitmap))
    root[0:32] = e
    e = bytearray(32)
    e[0] = 0x82
    struct.pack_into("<IIQ", e, 4, 0, UPCASE, 256)
    root[32:64] = e
    pos = 64
    for s in (entry_set("photo.jpg", 10, 1500),
              entry_set("chained.bin", 30, 1024, nofat=False),
              entry_set("Gone", 21, CS, attr=0x10),
              entry_set("Live", 20, CS, attr=0x10, deleted=False)):
        root[pos:pos + len(s)] = s
        pos += len(s)
    img[cluster(img, ROOT):cluster(img, ROOT) + CS] = root
    gone = entry_set("inside.txt", 40, 700)
    img[cluster(img, 21):cluster(img, 21) + len(gone)] = gone
    live = entry_set("a long name that takes three name entries.txt", 50, 900)
    img[cluster(img, 20):cluster(img, 20) + len(live)] = live
    for c, fill in ((10, b"J"), (11, b"K"), (12, b"L"), (30, b"A"), (32, b"B"), (40, b"T"), (50, b"N"), (51, b"M")):
        img[cluster(img, c):cluster(img, c) + CS] = fill * CS
    return img


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    img = build()
    # Each seed starts with the harness's flag byte (0: not sparse).
    open(os.path.join(out, "volume"), "wb").write(b"\0" + img)
    broken = bytearray(img)
    broken[SS + 7] ^= 0xFF           # the main region's checksum no longer holds
    open(os.path.join(out, "backup"), "wb").write(b"\0" + broken)


if __name__ == "__main__":
    main()
