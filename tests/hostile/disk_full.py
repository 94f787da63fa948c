#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""A full disk, or one that takes nothing, is never a success.

    disk_full.py TFTPCARVE

Three read transfers of 48 KiB each are carved into a tmpfs of 64 KiB: the
first fits, the second runs out of room. The run must say so for that file
("unable to write file [NAME]: No space left on device"), give it the state
"failed" in the report with the reason, go on with the others, and end with
status 4. The report of a failed file tells the bytes that reached it, no
more, and no digest of content it cannot know.

The same capture carved into a read-only tmpfs: no file can be created, each
transfer is named in a warning ("unable to open file [NAME]: Read-only file
system") and failed, and the status is 4 again.

With no descriptor left for a file ("Too many open files"), the run fails
in the same way; that case needs no mount and runs everywhere.

The rest is skipped (77) where a tmpfs cannot be mounted.
"""
import json
import os
import resource
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pcapgen  # noqa: E402

BLOCK = 512
SIZE = 48 * 1024


def capture(path):
    cap = pcapgen.Capture()
    for t in range(3):
        client, tid = 2000 + t, 3000 + t
        content = bytes((t * 7 + i) % 251 for i in range(SIZE))
        cap.udp("10.0.0.1", client, "10.0.0.2", 69, pcapgen.rrq(f"f{t}"))
        blocks = [content[i:i + BLOCK] for i in range(0, SIZE, BLOCK)] + [b""]
        for n, block in enumerate(blocks, 1):
            cap.udp("10.0.0.2", tid, "10.0.0.1", client, pcapgen.data(n & 0xFFFF, block))
            cap.udp("10.0.0.1", client, "10.0.0.2", tid, pcapgen.ack(n & 0xFFFF))
    cap.write(path)


def carve_into(tool, work, options):
    """Runs the tool in a tmpfs mounted with `options`; None when it cannot
    be mounted, else the run, its report lines and the files' sizes."""
    folder = os.path.join(work, options.replace(",", "-"))
    os.mkdir(folder)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", folder], capture_output=True).returncode != 0:
        return None
    try:
        pcap = os.path.join(work, "in.pcap")
        capture(pcap)
        report = os.path.join(work, options + ".jsonl")
        run = subprocess.run([tool, "-r", pcap, "--report", report], cwd=folder,
                             capture_output=True, text=True, timeout=120)
        lines = [json.loads(l) for l in open(report)]
        sizes = {name: os.path.getsize(os.path.join(folder, name)) for name in os.listdir(folder)}
    finally:
        subprocess.run(["umount", folder])
    return run, lines, sizes


def read_only_problems(run, lines):
    problems = []
    if run.returncode != 4:
        problems.append(f"read-only: exit status {run.returncode}, want 4")
    transfers = [t for t in lines if t.get("type") == "transfer"]
    if len(transfers) != 3 or any(t["state"] != "failed" or t["bytes"] != 0 for t in transfers):
        problems.append(f"read-only: want 3 failed transfers of 0 bytes: {transfers}")
    if run.stderr.count("]: Read-only file system\n") != 3:
        problems.append(f"read-only: want a warning for each file; standard error:\n{run.stderr}")
    return problems


def no_descriptors_problems(tool, work):
    """Descriptors for the standard streams and the capture, none more."""
    folder = os.path.join(work, "fds")
    os.mkdir(folder)
    pcap = os.path.join(work, "in.pcap")
    capture(pcap)
    limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (4, 4))  # noqa: E731
    run = subprocess.run([tool, "-r", pcap], cwd=folder, capture_output=True, text=True, timeout=120,
                         preexec_fn=limit)
    problems = []
    if run.returncode != 4:
        problems.append(f"no descriptors: exit status {run.returncode}, want 4")
    if run.stderr.count("]: Too many open files\n") != 3 or os.listdir(folder):
        problems.append(f"no descriptors: want a warning for each file and none made; standard error:\n{run.stderr}")
    return problems


def main():
    tool = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory() as work:
        descriptors = no_descriptors_problems(tool, work)
        full = carve_into(tool, work, "size=64k")
        read_only = carve_into(tool, work, "ro")
    if full is None or read_only is None:
        for p in descriptors:
            print("FAIL:", p)
        if descriptors:
            return 1
        print("SKIP: cannot mount a tmpfs here")
        return 77
    run, lines, sizes = full
    problems = descriptors + read_only_problems(*read_only[:2])
    if run.returncode != 4:
        problems.append(f"exit status {run.returncode}, want 4")
    failed = [t for t in lines if t.get("type") == "transfer" and t["state"] == "failed"]
    if not failed:
        problems.append("no transfer reported failed")
    for t in failed:
        if t.get("reason") != "No space left on device":
            problems.append(f"failed for {t.get('reason')!r}")
        warning = f"[warning] unable to write file [{t['output']}]: No space left on device"
        if t["output"] is None or run.stderr.count(warning) != 1:
            problems.append(f"want one warning {warning!r}; standard error:\n{run.stderr}")
        elif t["bytes"] > sizes.get(t["output"], 0) or t["sha256"] is not None:
            problems.append(f"failed file of {sizes.get(t['output'])} bytes reported as {t['bytes']} bytes, "
                            f"sha256 {t['sha256']}")
    complete = [t for t in lines if t.get("type") == "transfer" and t["state"] == "complete"]
    if len(complete) < 1:
        problems.append("the transfer that fitted is not complete")
    if len([t for t in lines if t.get("type") == "transfer"]) != 3:
        problems.append("not every transfer has its line")
    for p in problems:
        print("FAIL:", p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
