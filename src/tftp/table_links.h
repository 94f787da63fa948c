// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdint>
#include <memory>

struct tftp_request_t;

// A record's place in one chain of one index of the transfer table.
struct index_links {
  tftp_request_t *next = nullptr;  // older
  tftp_request_t *prev = nullptr;  // newer
};

// A record's places in the indexes of a split chain (transfer_index.h),
// allocated only while its chain is split: most records never need them.
struct split_links {
  index_links by_dtid;
  index_links by_request;
};

// What the transfer table keeps in each record; only the table touches it.
struct table_links_t {
  std::uint64_t seq = 0;  // place in time: greater is newer
  tftp_request_t *idx_next = nullptr;  // the endpoint chain, newest first
  tftp_request_t *idx_prev = nullptr;
  std::unique_ptr<split_links> split;
  tftp_request_t *next = nullptr;  // older record in request_list
  tftp_request_t *prev = nullptr;  // newer record
  // The record's place in the expiry wheel (expiry_wheel.h): the second of
  // its slot, 0 while it is in none.
  std::uint32_t due_s = 0;
  // The transfer finished (for the status line's counts).
  bool finished = false;
  tftp_request_t *wheel_next = nullptr;
  tftp_request_t *wheel_prev = nullptr;
};
