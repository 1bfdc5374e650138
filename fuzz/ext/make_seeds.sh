#!/usr/bin/env bash
# make_seeds.sh OUTDIR: small ext2 volumes (under the fuzzers' 1 MiB input
# limit) made like the test fixtures: mke2fs, then debugfs writes files and
# folders and removes some of them.
set -euo pipefail
out=${1:?usage: make_seeds.sh OUTDIR}
export PATH=$PATH:/sbin:/usr/sbin
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

head -c 3000 /dev/urandom >small
head -c 40000 /dev/urandom >medium
printf '\xff\xd8\xff\xe0photo' >photo

seed() { # NAME BLOCKSIZE KIB INODES
    local img=$out/$1.img
    rm -f "$img"
    truncate -s $(($3 * 1024)) "$img"
    mke2fs -q -F -t ext2 -b "$2" -N "$4" "$img" >/dev/null 2>&1
    cat >cmds <<EOF
write small a.bin
write medium b.bin
write photo c.jpg
mkdir d
write small d/e.bin
write medium d/f.bin
mkdir d/g
write small d/g/h.bin
symlink s /some/target
rm a.bin
rm b.bin
rm d/e.bin
rm d/g/h.bin
rm s
EOF
    debugfs -w -f cmds "$img" >/dev/null 2>&1
}

seed ext2-1k 1024 256 64
seed ext2-2k 2048 512 64
seed ext2-4k 4096 768 128
