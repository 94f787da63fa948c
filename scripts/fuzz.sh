#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Builds the libFuzzer targets with clang into build-fuzz and runs each one
# for a bounded time (default 90 seconds) from the committed corpus, with
# the TFTP dictionary. Fails on any crash, leak, sanitizer report or hang.
# New inputs go to a scratch corpus, so the committed one is left as it is.
#   scripts/fuzz.sh [seconds]
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-90}
root=$(pwd)
build="$root/build-fuzz"

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DTFTPCARVE_FUZZ=ON -DTFTPCARVE_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build" -j2 fuzz_frames fuzz_request

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/artifacts"
status=0
for target in frames request; do
  mkdir -p "$work/$target"
  echo "== fuzz_$target for ${seconds}s"
  # One process, one worker: the machine's other core is not ours.
  # -timeout catches an input that runs away (a hang or quadratic work).
  if ! "$build/fuzz_$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -max_len=65536 \
      -print_final_stats=1 -dict="$root/fuzz/tftp.dict" -artifact_prefix="$build/artifacts/$target-" \
      "$work/$target" "$root/fuzz/corpus/$target" >"$work/$target.log" 2>&1; then
    status=1
    grep -v '^"' "$work/$target.log" | tail -60
    echo "fuzz_$target failed; reproduce with: $build/fuzz_$target $build/artifacts/$target-*" >&2
  else
    grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::number_of_executed_units' "$work/$target.log" || true
  fi
done
exit $status
