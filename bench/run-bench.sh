#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Times tftpcarve against the floor program (bench/floor.cpp) on generated
# captures and checks tftpcarve's output against each capture's manifest.
#
#   bench/run-bench.sh [--runs N] [--dir DIR] [--build DIR] [--no-build] [SCENARIO]...
#
# Scenarios (default: S M M1 F M15k W V; "all" adds M15k-fd1024 S+r M+r):
#   S            20 transfers of 5-10 MB, all at once, round robin
#   M            10,000 transfers of 8-64 KB, 2,000 at once, random order
#   M1           the same transfers as M, one at a time
#   F            200 transfers of 0.5-1.5 MB with blksize 8192, fragmented at MTU 1500
#   M15k         20,000 transfers of 8-24 KB, 15,000 at once, random order
#   M15k-fd1024  the M15k capture with both programs under `ulimit -n 1024`;
#                every one of tftpcarve's 20,000 files must come out byte for byte
#   W            the transfers of M, 2,000 at once, windowed: windowsize 8
#                negotiated in the request and the OACK, 8 DATA blocks per ACK
#   V            the capture of M with an 802.1Q tag (VLAN 100) on every frame
#   S+r, M+r     the S and M captures with tftpcarve writing `--report FILE`
#                (a JSON line and a SHA-256 per transfer); the floor as always
# Input rows (default too; their own table, each against its own baseline):
#   S20          S split into 20 files read with 20 -r, against S read whole
#                (target: within 1.05 times)
#   Sgz, Szst    S compressed with gzip (level 6) and zstd (level 3), against
#                the slower of decompressing it alone to /dev/null with
#                libarchive in one thread (bench/decompress.cpp) and
#                tftpcarve on plain S (target: within 1.15 times)
#   R10k         M split into a ring of 10,000 files read with -V, under
#                `ulimit -n 100` (fewer than 100 descriptors open at any
#                time, or the run fails) and measured for peak memory
#                (target: under 64 MB); every file checked as for M
# Every capture also has 25% writes, 1% of DATA and 1% of ACKs sent twice and
# 5% non-TFTP UDP noise. W and V hold the same files as M.
#
# The table gives wall, user and system seconds, their tftpcarve/floor ratios
# and peak memory, then how the ratios on M and M15k grow against M1 (the same
# work one transfer at a time), and the spread (max - min over the median) of
# the wall and user times so that noise can be told from a difference.
#
# While tftpcarve writes no file at all from V's tagged frames (it did not
# read 802.1Q before), V is timed and marked "no-vlan" instead of failing.
#
# Captures are generated once into DIR/captures (default
# /dev/shm/tftpcarve-bench) and reused while the generator and the scenario's
# parameters stay the same. Both programs write into DIR/run, on tmpfs,
# emptied before every run; disk timings would be too noisy. The runs
# alternate tftpcarve and the floor (in ABBA order) so that load from other
# processes falls on both, and the table shows medians.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
base=/dev/shm/tftpcarve-bench
build=$root/build-bench
runs=5
do_build=1
scenarios=()
input_rows=()

die() { echo "run-bench: $*" >&2; exit 1; }

usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit "${1:-0}"; }

while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --dir) base=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --no-build) do_build=0; shift ;;
    -h|--help) usage 0 ;;
    all) scenarios+=(S M M1 F M15k W V M15k-fd1024 S+r M+r); input_rows+=(S20 Sgz Szst R10k); shift ;;
    S|M|M1|F|M15k|M15k-fd1024|W|V|S+r|M+r) scenarios+=("$1"); shift ;;
    S20|Sgz|Szst|R10k) input_rows+=("$1"); shift ;;
    *) echo "run-bench: unknown argument: $1" >&2; usage 1 ;;
  esac
