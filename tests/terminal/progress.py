#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""The progress line, through a pseudo-terminal.

    progress.py TFTPCARVE CAPTURE

With standard error on a terminal and a capture file, the tool draws a
progress line (share read, frames, transfers, files, speed) and clears it
before any other line and at the end; the lines it clears for come out
whole. With standard error on a pipe there is no trace of it. A capture
read from a pipe, or several files read as one, get the line of input
without a known end (frames, transfers open and finished, bytes carved).
"""
import os
import re
import subprocess
import sys
import tempfile

import on_terminal


def run_on_terminal(tool, capture, workdir, args=None, feed=None):
    args = ["-r", capture, "-d", "5"] if args is None else args
    return on_terminal.run_on_terminal([tool] + args, workdir, feed=feed)


def main():
    tool, capture = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    problems = []
    with tempfile.TemporaryDirectory() as work:
        status, seen = run_on_terminal(tool, capture, work)
    if status != 0:
        problems.append(f"exit status {status}")
    drawn = list(re.finditer(rb"\r +[0-9.]+% +[0-9]+ frames +[0-9]+ transfers +[0-9]+ files +[0-9.]+ MB/s\x1b\[K",
                             seen))
    if not drawn:
        problems.append("no progress line drawn")
    elif b"\r\x1b[K" not in seen[drawn[-1].end():]:
        problems.append("the last progress line is never cleared")
    # Every debug line starts on a cleared line and comes out whole.
    for line in re.findall(rb"[^\n]*\[debug\][^\n]*", seen):
        if b"%" in line.split(b"[debug]")[0] and not b"\r\x1b[K[debug]" in line:
            problems.append(f"a debug line written over the progress line: {line!r}")
    if b"[debug] opening file:" not in seen:
        problems.append("the debug lines are missing")
    with tempfile.TemporaryDirectory() as work:
        piped = subprocess.run([tool, "-r", capture], cwd=work, capture_output=True, timeout=60)
    if b"\x1b[K" in piped.stderr or b"MB/s" in piped.stderr:
        problems.append("a progress line on a pipe")
    stream_line = rb"\r[0-9]+ frames +[0-9]+ transfers open +[0-9]+ finished +[0-9.]+ MB carved\x1b\[K"
    with open(capture, "rb") as f:
        feed = f.read()
    for args, fed in (([], feed), (["-r", capture, "-r", capture], None)):
        with tempfile.TemporaryDirectory() as work:
            status, seen = run_on_terminal(tool, capture, work, args, fed)
        drawn = list(re.finditer(stream_line, seen))
        if status != 0 or not drawn or b"\r\x1b[K" not in seen[drawn[-1].end():]:
            problems.append(f"no stream status line drawn and cleared for {args or 'a pipe'}: {seen!r}")
    for p in problems:
        print("FAIL:", p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
