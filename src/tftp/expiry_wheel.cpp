// SPDX-License-Identifier: BSD-2-Clause
#include "tftp/expiry_wheel.h"

#include "tftp/transfer.h"

namespace {

tftp_request_t *slots[EXPIRY_WHEEL_SLOTS];
// Every slot up to this second has been swept; 0 before the first sweep.
std::uint32_t swept_s = 0;

tftp_request_t *&slot_of(std::uint32_t second) { return slots[second % EXPIRY_WHEEL_SLOTS]; }

}  // namespace

void wheel_unlink(tftp_request_t &r) {
  table_links_t &l = r.table;
  if (l.due_s == 0) return;
  if (l.wheel_prev) l.wheel_prev->table.wheel_next = l.wheel_next;
  else slot_of(l.due_s) = l.wheel_next;
  if (l.wheel_next) l.wheel_next->table.wheel_prev = l.wheel_prev;
  l.wheel_next = l.wheel_prev = nullptr;
  l.due_s = 0;
}

void wheel_schedule(tftp_request_t &r, std::uint32_t due_s) {
  wheel_unlink(r);
  if (due_s <= swept_s) due_s = swept_s + 1;
  table_links_t &l = r.table;
  l.due_s = due_s;
  tftp_request_t *&head = slot_of(due_s);
  l.wheel_next = head;
  if (head) head->table.wheel_prev = &r;
  head = &r;
}

void wheel_sweep(std::uint32_t now_s, void (*visit)(tftp_request_t &)) {
  if (now_s <= swept_s) return;
  // After a long gap (or on the first sweep) every slot is swept once.
  const std::uint32_t count = swept_s == 0 || now_s - swept_s >= EXPIRY_WHEEL_SLOTS ? EXPIRY_WHEEL_SLOTS
                                                                                     : now_s - swept_s;
  const std::uint32_t first = now_s - count + 1;
  swept_s = now_s;
  for (std::uint32_t i = 0; i < count; ++i) {
    tftp_request_t *r = slot_of(first + i);
    slot_of(first + i) = nullptr;
    while (r) {
      tftp_request_t *next = r->table.wheel_next;
      r->table.wheel_next = r->table.wheel_prev = nullptr;
      r->table.due_s = 0;
      visit(*r);
      r = next;
    }
  }
}

void wheel_clear() {
  for (tftp_request_t *&head : slots) head = nullptr;
  swept_s = 0;
}
