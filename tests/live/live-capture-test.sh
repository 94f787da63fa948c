#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Live capture on an interface: tftpcarve -i captures on the client's side of
# a veth pair between two network namespaces while real TFTP transfers run,
# and reconstructs their files; SIGINT ends the run cleanly. An unknown
# interface, or capturing without the privilege to, gives an error and
# status 2. A run held stopped while frames come says that the kernel dropped
# some.
#
#   sh live-capture-test.sh PATH/TO/tftpcarve
#
# Exit status: 0 pass, 1 fail, 77 skipped (not root, no namespaces or veth,
# or in.tftpd / tftp missing: Debian packages iproute2 tftpd-hpa tftp-hpa;
# atftp is optional).
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
for tool in ip in.tftpd tftp cmp timeout id; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool not found (Debian packages iproute2 tftpd-hpa tftp-hpa)"
done
[ "$(id -u)" -eq 0 ] || skip "network namespaces need root"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tftpcarve-live.XXXXXX")
server_ns=input-live-s-$$
client_ns=input-live-c-$$
veth_server=input$$s
veth_client=input$$c
server_pid=
carve_pid=
made=

cleanup() {
  [ -n "$carve_pid" ] && kill "$carve_pid" 2>/dev/null
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  [ -n "$server_pid" ] && wait "$server_pid" 2>/dev/null
  for ns in $made; do ip netns del "$ns" 2>/dev/null; done
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

for ns in "$server_ns" "$client_ns"; do
  ip netns add "$ns" 2>"$tmp/setup.err" || skip "network namespaces are not allowed here: $(cat "$tmp/setup.err")"
  made="$made $ns"
  ip netns exec "$ns" ip link set lo up
done
ip link add "$veth_server" netns "$server_ns" type veth peer name "$veth_client" netns "$client_ns" \
  2>"$tmp/setup.err" || skip "cannot make a veth pair: $(cat "$tmp/setup.err")"
ip netns exec "$server_ns" ip addr add 10.99.0.1/24 dev "$veth_server"
ip netns exec "$client_ns" ip addr add 10.99.0.2/24 dev "$veth_client"
ip netns exec "$server_ns" ip link set "$veth_server" up
ip netns exec "$client_ns" ip link set "$veth_client" up

status=0
fail() { echo "FAIL: $*"; status=1; }

wait_for() {
  n=0
  while [ "$n" -lt "$2" ]; do
    eval "$1" && return 0
    sleep 0.1
    n=$((n + 1))
  done
  return 1
}

# An interface that does not exist.
ip netns exec "$client_ns" "$carve" -i input-none0 >"$tmp/none.out" 2>"$tmp/none.err"
rc=$?
[ "$rc" = 2 ] || fail "unknown interface: status $rc, expected 2"
grep -q '^\[error\] unable to capture on interface input-none0: ' "$tmp/none.err" ||
  fail "unknown interface: $(cat "$tmp/none.err")"

# Without the privilege to capture (an unprivileged user, where setpriv is
# there to make one).
if command -v setpriv >/dev/null 2>&1; then
  ip netns exec "$client_ns" setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all \
    "$carve" -i "$veth_client" >"$tmp/perm.out" 2>"$tmp/perm.err"
  rc=$?
  [ "$rc" = 2 ] || fail "without privileges: status $rc, expected 2"
  grep -q "^\[error\] unable to capture on interface $veth_client: .*(capturing needs root or the CAP_NET_RAW capability)\$" \
    "$tmp/perm.err" || fail "without privileges: $(cat "$tmp/perm.err")"
fi

mkdir "$tmp/root" "$tmp/client" "$tmp/out"
head -c 70000 /dev/urandom >"$tmp/root/big.bin"
head -c 3000 /dev/urandom >"$tmp/client/up.bin"
head -c 20000 /dev/urandom >"$tmp/root/opt.bin"

ip netns exec "$server_ns" in.tftpd -L -a 10.99.0.1:69 -s "$tmp/root" -c -u root 2>"$tmp/server.err" &
server_pid=$!
# A background job of a non-interactive shell starts with SIGINT ignored, and
# the tool leaves an ignored SIGINT ignored: restore it, as a terminal would.
(cd "$tmp/out" && exec ip netns exec "$client_ns" env --default-signal=INT "$carve" -i "$veth_client" -p --report "$tmp/report.jsonl") \
  >"$tmp/carve.out" 2>"$tmp/carve.err" &
carve_pid=$!
wait_for 'grep -q listening "$tmp/carve.err"' 300 || fail "tftpcarve did not start: $(cat "$tmp/carve.err")"
sleep 0.5

expected=
expect() { expected="$expected$1|$2
"; }
cd "$tmp/client" || exit 1
run() { timeout 60 ip netns exec "$client_ns" "$@" >>"$tmp/client.log" 2>&1 || fail "client failed: $*"; }
run tftp -m binary 10.99.0.1 -c get big.bin big.bin
expect big.bin "$tmp/root/big.bin"
run tftp -m binary 10.99.0.1 -c put up.bin up.bin
expect up.bin "$tmp/client/up.bin"
if command -v atftp >/dev/null 2>&1; then
  run atftp --tftp-timeout 1 --option "blksize 1428" --option "tsize 0" -g -r opt.bin -l opt.bin 10.99.0.1
  expect opt.bin "$tmp/root/opt.bin"
fi
# Last, a file the server does not have: its ERROR 1 is the last datagram of
# the run, so only the wall clock can end that transfer while the capture runs.
# (tftp-hpa would still send an ACK after the ERROR; atftp sends nothing.)
error_case=0
if command -v atftp >/dev/null 2>&1; then
  timeout 60 ip netns exec "$client_ns" atftp --tftp-timeout 1 -g -r absent.bin -l absent.bin 10.99.0.1 \
    >>"$tmp/client.log" 2>&1
  rm -f absent.bin
  error_case=1
fi
cd "$tmp" || exit 1

check_files() {
  ok=0
  while IFS='|' read -r suffix original; do
    [ -n "$suffix" ] || continue
    set -- "$tmp"/out/010.099.000.00?.?????-010.099.000.00?.?????-"$suffix"
    if [ $# -ne 1 ] || ! cmp -s "$1" "$original"; then
      [ "$mode" = quiet ] || fail "no single output equal to $original for $suffix: $*"
      ok=1
    fi
  done <<EOF
$expected
EOF
  return $ok
}

# Immediate mode: the files are whole while the capture still runs.
mode=quiet
wait_for check_files 300 || fail "the files were not complete while the capture ran"
# Silent for 5 seconds after its ERROR, the transfer ends while the capture
# still runs.
[ "$error_case" = 0 ] || wait_for 'grep -q "\"state\":\"error\"" "$tmp/report.jsonl"' 150 ||
  fail "the transfer ended by ERROR was not reported while the capture ran: $(cat "$tmp/report.jsonl")"
kill -INT "$carve_pid"
wait_for '! kill -0 "$carve_pid" 2>/dev/null' 100 || fail "tftpcarve did not end after SIGINT"
wait "$carve_pid"
rc=$?
carve_pid=
[ "$rc" = 0 ] || fail "tftpcarve exit status $rc after SIGINT, expected 0"
printf 'listening on %s, using datalink type 1\n' "$veth_client" | cmp -s - "$tmp/carve.err" ||
  fail "unexpected diagnostics: $(cat "$tmp/carve.err")"
mode=report
check_files
files=$(ls "$tmp/out" | wc -l)
transfers=$(printf '%s' "$expected" | grep -c .)
[ "$files" -eq "$transfers" ] || fail "$files output files for $transfers transfers: $(ls "$tmp/out")"

# A run that cannot keep up loses frames in the kernel: it says so. Held
# stopped while a transfer runs, the tool finds the kernel's ring full.
head -c 3000000 /dev/urandom >"$tmp/root/huge.bin"
mkdir "$tmp/out2"
(cd "$tmp/out2" && exec ip netns exec "$client_ns" env --default-signal=INT "$carve" -i "$veth_client" -p) \
  >"$tmp/carve2.out" 2>"$tmp/carve2.err" &
carve_pid=$!
wait_for 'grep -q listening "$tmp/carve2.err"' 300 || fail "tftpcarve did not start: $(cat "$tmp/carve2.err")"
kill -STOP "$carve_pid"
(cd "$tmp/client" && run tftp -m binary 10.99.0.1 -c get huge.bin huge.bin)
kill -CONT "$carve_pid"
sleep 1
kill -INT "$carve_pid"
wait "$carve_pid"
carve_pid=
grep -q '^\[warning\] [0-9]* frames dropped by the kernel before they were read: transfers may lack content$' \
  "$tmp/carve2.err" || fail "frames lost by the kernel were not reported: $(cat "$tmp/carve2.err")"

if [ "$status" -ne 0 ]; then
  echo "--- tftpcarve stderr"; cat "$tmp/carve.err"
  echo "--- clients"; cat "$tmp/client.log" 2>/dev/null
  echo "--- output files"; ls -l "$tmp/out"
else
  echo "PASS: $transfers transfers reconstructed from a live capture on $veth_client"
fi
exit "$status"
