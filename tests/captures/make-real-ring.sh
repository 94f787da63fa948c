#!/bin/bash
# SPDX-License-Identifier: BSD-2-Clause
# Makes captures of real TFTP traffic that come as several files, in
# tests/captures/real-ring/, and their manifest:
#
#   ring.pcapNN.gz      a ring of 1 MB files written by tcpdump -C 1 -W 50,
#                       each gzipped after rotation (-z gzip) as a sensor
#                       keeps them, during transfers that span several files
#   link-eth.pcap,      two captures of one link taken at once by two
#   link-sll.pcap       programs, one of Ethernet (1) holding one transfer
#                       and one of Linux cooked (113) holding another, the
#                       transfers overlapping in time
#
# Run as root on a Debian 12 machine with tftpd-hpa, tftp-hpa, atftp,
# tcpdump, tshark, iproute2 and ethtool installed; atftpd is unpacked from
# its package on first use. Not part of the test run: the captures it makes
# are committed.
#
# The servers are in one namespace (tftpd-hpa at 10.9.1.1, atftpd at
# 10.9.1.3), the clients in another (10.9.1.2), joined by a veth pair whose
# server end is slowed down by a token bucket, so that the transfers take a
# while; everything is captured at the clients' end. The files sent are
# numbered lines of text (they compress well, and each line differs), so each
# run sends the same bytes; the ports differ from run to run, and so do the
# manifest's lines, which are read back from the captures with tshark
# (expect-states.py).
#
# Usage: make-real-ring.sh [OUTDIR]   (default: real-ring/ beside this script)
# Environment: ATFTPD_DIR, where atftpd is unpacked (default /var/tmp/atftpd).
#              KEEP_WORK=1 keeps the work folder (captures, tables) for a look.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/netns-lib.sh"

out=${1:-$here/real-ring}
work=$(mktemp -d /tmp/make-real-ring.XXXXXX)
ns=capr$$
SNS=${ns}s CNS=${ns}c
HPA=10.9.1.1
AT=10.9.1.3
started=$SECONDS

cleanup() {
  netns_cleanup
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

[ "$(id -u)" = 0 ] || netns_die "run as root"
for tool in in.tftpd tftp atftp tcpdump tshark ethtool tc gzip python3; do
  command -v "$tool" >/dev/null || netns_die "missing $tool"
done
atftpd_fetch "${ATFTPD_DIR:-/var/tmp/atftpd}"
mkdir -p "$out"

say() { printf '== %s\n' "$*" >&2; }

# lines_of NAME SIZE: SIZE bytes of numbered lines that name NAME.
lines_of() {
  awk -v n="$1" -v size="$2" 'BEGIN {
    for (i = 1; got < size; i++) {
      line = sprintf("%s line %07d: the quick brown fox jumps over the lazy dog\n", n, i)
      line = substr(line, 1, size - got)
      printf "%s", line
      got += length(line)
    }
  }'
}

# gen NAME SIZE: SIZE bytes that depend only on NAME (an AES-CTR key stream
# keyed by NAME's hash), the same bytes make-real.sh makes for that name.
gen() {
  local key
  key=$(printf '%s' "$1" | sha256sum | cut -c1-64)
  head -c "$2" /dev/zero | openssl enc -aes-256-ctr -K "$key" -iv 00000000000000000000000000000000 -nosalt
}

hexname() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n'; }

# ------------------------------------------------------------ the network

mkdir -p "$work/hpa" "$work/at" "$work/cl"
netns_create "$SNS"
netns_create "$CNS"
netns_veth "$SNS" caps0 "$CNS" capc0
netns_run "$SNS" ip addr add "$HPA/24" dev caps0
netns_run "$SNS" ip addr add "$AT/24" dev caps0
netns_run "$CNS" ip addr add 10.9.1.2/24 dev capc0
netns_run "$SNS" tc qdisc add dev caps0 root tbf rate 20mbit burst 16kb latency 2s
tftpd_hpa_start "$SNS" "$work/hpa" "$HPA"
atftpd_start "$SNS" "$work/at" "$AT"

root_of() { if [ "$1" = "$HPA" ]; then echo "$work/hpa"; else echo "$work/at"; fi; }

# Clients, in octet mode; atftp retransmits after 1 s.
at_get() {
  local server=$1 remote=$2 loc=$3
  shift 3
  (cd "$work/cl" && netns_run "$CNS" atftp --tftp-timeout 1 "$@" -g -r "$remote" -l "$loc" "$server" >/dev/null 2>&1) || true
}
hpa() {
  local server=$1
  shift
  (cd "$work/cl" && netns_run "$CNS" tftp "$server" -m octet -c "$@" >/dev/null 2>&1) || true
}

# same A B: a transfer's copy must equal its source.
same() { cmp "$1" "$2" || netns_die "$2 differs from $1"; }

# meant TABLE r|w NAME FILE: the transfer of NAME completes, carrying FILE.
meant() {
  echo "$2 $(hexname "$3") complete $(sha256sum <"$4" | cut -d' ' -f1) $(wc -c <"$4")" >>"$1"
}

