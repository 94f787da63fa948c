#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Carves every capture of real TFTP traffic listed in the manifest and checks
# that each yields exactly the files listed for it, byte for byte, and that
# its exchange trace is exactly the one committed beside it: <capture>.trace
# (the .gz dropped from the capture's name, and the trace gzipped too when the
# capture is) holds the standard output of "tftpcarve -vv -r <capture>" run
# in an empty folder, and -v must print exactly its READ and WRITE lines.
# The report of each run must give every listed file the state "complete"
# with its size and sha256 (check-report.py). A capture that needs options
# of its own names them on a line
#   #args CAPTURE OPTION...
# which other readers of the manifest take for a comment.
#
# Usage: run-real.sh TFTPCARVE CAPTURE_DIR
#        run-real.sh --write-traces TFTPCARVE CAPTURE_DIR
# The second form writes the trace files from the given binary instead of
# checking anything: for new captures, or after a change to the trace that
# is meant. Review the difference before committing it.
set -u

write_traces=0
if [ "${1:-}" = --write-traces ]; then
  write_traces=1
  shift
fi
[ $# -eq 2 ] || { echo "usage: $0 [--write-traces] TFTPCARVE CAPTURE_DIR" >&2; exit 2; }
tool=$1
dir=$(cd "$2" && pwd) || exit 2
manifest=$dir/manifest.txt
[ -x "$tool" ] || { echo "no tool at $tool" >&2; exit 2; }
[ -r "$manifest" ] || { echo "no manifest at $manifest" >&2; exit 2; }
case $tool in /*) ;; *) tool=$(pwd)/$tool ;; esac

# The options a capture's runs take, from its "#args" line.
args_of() { awk -v c="$1" '$1 == "#args" && $2 == c { for (i = 3; i <= NF; i++) printf "%s ", $i }' "$manifest"; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# trace LEVEL FILE: the standard output of the tool at -v level LEVEL
# ("-v", "-vv") on FILE, run in an empty folder, into $scratch/got.trace;
# fails with the tail of standard error in $scratch/trace.err.
trace() {
  rm -rf "$scratch/trace.run"
  mkdir "$scratch/trace.run"
  # shellcheck disable=SC2086 # the options are words of their own
  (cd "$scratch/trace.run" && "$tool" $args "$1" -r "$2" >"$scratch/got.trace" 2>"$scratch/trace.stderr")
  trace_status=$?
  rm -rf "$scratch/trace.run"
  [ "$trace_status" -eq 0 ] && return 0
  tail -n 3 "$scratch/trace.stderr" >"$scratch/trace.err"
  return 1
}

# trace_differs LEVEL WANT: reports, indented, how $scratch/got.trace differs
# from WANT; the diff is cut short, since a trace runs to many lines.
trace_differs() {
  lines=$(diff "$2" "$scratch/got.trace" | grep -c '^[<>]')
  printf '\n  %s trace differs from %s in %s lines (- expected, + got):\n' "$1" "$trace_name" "$lines"
  diff -u "$2" "$scratch/got.trace" | tail -n +3 | head -n 40 | sed 's/^/    /'
}

if [ "$write_traces" -eq 1 ]; then
  written=0
  for capture in $(grep -v '^#' "$manifest" | awk 'NF { print $1 }' | sort -u); do
    case $capture in
      *.gz) file=$scratch/${capture%.gz}; gzip -dc "$dir/$capture" >"$file" || exit 1 ;;
      *) file=$dir/$capture ;;
    esac
    args=$(args_of "$capture")
    trace -vv "$file" || { echo "$capture: tftpcarve failed: $(cat "$scratch/trace.err")" >&2; exit 1; }
    case $capture in
      *.gz) target=$dir/${capture%.gz}.trace.gz; gzip -9n <"$scratch/got.trace" >"$target" ;;
      *) target=$dir/$capture.trace; cp "$scratch/got.trace" "$target" ;;
    esac
    echo "wrote ${target##*/} ($(wc -l <"$scratch/got.trace") lines)"
    written=$((written + 1))
    case $capture in *.gz) rm -f "$file" ;; esac
  done
  [ "$written" -gt 0 ]
  exit
