#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Reads one file over TFTP with request options that the packaged clients do
not send: atftp refuses option names it does not know, and tftp-hpa sends no
options at all, so neither can ask tftpd-hpa to wrap its block number to 1
("rollover 1") instead of 0.

Usage: rollover-get.py SERVER REMOTE LOCAL [NAME VALUE]...
Exits 0 once the whole file is in LOCAL.
"""
import socket
import struct
import sys


def main():
    server, remote, local = sys.argv[1:4]
    pairs = sys.argv[4:]
    request = b"\0\1" + remote.encode() + b"\0octet\0" + b"".join(p.encode() + b"\0" for p in pairs)
    blksize, rollover = 512, 0
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.settimeout(1.0)
    sock.sendto(request, (server, 69))
    last_sent, tid = (request, (server, 69)), None
    expected, out, tries = 1, bytearray(), 0
    while True:
        try:
            packet, peer = sock.recvfrom(65536)
        except socket.timeout:
            tries += 1
            if tries > 10:
                sys.exit("timed out")
            sock.sendto(*last_sent)
            continue
        tries = 0
        if tid is None:
            tid = peer
        elif peer != tid:
            continue
        op = struct.unpack("!H", packet[:2])[0]
        if op == 5:
            sys.exit("error %d: %s" % (struct.unpack("!H", packet[2:4])[0], packet[4:].rstrip(b"\0").decode()))
        if op == 6:
            fields = packet[2:].split(b"\0")
            for name, value in zip(fields[0::2], fields[1::2]):
                if name.lower() == b"blksize":
                    blksize = int(value)
                elif name.lower() == b"rollover":
                    rollover = int(value)
            ack = (b"\0\4\0\0", tid)
        elif op == 3:
            block = struct.unpack("!H", packet[2:4])[0]
            if block != expected:
                sock.sendto(*last_sent)
                continue
            out += packet[4:]
            ack = (b"\0\4" + packet[2:4], tid)
            expected = expected + 1 if expected < 65535 else rollover
            if len(packet) - 4 < blksize:
                sock.sendto(*ack)
                break
        else:
            continue
        sock.sendto(*ack)
        last_sent = ack
    with open(local, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
