# SPDX-License-Identifier: BSD-2-Clause
"""Running the tool with a pseudo-terminal as its standard error."""
import os
import pty
import select
import subprocess
import time


def run_on_terminal(command, cwd, stdin_terminal=False, feed=None, limit_s=60):
    """Runs `command` with standard error on a new pseudo-terminal, and
    standard input on it too when `stdin_terminal`, or `feed` written to a
    pipe, or nothing. Returns the exit status and what the terminal showed,
    with "\\r\\n" read as "\\n". A command still running after `limit_s` (one
    that waits for input from the terminal) is killed."""
    main, side = pty.openpty()
    if stdin_terminal:
        stdin = side
    else:
        stdin = subprocess.DEVNULL if feed is None else subprocess.PIPE
    proc = subprocess.Popen(command, cwd=cwd, stdin=stdin, stdout=subprocess.DEVNULL, stderr=side)
    os.close(side)
    if feed is not None:
        proc.stdin.write(feed)
        proc.stdin.close()
    seen = b""
    deadline = time.monotonic() + limit_s
    while True:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([main], [], [], left)[0]:
            proc.kill()
            seen += b"(still running after %d s)" % limit_s
            break
        try:
            chunk = os.read(main, 65536)
        except OSError:  # the terminal closes once the tool is gone
            break
        if not chunk:
            break
        seen += chunk
    status = proc.wait(timeout=60)
    os.close(main)
    return status, seen.replace(b"\r\n", b"\n")
