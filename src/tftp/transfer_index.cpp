#include "tftp/transfer_index.h"

#include <unordered_map>

#include "tftp/transfer.h"

namespace {

struct endpoint_key_hash {
  std::size_t operator()(const endpoint_key &k) const noexcept {
    std::uint64_t v = (static_cast<std::uint64_t>(k.requester_addr) << 32 | k.server_addr);
    v ^= static_cast<std::uint64_t>(k.requester_port) * 0x9e3779b97f4a7c15ull;
    v *= 0xff51afd7ed558ccdull;
    return static_cast<std::size_t>(v ^ (v >> 32));
  }
};

std::unordered_map<endpoint_key, tftp_request_t *, endpoint_key_hash> chains;
std::uint64_t next_seq = 0;

}  // namespace

endpoint_key key_of(const tftp_request_t &r) { return {r.src_addr, r.dst_addr, r.stid}; }

void index_insert(tftp_request_t &r) {
  r.seq = ++next_seq;
  tftp_request_t *&head = chains[key_of(r)];
  r.idx_prev = nullptr;
  r.idx_next = head;
  if (head) head->idx_prev = &r;
  head = &r;
}

void index_remove(tftp_request_t &r) {
  if (r.idx_next) r.idx_next->idx_prev = r.idx_prev;
  if (r.idx_prev) {
    r.idx_prev->idx_next = r.idx_next;
  } else if (r.idx_next) {
    chains[key_of(r)] = r.idx_next;
  } else {
    chains.erase(key_of(r));
  }
  r.idx_next = r.idx_prev = nullptr;
}

void index_clear() {
  chains.clear();
  next_seq = 0;
}

tftp_request_t *index_find(const endpoint_key &key) {
  const auto found = chains.find(key);
  return found == chains.end() ? nullptr : found->second;
}

candidate_walk::candidate_walk(const endpoint_key &a, const endpoint_key &b, const endpoint_key &c) {
  const endpoint_key *keys[3] = {&a, &b, &c};
  for (int i = 0; i < 3; ++i) {
    bool repeated = false;
    for (int j = 0; j < i; ++j) repeated = repeated || *keys[j] == *keys[i];
    if (repeated) continue;
    if (tftp_request_t *head = index_find(*keys[i])) cursor_[count_++] = head;
  }
}

tftp_request_t *candidate_walk::next() {
  int newest = -1;
  for (int i = 0; i < count_; ++i)
    if (cursor_[i] && (newest < 0 || cursor_[i]->seq > cursor_[newest]->seq)) newest = i;
  if (newest < 0) return nullptr;
  tftp_request_t *r = cursor_[newest];
  cursor_[newest] = r->idx_next;
  return r;
}
