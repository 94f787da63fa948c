#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Runs the tool under valgrind on the normal paths: every capture in
# tests/captures/real and tests/captures/regress, the seed captures of the
# fuzz corpus, each with a few option sets, and a sample of the fuzz corpus
# turned back into captures, each with the options it carries. Fails on any
# invalid access, use of uninitialised memory, or definite or indirect leak.
#   scripts/memcheck.sh [max corpus inputs, default 40]
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build-memcheck"
limit=${1:-40}

cmake -S . -B "$build" -G Ninja -DTFTPCARVE_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build" -j2 tftpcarve
c++ -std=c++20 -O1 -o "$build/frames_pcap" fuzz/frames_pcap.cpp $(pkg-config --cflags --libs libpcap)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/out"
runs=0
failures=0

# valgrind's own error status is one the tool never uses, so that a capture
# the tool rightly ends with status 1 (a failed packet loop) is not taken
# for a memory error.
VALGRIND_ERROR=97

run_one() {  # capture, then the tool's options
  target=$1
  shift
  rm -rf "$work/out" && mkdir "$work/out"
  runs=$((runs + 1))
  set +e
  (cd "$work/out" && valgrind -q --error-exitcode=$VALGRIND_ERROR --leak-check=full \
      --errors-for-leak-kinds=definite,indirect --log-file="$work/valgrind.log" \
      "$build/tftpcarve" "$@" -r "$target" >/dev/null 2>"$work/stderr.log")
  status=$?
  set -e
  # 0: a normal end; 1: a failed packet loop (a capture cut short).
  if [ $status -ne 0 ] && [ $status -ne 1 ]; then
    failures=$((failures + 1))
    echo "FAIL (status $status): tftpcarve $* -r $target"
    cat "$work/valgrind.log"
    tail -5 "$work/stderr.log"
  fi
}

for capture in tests/captures/real/*.pcap tests/captures/real/*.pcapng tests/captures/regress/*.pcap \
    fuzz/captures/*.pcap; do
  [ -f "$capture" ] || continue
  run_one "$root/$capture" -v -v -v -X
  run_one "$root/$capture" -c
  run_one "$root/$capture" -d 6
  run_one "$root/$capture" -E -f
done

# An even sample of the corpus, in name order, so that the set is the same
# from run to run of one corpus.
total=$(ls fuzz/corpus/frames | wc -l)
step=$(( (total + limit - 1) / limit ))
[ "$step" -ge 1 ] || step=1
n=0
for input in fuzz/corpus/frames/*; do
  n=$((n + 1))
  [ $(( (n - 1) % step )) -eq 0 ] || continue
  options=$("$build/frames_pcap" to-pcap "$input" "$work/input.pcap")
  # shellcheck disable=SC2086
  run_one "$work/input.pcap" $options
done

echo "memcheck: $runs runs, $failures failed"
[ "$failures" -eq 0 ]
