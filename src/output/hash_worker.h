// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdint>

#include "base/bytes.h"

struct evp_md_ctx_st;

// SHA-256 costs about as much time as everything else a run does (about
// 1 GB/s here, on a path that moves bytes at twice that), so with a second
// processor the digests are computed on a thread of their own, fed in
// order: bytes are copied into a bounded ring (waiting for room when it is
// full) and hashed there while the run goes on. A digest waits only for
// the work queued before it. With one processor, the work is done at once
// on the calling thread.
//
// Each piece of work is for one digest context, which the caller must not
// touch (finalise or free) before `hash_wait` for the piece's ticket.
using hash_ticket = std::uint64_t;

// Queues `bytes` for `ctx`; returns the piece's ticket.
hash_ticket hash_bytes(evp_md_ctx_st *ctx, bytes_t bytes);

// Queues `count` zero bytes for `ctx`.
hash_ticket hash_zeros(evp_md_ctx_st *ctx, std::uint64_t count);

// Returns once the piece of `ticket`, and every piece before it, is hashed.
void hash_wait(hash_ticket ticket);

// Whether the piece of `ticket` is hashed; never waits.
bool hash_done(hash_ticket ticket);

// Hashes at once on the calling thread from now on (live input: a digest is
// wanted as soon as its transfer ends). Only before anything was queued.
void hash_in_place();
