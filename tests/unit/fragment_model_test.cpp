// SPDX-License-Identifier: BSD-2-Clause
// The reassembly keeps its coverage and insertion point up to date piece by
// piece instead of walking the pieces for every fragment. These tests hold it
// against a plain model that walks the whole piece list each time, on many
// random fragment sequences: the same fragments kept or dropped, the same
// flags and lengths, the same records turned bad, and the same payloads.

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "capture_builder.h"
#include "capture_fd.h"
#include "decode/fragment.h"

namespace {

using capture_builder::bytes;

struct model_piece {
  std::uint32_t offset;
  bytes data;
  std::size_t end() const { return offset + data.size(); }
};

// One record, the way the pieces are walked from the first every time.
struct model_record {
  std::uint16_t flags = 0;
  std::size_t length = 0;
  std::vector<model_piece> pieces;

  void insert(std::uint32_t offset, const bytes &data) {
    if (pieces.empty() || pieces.front().offset > offset) {
      pieces.insert(pieces.begin(), {offset, data});
      return;
    }
    for (std::size_t i = 0;; ++i) {
      const model_piece &p = pieces[i];
      if (p.end() > offset && offset + data.size() <= p.end()) return;  // wholly inside
      if (i + 1 == pieces.size() || pieces[i + 1].offset > offset) {
        pieces.insert(pieces.begin() + static_cast<std::ptrdiff_t>(i + 1), {offset, data});
        return;
      }
    }
  }

  std::size_t covered() const {
    std::size_t covered = 0;
    for (const auto &p : pieces) {
      if (p.offset > covered) break;
      covered = std::max(covered, p.end());
    }
    return covered;
  }

  bytes assemble() const {
    bytes out(length);
    std::size_t filled = 0;
    for (const auto &p : pieces) {
      if (p.offset <= filled && p.end() > filled) {
        std::memcpy(out.data() + filled, p.data.data() + (filled - p.offset), p.end() - filled);
        filled = p.end();
      }
    }
    return out;
  }
};

struct fragment_in {
  unsigned units;
  bool more;
  bytes payload;
};

std::string describe(const std::vector<fragment_in> &sequence) {
  std::ostringstream s;
  for (const auto &f : sequence) s << "[" << f.units * 8 << "+" << f.payload.size() << (f.more ? " MF" : "") << "] ";
  return s.str();
}

// What the engine holds, in the model's terms.
std::vector<model_piece> pieces_of(const fragment_t *record) {
  std::vector<model_piece> out;
  for (const fragment_data_t *p = record->data; p; p = p->next) out.push_back({p->offset, bytes(p->data, p->data + p->len)});
  return out;
}

bool same_pieces(const std::vector<model_piece> &a, const std::vector<model_piece> &b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].offset != b[i].offset || a[i].data != b[i].data) return false;
  return true;
}

const bytes header = capture_builder::ipv4("10.0.0.1", "10.0.0.2", bytes{}).build();

// Runs one sequence through the engine and the model the way the IPv4
// decoder drives them: add, try to reassemble, hand on and release. The
// engine's warnings go to standard error, which the tests set aside.
void run_sequence_once(const std::vector<fragment_in> &sequence) {
  std::optional<model_record> model;
  int completions = 0;
  for (std::size_t step = 0; step < sequence.size(); ++step) {
    const fragment_in &f = sequence[step];
    SCOPED_TRACE("after fragment " + std::to_string(step) + " of " + describe(sequence));

    // The model.
    if (!model) model.emplace();
    bool model_returns = false;
    std::optional<bytes> model_payload;
    const std::size_t end = f.units * 8 + f.payload.size();
    if (!(model->flags & FRAG_BAD)) {
      if (end > 65535) {
        model->pieces.clear();
        model->flags |= FRAG_BAD;
      } else {
        if (f.units == 0) model->flags |= FRAG_HAVE_FIRST;
        if (!f.more) {
          model->flags |= FRAG_HAVE_LAST;
          model->length = end;
        }
        model->insert(f.units * 8, f.payload);
        model_returns = true;
        if ((model->flags & (FRAG_HAVE_FIRST | FRAG_HAVE_LAST)) == (FRAG_HAVE_FIRST | FRAG_HAVE_LAST)) {
          const std::size_t covered = model->covered();
          if (model->length < covered) {
            model->pieces.clear();
            model->flags |= FRAG_BAD;
          } else if (model->length == covered) {
            model_payload = model->assemble();
          }
        }
      }
    }

    // The engine.
    fragment_t *record = nullptr;
    int complete = 0;
    std::optional<bytes> payload;
    std::vector<model_piece> held;
    std::uint16_t flags = 0;
    std::size_t length = 0;
    record = frag_add(bytes_t{header}, f.units, f.more ? 0x2000 : 0, bytes_t{f.payload});
    if (record) complete = frag_reassemble(record);
    if (complete) {
      payload = bytes(record->packet, record->packet + record->length);
      frag_release(record);
    } else if (record) {
      held = pieces_of(record);
      flags = record->flags;
      length = record->length;
    }

    ASSERT_EQ(record != nullptr, model_returns);
    ASSERT_EQ(payload.has_value(), model_payload.has_value());
    if (payload) {
      ASSERT_EQ(*payload, *model_payload);
      ++completions;
      model.reset();  // released: the next fragment starts a new record
      continue;
    }
    if (record) {
      ASSERT_EQ(flags, model->flags);
      ASSERT_EQ(length, model->length);
      ASSERT_TRUE(same_pieces(held, model->pieces));
    }
  }
  (void)completions;
  frag_release_all();
  frag_table_init();
}

