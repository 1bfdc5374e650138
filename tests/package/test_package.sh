#!/usr/bin/env bash
# test_package.sh BUILDDIR: builds the Debian package, unpacks it into a
# scratch root (dpkg -x) and runs both programs from there with the build
# tree out of sight; validates the menu entry, the AppStream metainfo and
# the package itself (lintian).
set -euo pipefail
build=$(realpath "$1")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log"; fail "cpack"; }
deb=$(ls "$tmp"/out/salvitra_*.deb)
echo "package: $(basename "$deb")"
dpkg-deb -f "$deb" Depends | grep -q libqt6widgets6 || fail "no dependencies from dpkg-shlibdeps"

root=$tmp/root
dpkg -x "$deb" "$root"
for size in 16x16 22x22 24x24 32x32 48x48 64x64 128x128 256x256 512x512; do
  [ -s "$root/usr/share/icons/hicolor/$size/apps/org.salvitra.Salvitra.png" ] || fail "no $size icon"
done
[ -s "$root/usr/share/icons/hicolor/scalable/apps/org.salvitra.Salvitra.svg" ] || fail "no scalable icon"
for page in salvitra salvitra-cli; do
  [ -s "$root/usr/share/man/man1/$page.1.gz" ] || fail "no manual page for $page"
done
[ -s "$root/usr/share/salvitra/help/index.html" ] || fail "no help page"

desktop-file-validate "$root/usr/share/applications/org.salvitra.Salvitra.desktop" || fail "desktop file"
appstreamcli validate --no-net "$root/usr/share/metainfo/org.salvitra.Salvitra.metainfo.xml" || fail "metainfo"

# An empty NTFS volume: its quick scan needs libtaskel, which the program
# loads from its private library folder only.
ntfs=$tmp/ntfs.img
truncate -s 8M "$ntfs"
PATH=$PATH:/sbin:/usr/sbin mkntfs -F -f -q "$ntfs" >/dev/null 2>&1 || ntfs=""

programs() {
  set -e
  "$root/usr/bin/salvitra-cli" --help | grep -q "^usage: salvitra-cli"
  "$root/usr/bin/salvitra" --version | grep -q "^salvitra [0-9]"
  if [ -n "$ntfs" ]; then
    "$root/usr/bin/salvitra-cli" scan --quick --partition 0 --image "$ntfs" | grep -q "0 files found."
  fi
}
export -f programs
export root ntfs
if [ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null; then
  # The build tree hidden under an empty folder: nothing of it can be used.
  unshare -m bash -c 'mount -t tmpfs none "$0" && [ -z "$(ls -A "$0")" ] && programs' "$build" ||
    fail "the programs do not run from the package alone"
else
  echo "(not root: the build tree stays visible; checking where the libraries come from)"
  ldd "$root/usr/bin/salvitra-cli" | grep -q "$root/usr/lib/.*/salvitra/libmerrow.so" || fail "libmerrow not from the package"
  programs || fail "the programs do not run from the package"
fi

lintian --fail-on error "$deb" 2>/dev/null || fail "lintian"
echo "ok"
