// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/address.h"

struct tftp_request_t;

// Only the transfer table (transfer_table.cpp) uses this index.

// Every test that ties a datagram to a transfer compares the requester's
// address and port and the server's address, in one direction or the other.
// Records are indexed by that triple, so that a datagram looks at the few
// records that can fit it instead of walking every transfer ever seen. Each
// chain holds the records of one key, newest first.
struct endpoint_key {
  ip_address requester_addr;
  ip_address server_addr;
  std::uint16_t requester_port;
  bool operator==(const endpoint_key &) const = default;
};

// Many records may share a key (one requester port asking many server ports,
// or one broadcast request answered from many ports), and a datagram that
// walked all of them would cost time in proportion to the capture. A chain
// longer than `chain_walk_limit` is therefore split by what the tests then
// compare, in two more indexes:
//   - by the server's port (`dtid`): the records a datagram's ports fit;
//   - by request: a record by the port its request was sent to, which a
//     retransmitted request replaces; a broadcast record, while it still has
//     the texts a clone is made from, under port 0.
// Short chains, the usual case, are walked and cost the split indexes
// nothing. All chains stay newest first, so that the newest record that fits
// is still the one found.
void index_insert(tftp_request_t &record);  // gives the record the newest place
void index_remove(tftp_request_t &record);
void index_clear();

// Changes the server port the record is indexed under.
void index_set_dtid(tftp_request_t &record, std::uint16_t dtid);

// Takes a broadcast record out of the templates for clones: its texts are
// about to be freed.
void index_forget_template(tftp_request_t &record);

// A chain as a lookup finds it: its newest record (older ones follow through
// `table.idx_next`), and whether it is split.
struct chain_view {
  tftp_request_t *head = nullptr;
  bool split = false;
};

chain_view index_chain(const endpoint_key &key);

// Looks up several keys at once, fetching their slots from memory together:
// with many transfers in progress each is a cache miss.
void index_chains(const endpoint_key *const *keys, int count, chain_view *views);

// In a split chain: the newest record whose `dtid` is the given port.
tftp_request_t *index_find_dtid(const endpoint_key &key, std::uint16_t dtid);

// In a split chain: the newest record, not sent to the broadcast address,
// whose request went to the given port.
tftp_request_t *index_find_request(const endpoint_key &key, std::uint16_t dst_port);

// In a split chain of broadcast records: the newest that a clone can still
// be made from.
tftp_request_t *index_find_template(const endpoint_key &key);

// Whether any record sent to the broadcast address is indexed.
bool index_has_broadcast();

// Chains of records sharing their endpoints are split once longer than this.
// Set only while the table is empty (tests set it to 0 or to the largest
// value, to compare the two ways).
extern std::size_t chain_walk_limit;
