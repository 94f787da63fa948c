#pragma once

#include <cstdint>

struct tftp_request_t;

// Every test that ties a datagram to a transfer compares the requester's
// address and port and the server's address, in one direction or the other.
// Records are indexed by that triple, so that a datagram looks at the few
// records that can fit it instead of walking every transfer ever seen. Each
// chain holds the records of one key, newest first.
struct endpoint_key {
  std::uint32_t requester_addr;
  std::uint32_t server_addr;
  std::uint16_t requester_port;
  bool operator==(const endpoint_key &) const = default;
};

endpoint_key key_of(const tftp_request_t &record);

void index_insert(tftp_request_t &record);
void index_remove(tftp_request_t &record);
void index_clear();

// The newest record of a key, or null; older ones follow through idx_next.
tftp_request_t *index_find(const endpoint_key &key);

// Whether any record sent to the broadcast address is indexed.
bool index_has_broadcast();

// Walks up to three chains together in newest-first order, as one walk of
// the whole list would meet their records. Chains of equal keys are walked
// once.
class candidate_walk {
 public:
  // `broadcast` is looked up only while a broadcast record exists.
  candidate_walk(const endpoint_key &broadcast, const endpoint_key &b, const endpoint_key &c);
  tftp_request_t *next();

 private:
  tftp_request_t *cursor_[3];
  int count_ = 0;
};
