#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Live use in a pipe: tcpdump writes the capture to standard output while real
# TFTP transfers run, and tftpcarve, reading that pipe, reconstructs the files.
#
#   sh pipe-test.sh PATH/TO/tftpcarve
#
# Everything runs in a network namespace of its own, on its loopback: a
# tftpd-hpa server on 127.0.0.2:69, the tftp-hpa client (and atftp when it is
# installed), and tcpdump. The test checks that every file is complete while
# the capture is still being written, that tftpcarve ends cleanly when tcpdump
# stops, and that each reconstructed file equals its original byte for byte.
#
# Exit status: 0 pass, 1 fail, 77 skipped (not root, no namespaces, or
# tcpdump / in.tftpd / tftp missing: Debian packages tcpdump, tftpd-hpa,
# tftp-hpa; atftp is optional).
set -u
PATH=$PATH:/usr/sbin:/sbin
export PATH

skip() { echo "SKIP: $*"; exit 77; }

[ $# -eq 1 ] || { echo "usage: $0 PATH/TO/tftpcarve" >&2; exit 2; }
case $1 in
  /*) carve=$1 ;;
  *) carve=$(pwd)/$1 ;;
esac
[ -x "$carve" ] || { echo "FAIL: $carve is not an executable" >&2; exit 1; }

for tool in ip tcpdump in.tftpd tftp cmp timeout id; do
  command -v "$tool" >/dev/null 2>&1 ||
    skip "$tool not found (needs the Debian packages iproute2 tcpdump tftpd-hpa tftp-hpa)"
done
[ "$(id -u)" -eq 0 ] || skip "network namespaces need root"
have_atftp=0
command -v atftp >/dev/null 2>&1 && have_atftp=1

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tftpcarve-pipe.XXXXXX")
ns=tftpcarve-pipe-$$
ns_made=0
server_pid=
tcpdump_pid=
carve_job=

cleanup() {
  [ -n "$tcpdump_pid" ] && kill "$tcpdump_pid" 2>/dev/null
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  [ -n "$carve_job" ] && wait "$carve_job" 2>/dev/null
  [ -n "$server_pid" ] && wait "$server_pid" 2>/dev/null
  [ "$ns_made" -eq 1 ] && ip netns del "$ns" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

in_ns() { ip netns exec "$ns" "$@"; }

if ! ip netns add "$ns" 2>"$tmp/netns.err"; then
  ip netns del "$ns" 2>/dev/null  # a half-made one
  skip "network namespaces are not allowed here: $(cat "$tmp/netns.err")"
fi
ns_made=1
if ! in_ns ip link set lo up 2>"$tmp/netns.err" ||
   ! in_ns ip addr add 127.0.0.2/8 dev lo 2>>"$tmp/netns.err"; then
  skip "cannot set up the loopback of a network namespace: $(cat "$tmp/netns.err")"
fi
# A 1500-byte MTU makes the 4000-byte blocks of the atftp read arrive as IPv4
# fragments.
in_ns ip link set lo mtu 1500

status=0
fail() { echo "FAIL: $*"; status=1; }

# Wait up to $2 tenths of a second for the shell condition $1.
wait_for() {
  n=0
  while [ "$n" -lt "$2" ]; do
    eval "$1" && return 0
    sleep 0.1
    n=$((n + 1))
  done
  return 1
}

# The files: served from root/, uploaded from client/.
mkdir "$tmp/root" "$tmp/root/dir" "$tmp/client" "$tmp/out"
printf 'first line\nsecond line\r\nno newline at the end' >"$tmp/root/small.txt"
head -c 1024 /dev/urandom >"$tmp/root/exact.bin"          # 2 full blocks, then an empty DATA
head -c 70000 /dev/urandom >"$tmp/root/dir/big file.bin"  # 137 blocks; "/" and " " sanitised
head -c 2000 /dev/urandom >"$tmp/client/upload.bin"
head -c 30000 /dev/urandom >"$tmp/root/frag.bin"
head -c 5000 /dev/urandom >"$tmp/client/atftp-up.bin"

# Not through in_ns: "ip netns exec" execs in.tftpd, so $! is the server's own
# PID, which a function run in the background would not give.
ip netns exec "$ns" in.tftpd -L -a 127.0.0.2:69 -s "$tmp/root" -c -u root 2>"$tmp/server.err" &
server_pid=$!

# The live pipe. The inner shell writes tcpdump's PID (ip netns exec execs
# tcpdump in the same process) so that it can be stopped later.
(
  cd "$tmp/out" &&
  sh -c 'echo $$ >"$1"; exec ip netns exec "$2" tcpdump -i lo -U -B 32768 -w - udp 2>"$3"' \
    sh "$tmp/tcpdump.pid" "$ns" "$tmp/tcpdump.err" |
  "$carve" >"$tmp/carve.out" 2>"$tmp/carve.err"
  echo $? >"$tmp/carve.rc"
) &
carve_job=$!
wait_for '[ -s "$tmp/tcpdump.pid" ] && grep -q listening "$tmp/tcpdump.err"' 100 ||
  { cat "$tmp/tcpdump.err"; fail "tcpdump did not start"; exit 1; }
tcpdump_pid=$(cat "$tmp/tcpdump.pid")
# The server binds its socket at once; ss shows it (where ss is installed).
wait_for '! kill -0 "$server_pid" 2>/dev/null || ! command -v ss >/dev/null ||
          in_ns ss -Hlun | grep -q "127.0.0.2:69 "' 50
kill -0 "$server_pid" 2>/dev/null ||
  { fail "the TFTP server did not start: $(cat "$tmp/server.err")"; exit 1; }

# Each transfer: the output name's file-name part, and the file it must equal.
expected=
expect() { expected="$expected$1|$2
"; }

cd "$tmp/client" || exit 1
run() { timeout 60 ip netns exec "$ns" "$@" >>"$tmp/client.log" 2>&1 || fail "client failed: $*"; }

run tftp -m binary 127.0.0.2 -c get small.txt small.txt
expect small.txt "$tmp/root/small.txt"
run tftp -m binary 127.0.0.2 -c get exact.bin exact.bin
expect exact.bin "$tmp/root/exact.bin"
run tftp -m binary 127.0.0.2 -c get "dir/big file.bin" big.bin
expect dir_big_file.bin "$tmp/root/dir/big file.bin"
run tftp -m binary 127.0.0.2 -c put upload.bin upload.bin
expect upload.bin "$tmp/client/upload.bin"
if [ "$have_atftp" -eq 1 ]; then
  # Options: an OACK sets the block size; 4000-byte blocks are fragmented.
  run atftp --tftp-timeout 1 --option "blksize 4000" --option "tsize 0" \
    -g -r frag.bin -l frag.bin 127.0.0.2
  expect frag.bin "$tmp/root/frag.bin"
  run atftp --tftp-timeout 1 --option "blksize 1428" --option "tsize 0" \
    -p -l atftp-up.bin -r atftp-up.bin 127.0.0.2
  expect atftp_up.bin "$tmp/client/atftp-up.bin"  # "-" sanitised
else
  echo "note: atftp not installed, option and fragment transfers not run"
fi
cd "$tmp" || exit 1

# Checks that every expected file is there, once, equal to its original.
# $1 = "quiet" only reports through the exit status.
check_files() {
  ok=0
  count=0
  while IFS='|' read -r suffix original; do
    [ -n "$suffix" ] || continue
    count=$((count + 1))
    set -- "$tmp"/out/127.000.000.001.?????-127.000.000.002.?????-"$suffix"
    if [ $# -ne 1 ] || [ ! -f "$1" ]; then
      [ "$mode" = quiet ] || fail "expected one output file for $suffix, found: $*"
      ok=1
    elif ! cmp -s "$1" "$original"; then
      [ "$mode" = quiet ] || fail "$(basename "$1") differs from $original"
      ok=1
    fi
  done <<EOF
$expected
EOF
  return $ok
}

# Live: the files are complete while tcpdump still writes the capture (it
# hands packets on within about a second).
mode=quiet
wait_for check_files 150 ||
  fail "the files were not complete while the capture was still running"
[ -s "$tmp/carve.rc" ] && fail "tftpcarve ended before the capture did: $(cat "$tmp/carve.rc")"

# Stop the capture: SIGINT after more than a second, so that tcpdump has
# written the last packets.
sleep 1.5
kill -INT "$tcpdump_pid"
wait_for '[ -s "$tmp/carve.rc" ]' 100 || {
  fail "tcpdump or tftpcarve did not end after SIGINT"
  kill -TERM "$tcpdump_pid" 2>/dev/null
}
tcpdump_pid=
wait "$carve_job"
carve_job=

rc=$(cat "$tmp/carve.rc" 2>/dev/null)
[ "$rc" = 0 ] || fail "tftpcarve exit status $rc, expected 0"
grep -q '^0 packets dropped by kernel' "$tmp/tcpdump.err" ||
  fail "tcpdump dropped packets: $(cat "$tmp/tcpdump.err")"
printf 'reading from file -, using datalink type 1\n' | cmp -s - "$tmp/carve.err" ||
  fail "unexpected diagnostics: $(cat "$tmp/carve.err")"

mode=report
check_files
files=$(ls "$tmp/out" | wc -l)
transfers=$(printf '%s' "$expected" | grep -c .)
[ "$files" -eq "$transfers" ] || fail "$files output files for $transfers transfers: $(ls "$tmp/out")"

if [ "$status" -ne 0 ]; then
  echo "--- tftpcarve stderr"; cat "$tmp/carve.err"
  echo "--- tcpdump stderr"; cat "$tmp/tcpdump.err"
  echo "--- clients"; cat "$tmp/client.log" 2>/dev/null
  echo "--- output files"; ls -l "$tmp/out"
else
  echo "PASS: $transfers transfers reconstructed live from the pipe"
fi
exit "$status"
