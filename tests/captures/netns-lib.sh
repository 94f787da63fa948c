# SPDX-License-Identifier: BSD-2-Clause
# Helpers to run real TFTP servers, clients and packet captures inside a
# network namespace of their own, so that no traffic leaves the machine and
# nothing else on it sees or disturbs the transfers. Meant to be sourced by
# bash scripts run as root:
#
#   . tests/captures/netns-lib.sh
#   netns_cleanup_on_exit
#   netns_create tc1                     # lo up, with 127.0.0.2/8 and 127.0.0.3/8
#   tftpd_hpa_start tc1 /srv/root 127.0.0.2
#   capture_start tc1 out.pcap eth
#   netns_run tc1 tftp 127.0.0.2 -c get file local
#   capture_stop
#   netns_stop "$TFTPD_HPA_PID"
#
# Every process started here is remembered by its PID, and every namespace by
# its name; netns_cleanup (installed on EXIT by netns_cleanup_on_exit) stops
# those processes and deletes those namespaces, and nothing else.

NETNS_PIDS=()
NETNS_NAMES=()

netns_die() {
  echo "netns-lib: $*" >&2
  exit 1
}

# netns_create NAME [MTU]
# A fresh namespace whose loopback is up and also carries 127.0.0.2/8 and
# 127.0.0.3/8 (tftpd-hpa refuses to start on a loopback with one address, and
# two servers each get an address of their own). MTU, if given, is set on lo:
# 1500 makes every UDP datagram above 1472 bytes of payload leave as IPv4
# fragments.
netns_create() {
  local ns=$1 mtu=${2:-}
  ip netns add "$ns" || netns_die "cannot create namespace $ns"
  NETNS_NAMES+=("$ns")
  ip netns exec "$ns" ip link set lo up
  ip netns exec "$ns" ip addr add 127.0.0.2/8 dev lo
  ip netns exec "$ns" ip addr add 127.0.0.3/8 dev lo
  if [ -n "$mtu" ]; then
    ip netns exec "$ns" ip link set lo mtu "$mtu"
  fi
}

# netns_delete NAME: stops nothing; stop the namespace's processes first.
netns_delete() {
  local ns=$1 i
  ip netns delete "$ns" 2>/dev/null || true
  for i in "${!NETNS_NAMES[@]}"; do
    [ "${NETNS_NAMES[$i]}" = "$ns" ] && unset 'NETNS_NAMES[i]'
  done
  return 0
}

# netns_veth NS_A IF_A NS_B IF_B [MTU]
# A veth pair from IF_A in NS_A to IF_B in NS_B, both ends up (with MTU, if
# given). Transmit checksum offload is turned off on both ends: with it on, a
# veth hands its peer datagrams whose UDP checksum is never computed (the peer
# trusts them), so a capture would show unfilled checksums, and a frame
# relayed through a packet socket would be dropped by a receiver that checks.
netns_veth() {
  local a=$1 ia=$2 b=$3 ib=$4 mtu=${5:-}
  ip link add "$ia" netns "$a" type veth peer name "$ib" netns "$b" ||
    netns_die "cannot make the veth pair $a/$ia - $b/$ib"
  netns_veth_end "$a" "$ia" "$mtu"
  netns_veth_end "$b" "$ib" "$mtu"
}

netns_veth_end() {
  local ns=$1 dev=$2 mtu=$3
  ip netns exec "$ns" ethtool -K "$dev" tx off >/dev/null || netns_die "cannot turn off checksum offload on $dev"
  [ -n "$mtu" ] && ip netns exec "$ns" ip link set "$dev" mtu "$mtu"
  ip netns exec "$ns" ip link set "$dev" up
}

# netns_run NAME COMMAND...: runs a command in the namespace, in the foreground.
netns_run() {
  local ns=$1
  shift
  ip netns exec "$ns" "$@"
}

# netns_spawn NAME COMMAND...: starts a command in the namespace in the
# background and sets NETNS_LAST_PID to its PID (`ip netns exec` execs the
# command, so that PID is the command's own).
netns_spawn() {
  local ns=$1
  shift
  ip netns exec "$ns" "$@" &
  NETNS_LAST_PID=$!
  NETNS_PIDS+=("$NETNS_LAST_PID")
}

