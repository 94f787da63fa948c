#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Writes a capture of read requests that nobody answers, from as many
requester endpoints, evenly spread over a span of capture time: what any
host on a network can send. Raw IPv4 link type, microsecond timestamps.

usage: gen_unanswered.py OUT.pcap REQUESTS SECONDS
"""

import struct
import sys


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def packet(i, payload):
    src = bytes([10, (i >> 16) & 255, (i >> 8) & 255, i & 255])
    dst = bytes([192, 168, 0, 1])
    sport = 1024 + (i * 7919) % 60000
    udp = struct.pack("!HHHH", sport, 69, 8 + len(payload), 0) + payload
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), i & 0xFFFF, 0, 64, 17, 0, src, dst)
    header = header[:10] + struct.pack("!H", checksum(header)) + header[12:]
    return header + udp


def main():
    path, requests, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    gap_us = int(seconds * 1e6 / requests)
    start_us = 1700000000 * 1000000
    with open(path, "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101))  # raw IP
        for i in range(requests):
            name = b"pxelinux.cfg/01-%012x" % i
            raw = packet(i, b"\0\x01" + name + b"\0octet\0")
            us = start_us + i * gap_us
            out.write(struct.pack("<IIII", us // 1000000, us % 1000000, len(raw), len(raw)))
            out.write(raw)


if __name__ == "__main__":
    main()