done
if [ ${#scenarios[@]} -eq 0 ] && [ ${#input_rows[@]} -eq 0 ]; then
  scenarios=(S M M1 F M15k W V)
  input_rows=(S20 Sgz Szst R10k)
fi
case $runs in ''|*[!0-9]*|0) die "--runs needs a positive number" ;; esac

common="--writes 0.25 --dup-data 0.01 --dup-ack 0.01 --noise 0.05 --seed 20240601"
scenario_args() {
  case $1 in
    S) echo "--transfers 20 --concurrent 20 --schedule rr --min-size 5000000 --max-size 10000000 $common" ;;
    M) echo "--transfers 10000 --concurrent 2000 --schedule random --min-size 8192 --max-size 65536 $common" ;;
    M1) echo "--transfers 10000 --concurrent 1 --min-size 8192 --max-size 65536 $common" ;;
    F) echo "--transfers 200 --concurrent 20 --schedule random --min-size 500000 --max-size 1500000" \
            "--blksize 8192 --mtu 1500 --frag-reverse 0.1 $common" ;;
    M15k|M15k-fd1024)
      echo "--transfers 20000 --concurrent 15000 --schedule random --min-size 8192 --max-size 24576 $common" ;;
    W) echo "$(scenario_args M) --windowsize 8" ;;
    V) echo "$(scenario_args M) --vlan 100" ;;
  esac
}
capture_of() {
  case $1 in
    M15k-fd1024) echo M15k ;;
    *+r) echo "${1%+r}" ;;
    *) echo "$1" ;;
  esac
}

if [ ! -x /usr/bin/time ]; then
  [ "$(id -u)" = 0 ] || die "/usr/bin/time is missing: install Debian's 'time' package"
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends time >/dev/null ||
    { apt-get update >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends time >/dev/null; }
fi

if [ $do_build = 1 ]; then
  echo "== building in $build"
  # The test tree is not needed here, and its state must not stop a benchmark.
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTFTPCARVE_BENCH=ON -DTFTPCARVE_TESTS=OFF >/dev/null
  ninja -C "$build" -j2 tftpcarve gen_capture floor decompress >/dev/null
fi
carver=$build/tftpcarve
floor=$build/floor
gen=$build/gen_capture
decompress=$build/decompress
for p in "$carver" "$floor" "$gen" "$decompress"; do [ -x "$p" ] || die "missing $p (build first)"; done

mkdir -p "$base/captures"
work=$base/run
started=$(date +%s)

# Generates a scenario's capture unless an identical one is cached.
prepare() {
  local name=$1 dir=$base/captures/$1 key
  key="$(scenario_args "$name") $(cat "$root/bench/gen_capture.cpp" "$root/bench/sha256.h" | sha256sum | cut -c1-16)"
  if [ -f "$dir/key" ] && [ "$(cat "$dir/key")" = "$key" ] && [ -f "$dir/summary.txt" ]; then return; fi
  echo "== generating $name: $(scenario_args "$name")"
  rm -rf "$dir"
  mkdir -p "$dir"
  # shellcheck disable=SC2046
  "$gen" -o "$dir" $(scenario_args "$name")
  echo "$key" >"$dir/key"
}

summary() { awk -v k="$2" '$1 == k { print $2 }' "$base/captures/$1/summary.txt"; }

# measure OUT LIMIT PROGRAM ARGS...: runs PROGRAM in the empty folder OUT with
# at most LIMIT descriptors ("-" for no change), and prints
# "wall user sys maxrss_kb exit_status".
measure() {
  local out=$1 limit=$2 t0 t1 status=0
  shift 2
  rm -rf "$out"
  mkdir -p "$out"
  t0=$(date +%s%N)
  (
    cd "$out"
    if [ "$limit" != - ]; then ulimit -n "$limit"; fi
    exec /usr/bin/time -f '%U %S %M' -o "$work/time.txt" "$@" >"$work/stdout.txt" 2>"$work/stderr.txt"
  ) || status=$?
  t1=$(date +%s%N)
  read -r user sys rss < <(tail -n 1 "$work/time.txt")
  echo "$(( (t1 - t0) / 1000000 )) $user $sys $rss $status" | awk '{ printf "%.3f %s %s %s %s\n", $1 / 1000, $2, $3, $4, $5 }'
}