# netns_stop PID...: ends processes started by netns_spawn and reaps them.
netns_stop() {
  local pid i
  for pid in "$@"; do
    [ -n "$pid" ] || continue
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    for i in "${!NETNS_PIDS[@]}"; do
      [ "${NETNS_PIDS[$i]}" = "$pid" ] && unset 'NETNS_PIDS[i]'
    done
  done
  return 0
}

netns_cleanup() {
  local pid ns
  for pid in "${NETNS_PIDS[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  NETNS_PIDS=()
  for ns in "${NETNS_NAMES[@]}"; do
    ip netns delete "$ns" 2>/dev/null || true
  done
  NETNS_NAMES=()
}

netns_cleanup_on_exit() {
  trap netns_cleanup EXIT
  trap 'exit 130' INT TERM
}

# netns_wait_udp NAME ADDR PORT: waits (at most 5 s) until something in the
# namespace listens on ADDR:PORT/udp.
netns_wait_udp() {
  local ns=$1 addr=$2 port=$3 i
  for i in $(seq 50); do
    if ip netns exec "$ns" ss -H -uln "src $addr:$port" | grep -q .; then
      return 0
    fi
    sleep 0.1
  done
  netns_die "nothing listens on $addr:$port/udp in $ns"
}

# tftpd_hpa_start NAME ROOT [ADDR] [EXTRA ARGS...]
# tftpd-hpa in the foreground, serving ROOT on ADDR:69 (default 127.0.0.2),
# uploads allowed (-c), as root so that it can write into ROOT. For IPv6,
# ADDR is in brackets and -6 is among the extra arguments. Sets TFTPD_HPA_PID.
tftpd_hpa_start() {
  local ns=$1 root=$2 addr=${3:-127.0.0.2}
  shift 3 2>/dev/null || shift $#
  netns_spawn "$ns" in.tftpd -L -a "$addr:69" -s "$root" -c -u root "$@"
  TFTPD_HPA_PID=$NETNS_LAST_PID
  netns_wait_udp "$ns" "$addr" 69
}

# atftpd_fetch DIR: atftpd cannot be installed beside tftpd-hpa (the packages
# conflict), so its binary is unpacked from the Debian package into DIR.
# Sets ATFTPD to the binary's path.
atftpd_fetch() {
  local dir=$1
  ATFTPD=$dir/usr/sbin/atftpd
  [ -x "$ATFTPD" ] && return 0
  mkdir -p "$dir/deb"
  (cd "$dir/deb" && apt-get download atftpd) >/dev/null || netns_die "cannot download atftpd"
  dpkg-deb -x "$dir"/deb/atftpd_*.deb "$dir" || netns_die "cannot unpack atftpd"
  [ -x "$ATFTPD" ] || netns_die "no atftpd in the package"
}

# atftpd_start NAME ROOT [ADDR] [EXTRA ARGS...]
# atftpd (from atftpd_fetch) in the foreground on ADDR:69 (default 127.0.0.3),
# retransmitting after 1 s. Without --prevent-sas among the extra arguments it
# answers a duplicated ACK with a duplicated DATA (sorcerer's apprentice).
# Sets ATFTPD_PID.
atftpd_start() {
  local ns=$1 root=$2 addr=${3:-127.0.0.3}
  shift 3 2>/dev/null || shift $#
  [ -n "${ATFTPD:-}" ] || netns_die "call atftpd_fetch first"
  netns_spawn "$ns" "$ATFTPD" --daemon --no-fork --port 69 --bind-address "$addr" \
    --user root --group root --no-multicast --retry-timeout 1 --logfile /dev/null "$@" "$root"
  ATFTPD_PID=$NETNS_LAST_PID
  netns_wait_udp "$ns" "$addr" 69
}

