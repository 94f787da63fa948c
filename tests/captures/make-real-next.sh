#!/bin/bash
# SPDX-License-Identifier: BSD-2-Clause
# Makes the captures of real TFTP traffic in tests/captures/real-next/ and
# their manifest: traffic that tftpcarve is still being taught to read, kept
# apart from real/ so that the test run does not check it yet. Run as root on
# a Debian 12 machine with tftpd-hpa, tftp-hpa, atftp, tcpdump, tshark,
# iproute2, iptables and ethtool installed; atftpd is unpacked from its
# package on first use. Not part of the test run: the captures it makes are
# committed, and tests/real/run-real.sh checks them once pointed at
# real-next/.
#
#   windowed*   atftp and atftpd negotiating a window of blocks per ACK, on
#               the loopback of one namespace (as make-real.sh does)
#   ipv6*       tftpd-hpa at fd00::1 and its clients at fd00::2, in two
#               namespaces joined by a veth pair
#   vlan*, qinq tftpd-hpa at 10.9.0.1 and its clients at 10.9.0.2 behind two
#               "switches" (vlan-relay.py) that tag the frames on the link
#               between them
#
# The files sent are made from a seeded key stream, so each run sends the
# same bytes; the ports differ from run to run, and so do the output names in
# the manifest, which are read back from each capture with tshark.
#
# Usage: make-real-next.sh [OUTDIR]   (default: real-next/ beside this script)
# Environment: ATFTPD_DIR, where atftpd is unpacked (default /var/tmp/atftpd).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/netns-lib.sh"

out=${1:-$here/real-next}
work=$(mktemp -d /tmp/make-real-next.XXXXXX)
ns=tcnext$$
started=$SECONDS
label= args=

