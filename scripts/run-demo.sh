#!/usr/bin/env bash
# Starts Salvitra on the demo disk.
# usage: run-demo.sh BUILDDIR
set -euo pipefail
build=${1:-build}
img="$build/demo/demo-disk.img"
if [ -x "$build/bin/salvitra" ]; then
  if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    # The window lists what the stand-in folder holds: the demo disk.
    disks="$build/demo/disks"
    mkdir -p "$disks"
    ln -sfn "$(realpath "$img")" "$disks/disk0"
    SALVITRA_DISK_DIR=$(realpath "$disks") exec "$build/bin/salvitra"
  fi
  echo "No display (DISPLAY and WAYLAND_DISPLAY are unset): running the command-line demo instead."
  echo "Pictures of the window: bash scripts/screenshots.sh $build"
  echo
fi
cli="$build/bin/salvitra-cli"
echo "Salvitra on the demo disk ($img):"
"$cli" devices --image "$img"
for p in 0 1; do
  echo
  echo "Quick scan of partition $p:"
  "$cli" scan --quick --partition "$p" --image "$img" 2>/dev/null || true
done
echo
echo "Deep scan of the whole disk:"
"$cli" scan --deep --device 0 --image "$img" 2>/dev/null || true
echo
echo "Recover with: $cli recover --quick --partition 0 --image $img --out DIR"
