#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Installs what building and testing the project needs on a Debian 12 machine.
# Safe to run again: apt-get skips what is already there.
set -eu
# libarchive-dev: the header of the decompression of compressed captures
# (libarchive13 is loaded at run time).
pkgs="build-essential g++ cmake ninja-build pkg-config libpcap-dev libssl-dev libarchive-dev libgtest-dev tcpdump"
if [ "${1:-}" = "--test" ]; then
  # Sanitizers and fuzzing, memory checking, the manual page and the package,
  # and real TFTP peers for the live pipe test.
  pkgs="$pkgs clang libclang-rt-14-dev valgrind groff-base mandoc man-db dpkg-dev lintian bash-completion file python3 gzip git"
  # The report's schema, checked against every report the tests make.
  pkgs="$pkgs python3-jsonschema"
  pkgs="$pkgs iproute2 tftpd-hpa tftp-hpa atftp"
  # Compressed captures and their tools, and the many-captures example
  # (GNU parallel, jq).
  pkgs="$pkgs libarchive13 bzip2 xz-utils zstd lz4 parallel jq"
fi
missing=""
for p in $pkgs; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  # shellcheck disable=SC2086
  apt-get install -y --no-install-recommends $missing
fi
