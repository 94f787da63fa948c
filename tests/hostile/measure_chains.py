#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Times the tool on captures that pile up transfers under one requester
endpoint, to show how the cost of matching a datagram grows with the
transfers that share its addresses and requester port. Not a test (no
timing is asserted anywhere); run it by hand after touching the matching:

    measure_chains.py TFTPCARVE [scale...]

Shapes, each with n transfers and then 2.5 n datagrams that fit none:
"server ports": one requester port sends requests to n server ports, each
answered (so its server port is learnt); "broadcast": one broadcast request
answered from n server ports, one record each; "requests again": one
requester port sends requests to n server ports, then sends each again,
oldest first, so that every request replaces the oldest record of the key.
"""

import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pcapgen as g  # noqa: E402

C, S = "10.0.0.1", "10.0.0.2"


def server_ports(cap, n):
    for i in range(n):
        cap.ip(g.ip_udp(C, 1025, S, 1000 + i, g.rrq("f", "mail")))
        cap.ip(g.ip_udp(S, 20000 + i % 40000, C, 1025, g.error(1, "")))


def broadcast(cap, n):
    cap.ip(g.ip_udp(C, 1025, "255.255.255.255", 69, g.rrq("f", "mail")))
    for i in range(n):
        cap.ip(g.ip_udp(S, 1 + i % 65000, C, 1025, g.error(1, "")))


def requests_again(cap, n):
    for i in range(n * 2):
        cap.ip(g.ip_udp(C, 1025, S, 1000 + i % n, g.rrq("f", "mail")))


SHAPES = [("server ports", server_ports), ("broadcast", broadcast), ("requests again", requests_again)]


def main():
    tool = os.path.abspath(sys.argv[1])
    scales = [int(c) for c in sys.argv[2:]] or [8000, 16000, 32000]
    with tempfile.TemporaryDirectory() as tmp:
        for name, build in SHAPES:
            for n in scales:
                pcap = os.path.join(tmp, "chains.pcap")
                cap = g.StreamingCapture(pcap)
                build(cap, n)
                for _ in range(n * 5 // 2):
                    cap.ip(g.ip_udp(S, 7, C, 1025, g.ack(1)))
                cap.close()
                start = time.monotonic()
                status = subprocess.run([tool, "-r", pcap], cwd=tmp, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL).returncode
                print("%-12s %6d transfers, %9d bytes: %7.2f s (status %d)"
                      % (name, n, os.path.getsize(pcap), time.monotonic() - start, status), flush=True)


if __name__ == "__main__":
    sys.exit(main())
