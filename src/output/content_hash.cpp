// SPDX-License-Identifier: BSD-2-Clause
#include "output/content_hash.h"

#include <openssl/evp.h>

#include "output/hash_worker.h"
#include "base/log.h"

namespace {

// Hashing zeros costs time even where the file costs no disk: a hostile
// capture could claim holes of terabytes. Past this much, no hash.
constexpr std::uint64_t MAX_HASHED_ZEROS = std::uint64_t{256} << 20;

}  // namespace

void content_hash::ctx_free::operator()(evp_md_ctx_st *ctx) const { EVP_MD_CTX_free(ctx); }

content_hash::content_hash() : ctx_(EVP_MD_CTX_new()) {
  if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1) log_error(3, "failed to set up sha256");
}

// The context is freed only once the work queued for it is done.
content_hash::~content_hash() { hash_wait(last_); }

void content_hash::queued(hash_ticket ticket) {
  if (ticket != 0) last_ = ticket;
}

bool content_hash::add_zeros(std::uint64_t count) {
  zeros_ += count;
  if (zeros_ > MAX_HASHED_ZEROS) return false;
  queued(hash_zeros(ctx_.get(), count));
  return true;
}

void content_hash::add(std::uint64_t offset, bytes_t bytes) {
  if (spoilt_) return;
  if (offset < position_ || !add_zeros(offset - position_)) {
    spoilt_ = true;
    return;
  }
  queued(hash_bytes(ctx_.get(), bytes));
  position_ = offset + bytes.size();
}

void content_hash::extend(std::uint64_t size) {
  if (spoilt_ || size <= position_) return;
  if (!add_zeros(size - position_)) spoilt_ = true;
  position_ = size;
}

bool content_hash::digest(std::array<std::uint8_t, 32> &out) {
  if (spoilt_) return false;
  hash_wait(last_);
  unsigned length = 0;
  if (EVP_DigestFinal_ex(ctx_.get(), out.data(), &length) != 1 || length != out.size()) return false;
  spoilt_ = true;  // finalised: a second digest would be wrong
  return true;
}