# check OUT CAPTURE_DIR: every expected file, byte for byte, and nothing else.
check() {
  local out=$1 cap=$2 expected produced
  expected=$(wc -l <"$cap/expected.sha256")
  produced=$(find "$out" -maxdepth 1 -type f | wc -l)
  if ! (cd "$out" && sha256sum -c --quiet "$cap/expected.sha256" >"$work/check.txt" 2>&1); then
    echo "run-bench: WRONG OUTPUT in $out against $cap/expected.sha256:" >&2
    head -n 20 "$work/check.txt" >&2
    return 1
  fi
  if [ "$produced" != "$expected" ]; then
    echo "run-bench: WRONG OUTPUT: $produced files in $out, $expected expected" >&2
    return 1
  fi
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# (max - min) / median, in percent.
spread() { sort -g | awk '{ v[NR] = $1 } END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2;
  print (m > 0 ? 100 * (v[NR] - v[1]) / m : 0) }'; }

column_of() { awk -v c="$2" '{ print $c }' "$1"; }

rows=()
notes=()
failed=0
declare -A wall_ratio user_ratio
for name in "${scenarios[@]+"${scenarios[@]}"}"; do
  cap_name=$(capture_of "$name")
  prepare "$cap_name"
  cap=$base/captures/$cap_name
  pcap=$cap/capture.pcap
  limit=-
  [ "$name" = M15k-fd1024 ] && limit=1024
  report=()
  case $name in *+r) report=(--report "$work/report.jsonl") ;; esac
  mkdir -p "$work"
  : >"$work/carver.txt"
  : >"$work/floor.txt"
  verdict=ok
  warnings=0
  echo "== $name: $runs runs each of tftpcarve and floor on" \
    "$(summary "$cap_name" capture_bytes | awk '{ printf "%.0f MB", $1 / 1e6 }')$([ $limit = - ] || echo ", ulimit -n $limit")"
  for ((i = 1; i <= runs; i++)); do
    if [ $((i % 2)) = 1 ]; then order="carver floor"; else order="floor carver"; fi
    for who in $order; do
      if [ "$who" = carver ]; then
        rm -f "$work/report.jsonl"
        result=$(measure "$work/out" "$limit" "$carver" -r "$pcap" "${report[@]}")
      else
        result=$(measure "$work/out" "$limit" "$floor" "$pcap")
      fi
      echo "$result" >>"$work/$who.txt"
      status=$(echo "$result" | cut -d' ' -f5)
      if [ "$status" != 0 ]; then
        verdict="$who exit $status"
        cat "$work/stderr.txt" >&2
      fi
      if [ "$who" = carver ] && [ $i = 1 ]; then
        warnings=$(grep -c '^\[warning\]' "$work/stderr.txt" || true)
        if [ "$name" = V ] && [ -z "$(find "$work/out" -maxdepth 1 -type f -print -quit)" ]; then
          verdict=no-vlan
          notes+=("V: tftpcarve wrote no file from 802.1Q-tagged frames; its times are of reading and dropping them")
        else
          check "$work/out" "$cap" || verdict=WRONG
        fi
        if [ ${#report[@]} -gt 0 ]; then
          complete=$(grep -c '"state":"complete"' "$work/report.jsonl" || true)
          if [ "$complete" != "$(summary "$cap_name" files)" ]; then
            echo "run-bench: the report has $complete complete transfers, $(summary "$cap_name" files) expected" >&2
            verdict=WRONG
          fi
        fi
      fi
    done
  done
  rm -rf "$work/out"
  case $verdict in ok|no-vlan) ;; *) failed=1 ;; esac

  bytes=$(summary "$cap_name" capture_bytes)
  packets=$(summary "$cap_name" packets)
  cw=$(column_of "$work/carver.txt" 1 | median); fw=$(column_of "$work/floor.txt" 1 | median)
  cu=$(column_of "$work/carver.txt" 2 | median); fu=$(column_of "$work/floor.txt" 2 | median)
  cs=$(column_of "$work/carver.txt" 3 | median); fs=$(column_of "$work/floor.txt" 3 | median)
  cr=$(column_of "$work/carver.txt" 4 | median); fr=$(column_of "$work/floor.txt" 4 | median)
  csp=$(column_of "$work/carver.txt" 1 | spread); fsp=$(column_of "$work/floor.txt" 1 | spread)
  cusp=$(column_of "$work/carver.txt" 2 | spread); fusp=$(column_of "$work/floor.txt" 2 | spread)
  wall_ratio[$name]=$(awk -v c="$cw" -v f="$fw" 'BEGIN { print (f > 0 ? c / f : 0) }')
  user_ratio[$name]=$(awk -v c="$cu" -v f="$fu" 'BEGIN { print (f > 0 ? c / f : 0) }')
  rows+=("$(awk -v n="$name" -v b="$bytes" -v p="$packets" -v f="$(summary "$cap_name" files)" \
    -v cw="$cw" -v fw="$fw" -v cu="$cu" -v fu="$fu" -v cs="$cs" -v fs="$fs" -v cr="$cr" -v fr="$fr" \
    -v csp="$csp" -v fsp="$fsp" -v cusp="$cusp" -v fusp="$fusp" -v w="$warnings" -v v="$verdict" 'BEGIN {
      printf "%-11s %6.0f %6.2f %6d | %6.2f %6.2f %5.2f | %6.0f %6.0f | %5.2f %5.2f %5.2f | %5.2f %5.2f | %6.1f %6.1f | %3.0f %3.0f %3.0f %3.0f | %4d %s",
        n, b / 1e6, p / 1e6, f, cw, fw, cw / fw, b / 1e6 / cw, b / 1e6 / fw,
        cu, fu, (fu > 0 ? cu / fu : 0), cs, fs, cr / 1024, fr / 1024, csp, fsp, cusp, fusp, w, v }')")
