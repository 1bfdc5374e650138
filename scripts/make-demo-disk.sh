#!/usr/bin/env bash
# Builds the demo disk: an MBR image with a FAT32 and an ext2 partition,
# both holding a few files of which some were deleted again.
# usage: make-demo-disk.sh OUTDIR
set -euo pipefail
out=${1:?usage: make-demo-disk.sh OUTDIR}
mkdir -p "$out"
img="$out/demo-disk.img"
[ -s "$img" ] && exit 0

export PATH=$PATH:/usr/sbin:/sbin
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Some content that looks like what people lose.
python3 - "$tmp" <<'PY'
import os, random, sys, zlib, struct
d = sys.argv[1]
random.seed(7)
def png(path, w, h, seed):
    rnd = random.Random(seed)
    raw = b"".join(b"\0" + bytes(rnd.randrange(256) for _ in range(w * 3)) for _ in range(h))
    def chunk(t, data):
        c = struct.pack(">I", len(data)) + t + data
        return c + struct.pack(">I", zlib.crc32(t + data) & 0xffffffff)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))
png(os.path.join(d, "holiday_beach.png"), 96, 64, 1)
png(os.path.join(d, "birthday.png"), 64, 64, 2)
# Pictures that look like pictures: a sky, a sea, a sun and a hill.
def scene(path, w, h, sun, hue):
    rows = []
    for y in range(h):
        row = bytearray(b"\0")
        for x in range(w):
            if (x - sun[0]) ** 2 + (y - sun[1]) ** 2 < (h // 8) ** 2:
                c = (255, 214, 80)
            elif y > h * 0.62 + 18 * ((x / w - 0.5) ** 2) * 4 - 10:
                c = (40 + hue // 3, 120 + (y * 60) // h, 60)
            elif y > h // 2:
                c = (20, 90 + (y * 80) // h, 160 + hue // 4)
            else:
                c = (120 + hue // 2, 170 + (y * 60) // h, 240)
            row += bytes(min(v, 255) for v in c)
        rows.append(bytes(row))
    def chunk(t, data):
        c = struct.pack(">I", len(data)) + t + data
        return c + struct.pack(">I", zlib.crc32(t + data) & 0xffffffff)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(b"".join(rows))) + chunk(b"IEND", b""))
for i in range(8):
    scene(os.path.join(d, "IMG_%04d.png" % (101 + i)), 240, 160, (40 + i * 22, 30 + (i % 3) * 12), i * 30)
with open(os.path.join(d, "notes.txt"), "w") as f:
    for i in range(400):
        f.write(f"Line {i}: the quick brown fox jumps over the lazy dog.\n")
with open(os.path.join(d, "report.txt"), "w") as f:
    f.write("Quarterly report\n" * 300)
PY

# FAT32 partition with a label; two files deleted.
truncate -s 33M "$tmp/fat.img"
mkfs.vfat -F 32 -n "HOLIDAY" "$tmp/fat.img" >/dev/null
export MTOOLS_SKIP_CHECK=1
mmd -i "$tmp/fat.img" ::/Photos
mcopy -i "$tmp/fat.img" "$tmp/holiday_beach.png" "$tmp/birthday.png" "$tmp"/IMG_01*.png ::/Photos/
if command -v ffmpeg >/dev/null; then
  for i in 1 2 3 4; do
    ffmpeg -loglevel error -f lavfi -i "testsrc2=size=320x240:rate=1" -ss "$i" -frames:v 1 -y "$tmp/DSC_000$i.JPG"
  done
  mcopy -i "$tmp/fat.img" "$tmp"/DSC_000*.JPG ::/Photos/
  mdel -i "$tmp/fat.img" ::/Photos/DSC_0002.JPG ::/Photos/DSC_0003.JPG
fi
mdel -i "$tmp/fat.img" ::/Photos/IMG_0102.png ::/Photos/IMG_0103.png ::/Photos/IMG_0105.png ::/Photos/IMG_0107.png
mcopy -i "$tmp/fat.img" "$tmp/notes.txt" "$tmp/report.txt" ::/
mdel -i "$tmp/fat.img" ::/Photos/holiday_beach.png ::/notes.txt

# ext2 partition; one file removed the way older kernels did it.
truncate -s 24M "$tmp/ext.img"
mke2fs -q -t ext2 -b 1024 -L "archive" "$tmp/ext.img"
debugfs -w -R "write $tmp/report.txt report.txt" "$tmp/ext.img" >/dev/null 2>&1
debugfs -w -R "write $tmp/birthday.png birthday.png" "$tmp/ext.img" >/dev/null 2>&1
debugfs -w -R "rm birthday.png" "$tmp/ext.img" >/dev/null 2>&1

# The disk: 1 MiB gap, FAT32 (type 0x0c), ext2 (type 0x83).
truncate -s 64M "$tmp/disk.img"
sfdisk -q "$tmp/disk.img" <<SF
label: dos
start=2048, size=67584, type=c
start=69632, size=49152, type=83
SF
dd if="$tmp/fat.img" of="$tmp/disk.img" bs=512 seek=2048 conv=notrunc status=none
dd if="$tmp/ext.img" of="$tmp/disk.img" bs=512 seek=69632 conv=notrunc status=none
mv "$tmp/disk.img" "$img"
echo "demo disk: $img"
