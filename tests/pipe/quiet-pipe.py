#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""A capture piped in that falls quiet still lets silence end a transfer.

    quiet-pipe.py TFTPCARVE

A read ended by the client's ERROR, then nothing, the pipe left open: within
seconds of wall-clock time the transfer is reported as `error` and its
warning given, while the pipe is still open. Then the pipe closes and the run
ends with status 0.
"""
import os
import struct
import subprocess
import sys
import tempfile
import time


def frame(src, sport, dst, dport, payload, seconds):
    udp = struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 1, 0, 64, 17, 0,
                     bytes(map(int, src.split("."))), bytes(map(int, dst.split(".")))) + udp
    ether = b"\x02" * 6 + b"\x04" * 6 + b"\x08\x00" + ip
    return struct.pack("<IIII", seconds, 0, len(ether), len(ether)) + ether


def capture():
    client, server = "10.0.0.1", "10.0.0.2"
    head = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 262144, 1)
    return head + b"".join([
        frame(client, 1025, server, 69, b"\x00\x01f\x00octet\x00", 1700000000),
        frame(server, 3000, client, 1025, b"\x00\x03\x00\x01" + b"a" * 512, 1700000000),
        frame(client, 1025, server, 3000, b"\x00\x04\x00\x01", 1700000000),
        frame(client, 1025, server, 3000, b"\x00\x05\x00\x00gave up\x00", 1700000000),
    ])


def run(tool, data, label):
    problems = []
    with tempfile.TemporaryDirectory() as work:
        report = os.path.join(work, "r.jsonl")
        proc = subprocess.Popen([tool, "--report", report], cwd=work, stdin=subprocess.PIPE,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        proc.stdin.write(data)
        proc.stdin.flush()
        deadline = time.monotonic() + 30
        told = False
        while time.monotonic() < deadline and not told:
            time.sleep(0.2)
            told = os.path.exists(report) and b'"state":"error"' in open(report, "rb").read()
        if not told:
            problems.append(f"{label}: no report of the ERROR-ended transfer while the pipe stayed open")
        proc.stdin.close()
        err = proc.stderr.read()
        status = proc.wait(timeout=30)
        if status != 0:
            problems.append(f"{label}: exit status {status}")
        if b'[warning] transfer ended by ERROR 0 "gave up": ' not in err:
            problems.append(f"{label}: no warning of the ERROR: {err!r}")
    return problems


def main():
    tool = os.path.abspath(sys.argv[1])
    problems = run(tool, capture(), "pipe")
    for p in problems:
        print("FAIL:", p)
    if not problems:
        print("PASS: silence on a quiet pipe ends the transfer an ERROR ended")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
