#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""A transfer's output name may change after its file was created: a server
that first answers from port 0 and only later from its real port renames
the transfer. When the file's descriptor was parked (more transfers in
progress than descriptors allowed) and is reopened, it must be the file the
transfer created, not whatever carries the new name: a file of that name
that was there before the run is never touched without -f.

The capture is kept with the regression captures; --write PATH writes it
again from the description below.

usage: renamed_output.py TFTPCARVE | --write PATH
"""

import os
import resource
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pcapgen as g  # noqa: E402

C, S = "10.0.0.1", "10.0.0.2"
FIRST_NAME = "010.000.000.001.01025-010.000.000.002.00069-f"
LATER_NAME = "010.000.000.001.01025-010.000.000.002.03000-f"
PRECIOUS = b"there before the run\n"
# Each other transfer holds a descriptor; the limit below leaves about 20.
OTHER_TRANSFERS = 40
NOFILE = 40
SMALL = [("blksize", "8")]


def open_write(cap, port, name, server_port, block):
    # A write transfer whose server answers from `server_port`, with block 1
    # written and the file left open.
    cap.udp(C, port, S, 69, g.wrq(name, "octet", SMALL))
    cap.udp(S, server_port, C, port, g.oack(SMALL))
    cap.udp(C, port, S, server_port, g.data(1, block))
    cap.udp(S, server_port, C, port, g.ack(1))


def capture(path):
    cap = g.Capture()
    open_write(cap, 1025, "f", 0, b"A" * 8)  # creates FIRST_NAME
    for i in range(OTHER_TRANSFERS):
        open_write(cap, 2000 + i, "x", 0, b"B" * 8)
    cap.udp(S, 3000, C, 1025, g.ack(1))  # the real port: renamed to LATER_NAME
    cap.udp(C, 1025, S, 3000, g.data(2, b"C" * 5))
    cap.write(path)


HERE = os.path.dirname(os.path.abspath(__file__))
CAPTURE = os.path.join(HERE, "..", "captures", "regress", "renamed-after-create.pcap")


def few_descriptors():
    resource.setrlimit(resource.RLIMIT_NOFILE, (NOFILE, NOFILE))


def main():
    if sys.argv[1] == "--write":
        capture(sys.argv[2])
        return 0
    tool = os.path.abspath(sys.argv[1])
    failures = []
    with tempfile.TemporaryDirectory() as work:
        shutil.copy(CAPTURE, os.path.join(work, "in.pcap"))
        with open(os.path.join(work, LATER_NAME), "wb") as f:
            f.write(PRECIOUS)
        result = subprocess.run([tool, "-r", "in.pcap"], cwd=work, preexec_fn=few_descriptors,
                                capture_output=True)
        if result.returncode != 0:
            failures.append("exit status %d" % result.returncode)
        with open(os.path.join(work, LATER_NAME), "rb") as f:
            if f.read() != PRECIOUS:
                failures.append("the file that was there before the run was written")
        with open(os.path.join(work, FIRST_NAME), "rb") as f:
            if f.read() != b"A" * 8 + b"C" * 5:
                failures.append("the transfer's own file does not hold both blocks")
    for failure in failures:
        print("FAIL", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
