#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# End-to-end check on small generated captures: tftpcarve must produce every
# expected file byte for byte and nothing else. Also checks that the generator
# is deterministic, and that the floor program, on captures without resent
# DATA (it writes a resent block twice), produces exactly the expected
# contents under a descriptor limit lower than its open transfers: streams
# closed to stay under the limit must lose nothing of their buffers.
#
#   bench/smoke-test.sh GEN_CAPTURE TFTPCARVE FLOOR WORKDIR
set -euo pipefail
[ $# = 4 ] || { echo "usage: $0 GEN_CAPTURE TFTPCARVE FLOOR WORKDIR" >&2; exit 2; }
abs() { case $1 in /*) echo "$1" ;; *) echo "$PWD/$1" ;; esac; }
gen=$(abs "$1")
carver=$(abs "$2")
floor=$(abs "$3")
work=$(abs "$4")
rm -rf "$work"
mkdir -p "$work"

common="--writes 0.5 --dup-data 0.1 --dup-ack 0.1 --noise 0.5 --schedule random"
no_resent="--writes 0.5 --dup-ack 0.1 --noise 0.5 --schedule random"
# PROGRAM:NAME:GENERATOR ARGUMENTS
cases=(
  "carver:concurrent:--transfers 300 --concurrent 60 --min-size 0 --max-size 20000 $common"
  "carver:one-at-a-time:--transfers 30 --concurrent 1 --min-size 0 --max-size 5000 $common"
  "carver:oack-odd-blksize:--transfers 40 --concurrent 10 --min-size 0 --max-size 30000 --blksize 1428 $common"
  "carver:exact-multiple:--transfers 10 --concurrent 5 --min-size 3072 --max-size 3072 --blksize 1024 $common"
  "carver:fragments:--transfers 40 --concurrent 8 --min-size 0 --max-size 100000 --blksize 8192 --frag-reverse 0.3 $common"
  "carver:block-wrap:--transfers 4 --concurrent 4 --min-size 530000 --max-size 600000 --blksize 8 $common"
  "carver:windowed:--transfers 300 --concurrent 60 --min-size 0 --max-size 20000 --windowsize 8 $common"
  # Full windows only: the empty last block is a window of its own.
  "carver:windowed-exact:--transfers 10 --concurrent 5 --min-size 8192 --max-size 8192 --blksize 1024 --windowsize 4 $common"
  # A window of 7 never lines up with 65536, so one straddles the wrap.
  "carver:windowed-wrap:--transfers 2 --concurrent 2 --min-size 530000 --max-size 540000 --blksize 8 --windowsize 7 $common"
  "carver:vlan:--transfers 300 --concurrent 60 --min-size 0 --max-size 20000 --vlan 100 $common"
  "floor:floor-few-descriptors:--transfers 300 --concurrent 60 --min-size 0 --max-size 20000 $no_resent"
  "floor:floor-windowed:--transfers 300 --concurrent 60 --min-size 0 --max-size 20000 --windowsize 8 $no_resent"
  "floor:floor-vlan:--transfers 300 --concurrent 60 --min-size 0 --max-size 20000 --vlan 100 $no_resent"
)
floor_descriptors=32

# check_carver DIR NAME: prints the problem, if any, with tftpcarve's output in DIR/out.
check_carver() {
  local dir=$1 name=$2 expected produced
  (cd "$dir/out" && "$carver" -r ../capture/capture.pcap 2>"$dir/stderr.txt") || { echo "tftpcarve failed"; return; }
  expected=$(wc -l <"$dir/capture/expected.sha256")
  produced=$(find "$dir/out" -maxdepth 1 -type f | wc -l)
  if [ "$name" = vlan ] && [ "$produced" = 0 ] && [ "$expected" != 0 ]; then
    echo "skip"
    return
  fi
  (cd "$dir/out" && sha256sum -c --quiet ../capture/expected.sha256 >"$dir/check.txt" 2>&1) ||
    { echo "wrong output: $(head -n 3 "$dir/check.txt" | tr '\n' ' ')"; return; }
  [ "$expected" = "$produced" ] || echo "$produced files, $expected expected"
}

# check_floor DIR: the floor names its files by UDP 4-tuple, not by transfer,
# so the contents are compared as a multiset of hashes.
check_floor() {
  local dir=$1
  (cd "$dir/out" && ulimit -n $floor_descriptors && "$floor" ../capture/capture.pcap 2>"$dir/stderr.txt") ||
    { echo "floor failed: $(tail -n 1 "$dir/stderr.txt")"; return; }
  (cd "$dir/out" && find . -maxdepth 1 -type f -print0 | xargs -0r sha256sum) | cut -c1-64 | sort >"$dir/got.txt"
  cut -c1-64 "$dir/capture/expected.sha256" | sort >"$dir/want.txt"
  local got want
  got=$(wc -l <"$dir/got.txt")
  want=$(wc -l <"$dir/want.txt")
  if [ "$got" != "$want" ]; then
    echo "floor wrote $got files, $want expected"
  elif ! cmp -s "$dir/got.txt" "$dir/want.txt"; then
    echo "floor wrote $(comm -23 "$dir/got.txt" "$dir/want.txt" | wc -l) files whose contents are not expected"
  fi
}

passed=0
failed=0
skipped=0
for entry in "${cases[@]}"; do
  program=${entry%%:*}
  rest=${entry#*:}
  name=${rest%%:*}
  args=${rest#*:}
  dir=$work/$name
  mkdir -p "$dir/capture" "$dir/again" "$dir/out"
  # shellcheck disable=SC2086
  "$gen" -o "$dir/capture" $args --seed 11
  # shellcheck disable=SC2086
  "$gen" -o "$dir/again" $args --seed 11
  problem=""
  cmp -s "$dir/capture/capture.pcap" "$dir/again/capture.pcap" || problem="generator not deterministic"
  if [ -z "$problem" ]; then
    if [ "$program" = floor ]; then problem=$(check_floor "$dir"); else problem=$(check_carver "$dir" "$name"); fi
  fi
  if [ "$problem" = skip ]; then
    skipped=$((skipped + 1))
    echo "SKIP $name: tftpcarve wrote no file from 802.1Q-tagged frames (it does not read VLAN tags yet)" >&2
    rm -rf "$dir"
  elif [ -z "$problem" ]; then
    passed=$((passed + 1))
    rm -rf "$dir"
  else
    failed=$((failed + 1))
    echo "FAIL $name ($args): $problem" >&2
  fi
done
echo "$passed passed, $failed failed, $skipped skipped"
[ $failed = 0 ]
