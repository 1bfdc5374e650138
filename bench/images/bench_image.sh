#!/usr/bin/env bash
# bench_image: saving a disk image with salvitra-cli image.
#  - a clean 1 GiB image (cached) against `cat` of it into a file in the
#    same folder (target: at least 0.9 x cat's speed);
#  - the same disk as a medium whose reads fail (nbdkit's ddrescue filter
#    behind nbdfuse), once clean and once with 1% of its sectors unreadable
#    in 64 damaged areas (target: at most 3 x the clean time).
# Each figure is the best of five runs (three on the failing medium), the
# programs taking turns: the machine is shared, single runs vary widely.
# usage: bench_image CLI   (figures only; never fails on a slow machine)
set -uo pipefail
cli=${1:?usage: bench_image CLI}
work=$(mktemp -d /tmp/bench_image.XXXXXX)
pid=
stop_medium() { [ -n "$pid" ] && kill "$pid" 2>/dev/null && while kill -0 "$pid" 2>/dev/null; do sleep 0.1; done; pid=; }
trap 'stop_medium; cd /; rm -rf "$work"' EXIT
cd "$work"
now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }
secs() { local t0=$(now); "$@" >/dev/null 2>&1; local t1=$(now); calc "$t1 - $t0"; }
best() { awk "BEGIN { print ($1 < $2) ? $1 : $2 }"; }
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"

size=$((1 << 30))
head -c $size /dev/urandom > disk.img
mib=$((size >> 20))
copy_cat() { cat "$1" > catcopy; rm -f catcopy; }
image() { rm -f out.img out.img.map; "$cli" image --device 0 --image "$1" --out out.img; }
cat disk.img >/dev/null
tc=999 ts=999
for r in 1 2 3 4 5; do
  tc=$(best "$(secs copy_cat disk.img)" $tc)
  ts=$(best "$(secs image disk.img)" $ts)
done
cmp -s disk.img out.img || echo "  (the image differs from the disk)"
printf "%-48s %7.1f MiB/s (%s s)\n" "cat of the cached 1 GiB disk into a file" "$(calc "$mib / $tc")" "$tc"
printf "%-48s %7.1f MiB/s (%s s)  ratio to cat %s (target >= 0.90)\n" "salvitra-cli image of it" \
  "$(calc "$mib / $ts")" "$ts" "$(calc "$tc / $ts")"

# ---- a failing medium ----
if ! command -v nbdfuse >/dev/null || ! command -v nbdkit >/dev/null || [ ! -w /dev/fuse ]; then
  echo "(no nbdkit, nbdfuse or FUSE here: the failing-medium figures are left out)"
  exit 0
fi
# map PERCENT: the filter's map with PERCENT of the sectors unreadable, in
# 64 areas spread over the disk.
map() {
  python3 - "$size" "$1" <<'PY'
import sys
size, pct = int(sys.argv[1]), float(sys.argv[2])
sectors = size // 512
bad = int(sectors * pct / 100)
areas = 64 if bad else 0
print("0x0 + 1")
at = 0
for i in range(areas):
    n = bad // areas + (1 if i < bad % areas else 0)
    start = (sectors * (2 * i + 1) // (2 * areas)) * 512
    print(hex(at), hex(start - at), "+"); print(hex(start), hex(n * 512), "-"); at = start + n * 512
print(hex(at), hex(size - at), "+")
PY
}
medium() { # PERCENT
  stop_medium
  map "$1" > medium.map
  mkdir -p mnt
  nbdfuse -P fuse.pid mnt/medium --command nbdkit -s -r --filter=ddrescue file file="$work/disk.img" \
    ddrescue-mapfile="$work/medium.map" >/dev/null 2>&1 &
  pid=$!
  for i in $(seq 300); do [ -s fuse.pid ] && [ -e mnt/medium ] && break; sleep 0.1; done
  rm -f fuse.pid
}
medium 0
tcf=999 tsf=999
for r in 1 2 3; do
  tcf=$(best "$(secs copy_cat mnt/medium)" $tcf)
  tsf=$(best "$(secs image "$work/mnt/medium")" $tsf)
done
medium 1
tsb=999
for r in 1 2 3; do tsb=$(best "$(secs image "$work/mnt/medium")" $tsb); done
bad=$(grep -c ' -$' out.img.map)
stop_medium
printf "%-48s %7.1f MiB/s (%s s)\n" "cat of the clean failing-medium file" "$(calc "$mib / $tcf")" "$tcf"
printf "%-48s %7.1f MiB/s (%s s)  ratio to cat %s\n" "salvitra-cli image of it, clean" "$(calc "$mib / $tsf")" \
  "$tsf" "$(calc "$tcf / $tsf")"
printf "%-48s %7.1f MiB/s (%s s)  %s x the clean time (target <= 3); %s bad areas in the map\n" \
  "salvitra-cli image of it, 1% of sectors bad" "$(calc "$mib / $tsb")" "$tsb" "$(calc "$tsb / $tsf")" "$bad"
