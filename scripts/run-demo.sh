#!/usr/bin/env bash
# Starts Salvitra on the demo disk.
# usage: run-demo.sh BUILDDIR
set -euo pipefail
build=${1:-build}
img="$build/demo/demo-disk.img"
if [ -x "$build/bin/salvitra" ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
  exec "$build/bin/salvitra" --image "$img"
fi
echo "Salvitra on the demo disk ($img):"
"$build/bin/salvitra-cli" devices --image "$img"
