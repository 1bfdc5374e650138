#!/usr/bin/env bash
# Starts Salvitra on the demo disk.
# usage: run-demo.sh BUILDDIR
set -euo pipefail
build=${1:-build}
img="$build/demo/demo-disk.img"
if [ -x "$build/bin/salvitra" ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
  exec "$build/bin/salvitra" --image "$img"
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