cleanup() {
  netns_cleanup
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

[ "$(id -u)" = 0 ] || netns_die "run as root"
for tool in in.tftpd tftp atftp tcpdump tshark iptables-legacy ethtool openssl python3; do
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

# ---------------------------------------------------------- the networks
#
# Each capture has one server and its clients: SNS is the server's namespace,
# CNS the clients', SRV the server's address, and CAP_NS and CAP_IF where the
# capture is taken (with -i any, all of CAP_NS). The server's files are in
# $work/srv and the clients' in $work/cl. NETS lists the namespaces made.

net_ns() {
  netns_create "$1"
  NETS+=("$1")
}

# net_lo: one namespace, everything on its loopback; atftpd at 127.0.0.3.
net_lo() {
  net_ns "$ns"
  SNS=$ns CNS=$ns SRV=127.0.0.3 CAP_NS=$ns CAP_IF=lo
  atftpd_start "$ns" "$work/srv" "$SRV"
  SERVER_PID=$ATFTPD_PID
}

# net_ipv6 [MTU]: the server's namespace ${ns}s (fd00::1 on v6s) and the
# clients' ${ns}c (fd00::2 on v6c), joined by a veth pair and captured at the
# client's end; tftpd-hpa at [fd00::1]:69. nodad: the addresses work at once
# instead of after duplicate address detection.
net_ipv6() {
  net_ns "${ns}s"
  net_ns "${ns}c"
  SNS=${ns}s CNS=${ns}c SRV=fd00::1 CAP_NS=${ns}c CAP_IF=v6c
  netns_veth "$SNS" v6s "$CNS" v6c "${1:-}"
  netns_run "$SNS" ip -6 addr add fd00::1/64 dev v6s nodad
  netns_run "$CNS" ip -6 addr add fd00::2/64 dev v6c nodad
  tftpd_hpa_start "$SNS" "$work/srv" "[fd00::1]" -6
  SERVER_PID=$TFTPD_HPA_PID
}

# net_vlan TAG...: client (10.9.0.2 on c0 in ${ns}c) - switch A (${ns}a) =
# trunk = switch B (${ns}b) - server (10.9.0.1 on s0 in ${ns}s), three veth
# pairs. This kernel has no 802.1Q support, so each switch is vlan-relay.py
# between its access port acc and its trunk port trk: every frame on the
# trunk carries TAG... (outermost first, TPID:VID), and the ends see plain
# Ethernet. Captured on switch A's trunk port. IPv6 is off in all four
# namespaces, which keeps its address set-up chatter off the trunk; what is
# left besides the transfers is ARP.
net_vlan() {
  local n sw
  for n in s a b c; do
    net_ns "$ns$n"
    netns_run "$ns$n" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
  done
  SNS=${ns}s CNS=${ns}c SRV=10.9.0.1 CAP_NS=${ns}a CAP_IF=trk
  netns_veth "$CNS" c0 "${ns}a" acc
  netns_veth "${ns}a" trk "${ns}b" trk
  netns_veth "${ns}b" acc "$SNS" s0
  netns_run "$SNS" ip addr add 10.9.0.1/24 dev s0
  netns_run "$CNS" ip addr add 10.9.0.2/24 dev c0
  for sw in a b; do
    netns_spawn "$ns$sw" python3 -u "$here/vlan-relay.py" acc trk "$@" >"$work/relay.$sw"
    RELAY_PIDS+=("$NETNS_LAST_PID")
  done
  for sw in a b; do
    for n in $(seq 50); do
      grep -q relaying "$work/relay.$sw" && break
      sleep 0.1
    done
    grep -q relaying "$work/relay.$sw" || netns_die "the relay in switch $sw did not start"
  done
  tftpd_hpa_start "$SNS" "$work/srv" "$SRV"
  SERVER_PID=$TFTPD_HPA_PID
}

# ---------------------------------------------------------- one capture

# begin NAME KIND NET [NET ARGS...]: fresh files, the network, and the
# capture (a capture_start KIND) running.
begin() {
  cap=$1
  capfile=$work/$cap
  table=$work/$cap.table
  : >"$table"
  rm -rf "$work/srv" "$work/cl"
  mkdir -p "$work/srv" "$work/cl"
  NETS=() RELAY_PIDS=()
  "net_$3" "${@:4}"
  capture_start "$CAP_NS" "$capfile" "$2" "$CAP_IF"
  say "$cap"
}

# serve NAME SIZE / local_file NAME SIZE: a file at the server, or at the
# client to be sent.
serve() { gen "$1" "$2" >"$work/srv/$1"; }
local_file() { gen "$1" "$2" >"$work/cl/$1"; }

# expect r|w NAME FILE: the transfer of NAME carries FILE's bytes.
expect() {
  echo "$1 $(hexname "$2") $(sha256sum <"$3" | cut -d' ' -f1) $(wc -c <"$3")" >>"$table"
}

# same A B: a transfer's copy must equal its source.
same() { cmp "$1" "$2" || netns_die "$cap: $2 differs from $1"; }

# Clients, in octet mode; atftp retransmits after 1 s. tftp-hpa needs -6 for
# an IPv6 server.
hpa() {
  local server=$1 six=()
  shift
  case $server in *:*) six=(-6) ;; esac
  (cd "$work/cl" && netns_run "$CNS" tftp "${six[@]}" "$server" -m octet -c "$@") || true
}
hpa_get() { hpa "$1" get "$2" "$3"; }
hpa_put() { hpa "$1" put "$2" "$3"; }
at_get() {
  local server=$1 remote=$2 loc=$3
  shift 3
  (cd "$work/cl" && netns_run "$CNS" atftp --tftp-timeout 1 "$@" -g -r "$remote" -l "$loc" "$server" >/dev/null 2>&1) || true
}
at_put() {
  local server=$1 loc=$2 remote=$3
  shift 3
  (cd "$work/cl" && netns_run "$CNS" atftp --tftp-timeout 1 "$@" -p -l "$loc" -r "$remote" "$server" >/dev/null 2>&1) || true
}

