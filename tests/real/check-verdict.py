#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Carves each capture of real transfers that do not all end well and checks
what a person is told: every transfer's report line against the manifest
(state, op, name, requests, ERROR code and text, output file with its size
and SHA-256), the report against its schema, the files left behind, and the
-vv trace against the one committed beside the capture.

usage: check-verdict.py TFTPCARVE CAPTURE_DIR SOURCE_DIR
"""

import hashlib
import json
import os
import subprocess
import sys
import tempfile


def manifest(path):
    captures = {}
    for line in open(path):
        if not line.strip() or line.startswith("#"):
            continue
        capture, output, sha, size, *keys = line.split()
        fields = dict(k.split("=", 1) for k in keys)
        fields.update(output=output, sha256=sha, size=size)
        captures.setdefault(capture, []).append(fields)
    return captures


def name_hex(record):
    return record["filename"].encode("utf-8", "surrogateescape").hex()


def check_transfer(want, records, folder):
    found = [r for r in records if name_hex(r) == want["name"] and r["op"] == want["op"]]
    if len(found) != 1:
        return ["%s %s: %d report lines" % (want["op"], want["name"], len(found))]
    r, problems = found[0], []
    label = "%s %s" % (want["op"], bytes.fromhex(want["name"]).decode("latin-1").encode("unicode_escape").decode())
    expect = {"state": want["state"], "requests": int(want["requests"])}
    if "error" in want:
        expect["error_code"] = int(want["error"])
        expect["error_text"] = bytes.fromhex(want["error_text"]).decode()
    got = {"state": r["state"], "requests": r["requests"]}
    if "error" in want:
        errors = r.get("errors") or [{}]
        got["error_code"] = errors[0].get("code")
        got["error_text"] = errors[0].get("message")
    for key in expect:
        if expect[key] != got[key]:
            problems.append("%s: %s is %r, not %r" % (label, key, got[key], expect[key]))
    output = None if want["output"] == "-" else want["output"]
    if r["output"] != output:
        problems.append("%s: output %r, not %r" % (label, r["output"], output))
    if output:
        content = open(os.path.join(folder, output), "rb").read()
        if hashlib.sha256(content).hexdigest() != want["sha256"] or len(content) != int(want["size"]):
            problems.append("%s: the file is not the one listed" % label)
        if r["sha256"] != want["sha256"]:
            problems.append("%s: sha256 %s, not the file's" % (label, r["sha256"]))
    elif r["sha256"] is not None:
        problems.append("%s: sha256 without a file" % label)
    return problems


def run(tool, args, cwd):
    return subprocess.run([tool] + args, cwd=cwd, capture_output=True)


def check_capture(tool, directory, source, capture, wants):
    problems = []
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(directory, capture)
        done = run(tool, ["-r", path, "--report", "r.jsonl"], folder)
        if done.returncode != 0:
            return ["exit status %d: %s" % (done.returncode, done.stderr.decode(errors="replace"))]
        if b"\x1b" in done.stderr:
            problems.append("standard error carries an escape byte")
        valid = subprocess.run([sys.executable, os.path.join(source, "tests/support/validate_report.py"),
                                os.path.join(source, "doc/report.schema.json"), os.path.join(folder, "r.jsonl")],
                               capture_output=True, text=True)
        if valid.returncode != 0:
            problems.append("the report does not validate: " + valid.stdout)
        lines = [json.loads(l) for l in open(os.path.join(folder, "r.jsonl"), encoding="utf-8",
                                                   errors="surrogateescape")]
        records = [l for l in lines if l["type"] == "transfer"]
        if len(records) != len(wants):
            problems.append("%d report lines for %d transfers" % (len(records), len(wants)))
        for want in wants:
            problems += check_transfer(want, records, folder)
        files = sorted(f for f in os.listdir(folder) if f != "r.jsonl")
        listed = sorted(w["output"] for w in wants if w["output"] != "-")
        if files != listed:
            problems.append("files %s, not %s" % (files, listed))
    with tempfile.TemporaryDirectory() as folder:
        trace = run(tool, ["-vv", "-r", path], folder).stdout
        if trace != open(path + ".trace", "rb").read():
            problems.append("the -vv trace differs from %s.trace" % capture)
    return problems


def main():
    tool, directory, source = (os.path.abspath(a) for a in sys.argv[1:4])
    failures = 0
    for capture, wants in manifest(os.path.join(directory, "manifest.txt")).items():
        problems = check_capture(tool, directory, source, capture, wants)
        print("%s: %s" % (capture, "ok" if not problems else "FAILED"))
        for p in problems:
            print("  " + p)
        failures += bool(problems)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
