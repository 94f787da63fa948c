// SPDX-License-Identifier: BSD-2-Clause
#include "output/hash_worker.h"

#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

namespace {

// One producer (the run) and one consumer (the worker). Pieces go into
// `pieces` in order, their bytes into `ring`; `queued` counts the pieces
// published, `done` those hashed, and `bytes_done` the ring's bytes that
// hashed pieces have given back. All of it lives as long as the process, so
// that the worker never meets a destroyed object while the process exits.
constexpr std::size_t RING_BYTES = std::size_t{1} << 20;
constexpr std::size_t RING_PIECES = std::size_t{1} << 13;
constexpr std::size_t MAX_PIECE = std::size_t{64} << 10;

struct piece_t {
  evp_md_ctx_st *ctx;
  std::uint64_t zeros;     // zero bytes to hash, when `length` is 0
  std::size_t at;          // where its bytes are in the ring
  std::size_t length;
  std::uint64_t ring_end;  // the ring's byte count once it is hashed
};

alignas(64) std::uint8_t ring[RING_BYTES];
piece_t pieces[RING_PIECES];
alignas(64) std::atomic<std::uint64_t> queued{0};
alignas(64) std::atomic<std::uint64_t> done{0};
std::atomic<std::uint64_t> bytes_done{0};
std::uint64_t bytes_queued = 0;  // the run's count of ring bytes used
// The worker is woken for every few pieces, not each one: most pieces are
// small, and a wake-up costs more than hashing one. Anyone who waits for
// the worker wakes it first.
constexpr std::uint64_t PIECES_PER_WAKE = 16;
std::uint64_t announced = 0;  // pieces queued when the worker was last woken

enum class mode : std::uint8_t { unknown, threaded, inline_only };
mode worker_mode = mode::unknown;

const std::uint8_t zero_block[16384] = {};

void update_zeros(evp_md_ctx_st *ctx, std::uint64_t count) {
  while (count > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, sizeof zero_block));
    EVP_DigestUpdate(ctx, zero_block, n);
    count -= n;
  }
}

void work() {
  std::uint64_t next = 0;
  for (;;) {
    queued.wait(next, std::memory_order_acquire);
    const std::uint64_t until = queued.load(std::memory_order_acquire);
    for (; next < until; ++next) {
      const piece_t &p = pieces[next % RING_PIECES];
      if (p.length != 0) EVP_DigestUpdate(p.ctx, ring + p.at, p.length);
      else update_zeros(p.ctx, p.zeros);
      bytes_done.store(p.ring_end, std::memory_order_release);
      done.store(next + 1, std::memory_order_release);
      done.notify_all();
    }
  }
}

void wait_for_all() { hash_wait(queued.load(std::memory_order_relaxed)); }

// A worker only where a second processor can run it; exiting waits for the
// work queued, before the library's own clean-up (registered earlier, so
// run later) frees what the worker uses.
bool threaded() {
  if (worker_mode == mode::unknown) {
    worker_mode = mode::inline_only;
    if (std::thread::hardware_concurrency() > 1) {
      try {
        std::thread(work).detach();
        worker_mode = mode::threaded;
        std::atexit(wait_for_all);
      } catch (const std::system_error &) {
      }
    }
  }
  return worker_mode == mode::threaded;
}

void wake_worker() {
  announced = queued.load(std::memory_order_relaxed);
  queued.notify_one();
}

// Waits until a piece of `length` ring bytes, starting at `first`, fits.
void wait_for_room(std::uint64_t first, std::size_t length) {
  for (bool woken = false;; woken = true) {
    const std::uint64_t d = done.load(std::memory_order_acquire);
    const bool piece_room = queued.load(std::memory_order_relaxed) - d < RING_PIECES;
    const bool byte_room = first + length - bytes_done.load(std::memory_order_acquire) <= RING_BYTES;
    if (piece_room && byte_room) return;
    if (!woken) wake_worker();
    done.wait(d, std::memory_order_acquire);
  }
}

hash_ticket publish(evp_md_ctx_st *ctx, bytes_t bytes, std::uint64_t zeros) {
  std::size_t at = bytes_queued % RING_BYTES;
  // A piece never wraps: the ring's end is skipped when it would.
  const std::size_t skipped = at + bytes.size() > RING_BYTES ? RING_BYTES - at : 0;
  wait_for_room(bytes_queued, skipped + bytes.size());
  if (skipped != 0) at = 0;
  if (!bytes.empty()) std::memcpy(ring + at, bytes.data(), bytes.size());
  bytes_queued += skipped + bytes.size();
  const std::uint64_t n = queued.load(std::memory_order_relaxed);
  pieces[n % RING_PIECES] = {ctx, zeros, at, bytes.size(), bytes_queued};
  queued.store(n + 1, std::memory_order_release);
  if (n + 1 - announced >= PIECES_PER_WAKE) wake_worker();
  return n + 1;
}

}  // namespace

hash_ticket hash_bytes(evp_md_ctx_st *ctx, bytes_t bytes) {
  if (!threaded()) {
    EVP_DigestUpdate(ctx, bytes.data(), bytes.size());
    return 0;
  }
  hash_ticket ticket = 0;
  while (!bytes.empty()) {
    const std::size_t n = std::min(bytes.size(), MAX_PIECE);
    ticket = publish(ctx, bytes.first(n), 0);
    bytes = bytes.subspan(n);
  }
  return ticket;
}

hash_ticket hash_zeros(evp_md_ctx_st *ctx, std::uint64_t count) {
  if (count == 0) return 0;
  if (!threaded()) {
    update_zeros(ctx, count);
    return 0;
  }
  return publish(ctx, {}, count);
}

void hash_wait(hash_ticket ticket) {
  if (hash_done(ticket)) return;
  wake_worker();
  for (;;) {
    const std::uint64_t d = done.load(std::memory_order_acquire);
    if (d >= ticket) return;
    done.wait(d, std::memory_order_acquire);
  }
}

bool hash_done(hash_ticket ticket) { return done.load(std::memory_order_acquire) >= ticket; }

void hash_in_place() {
  if (worker_mode == mode::unknown) worker_mode = mode::inline_only;
}
