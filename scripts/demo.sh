#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Installs what is missing, builds, and reconstructs the files of the example
# capture into out/.
set -eu
cd "$(dirname "$0")/.."
sh scripts/setup.sh
sh scripts/build.sh build
rm -rf out && mkdir out && cd out
../build/tftpcarve -v -r ../examples/read-write.pcap
ls -l
