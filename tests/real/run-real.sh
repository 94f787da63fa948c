#!/bin/sh
# Carves every capture of real TFTP traffic listed in the manifest and checks
# that each yields exactly the files listed for it, byte for byte. A capture
# that needs options of its own names them on a line
#   #args CAPTURE OPTION...
# which other readers of the manifest take for a comment.
# Usage: run-real.sh TFTPCARVE CAPTURE_DIR
set -u

tool=$1
dir=$(cd "$2" && pwd) || exit 2
manifest=$dir/manifest.txt
[ -x "$tool" ] || { echo "no tool at $tool" >&2; exit 2; }
[ -r "$manifest" ] || { echo "no manifest at $manifest" >&2; exit 2; }
case $tool in /*) ;; *) tool=$(pwd)/$tool ;; esac

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

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

  args=$(awk -v c="$capture" '$1 == "#args" && $2 == c { for (i = 3; i <= NF; i++) printf "%s ", $i }' "$manifest")
  # shellcheck disable=SC2086 # the options are words of their own
  (cd "$out" && "$tool" $args -r "$file" >"$scratch/stdout" 2>"$scratch/stderr")
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

  if [ -z "$problems" ]; then
    echo "ok   $capture ($(wc -l <"$scratch/want") files)"
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
