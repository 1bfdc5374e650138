#!/usr/bin/env bash
# Takes a picture of each page of the window, on the demo disk, under Xvfb
# (or Qt's offscreen platform when Xvfb is not installed).
# usage: screenshots.sh [BUILDDIR] [OUTDIR]
set -euo pipefail
build=${1:-build}
out=${2:-$build/screenshots}
here=$(cd "$(dirname "$0")" && pwd)
bash "$here/make-demo-disk.sh" "$build/demo" >/dev/null
cmake --build "$build" --target salvitra-screenshots -j2 >/dev/null
mkdir -p "$out"
img=$(realpath "$build/demo/demo-disk.img")
# The stand-in folder holds the demo disk only, so no host disk shows up.
disks=$(mktemp -d)
trap 'rm -rf "$disks"' EXIT
ln -s "$img" "$disks/disk0"
export SALVITRA_DISK_DIR=$disks
if command -v xvfb-run >/dev/null; then
  xvfb-run -a -s "-screen 0 1280x1024x24" "$build/bin/salvitra-screenshots" "$out"
else
  echo "xvfb-run not found: using the offscreen platform"
  QT_QPA_PLATFORM=offscreen "$build/bin/salvitra-screenshots" "$out"
fi
