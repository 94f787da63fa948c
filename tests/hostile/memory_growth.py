#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""A capture of many thousands of incomplete fragments, or of unfinished
transfers, runs to its end with memory that grows in step with the capture.

Each shape is run at two sizes, and the growth of the child's peak RSS
(getrusage through wait4) is compared with the growth of the capture.
These captures span under a second, within the reassembly timeout and the
idle horizon after which records are forgotten, so memory does grow; what must not
happen is a record costing much more than the frames that made it (a
per-record buffer of a block size or a datagram size, or worse than linear
growth). Frames that carry payload must stay within 3 times their size;
the smallest frames possible carry a fixed bookkeeping cost per record of a
few hundred bytes, for which the bound is set above its measured level.
No timing is asserted.

usage: memory_growth.py TFTPCARVE [--sanitized]
"""

import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pcapgen as g  # noqa: E402

SKIP = 77  # the sanitizers' shadow memory and quarantine swamp the figures
SERVER = "10.0.0.2"


def client(i):
    return "10.%d.%d.%d" % ((i >> 14) & 255, (i >> 6) & 255, 1 + (i & 63))


def fragments(cap, n, payload):
    # Never the first piece, so no datagram ever completes.
    for i in range(n):
        cap.ip(g.ipv4(client(i), SERVER, payload, ident=i & 0xFFFF, offset_units=1 + i % 5, more=True))


def requests(cap, n, block):
    for i in range(n):
        c = client(i)
        cap.ip(g.ip_udp(c, 1024 + i % 50000, SERVER, 69, g.rrq("f", "mail")))
        if block:
            # Block 1 stays pending: its acknowledgement never comes.
            cap.ip(g.ip_udp(SERVER, 3000, c, 1024 + i % 50000, g.data(1, block)))


# (shape, builder, records at the two sizes, bound on RSS growth / capture growth)
SHAPES = [
    ("incomplete fragments, 512-byte pieces", lambda cap, n: fragments(cap, n, b"p" * 512), (30000, 90000), 3.0),
    ("unfinished transfers, a 512-byte block pending", lambda cap, n: requests(cap, n, b"d" * 512),
     (30000, 90000), 3.0),
    ("incomplete fragments, empty pieces", lambda cap, n: fragments(cap, n, b""), (150000, 450000), 8.0),
    # A record holds four cache lines (the table's links, the finished-queue
    # links and the report's pointers among them), names and index slots.
    ("unfinished transfers, requests only", lambda cap, n: requests(cap, n, None), (100000, 300000), 12.0),
]
CONSTANT = 8 << 20  # allocator and library noise between two runs


# A child's peak RSS also counts the pages it had from this process before
# its exec: it is the larger of this script's size and the tool's peak. The
# sizes above keep the tool's peak well above it; the floor is measured on a
# capture of one frame and checked.
def peak_rss(tool, pcap, work):
    child = subprocess.Popen([tool, "-r", pcap], cwd=work, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    return os.waitstatus_to_exitcode(status), usage.ru_maxrss * 1024


def main():
    tool = os.path.abspath(sys.argv[1])
    if "--sanitized" in sys.argv[2:]:
        print("skipped: sanitized build")
        return SKIP
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        pcap = os.path.join(tmp, "one.pcap")
        cap = g.StreamingCapture(pcap)
        fragments(cap, 1, b"")
        cap.close()
        floor = peak_rss(tool, pcap, tmp)[1]
        for shape, build, sizes, bound in SHAPES:
            figures = []
            for n in sizes:
                pcap = os.path.join(tmp, "hostile.pcap")
                cap = g.StreamingCapture(pcap)
                build(cap, n)
                cap.close()
                work = tempfile.mkdtemp(dir=tmp)
                status, rss = peak_rss(tool, pcap, work)
                figures.append((os.path.getsize(pcap), rss))
                if status != 0:
                    print("FAIL %s, %d records: exit status %d" % (shape, n, status))
                    failures += 1
            (size1, rss1), (size2, rss2) = figures
            if rss1 < floor * 3 // 2:
                print("FAIL %s: peak RSS %d too close to the floor %d to measure growth" % (shape, rss1, floor))
                failures += 1
            ratio = (rss2 - rss1) / (size2 - size1)
            ok = rss2 - rss1 <= bound * (size2 - size1) + CONSTANT
            failures += not ok
            print("%s %s: capture %d -> %d bytes, peak RSS %d -> %d bytes, growth ratio %.2f (bound %.1f)"
                  % ("ok  " if ok else "FAIL", shape, size1, size2, rss1, rss2, ratio, bound))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