done

# The captures of the input rows, made from S and M (and remade with them).
derive() {
  local name=$1 from dir key
  case $name in S20|Sgz|Szst) from=S ;; R10k) from=M ;; esac
  prepare "$from"
  dir=$base/captures/$name
  key="$(cat "$base/captures/$from/key") $(sha256sum <"$root/bench/split_capture.py" | cut -c1-16)"
  if [ -f "$dir/key" ] && [ "$(cat "$dir/key")" = "$key" ]; then return; fi
  echo "== deriving $name from $from"
  rm -rf "$dir"
  mkdir -p "$dir"
  case $name in
    S20) (cd "$dir" && python3 "$root/bench/split_capture.py" "$base/captures/S/capture.pcap" 20 part >list) ;;
    R10k) (cd "$dir" && python3 "$root/bench/split_capture.py" "$base/captures/M/capture.pcap" 10000 ring >list) ;;
    Sgz) gzip -6 -c "$base/captures/S/capture.pcap" >"$dir/capture.pcap.gz" ;;
    Szst) zstd -3 -q -c "$base/captures/S/capture.pcap" >"$dir/capture.pcap.zst" ;;
  esac
  echo "$key" >"$dir/key"
}

# input_measure WHO LIMIT: one run of the row's program WHO (row, whole,
# alone), its result appended to $work/WHO.txt.
input_measure() {
  local who=$1 limit=$2 dir=$base/captures/$name result status
  case $who in
    row)
      case $name in
        S20) mapfile -t parts <"$dir/list"
             result=$(measure "$work/out" "$limit" "$carver" $(printf -- "-r %s " "${parts[@]/#/$dir/}")) ;;
        Sgz) result=$(measure "$work/out" "$limit" "$carver" -r "$dir/capture.pcap.gz") ;;
        Szst) result=$(measure "$work/out" "$limit" "$carver" -r "$dir/capture.pcap.zst") ;;
        R10k) sed "s|^|$dir/|" "$dir/list" >"$work/ring.list"
              result=$(measure "$work/out" "$limit" "$carver" -V "$work/ring.list") ;;
      esac ;;
    whole) result=$(measure "$work/out" - "$carver" -r "$base/captures/S/capture.pcap") ;;
    alone) result=$(measure "$work/out" - "$decompress" "$(ls "$dir"/capture.pcap.*)") ;;
  esac
  echo "$result" >>"$work/$who.txt"
  status=$(echo "$result" | cut -d' ' -f5)
  if [ "$status" != 0 ]; then
    verdict="$who exit $status"
    cat "$work/stderr.txt" >&2
  fi
}

