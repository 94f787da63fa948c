#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Signals and pipes never cost what counted.

    stop_and_pipes.py TFTPCARVE

- A stop signal that arrives while standard output is a full pipe (a slow
  reader) interrupts the write that waits: the write goes on, no line of the
  trace or of the report is lost, and the run ends with status 0.
- A SIGINT or SIGTERM ignored when the run starts (`trap '' INT`, background
  jobs of a shell) stays ignored: the run goes on to the end of its input.
- A reader of standard output that goes away (`| head`) ends the run as a
  stop signal does: every file holds what counted, the report is whole,
  and the status is 4 with "unable to write standard output: Broken pipe".
"""
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pcapgen as g  # noqa: E402

C, S = "10.0.0.1", "10.0.0.2"
BLOCK = 512


def many_transfers(path, count):
    cap = g.Capture()
    for t in range(count):
        port = 1024 + t
        cap.udp(C, port, S, 69, g.rrq("f%d" % t))
        cap.udp(S, 3000, C, port, g.data(1, b"content %d" % t))
        cap.udp(C, port, S, 3000, g.ack(1))
    cap.write(path)


def content(blocks):
    return bytes((i * 7 + i // BLOCK) % 251 for i in range(blocks * BLOCK))


def long_transfer(path, blocks):
    """One lock-step read of `blocks` full blocks that never ends."""
    cap = g.Capture()
    body = content(blocks)
    cap.udp(C, 1025, S, 69, g.rrq("big"))
    for n in range(1, blocks + 1):
        cap.udp(S, 3000, C, 1025, g.data(n, body[(n - 1) * BLOCK:n * BLOCK]))
        cap.udp(C, 1025, S, 3000, g.ack(n))
    cap.write(path)


def wait_blocked(proc, seconds=10):
    """Waits until the process sleeps (blocked on its full pipe)."""
    deadline = time.time() + seconds
    while time.time() < deadline:
        with open("/proc/%d/stat" % proc.pid) as f:
            if f.read().split(") ", 1)[1][0] == "S":
                time.sleep(0.2)
                return True
        time.sleep(0.05)
    return False


def slow_reader(tool, work):
    """SIGTERM while the tool waits on a full standard output."""
    pcap = os.path.join(work, "many.pcap")
    many_transfers(pcap, 3000)
    # The trace on standard output, the report beside it: the two cannot
    # share standard output.
    report = os.path.join(work, "slow.jsonl")
    proc = subprocess.Popen([tool, "-vv", "--report", report, "-r", pcap], cwd=work, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    if not wait_blocked(proc):
        proc.kill()
        return ["slow reader: the run never waited on its output"]
    proc.send_signal(signal.SIGTERM)
    out, err = proc.communicate(timeout=60)
    problems = []
    if proc.returncode != 0:
        problems.append("slow reader: status %d; stderr: %r" % (proc.returncode, err[-300:]))
    traced = out.decode(errors="replace").splitlines()
    with open(report) as f:
        records = [json.loads(line) for line in f if line.startswith("{")]
    if not records or records[-1].get("type") != "summary":
        return problems + ["slow reader: no summary at the end of the report"]
    told = sum(records[-1]["transfers"].values())
    transfers = [r for r in records if r.get("type") == "transfer"]
    if told != len(transfers):
        problems.append("slow reader: summary counts %d transfers, %d lines present" % (told, len(transfers)))
    bad = [line for line in traced if line.split(" ", 1)[0] not in ("READ", "DATA", "ACK")]
    if bad:
        problems.append("slow reader: broken trace lines, such as %r" % bad[0])
    # Each transfer is told at its last DATA: the ACK after the last one
    # told may never be read.
    if len(traced) < 3 * len(transfers) - 1:
        problems.append("slow reader: %d trace lines for %d transfers" % (len(traced), len(transfers)))
    return problems


def ignored_signal(tool, work, sig):
    """The signal ignored at start: the run reads its input to the end."""
    name = signal.Signals(sig).name
    pcap = os.path.join(work, "one.pcap")
    cap = g.Capture()
    cap.udp(C, 1025, S, 69, g.rrq("f"))
    cap.udp(S, 3000, C, 1025, g.data(1, b"x" * BLOCK))
    cap.udp(C, 1025, S, 3000, g.ack(1))
    cap.udp(S, 3000, C, 1025, g.data(2, b"end"))
    cap.udp(C, 1025, S, 3000, g.ack(2))
    cap.write(pcap)
    raw = open(pcap, "rb").read()
    cut = len(raw) // 2
    out = os.path.join(work, name)
    os.mkdir(out)
    proc = subprocess.Popen([tool], cwd=out, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            preexec_fn=lambda: signal.signal(sig, signal.SIG_IGN))
    proc.stdin.write(raw[:cut])
    proc.stdin.flush()
    time.sleep(0.3)
    proc.send_signal(sig)
    time.sleep(0.3)
    problems = []
    if proc.poll() is not None:
        problems.append("%s ignored at start: the run stopped (status %d)" % (name, proc.returncode))
        return problems
    proc.stdin.write(raw[cut:])
    proc.stdin.close()
    proc.wait(timeout=30)
    files = os.listdir(out)
    if proc.returncode != 0 or len(files) != 1 or open(os.path.join(out, files[0]), "rb").read() != b"x" * BLOCK + b"end":
        problems.append("%s ignored at start: status %d, files %r" % (name, proc.returncode, files))
    return problems


def closed_output(tool, work):
    """`tftpcarve -vv ... | head -200`: the file keeps every counted block."""
    blocks = 2000
    pcap = os.path.join(work, "long.pcap")
    long_transfer(pcap, blocks)
    out = os.path.join(work, "closed")
    os.mkdir(out)
    report = os.path.join(work, "closed.jsonl")
    proc = subprocess.Popen([tool, "-vv", "--report", report, "-r", pcap], cwd=out, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    # Some blocks counted before the reader goes.
    for _ in range(200):
        proc.stdout.readline()
    proc.stdout.close()
    err = proc.stderr.read().decode(errors="replace")
    proc.wait(timeout=60)
    problems = []
    if proc.returncode != 4:
        problems.append("closed output: status %d, want 4" % proc.returncode)
    if "[error] unable to write standard output: Broken pipe\n" not in err:
        problems.append("closed output: standard error %r" % err[-300:])
    try:
        records = [json.loads(line) for line in open(report)]
    except (OSError, ValueError) as e:
        return problems + ["closed output: report unreadable: %s" % e]
    if not records or records[-1].get("type") != "summary":
        problems.append("closed output: the report has no summary")
    lines = [r for r in records if r.get("type") == "transfer"]
    files = os.listdir(out)
    if len(lines) != 1 or len(files) != 1:
        return problems + ["closed output: %d report lines, files %r" % (len(lines), files)]
    got = open(os.path.join(out, files[0]), "rb").read()
    if len(got) != lines[0]["bytes"] or got != content(blocks)[:len(got)] or len(got) % BLOCK:
        problems.append("closed output: %d bytes on disk, %d reported, or not the blocks that counted"
                        % (len(got), lines[0]["bytes"]))
    return problems


def main():
    tool = os.path.abspath(sys.argv[1])
    problems = []
    with tempfile.TemporaryDirectory() as work:
        problems += slow_reader(tool, work)
        for sig in (signal.SIGINT, signal.SIGTERM):
            problems += ignored_signal(tool, work, sig)
        problems += closed_output(tool, work)
    for p in problems:
        print("FAIL:", p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
