#!/bin/bash
# SPDX-License-Identifier: BSD-2-Clause
# Makes the captures of real TFTP traffic in tests/captures/real/ and their
# manifest. Run as root on a Debian 12 machine with tftpd-hpa, tftp-hpa,
# atftp, tcpdump, tshark (dumpcap, editcap), iproute2 and iptables installed;
# atftpd is unpacked from its package on first use. Not part of the test run:
# the captures it makes are committed, and tests/real/run-real.sh checks them.
#
# Every transfer runs between real servers (tftpd-hpa's in.tftpd at
# 127.0.0.2, atftpd at 127.0.0.3) and real clients (tftp-hpa's tftp, atftp)
# inside a network namespace of its own, captured on its loopback. The files
# sent are made from a seeded key stream, so each run sends the same bytes;
# the ports differ from run to run, and so do the output names in the
# manifest, which are read back from each capture with tshark.
#
# Usage: make-real.sh [OUTDIR]   (default: the real/ folder beside this script)
# Environment: ATFTPD_DIR, where atftpd is unpacked (default /var/tmp/atftpd).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/netns-lib.sh"

out=${1:-$here/real}
examples=$here/../../examples
work=$(mktemp -d /tmp/make-real.XXXXXX)
ns=tcreal$$
HPA=127.0.0.2
AT=127.0.0.3
started=$SECONDS
label=

cleanup() {
  netns_cleanup
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

[ "$(id -u)" = 0 ] || netns_die "run as root"
for tool in in.tftpd tftp atftp tcpdump dumpcap tshark editcap iptables-legacy openssl perl python3; do
  command -v "$tool" >/dev/null || netns_die "missing $tool"
done
atftpd_fetch "${ATFTPD_DIR:-/var/tmp/atftpd}"
mkdir -p "$out" "$examples"

say() { printf '== %s\n' "$*" >&2; }

# ---------------------------------------------------------------- contents

# gen NAME SIZE: SIZE bytes that depend only on NAME (an AES-CTR key stream
# keyed by NAME's hash).
gen() {
  local key
  key=$(printf '%s' "$1" | sha256sum | cut -c1-64)
  head -c "$2" /dev/zero | openssl enc -aes-256-ctr -K "$key" -iv 00000000000000000000000000000000 -nosalt
}

# text LINES [CR]: numbered lines of text ending in LF; with CR, one line
# also holds a lone carriage return, which netascii sends as CR NUL. With 0
# lines: text without any line end, which netascii carries unchanged.
text() {
  awk -v n="$1" -v cr="${2:-}" 'BEGIN {
    if (n == 0) for (i = 0; i < 20; i++) printf "text without line ends %d; ", i
    for (i = 1; i <= n; i++) {
      printf "line %d of %d: the quick brown fox jumps over the lazy dog", i, n
      if (cr != "" && i == int(n / 2)) printf "\r(after a lone carriage return)"
      printf "\n"
    }
  }'
}

# netascii: the bytes a netascii transfer carries for a local text file.
netascii() { perl -0777 -pe 's/\r/\r\0/g; s/\n/\r\n/g'; }

hexname() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n'; }

# ------------------------------------------------------------ one capture

# begin NAME KIND [MTU]: a fresh namespace and server roots, and the capture
# running. Both servers serve the same files.
begin() {
  cap=$1
  capfile=$work/$cap
  table=$work/$cap.table
  : >"$table"
  rm -rf "$work/hpa" "$work/at" "$work/cl"
  mkdir -p "$work/hpa/sub" "$work/at/sub" "$work/cl"
  netns_create "$ns" "${3:-}"
  tftpd_hpa_start "$ns" "$work/hpa" "$HPA"
  atftpd_start "$ns" "$work/at" "$AT"
  capture_start "$ns" "$capfile" "$2"
  say "$cap"
}

# serve NAME SIZE|text LINES [CR]: a file in both server roots.
serve() {
  local name=$1
  shift
  if [ "$1" = text ]; then
    shift
    text "$@" >"$work/hpa/$name"
  else
    gen "$name" "$1" >"$work/hpa/$name"
  fi
  cp "$work/hpa/$name" "$work/at/$name"
}

