// SPDX-License-Identifier: BSD-2-Clause
// Blocks and acknowledgements: one block is held per transfer and written
// when its acknowledgement is seen in sequence, or at once when it is the
// last (shorter than the block size); OACK sets the block size; ERROR is
// summarised for the trace and changes nothing.

#include "exchange.h"

namespace golden {
namespace {

const std::string name = sample_name;  // client:1025 - server:3000 - "f"

// Standard error at levels 4 and up starts with the record's creation,
// which carries its address in memory.
text_check debug_lines(const std::vector<std::string> &messages) {
  std::string re = quote(reading()) + created(client, server);
  for (const auto &m : messages) re += debug_re(m);
  return matches(re);
}

std::string opening() { return "opening file: " + name + ", mode: wb"; }

std::vector<golden_case> sequence_cases() {
  std::vector<golden_case> c;
  {
    // Each full block is written at its ACK; the empty third block ends the
    // transfer and writes nothing; its ACK only moves the count on.
    exchange x;
    x.send(client, server, tftp::rrq("f"));
    x.send(server_tid, client, tftp::data(1, fill(512, 'a')));
    x.send(client, server_tid, tftp::ack(1));
    x.send(server_tid, client, tftp::data(2, fill(512, 'b')));
    x.send(client, server_tid, tftp::ack(2));
    x.send(server_tid, client, tftp::data(3, {}));
    x.send(client, server_tid, tftp::ack(3));
    c.push_back(run("TwoFullBlocksAndEmptyLast", x, {"-vv", "-d", "5"}, x.trace(2),
                    debug_lines({"ack for read; block=1, last_block=1, last_ack=0", opening(),
                                 "ack for read; block=2, last_block=2, last_ack=1",
                                 "received last block; length: 0, block: 3",
                                 "ack for read; block=3, last_block=3, last_ack=2"}),
                    {{name, fill(512, 'a') + fill(512, 'b')}}));
  }
  {
    // A transfer whose only block is empty never holds one: no file.
    capture cap;
    cap.udp(client, server, tftp::rrq("f"));
    cap.udp(server_tid, client, tftp::data(1, {}));
    cap.udp(client, server_tid, tftp::ack(1));
    c.push_back(run("OnlyBlockEmpty", cap, {"-d", "5"}, "",
                    debug_lines({"received last block; length: 0, block: 1",
                                 "ack for read; block=1, last_block=1, last_ack=0"})));
  }
  {
    // The last block is written when it is seen; the capture may end before
    // its ACK without any warning.
    capture cap;
    cap.udp(client, server, tftp::rrq("f"));
    cap.udp(server_tid, client, tftp::data(1, fill(512, 'a')));
    cap.udp(client, server_tid, tftp::ack(1));
    cap.udp(server_tid, client, tftp::data(2, text("end")));
    c.push_back(run("LastBlockWrittenBeforeItsAck", cap, {"-d", "3"}, "", reading(), {{name, sample_content()}}));
  }
  {
    // A retransmitted block replaces the pending copy; one retransmitted
    // after its ACK is pending again, but a repeated ACK is spurious, so the
    // block is never written twice.
    capture cap;
    cap.udp(client, server, tftp::rrq("f"));
    cap.udp(server_tid, client, tftp::data(1, fill(512, 'a')));
    cap.udp(server_tid, client, tftp::data(1, fill(512, 'a')));
    cap.udp(client, server_tid, tftp::ack(1));
    cap.udp(server_tid, client, tftp::data(1, fill(512, 'a')));
    cap.udp(client, server_tid, tftp::ack(1));
    cap.udp(server_tid, client, tftp::data(2, text("end")));
    cap.udp(client, server_tid, tftp::ack(2));
    c.push_back(run("RetransmittedBlockWrittenOnce", cap, {"-d", "5"}, "",
                    debug_lines({"data already pending on tftp request",
                                 "ack for read; block=1, last_block=1, last_ack=0", opening(),
                                 "spurious ack for read; block=1, last_block=1, last_ack=1",
                                 "data already pending on tftp request",
                                 "received last block; length: 3, block: 2",
                                 "ack for read; block=2, last_block=2, last_ack=1"}),
                    {{name, sample_content()}}));
  }
  {
    // Without the ACK of block 2 in the capture, block 3 shows that it
    // happened: block 2 counts before block 3 takes its place, and the
    // sequence goes on. The whole file comes back.
    capture cap;
    cap.udp(client, server, tftp::rrq("f"));
    cap.udp(server_tid, client, tftp::data(1, fill(512, 'a')));
    cap.udp(client, server_tid, tftp::ack(1));
    cap.udp(server_tid, client, tftp::data(2, fill(512, 'b')));
    cap.udp(server_tid, client, tftp::data(3, fill(512, 'c')));
    cap.udp(client, server_tid, tftp::ack(3));
    cap.udp(server_tid, client, tftp::data(4, fill(512, 'd')));
    cap.udp(client, server_tid, tftp::ack(4));
    cap.udp(server_tid, client, tftp::data(5, text("end")));
    cap.udp(client, server_tid, tftp::ack(5));
    c.push_back(run("MissingAckProvedBySender", cap, {"-d", "5"}, "",
                    debug_lines({"ack for read; block=1, last_block=1, last_ack=0", opening(),
                                 "data already pending on tftp request",
                                 "ack for read; block=3, last_block=3, last_ack=2",
                                 "ack for read; block=4, last_block=4, last_ack=3",
                                 "received last block; length: 3, block: 5",
                                 "ack for read; block=5, last_block=5, last_ack=4"}),
                    {{name, fill(512, 'a') + fill(512, 'b') + fill(512, 'c') + fill(512, 'd') + text("end")}}));
  }
  {
    // The missing block and its ACK seen later: the sequence resumes.
    capture cap;
    cap.udp(client, server, tftp::rrq("f"));
    cap.udp(server_tid, client, tftp::data(1, fill(512, 'a')));
    cap.udp(client, server_tid, tftp::ack(1));
    cap.udp(server_tid, client, tftp::data(2, fill(512, 'b')));
    cap.udp(server_tid, client, tftp::data(3, fill(512, 'c')));
    cap.udp(client, server_tid, tftp::ack(3));
    cap.udp(server_tid, client, tftp::data(2, fill(512, 'b')));
    cap.udp(client, server_tid, tftp::ack(2));
    cap.udp(server_tid, client, tftp::data(3, fill(512, 'c')));
    cap.udp(client, server_tid, tftp::ack(3));
    cap.udp(server_tid, client, tftp::data(4, text("end")));
    c.push_back(run("RetransmissionAfterMissingAckResumes", cap, {"-d", "3"}, "", reading(),
                    {{name, fill(512, 'a') + fill(512, 'b') + fill(512, 'c') + text("end")}}));
  }
  {
    // A longer block while one is pending is dropped whole, its number not
    // recorded: its ACK is spurious.
    exchange x;
    x.send(client, server, tftp::rrq("f"));
    x.send(server_tid, client, tftp::data(1, fill(512, 'a')));
    x.send(server_tid, client, tftp::data(2, fill(600, 'z')));
    x.send(client, server_tid, tftp::ack(1));
    x.send(client, server_tid, tftp::ack(2));
    x.send(server_tid, client, tftp::data(2, text("end")));
    c.push_back(run("LongerBlockDroppedWhilePending", x, {"-vv", "-d", "4"}, x.trace(2),
                    debug_lines({"data already pending on tftp request",
                                 "later request claims more data; request->datalen=512, datalen=600",
                                 "spurious ack for read; block=2, last_block=1, last_ack=1"}),
                    {{name, sample_content()}}));
  }
  {
    // A shorter full block replaces the start of a longer pending one: only
    // its own bytes are written.
    capture cap;
    cap.udp(client, server, tftp::rrq("f"));
    cap.udp(server_tid, client, tftp::data(1, fill(600, 'z')));
    cap.udp(server_tid, client, tftp::data(1, fill(512, 'a')));
    cap.udp(client, server_tid, tftp::ack(1));
    cap.udp(server_tid, client, tftp::data(2, text("end")));
    c.push_back(run("ShorterBlockReplacesPending", cap, {"-d", "3"}, "", reading(), {{name, sample_content()}}));
  }
  {
    // Once the file exists a block is written when it is seen, ahead of its
    // ACK: a shorter copy that replaces it must leave nothing of the longer
    // one behind.
    capture cap;
    cap.udp(client, server, tftp::rrq("f"));
    cap.udp(server_tid, client, tftp::data(1, fill(512, 'a')));
    cap.udp(client, server_tid, tftp::ack(1));
    cap.udp(server_tid, client, tftp::data(2, fill(700, 'z')));
    cap.udp(server_tid, client, tftp::data(2, fill(512, 'b')));
    cap.udp(client, server_tid, tftp::ack(2));
    cap.udp(server_tid, client, tftp::data(3, text("end")));
    c.push_back(run("ShorterBlockReplacesBlockInFile", cap, {"-d", "3"}, "", reading(),
                    {{name, fill(512, 'a') + fill(512, 'b') + text("end")}}));
  }
  {
    // Block 4 shows that blocks 2 and 3 were acknowledged, but the capture
    // never showed block 3: each block goes at its place, block 3's stays a
    // hole of zeros, and the warning names its byte range.
    capture cap;
    cap.udp(client, server, tftp::rrq("f"));
    cap.udp(server_tid, client, tftp::data(1, fill(512, 'a')));
    cap.udp(client, server_tid, tftp::ack(1));
    cap.udp(server_tid, client, tftp::data(2, fill(512, 'b')));
    cap.udp(server_tid, client, tftp::data(4, fill(512, 'd')));
    c.push_back(run("MissingBlockLeavesHole", cap, {"-d", "3"}, "",
                    reading() + warning("possible partial content for file: " + name) +
                        warning("missing content in file: " + name + ": [1024, 1536)"),
                    {{name, fill(512, 'a') + fill(512, 'b') + fill(512, 0) + fill(512, 'd')}}));
  }
  {
    // A write transfer: the requester's blocks are released by the
    // server's ACKs; ACK 0 writes nothing.
    capture cap;
    cap.udp(client, server, tftp::wrq("f"));
    cap.udp(server_tid, client, tftp::ack(0));
    cap.udp(client, server_tid, tftp::data(1, fill(512, 'a')));
    cap.udp(server_tid, client, tftp::ack(1));
    cap.udp(client, server_tid, tftp::data(2, text("end")));
    cap.udp(server_tid, client, tftp::ack(2));
    c.push_back(run("WriteTransfer", cap, {"-d", "5"}, "",
                    debug_lines({"ack for write; block=1, last_block=1, last_ack=0", opening(),
                                 "received last block; length: 3, block: 2",
                                 "ack for write; block=2, last_block=2, last_ack=1"}),
                    {{name, sample_content()}}));
  }
  return c;
}

// OACK: the body is read as name/value pairs of NUL-ended strings. Each case
// answers a request with the OACK, then sends a 600-byte block, its ACK and
// a 3-byte block. A block size above 600 makes the first block the last.
struct oack_case {
  std::string name;
  bytes body;         // after the opcode
  std::string shown;  // the OACK line's suffixes
  bool first_is_last;
  // A block size that gives blocks no place is warned of.
  bool out_of_range = false;
};

std::vector<golden_case> oack_cases() {
  const std::vector<oack_case> table{
      {"NameInCapitals", cstr("BLKSIZE") + cstr("1428"), " blksize=1428 timeout= tsize=", true},
      {"ValueZeroMeans512", cstr("blksize") + cstr("0"), " blksize=0 timeout= tsize=", false},
      {"ValueNotANumberMeans512", cstr("blksize") + cstr("abc"), " blksize=abc timeout= tsize=", false},
      {"NegativeValueIsHuge", cstr("blksize") + cstr("-1"), " blksize=-1 timeout= tsize=", true, true},
      {"ValueReadLikeAtoi", cstr("blksize") + cstr(" +601x"), " blksize= +601x timeout= tsize=", true},
      {"ValueReadLikeAtoiBelow", cstr("blksize") + cstr(" +600x"), " blksize= +600x timeout= tsize=", false},
      {"LaterValueWins", cstr("blksize") + cstr("8") + cstr("blksize") + cstr("1024"),
       " blksize=1024 timeout= tsize=", true},
      {"AllThreeInFixedOrder", cstr("tsize") + cstr("99") + cstr("timeout") + cstr("3") + cstr("blksize") + cstr("1024"),
       " blksize=1024 timeout=3 tsize=99", true},
      {"UnknownOptionBeforeTsize", cstr("rollover") + cstr("0") + cstr("tsize") + cstr("300"),
       " blksize= timeout= tsize=300", false},
      // The window size is shown only when the OACK carries it.
      {"WindowsizeShownWhenCarried", cstr("WindowSize") + cstr("4"), " blksize= timeout= tsize= windowsize=4", false},
      {"UnterminatedValueIgnored", cstr("blksize") + text("1024"), " blksize= timeout= tsize=", false},
      // A leading NUL is an empty name: names and values stay one string off.
      {"LeadingNulShiftsPairs", bytes{0} + cstr("blksize") + cstr("1024") + cstr("timeout") + cstr("5"),
       " blksize= timeout= tsize=", false},
      {"EmptyNameAndValue", bytes{0, 0}, " blksize= timeout= tsize=", false},
      {"NoNulAtAll", text("blksize"), " blksize= timeout= tsize=", false},
  };
  std::vector<golden_case> c;
  for (const auto &oc : table) {
    exchange x;
    x.send(client, server, tftp::rrq("f", "octet", {{"blksize", "1024"}}));
    x.send(server_tid, client, be16(6) + oc.body, line("OACK", server_tid, client, oc.shown));
    x.send(client, server_tid, tftp::ack(0));
    x.send(server_tid, client, tftp::data(1, fill(600, 'a')));
    x.send(client, server_tid, tftp::ack(1));
    x.send(server_tid, client, tftp::data(2, text("end")));
    // The value follows "blksize\0"; only an out-of-range case is sure to have one.
    const std::string warned =
        oc.out_of_range ? warning("block size " + std::string(oc.body.begin() + 8, oc.body.end() - 1) +
                                  " out of range for file: " + name + "; blocks written one after another")
                        : "";
    c.push_back(run("Oack" + oc.name, x, {"-vv", "-d", "3"}, x.trace(2), reading() + warned,
                    {{name, oc.first_is_last ? fill(600, 'a') : fill(600, 'a') + text("end")}}));
  }
  {
    // An OACK also sets the block size of a write transfer.
    capture cap;
    cap.udp(client, server, tftp::wrq("f", "octet", {{"blksize", "8"}}));
    cap.udp(server_tid, client, tftp::oack({{"blksize", "8"}}));
    cap.udp(client, server_tid, tftp::data(1, text("12345678")));
    cap.udp(server_tid, client, tftp::ack(1));
    cap.udp(client, server_tid, tftp::data(2, text("9")));
    c.push_back(run("OackInWriteTransfer", cap, {"-d", "3"}, "", reading(), {{name, text("123456789")}}));
  }
  return c;
}

std::vector<golden_case> error_cases() {
  // ERROR is handled in either direction and leaves the transfer going.
  // The ERROR line is what each case is about, so it is given, not derived.
  auto error_case = [](std::string title, const bytes &error_payload, const std::string &error_rest) {
    exchange x;
    x.send(client, server, tftp::rrq("f"));
    x.send(server_tid, client, tftp::data(1, fill(512, 'a')));
    x.send(server_tid, client, error_payload, line("ERROR", server_tid, client, error_rest));
    x.send(client, server_tid, tftp::ack(1));
    x.send(server_tid, client, tftp::data(2, text("end")));
    return run(std::move(title), x, {"-vv"}, x.trace(2), reading(), {{sample_name, sample_content()}});
  };
  return {
      error_case("ErrorWithText", tftp::error(3, "Disk full"), " 3 \"Disk full\""),
      error_case("ErrorOfFourBytes", bytes{0, 5, 0, 1}, " 1 \"\""),
      error_case("ErrorCodeBigEndian", bytes{0, 5, 1, 2, 0}, " 258 \"\""),
      // Without a NUL the text ends with the datagram.
      error_case("ErrorTextWithoutNul", bytes{0, 5, 0, 2} + text("no nul"), " 2 \"no nul\""),
      error_case("ErrorTextStopsAtFirstNul", be16(5) + be16(4) + cstr("one") + cstr("two"), " 4 \"one\""),
  };
}

INSTANTIATE_TEST_SUITE_P(Sequence, Golden, ::testing::ValuesIn(sequence_cases()), case_name());
INSTANTIATE_TEST_SUITE_P(Oack, Golden, ::testing::ValuesIn(oack_cases()), case_name());
INSTANTIATE_TEST_SUITE_P(Error, Golden, ::testing::ValuesIn(error_cases()), case_name());

}  // namespace
}  // namespace golden
