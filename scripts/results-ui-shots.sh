#!/usr/bin/env bash
# Screenshots of the results views (thumbnail pages and the preview) under
# Xvfb: scripts/results-ui-shots.sh BUILD_DIR OUT_DIR
set -euo pipefail
BUILD=${1:-build}
OUT=${2:-$BUILD/shots}
mkdir -p "$OUT"
DEMO=$BUILD/bin/results_ui_demo
shot() {
  local name=$1; shift
  xvfb-run -a -s "-screen 0 1024x768x24" "$DEMO" "$@" --shot "$OUT/$name.png"
}
shot thumbnails-page1
shot thumbnails-page3-ticked --page 3 --tick
shot list --list
shot preview-photo --preview photo
shot preview-gif --preview gif
shot preview-not-available --preview broken
echo "screenshots in $OUT"
