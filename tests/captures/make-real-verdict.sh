#!/bin/bash
# SPDX-License-Identifier: BSD-2-Clause
# Makes the captures of real TFTP transfers that do not all end well, in
# tests/captures/real-verdict/, and their manifest: transfers aborted by an
# ERROR, requests lost or never answered, and names holding control bytes.
# Kept apart from real/ so that the test run does not check them until the
# tool reports them. Run as root on a Debian 12 machine with tftpd-hpa,
# tftp-hpa, atftp, tcpdump, tshark, iproute2 and iptables installed; atftpd
# is unpacked from its package on first use. Not part of the test run: the
# captures it makes are committed.
#
# Every capture is taken on the loopback of a namespace of its own, with
# tftpd-hpa at 127.0.0.2 and atftpd at 127.0.0.3 (as make-real.sh does). The
# files sent are made from a seeded key stream, so each run sends the same
# bytes; the ports, and where an interrupted transfer stops, differ from run
# to run, and so do the manifest's lines, which are read back from each
# capture with tshark (expect-states.py).
#
# Usage: make-real-verdict.sh [OUTDIR]   (default: real-verdict/ beside this script)
# Environment: ATFTPD_DIR, where atftpd is unpacked (default /var/tmp/atftpd).
#              KEEP_WORK=1 keeps the work folder (captures, tables) for a look.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/netns-lib.sh"

out=${1:-$here/real-verdict}
work=$(mktemp -d /tmp/make-real-verdict.XXXXXX)
ns=capv$$
HPA=127.0.0.2
AT=127.0.0.3
started=$SECONDS