fi

passed=0
failed=0
for capture in $(grep -v '^#' "$manifest" | awk 'NF { print $1 }' | sort -u); do
  out=$scratch/out.$capture
  mkdir "$out"
  if [ ! -r "$dir/$capture" ]; then
    echo "FAIL $capture: capture missing"
    failed=$((failed + 1))
    continue
  fi
  case $capture in
    *.gz) file=$scratch/${capture%.gz}; gzip -dc "$dir/$capture" >"$file" ;;
    *) file=$dir/$capture ;;
  esac

  args=$(args_of "$capture")
  # shellcheck disable=SC2086 # the options are words of their own
  (cd "$out" && "$tool" $args -r "$file" --report "$scratch/report" >"$scratch/stdout" 2>"$scratch/stderr")
  status=$?
  problems=""
  [ "$status" -eq 0 ] || problems="$problems
  exit status $status: $(tail -n 3 "$scratch/stderr")"

  awk -v c="$capture" '$1 == c && $2 != "-" { print $2 }' "$manifest" | sort >"$scratch/want"
  ls -A "$out" | sort >"$scratch/got"
  for name in $(comm -23 "$scratch/want" "$scratch/got"); do
    problems="$problems
  missing $name"
  done
  for name in $(comm -13 "$scratch/want" "$scratch/got"); do
    problems="$problems
  unexpected $name ($(wc -c <"$out/$name") bytes)"
  done
  awk -v c="$capture" '$1 == c && $2 != "-" { print $2, $3, $4 }' "$manifest" >"$scratch/lines"
  while read -r name sum size; do
    [ -f "$out/$name" ] || continue
    got_size=$(wc -c <"$out/$name")
    got_sum=$(sha256sum <"$out/$name" | cut -d' ' -f1)
    if [ "$got_size" -ne "$size" ] || [ "$got_sum" != "$sum" ]; then
      problems="$problems
  $name: $got_size bytes, sha256 $got_sum; want $size bytes, sha256 $sum"
    fi
  done <"$scratch/lines"
  if ! python3 "$(dirname "$0")/check-report.py" "$scratch/report" "$manifest" "$capture" >"$scratch/report.check"; then
    problems="$problems
$(sed 's/^/  report: /' "$scratch/report.check")"
  fi

  case $capture in
    *.gz) trace_name=${capture%.gz}.trace.gz ;;
    *) trace_name=$capture.trace ;;
  esac
  if [ ! -r "$dir/$trace_name" ]; then
    problems="$problems
  no expected trace $trace_name (made by $0 --write-traces)"
  else
    case $trace_name in
      *.gz) gzip -dc "$dir/$trace_name" >"$scratch/want.trace" ;;
      *) cp "$dir/$trace_name" "$scratch/want.trace" ;;
    esac
    LC_ALL=C grep -a -E '^(READ|WRITE) ' "$scratch/want.trace" >"$scratch/want.v.trace"
    for level in -vv -v; do
      want_trace=$scratch/want.trace
      [ "$level" = -v ] && want_trace=$scratch/want.v.trace
      if ! trace "$level" "$file"; then
        problems="$problems
  $level: exit status $trace_status: $(cat "$scratch/trace.err")"
      elif ! cmp -s "$want_trace" "$scratch/got.trace"; then
        problems="$problems$(trace_differs "$level" "$want_trace")"
      fi
    done
  fi

  if [ -z "$problems" ]; then
    echo "ok   $capture ($(wc -l <"$scratch/want") files, $(wc -l <"$scratch/want.trace") trace lines)"
    passed=$((passed + 1))
  else
    echo "FAIL $capture (tftpcarve ${args}-r $capture):$problems"
    failed=$((failed + 1))
  fi
  rm -rf "$out"
  case $capture in *.gz) rm -f "$file" ;; esac
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
