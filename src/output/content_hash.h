// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "base/bytes.h"
#include "output/hash_worker.h"
#include "report/pending_digest.h"

struct evp_md_ctx_st;

// The SHA-256 of a file's content as it is written: blocks in file order,
// the holes between them as zeros. Fed from the bytes in hand as they are
// written, never by reading a file back; the hashing itself may be done on
// another thread (hash_worker.h).
class content_hash final : public pending_digest {
 public:
  content_hash();
  ~content_hash() override;
  content_hash(const content_hash &) = delete;
  content_hash &operator=(const content_hash &) = delete;

  // Adds `bytes` found at `offset`, zeros first up to it. A block before
  // the bytes already hashed, or holes too large to hash, spoil the hash.
  void add(std::uint64_t offset, bytes_t bytes);
  // The content ends at `size`, zeros up to it.
  void extend(std::uint64_t size);
  // The digest, or false when it was spoilt. Waits for the hashing queued.
  bool digest(std::array<std::uint8_t, 32> &out) override;
  // Whether digest() would not wait.
  bool ready() const override { return hash_done(last_); }

 private:
  bool add_zeros(std::uint64_t count);
  void queued(hash_ticket ticket);

  struct ctx_free {
    void operator()(evp_md_ctx_st *ctx) const;
  };
  std::unique_ptr<evp_md_ctx_st, ctx_free> ctx_;
  std::uint64_t position_ = 0;
  std::uint64_t zeros_ = 0;
  bool spoilt_ = false;
  hash_ticket last_ = 0;  // the last work queued for the context
};
