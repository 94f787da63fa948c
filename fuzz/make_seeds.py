#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Writes the seed captures of the fuzz corpus and converts them, with the
captures under tests/captures/, into inputs of fuzz_frames.

usage: make_seeds.py FRAMES_PCAP   (the converter built with the fuzz targets)
"""

import hashlib
import os
import socket
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "hostile"))
import pcapgen as g  # noqa: E402

C, S = "10.0.0.1", "10.0.0.2"


def read_transfer(link):
    cap = g.Capture(link)
    cap.udp(C, 1025, S, 69, g.rrq("boot/pxelinux.0", "octet", [("blksize", "512"), ("tsize", "0")]))
    cap.udp(S, 3000, C, 1025, g.oack([("blksize", "512"), ("tsize", "1300")]))
    cap.udp(C, 1025, S, 3000, g.ack(0))
    content = (bytes(range(256)) * 6)[:1300]
    blocks = [content[i:i + 512] for i in range(0, 1300, 512)]
    for n, block in enumerate(blocks, 1):
        cap.udp(S, 3000, C, 1025, g.data(n, block))
        cap.udp(C, 1025, S, 3000, g.ack(n))
    return cap


def write_transfer_oack():
    cap = g.Capture()
    cap.udp(C, 2000, S, 69, g.wrq("up.txt", "netascii", [("blksize", "8"), ("timeout", "3"), ("tsize", "20")]))
    cap.udp(S, 4000, C, 2000, g.oack([("blksize", "8"), ("timeout", "3"), ("tsize", "20")]))
    text = b"hello, tftp world!!\n"
    for n in range(3):
        cap.udp(C, 2000, S, 4000, g.data(n + 1, text[n * 8:n * 8 + 8]))
        cap.udp(S, 4000, C, 2000, g.ack(n + 1))
    cap.udp(C, 2001, S, 69, g.rrq("missing", "mail"))
    cap.udp(S, 4001, C, 2001, g.error(1, "File not found"))
    return cap


def fragments():
    cap = g.Capture()
    cap.udp(C, 1030, S, 69, g.rrq("big.bin", "octet", [("blksize", "1468")]))
    cap.udp(S, 3100, C, 1030, g.oack([("blksize", "1468")]))
    cap.udp(C, 1030, S, 3100, g.ack(0))
    datagram = g.udp(S, 3100, C, 1030, g.data(1, bytes(i % 251 for i in range(1468))))
    # Three pieces, out of order, one overlapping, one duplicated.
    cap.ip(g.ipv4(S, C, datagram[800:], ident=77, offset_units=100))
    cap.ip(g.ipv4(S, C, datagram[0:600], ident=77, more=True))
    cap.ip(g.ipv4(S, C, datagram[0:600], ident=77, more=True))
    cap.ip(g.ipv4(S, C, datagram[592:800], ident=77, offset_units=74, more=True))
    cap.udp(C, 1030, S, 3100, g.ack(1))
    cap.udp(S, 3100, C, 1030, g.data(2, b"tail"))
    # An incomplete datagram left to the end of the run.
    cap.ip(g.ipv4(S, C, b"x" * 64, ident=78, offset_units=10))
    return cap


def broadcast_and_options():
    cap = g.Capture(g.LINK_RAW)
    cap.udp(C, 1040, "255.255.255.255", 69, g.rrq("../etc/passwd", "NETASCII"))
    cap.udp(S, 3200, C, 1040, g.data(1, b"root:x:0:0\n"))
    cap.ip(g.ipv4(C, S, g.udp(C, 1041, S, 69, g.rrq("opt", "octet")), options=b"\x83\x07\x04\x0a\x00\x00\x03\x00"))
    return cap


def many_open_files():
    # More transfers in progress than fuzz_frames leaves descriptors for, one
    # of them renamed after its file was created (its server first answers
    # from port 0).
    cap = g.Capture(g.LINK_RAW)
    cap.udp(C, 1999, S, 69, g.wrq("renamed"))
    cap.udp(C, 1999, S, 0, g.data(1, b"r" * 512))
    cap.udp(S, 0, C, 1999, g.ack(1))
    for i in range(40):
        cap.udp(C, 2000 + i, S, 69, g.rrq("m%d" % i))
        cap.udp(S, 5000 + i, C, 2000 + i, g.data(1, b"m" * 512))
        cap.udp(C, 2000 + i, S, 5000 + i, g.ack(1))
    cap.udp(S, 3999, C, 1999, g.ack(1))
    cap.udp(C, 1999, S, 3999, g.data(2, b"s" * 512))
    cap.udp(S, 3999, C, 1999, g.ack(2))
    for i in range(40):
        cap.udp(S, 5000 + i, C, 2000 + i, g.data(2, b"n"))
    return cap


# VLAN tags and IPv6, which the pcapgen helpers do not make.
def tagged(frame, tpids, type_at=12):
    tags = b"".join(struct.pack("!HH", tpid, 100 + i) for i, tpid in enumerate(tpids))
    return frame[:type_at] + tags + frame[type_at:]


def addr6(text):
    return socket.inet_pton(socket.AF_INET6, text)


def udp6(src, sport, dst, dport, payload, fill_checksum=True, pseudo_dst=None):
    length = 8 + len(payload)
    datagram = struct.pack("!HHHH", sport, dport, length, 0) + payload
    if fill_checksum:
        pseudo = addr6(src) + addr6(pseudo_dst or dst) + struct.pack("!II", length, 17)
        value = g.checksum(pseudo + datagram) or 0xFFFF
        datagram = datagram[:6] + struct.pack("!H", value) + datagram[8:]
    return datagram


def ipv6(src, dst, payload, first=17):
    return struct.pack("!IHBB", 0x60000000, len(payload), first, 64) + addr6(src) + addr6(dst) + payload


def options6(nxt, length=8):
    return struct.pack("!BBBB", nxt, length // 8 - 1, 1, length - 4) + b"\0" * (length - 4)


def routing6(nxt, segments_left, addresses):
    return struct.pack("!BBBB", nxt, 2 * len(addresses), 0, segments_left) + b"\0" * 4 + \
        b"".join(addr6(a) for a in addresses)


def fragment6(nxt, offset_units, more, ident):
    return struct.pack("!BBHI", nxt, 0, offset_units << 3 | (1 if more else 0), ident)


C6, S6 = "fd00::2", "fd00::1"


def ethernet6(packet):
    return g.ethernet(packet)[:12] + b"\x86\xdd" + packet


def vlan_transfer():
    # Two tags on every frame, and a frame with more tags than are taken off.
    cap = g.Capture(g.LINK_ETHERNET)
    for raw, in ((f,) for f, _, _ in read_transfer(g.LINK_ETHERNET).records):
        cap.frame(tagged(raw, [0x88A8, 0x8100]))
    cap.frame(tagged(g.ethernet(g.ip_udp(C, 1099, S, 69, g.rrq("deep"))), [0x8100] * 9))
    return cap


def vlan_sll():
    # Linux cooked v1 as tcpdump -i any writes it: each datagram untagged
    # and again with its tag after the cooked header.
    cap = g.Capture(113)
    for raw, _, _ in read_transfer(g.LINK_RAW).records:
        sll = b"\0\0\0\x01\0\x06" + b"\x02\0\0\0\0\x01" + b"\0\0"
        cap.frame(sll + b"\x08\x00" + raw)
        cap.frame(sll + b"\x81\x00" + struct.pack("!H", 100) + b"\x08\x00" + raw)
    return cap


def ipv6_transfer():
    # Extension headers, a routing header naming the final destination, the
    # DATA in pieces out of order with options behind the fragment header,
    # a zero checksum, and a datagram left incomplete.
    cap = g.Capture(g.LINK_ETHERNET)
    request = udp6(C6, 1025, S6, 69, g.rrq("boot.efi", "octet", [("blksize", "1400")]), pseudo_dst="fd00::9")
    cap.frame(ethernet6(ipv6(C6, S6, options6(43) + routing6(17, 1, ["fd00::9"]) + request, 0)))
    block = bytes(i % 251 for i in range(1400))
    fragmentable = options6(17) + udp6(S6, 3000, C6, 1025, g.data(1, block))
    pieces = [(0, 600), (592, 600), (1184, len(fragmentable) - 1184)]
    for start, n in (pieces[2], pieces[0], pieces[1], pieces[1]):
        more = start + n < len(fragmentable)
        cap.frame(ethernet6(ipv6(S6, C6, fragment6(60, start // 8, more, 0x1234) + fragmentable[start:start + n], 44)))
    cap.frame(ethernet6(ipv6(C6, S6, udp6(C6, 1025, S6, 3000, g.ack(1)), 17)))
    cap.frame(ethernet6(ipv6(S6, C6, udp6(S6, 3000, C6, 1025, g.data(2, b"tail"), fill_checksum=False))))
    cap.frame(ethernet6(ipv6(C6, S6, udp6(C6, 1025, S6, 3000, g.ack(2)))))
    cap.frame(ethernet6(ipv6(S6, C6, fragment6(17, 10, True, 0x5678) + b"x" * 64, 44)))
    return cap


MAX_SEED = 16384  # longer inputs are cut at a frame boundary: they only slow the fuzzer


def frames_input(flags, frames, link=1, levels=0x0B):
    """An input of fuzz_frames made directly: Ethernet frames by default."""
    body = b"".join(struct.pack(">HH", len(raw), 0) + raw for raw in frames)
    return bytes([link, flags, levels]) + body


def window_frames(window, blksize, blocks):
    """A read whose OACK sets `window` and `blksize`, then DATA numbered
    `blocks` (wire numbers) and the ACK of the last."""
    options = [("blksize", blksize), ("windowsize", window)]
    frames = [g.ethernet(g.ip_udp(C, 1025, S, 69, g.rrq("w", "octet", options))),
              g.ethernet(g.ip_udp(S, 3000, C, 1025, g.oack(options))),
              g.ethernet(g.ip_udp(C, 1025, S, 3000, g.ack(0)))]
    size = max(1, min(int(blksize) if blksize.lstrip("-").isdigit() else 8, 64))
    for n in blocks:
        frames.append(g.ethernet(g.ip_udp(S, 3000, C, 1025, g.data(n & 0xFFFF, bytes([n & 0xFF]) * size))))
    frames.append(g.ethernet(g.ip_udp(S, 3000, C, 1025, g.data((blocks[-1] + 1) & 0xFFFF, b"end"))))
    frames.append(g.ethernet(g.ip_udp(C, 1025, S, 3000, g.ack((blocks[-1] + 1) & 0xFFFF))))
    return frames


def overlapping6():
    """IPv6 fragments of one datagram that overlap in every way: inside,
    across the next piece's start, a copy with other bytes, an exact copy."""
    fragmentable = udp6(S6, 3000, C6, 1025, g.data(1, bytes(range(256)) * 4))
    pieces = [(0, 512, True), (256, 64, True), (504, 16, True), (512, 512, True), (1024, len(fragmentable) - 1024, False)]
    frames = []
    for start, n, more in pieces + [(512, 512, True)]:
        frames.append(ethernet6(ipv6(S6, C6, fragment6(17, start // 8, more, 0x9abc) + fragmentable[start:start + n], 44)))
    changed = bytearray(fragmentable)
    changed[600] ^= 0xFF
    frames.append(ethernet6(ipv6(S6, C6, fragment6(17, 64, True, 0x9abd) + bytes(changed[512:1024]), 44)))
    frames.append(ethernet6(ipv6(S6, C6, fragment6(17, 64, True, 0x9abd) + fragmentable[512:1024], 44)))
    return frames


def wild_shapes():
    """Huge windows across the wrap, option values out of range, and IPv6
    fragments that overlap: inputs written directly, small enough to keep."""
    corpus = os.path.join(HERE, "corpus", "frames")
    os.makedirs(corpus, exist_ok=True)
    inputs = [
        frames_input(0, window_frames("65535", "8", [1, 65535, 0, 1, 2])),
        frames_input(0, window_frames("32769", "8", [1, 32769, 32770, 65535, 0, 2])),
        frames_input(0, window_frames("40000", "256", [1, 2, 40000, 40001, 65535, 0, 14464])),
        frames_input(0x20, window_frames("65535", "8", [1, 3, 2, 65535, 2, 0, 1, 3])),
        frames_input(0, window_frames("4", "-1", [60000])),
        frames_input(0, window_frames("4", "70000", [3, 1, 2])),
        frames_input(0, window_frames("4294967300", "4294967304", [1, 2, 3])),
        frames_input(0, window_frames("-5", "4", [2, 1, 3])),
        frames_input(0x40, overlapping6()),
        frames_input(0x60, overlapping6()),
    ]
    for blob in inputs:
        blob = cut(blob)
        with open(os.path.join(corpus, hashlib.sha1(blob).hexdigest()), "wb") as out:
            out.write(blob)


def cut(blob):
    at = 3
    while at + 4 <= len(blob):
        caplen = int.from_bytes(blob[at:at + 2], "big")
        if at + 4 + caplen > MAX_SEED:
            break
        at += 4 + caplen
    return blob[:at]


def main():
    request_seeds()
    wild_shapes()
    converter = sys.argv[1]
    captures = os.path.join(HERE, "captures")
    corpus = os.path.join(HERE, "corpus", "frames")
    os.makedirs(captures, exist_ok=True)
    os.makedirs(corpus, exist_ok=True)
    own = {
        "read-ethernet.pcap": read_transfer(g.LINK_ETHERNET),
        "read-raw.pcap": read_transfer(g.LINK_RAW),
        "write-oack.pcap": write_transfer_oack(),
        "fragments.pcap": fragments(),
        "broadcast-options.pcap": broadcast_and_options(),
        "many-open-files.pcap": many_open_files(),
        "vlan-qinq.pcap": vlan_transfer(),
        "vlan-sll.pcap": vlan_sll(),
        "ipv6-headers.pcap": ipv6_transfer(),
    }
    for name, cap in own.items():
        cap.write(os.path.join(captures, name))
    sources = [os.path.join(captures, n) for n in sorted(own)]
    for folder in ("real", "regress"):
        path = os.path.join(ROOT, "tests", "captures", folder)
        if os.path.isdir(path):
            sources += [os.path.join(path, n) for n in sorted(os.listdir(path))
                        if n.endswith((".pcap", ".pcapng"))]
    # Each capture with a few option sets: flags, then verbose | debug << 2.
    # 0x20 has the indexes take over from the first record and piece.
    option_sets = [(0, 0x0B), (0x0A, 0x1B), (0x15, 0x01), (0x04, 0x03), (0x20, 0x0B)]
    # 0x40 is -6; 0x80 runs the "udp" filter as the tool does.
    reach_sets = [(0x40, 0x0B), (0xC0, 0x0B), (0x61, 0x1B), (0x80, 0x0B)]
    reach = [os.path.join(captures, n) for n in ("vlan-qinq.pcap", "vlan-sll.pcap", "ipv6-headers.pcap")]
    path = os.path.join(ROOT, "tests", "captures", "real-next")
    if os.path.isdir(path):
        reach += [os.path.join(path, n) for n in sorted(os.listdir(path)) if n.startswith(("ipv6", "vlan", "qinq"))]
    for source in sources + reach:
        for flags, levels in option_sets + (reach_sets if source in reach else []):
            tmp = os.path.join(corpus, ".tmp")
            if subprocess.run([converter, "to-input", source, tmp, str(flags), str(levels)]).returncode:
                break
            blob = cut(open(tmp, "rb").read())
            os.remove(tmp)
            with open(os.path.join(corpus, hashlib.sha1(blob).hexdigest()), "wb") as out:
                out.write(blob)
    # Link types with no capture of their own: one short exchange each.
    for selector, header in ((0, struct.pack("<I", 2)), (0, struct.pack(">I", 2)), (2, g.ethernet(b"")[:14]),
                             (3, b"\xff\x03\x00\x21"), (5, b"\0" * 14 + b"\x08\x00"),
                             (6, b"\x08\x00" + b"\0" * 18)):
        frames = b""
        for packet in (g.ip_udp(C, 1050, S, 69, g.rrq("f", "octet")),
                       g.ip_udp(S, 3300, C, 1050, g.data(1, b"abc"))):
            raw = header + packet
            frames += struct.pack(">HH", len(raw), 0) + raw
        blob = bytes([selector, 0, 0x0B]) + frames
        with open(os.path.join(corpus, hashlib.sha1(blob).hexdigest()), "wb") as out:
            out.write(blob)
    # The same over IPv6, with -6 and through the filter.
    for selector, header in ((0, struct.pack("<I", 24)), (0, struct.pack(">I", 30)), (0, struct.pack("<I", 10)),
                             (1, g.ethernet(b"")[:12] + b"\x86\xdd"),
                             (2, g.ethernet(b"")[:12] + b"\0\x5a\xaa\xaa\x03\0\0\0\x86\xdd"),
                             (3, b"\xff\x03\x00\x57"), (4, b""), (5, b"\0" * 14 + b"\x86\xdd"),
                             (6, b"\x86\xdd" + b"\0" * 18)):
        frames = b""
        for packet in (ipv6(C6, S6, options6(17) + udp6(C6, 1050, S6, 69, g.rrq("f", "octet")), 60),
                       ipv6(S6, C6, udp6(S6, 3300, C6, 1050, g.data(1, b"abc")))):
            raw = header + packet
            frames += struct.pack(">HH", len(raw), 0) + raw
        blob = bytes([selector, 0xC0, 0x0B]) + frames
        with open(os.path.join(corpus, hashlib.sha1(blob).hexdigest()), "wb") as out:
            out.write(blob)


def request_seeds():
    folder = os.path.join(HERE, "corpus", "request")
    os.makedirs(folder, exist_ok=True)
    seeds = [
        g.rrq("f", "mail"),
        g.rrq("pxelinux.cfg/default", "octet", [("blksize", "1468"), ("tsize", "0"), ("timeout", "1")]),
        g.wrq("upload.bin", "NETASCII", [("windowsize", "4"), ("BlkSize", "8")]),
        g.rrq("a", "octet") + b"blksize",  # an option name without its NUL
        g.oack([("blksize", "1428"), ("tsize", "123456"), ("timeout", "5")]),
        g.oack([("rollover", "0"), ("blksize", "0")]),
        g.oack([("tsize", "99999999999999999999")]) + b"blksize\0" + b"512",
        g.oack([("blksize", "-1"), ("windowsize", "65535")]),
        g.oack([("blksize", "65465"), ("windowsize", "4294967300")]),
        g.oack([("blksize", "7"), ("windowsize", "-1")]),
    ]
    for seed in seeds:
        with open(os.path.join(folder, hashlib.sha1(seed).hexdigest()), "wb") as out:
            out.write(seed)


if __name__ == "__main__":
    main()
