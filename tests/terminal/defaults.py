#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""What the tool decides from a terminal, through a pseudo-terminal.

    defaults.py TFTPCARVE CAPTURE

With no -r and standard input a terminal there is no capture to wait for:
the tool says so and ends with status 2 at once. With standard error a
terminal the summary is shown unless --summary=never; on a pipe it is not.
"""
import os
import subprocess
import sys
import tempfile

from on_terminal import run_on_terminal

NO_CAPTURE = b"[error] no capture: give -r FILE, or pipe a capture into standard input\n"


def main():
    tool, capture = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    problems = []
    with tempfile.TemporaryDirectory() as work:
        status, seen = run_on_terminal([tool], work, stdin_terminal=True, limit_s=20)
        if status != 2 or not seen.endswith(NO_CAPTURE):
            problems.append(f"no capture on a terminal: status {status}, {seen!r}")
        status, seen = run_on_terminal([tool, "-r", capture, "-d", "5"], work)
        if status != 0 or b" transfers: " not in seen:
            problems.append(f"no summary on a terminal: status {status}, {seen!r}")
    with tempfile.TemporaryDirectory() as work:
        status, seen = run_on_terminal([tool, "-r", capture, "--summary=never"], work)
        if status != 0 or b" transfers: " in seen:
            problems.append(f"a summary despite --summary=never: {seen!r}")
        piped = subprocess.run([tool, "-r", capture, "-d", "5"], cwd=work, stdin=subprocess.DEVNULL,
                               capture_output=True, timeout=30)
        if b" transfers: " in piped.stderr:
            problems.append(f"a summary on a pipe: {piped.stderr!r}")
    for p in problems:
        print("FAIL:", p)
    if not problems:
        print("PASS: a terminal on standard input or standard error is read as it should be")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
