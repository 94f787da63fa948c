#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Runs the tool on every capture listed in the cases file and checks that it
# ends with the expected status, with no signal and no sanitizer report.
# Each capture once exposed a fault; the cases file says which.
#   run_regress.sh TFTPCARVE CASES CAPTURE_DIR
set -u
tool=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
cases=$2
captures=$(cd "$3" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
runs=0
failures=0
while IFS='|' read -r capture expected options; do
  case "$capture" in '#'* | '') continue ;; esac
  capture=$(echo "$capture" | tr -d ' ')
  expected=$(echo "$expected" | tr -d ' ')
  rm -rf "$work/out" && mkdir "$work/out"
  runs=$((runs + 1))
  # shellcheck disable=SC2086
  (cd "$work/out" && exec "$tool" $options -r "$captures/$capture") >/dev/null 2>"$work/stderr" </dev/null
  status=$?
  problem=""
  [ "$status" -eq "$expected" ] || problem="exit status $status, expected $expected"
  if grep -q -e 'runtime error' -e 'Sanitizer' "$work/stderr"; then problem="sanitizer report"; fi
  if [ -n "$problem" ]; then
    failures=$((failures + 1))
    echo "FAIL $capture ($options): $problem"
    tail -20 "$work/stderr"
  fi
done <"$cases"
echo "$runs captures, $failures failures"
[ "$runs" -gt 0 ] && [ "$failures" -eq 0 ]
