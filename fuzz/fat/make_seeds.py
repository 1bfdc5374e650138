#!/usr/bin/env python3
"""Seed volumes for the FAT fuzzers.

Each seed is one byte naming the file-system type (1 FAT12, 2 FAT16,
3 FAT32) followed by a small FAT volume written here: a live folder with
deleted files (long and 8.3 names), a deleted folder with a file and a
deleted subfolder, a directory spanning two clusters, and, in the
"reformatted" seed, the same with the FAT and root cleared as a quick
format leaves them.  The "fat32_windows" seed (type byte with bit 7 set:
a 1 GiB partition whose bytes past the input are zeros) claims more than
65536 clusters, so its deleted entries' first clusters have candidates
above the line.
"""
import os
import struct
import sys

LFN_OFFSETS = (1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30)


def checksum(name11):
    s = 0
    for b in name11:
        s = (((s & 1) << 7) + (s >> 1) + b) & 0xFF
    return s


def short_entry(name11, attr, cluster, size, deleted=False):
    e = bytearray(32)
    e[0:11] = name11
    e[11] = attr
    struct.pack_into("<HH", e, 22, 0x5000, (41 << 9) | (6 << 5) | 15)
    struct.pack_into("<H", e, 20, cluster >> 16)
    struct.pack_into("<H", e, 26, cluster & 0xFFFF)
    struct.pack_into("<I", e, 28, size)
    if deleted:
        e[0] = 0xE5
    return bytes(e)


def named(long_name, name11, attr, cluster, size, deleted=False):
    units = [ord(c) for c in long_name] + [0]
    parts = []
    n = (len(units) + 12) // 13
    units += [0xFFFF] * (n * 13 - len(units))
    for i in range(n):
        p = bytearray(32)
        p[0] = (i + 1) | (0x40 if i == n - 1 else 0)
        p[11] = 0x0F
        p[13] = checksum(name11)
        for k, off in enumerate(LFN_OFFSETS):
            struct.pack_into("<H", p, off, units[i * 13 + k])
        if deleted:
            p[0] = 0xE5
        parts.append(bytes(p))
    return b"".join(reversed(parts)) + short_entry(name11, attr, cluster, size, deleted)


def dots(self_cluster, parent):
    return short_entry(b".          ", 0x10, self_cluster, 0) + short_entry(b"..         ", 0x10, parent, 0)


class Volume:
    def __init__(self, fat_bits, sectors, spc, root_entries):
        self.bits, self.spc = fat_bits, spc
        self.bps = 512
        self.reserved = 32 if fat_bits == 32 else 1
        self.root_entries = 0 if fat_bits == 32 else root_entries
        clusters = sectors // spc
        per_sector = {12: 341, 16: 256, 32: 128}[fat_bits]
        self.fat_sectors = clusters // per_sector + 2
        self.root_sectors = (self.root_entries * 32 + 511) // 512
        self.data_start = self.reserved + 2 * self.fat_sectors + self.root_sectors
        self.img = bytearray(sectors * 512)
        self.fat = {0: 0xFFFFFF8, 1: 0xFFFFFFF}
        b = self.img
        b[0:3] = b"\xEB\x3C\x90"
        b[3:11] = b"SEEDFAT "
        struct.pack_into("<HBHBH", b, 11, 512, spc, self.reserved, 2, self.root_entries)
        struct.pack_into("<H", b, 19, sectors if sectors < 65536 and fat_bits != 32 else 0)
        b[21] = 0xF8
        struct.pack_into("<H", b, 22, 0 if fat_bits == 32 else self.fat_sectors)
        struct.pack_into("<I", b, 32, sectors if (sectors >= 65536 or fat_bits == 32) else 0)
        if fat_bits == 32:
            struct.pack_into("<IHHI", b, 36, self.fat_sectors, 0, 0, 2)
            self.fat[2] = 0xFFFFFFF
        b[510:512] = b"\x55\xAA"

    def cluster_offset(self, c):
        return (self.data_start + (c - 2) * self.spc) * 512

    def put_cluster(self, c, data):
        off = self.cluster_offset(c)
        self.img[off:off + len(data)] = data

    def root(self, data):
        if self.bits == 32:
            self.put_cluster(2, data)
        else:
            off = (self.reserved + 2 * self.fat_sectors) * 512
            self.img[off:off + len(data)] = data

    def write_fat(self, clear=False):
        eoc = {12: 0xFFF, 16: 0xFFFF, 32: 0xFFFFFFF}[self.bits]
        for copy in range(2):
            base = (self.reserved + copy * self.fat_sectors) * 512
            for c, v in self.fat.items():
                if clear and c > 2:
                    continue
                v = min(v, eoc) if v >= 0xFFFFFF7 else v
                if self.bits == 32:
                    struct.pack_into("<I", self.img, base + 4 * c, v)
                elif self.bits == 16:
                    struct.pack_into("<H", self.img, base + 2 * c, v & 0xFFFF)
                else:
                    off = base + c + c // 2
                    w = struct.unpack_from("<H", self.img, off)[0]
                    w = (w & 0x000F) | ((v & 0xFFF) << 4) if c & 1 else (w & 0xF000) | (v & 0xFFF)
                    struct.pack_into("<H", self.img, off, w)


def build(bits, sectors, spc, reformatted=False, keep=None):
    v = Volume(bits, sectors, spc, 64)
    cs = spc * 512
    # Live folder at 3 (two clusters: 3, 4), deleted folder at 6 with a
    # deleted subfolder at 7, file data after.
    live = dots(3, 0) + named("Holiday photo.jpg", b"HOLIDA~1JPG", 0x20, 10, 3000, True)
    live += short_entry(b"NOTES   TXT", 0x20, 12, 700, True)
    live += short_entry(b"KEEP    TXT", 0x20, 13, 100)
    live = live.ljust(cs, b"\0")[:cs]
    second = short_entry(b"LATER   BIN", 0x20, 14, 5000, True)
    v.put_cluster(3, live)
    v.put_cluster(4, second)
    v.fat[3] = 4
    v.fat[4] = 0xFFFFFFF
    gone = dots(6, 0) + named("Old plan.txt", b"OLDPLA~1TXT", 0x20, 15, 900, False)
    gone += short_entry(b"SUB        ", 0x10, 7, 0, True)
    v.put_cluster(6, gone)
    v.put_cluster(7, dots(7, 6) + short_entry(b"INNER   DAT", 0x20, 16, 400, True))
    v.fat[13] = 0xFFFFFFF
    for c in range(10, 17):
        v.put_cluster(c, bytes([c]) * cs)
    root = short_entry(b"SEED       ", 0x08, 0, 0)
    root += named("My Documents", b"MYDOCU~1   ", 0x10, 3, 0)
    root += named("Old projects", b"OLDPRO~1   ", 0x10, 6, 0, True)
    root += named("Deleted file.bin", b"DELETE~1BIN", 0x20, 10, 2000, True)
    if not reformatted:
        v.root(root)
    v.write_fat(clear=reformatted)
    return bytes(v.img[:keep] if keep else v.img)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    seeds = {
        "fat12": (1, build(12, 256, 2)),
        "fat16": (2, build(16, 1024, 4)),
        "fat32": (3, build(32, 1536, 4)),
        "fat32_reformatted": (3, build(32, 1536, 4, reformatted=True)),
        "fat32_windows": (0x82, build(32, 540000, 8, keep=700 * 1024)),
    }
    for name, (fs, img) in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(bytes([fs]) + img)


if __name__ == "__main__":
    main()