# get_ok CLIENT REMOTE LOCAL [ARGS...] / put_ok CLIENT LOCAL REMOTE [ARGS...]:
# a read or write against this capture's server; the copy must be right, and
# the transfer goes into the table.
get_ok() {
  local client=$1 remote=$2 loc=$3
  shift 3
  "${client}_get" "$SRV" "$remote" "$loc" "$@"
  same "$work/srv/$remote" "$work/cl/$loc"
  expect r "$remote" "$work/cl/$loc"
}
put_ok() {
  local client=$1 loc=$2 remote=$3
  shift 3
  "${client}_put" "$SRV" "$loc" "$remote" "$@"
  same "$work/cl/$loc" "$work/srv/$remote"
  expect w "$remote" "$work/cl/$loc"
}

# finish NOTE...: stops everything, keeps the capture and writes its lines
# into the manifest, after a comment line per NOTE and, when $args holds the
# options that tftpcarve needs for the capture, an "#args" line.
finish() {
  local note n
  capture_stop
  netns_stop "$SERVER_PID" "${RELAY_PIDS[@]}"
  for n in "${NETS[@]}"; do netns_delete "$n"; done
  for note in "$@"; do echo "# $note" >>"$work/manifest"; done
  [ -z "${args:-}" ] || echo "#args ${label:-$cap} $args" >>"$work/manifest"
  python3 "$here/expect.py" "$capfile" "$table" "${label:-$cap}" >>"$work/manifest"
  label= args=
  echo >>"$work/manifest"
  install -m 644 "$capfile" "$out/$cap"
}

# Checks of what a capture shows, run once finish has stopped it.

# frames FILTER [TSHARK OPTIONS...]: how many frames of this capture match a
# display filter.
frames() {
  local filter=$1
  shift
  tshark -r "$capfile" "$@" -Y "$filter" 2>/dev/null | wc -l
}

# at_least N FILTER WHAT: the capture must hold N frames or more that match
# FILTER, or the traffic is not what it is meant to show.
at_least() {
  local got
  got=$(frames "$2")
  [ "$got" -ge "$1" ] || netns_die "$cap: $got $3, expected at least $1"
}

# checksummed: every UDP checksum in the capture is filled and right (the
# veths' checksum offload is off).
checksummed() {
  local bad
  bad=$(frames 'udp.checksum.status != 1' -o udp.check_checksum:TRUE)
  [ "$bad" = 0 ] || netns_die "$cap: $bad datagrams without a right UDP checksum"
}

# gzipped: a capture of many small datagrams, kept as .gz.
gzipped() {
  gzip -9n <"$capfile" >"$out/$cap.gz"
  rm -f "$out/$cap"
}

: >"$work/manifest"

# -------------------------------------------------------- windowed blocks
#
# atftpd sends a window of N blocks, then waits for one ACK of the window's
# last block (or of the last block that arrived in order, and goes on from
# there); atftp as the sender of a write does the same.

begin windowed.pcap eth lo
serve window.bin 200000
serve whole.bin 204800
local_file winup.bin 150000
local_file winup2.bin 100000
get_ok at window.bin w4.bin --option "windowsize 4"
get_ok at window.bin w16.bin --option "windowsize 16"
get_ok at window.bin w4k.bin --option "windowsize 4" --option "blksize 1024"
get_ok at window.bin w16k.bin --option "windowsize 16" --option "blksize 1024" --option "tsize 0"
get_ok at whole.bin whole.bin --option "windowsize 8" --option "blksize 1024"
put_ok at winup.bin winup.bin --option "windowsize 8" --option "blksize 1024" --option "tsize 0"
put_ok at winup2.bin winup2.bin --option "windowsize 4"
finish "windowed.pcap: atftpd and atftp with windowsize (one ACK per window of blocks), Ethernet:" \
  "a 200000-byte file read with windowsize 4 and 16, each with 512- and 1024-byte blocks (one with tsize);" \
  "a 204800-byte file (200 x 1024) in windows of 8, so its empty last DATA is a window of its own;" \
  "writes of 150000 bytes (windowsize 8, blksize 1024, tsize) and 100000 bytes (windowsize 4)"
