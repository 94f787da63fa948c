// SPDX-License-Identifier: BSD-2-Clause
// IPv4 fragment reassembly: a request split into fragments traces as one
// READ line once it is complete; records still incomplete at the end of the
// run are listed at debug level 2.

#include "golden.h"

namespace golden {
namespace {

constexpr std::uint16_t kId = 0x1234;  // 10.0.0.1 -> 10.0.0.2 with it: bucket 7

// A fragment carrying `piece` at byte `offset` of the datagram.
bytes fragment(const bytes &piece, std::size_t offset, bool more, std::uint16_t id = kId) {
  auto p = ipv4("10.0.0.1", "10.0.0.2", piece);
  p.id = id;
  p.frag_offset = static_cast<std::uint16_t>(offset / 8);
  p.more_fragments = more;
  return p.build();
}

// The fragment of `datagram` holding bytes [offset, offset + n).
bytes part(const bytes &datagram, std::size_t offset, std::size_t n, bool more, std::uint16_t id = kId) {
  return fragment(slice(datagram, offset, n), offset, more, id);
}

golden_case frames(std::string name, const std::vector<bytes> &packets, std::vector<std::string> args,
                   text_check out, text_check err) {
  capture cap;
  for (const auto &p : packets) cap.packet(p);
  return {.name = std::move(name),
          .capture = cap.file(),
          .args = with_input(std::move(args)),
          .status = 0,
          .out = std::move(out),
          .err = std::move(err)};
}

// End-of-run dump lines, with the pointers left open.
std::string record_line(int bucket, const std::string &rest) {
  return quote("[debug] fragment bucket " + std::to_string(bucket) + ": [") + "0x[0-9a-f]+" + quote("], " + rest) + "\n";
}

std::string piece_line(int bucket, unsigned offset, unsigned len) {
  return quote("[debug] fragment bucket " + std::to_string(bucket) + ": [") + "0x[0-9a-f]+" + quote("], data[") +
         "0x[0-9a-f]+" +
         quote("], offset=" + std::to_string(offset) + ", len=" + std::to_string(len)) + "\n";
}

std::string record_of(int bucket, unsigned length, const char *flags, unsigned id) {
  return record_line(bucket, "length=" + std::to_string(length) + ", flags=" + flags +
                                 ", src=10.0.0.1, dst=10.0.0.2, id=" + std::to_string(id));
}

std::vector<golden_case> cases() {
  std::vector<golden_case> c;
  // 2000 bytes: 1480 in the first fragment, 520 at offset 185 (1480 bytes).
  const bytes big = padded_read_request_datagram(2000);
  const bytes first = part(big, 0, 1480, true);
  const bytes last = part(big, 1480, 520, false);
  // 24 bytes: a request for "abcdefg"; 32 bytes: one for "abcdefghijklmno".
  const bytes small = udp(1025, 69, tftp::rrq("abcdefg")).build("10.0.0.1", "10.0.0.2");
  const std::string small_line = "READ  10.0.0.1:1025 > 10.0.0.2:69 \"abcdefg\" octet\n";
  const bytes mid = udp(1025, 69, tftp::rrq("abcdefghijklmno")).build("10.0.0.1", "10.0.0.2");
  const std::string mid_line = "READ  10.0.0.1:1025 > 10.0.0.2:69 \"abcdefghijklmno\" octet\n";

  // Completion releases the record: nothing is left for the dump.
  c.push_back(frames("InOrder", {first, last}, {"-v", "-B", "-d", "2"}, read_line, reading()));
  c.push_back(frames("ReverseOrder", {last, first}, {"-v", "-B", "-d", "2"}, read_line, reading()));
  c.push_back(frames("DuplicatesChangeNothing", {first, first, last}, {"-v", "-B"}, read_line, reading()));
  c.push_back(frames("DuplicateLastFragment", {last, last, first}, {"-v", "-B"}, read_line, reading()));
  c.push_back(frames("ThreePiecesOutOfOrder",
                     {part(big, 1000, 1000, false), part(big, 0, 504, true), part(big, 504, 496, true)},
                     {"-v", "-B", "-d", "2"}, read_line, reading()));
  {
    // The key is source, destination and identification: interleaved
    // fragments of datagrams that differ in one of them stay apart.
    auto to = [](const char *dst, std::uint16_t id, const bytes &piece, std::size_t offset, bool more) {
      auto p = ipv4("10.0.0.1", dst, piece);
      p.id = id;
      p.frag_offset = static_cast<std::uint16_t>(offset / 8);
      p.more_fragments = more;
      return p.build();
    };
    const bytes other_id = udp(1025, 69, tftp::rrq("other-id")).build("10.0.0.1", "10.0.0.2");
    const bytes other_dst = udp(1025, 69, tftp::rrq("other-dst")).build("10.0.0.1", "10.0.0.3");
    c.push_back(frames("InterleavedDatagramsStayApart",
                       {to("10.0.0.2", kId, slice(small, 0, 16), 0, true),
                        to("10.0.0.2", kId + 1, slice(other_id, 0, 16), 0, true),
                        to("10.0.0.3", kId, slice(other_dst, 0, 16), 0, true),
                        to("10.0.0.3", kId, slice(other_dst, 16, 16), 16, false),
                        to("10.0.0.2", kId + 1, slice(other_id, 16, 16), 16, false),
                        to("10.0.0.2", kId, slice(small, 16, 8), 16, false)},
                       {"-v", "-B", "-d", "2"},
                       "READ  10.0.0.1:1025 > 10.0.0.3:69 \"other-dst\" octet\n"
                       "READ  10.0.0.1:1025 > 10.0.0.2:69 \"other-id\" octet\n" +
                           small_line,
                       reading()));
  }
  // A datagram whose fragments come again is handed on again.
  c.push_back(frames("SentTwiceCompletesTwice", {first, last, first, last}, {"-v", "-d", "2"},
                     read_line + read_line, reading()));
  // Pieces 0-15 and 8-23: bytes 8-15 come from the first piece, so the
  // garbage in the second is never used (-B proves the UDP checksum).
  c.push_back(frames("OverlapTakesFirstPiece",
                     {part(small, 0, 16, true), fragment(fill(8, 0xff) + slice(small, 16, 8), 8, false)},
                     {"-v", "-B"}, small_line, reading()));
  c.push_back(frames("OverlapLastArrivingFirst",
                     {fragment(fill(8, 0xff) + slice(small, 16, 8), 8, false), part(small, 0, 16, true)},
                     {"-v", "-B", "-d", "2"}, small_line, reading()));
  // A piece that reaches past the end that the last fragment sets turns the
  // record bad without a word; its key is then ignored to the end of the run
  // and the dump has no line for it.
  c.push_back(frames("PieceBeyondEndMakesRecordBad",
                     {part(mid, 0, 16, true), fragment(fill(16, 0xee), 32, true), part(mid, 16, 16, false),
                      part(mid, 0, 16, true), part(mid, 16, 16, false)},
                     {"-v", "-d", "2"}, "", reading()));
  // Had the last fragment come first, the datagram completes and the late
  // piece starts a record of its own.
  c.push_back(frames("LatePieceStartsNewRecord",
                     {part(mid, 0, 16, true), part(mid, 16, 16, false), fragment(fill(16, 0xee), 32, true)},
                     {"-v", "-d", "2"}, mid_line,
                     matches(quote(reading()) + record_of(7, 0, "0000", kId) + piece_line(7, 32, 16))));
  // The largest offset: 8191 units is byte 65528, and the datagram ends at
  // 65535 at most.
  c.push_back(frames("OffsetPastMaximumMakesRecordBad",
                     {fragment(fill(8, 0), 65528, false), part(mid, 0, 16, true)}, {"-v", "-d", "2"}, "",
                     reading() + warning("length of fragment packet exceeds max possible data; offset: 65528, "
                                         "caplen: 8, length: 65535")));
  c.push_back(frames("OffsetAtMaximumAccepted", {fragment(fill(7, 0), 65528, false)}, {"-v", "-d", "2"}, "",
                     matches(quote(reading()) + record_of(7, 65535, "0002", kId) + piece_line(7, 65528, 7))));
  // Lone last fragments: listed at level 2, newest record of a bucket first
  // (0x1299 folds into bucket 7 like 0x1234).
  c.push_back(frames("LoneLastFragmentsDumped", {last, part(big, 1480, 520, false, 0x1299)}, {"-v", "-d", "2"}, "",
                     matches(quote(reading()) + record_of(7, 2000, "0002", 0x1299) + piece_line(7, 1480, 520) +
                             record_of(7, 2000, "0002", kId) + piece_line(7, 1480, 520))));
  c.push_back(frames("LoneLastFragmentSilentAtLevelOne", {last}, {"-v", "-d", "1"}, "", reading()));
  // Zero-length fragments: a last one can complete a datagram; one inside a
  // stored piece is dropped; one elsewhere is stored but covers nothing.
  c.push_back(frames("ZeroLengthLastFragmentCompletes", {part(small, 0, 24, true), fragment({}, 24, false)},
                     {"-v", "-B"}, small_line, reading()));
  c.push_back(frames("ZeroLengthPieces",
                     {part(mid, 0, 16, true), fragment({}, 8, true), fragment({}, 24, true), part(mid, 24, 8, false)},
                     {"-v", "-d", "2"}, "",
                     matches(quote(reading()) + record_of(7, 32, "0003", kId) + piece_line(7, 0, 16) +
                             piece_line(7, 24, 0) + piece_line(7, 24, 8))));
  {
    // A hundred empty pieces alternating between two offsets come first, so
    // that pieces are placed through the record's index by offset; the
    // datagram still completes, and its bytes are the fragments' (-B checks
    // the UDP checksum).
    std::vector<bytes> packets;
    for (int i = 0; i < 100; ++i) packets.push_back(fragment({}, i % 2 ? 16 : 8, true));
    packets.push_back(last);
    // Without the first fragment the record stays, and the dump shows its
    // pieces in offset order, those of one offset in arrival order.
    std::string dump = quote(reading()) + record_of(7, 2000, "0002", kId);
    for (const unsigned offset : {8u, 16u})
      for (int i = 0; i < 50; ++i) dump += piece_line(7, offset, 0);
    dump += piece_line(7, 1480, 520);
    c.push_back(frames("ManyEmptyPiecesKeptInOrder", packets, {"-v", "-d", "2"}, "", matches(dump)));
    packets.push_back(first);
    c.push_back(frames("ManyEmptyPiecesFirst", packets, {"-v", "-B", "-d", "2"}, read_line, reading()));
  }
  {
    // A reassembled datagram is summed with the destination of its 20-byte
    // header copy: the source route of the first fragment plays no part.
    auto routed = ipv4("10.0.0.1", "10.0.0.2", slice(big, 0, 1480));
    routed.id = kId;
    routed.more_fragments = true;
    routed.options = loose_source_route({"10.0.0.5", "10.0.0.9"});
    c.push_back(frames("ReassembledIgnoresSourceRoute", {routed.build(), last}, {"-v", "-B"}, read_line, reading()));
  }
  return c;
}

INSTANTIATE_TEST_SUITE_P(Fragments, Golden, ::testing::ValuesIn(cases()), case_name());

}  // namespace
}  // namespace golden