# tcpdump_start LOG ARGS...: tcpdump in the clients' namespace, returning
# once it listens; sets TCPDUMP_PID. -Z root: with -C, tcpdump opens every
# file after the first once it has given up root for the tcpdump user, who
# may not write into the work folder.
tcpdump_start() {
  local log=$1 i
  shift
  netns_spawn "$CNS" tcpdump -U -B 32768 -Z root "$@" 2>"$log"
  TCPDUMP_PID=$NETNS_LAST_PID
  for i in $(seq 100); do
    grep -q 'listening on' "$log" 2>/dev/null && return 0
    kill -0 "$TCPDUMP_PID" 2>/dev/null || break
    sleep 0.1
  done
  cat "$log" >&2
  netns_die "capture did not start"
}

# tcpdump_stop PID LOG: stops a capture once its last packets are written,
# and fails if the kernel dropped any.
tcpdump_stop() {
  kill -INT "$1"
  wait "$1" 2>/dev/null || true
  netns_stop "$1"
  grep -q '^0 packets dropped by kernel' "$2" || { cat "$2" >&2; netns_die "the capture lost packets"; }
}

# first_last FILE: the times of a capture's first and last frames.
first_last() {
  tshark -r "$1" -T fields -e frame.time_epoch 2>/dev/null | sed -n '1p;$p' | tr '\n' ' '
}

: >"$work/manifest"

# ------------------------------------------------------------------ the ring
#
# Two reads at once (a 1.5 MB file from tftpd-hpa in 1428-byte blocks, a
# 1 MB file from atftpd in 1024-byte blocks, their datagrams interleaved),
# then a 700 kB write to tftpd-hpa in 512-byte blocks: about 4 MB in 1 MB
# files. tcpdump gzips each file once it has moved on to the next; the last
# one is gzipped here the same way.

say ring
mkdir "$work/ring"
table=$work/ring.table
: >"$table"
lines_of ring-a.txt 1500000 >"$work/hpa/ring-a.txt"
lines_of ring-c.txt 1000000 >"$work/at/ring-c.txt"
lines_of ring-b.txt 700000 >"$work/cl/ring-b.txt"
tcpdump_start "$work/ring.log" -i capc0 -C 1 -W 50 -z gzip -w "$work/ring/ring.pcap"
ring_pid=$TCPDUMP_PID
at_get "$HPA" ring-a.txt ring-a.txt --option "blksize 1428" --option "tsize 0" &
a_pid=$!
sleep 0.3
at_get "$AT" ring-c.txt ring-c.txt --option "blksize 1024"
wait "$a_pid"
hpa "$HPA" put ring-b.txt ring-b.txt
sleep 1.5
tcpdump_stop "$ring_pid" "$work/ring.log"
same "$work/hpa/ring-a.txt" "$work/cl/ring-a.txt"
same "$work/at/ring-c.txt" "$work/cl/ring-c.txt"
same "$work/cl/ring-b.txt" "$work/hpa/ring-b.txt"
meant "$table" r ring-a.txt "$work/hpa/ring-a.txt"
meant "$table" r ring-c.txt "$work/at/ring-c.txt"
meant "$table" w ring-b.txt "$work/cl/ring-b.txt"

# tcpdump leaves gzip running on the files it has closed; it is done when
# only the last file is left uncompressed.
for i in $(seq 100); do
  [ "$(find "$work/ring" -name 'ring.pcap[0-9][0-9]' | wc -l)" = 1 ] && break
  sleep 0.1
done
plain=$(find "$work/ring" -name 'ring.pcap[0-9][0-9]')
[ "$(echo "$plain" | wc -l)" = 1 ] || netns_die "ring: gzip did not finish: $plain"
gzip "$plain"
parts=$(cd "$work/ring" && ls ring.pcap[0-9][0-9].gz | sort)
[ "$(echo "$parts" | wc -l)" -ge 3 ] || netns_die "ring: only $(echo "$parts" | wc -l) files"
{
  echo "# ring: tcpdump -i capc0 -C 1 -W 50 -z gzip -w ring.pcap at the clients' end of a veth (Ethernet, UDP"
  echo "# checksums filled): atftp reads 1500000 bytes from tftpd-hpa (blksize 1428, tsize) while it reads"
  echo "# 1000000 bytes from atftpd (blksize 1024), their datagrams interleaved, then tftp-hpa writes"
  echo "# 700000 bytes to tftpd-hpa (512-byte blocks). Each file was gzipped after rotation; the plain ring"
  echo "# is their gzip -d. Read in this order, the files are one capture; each transfer spans the files"
  echo "# named by files=. \"#part FILE SHA256 SIZE FRAMES\" describes a file once unpacked."
  echo "#set ring" $parts
  for p in $parts; do
    echo "#part $p $(gzip -dc "$work/ring/$p" | sha256sum | cut -d' ' -f1) $(gzip -dc "$work/ring/$p" | wc -c)" \
      "$(tshark -r "$work/ring/$p" 2>/dev/null | wc -l)"
  done
  (cd "$work/ring" && python3 "$here/expect-states.py" ring "$table" $parts)
  echo
} >>"$work/manifest"
spanning=$(grep -c -E '^ring .*files=[^ ]*,' "$work/manifest" || true)
[ "$spanning" -ge 2 ] || netns_die "ring: $spanning transfers span several files, expected 2 or more"