# local_file NAME SIZE|text LINES [CR]: a file for a client to send.
local_file() {
  local name=$1
  shift
  if [ "$1" = text ]; then
    shift
    text "$@" >"$work/cl/$name"
  else
    gen "$name" "$1" >"$work/cl/$name"
  fi
}

# expect r|w NAME FILE [netascii]: the transfer of NAME carries FILE's bytes.
expect() {
  local sum size
  if [ "${4:-}" = netascii ]; then
    sum=$(netascii <"$3" | sha256sum | cut -d' ' -f1)
    size=$(netascii <"$3" | wc -c)
  else
    sum=$(sha256sum <"$3" | cut -d' ' -f1)
    size=$(wc -c <"$3")
  fi
  echo "$1 $(hexname "$2") $sum $size" >>"$table"
}

# same A B: a transfer's copy must equal its source.
same() { cmp "$1" "$2" || netns_die "$cap: $2 differs from $1"; }

root_of() { if [ "$1" = "$HPA" ]; then echo "$work/hpa"; else echo "$work/at"; fi; }

# Clients. hpa_cmd runs tftp-hpa commands in one session (one UDP port for
# all its transfers), in octet mode (tftp-hpa's default is netascii),
# retransmitting after 1 s.
hpa_cmd() {
  local server=$1
  shift
  printf '%s\n' "mode octet" "rexmt 1" "$@" quit | netns_run "$ns" tftp "$server" >/dev/null
}
hpa_get() { (cd "$work/cl" && netns_run "$ns" tftp -m "${4:-octet}" "$1" -c get "$2" "$3") || true; }
hpa_put() { (cd "$work/cl" && netns_run "$ns" tftp -m "${4:-octet}" "$1" -c put "$2" "$3") || true; }
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

# checked reads and writes: the client's copy must be right, and the
# transfer goes into the table.
get_ok() { # CLIENT SERVER REMOTE LOCAL [ARGS...]
  local client=$1 server=$2 remote=$3 loc=$4
  shift 4
  "${client}_get" "$server" "$remote" "$loc" "$@"
  same "$(root_of "$server")/$remote" "$work/cl/$loc"
  expect r "$remote" "$work/cl/$loc"
}
put_ok() { # CLIENT SERVER LOCAL REMOTE [ARGS...]
  local client=$1 server=$2 loc=$3 remote=$4
  shift 4
  "${client}_put" "$server" "$loc" "$remote" "$@"
  same "$work/cl/$loc" "$(root_of "$server")/$remote"
  expect w "$remote" "$work/cl/$loc"
}

# finish NOTE...: stops everything, keeps the capture and writes its lines
# into the manifest, after a comment line per NOTE.
finish() {
  capture_stop
  netns_stop "$TFTPD_HPA_PID" "$ATFTPD_PID"
  netns_delete "$ns"
  local note
  for note in "$@"; do echo "# $note" >>"$work/manifest"; done
  python3 "$here/expect.py" "$capfile" "$table" "${label:-$cap}" >>"$work/manifest"
  label=
  echo >>"$work/manifest"
  install -m 644 "$capfile" "$out/$cap"
}

# ----------------------------------------------------------- the captures

: >"$work/manifest"

# A read and a write with block size and transfer size options (an OACK for
# each), small enough to show in a demo.
begin read-write.pcap eth
serve boot.img 3000
local_file upload.img 2000
get_ok at "$HPA" boot.img boot.img "${OPTS[@]}"
put_ok at "$HPA" upload.img upload.img "${OPTS[@]}"
finish "read-write.pcap: tftpd-hpa, atftp; a read and a write with blksize 1428 and tsize (OACK), Ethernet"
install -m 644 "$out/read-write.pcap" "$examples/read-write.pcap"

