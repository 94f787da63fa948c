#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Times the tool on captures of one datagram split into ever more tiny
pieces, to show how the cost of a fragment grows with the pieces already
kept for its datagram. Not a test (no timing is asserted anywhere); run it
by hand after touching the reassembly:

    measure_pieces.py TFTPCARVE [counts...]

Shapes: "same offset" sends empty pieces at offset 0 (none is ever inside
another, so all are kept, each after the last); "ascending" sends 8-byte
pieces in order; "descending" sends them in reverse order; "interleaved"
alternates pieces at offset 0 with one piece kept beyond them;
"alternating" sends empty pieces at offsets 0 and 64 in turn. A last
fragment far out is sent first so that every arrival also runs the
completeness check.
"""

import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pcapgen as g  # noqa: E402

SRC, DST = "10.0.0.1", "10.0.0.2"


def piece(cap, offset_units, payload, more=True):
    cap.ip(g.ipv4(SRC, DST, payload, ident=9, offset_units=offset_units, more=more))


def same_offset(cap, n):
    for _ in range(n):
        piece(cap, 0, b"")


def ascending(cap, n):
    for i in range(n):
        piece(cap, 1 + i % 8000, b"a" * 8)


def descending(cap, n):
    for i in range(n):
        piece(cap, 8000 - i % 8000, b"d" * 8)


def interleaved(cap, n):
    piece(cap, 4000, b"k" * 8)
    for _ in range(n):
        piece(cap, 0, b"")


def alternating(cap, n):
    for i in range(n):
        piece(cap, 8 if i % 2 else 0, b"")


SHAPES = [("same offset", same_offset), ("ascending", ascending), ("descending", descending),
          ("interleaved", interleaved), ("alternating", alternating)]


def main():
    tool = os.path.abspath(sys.argv[1])
    counts = [int(c) for c in sys.argv[2:]] or [10000, 20000, 40000, 80000]
    with tempfile.TemporaryDirectory() as tmp:
        for name, build in SHAPES:
            for n in counts:
                pcap = os.path.join(tmp, "pieces.pcap")
                cap = g.StreamingCapture(pcap)
                piece(cap, 8100, b"z" * 8, more=False)
                build(cap, n)
                cap.close()
                start = time.monotonic()
                status = subprocess.run([tool, "-r", pcap], cwd=tmp, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL).returncode
                print("%-12s %7d pieces, %9d bytes: %7.2f s (status %d)"
                      % (name, n, os.path.getsize(pcap), time.monotonic() - start, status), flush=True)


if __name__ == "__main__":
    sys.exit(main())
