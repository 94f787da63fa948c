#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Peak memory of a long live run: 1,000,000 short transfers, 4 at once, one
# packet every 10 ms of capture time (about 17 hours), so that finished
# transfers are forgotten once idle for ten minutes. The peak must stay
# under 50 MB whatever the number of transfers. Then 1,000,000 read requests
# that nobody answers, over 3 hours of capture time (what any host can
# send): each is ended as unanswered after ten minutes of silence, and the
# peak must stay under 40 MB. A benchmark, not a test: it prints the
# figures and says whether the bounds hold.
#
#   bench/memory-long-run.sh [--transfers N] [--requests N] [--build DIR] [--dir DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
transfers=1000000
requests=1000000
build=$root/build-bench
dir=/dev/shm/tftpcarve-memory
while [ $# -gt 0 ]; do
  case $1 in
    --transfers) transfers=$2; shift 2 ;;
    --requests) requests=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --dir) dir=$2; shift 2 ;;
    *) echo "memory-long-run: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -x /usr/bin/time ] || { echo "memory-long-run: needs /usr/bin/time (Debian package time)" >&2; exit 2; }
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTFTPCARVE_BENCH=ON -DTFTPCARVE_TESTS=OFF >/dev/null
ninja -C "$build" -j2 tftpcarve gen_capture >/dev/null
mkdir -p "$dir/capture"
if [ ! -s "$dir/capture/capture.pcap" ] || [ "$(cat "$dir/transfers" 2>/dev/null)" != "$transfers" ]; then
  "$build/gen_capture" -o "$dir/capture" --transfers "$transfers" --concurrent 4 --min-size 600 --max-size 1500 \
    --writes 0.25 --gap-us 10000 --seed 7 >/dev/null
  echo "$transfers" >"$dir/transfers"
fi
rm -rf "$dir/run"
mkdir "$dir/run"
cd "$dir/run"
/usr/bin/time -f '%M %e' -o "$dir/time" "$build/tftpcarve" -r "$dir/capture/capture.pcap" 2>"$dir/stderr"
read -r peak_kb seconds <"$dir/time"
files=$(find . -type f | wc -l)
echo "transfers $transfers, files $files, peak RSS $((peak_kb / 1024)) MB, $seconds s"
# Out of the folder before it goes: tools started later need a working
# directory that exists.
cd /
rm -rf "$dir/run"
status=0
[ "$peak_kb" -lt $((50 * 1024)) ] && echo "within 50 MB" || { echo "OVER 50 MB"; status=1; }

if [ ! -s "$dir/unanswered.pcap" ] || [ "$(cat "$dir/requests" 2>/dev/null)" != "$requests" ]; then
  python3 "$root/bench/gen_unanswered.py" "$dir/unanswered.pcap" "$requests" 10800
  echo "$requests" >"$dir/requests"
fi
mkdir "$dir/run"
cd "$dir/run"
/usr/bin/time -f '%M %e' -o "$dir/time" "$build/tftpcarve" -r "$dir/unanswered.pcap" 2>"$dir/stderr"
read -r peak_kb seconds <"$dir/time"
echo "unanswered requests $requests over 3 hours, peak RSS $((peak_kb / 1024)) MB, $seconds s"
cd /
rm -rf "$dir/run"
[ "$peak_kb" -lt $((40 * 1024)) ] && echo "within 40 MB" || { echo "OVER 40 MB"; status=1; }
exit $status