# The plain cases, once against each server: octet and netascii reads and
# writes, a file of whole blocks (its last DATA is empty), a missing file
# (ERROR, no output), one file read twice in one tftp-hpa session (the same
# client port for both requests), and whole-block files with an OACK.
basic_set() {
  local s=$1
  serve random.bin 3000
  serve blocks.bin 1536
  serve twice.bin 1200
  serve lines.txt text 40 cr
  serve plain.txt text 0
  serve options.bin 2856
  local_file up.bin 2500
  local_file notes.txt text 30
  local_file upopt.bin 4000

  get_ok hpa "$s" random.bin random.bin
  get_ok hpa "$s" blocks.bin blocks.bin
  hpa_get "$s" missing.bin missing.bin
  put_ok hpa "$s" up.bin up.bin
  hpa_get "$s" lines.txt lines.txt netascii
  same "$(root_of "$s")/lines.txt" "$work/cl/lines.txt"
  expect r lines.txt "$work/cl/lines.txt" netascii
  hpa_get "$s" plain.txt plain.txt netascii
  same "$(root_of "$s")/plain.txt" "$work/cl/plain.txt"
  expect r plain.txt "$work/cl/plain.txt" netascii
  hpa_put "$s" notes.txt notes.txt netascii
  same "$work/cl/notes.txt" "$(root_of "$s")/notes.txt"
  expect w notes.txt "$work/cl/notes.txt" netascii
  (cd "$work/cl" && hpa_cmd "$s" "get twice.bin twice1.bin" "get twice.bin twice2.bin")
  same "$(root_of "$s")/twice.bin" "$work/cl/twice1.bin"
  same "$(root_of "$s")/twice.bin" "$work/cl/twice2.bin"
  expect r twice.bin "$work/cl/twice1.bin"
  at_get "$s" missing.bin missing2.bin "${OPTS[@]}"
  get_ok at "$s" options.bin options.bin "${OPTS[@]}"
  put_ok at "$s" upopt.bin upopt.bin "${OPTS[@]}"
}

begin hpa-basic.pcap eth
basic_set "$HPA"
finish "hpa-basic.pcap: tftpd-hpa with tftp-hpa and atftp, Ethernet:" \
  "octet read and write; netascii reads (LF and a lone CR; no line ends) and write;" \
  "a 1536-byte file (empty last DATA); a missing file, without and with options (ERROR, no file);" \
  "one file read twice from one client port; a 2856-byte file (2 x 1428) and a write with an OACK"

editcap -C 14 -L -F pcap -T rawip "$out/hpa-basic.pcap" "$out/hpa-basic-raw.pcap"
python3 "$here/expect.py" "$out/hpa-basic-raw.pcap" "$work/hpa-basic.pcap.table" >"$work/raw.lines"
{
  echo "# hpa-basic-raw.pcap: hpa-basic.pcap turned into raw IPv4 (link type 101, read as 12)"
  cat "$work/raw.lines"
  echo
} >>"$work/manifest"

begin atftpd-basic.pcap sll
basic_set "$AT"
finish "atftpd-basic.pcap: the same transfers as hpa-basic.pcap against atftpd, Linux cooked capture (113)"

# Transfers that overlap in time: eight clients at once against both servers,
# two of them reading the same file from the same server.
begin concurrent.pcap sll2
for i in 1 2 3; do serve "conc$i.bin" $((20000 + i * 1111)); done
for i in 1 2; do local_file "cup$i.bin" $((15000 + i * 777)); done
pids=()
(cd "$work/cl" && netns_run "$ns" atftp --tftp-timeout 1 -g -r conc1.bin -l c1h.bin "$HPA" >/dev/null 2>&1) & pids+=($!)
(cd "$work/cl" && netns_run "$ns" atftp --tftp-timeout 1 -g -r conc1.bin -l c1h2.bin "$HPA" >/dev/null 2>&1) & pids+=($!)
(cd "$work/cl" && netns_run "$ns" atftp --tftp-timeout 1 "${OPTS[@]}" -g -r conc2.bin -l c2a.bin "$AT" >/dev/null 2>&1) & pids+=($!)
(cd "$work/cl" && netns_run "$ns" tftp -m octet "$AT" -c get conc3.bin c3a.bin) & pids+=($!)
(cd "$work/cl" && netns_run "$ns" tftp -m octet "$HPA" -c get conc2.bin c2h.bin) & pids+=($!)
(cd "$work/cl" && netns_run "$ns" atftp --tftp-timeout 1 -g -r conc3.bin -l c3h.bin "$HPA" >/dev/null 2>&1) & pids+=($!)
(cd "$work/cl" && netns_run "$ns" atftp --tftp-timeout 1 -p -l cup1.bin -r cup1.bin "$HPA" >/dev/null 2>&1) & pids+=($!)
(cd "$work/cl" && netns_run "$ns" tftp -m octet "$AT" -c put cup2.bin cup2.bin) & pids+=($!)
wait "${pids[@]}"
same "$work/hpa/conc1.bin" "$work/cl/c1h.bin"
same "$work/hpa/conc1.bin" "$work/cl/c1h2.bin"
same "$work/at/conc2.bin" "$work/cl/c2a.bin"
same "$work/at/conc3.bin" "$work/cl/c3a.bin"
same "$work/hpa/conc2.bin" "$work/cl/c2h.bin"
same "$work/hpa/conc3.bin" "$work/cl/c3h.bin"
same "$work/cl/cup1.bin" "$work/hpa/cup1.bin"
same "$work/cl/cup2.bin" "$work/at/cup2.bin"
for i in 1 2 3; do expect r "conc$i.bin" "$work/hpa/conc$i.bin"; done
for i in 1 2; do expect w "cup$i.bin" "$work/cl/cup$i.bin"; done
finish "concurrent.pcap: eight overlapping transfers (six reads, two writes) against both servers, Linux cooked v2 (276)"