# capture_start NAME FILE KIND [IFACE]
# Captures everything on the namespace's loopback (or on IFACE, for eth and
# pcapng) into FILE. KIND:
#   eth     tcpdump -i lo: pcap, Ethernet (link type 1)
#   sll     tcpdump -i any -y LINUX_SLL: pcap, Linux cooked (113)
#   sll2    tcpdump -i any: pcap, Linux cooked v2 (276)
#   pcapng  dumpcap -i lo: pcapng, Ethernet
# Returns once the capture is running. Sets CAPTURE_PID and CAPTURE_LOG.
capture_start() {
  local ns=$1 file=$2 kind=$3 iface=${4:-lo} ready i
  CAPTURE_LOG=$file.log
  CAPTURE_KIND=$kind
  rm -f "$file" "$CAPTURE_LOG"
  case $kind in
    eth) netns_spawn "$ns" tcpdump -i "$iface" -U -B 32768 -w "$file" 2>"$CAPTURE_LOG" ;;
    sll) netns_spawn "$ns" tcpdump -i any -y LINUX_SLL -U -B 32768 -w "$file" 2>"$CAPTURE_LOG" ;;
    sll2) netns_spawn "$ns" tcpdump -i any -U -B 32768 -w "$file" 2>"$CAPTURE_LOG" ;;
    pcapng) netns_spawn "$ns" dumpcap -q -i "$iface" -B 32 -w "$file" 2>"$CAPTURE_LOG" ;;
    *) netns_die "unknown capture kind $kind" ;;
  esac
  CAPTURE_PID=$NETNS_LAST_PID
  case $kind in
    pcapng) ready='Capturing on' ;;
    *) ready='listening on' ;;
  esac
  for i in $(seq 100); do
    grep -q "$ready" "$CAPTURE_LOG" 2>/dev/null && return 0
    kill -0 "$CAPTURE_PID" 2>/dev/null || break
    sleep 0.1
  done
  cat "$CAPTURE_LOG" >&2
  netns_die "capture did not start"
}

# capture_stop: lets the last packets reach the file, stops the capture and
# fails if the kernel dropped any packet.
capture_stop() {
  sleep 1.5
  kill -INT "$CAPTURE_PID"
  wait "$CAPTURE_PID" 2>/dev/null || true
  netns_stop "$CAPTURE_PID"
  case $CAPTURE_KIND in
    pcapng) grep -Eq "dropped on interface.*/0 " "$CAPTURE_LOG" ;;
    *) grep -q '^0 packets dropped by kernel' "$CAPTURE_LOG" ;;
  esac || { cat "$CAPTURE_LOG" >&2; netns_die "the capture lost packets"; }
}

# netns_loss NAME EVERY [EXCLUDE_U32]
# Drops every EVERY-th UDP datagram on arrival (raw PREROUTING), a repeatable
# pattern. Dropping on arrival keeps the lost datagram in a capture of lo, as
# a capture at the sender would show it; dropping on the way out would make
# the sender's send fail instead. Requests to port 69 are never dropped.
# An optional u32 expression narrows the datagrams that are counted.
netns_loss() {
  local ns=$1 every=$2 u32=${3:-}
  local match=()
  [ -n "$u32" ] && match=(-m u32 --u32 "$u32")
  ip netns exec "$ns" iptables-legacy -t raw -A PREROUTING -i lo -p udp '!' --dport 69 "${match[@]}" \
    -m statistic --mode nth --every "$every" --packet 0 -j DROP
}

# netns_dup NAME EVERY [EXCLUDE_U32]
# Sends every EVERY-th UDP datagram twice (a TEE copy in mangle POSTROUTING).
# Requests to port 69 are never duplicated.
netns_dup() {
  local ns=$1 every=$2 u32=${3:-}
  local match=()
  [ -n "$u32" ] && match=(-m u32 --u32 "$u32")
  ip netns exec "$ns" iptables-legacy -t mangle -A POSTROUTING -o lo -p udp '!' --dport 69 "${match[@]}" \
    -m statistic --mode nth --every "$every" --packet 0 -j TEE --gateway 127.0.0.1
}

# netns_netfilter_clear NAME: removes every loss and duplication rule.
netns_netfilter_clear() {
  local ns=$1
  ip netns exec "$ns" iptables-legacy -t raw -F
  ip netns exec "$ns" iptables-legacy -t mangle -F
}
