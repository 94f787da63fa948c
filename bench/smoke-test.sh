#!/usr/bin/env bash
# End-to-end check on small generated captures: tftpcarve must produce every
# expected file byte for byte and nothing else. Also checks that the generator
# is deterministic.
#
#   bench/smoke-test.sh GEN_CAPTURE TFTPCARVE WORKDIR
set -euo pipefail
[ $# = 3 ] || { echo "usage: $0 GEN_CAPTURE TFTPCARVE WORKDIR" >&2; exit 2; }
abs() { case $1 in /*) echo "$1" ;; *) echo "$PWD/$1" ;; esac; }
gen=$(abs "$1")
carver=$(abs "$2")
work=$(abs "$3")
rm -rf "$work"
mkdir -p "$work"

common="--writes 0.5 --dup-data 0.1 --dup-ack 0.1 --noise 0.5 --schedule random"
cases=(
  "concurrent:--transfers 300 --concurrent 60 --min-size 0 --max-size 20000 $common"
  "one-at-a-time:--transfers 30 --concurrent 1 --min-size 0 --max-size 5000 $common"
  "oack-odd-blksize:--transfers 40 --concurrent 10 --min-size 0 --max-size 30000 --blksize 1428 $common"
  "exact-multiple:--transfers 10 --concurrent 5 --min-size 3072 --max-size 3072 --blksize 1024 $common"
  "fragments:--transfers 40 --concurrent 8 --min-size 0 --max-size 100000 --blksize 8192 --frag-reverse 0.3 $common"
  "block-wrap:--transfers 4 --concurrent 4 --min-size 530000 --max-size 600000 --blksize 8 $common"
)

passed=0
failed=0
for entry in "${cases[@]}"; do
  name=${entry%%:*}
  args=${entry#*:}
  dir=$work/$name
  mkdir -p "$dir/capture" "$dir/again" "$dir/out"
  # shellcheck disable=SC2086
  "$gen" -o "$dir/capture" $args --seed 11
  # shellcheck disable=SC2086
  "$gen" -o "$dir/again" $args --seed 11
  problem=""
  cmp -s "$dir/capture/capture.pcap" "$dir/again/capture.pcap" || problem="generator not deterministic"
  if [ -z "$problem" ]; then
    (cd "$dir/out" && "$carver" -r ../capture/capture.pcap 2>"$dir/stderr.txt") || problem="tftpcarve failed"
  fi
  if [ -z "$problem" ]; then
    (cd "$dir/out" && sha256sum -c --quiet ../capture/expected.sha256 >"$dir/check.txt" 2>&1) ||
      problem="wrong output: $(head -n 3 "$dir/check.txt" | tr '\n' ' ')"
  fi
  if [ -z "$problem" ]; then
    expected=$(wc -l <"$dir/capture/expected.sha256")
    produced=$(find "$dir/out" -maxdepth 1 -type f | wc -l)
    [ "$expected" = "$produced" ] || problem="$produced files, $expected expected"
  fi
  if [ -z "$problem" ]; then
    passed=$((passed + 1))
    rm -rf "$dir"
  else
    failed=$((failed + 1))
    echo "FAIL $name ($args): $problem" >&2
  fi
done
echo "$passed passed, $failed failed"
[ $failed = 0 ]
