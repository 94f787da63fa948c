#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""One switch with an access port and a trunk port, for kernels without 802.1Q
support: frames that arrive on ACCESS leave on TRUNK with the given tags
inserted after the MAC addresses, and frames that arrive on TRUNK carrying
exactly those tags leave on ACCESS without them (frames of other VLANs and
untagged frames are dropped, as a switch port in one VLAN would).

Usage: vlan-relay.py ACCESS TRUNK TPID:VID [TPID:VID]...
Tags are given outermost first, e.g. 0x8100:100 for 802.1Q, or 0x88a8:200
0x8100:100 for a QinQ stack. Prints "relaying" once both ports are bound, and
runs until it is killed.

The receiving kernel takes the outermost tag off a frame before a packet
socket sees it and reports it beside the data (PACKET_AUXDATA), so the tag is
put back first, as libpcap does; a capture on the trunk then shows what the
relay sent.
"""
import select
import socket
import struct
import sys

ETH_P_ALL = 0x0003
SOL_PACKET = 263
PACKET_AUXDATA = 8
PACKET_OUTGOING = 4
TP_STATUS_VLAN_VALID = 1 << 4
TP_STATUS_VLAN_TPID_VALID = 1 << 6
AUXDATA = struct.Struct("=IIIHHHH")


def port(name):
    sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, 0)
    sock.setsockopt(SOL_PACKET, PACKET_AUXDATA, 1)
    sock.bind((name, ETH_P_ALL))
    return sock


def receive(sock):
    """The frame as it was on the wire, or None for one this host sent."""
    data, ancillary, _, addr = sock.recvmsg(65600, socket.CMSG_SPACE(AUXDATA.size))
    if addr[2] == PACKET_OUTGOING:
        return None
    for level, kind, value in ancillary:
        if level != SOL_PACKET or kind != PACKET_AUXDATA or len(value) < AUXDATA.size:
            continue
        status, _, _, _, _, tci, tpid = AUXDATA.unpack_from(value)
        if status & TP_STATUS_VLAN_VALID or tci:
            if not status & TP_STATUS_VLAN_TPID_VALID:
                tpid = 0x8100
            data = data[:12] + struct.pack("!HH", tpid, tci) + data[12:]
    return data


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    access, trunk = port(sys.argv[1]), port(sys.argv[2])
    stack = b""
    for tag in sys.argv[3:]:
        tpid, vid = tag.split(":")
        stack += struct.pack("!HH", int(tpid, 0), int(vid, 0))
    print("relaying", flush=True)
    while True:
        for sock in select.select([access, trunk], [], [])[0]:
            frame = receive(sock)
            if frame is None or len(frame) < 14:
                continue
            if sock is access:
                trunk.send(frame[:12] + stack + frame[12:])
            elif frame[12:12 + len(stack)] == stack:
                access.send(frame[:12] + frame[12 + len(stack):])


if __name__ == "__main__":
    main()
