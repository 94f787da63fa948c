#!/usr/bin/env python3
"""Writes the seed captures of the fuzz corpus and converts them, with the
captures under tests/captures/, into inputs of fuzz_frames.

usage: make_seeds.py FRAMES_PCAP   (the converter built with the fuzz targets)
"""

import hashlib
import os
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


MAX_SEED = 16384  # longer inputs are cut at a frame boundary: they only slow the fuzzer


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
    for source in sources:
        for flags, levels in option_sets:
            tmp = os.path.join(corpus, ".tmp")
            if subprocess.run([converter, "to-input", source, tmp, str(flags), str(levels)]).returncode:
                break
            blob = cut(open(tmp, "rb").read())
            os.remove(tmp)
            with open(os.path.join(corpus, hashlib.sha1(blob).hexdigest()), "wb") as out:
                out.write(blob)
    # Link types with no capture of their own: one short exchange each.
    import struct
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
    ]
    for seed in seeds:
        with open(os.path.join(folder, hashlib.sha1(seed).hexdigest()), "wb") as out:
            out.write(seed)


if __name__ == "__main__":
    main()
