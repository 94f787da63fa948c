// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// Process-wide option settings. Written only while the command line is parsed,
// read everywhere else. Flags are only ever tested for zero or non-zero.
extern int verbose;          // -v, counted
extern int debug_level;      // -d N
extern int dump_packets;     // -X
extern int print_console;    // -c
extern int overwrite;        // -f
extern int check_checksums;  // -B
extern int use_filename;     // cleared by -E
extern int decode_ipv6;      // -6
