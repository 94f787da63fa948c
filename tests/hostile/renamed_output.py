#!/usr/bin/env python3
"""A transfer's output name may change after its file was created: a server
that first answers from port 0 and only later from its real port renames
the transfer. When the file's descriptor was parked (more transfers in
progress than descriptors allowed) and is reopened, it must be the file the
transfer created, not whatever carries the new name: a file of that name
that was there before the run is never touched without -f.

usage: renamed_output.py TFTPCARVE
"""

import os
import resource
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pcapgen as g  # noqa: E402

C, S = "10.0.0.1", "10.0.0.2"
FIRST_NAME = "010.000.000.001.01025-010.000.000.002.00069-f"
LATER_NAME = "010.000.000.001.01025-010.000.000.002.03000-f"
PRECIOUS = b"there before the run\n"
OTHER_TRANSFERS = 200  # each holds a descriptor; the limit below is 100


def capture(path):
    cap = g.Capture()
    cap.udp(C, 1025, S, 69, g.wrq("f"))
    cap.udp(C, 1025, S, 0, g.data(1, b"A" * 512))
    cap.udp(S, 0, C, 1025, g.ack(1))  # creates FIRST_NAME and writes block 1
    for i in range(OTHER_TRANSFERS):
        cap.udp(C, 2000 + i, S, 69, g.wrq("x"))
        cap.udp(C, 2000 + i, S, 0, g.data(1, b"B" * 512))
        cap.udp(S, 0, C, 2000 + i, g.ack(1))
    cap.udp(S, 3000, C, 1025, g.ack(1))  # the real port: renamed to LATER_NAME
    cap.udp(C, 1025, S, 3000, g.data(2, b"C" * 100))
    cap.write(path)


def few_descriptors():
    resource.setrlimit(resource.RLIMIT_NOFILE, (100, 100))


def main():
    tool = os.path.abspath(sys.argv[1])
    failures = []
    with tempfile.TemporaryDirectory() as work:
        capture(os.path.join(work, "in.pcap"))
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
            if f.read() != b"A" * 512 + b"C" * 100:
                failures.append("the transfer's own file does not hold both blocks")
    for failure in failures:
        print("FAIL", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