cleanup() {
  netns_cleanup
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

[ "$(id -u)" = 0 ] || netns_die "run as root"
for tool in in.tftpd tftp atftp tcpdump tshark iptables-legacy tc unshare openssl python3; do
  command -v "$tool" >/dev/null || netns_die "missing $tool"
done
atftpd_fetch "${ATFTPD_DIR:-/var/tmp/atftpd}"
mkdir -p "$out"

say() { printf '== %s\n' "$*" >&2; }

# gen NAME SIZE: SIZE bytes that depend only on NAME (an AES-CTR key stream
# keyed by NAME's hash), the same bytes make-real.sh makes for that name.
gen() {
  local key
  key=$(printf '%s' "$1" | sha256sum | cut -c1-64)
  head -c "$2" /dev/zero | openssl enc -aes-256-ctr -K "$key" -iv 00000000000000000000000000000000 -nosalt
}

hexname() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n'; }

# ------------------------------------------------------------ one capture

# begin NAME [ATFTPD ARGS...]: a fresh namespace, both servers serving
# their own roots ($work/hpa, $work/at), and the capture of its loopback
# running (Ethernet). With arguments, atftpd is started by the caller.
begin() {
  cap=$1
  capfile=$work/$cap
  table=$work/$cap.table
  : >"$table"
  rm -rf "$work/hpa" "$work/at" "$work/cl"
  mkdir -p "$work/hpa" "$work/at" "$work/cl"
  netns_create "$ns"
  tftpd_hpa_start "$ns" "$work/hpa" "$HPA"
  ATFTPD_PID=
  [ "${2:-}" = own-atftpd ] || atftpd_start "$ns" "$work/at" "$AT"
  capture_start "$ns" "$capfile" eth
  say "$cap"
}

root_of() { if [ "$1" = "$HPA" ]; then echo "$work/hpa"; else echo "$work/at"; fi; }

# serve SERVER NAME SIZE / local_file NAME SIZE: a file at a server, or at
# the client to be sent.
serve() { gen "$2" "$3" >"$(root_of "$1")/$2"; }
local_file() { gen "$1" "$2" >"$work/cl/$1"; }

# meant r|w NAME STATE [FILE]: a request for NAME must end in STATE
# (complete, error, unanswered), carrying FILE's bytes.
meant() {
  local sum=- size=-
  if [ -n "${4:-}" ]; then
    sum=$(sha256sum <"$4" | cut -d' ' -f1)
    size=$(wc -c <"$4")
  fi
  echo "$1 $(hexname "$2") $3 $sum $size" >>"$table"
}

# Clients, in octet mode. tftp-hpa takes its commands on standard input, so
# that it retransmits after 1 s (rexmt) and gives up after 5 s; atftp
# retransmits after 1 s.
hpa_cmd() {
  local server=$1
  shift
  (cd "$work/cl" && printf '%s\n' "mode octet" "rexmt 1" "timeout 5" "$@" quit |
    netns_run "$ns" tftp "$server" >/dev/null 2>&1) || true
}
at_get() {
  local server=$1 remote=$2 loc=$3
  shift 3
  (cd "$work/cl" && netns_run "$ns" atftp --tftp-timeout 1 "$@" -g -r "$remote" -l "$loc" "$server" >/dev/null 2>&1) || true
}
at_put() {
  local server=$1 loc=$2 remote=$3
  shift 3
  (cd "$work/cl" && netns_run "$ns" atftp --tftp-timeout 1 "$@" -p -l "$loc" -r "$remote" "$server" >/dev/null 2>&1) || true
}
OPTS=(--option "blksize 1428" --option "tsize 0")

# same A B: a transfer's copy must equal its source.
same() { cmp "$1" "$2" || netns_die "$cap: $2 differs from $1"; }

# finish NOTE...: stops everything, keeps the capture and writes its lines
# into the manifest, after a comment line per NOTE.
finish() {
  local note
  capture_stop
  netns_stop "$TFTPD_HPA_PID" "$ATFTPD_PID"
  netns_delete "$ns"
  for note in "$@"; do echo "# $note" >>"$work/manifest"; done
  python3 "$here/expect-states.py" "$cap" "$table" "$capfile" >"$work/$cap.lines"
  cat "$work/$cap.lines" >>"$work/manifest"
  echo >>"$work/manifest"
  install -m 644 "$capfile" "$out/$cap"
}

# frames FILTER: how many frames of this capture match a display filter.
frames() { tshark -r "$capfile" -Y "$1" 2>/dev/null | wc -l; }

# lines N PATTERN: N of this capture's manifest lines must match PATTERN
# (tshark names a datagram TFTP only when it can tie it to a request, so the
# ERRORs are counted here).
lines() {
  local got
  got=$(grep -c -E "$2" "$work/$cap.lines" || true)
  [ "$got" = "$1" ] || netns_die "$cap: $got transfers match '$2', expected $1"
}

: >"$work/manifest"

# ------------------------------------------------ reads aborted by ERROR 0
#
# atftp interrupted with SIGINT in the middle of a read tells the server
# with ERROR 0 "Undefined error code". The loopback is slowed down (a token
# bucket) so that the reads last a few seconds. A while after the second
# abort, longer than a carver's 5 s of silence, a short read completes.

# interrupted_get SERVER REMOTE LOCAL [ARGS...]: an atftp read interrupted
# after 1 s (atftp sets its own SIGINT handler, which a background job's
# ignored SIGINT does not stop).
interrupted_get() {
  local server=$1 remote=$2 loc=$3 pid
  shift 3
  (cd "$work/cl" && exec ip netns exec "$ns" atftp --tftp-timeout 1 "$@" -g -r "$remote" -l "$loc" "$server" \
    >/dev/null 2>&1) &
  pid=$!
  sleep 1
  kill -INT "$pid"
  wait "$pid" || true
}

begin error-read.pcap
netns_run "$ns" tc qdisc add dev lo root tbf rate 1mbit burst 16kb latency 2s
serve "$HPA" kernel.img 400000
serve "$AT" initrd.img 400000
serve "$HPA" pxelinux.cfg 3000
interrupted_get "$HPA" kernel.img kernel.img
meant r kernel.img error "$work/hpa/kernel.img"
interrupted_get "$AT" initrd.img initrd.img "${OPTS[@]}"
meant r initrd.img error "$work/at/initrd.img"
sleep 6
hpa_cmd "$HPA" "get pxelinux.cfg pxelinux.cfg"
same "$work/hpa/pxelinux.cfg" "$work/cl/pxelinux.cfg"
meant r pxelinux.cfg complete "$work/cl/pxelinux.cfg"
finish "error-read.pcap: two reads by atftp interrupted with SIGINT after 1 s, which sends ERROR 0 \"Undefined" \
  "error code\" to the server: a 400000-byte file from tftpd-hpa (512-byte blocks) and one from atftpd" \
  "(blksize 1428, tsize: OACK); over 6 s later a tftp-hpa read of 3000 bytes completes. The loopback" \
  "is slowed to 1 Mbit/s. Ethernet"
lines 2 ' state=error .* error=0 .*error_from=client'
lines 1 ' state=complete '

# ------------------------------------------------ writes aborted by ERROR 3
#
# atftpd whose root is a 64 KiB tmpfs answers a write that fills it with
# ERROR 3 "Disk full or allocation exceeded". The tmpfs is mounted in a mount
# namespace of atftpd's own (unshare -m), so it goes away with atftpd.

begin error-write.pcap own-atftpd
netns_spawn "$ns" unshare -m sh -c 'mount -t tmpfs -o size=64k tmpfs "$1" && shift && exec "$@"' sh "$work/at" \
  "$ATFTPD" --daemon --no-fork --port 69 --bind-address "$AT" --user root --group root --no-multicast \
  --retry-timeout 1 --logfile /dev/null "$work/at"
ATFTPD_PID=$NETNS_LAST_PID
netns_wait_udp "$ns" "$AT" 69
local_file firmware.bin 300000
local_file config.bak 200000
at_put "$AT" firmware.bin firmware.bin "${OPTS[@]}"
meant w firmware.bin error "$work/cl/firmware.bin"
hpa_cmd "$AT" "put config.bak config.bak"
meant w config.bak error "$work/cl/config.bak"
finish "error-write.pcap: writes to atftpd whose root is a 64 KiB tmpfs, answered part way with ERROR 3" \
  "\"Disk full or allocation exceeded\": a 300000-byte file from atftp (blksize 1428, tsize: OACK), then" \
  "a 200000-byte file from tftp-hpa (512-byte blocks) into the full disk. Ethernet"
lines 2 ' state=error .* error=3 .*error_from=server'

# ------------------------------------------ first request lost, then retried
#
# The first request to port 69 is dropped on arrival (raw PREROUTING, so the
# capture of lo still holds it); the client's copy a second later is answered.

drop_first_request() {
  netns_run "$ns" iptables-legacy -t raw -F
  netns_run "$ns" iptables-legacy -t raw -A PREROUTING -i lo -p udp --dport 69 \
    -m statistic --mode nth --every 1000000 --packet 0 -j DROP
}

begin lost-request.pcap
serve "$HPA" bootx64.efi 5000
serve "$AT" grubx64.efi 20000
local_file boot.log 3000
drop_first_request
hpa_cmd "$HPA" "get bootx64.efi bootx64.efi"
same "$work/hpa/bootx64.efi" "$work/cl/bootx64.efi"
meant r bootx64.efi complete "$work/cl/bootx64.efi"
drop_first_request
at_get "$AT" grubx64.efi grubx64.efi "${OPTS[@]}"
same "$work/at/grubx64.efi" "$work/cl/grubx64.efi"
meant r grubx64.efi complete "$work/cl/grubx64.efi"
drop_first_request
at_put "$HPA" boot.log boot.log
same "$work/cl/boot.log" "$work/hpa/boot.log"
meant w boot.log complete "$work/cl/boot.log"
finish "lost-request.pcap: the first request of each transfer dropped on arrival, the client's copy" \
  "1 s later answered, each transfer complete with 2 requests: a tftp-hpa read from tftpd-hpa, an atftp" \
  "read from atftpd (blksize 1428, tsize: OACK) and an atftp write to tftpd-hpa. Ethernet"
lines 3 ' state=complete .* requests=2( |$)'

# ------------------------------------------------------ requests unanswered
#
# Every datagram to port 69 is dropped on arrival (a firewall in front of
# the servers): the clients re-send their requests, then give up.

begin unanswered.pcap
serve "$HPA" pxelinux.0 5000
local_file report.txt 1000
netns_run "$ns" iptables-legacy -t raw -A PREROUTING -i lo -p udp --dport 69 -j DROP
hpa_cmd "$HPA" "get pxelinux.0 pxelinux.0"
meant r pxelinux.0 unanswered
at_get "$AT" ipxe.efi ipxe.efi "${OPTS[@]}"
meant r ipxe.efi unanswered
at_put "$HPA" report.txt report.txt
meant w report.txt unanswered
finish "unanswered.pcap: requests that no server answers (all datagrams to port 69 dropped on arrival):" \
  "a tftp-hpa read (re-sent every second until its 5 s timeout), an atftp read with blksize 1428 and" \
  "tsize, and an atftp write, each re-sent until the client gives up; no file. Ethernet"
[ "$(frames 'udp.srcport != 69 && udp.dstport != 69')" = 0 ] || netns_die "$cap: something answered"

# -------------------------------------------------- names with control bytes
#
# A name that retitles the terminal (ESC ] 0 ; ... BEL), clears it (ESC [ 2 J)
# and, after a newline, forges a trace line, printed raw by a careless tool.
# The servers keep files under such names; one name is absent (ERROR 1).

esc=$'\033' bel=$'\007'
n1="pxelinux.0${esc}]0;pwned${bel}${esc}[2J"$'\n'"READ  10.0.0.1:1234 > 10.0.0.2:69 \"forged.bin\" octet"
n2="menu${esc}[31mred${esc}[0m.cfg"
n3="missing${esc}]0;gone${bel}"$'\n'"line.bin"
n4="upload${esc}[2J${esc}[H"$'\t'"tab"$'\r'"cr.bin"

begin control-names.pcap
gen n1 4000 >"$work/hpa/$n1"
gen n2 1500 >"$work/at/$n2"
local_file n4 2500
at_get "$HPA" "$n1" got1 "${OPTS[@]}"
same "$work/hpa/$n1" "$work/cl/got1"
meant r "$n1" complete "$work/cl/got1"
(cd "$work/cl" && netns_run "$ns" tftp -m octet "$AT" -c get "$n2" got2 >/dev/null 2>&1) || true
same "$work/at/$n2" "$work/cl/got2"
meant r "$n2" complete "$work/cl/got2"
at_get "$HPA" "$n3" got3
meant r "$n3" error
at_put "$HPA" n4 "$n4"
same "$work/cl/n4" "$work/hpa/$n4"
meant w "$n4" complete "$work/cl/n4"
finish "control-names.pcap: names holding control bytes: an atftp read from tftpd-hpa (blksize 1428, tsize)" \
  "of \"pxelinux.0 ESC ]0;pwned BEL ESC [2J LF READ  10.0.0.1:1234 > 10.0.0.2:69 \\\"forged.bin\\\" octet\"" \
  "(a title, a clear screen and a forged trace line after the newline); a tftp-hpa read from atftpd of" \
  "\"menu ESC [31mred ESC [0m.cfg\"; an atftp read from tftpd-hpa of the absent \"missing ESC ]0;gone BEL LF" \
  "line.bin\", answered with ERROR 1; an atftp write to tftpd-hpa of \"upload ESC [2J ESC [H TAB tab CR cr.bin\"." \
  "Names are given in full, in hex, by name=. Ethernet"
lines 1 '^[^ ]+ - - - state=error .* error=1 '

{
  echo "# What tftpcarve must make of each capture of real transfers that do not all"
  echo "# end well: aborted by an ERROR, a request lost and re-sent, a request never"
  echo "# answered, names holding control bytes. Made by"
  echo "# tests/captures/make-real-verdict.sh; expectations read back from each capture"
  echo "# with tshark (expect-states.py)."
  echo "#"
  echo "# <capture> <output file> <sha256> <size> <key>=<value>..."
  echo "# One line per transfer. The first four fields are those of real/manifest.txt"
  echo "# (\"- - -\" where the transfer has no output file: it carried no DATA). The"
  echo "# output of a transfer that did not complete holds the DATA blocks from block 1"
  echo "# that follow each other without a gap. The keys:"
  echo "#   state       complete | error (an ERROR ended it before its last block)"
  echo "#               | unanswered (no datagram ever came back to the requester)"
  echo "#   op          read | write"
  echo "#   name        the requested name, in hex"
  echo "#   requests    the request and its copies re-sent before the first answer"
  echo "#   error, error_text, error_from   the first ERROR's code, its text in hex,"
  echo "#               and who sent it (client | server)"
  echo "#   original    sha256:size of the whole file the transfer was carrying, where"
  echo "#               the output is not all of it"
  echo "#"
  echo "# The <capture>.trace files beside the captures hold what tftpcarve -vv printed"
  echo "# when they were made (tests/real/run-real.sh --write-traces), names with control"
  echo "# bytes printed raw: rewrite them once it prints what it should."
  echo
  cat "$work/manifest"
} >"$out/manifest.txt"
say "done in $((SECONDS - started)) s"
