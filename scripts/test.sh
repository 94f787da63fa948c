#!/bin/sh
# Installs what is missing, builds, and runs every test.
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup.sh --test
sh scripts/build.sh build
ctest --test-dir build --output-on-failure -j2