// With the pieces walked, indexed from the first piece, and indexed once a
// record holds a few.
void run_sequence(const std::vector<fragment_in> &sequence) {
  const std::size_t saved = piece_walk_limit;
  for (const std::size_t limit : {static_cast<std::size_t>(-1), std::size_t{0}, std::size_t{3}}) {
    SCOPED_TRACE("pieces indexed past " + std::to_string(static_cast<long long>(limit)));
    piece_walk_limit = limit;
    run_sequence_once(sequence);
    if (::testing::Test::HasFatalFailure()) break;
  }
  piece_walk_limit = saved;
}

bytes random_bytes(std::mt19937 &rng, std::size_t n) {
  bytes b(n);
  for (auto &x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

TEST(FragmentModel, RandomSequencesMatchTheWalk) {
  capture_fd(2, [] {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 20000; ++round) {
      std::vector<fragment_in> sequence;
      const int count = 1 + static_cast<int>(rng() % 10);
      for (int i = 0; i < count; ++i) {
        fragment_in f;
        f.units = rng() % 9;
        // Mostly multiples of 8, sometimes ragged or empty.
        const unsigned kind = rng() % 4;
        const std::size_t n = kind == 0 ? rng() % 40 : 8 * (rng() % 5);
        f.payload = random_bytes(rng, n);
        f.more = rng() % 3 != 0;
        sequence.push_back(std::move(f));
      }
      run_sequence(sequence);
      if (::testing::Test::HasFatalFailure()) return;
    }
  });
}

TEST(FragmentModel, InOrderStreamsWithRetransmissions) {
  capture_fd(2, [] {
    // Long datagrams arriving mostly in order, with repeats and stragglers:
    // the case the insertion point is kept for.
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; ++round) {
      const unsigned pieces = 2 + rng() % 30;
      std::vector<fragment_in> in_order;
      for (unsigned i = 0; i < pieces; ++i)
        in_order.push_back({i * 4, i + 1 < pieces, random_bytes(rng, i + 1 < pieces ? 32 : 1 + rng() % 32)});
      std::vector<fragment_in> sequence;
      for (const auto &f : in_order) {
        sequence.push_back(f);
        if (rng() % 5 == 0) sequence.push_back(in_order[rng() % in_order.size()]);
      }
      if (rng() % 2) std::swap(sequence[rng() % sequence.size()], sequence[rng() % sequence.size()]);
      run_sequence(sequence);
      if (::testing::Test::HasFatalFailure()) return;
    }
  });
}

TEST(FragmentModel, ScatteredOverTheWholeDatagram) {
  capture_fd(2, [] {
    // Few offsets, far apart and repeated, some pieces long enough to
    // reach over others: ordering and containment across the whole range.
    std::mt19937 rng(4242);
    for (int round = 0; round < 3000; ++round) {
      unsigned offsets[4];
      for (unsigned &units : offsets) units = rng() % 8192;
      std::vector<fragment_in> sequence;
      const int count = 2 + static_cast<int>(rng() % 14);
      for (int i = 0; i < count; ++i) {
        fragment_in f;
        f.units = rng() % 8 == 0 ? 0 : offsets[rng() % 4];
        const unsigned kind = rng() % 3;
        f.payload = random_bytes(rng, kind == 0 ? 0 : kind == 1 ? 8 * (rng() % 4) : rng() % 6000);
        f.more = rng() % 4 != 0;
        sequence.push_back(std::move(f));
      }
      run_sequence(sequence);
      if (::testing::Test::HasFatalFailure()) return;
    }
  });
}

TEST(FragmentModel, EndsNearTheLargestDatagram) {
  capture_fd(2, [] {
    std::mt19937 rng(99);
    for (int round = 0; round < 3000; ++round) {
      std::vector<fragment_in> sequence;
      const int count = 1 + static_cast<int>(rng() % 6);
      for (int i = 0; i < count; ++i) {
        fragment_in f;
        f.units = rng() % 3 == 0 ? 0 : 8185 + rng() % 7;
        f.payload = random_bytes(rng, rng() % 3 == 0 ? 60 : rng() % 16);
        f.more = rng() % 2 != 0;
        sequence.push_back(std::move(f));
      }
      run_sequence(sequence);
      if (::testing::Test::HasFatalFailure()) return;
    }
  });
}

}  // namespace
