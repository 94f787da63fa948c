#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Configures and builds into build/ (or the folder given as $1).
set -eu
cd "$(dirname "$0")/.."
dir=${1:-build}
shift 2>/dev/null || true
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
ninja -C "$dir"
