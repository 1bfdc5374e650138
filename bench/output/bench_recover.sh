#!/usr/bin/env bash
# bench_recover: the output side's speed, through salvitra-cli as a user
# runs it.
#  - large files: a 96 MiB WAV carved from a whole-device record (--deep
#    --device) and the same file deleted on a FAT32 volume (--quick), the
#    whole command (scan and copy) against `cat` of the cached image into a
#    file in the same folder;
#  - 10,000 small deleted files on FAT, NTFS and ext2, each against The
#    Sleuth Kit's tsk_recover writing into the same folder.
# usage: bench_recover CLI   (figures only; never fails on a slow machine)
set -uo pipefail
cli=${1:?usage: bench_recover CLI}
PATH=$PATH:/sbin:/usr/sbin
work=$(mktemp -d /tmp/bench_recover.XXXXXX)
trap 'cd /; umount "$work/small/mnt" "$work/mnt" "$work/small" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.4f\", $1 }"; }
secs() { local t0=$(now); "$@" >/dev/null 2>&1; local t1=$(now); calc "$t1 - $t0"; }
ratio() { awk "BEGIN { printf \"%.2f\", $1 / $2 }"; }

# ---- large files ----
sox -n -r 48000 -c 2 -b 16 big.wav synth 500 sine 440 2>/dev/null
size=$(stat -c %s big.wav)
truncate -s $((size + 8 * 1024 * 1024)) raw.img
dd if=big.wav of=raw.img bs=1M seek=4 conv=notrunc status=none
# cat copies the same bytes into the same folder: a recovery reads and writes.
copy_cat() { cat "$1" > catcopy; rm -f catcopy; }
cat raw.img >/dev/null
tcat=$(secs copy_cat raw.img)
rm -rf out; tdeep=$(secs "$cli" recover --deep --device 0 --image raw.img --out out)
mb=$(calc "$size / 1048576")
printf "%-44s %8.1f MiB/s\n" "cat of the cached image into a file" "$(calc "$mb / $tcat")"
printf "%-44s %8.1f MiB/s  ratio to cat %s (target >= 0.50)\n" "deep, whole-device record ($((size >> 20)) MiB WAV)" \
  "$(calc "$mb / $tdeep")" "$(ratio "$tcat" "$tdeep")"
if cmp -s big.wav out/*/*.wav 2>/dev/null || cmp -s big.wav "$(find out -name '*.wav' | head -1)"; then :; else
  echo "  (the WAV did not come back byte for byte)"; fi

truncate -s 320M fat.img
mkfs.vfat -F 32 -s 8 fat.img >/dev/null
mcopy -i fat.img big.wav ::BIG.WAV && mdel -i fat.img ::BIG.WAV
cat fat.img >/dev/null
rm -rf out; tquick=$(secs "$cli" recover --quick --partition 0 --image fat.img --out out)
printf "%-44s %8.1f MiB/s  ratio to cat %s (target >= 0.50)\n" "quick, FAT32 deleted file" \
  "$(calc "$mb / $tquick")" "$(ratio "$tcat" "$tquick")"
rm -f raw.img fat.img big.wav

# ---- 10,000 small deleted files ----
# Creating 10,000 files on a disk costs the kernel more or less from one run
# to the next (whatever the program); where it can, the comparison runs in a
# memory file system so that only the two programs' own work is measured.
if [ "$(id -u)" = 0 ] && mkdir -p small && mount -t tmpfs -o size=1g tmpfs small 2>/dev/null; then
  cd small; echo "(10,000 small files: in a memory file system)"
fi
mkdir src
python3 - <<'PY'
import random
r = random.Random(1)
for i in range(10000):
    open("src/f%05d.bin" % i, "wb").write(r.randbytes(r.randint(200, 3000)))
PY
small() { # NAME IMAGE SALVITRA-ARGS
  local name=$1 img=$2
  cat "$img" >/dev/null
  # Creating 10,000 files costs the file system more or less from one run to
  # the next: take the best of three, the two programs taking turns.
  local ts=999 tt=999 n m t r
  for r in 1 2 3; do
    rm -rf out; sync; t=$(secs "$cli" recover --quick --partition 0 --image "$img" --out out)
    ts=$(awk "BEGIN { print ($t < $ts) ? $t : $ts }"); n=$(find out -type f | wc -l)
    rm -rf out; sync; t=$(secs tsk_recover -i raw "$img" out)
    tt=$(awk "BEGIN { print ($t < $tt) ? $t : $tt }"); m=$(find out -type f | wc -l)
  done
  printf "%-8s salvitra %6.2f s (%5d files)  tsk_recover %6.2f s (%5d files)  tsk/salvitra %s (target >= 1)\n" \
    "$name" "$ts" "$n" "$tt" "$m" "$(ratio "$tt" "$ts")"
}
truncate -s 64M fat.img && mkfs.vfat -F 16 -s 4 fat.img >/dev/null
mmd -i fat.img ::D && mcopy -i fat.img src/* ::D/ && mdel -i fat.img '::D/*'
small FAT fat.img
rm -f fat.img

truncate -s 64M ext2.img && mke2fs -q -F -t ext2 -b 1024 -N 16384 ext2.img
{ echo "mkdir d"; for f in src/*; do echo "write $f d/${f#src/}"; done
  for f in src/*; do echo "rm d/${f#src/}"; done; } > cmds
debugfs -w -f cmds ext2.img >/dev/null 2>&1
small ext2 ext2.img
rm -f ext2.img

truncate -s 96M ntfs.img && mkntfs -q -F -f ntfs.img >/dev/null 2>&1
mkdir -p mnt
if ntfs-3g ntfs.img mnt 2>/dev/null; then
  mkdir mnt/d && cp src/* mnt/d/ && rm -r mnt/d && umount mnt
  small NTFS ntfs.img
else
  echo "NTFS     (ntfs-3g could not mount: FUSE missing)"
fi
