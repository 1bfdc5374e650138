#!/usr/bin/env bash
# Takes a picture of each page and dialog of the window, on the demo disk,
# under Xvfb with a window manager (openbox), the window placed away from
# the screen's corner, at the smallest size and at a larger one.
# usage: screenshots.sh [BUILDDIR] [OUTDIR]
set -euo pipefail
build=${1:-build}
out=${2:-$build/screenshots}
here=$(cd "$(dirname "$0")" && pwd)
bash "$here/make-demo-disk.sh" "$build/demo" >/dev/null
cmake --build "$build" --target salvitra salvitra-screenshots -j2 >/dev/null
mkdir -p "$out"
img=$(realpath "$build/demo/demo-disk.img")
# The stand-in folder holds the demo disk only, so no host disk shows up;
# settings of earlier runs are not read.
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/disks" "$work/config"
ln -s "$img" "$work/disks/disk0"
export SALVITRA_DISK_DIR=$work/disks XDG_CONFIG_HOME=$work/config

if ! command -v Xvfb >/dev/null || ! command -v openbox >/dev/null; then
  echo "Xvfb and openbox are needed (scripts/install-deps.sh installs them)" >&2
  exit 1
fi
# A free display number.
display=
for n in $(seq 80 140); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=:$n; break; fi
done
[ -n "$display" ] || { echo "no free X display" >&2; exit 1; }
Xvfb "$display" -screen 0 1600x1200x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
export DISPLAY=$display
openbox --sm-disable >"$work/openbox.log" 2>&1 &
pids+=($!)
unset QT_QPA_PLATFORM
for size in 720x476 1100x760; do
  "$build/bin/salvitra-screenshots" "$out/$size" "$size"
done