# File names that must be sanitised: blanks, bytes above 0x7f, and a slash
# into a subfolder of the server's root.
begin odd-names.pcapng pcapng
spaced="two words.bin"
latin=$'caf\xe9 \xff.bin'
inner="sub/inner file.bin"
serve "$spaced" 900
serve "$latin" 700
serve "$inner" 1100
local_file up.bin 1300
local_file up2.bin 600
get_ok hpa "$HPA" "$spaced" spaced.bin
get_ok at "$AT" "$spaced" spaced2.bin
get_ok hpa "$AT" "$latin" latin.bin
get_ok at "$HPA" "$latin" latin2.bin "${OPTS[@]}"
get_ok hpa "$HPA" "$inner" inner.bin
get_ok at "$AT" "$inner" inner2.bin
put_ok at "$HPA" up.bin "sub/new upload.bin"
put_ok hpa "$AT" up2.bin $'sub/\xe9t\xe9.bin'
finish "odd-names.pcapng: names with blanks, bytes above 0x7f and a slash into a subfolder," \
  "read and written against both servers, pcapng (dumpcap)"

# Loss: every 5th DATA or ACK of block 2 and on is dropped on arrival (it is
# still in the capture), so both sides time out and send again. Requests and
# first answers are spared, which keeps each request a single transfer.
u32_block2='0>>22&0x3C@8>>16=3:4&&0>>22&0x3C@8&0xFFFF=2:65535'
begin loss.pcap eth
netns_loss "$ns" 5 "$u32_block2"
serve lossy.bin 9000
local_file lossup.bin 8000
local_file lossup2.bin 7000
get_ok at "$HPA" lossy.bin lossy1.bin
(cd "$work/cl" && hpa_cmd "$AT" "get lossy.bin lossy2.bin")
same "$work/at/lossy.bin" "$work/cl/lossy2.bin"
expect r lossy.bin "$work/at/lossy.bin"
put_ok at "$AT" lossup.bin lossup.bin
(cd "$work/cl" && hpa_cmd "$HPA" "put lossup2.bin lossup2.bin")
same "$work/cl/lossup2.bin" "$work/hpa/lossup2.bin"
expect w lossup2.bin "$work/cl/lossup2.bin"
netns_netfilter_clear "$ns"
finish "loss.pcap: every 5th DATA/ACK past block 1 dropped on arrival, reads and writes" \
  "against both servers with both clients, retransmissions on both sides, Ethernet"

# Duplication: every 4th DATA or ACK is sent twice. atftpd runs without
# --prevent-sas, so a duplicated ACK makes it send the next blocks twice. The
# atftp client would do the same, and with every doubled block acknowledged
# twice by the server the doubling compounds (thousands of datagrams for a
# few blocks), so it is kept from it.
begin dup.pcap eth
netns_dup "$ns" 4 '0>>22&0x3C@8>>16=3:4'
serve dupped.bin 9000
local_file dupup.bin 8000
local_file dupup2.bin 7000
get_ok at "$AT" dupped.bin dup1.bin
(cd "$work/cl" && hpa_cmd "$HPA" "get dupped.bin dup2.bin")
same "$work/hpa/dupped.bin" "$work/cl/dup2.bin"
expect r dupped.bin "$work/hpa/dupped.bin"
put_ok at "$HPA" dupup.bin dupup.bin --prevent-sas
(cd "$work/cl" && hpa_cmd "$AT" "put dupup2.bin dupup2.bin")
same "$work/cl/dupup2.bin" "$work/at/dupup2.bin"
expect w dupup2.bin "$work/cl/dupup2.bin"
netns_netfilter_clear "$ns"
finish "dup.pcap: every 4th DATA/ACK sent twice, reads and writes against both servers," \
  "atftpd answering duplicated ACKs twice (sorcerer's apprentice), Ethernet"

