#pragma once

#include <cstdint>
#include <memory>

#include "decode/udp.h"
#include "decode/wire.h"
#include "output/output_file.h"
#include "tftp/request.h"
#include "tftp/transfer_index.h"

inline constexpr std::uint32_t TFTP_REQ_OPEN = 1;
inline constexpr std::uint32_t TFTP_REQ_DONE = 4;

// The block size of a transfer until an option acknowledgement changes it.
inline constexpr std::uint32_t DEFAULT_BLKSIZE = 512;

// The limited broadcast address, as a host-order number.
inline constexpr std::uint32_t BROADCAST_ADDR = 0xFFFFFFFFu;

using owned_text = std::unique_ptr<char[]>;

// One observed transfer. The requester's endpoint is (src_addr, stid); the
// server's is (dst_addr, dtid), dtid being learnt from its first datagram.
//
// With thousands of transfers in progress each record is usually cold when
// its next datagram arrives, so what every DATA and ACK reads shares the
// first cache line: the endpoints that the lookup checks, the block counts,
// and the start of the output file (its descriptor and offset).
struct alignas(64) tftp_request_t {
  std::uint32_t src_addr;
  std::uint32_t dst_addr;
  std::uint16_t stid;
  std::uint16_t dtid;
  std::uint16_t op;
  bool pending;  // a block waits for its acknowledgement
  // The waiting block was written ahead to the file (see output_file.h)
  // rather than kept in `data`.
  bool pending_in_file;
  std::uint32_t state;
  std::uint32_t blksize;
  // Block numbers count on past 65535: see block_number.h.
  std::uint32_t last_ack;
  std::uint32_t last_block;
  std::uint32_t block_skew;
  std::uint32_t datalen;
  output_file_t file;

  // Place in time (greater is newer) and in the index of endpoints; see
  // transfer_index.h.
  std::uint64_t seq;
  tftp_request_t *idx_next;
  tftp_request_t *idx_prev;
  // The buffer outlives its block so that the next one needs no allocation;
  // it is freed when the transfer is released, or once its blocks go to the
  // file ahead of their ACKs.
  std::unique_ptr<std::uint8_t[]> data;
  std::uint32_t data_capacity;  // size `data` was allocated with
  std::uint16_t src_port;
  std::uint16_t dst_port;
  std::unique_ptr<split_links> split;
  tftp_request_t *next;  // older record in request_list
  tftp_request_t *prev;  // newer record, for unlinking in place
  owned_text filename;
  owned_text mode;
  owned_text name;
  std::uint32_t timeout;
  std::int64_t tsize;
};

// Newest first. Owns its records.
extern tftp_request_t *request_list;

tftp_request_t *add_request(const request_template_t &request);
void drop_duplicate_request(const request_template_t &request);

// The ends of a datagram, as match_transfer takes them.
struct datagram_ends {
  std::uint32_t src, dst;  // host order
  std::uint16_t sport, dport;
};

// The first record, newest first, that a datagram with these ends fits: a
// broadcast record it answers (from which match_transfer makes a clone), or
// a record it comes from the server or the requester of. Logs the "dtid
// wrong" message for each record it passes over for its port.
tftp_request_t *find_transfer(const datagram_ends &ends);

// With many transfers in progress, a datagram's lookup waits on memory
// twice, for the index slot and then for the record it names. A reader
// that sees datagrams coming can start both fetches early, one step and
// then the other, each some datagrams before the datagram is handled.
void prefetch_transfer_slots(const datagram_ends &ends);
void prefetch_transfer_records(const datagram_ends &ends);

// Ties a message that is not a request to its transfer and applies it.
// Addresses and ports are host-order numbers. Returns 1 when handled.
int match_transfer(bytes_t payload, std::uint32_t src, std::uint32_t dst, std::uint16_t sport,
                   std::uint16_t dport, tftp_msg_t &msg);

void handle_data(tftp_request_t &request, bytes_t body, tftp_msg_t &msg);
void handle_ack(tftp_request_t &request, bytes_t body, tftp_msg_t &msg);
void handle_oack(tftp_request_t &request, bytes_t body, tftp_msg_t &msg);
void handle_error(bytes_t body, tftp_msg_t &msg);