at_least 7 'tftp.opcode == 6 && tftp.option.name == "windowsize"' "OACKs with windowsize"

# Loss: every 7th DATA or ACK of block 2 and on is dropped on arrival (it is
# still in the capture). After a lost DATA the client acknowledges the last
# block it has in order, at once or after its 1 s timeout; after a lost ACK
# the server times out and sends its window again. Either way the server goes
# on from the block after the one acknowledged, so windows overlap and blocks
# are sent several times. Each timeout costs a second: the files are small.
u32_block2='0>>22&0x3C@8>>16=3:4&&0>>22&0x3C@8&0xFFFF=2:65535'
begin windowed-loss.pcap eth lo
netns_loss "$ns" 7 "$u32_block2"
serve winloss.bin 40000
get_ok at winloss.bin wl8.bin --option "windowsize 8" --option "blksize 1024"
get_ok at winloss.bin wl4.bin --option "windowsize 4"
netns_netfilter_clear "$ns"
finish "windowed-loss.pcap: two reads of a 40000-byte file from atftpd with windowsize 8 (blksize 1024)" \
  "and 4, every 7th DATA/ACK past block 1 dropped on arrival: windows resent from the block after" \
  "the last one acknowledged, overlapping, so blocks are sent several times; Ethernet"

# More than 65535 blocks, in windows. atftpd refuses options whose OACK
# would not fit in one block ("blksize 24 windowsize 8" just does; without
# windowsize 8-byte blocks do), and wraps the block number from 65535 to 0.
blocks=65600
B24=(--option "windowsize 8" --option "blksize 24")
begin windowed-wrap.pcap eth lo
serve winwrap.bin $((blocks * 24 + 5))
get_ok at winwrap.bin winwrap.bin "${B24[@]}"
label=windowed-wrap.pcap.gz
finish "windowed-wrap.pcap.gz: a read of $blocks 24-byte blocks from atftpd in windows of 8," \
  "the block number wrapping from 65535 to 0 (a window straddles the wrap); Ethernet, gzipped"
zeros=$(tshark -r "$capfile" -Y 'udp && !icmp' -T fields -e udp.payload 2>/dev/null | grep -c '^00030000' || true)
[ "$zeros" = 1 ] || netns_die "$cap: $zeros DATA numbered 0, expected 1"
gzipped

# ------------------------------------------------------------------- IPv6
#
# tftpd-hpa at fd00::1 and the clients at fd00::2 on the two ends of a veth
# pair, captured at the client's end.

begin ipv6.pcap eth ipv6
serve v6get.bin 3000
serve v6big.bin 20000
local_file v6put.bin 2500
local_file v6up.bin 9000
get_ok hpa v6get.bin v6get.bin
put_ok hpa v6put.bin v6put.bin
get_ok at v6big.bin v6big.bin --option "blksize 1428" --option "tsize 0"
put_ok at v6up.bin v6up.bin --option "blksize 1428" --option "tsize 0"
args="-6 -B"
finish "ipv6.pcap: tftpd-hpa at fd00::1, clients at fd00::2, over a veth pair (Ethernet, UDP checksums filled):" \
  "tftp-hpa read and write (512-byte blocks); atftp read and write with blksize 1428 and tsize (OACK)"
checksummed

# IPv6 routers do not fragment: a datagram larger than the path's MTU leaves
# its sender in fragments (a fragment header after the IPv6 header). 1280 is
# the smallest MTU IPv6 allows.
begin ipv6-frag.pcap eth ipv6 1280
serve v6frag.bin 40000
local_file v6fragup.bin 30000
get_ok at v6frag.bin v6frag.bin --option "blksize 4096" --option "tsize 0"
put_ok at v6fragup.bin v6fragup.bin --option "blksize 2048" --option "tsize 0"
args="-6 -B"
finish "ipv6-frag.pcap: over a veth with a 1280-byte MTU, atftp reads from tftpd-hpa with blksize 4096" \
  "and writes with blksize 2048: every full DATA in IPv6 fragments (from the server, then from the client); Ethernet"
