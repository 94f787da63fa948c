# SPDX-License-Identifier: BSD-2-Clause
"""Builds capture files packet by packet, for hostile and regression captures.

Only the standard library: every layer is a few lines of struct packing, and
every field can be bent (checksums, lengths, fragment fields, caplen/len).
"""

import socket
import struct

LINK_ETHERNET = 1
LINK_RAW = 101  # stored in the file; read back as link type 12


def checksum(data, initial=0):
    if len(data) % 2:
        data += b"\0"
    total = initial + sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total > 0xFFFF:
        total = (total >> 16) + (total & 0xFFFF)
    return (~total) & 0xFFFF


def addr(dotted):
    return socket.inet_aton(dotted)


def ipv4(src, dst, payload, ident=1, offset_units=0, more=False, proto=17, total=None, options=b""):
    ihl = 5 + len(options) // 4
    total = 20 + len(options) + len(payload) if total is None else total
    frag = (0x2000 if more else 0) | (offset_units & 0x1FFF)
    header = struct.pack("!BBHHHBBH4s4s", 0x40 | ihl, 0, total, ident, frag, 64, proto, 0,
                         addr(src), addr(dst)) + options
    header = header[:10] + struct.pack("!H", checksum(header)) + header[12:]
    return header + payload


def udp(src, sport, dst, dport, payload, fill_checksum=True):
    length = 8 + len(payload)
    datagram = struct.pack("!HHHH", sport, dport, length, 0) + payload
    if fill_checksum:
        pseudo = addr(src) + addr(dst) + struct.pack("!BBH", 0, 17, length)
        value = checksum(pseudo + datagram) or 0xFFFF
        datagram = datagram[:6] + struct.pack("!H", value) + datagram[8:]
    return datagram


def ip_udp(src, sport, dst, dport, payload, ident=1):
    return ipv4(src, dst, udp(src, sport, dst, dport, payload), ident=ident)


def ethernet(packet):
    return b"\x02\0\0\0\0\x02" + b"\x02\0\0\0\0\x01" + b"\x08\x00" + packet


# TFTP messages.
def rrq(name, mode="octet", options=()):
    return _request(1, name, mode, options)


def wrq(name, mode="octet", options=()):
    return _request(2, name, mode, options)


def _request(op, name, mode, options):
    body = struct.pack("!H", op) + name.encode() + b"\0" + mode.encode() + b"\0"
    for key, value in options:
        body += key.encode() + b"\0" + value.encode() + b"\0"
    return body


def data(block, content):
    return struct.pack("!HH", 3, block & 0xFFFF) + content


def ack(block):
    return struct.pack("!HH", 4, block & 0xFFFF)


def error(code, text):
    return struct.pack("!HH", 5, code) + text.encode() + b"\0"


def oack(options):
    body = struct.pack("!H", 6)
    for key, value in options:
        body += key.encode() + b"\0" + value.encode() + b"\0"
    return body


class Capture:
    """A classic pcap file; frames are kept as (bytes, caplen, len)."""

    def __init__(self, link=LINK_ETHERNET):
        self.link = link
        self.records = []

    def frame(self, raw, caplen=None, wire_len=None):
        caplen = len(raw) if caplen is None else caplen
        wire_len = len(raw) if wire_len is None else wire_len
        self.records.append((raw[:caplen], caplen, wire_len))

    def ip(self, packet):
        self.frame(ethernet(packet) if self.link == LINK_ETHERNET else packet)

    def udp(self, src, sport, dst, dport, payload, ident=1):
        self.ip(ip_udp(src, sport, dst, dport, payload, ident))

    def write(self, path):
        with open(path, "wb") as out:
            out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, self.link))
            for n, (raw, caplen, wire_len) in enumerate(self.records):
                out.write(struct.pack("<IIII", 1 + n // 1000, n % 1000, caplen, wire_len))
                out.write(raw)


class StreamingCapture:
    """Writes frames as they come: for captures of many megabytes."""

    def __init__(self, path, link=LINK_RAW):
        self.out = open(path, "wb")
        self.link = link
        self.count = 0
        self.out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, link))

    def ip(self, packet):
        raw = ethernet(packet) if self.link == LINK_ETHERNET else packet
        self.out.write(struct.pack("<IIII", 1 + self.count // 1000000, self.count % 1000000, len(raw), len(raw)))
        self.out.write(raw)
        self.count += 1

    def close(self):
        self.out.close()
