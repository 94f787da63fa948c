// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// tftp/: TFTP transfers: parsing a request, making a transfer of it,
// matching datagrams to transfers (the table and its indexes), blocks and
// their acknowledgement, the transfer's life and the story the report and
// the trace tell of it. This header is the record. It never reads frames,
// and writes files and the report only through output/ and report/.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/address.h"
#include "base/cursor.h"
#include "base/tftp_message.h"
#include "output/block_output.h"
#include "tftp/parse_request.h"
#include "tftp/table_links.h"

// Where a transfer's output stands. The values are those the debug traces
// have always shown.
enum class req_state : std::uint8_t {
  idle = 0,  // no output file open (console transfers stay here)
  open = 1,  // the output file is open
  done = 4,  // finished or abandoned; its resources are released
};
inline constexpr req_state TFTP_REQ_OPEN = req_state::open;
inline constexpr req_state TFTP_REQ_DONE = req_state::done;

// The block size of a transfer until an option acknowledgement changes it.
inline constexpr std::uint32_t DEFAULT_BLKSIZE = 512;

using owned_text = std::unique_ptr<char[]>;

// The requester's endpoint is (src_addr, stid); the server's is (dst_addr,
// dtid), dtid being learnt from its first datagram. A request sent to the
// limited broadcast address keeps that address until a server answers and
// a clone takes the server's.
struct transfer_ends_t {
  ip_address src_addr;
  ip_address dst_addr;
  std::uint16_t stid;
  std::uint16_t dtid;  // 0 while not yet learnt
};

// Where the blocks stand. Block numbers count on past 65535 (see
// block_number.h), and block n belongs at byte (n - 1) * blksize of the file
// (unless `appended`).
//
// Every block up to `last_ack` is acknowledged: it counted, or it is a hole
// that the capture never showed. A lock-step transfer (windowsize 1) waits
// for one block at a time, the `pending` one; a windowed transfer keeps the
// blocks of its window in its `window_t`.
struct block_state_t {
  std::uint32_t last_ack;
  std::uint32_t last_block;  // the last DATA accepted
  std::uint32_t blksize;
  // The size blocks are placed by, when the first block counted showed one
  // larger than `blksize` (an option acknowledgement the capture missed); 0
  // while blksize serves.
  std::uint16_t place_size;
  std::uint16_t datalen;     // length of the pending DATA
  std::uint16_t block_skew;
  std::uint16_t windowsize;  // 1 unless an option acknowledgement set it
  // The block size is not one the option allows (8 to 65464): blocks have
  // no place by number, and each counted block goes right after the bytes
  // counted before it, one block at a time.
  bool appended;
  bool pending;              // a DATA waits for its acknowledgement
  // ... but its block had counted already: a copy sent again, whose bytes
  // are not kept and never count twice.
  bool pending_stale;
};

// The bytes each block has in the file.
inline std::uint32_t place_length(const block_state_t &b) { return b.place_size != 0 ? b.place_size : b.blksize; }

// Where block n of a transfer goes in its file.
inline std::uint64_t block_place(const block_state_t &b, std::uint32_t block) {
  return static_cast<std::uint64_t>(block - 1) * place_length(b);
}

// Block sizes that give blocks a place by their number (RFC 2348).
inline constexpr std::int64_t MIN_PLACED_BLKSIZE = 8;
inline constexpr std::int64_t MAX_PLACED_BLKSIZE = 65464;

// A block of a windowed transfer that waits to count.
struct window_block_t {
  std::uint32_t block;
  std::uint32_t length;
};

// What only some transfers need, allocated when first needed.
struct block_extras_t {
  // Windowed: the blocks past `last_ack` that wait, by block number.
  std::vector<window_block_t> window;
  // Acknowledged blocks that the capture never showed, in file order; past
  // MAX_HOLES ranges, only their count is kept.
  std::vector<byte_range_t> holes;
  std::uint64_t holes_more = 0;
  // The last block, shorter than blksize, once seen: the end of the file.
  std::uint32_t final_block = 0;
  std::uint32_t final_length = 0;
  // The last ERROR of a transfer not yet over, for the warning that names
  // it should the transfer end unfinished.
  bool error_seen = false;
  std::uint16_t error_code = 0;
  std::string error_text;
};

// An ERROR text longer than this is cut: it is for reading, not carving.
inline constexpr std::size_t MAX_ERROR_TEXT = 512;

inline constexpr std::size_t MAX_HOLES = 1024;
inline constexpr std::size_t MAX_ERRORS_KEPT = 16;