checksummed
at_least 10 'ipv6.src == fd00::1 && ipv6.fraghdr' "fragments from the server"
at_least 10 'ipv6.src == fd00::2 && ipv6.fraghdr' "fragments from the client"

begin ipv6-sll2.pcap sll2 ipv6
serve v6small.bin 1500
local_file v6smallup.bin 1200
get_ok hpa v6small.bin v6small.bin
put_ok at v6smallup.bin v6smallup.bin --option "blksize 1428"
args="-6 -B"
finish "ipv6-sll2.pcap: a tftp-hpa read and an atftp write (blksize 1428) over IPv6, Linux cooked v2 (276)"
checksummed

# ------------------------------------------------------------------- VLAN
#
# tftpd-hpa at 10.9.0.1 and the clients at 10.9.0.2, behind two switches
# with a trunk between them on which every frame is tagged.

vlan_set() {
  serve vget.bin 5000
  serve vbig.bin 20000
  local_file vput.bin 4000
  get_ok hpa vget.bin vget.bin
  put_ok hpa vput.bin vput.bin
  get_ok at vbig.bin vbig.bin --option "blksize 1428" --option "tsize 0"
}

begin vlan.pcap eth vlan 0x8100:100
vlan_set
finish "vlan.pcap: 802.1Q tag (TPID 0x8100, VLAN 100) on every frame, captured on the trunk, Ethernet:" \
  "tftp-hpa read and write with tftpd-hpa at 10.9.0.1, and an atftp read with blksize 1428 and tsize"
at_least 10 'vlan.id == 100 && udp' "UDP datagrams tagged with VLAN 100"
checksummed

begin qinq.pcap eth vlan 0x88a8:200 0x8100:100
vlan_set
finish "qinq.pcap: the transfers of vlan.pcap with two tags on every frame, outer 0x88a8 VLAN 200" \
  "and inner 0x8100 VLAN 100 (QinQ), captured on the trunk, Ethernet"
at_least 10 'ieee8021ad.id == 200 && vlan.id == 100 && udp' "UDP datagrams tagged 200 (802.1ad) then 100"
checksummed

# Captured with -i any in switch A, the relay's namespace: each frame shows
# once as it crosses the access port, untagged, and once on the trunk, with
# the tag that a Linux cooked header (113) keeps.
begin vlan-sll.pcap sll vlan 0x8100:100
vlan_set
finish "vlan-sll.pcap: the transfers of vlan.pcap captured with tcpdump -i any -y LINUX_SLL (113) in the" \
  "switch that tags them: every datagram twice, once untagged from the access port and once with" \
  "the 0x8100 VLAN 100 tag from the trunk. Both copies have the same endpoints and bytes: a careful" \
  "tool writes one file per transfer, as listed; duplicate DATA and requests are expected"
tagged=$(frames 'vlan && udp')
plain=$(frames '!vlan && udp')
[ "$tagged" -gt 0 ] && [ "$tagged" = "$plain" ] ||
  netns_die "$cap: $tagged tagged and $plain untagged datagrams, expected as many of each"
checksummed

{
  echo "# Files that tftpcarve must reconstruct from each capture of real traffic"
  echo "# that it is still being taught to read: windowed transfers, IPv6, VLAN tags."
  echo "# Made by tests/captures/make-real-next.sh; checked, once the tool reads them,"
  echo "# by tests/real/run-real.sh TFTPCARVE tests/captures/real-next."
  echo "# <capture> <output file> <sha256> <size>; a capture must yield exactly its"
  echo "# files, and \"<capture> - - -\" means it must yield none. A .gz capture is"
  echo "# unpacked first. \"#args <capture> <option>...\" gives a capture's options (-B"
  echo "# where the UDP checksums were filled, so that they are checked too)."
  echo
  cat "$work/manifest"
} >"$out/manifest.txt"
say "done in $((SECONDS - started)) s"