# Fragments: 8192-byte blocks on a loopback with a 1500-byte MTU, so every
# full DATA arrives as six IPv4 fragments.
begin frag.pcap eth 1500
serve big.bin 40000
local_file bigup.bin 30000
local_file bigup2.bin 20000
B8K=(--option "blksize 8192" --option "tsize 0")
get_ok at "$HPA" big.bin big1.bin "${B8K[@]}"
get_ok at "$AT" big.bin big2.bin "${B8K[@]}"
put_ok at "$HPA" bigup.bin bigup.bin "${B8K[@]}"
put_ok at "$AT" bigup2.bin bigup2.bin "${B8K[@]}"
finish "frag.pcap: blksize 8192 on a 1500-byte MTU (every full DATA in fragments), a read and a write" \
  "against each server, Ethernet"

# More than 65535 blocks: 8-byte blocks (the smallest both servers accept),
# so the 16-bit block number wraps. tftpd-hpa wraps to 0 unless asked for
# "rollover 1"; atftpd and atftp (as the sender of a write) wrap to 0.
blocks=65600
wrapsize=$((blocks * 8 + 5))
B8=(--option "blksize 8")
# gzipped: each of these captures holds some 262,000 small datagrams (17 MB),
# which gzip shrinks to under a quarter.
gzipped() {
  gzip -9n <"$capfile" >"$out/$cap.gz"
  rm -f "$out/$cap"
}

# wraps_to CAPTURE N: checks that N transfers of the capture sent a DATA
# numbered 0, that is, went on from 65535 to 0 rather than to 1.
wraps_to() {
  local zeros
  zeros=$(tshark -r "$1" -Y 'udp && !icmp' -T fields -e udp.payload | grep -c '^00030000' || true)
  [ "$zeros" = "$2" ] || netns_die "$1: $zeros transfers wrapped to block 0, expected $2"
}
begin wrap-hpa.pcap eth
serve wrap.bin "$wrapsize"
get_ok at "$HPA" wrap.bin wrap0.bin "${B8[@]}"
netns_run "$ns" python3 "$here/rollover-get.py" "$HPA" wrap.bin "$work/cl/wrap1.bin" blksize 8 rollover 1
same "$work/hpa/wrap.bin" "$work/cl/wrap1.bin"
expect r wrap.bin "$work/hpa/wrap.bin"
label=wrap-hpa.pcap.gz
finish "wrap-hpa.pcap.gz: two reads of $blocks 8-byte blocks from tftpd-hpa: after 65535 the first" \
  "goes on with block 0 (the default), the second with block 1 (rollover 1); Ethernet, gzipped"
wraps_to "$capfile" 1
gzipped

begin wrap-atftpd.pcap eth
serve wrap.bin "$wrapsize"
local_file wrapup.bin "$wrapsize"
get_ok at "$AT" wrap.bin wrapa.bin "${B8[@]}"
put_ok at "$AT" wrapup.bin wrapup.bin "${B8[@]}"
label=wrap-atftpd.pcap.gz
finish "wrap-atftpd.pcap.gz: a read and a write of $blocks 8-byte blocks with atftpd and atftp," \
  "both wrapping from 65535 to block 0; Ethernet, gzipped"
wraps_to "$capfile" 2
gzipped

{
  echo "# Files that tftpcarve must reconstruct from each capture of real traffic."
  echo "# Made by tests/captures/make-real.sh; checked by tests/real/run-real.sh."
  echo "# <capture> <output file> <sha256> <size>; a capture must yield exactly its"
  echo "# files, and \"<capture> - - -\" means it must yield none. A .gz capture is"
  echo "# unpacked first."
  echo
  cat "$work/manifest"
} >"$out/manifest.txt"
say "done in $((SECONDS - started)) s"
