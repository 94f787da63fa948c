// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdint>
#include <memory>

#include "base/bytes.h"
#include "tftp/transfer.h"

// What a transfer tells: its story, fed by each datagram and written as
// its report line once it ends.

// The report's side: what a datagram adds to a transfer's story.
// `earlier`: the story of the unanswered request this one repeats, if any.
void story_begin(tftp_request_t &request, const request_template_t &t, std::unique_ptr<transfer_story_t> earlier);
// Whether `t` repeats the request of `request`'s story: same op, name, mode
// and options, and no answer came.
bool story_repeats(const tftp_request_t &request, const request_template_t &t);
void story_touch(tftp_request_t &request);
void story_answered(tftp_request_t &request);
void story_data(tftp_request_t &request, std::uint32_t block);
void story_error(tftp_request_t &request, const tftp_msg_t &msg);
void story_oack(tftp_request_t &request, bytes_t body);
void story_failed(tftp_request_t &request, int error);
// With a report: the hash of the content, set up before any of it counts.
void story_hash(tftp_request_t &request);
// Writes the transfer's report line, once, before the record lets go of
// what the line tells.
void tell_story(tftp_request_t &request);
