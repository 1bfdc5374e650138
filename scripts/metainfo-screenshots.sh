#!/usr/bin/env bash
# Refreshes the pictures the AppStream metainfo names (data/screenshots,
# published under $SALVITRA_HOMEPAGE/screenshots/) from scripts/screenshots.sh.
# usage: metainfo-screenshots.sh [BUILDDIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
bash "$here/screenshots.sh" "$build" "$tmp" >/dev/null
dest=$here/../data/screenshots
mkdir -p "$dest"
cp "$tmp/01-home.png" "$dest/home.png"
cp "$tmp/02-disk-quick.png" "$dest/disk-tree.png"
cp "$tmp/03-quick-finished-thumbnails.png" "$dest/results.png"
ls "$dest"
