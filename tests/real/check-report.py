#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Checks the report of one capture against its manifest lines.

    check-report.py REPORT MANIFEST CAPTURE

Every file the manifest lists for CAPTURE must have exactly one report line
whose state is "complete" and whose bytes and sha256 match; every report line
that names an output must be one of those files; the summary line must come
last and agree with the transfer lines. Prints one line per problem and exits
1 when there is any.
"""
import json
import sys


def main():
    report, manifest, capture = sys.argv[1:4]
    want = {}
    for line in open(manifest, encoding="utf-8"):
        fields = line.split()
        if len(fields) >= 4 and not fields[0].startswith("#") and fields[0] == capture and fields[1] != "-":
            want[fields[1]] = (fields[2], int(fields[3]))
    problems = []
    lines = [json.loads(l) for l in open(report, encoding="utf-8") if l.strip()]
    transfers = [o for o in lines if o.get("type") == "transfer"]
    if not lines or lines[-1].get("type") != "summary":
        problems.append("no summary line at the end")
    else:
        summary = lines[-1]
        by_state = {}
        for t in transfers:
            by_state[t["state"]] = by_state.get(t["state"], 0) + 1
        for state, count in summary["transfers"].items():
            if by_state.get(state, 0) != count:
                problems.append(f"summary counts {count} {state}, the lines {by_state.get(state, 0)}")
        if summary["files"] != sum(1 for t in transfers if t["output"]):
            problems.append("summary's files differ from the lines'")
    seen = {}
    for t in transfers:
        name = t["output"]
        if name is None:
            continue
        if name not in want:
            problems.append(f"report names {name}, which the manifest does not list")
            continue
        seen[name] = seen.get(name, 0) + 1
        sha, size = want[name]
        if t["state"] != "complete" or t["sha256"] != sha or t["bytes"] != size:
            problems.append(f"{name}: state {t['state']}, {t['bytes']} bytes, sha256 {t['sha256']}; "
                            f"want complete, {size} bytes, sha256 {sha}")
    for name in want:
        if seen.get(name, 0) != 1:
            problems.append(f"{name}: {seen.get(name, 0)} report lines, want 1")
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
