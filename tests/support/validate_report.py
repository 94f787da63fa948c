#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Checks a JSON Lines report against the report's schema: every line is
valid, the first is the run record and no transfer line follows the summary.

usage: validate_report.py SCHEMA REPORT   (prints each problem; status 1 if any)
"""

import json
import sys

import jsonschema


def problems(schema, lines):
    validator = jsonschema.Draft202012Validator(schema)
    kinds = []
    for n, line in enumerate(lines, 1):
        try:
            record = json.loads(line)
        except ValueError as e:
            yield "line %d: not JSON: %s" % (n, e)
            continue
        for error in validator.iter_errors(record):
            yield "line %d: %s" % (n, error.message)
        kinds.append(record.get("type") if isinstance(record, dict) else None)
    if kinds and kinds[0] != "run":
        yield "the first line is not the run record"
    if "summary" in kinds and kinds.index("summary") != len(kinds) - 1:
        yield "a line follows the summary"


def main():
    with open(sys.argv[1]) as f:
        schema = json.load(f)
    with open(sys.argv[2], encoding="utf-8", errors="surrogateescape") as f:
        lines = [l for l in f.read().split("\n") if l]
    found = list(problems(schema, lines))
    for p in found:
        print(p)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