input_table=()
for name in "${input_rows[@]+"${input_rows[@]}"}"; do
  derive "$name"
  mkdir -p "$work"
  : >"$work/row.txt"; : >"$work/whole.txt"; : >"$work/alone.txt"
  verdict=ok
  case $name in
    S20) others=(whole) ;;
    Sgz|Szst) others=(whole alone) ;;
    R10k) others=() ;;
  esac
  limit=-
  [ "$name" = R10k ] && limit=100
  echo "== $name: $runs runs each of the row and ${others[*]:-nothing else}"
  for ((i = 1; i <= runs; i++)); do
    if [ $((i % 2)) = 1 ]; then order="row ${others[*]}"; else order="${others[*]} row"; fi
    for who in $order; do
      input_measure "$who" "$limit"
      if [ "$who" = row ] && [ $i = 1 ]; then
        if [ "$name" = R10k ]; then check "$work/out" "$base/captures/M" || verdict=WRONG
        else check "$work/out" "$base/captures/S" || verdict=WRONG; fi
      fi
    done
  done
  rm -rf "$work/out"
  case $verdict in ok) ;; *) failed=1 ;; esac
  rw=$(column_of "$work/row.txt" 1 | median); rr=$(column_of "$work/row.txt" 4 | median)
  ww=$( [ -s "$work/whole.txt" ] && column_of "$work/whole.txt" 1 | median || echo 0)
  aw=$( [ -s "$work/alone.txt" ] && column_of "$work/alone.txt" 1 | median || echo 0)
  case $name in
    S20) input_table+=("$(awk -v n="$name" -v r="$rw" -v w="$ww" -v m="$rr" -v v="$verdict" 'BEGIN {
           printf "%-6s %7.2f %7.2f %7s %7.2f  %-32s %6.0f  %s", n, r, w, "-", r / w, "vs S whole, target <= 1.05", m / 1024, v }')") ;;
    Sgz|Szst) input_table+=("$(awk -v n="$name" -v r="$rw" -v w="$ww" -v a="$aw" -v m="$rr" -v v="$verdict" 'BEGIN {
           b = a > w ? a : w
           printf "%-6s %7.2f %7.2f %7.2f %7.2f  %-32s %6.0f  %s", n, r, w, a, r / b, "vs slower of both, target <= 1.15", m / 1024, v }')") ;;
    R10k) input_table+=("$(awk -v n="$name" -v r="$rw" -v m="$rr" -v v="$verdict" 'BEGIN {
           printf "%-6s %7.2f %7s %7s %7s  %-32s %6.0f  %s", n, r, "-", "-", "-", "ulimit -n 100; target RSS < 64", m / 1024, v }')") ;;
  esac
done

if [ ${#rows[@]} -gt 0 ]; then
  echo
  echo "Medians of $runs runs each; C = tftpcarve, F = floor; s = wall seconds; MB = 10^6 bytes of capture;"
  echo "usr, sys = CPU seconds; RSS = peak resident MiB; Cs Fs Cu Fu = spread of the wall (s) and user (u)"
  echo "times, (max - min) / median in %; warn = tftpcarve's warnings."
  printf '%-11s %6s %6s %6s | %6s %6s %5s | %6s %6s | %5s %5s %5s | %5s %5s | %6s %6s | %3s %3s %3s %3s | %4s %s\n' \
    scenario capMB Mpkts files "C s" "F s" C/F "C MB/s" "F MB/s" "C usr" "F usr" C/F \
    "C sys" "F sys" "C RSS" "F RSS" Cs Fs Cu Fu warn check
  printf '%s\n' "${rows[@]}"
  echo
  # The same files in many transfers at once against one at a time: a ratio
  # that grows with the transfers open means a cost per packet that does too.
  # M15k is shown both ways: with the descriptors it wants, where tftpcarve's
  # memory bound halves its buffers against the floor's, and under the
  # descriptor limit.
  if [ -n "${wall_ratio[M1]:-}" ]; then
    for name in M M15k M15k-fd1024; do
      [ -n "${wall_ratio[$name]:-}" ] || continue
      awk -v n="$name" -v w="${wall_ratio[$name]}" -v w1="${wall_ratio[M1]}" -v u="${user_ratio[$name]}" \
        -v u1="${user_ratio[M1]}" 'BEGIN {
          printf "growth %-11s against M1: wall C/F %.2f / %.2f = %.2f; user C/F %.2f / %.2f = %.2f\n",
            n, w, w1, (w1 > 0 ? w / w1 : 0), u, u1, (u1 > 0 ? u / u1 : 0) }'
    done
  else
    echo "growth against M1: not measured (M1 was not run)"
  fi
fi
for note in "${notes[@]+"${notes[@]}"}"; do echo "note: $note"; done
if [ ${#input_table[@]} -gt 0 ]; then
  echo
  echo "Input rows, medians of $runs runs: wall seconds of the row, of tftpcarve on S whole, and of"
  echo "decompressing alone (libarchive, one thread); the ratio against its baseline; peak RSS in MiB."
  printf '%-6s %7s %7s %7s %7s  %-32s %6s  %s\n' row "row s" "S s" "alone s" ratio baseline RSS check
  printf '%s\n' "${input_table[@]}"
fi
echo
echo "total $(( $(date +%s) - started )) s"
[ $failed = 0 ] || die "some output was wrong or a program failed (see above)"
