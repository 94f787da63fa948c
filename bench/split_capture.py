#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Splits a classic pcap file into N files of about equal size, as a ring of
rotated captures would have it: each file has the header and a run of whole
records.

    split_capture.py CAPTURE N PREFIX

writes PREFIX00000, PREFIX00001, ... (five digits) and prints their names.
"""
import struct
import sys


def main():
    source, pieces, prefix = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    with open(source, "rb") as f:
        header = f.read(24)
        order = "<" if header[:4] in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1") else ">"
        f.seek(0, 2)
        size = f.seek(0, 2) - 24
        f.seek(24)
        per_piece = max(1, size // pieces)
        names = []
        out, written = None, 0
        while True:
            record = f.read(16)
            if len(record) < 16:
                break
            caplen = struct.unpack(order + "I", record[8:12])[0]
            record += f.read(caplen)
            if out is None or (written >= per_piece * (len(names)) and len(names) < pieces):
                if out:
                    out.close()
                names.append(f"{prefix}{len(names):05d}")
                out = open(names[-1], "wb")
                out.write(header)
            out.write(record)
            written += len(record)
        if out:
            out.close()
    print("\n".join(names))


if __name__ == "__main__":
    main()