# ------------------------------------------------ two link types, one link
#
# One program captures the link as Ethernet keeping tftpd-hpa's traffic;
# another, on every interface of the namespace as Linux cooked (113),
# keeps atftpd's. A read from each server, the second started while the
# first goes on, slowed down further so that both last about a second.

say link-eth.pcap link-sll.pcap
table=$work/link.table
: >"$table"
netns_run "$SNS" tc qdisc change dev caps0 root tbf rate 1mbit burst 16kb latency 2s
gen link-a.bin 120000 >"$work/hpa/link-a.bin"
gen link-b.bin 100000 >"$work/at/link-b.bin"
tcpdump_start "$work/link-eth.log" -i capc0 -w "$work/link-eth.pcap" udp and host "$HPA"
eth_pid=$TCPDUMP_PID
tcpdump_start "$work/link-sll.log" -i any -y LINUX_SLL -w "$work/link-sll.pcap" udp and host "$AT"
sll_pid=$TCPDUMP_PID
at_get "$HPA" link-a.bin link-a.bin --option "blksize 1428" --option "tsize 0" &
a_pid=$!
sleep 0.3
hpa "$AT" get link-b.bin link-b.bin
wait "$a_pid"
sleep 1.5
tcpdump_stop "$eth_pid" "$work/link-eth.log"
tcpdump_stop "$sll_pid" "$work/link-sll.log"
same "$work/hpa/link-a.bin" "$work/cl/link-a.bin"
same "$work/at/link-b.bin" "$work/cl/link-b.bin"
meant "$table" r link-a.bin "$work/cl/link-a.bin"
meant "$table" r link-b.bin "$work/cl/link-b.bin"
read -r a0 a1 <<<"$(first_last "$work/link-eth.pcap")"
read -r b0 b1 <<<"$(first_last "$work/link-sll.pcap")"
python3 -c "import sys; a0, a1, b0, b1 = map(float, sys.argv[1:]); sys.exit(not (a0 < b0 < a1 < b1 or b0 < a0 < b1 < a1 or a0 < b0 < b1 < a1))" \
  "$a0" "$a1" "$b0" "$b1" || netns_die "the link captures do not overlap in time"
{
  echo "# link-eth.pcap, link-sll.pcap: two captures taken at once at the clients' end of a veth (UDP"
  echo "# checksums filled), link-eth.pcap by tcpdump -i capc0 (Ethernet, 1) keeping tftpd-hpa's datagrams,"
  echo "# link-sll.pcap by tcpdump -i any -y LINUX_SLL (Linux cooked, 113) keeping atftpd's: an atftp read"
  echo "# of 120000 bytes from tftpd-hpa (blksize 1428, tsize) in the first, a tftp-hpa read of 100000 bytes"
  echo "# from atftpd (512-byte blocks) in the second, started 0.3 s after the first, while it goes on."
  echo "# Read together as the set \"linktypes\", or one at a time (each holds the transfer its files= names)."
  echo "#set linktypes link-eth.pcap link-sll.pcap"
  (cd "$work" && python3 "$here/expect-states.py" linktypes "$table" link-eth.pcap link-sll.pcap)
  echo
} >>"$work/manifest"

netns_stop "$TFTPD_HPA_PID" "$ATFTPD_PID"

{
  echo "# What tftpcarve must make of captures that come as several files: a rotated ring"
  echo "# of gzipped files, and two captures of different link types taken at once. Made"
  echo "# by tests/captures/make-real-ring.sh; expectations read back from the captures"
  echo "# with tshark (expect-states.py)."
  echo "#"
  echo "# \"#set SET FILE...\" names a set of captures, to be read as one in this order;"
  echo "# then one line per transfer:"
  echo "# <set> <output file> <sha256> <size> <key>=<value>..."
  echo "# The first four fields are those of real/manifest.txt, the set's name in place"
  echo "# of a capture's. Every transfer here completes, carrying the whole original file"
  echo "# (its sha256 and size are the output's). The keys: state (complete), op (read |"
  echo "# write), name (the requested name, in hex), requests (the request and its copies"
  echo "# re-sent before the first answer), files (the set's files holding the transfer)."
  echo
  cat "$work/manifest"
} >"$work/manifest.txt"
rm -f "$out"/ring.pcap[0-9][0-9].gz
for p in $parts; do install -m 644 "$work/ring/$p" "$out/$p"; done
install -m 644 "$work/link-eth.pcap" "$work/link-sll.pcap" "$work/manifest.txt" "$out/"
say "done in $((SECONDS - started)) s"
