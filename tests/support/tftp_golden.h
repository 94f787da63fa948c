// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// Shorthands for the TFTP cases: trace lines, output names and the debug
// line that carries a record's address in memory.

#include <map>
#include <string>
#include <vector>

#include "golden.h"

namespace golden {

// A trace line: the label in a five-character field, the two endpoints, then
// `rest` and a newline. line("DATA", server_tid, client, " 1 512").
std::string line(const std::string &label, const endpoint &from, const endpoint &to, const std::string &rest = "");

// The lines of a handled DATA and ACK.
std::string data_line(const endpoint &from, const endpoint &to, int block, int length);
std::string ack_line(const endpoint &from, const endpoint &to, int block);

// The unmatched line, with its space before the newline.
std::string unmatched(const endpoint &from, const endpoint &to);

// An output name: the requester's endpoint, the server's address with the
// port shown in the name, then "-" and `file` (already sanitised) unless it
// is empty.
std::string out_name(const endpoint &requester, const endpoint &server, const std::string &file = "");

// A host-order address as the debug lines print it ("%x").
std::string hex_addr(const std::string &dotted_addr);

// Regular expression for "[debug] created new request [%x]; ..." at level 4.
std::string created(const endpoint &requester, const endpoint &server);

// A quoted debug line, for use inside a regular expression with created().
std::string debug_re(const std::string &message);

// A case that runs on standard input and ends with status 0.
golden_case run(std::string name, const capture &cap, std::vector<std::string> args, text_check out,
                text_check err, std::map<std::string, bytes> files = {});

// A capture of Ethernet frames made of the given IPv4 packets.
bytes packets(const std::vector<bytes> &ip_packets);

}  // namespace golden
