#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Prints the manifest lines of one capture: the file that each transfer in it
must be reconstructed into, named after its endpoints, and that file's SHA-256
and size.

Usage: expect.py CAPTURE TABLE [NAME]

The endpoints are read from the capture with tshark (the client and server
ports are picked by the kernel and the servers, so they are only known
afterwards). TABLE tells what each transfer carried, one line per file:
    r|w  <file name in hex>  <sha256>  <size>
"r" for a read request of that name, "w" for a write request. A request whose
name is not in TABLE for its direction (such as a request for a missing file)
must yield no file. NAME is the capture's name in the manifest (default: the
base name of CAPTURE).
"""
import ipaddress
import os
import subprocess
import sys


def datagrams(capture):
    # Only one of the IPv4 and IPv6 address pairs is filled for a datagram.
    fields = ["ip.src", "ipv6.src", "udp.srcport", "ip.dst", "ipv6.dst", "udp.dstport", "udp.payload"]
    cmd = ["tshark", "-r", capture, "-Y", "udp && !icmp && !icmpv6", "-T", "fields", "-E", "separator=/t"]
    for f in fields:
        cmd += ["-e", f]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    for line in out.splitlines():
        src4, src6, sport, dst4, dst6, dport, payload = line.split("\t")
        yield src4 or src6, int(sport), dst4 or dst6, int(dport), bytes.fromhex(payload.replace(":", ""))


def dotted(addr, port):
    if ":" in addr:
        host = ipaddress.IPv6Address(addr).exploded.replace(":", ".")
    else:
        host = ".".join("%03d" % int(b) for b in addr.split("."))
    return "%s.%05d" % (host, port)


def sanitised(name):
    return "".join(chr(b) if chr(b).isascii() and (chr(b).isalnum() or b == ord(".")) else "_" for b in name)


def main():
    capture, table = sys.argv[1], sys.argv[2]
    label = sys.argv[3] if len(sys.argv) > 3 else os.path.basename(capture)
    carried = {}
    with open(table) as f:
        for line in f:
            op, name, sha, size = line.split()
            carried[(op, bytes.fromhex(name))] = (sha, size)

    transfers = []  # [op, name, client addr, client port, server addr, server port or None]
    for src, sport, dst, dport, payload in datagrams(capture):
        if len(payload) >= 4 and payload[0] == 0 and payload[1] in (1, 2) and dport == 69:
            op = "r" if payload[1] == 1 else "w"
            name = payload[2:].split(b"\0")[0]
            # A request repeated before any answer is the same transfer.
            if not any(t[2:4] == [src, sport] and t[4] == dst and t[5] is None for t in transfers):
                transfers.append([op, name, src, sport, dst, None])
            continue
        for t in reversed(transfers):
            if t[4] == src and t[2] == dst and t[3] == dport and t[5] is None:
                t[5] = sport
                break

    names = {}
    for op, name, caddr, cport, saddr, sport in transfers:
        if (op, name) not in carried:
            continue
        if sport is None:
            sys.exit("%s: no answer to the %s request for %r" % (capture, op, name))
        out = "%s-%s-%s" % (dotted(caddr, cport), dotted(saddr, sport), sanitised(name))
        if out in names:
            sys.exit("%s: two transfers would both be written to %s" % (capture, out))
        names[out] = carried[(op, name)]
    if not names:
        print("%s - - -" % label)
    for out in sorted(names):
        print("%s %s %s %s" % (label, out, *names[out]))


if __name__ == "__main__":
    main()
