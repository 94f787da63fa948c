// SPDX-License-Identifier: BSD-2-Clause
#include "base/options.h"

int verbose = 0;
int debug_level = 0;
int dump_packets = 0;
int print_console = 0;
int overwrite = 0;
int check_checksums = 0;
int use_filename = 1;
int decode_ipv6 = 0;
