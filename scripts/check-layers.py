#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Checks the include order of src/: every #include "folder/file.h" runs from
a folder to one at the same or a lower layer, and no files include each other
in a circle (a file including a header that leads back to its own).
Exits 1 naming each offence."""
import pathlib
import re
import sys

# Top to bottom; a folder includes only its own headers and those below it.
LAYERS = ["run", "input", "decode", "tftp", "output", "report", "base"]
RANK = {name: len(LAYERS) - i for i, name in enumerate(LAYERS)}

src = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent / "src")
include = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
graph = {}
bad = []
for path in sorted(src.rglob("*.[ch]*")):
    name = path.relative_to(src).as_posix()
    folder = name.split("/")[0]
    if folder not in RANK:
        bad.append(f"{name}: folder {folder} has no layer")
        continue
    deps = include.findall(path.read_text())
    graph[name] = deps
    for dep in deps:
        to = dep.split("/")[0]
        if to not in RANK:
            bad.append(f"{name}: includes {dep}, outside the layers")
        elif RANK[to] > RANK[folder]:
            bad.append(f"{name}: includes {dep}, a higher layer")

# A circle: a file includes a header that, through the headers it
# includes, comes back to the file's own header (or to itself).
def reach(header, seen):
    for dep in graph.get(header, ()):
        if dep not in seen:
            seen.add(dep)
            reach(dep, seen)
    return seen

for name, deps in graph.items():
    own = name.rsplit(".", 1)[0] + ".h"
    for dep in deps:
        if dep != own and own in reach(dep, {dep}):
            bad.append(f"circle: {name} includes {dep}, which comes back to {own}")

for line in bad:
    print(line)
sys.exit(1 if bad else 0)
