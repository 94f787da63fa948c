#pragma once

#include <cstdint>

#include "decode/udp.h"
#include "decode/wire.h"
#include "tftp/request.h"

struct tftp_request_t;

// Output names: the 43-character endpoint part, then (unless -E) "-" and the
// sanitised file name.
void build_output_name(tftp_request_t &request);

// Writes the pending block, creating the output file on the first write, or
// prints it in console mode.
void flush_request(tftp_request_t &request);

// Closes the output and frees what the transfer owns; the record stays.
void release_request(tftp_request_t &request);

// The end of the run: warns about files still open, writes a pending block
// that directly follows the last acknowledged one, and frees every transfer.
void flush_all_requests();

enum class trace_outcome { request, handled, unmatched };

// The trace line of one datagram (and its dump with -X), printed after every
// other effect of the datagram. Addresses are as stored in the IPv4 header.
void trace_exchange(trace_outcome outcome, std::uint32_t src_stored, std::uint32_t dst_stored,
                    std::uint16_t sport, std::uint16_t dport, const request_template_t &request,
                    const tftp_msg_t &msg, bytes_t payload);

// Hexadecimal and ASCII dump, 16 bytes a line, runs of equal lines as "\t*".
void hex_dump(bytes_t bytes);
