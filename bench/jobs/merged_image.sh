#!/usr/bin/env bash
# merged_image.sh OUTDIR MIB: card-like volumes for bench_merged, made by the
# real tools: fat32.img and ntfs.img (MIB MiB, sparse).  A first life of
# folders of pictures, music and documents (the carving corpus, copied many
# times), a quick format, then a second life of the same kind of which half
# is deleted again.
set -euo pipefail
out=${1:?usage: merged_image.sh OUTDIR MIB}
mib=${2:-512}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out/corpus"
bash "$here/../../tests/fixtures/carving.sh" "$out/corpus" >/dev/null 2>&1
files=$out/corpus/files
# A tree of copies: 40 folders of the corpus per life.
life() {
  local dst=$1 tag=$2
  rm -rf "$dst"
  for i in $(seq 1 40); do
    mkdir -p "$dst/${tag}_album_$i"
    for f in "$files"/*; do
      b=$(basename "$f")
      # Each copy differs in its last bytes' position only by its name.
      cp "$f" "$dst/${tag}_album_$i/${tag}_${i}_$b"
    done
  done
}
life "$out/first" first
life "$out/second" second

# FAT32 through mtools: 4 KiB clusters where the volume is large enough
# for FAT32 to have them, else smaller ones.
spc=8
[ "$mib" -ge 300 ] || spc=4
[ "$mib" -ge 150 ] || spc=1
img=$out/fat32.img
rm -f "$img"
mkfs.vfat -C -F 32 -s $spc -n CARD "$img" $((mib * 1024)) >/dev/null
MTOOLS_SKIP_CHECK=1 mcopy -s -i "$img" "$out/first"/* ::
mkfs.vfat -F 32 -s $spc -n CARD "$img" >/dev/null
MTOOLS_SKIP_CHECK=1 mcopy -s -i "$img" "$out/second"/* ::
for i in $(seq 1 2 40); do MTOOLS_SKIP_CHECK=1 mdeltree -i "$img" "::second_album_$i"; done

# NTFS through ntfs-3g, when FUSE works here.
img=$out/ntfs.img
rm -f "$img"
truncate -s ${mib}M "$img"
if mkntfs -F -Q -q -c 4096 "$img" >/dev/null 2>&1 && mkdir -p "$out/mnt" &&
   ntfs-3g "$img" "$out/mnt" 2>/dev/null; then
  cp -r "$out/first"/* "$out/mnt/"
  umount "$out/mnt" || fusermount3 -u "$out/mnt"
  mkntfs -F -Q -q -c 4096 "$img" >/dev/null 2>&1
  ntfs-3g "$img" "$out/mnt"
  cp -r "$out/second"/* "$out/mnt/"
  sync
  for i in $(seq 1 2 40); do rm -rf "$out/mnt/second_album_$i"; done
  umount "$out/mnt" || fusermount3 -u "$out/mnt"
else
  rm -f "$img"
fi
rm -rf "$out/first" "$out/second" "$out/mnt"
