#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""What already stands at an output name is respected. A symbolic link is
never followed, with or without -f: opening fails with a warning and the
link's target is left as it was (or, for a dangling link, never created). A
FIFO is never opened for writing, so the run cannot wait for a reader that
never comes. An existing regular file is replaced only with -f.

usage: existing_output.py TFTPCARVE
"""

import os
import stat
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pcapgen as g  # noqa: E402

C, S = "10.0.0.1", "10.0.0.2"
NAME = "010.000.000.001.01025-010.000.000.002.03000-f.txt"
CONTENT = b"carved content\n"
PRECIOUS = b"must not change\n"


def capture(path):
    cap = g.Capture()
    cap.udp(C, 1025, S, 69, g.rrq("f.txt"))
    cap.udp(S, 3000, C, 1025, g.data(1, CONTENT))
    cap.udp(C, 1025, S, 3000, g.ack(1))
    cap.write(path)


# (case, what stands at the output name, options, expect the warning)
CASES = [
    ("link to a file", "link", [], True),
    ("link to a file, -f", "link", ["-f"], True),
    ("dangling link", "dangling", [], True),
    ("dangling link, -f", "dangling", ["-f"], True),
    ("fifo", "fifo", [], True),
    ("fifo, -f", "fifo", ["-f"], True),
    ("regular file", "file", [], True),
    ("regular file, -f", "file", ["-f"], False),
]


def run_case(tool, pcap, case, existing, options, expect_warning):
    failures = []
    with tempfile.TemporaryDirectory() as top:
        work = os.path.join(top, "out")
        os.mkdir(work)
        target = os.path.join(top, "target")
        if existing in ("link", "file"):
            with open(target if existing == "link" else os.path.join(work, NAME), "wb") as f:
                f.write(PRECIOUS)
        if existing in ("link", "dangling"):
            os.symlink(target, os.path.join(work, NAME))
        if existing == "fifo":
            os.mkfifo(os.path.join(work, NAME))
        try:
            # Far beyond what the run needs: only a run that waits forever ends here.
            result = subprocess.run([tool, *options, "-r", pcap], cwd=work, capture_output=True, timeout=60)
        except subprocess.TimeoutExpired:
            return ["%s: the run did not end" % case]
        stderr = result.stderr.decode(errors="replace")
        if result.returncode != 0:
            failures.append("exit status %d" % result.returncode)
        warning = "[warning] unable to open file [%s]: " % NAME
        if expect_warning != (warning in stderr):
            failures.append("warning %s; stderr: %r" % ("missing" if expect_warning else "unexpected", stderr))
        if existing == "link":
            with open(target, "rb") as f:
                if f.read() != PRECIOUS:
                    failures.append("the link's target was written")
        if existing == "dangling" and os.path.lexists(target):
            failures.append("the dangling link's target was created")
        if existing in ("link", "dangling") and not os.path.islink(os.path.join(work, NAME)):
            failures.append("the link was replaced")
        if existing == "fifo" and not stat.S_ISFIFO(os.lstat(os.path.join(work, NAME)).st_mode):
            failures.append("the fifo was replaced")
        if existing == "file":
            with open(os.path.join(work, NAME), "rb") as f:
                expected = CONTENT if "-f" in options else PRECIOUS
                if f.read() != expected:
                    failures.append("the existing file holds the wrong content")
        if sorted(os.listdir(top)) != (["out", "target"] if existing == "link" else ["out"]):
            failures.append("something was written outside the current folder: %s" % os.listdir(top))
    return ["%s: %s" % (case, f) for f in failures]


def main():
    tool = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory() as tmp:
        pcap = os.path.join(tmp, "read.pcap")
        capture(pcap)
        failures = []
        for case in CASES:
            failures += run_case(tool, pcap, *case)
    for failure in failures:
        print("FAIL", failure)
    print("%d cases, %d failures" % (len(CASES), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
