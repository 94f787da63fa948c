#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Installs what is missing, builds, and runs every test: the suite, the suite
# again under AddressSanitizer and UndefinedBehaviorSanitizer, the end-to-end
# runs under valgrind, a short bounded fuzz run of each target, and the
# Debian package built, installed, run and removed.
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup.sh --test
sh scripts/build.sh build
ctest --test-dir build --output-on-failure -j2
sh scripts/sanitize.sh
sh scripts/memcheck.sh
sh scripts/fuzz.sh 60
sh scripts/package-test.sh
