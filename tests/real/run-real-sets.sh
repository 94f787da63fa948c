#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Carves the sets of real captures that come as several files (a gzipped
# tcpdump ring, two captures of different link types taken at once), each set
# read as one capture, and checks that every transfer listed in the manifest
# comes back byte for byte, and that each file is announced once, in the
# order of its first frame. Each set is read as it is kept (gzipped, with -r
# per file in the order given), and unpacked, named by a -V list in reverse
# order (the merge puts the files back in the order of their frames).
#
# Usage: run-real-sets.sh TFTPCARVE CAPTURE_DIR
set -u
[ $# -eq 2 ] || { echo "usage: $0 TFTPCARVE CAPTURE_DIR" >&2; exit 2; }
tool=$1
dir=$(cd "$2" && pwd) || exit 2
manifest=$dir/manifest.txt
case $tool in /*) ;; *) tool=$(pwd)/$tool ;; esac
[ -x "$tool" ] || { echo "no tool at $tool" >&2; exit 2; }
command -v gzip >/dev/null 2>&1 || { echo "SKIP: gzip is not installed"; exit 77; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

# check SET HOW STDERR_EXPECTED: every file listed for SET is in
# $scratch/out, byte for byte, and nothing else is.
check() {
  awk -v s="$1" '$1 == s { print $3 "  " $2 }' "$manifest" >"$scratch/expected.sha256"
  (cd "$scratch/out" && sha256sum -c --quiet "$scratch/expected.sha256") >"$scratch/check.txt" 2>&1 ||
    fail "$1 ($2): $(cat "$scratch/check.txt")"
  [ "$(ls "$scratch/out" | wc -l)" -eq "$(wc -l <"$scratch/expected.sha256")" ] ||
    fail "$1 ($2): output files $(ls "$scratch/out" | tr '\n' ' ')"
  printf '%s' "$3" | cmp -s - "$scratch/err" || fail "$1 ($2): standard error: $(cat "$scratch/err")"
}

# carve ARGS...: runs the tool in an empty $scratch/out.
carve() {
  rm -rf "$scratch/out"
  mkdir "$scratch/out"
  (cd "$scratch/out" && "$tool" "$@" >"$scratch/stdout" 2>"$scratch/err")
  rc=$?
  [ "$rc" -eq 0 ] || fail "tftpcarve $* exited with status $rc: $(cat "$scratch/err")"
}

announced() {
  for f in "$@"; do printf 'reading from file %s, using datalink type %s\n' "$f" "$(link_type_of "$f")"; done
}
link_type_of() { case $1 in *sll*) echo 113 ;; *) echo 1 ;; esac; }

sets=$(awk '$1 == "#set" { print $2 }' "$manifest")
[ -n "$sets" ] || { echo "FAIL: no #set line in $manifest"; exit 1; }
for set in $sets; do
  files=$(awk -v s="$set" '$1 == "#set" && $2 == s { for (i = 3; i <= NF; i++) print $i }' "$manifest")
  # As kept: one -r per file, in the order given.
  args=
  paths=
  for f in $files; do
    args="$args -r $dir/$f"
    paths="$paths $dir/$f"
  done
  # shellcheck disable=SC2086
  carve $args
  # shellcheck disable=SC2086
  check "$set" "as kept" "$(announced $paths)
"
  # Unpacked, listed with -V in reverse order: the merge puts them back.
  rm -f "$scratch/list"
  plain=
  for f in $files; do
    case $f in
      *.gz) gzip -dc "$dir/$f" >"$scratch/${f%.gz}"; p=$scratch/${f%.gz} ;;
      *) p=$dir/$f ;;
    esac
    plain="$plain $p"
    { echo "$p"; [ -f "$scratch/list" ] && cat "$scratch/list"; } >"$scratch/list.new"
    mv "$scratch/list.new" "$scratch/list"
  done
  carve -V "$scratch/list"
  # shellcheck disable=SC2086
  check "$set" "unpacked, listed in reverse" "$(announced $plain)
"
done
[ "$status" -eq 0 ] && echo "PASS: every set of $dir came back whole"
exit "$status"