// What the report tells of a transfer beside its blocks, kept only when a
// report is asked for.
struct transfer_story_t {
  // In order of alignment, with no padding between: every request of a run
  // with a report has one, and any host can send requests by the thousand.
  std::int64_t first_us = 0;  // capture times of its first and last datagram
  std::int64_t last_us = 0;
  std::int64_t max_gap_us = 0;        // the longest silence between two datagrams
  std::int64_t requested_tsize = -1;  // a write request's announced size
  std::uint32_t blocks = 0;         // DATA blocks seen
  std::uint32_t retransmitted = 0;  // DATA for a block seen before
  std::uint32_t newest_block = 0;
  std::uint32_t requests = 1;  // the request and its copies
  int failure = 0;             // errno of the output's failure
  std::uint32_t errors_more = 0;  // ERRORs past the ones kept in `errors`
  endpoint_t request_to;          // where the first request went
  std::uint16_t error_code = 0;
  bool end_seen = false;
  bool error_seen = false;
  bool failed = false;
  bool reported = false;
  bool cloned = false;    // a broadcast request that servers answered
  bool repeated = false;  // a re-sent request took this story over
  bool answered = false;  // a datagram matched the request
  bool has_oack = false;
  std::string error_message;
  // Every ERROR, in order; past MAX_ERRORS_KEPT only their count.
  std::vector<std::pair<std::uint16_t, std::string>> errors;
  std::vector<std::uint8_t> requested;  // the request's option pairs
  std::vector<std::uint8_t> accepted;   // the option acknowledgement's
};

// 184 bytes: with the allocator's 8-byte header, a 192-byte chunk.
static_assert(sizeof(transfer_story_t) <= 184, "a story keeps to 184 bytes");

// One observed transfer, owned by the transfer table (transfer_table.h).
//
// With thousands of transfers in progress each record is usually cold when
// its next datagram arrives, so what every DATA and ACK reads keeps to the
// first three cache lines, which the lookup fetches together (checked
// below): the endpoints the lookup checks, the flags and the block state,
// the pointers to what only some transfers have, and the hot start of the
// output, its write buffer's state included.
struct alignas(64) tftp_request_t {
  transfer_ends_t ends;
  tftp_op op;
  req_state state;
  // The last message of a transfer not yet over is an ERROR: silence ends
  // it much sooner than other transfers (transfer_table.h).
  bool after_error;
  block_state_t blocks;
  // The option acknowledgement's timeout and size change nothing here: the
  // trace shows them from the message, the report from the acknowledgement
  // it keeps, and the record does not carry them.
  std::unique_ptr<block_extras_t> extras;
  std::unique_ptr<transfer_story_t> story;
  block_output_t out;

  std::uint16_t src_port;  // as the request came: the requester's port
  std::uint16_t dst_port;  // and the port it was sent to
  // The capture second of the transfer's last datagram, which says when
  // silence ends it (transfer_table.h).
  std::uint32_t last_seen_s;
  // The requested name and, right after its NUL in the same allocation,
  // the mode: tens of thousands of requests may wait at once, and one
  // allocation costs less than two. Both go when the record lets go of
  // its texts.
  owned_text filename;
  const char *mode;

  table_links_t table;
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(tftp_request_t, story) + sizeof(tftp_request_t::story) <= 64 &&
                  offsetof(tftp_request_t, out) + BLOCK_OUTPUT_HOT_BYTES <= 192,
              "what a DATA or ACK reads must stay in the record's first three cache lines");
static_assert(offsetof(tftp_request_t, last_seen_s) + sizeof(std::uint32_t) <= 192,
              "the stamp every datagram leaves stays in the first three cache lines");
static_assert(sizeof(tftp_request_t) <= 320, "a record keeps to five cache lines");
#pragma GCC diagnostic pop

// A broadcast record that a clone can still be made from: one for each
// server that answers it, while it has the texts a clone copies.
inline bool is_broadcast_template(const tftp_request_t &r) {
  return r.ends.dst_addr.is_limited_broadcast() && r.filename && r.mode;
}

// The output's name is not built yet. A request that nothing answers never
// needs one, and any host can send those by the thousand, so the name waits
// for the transfer's first datagram; built then, from what the request set,
// it is the one the request would have built. A released record has neither
// name nor texts, and gets no name from its request any more.
inline bool awaits_name(const tftp_request_t &r) { return !r.out.name && r.filename; }

// Where block n goes in the file: at its place by number, or, for a
// transfer whose blocks are appended, right after the counted bytes.
inline std::uint64_t place_of(const tftp_request_t &r, std::uint32_t block) {
  return r.blocks.appended ? r.out.counted_end : block_place(r.blocks, block);
}
