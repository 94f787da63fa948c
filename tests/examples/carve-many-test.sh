#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# examples/carve-many.sh with two jobs on a folder of capture sets made from
# the committed real captures: a gzipped ring, two captures of different link
# types, one plain capture, and a set holding a file that is no capture.
# Every good set's files come back byte for byte, the broken set is counted
# as failed (status 1), and the summary table adds up the reports by state.
#
#   sh carve-many-test.sh PATH/TO/tftpcarve SOURCE_DIR
#
# Exit status: 0 pass, 1 fail, 77 skipped (GNU parallel or jq/python3 missing).
set -u
[ $# -eq 2 ] || { echo "usage: $0 PATH/TO/tftpcarve SOURCE_DIR" >&2; exit 2; }
case $1 in /*) carve=$1 ;; *) carve=$(pwd)/$1 ;; esac
src=$(cd "$2" && pwd)
command -v parallel >/dev/null 2>&1 || { echo "SKIP: GNU parallel is not installed"; exit 77; }
command -v jq >/dev/null 2>&1 || command -v python3 >/dev/null 2>&1 ||
  { echo "SKIP: neither jq nor python3 is installed"; exit 77; }

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tftpcarve-many.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

ring=$src/tests/captures/real-ring
real=$src/tests/captures/real
mkdir -p "$tmp/sets/ring" "$tmp/sets/links" "$tmp/sets/plain" "$tmp/sets/broken"
cp "$ring"/ring.pcap0*.gz "$tmp/sets/ring/"
cp "$ring/link-eth.pcap" "$ring/link-sll.pcap" "$tmp/sets/links/"
cp "$real/hpa-basic.pcap" "$tmp/sets/plain/"
printf 'not a capture\n' >"$tmp/sets/broken/junk.pcap"

TFTPCARVE=$carve sh "$src/examples/carve-many.sh" -j 2 "$tmp/sets" "$tmp/out" >"$tmp/stdout" 2>"$tmp/stderr"
rc=$?
[ "$rc" = 1 ] || fail "status $rc, expected 1 (one broken set): $(cat "$tmp/stderr")"

# The files of every good set, against the manifests.
expected() { awk -v s="$2" '$1 == s { print $3 "  " $2 }' "$1/manifest.txt"; }
for pair in "ring:$ring:ring" "links:$ring:linktypes" "plain:$real:hpa-basic.pcap"; do
  set_name=${pair%%:*} rest=${pair#*:}
  dir=${rest%%:*} key=${rest#*:}
  expected "$dir" "$key" >"$tmp/expected.sha256"
  (cd "$tmp/out/$set_name" && sha256sum -c --quiet "$tmp/expected.sha256") >"$tmp/check" 2>&1 ||
    fail "set $set_name: $(cat "$tmp/check")"
done
grep -q "unable to open pcap file .*junk.pcap" "$tmp/out/broken.log" ||
  fail "the broken set's log: $(cat "$tmp/out/broken.log")"

# The table: the ring's three and the link types' two transfers complete,
# hpa-basic's ten complete and two errors (the missing file, asked twice).
complete=$( { expected "$ring" ring; expected "$ring" linktypes; expected "$real" hpa-basic.pcap; } | wc -l)
total=$(awk '($1 == "ring" || $1 == "linktypes") && $2 !~ /^#/ { s += $4 } END { print s }' "$ring/manifest.txt")
total=$((total + $(awk '$1 == "hpa-basic.pcap" { s += $4 } END { print s }' "$real/manifest.txt")))
cat >"$tmp/want" <<EOF
4 sets; failed: 1
state         transfers          bytes
complete             $complete $total
error                 2              0
total                $((complete + 2)) $total
EOF
# Compare with the spacing folded: the numbers are the point.
tr -s ' ' <"$tmp/out/summary.txt" >"$tmp/got.folded"
tr -s ' ' <"$tmp/want" >"$tmp/want.folded"
cmp -s "$tmp/got.folded" "$tmp/want.folded" || fail "summary table:
$(cat "$tmp/out/summary.txt")
expected:
$(cat "$tmp/want")"
cmp -s "$tmp/stdout" "$tmp/out/summary.txt" || fail "the table printed differs from summary.txt"
[ "$(awk 'NR > 1' "$tmp/out/joblog.txt" | wc -l)" = 4 ] || fail "joblog: $(cat "$tmp/out/joblog.txt")"

[ "$status" = 0 ] && echo "PASS: four sets carved two at a time, the table adds up"
exit "$status"
