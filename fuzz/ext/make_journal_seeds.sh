#!/usr/bin/env bash
# make_journal_seeds.sh SOURCE_DIR OUTDIR: the volume the journal fuzzer
# writes its input over, and seeds: the journal areas of the test
# fixture's volumes made with debugfs's journal commands (tests/fixtures/extjd.sh).
#   OUTDIR/template.img     jd.img
#   OUTDIR/template.jmap    its journal's pieces ("LOGICAL PHYSICAL LENGTH")
#   OUTDIR/seeds/*          journal areas, whole and their first 16 KiB
set -euo pipefail
src=${1:?usage: make_journal_seeds.sh SOURCE_DIR OUTDIR}
out=${2:?usage: make_journal_seeds.sh SOURCE_DIR OUTDIR}
export PATH=$PATH:/sbin:/usr/sbin
mkdir -p "$out/seeds"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bash "$src/tests/fixtures/extjd.sh" "$work" >/dev/null
cp "$work/jd.img" "$out/template.img"
cp "$work/jd.jmap" "$out/template.jmap"
for v in jd jd-dirty jd-revoke; do
    debugfs -R "dump <8> $out/seeds/$v" "$work/$v.img" >/dev/null 2>&1
    head -c 16384 "$out/seeds/$v" >"$out/seeds/$v-head"
done
