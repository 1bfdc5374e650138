#!/usr/bin/env bash
# The window driven as a screen reader would drive it: under Xvfb with a
# window manager (openbox), on a session bus of its own with the
# accessibility bus (at-spi2-core), Salvitra lists a FAT card image from
# which two files were deleted; drive.py finds every control by its
# accessible name, scans, ticks, recovers into a folder chosen in the folder
# dialog and compares what came back with what was deleted.
#
# usage: check.sh BUILDDIR   (run inside dbus-run-session; 77: cannot run here)
set -euo pipefail
build=$(realpath "${1:?usage: check.sh BUILDDIR}")
here=$(cd "$(dirname "$0")" && pwd)
export PATH=$PATH:/usr/sbin:/sbin MTOOLS_SKIP_CHECK=1 TZ=UTC

launcher=
for l in /usr/libexec/at-spi-bus-launcher /usr/lib/at-spi2-core/at-spi-bus-launcher; do
  [ -x "$l" ] && launcher=$l && break
done
for tool in Xvfb openbox mkfs.vfat mcopy mdel sfdisk; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
[ -n "$launcher" ] || { echo "skipped: at-spi2-core is not installed"; exit 77; }
/usr/bin/python3 -c 'import pyatspi' 2>/dev/null || { echo "skipped: python3-pyatspi is not installed"; exit 77; }
[ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] || { echo "skipped: no session bus (run inside dbus-run-session)"; exit 77; }

work=$(mktemp -d)
pids=()
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do wait "${pids[i]}" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# The card: an MBR with one FAT16 partition "CARD"; a picture and a letter
# were deleted from it, a third file stays.
python3 - "$work" <<'PY'
import os, random, struct, sys, zlib
d = sys.argv[1]
rnd = random.Random(21)
w, h = 64, 48
raw = b"".join(b"\0" + bytes(rnd.randrange(256) for _ in range(w * 3)) for _ in range(h))
def chunk(t, data):
    c = struct.pack(">I", len(data)) + t + data
    return c + struct.pack(">I", zlib.crc32(t + data) & 0xffffffff)
with open(os.path.join(d, "sunset.png"), "wb") as f:
    f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))
with open(os.path.join(d, "notes.txt"), "w") as f:
    f.write("".join("A note about line %d that was deleted too soon.\n" % i for i in range(200)))
with open(os.path.join(d, "keep.txt"), "w") as f:
    f.write("still here\n" * 20)
PY
truncate -s 16M "$work/fat.img"
mkfs.vfat -F 16 -n CARD "$work/fat.img" >/dev/null
mcopy -i "$work/fat.img" "$work/sunset.png" "$work/notes.txt" "$work/keep.txt" ::/
mdel -i "$work/fat.img" ::/sunset.png ::/notes.txt
truncate -s 18M "$work/card.img"
sfdisk -q "$work/card.img" <<SF
label: dos
start=2048, size=32768, type=6
SF
dd if="$work/fat.img" of="$work/card.img" bs=512 seek=2048 conv=notrunc status=none
want=()
for f in sunset.png notes.txt; do want+=("$f=$(sha256sum "$work/$f" | cut -d' ' -f1)"); done

mkdir -p "$work/disks" "$work/config" "$work/tmp" "$work/out"
ln -s "$work/card.img" "$work/disks/disk0"

# A display of its own, with a window manager.  Xvfb picks a free display
# and writes its number once it takes clients (-displayfd): the read below
# waits for exactly that, however busy the machine is.
mkfifo "$work/ready"
Xvfb -displayfd 3 -screen 0 1600x1200x24 -nolisten tcp 3>"$work/ready" >"$work/xvfb.log" 2>&1 &
pids+=($!)
read -r number <"$work/ready" || true
[ -n "${number:-}" ] || { echo "skipped: Xvfb did not start"; cat "$work/xvfb.log"; exit 77; }
display=:$number
export DISPLAY=$display
openbox --sm-disable >"$work/openbox.log" 2>&1 &
pids+=($!)
"$launcher" --launch-immediately >"$work/atspi.log" 2>&1 &
pids+=($!)

export SALVITRA_DISK_DIR=$work/disks XDG_CONFIG_HOME=$work/config TMPDIR=$work/tmp
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1 QT_QPA_PLATFORM=xcb
"$build/bin/salvitra" >"$work/salvitra.log" 2>&1 &
pids+=($!)

if ! timeout 300 /usr/bin/python3 "$here/drive.py" "$work/out" "${want[@]}"; then
  echo "--- salvitra's output"; cat "$work/salvitra.log"
  exit 1
fi
