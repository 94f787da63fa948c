// SPDX-License-Identifier: BSD-2-Clause
// The transfer table: learning the server's port, matching each message to
// its transfer by addresses and ports, following broadcast requests,
// replacing retransmitted requests, and turning away message kinds that a
// direction may not carry (with their debug lines at level 2).

#include <cerrno>
#include <cstring>

#include "exchange.h"

namespace golden {
namespace {

const endpoint other_tid{"10.0.0.2", 3001};
const endpoint broadcast{"255.255.255.255", 69};

std::string invalid(const std::string &which, const endpoint &from, const endpoint &to, int dtid, int op,
                    int request_op) {
  return debug("reached invalid/unhandled " + which + " state; src=" + hex_addr(from.addr) +
               ", dst=" + hex_addr(to.addr) + ", dport=" + std::to_string(to.port) +
               ", sport=" + std::to_string(from.port) + ", dtid=" + std::to_string(dtid) +
               ", op=" + std::to_string(op) + ", request->op=" + std::to_string(request_op));
}

std::string dtid_wrong(const endpoint &from, const endpoint &to, int dtid) {
  return debug("found matching address, but dtid wrong; src=" + hex_addr(from.addr) + ", dst=" +
               hex_addr(to.addr) + ", dport=" + std::to_string(to.port) + ", sport=" +
               std::to_string(from.port) + ", dtid=" + std::to_string(dtid));
}

std::vector<golden_case> server_port_cases() {
  std::vector<golden_case> c;
  {
    // Once the server's port is known, datagrams from another port of the
    // server are not part of the transfer.
    exchange x;
    x.send(client, server, tftp::rrq("f"));
    x.send(server_tid, client, tftp::data(1, fill(512, 'a')));
    x.stray(other_tid, client, tftp::data(1, fill(512, 'z')));
    x.send(client, server_tid, tftp::ack(1));
    x.stray(other_tid, client, tftp::data(2, text("zzz")));
    x.send(server_tid, client, tftp::data(2, text("end")));
    x.send(client, server_tid, tftp::ack(2));
    c.push_back(run("DtidWrong", x, {"-vvv", "-d", "2"}, x.trace(3),
                    reading() + dtid_wrong(other_tid, client, 3000) + dtid_wrong(other_tid, client, 3000),
                    {{sample_name, sample_content()}}));
  }
  {
    // Two transfers from one requester port to two ports of one server: the
    // newer record turns the older transfer's datagram away, the older
    // record takes it.
    const endpoint server70{"10.0.0.2", 70}, b_tid{"10.0.0.2", 4000};
    exchange x;
    x.send(client, server, tftp::rrq("a"));
    x.send(server_tid, client, tftp::data(1, fill(512, 'a')));
    x.send(client, server_tid, tftp::ack(1));
    x.send(client, server70, tftp::rrq("b"));
    x.send(b_tid, client, tftp::data(1, text("b!")));
    x.send(server_tid, client, tftp::data(2, text("end")));
    x.send(client, server_tid, tftp::ack(2));
    c.push_back(run("DtidWrongOnNewerOlderMatches", x, {"-vv", "-d", "2"}, x.trace(2),
                    reading() + dtid_wrong(server_tid, client, 4000),
                    {{out_name(client, server_tid, "a"), fill(512, 'a') + text("end")},
                     {out_name(client, b_tid, "b"), text("b!")}}));
  }
  {
    // The server's first datagram fixes its port whatever its kind: here an
    // ERROR, which is handled and leaves the transfer going.
    exchange x;
    x.send(client, server, tftp::rrq("f"));
    x.send(server_tid, client, tftp::error(1, "File not found"));
    x.stray(other_tid, client, tftp::data(1, text("x")));
    x.send(server_tid, client, tftp::data(1, text("y")));
    c.push_back(run("ServerErrorTeachesDtid", x, {"-vvv", "-d", "2"}, x.trace(3),
                    reading() + dtid_wrong(other_tid, client, 3000), {{sample_name, text("y")}}));
  }
  {
    // ... and here a DATA for a write transfer, which is invalid: the port
    // and the output name are learnt all the same.
    exchange x;
    x.send(client, server, tftp::wrq("f"));
    x.stray(server_tid, client, tftp::data(1, text("x")));
    x.stray(other_tid, client, tftp::ack(0));
    x.send(client, server_tid, tftp::data(1, text("w")));
    c.push_back(run("InvalidFirstAnswerTeachesDtid", x, {"-vvv", "-d", "2"}, x.trace(3),
                    reading() + invalid("server->client", server_tid, client, 3000, 3, 2) +
                        dtid_wrong(other_tid, client, 3000),
                    {{sample_name, text("w")}}));
  }
  return c;
}

std::vector<golden_case> broadcast_cases() {
  std::vector<golden_case> c;
  const endpoint server1{"10.0.0.2", 3000}, server2{"10.0.0.3", 4000};
  {
    // Each server that answers gets a transfer of its own.
    exchange x;
    x.send(client, broadcast, tftp::rrq("f"));
    x.send(server1, client, tftp::data(1, fill(512, 'a')));
    x.send(server2, client, tftp::data(1, fill(512, 'b')));
    x.send(client, server1, tftp::ack(1));
    x.send(client, server2, tftp::ack(1));
    x.send(server2, client, tftp::data(2, text("two")));
    x.send(server1, client, tftp::data(2, text("one")));
    c.push_back(run("TwoServersAnswer", x, {"-vv", "-d", "2"}, x.trace(2), reading(),
                    {{out_name(client, server1, "f"), fill(512, 'a') + text("one")},
                     {out_name(client, server2, "f"), fill(512, 'b') + text("two")}}));
  }
  {
    // A request sent twice to the broadcast address replaces nothing; the
    // answer is followed once.
    exchange x;
    x.send(client, broadcast, tftp::rrq("f"));
    x.send(client, broadcast, tftp::rrq("f"));
    x.send(server1, client, tftp::data(1, text("x")));
    c.push_back(run("RepeatedBroadcastRequest", x, {"-vv", "-d", "2"}, x.trace(2), reading(),
                    {{out_name(client, server1, "f"), text("x")}}));
  }
  {
    // A datagram from the broadcast address itself is no server to clone
    // for: the broadcast record takes it as its own (and holds its block,
    // never writing it), and a real server is still followed afterwards.
    const endpoint from_broadcast{"255.255.255.255", 3000};
    exchange x;
    x.send(client, broadcast, tftp::rrq("f"));
    x.send(from_broadcast, client, tftp::data(1, fill(512, 'z')));
    x.send(server2, client, tftp::data(1, text("x")));
    c.push_back(run("BroadcastSourceNeverCloned", x, {"-vvv", "-d", "2"}, x.trace(3), reading(),
                    {{out_name(client, server2, "f"), text("x")}}));
  }
  {
    // A broadcast request sent again after a server answered is newer than
    // that server's transfer: the server's next datagram makes a second
    // transfer with the same endpoints, which takes the rest (its ACKs out
    // of sequence) and cannot create the output file the first one holds.
    capture cap;
    cap.udp(client, broadcast, tftp::rrq("f"));
    cap.udp(server1, client, tftp::data(1, fill(512, 'a')));
    cap.udp(client, server1, tftp::ack(1));
    cap.udp(client, broadcast, tftp::rrq("f"));
    cap.udp(server1, client, tftp::data(2, fill(512, 'b')));
    cap.udp(client, server1, tftp::ack(2));
    cap.udp(server1, client, tftp::data(3, text("end")));
    const std::string name = out_name(client, server1, "f");
    c.push_back(run("BroadcastRepeatedAfterAnswer", cap, {"-d", "3"}, "",
                    reading() + warning("unable to open file [" + name + "]: " + std::strerror(EEXIST)) +
                        warning("possible partial content for file: " + name),
                    {{name, fill(512, 'a')}}));
  }
  {
    // A server's transfer is an ordinary one: a unicast request with the
    // same endpoints replaces it, writing its block that follows the last
    // acknowledged one (no end-of-run warning is left for it).
    exchange x;
    x.send(client, broadcast, tftp::rrq("f"));
    x.send(server1, client, tftp::data(1, fill(512, 'a')));
    x.send(client, server1, tftp::ack(1));
    x.send(server1, client, tftp::data(2, fill(512, 'b')));
    x.send(client, server, tftp::rrq("f"));
    x.send(other_tid, client, tftp::data(1, text("new")));
    c.push_back(run("FollowedTransferReplacedByUnicastRequest", x, {"-vv", "-d", "2"}, x.trace(2), reading(),
                    {{out_name(client, server1, "f"), fill(512, 'a') + fill(512, 'b')},
                     {out_name(client, other_tid, "f"), text("new")}}));
  }
  {
    // A requester that sends to the broadcast address and port 0 finishes
    // its broadcast record itself; a server's answer afterwards finds nothing
    // to clone from.
    exchange x;
    x.send(client, broadcast, tftp::wrq("f"));
    x.send(client, {"255.255.255.255", 0}, tftp::data(1, text("hi")));
    x.stray(server1, client, tftp::ack(1));
    x.stray(server1, client, tftp::ack(1));
    c.push_back(run("ReleasedBroadcastRecordNotCloned", x, {"-vvv", "-d", "2"}, x.trace(3), reading(),
                    {{out_name(client, broadcast, "f"), text("hi")}}));
  }
  return c;
}

std::vector<golden_case> request_table_cases() {
  std::vector<golden_case> c;
  auto old_transfer = [] {
    exchange x;
    x.send(client, server, tftp::rrq("f"));
    x.send(server_tid, client, tftp::data(1, fill(512, 'a')));
    x.send(client, server_tid, tftp::ack(1));
    x.send(server_tid, client, tftp::data(2, fill(512, 'b')));
    return x;
  };
  {
    // The retransmitted request replaces the older record, whose block that
    // follows the last acknowledged one is written first.
    exchange x = old_transfer();
    x.send(client, server, tftp::rrq("f"));
    x.send(other_tid, client, tftp::data(1, text("new")));
    x.stray(server_tid, client, tftp::data(3, text("old")));
    c.push_back(run("RetransmittedRequestFlushesPendingBlock", x, {"-vvv", "-d", "4"}, x.trace(3),
                    matches(quote(reading()) + created(client, server) +
                            debug_re("matched an existing request; a000001:1025 > a000002:69") +
                            created(client, server) + quote(dtid_wrong(server_tid, client, 3001))),
                    {{out_name(client, server_tid, "f"), fill(512, 'a') + fill(512, 'b')},
                     {out_name(client, other_tid, "f"), text("new")}}));
  }
  {
    // With the acknowledgement of block 2 missing, block 3 shows that the
    // server had it: block 2 counts, and block 3, pending when the request
    // comes again, follows it and is written too.
    exchange x = old_transfer();
    x.send(server_tid, client, tftp::data(3, fill(512, 'c')));
    x.send(client, server, tftp::rrq("f"));
    x.send(other_tid, client, tftp::data(1, text("new")));
    c.push_back(run("RetransmittedRequestAfterMissingAck", x, {"-vv"}, x.trace(2), reading(),
                    {{out_name(client, server_tid, "f"), fill(512, 'a') + fill(512, 'b') + fill(512, 'c')},
                     {out_name(client, other_tid, "f"), text("new")}}));
  }
  {
    // The same request from another port is another transfer.
    const endpoint client2{"10.0.0.1", 1026};
    exchange x;
    x.send(client, server, tftp::rrq("f"));
    x.send(client2, server, tftp::rrq("f"));
    x.send(other_tid, client2, tftp::data(1, fill(512, '2')));
    x.send(server_tid, client, tftp::data(1, fill(512, '1')));
    x.send(client, server_tid, tftp::ack(1));
    x.send(client2, other_tid, tftp::ack(1));
    x.send(server_tid, client, tftp::data(2, text("one")));
    x.send(other_tid, client2, tftp::data(2, text("two")));
    c.push_back(run("SameRequestFromOtherPortKeptApart", x, {"-vv", "-d", "2"}, x.trace(2), reading(),
                    {{out_name(client, server_tid, "f"), fill(512, '1') + text("one")},
                     {out_name(client2, other_tid, "f"), fill(512, '2') + text("two")}}));
  }
  return c;
}

std::vector<golden_case> direction_cases() {
  std::vector<golden_case> c;
  {
    // Before the server has answered, the requester may only send an ERROR.
    exchange x;
    x.send(client, server, tftp::rrq("f"));
    x.stray(client, server, tftp::ack(1));
    x.stray(client, server, tftp::data(1, text("x")));
    x.stray(client, server, tftp::oack({{"blksize", "8"}}));
    x.send(client, server, tftp::error(0, "abort"));
    x.send(server_tid, client, tftp::data(1, text("y")));
    c.push_back(run("UnestablishedRequester", x, {"-vvv", "-d", "2"}, x.trace(3),
                    reading() + invalid("unestablished client->server", client, server, 0, 4, 1) +
                        invalid("unestablished client->server", client, server, 0, 3, 1) +
                        invalid("unestablished client->server", client, server, 0, 6, 1),
                    {{sample_name, text("y")}}));
  }
  {
    // A read transfer: the server may not send ACK, the requester neither
    // DATA nor OACK.
    exchange x;
    x.send(client, server, tftp::rrq("f"));
    x.send(server_tid, client, tftp::data(1, fill(512, 'a')));
    x.stray(server_tid, client, tftp::ack(1));
    x.stray(client, server_tid, tftp::data(1, text("x")));
    x.stray(client, server_tid, tftp::oack({{"blksize", "8"}}));
    x.send(client, server_tid, tftp::ack(1));
    x.send(server_tid, client, tftp::data(2, text("end")));
    c.push_back(run("ReadTransferDirections", x, {"-vvv", "-d", "2"}, x.trace(3),
                    reading() + invalid("server->client", server_tid, client, 3000, 4, 1) +
                        invalid("client->server", client, server_tid, 3000, 3, 1) +
                        invalid("client->server", client, server_tid, 3000, 6, 1),
                    {{sample_name, sample_content()}}));
  }
  {
    // A write transfer: the server's ACK 0 teaches its port; the server may
    // not send DATA, the requester neither ACK nor OACK.
    exchange x;
    x.send(client, server, tftp::wrq("f"));
    x.send(server_tid, client, tftp::ack(0));
    x.send(client, server_tid, tftp::data(1, fill(512, 'a')));
    x.stray(server_tid, client, tftp::data(1, text("x")));
    x.stray(client, server_tid, tftp::ack(1));
    x.stray(client, server_tid, tftp::oack({{"blksize", "8"}}));
    x.send(server_tid, client, tftp::ack(1));
    x.send(client, server_tid, tftp::data(2, text("end")));
    x.send(server_tid, client, tftp::ack(2));
    c.push_back(run("WriteTransferDirections", x, {"-vvv", "-d", "2"}, x.trace(3),
                    reading() + invalid("server->client", server_tid, client, 3000, 3, 2) +
                        invalid("client->server", client, server_tid, 3000, 4, 2) +
                        invalid("client->server", client, server_tid, 3000, 6, 2),
                    {{sample_name, sample_content()}}));
  }
  {
    // Payloads that fail the first test are unmatched without a word, even
    // where a transfer would fit them; so is a message with no transfer.
    exchange x;
    x.stray(server_tid, client, tftp::data(1, text("early")));
    x.send(client, server, tftp::rrq("f"));
    x.stray(server_tid, client, bytes{0, 3, 0});
    x.stray(server_tid, client, bytes{1, 3, 0, 1, 'x'});
    x.stray(server_tid, client, bytes{0, 7, 0, 1, 'x'});
    x.send(server_tid, client, tftp::data(1, text("y")));
    c.push_back(run("NotAMessage", x, {"-vvv", "-d", "2"}, x.trace(3), reading(), {{sample_name, text("y")}}));
  }
  return c;
}

std::vector<golden_case> self_cases() {
  // Requester and server on one address: each record is tried as server to
  // client (by the requester's port) before client to server.
  const endpoint me{"10.0.0.1", 1025}, me_server{"10.0.0.1", 69}, me_tid{"10.0.0.1", 3000};
  const std::string name = out_name(me, me_tid, "f");
  std::vector<golden_case> c;
  {
    exchange x;
    x.send(me, me_server, tftp::rrq("f"));
    x.send(me_tid, me, tftp::data(1, fill(512, 'a')));
    x.send(me, me_tid, tftp::ack(1));
    x.send(me_tid, me, tftp::data(2, text("end")));
    x.send(me, me_tid, tftp::ack(2));
    c.push_back(run("ReadFromItself", x, {"-vv", "-d", "2"}, x.trace(2), reading(), {{name, sample_content()}}));
  }
  {
    exchange x;
    x.send(me, me_server, tftp::wrq("f"));
    x.send(me_tid, me, tftp::ack(0));
    x.send(me, me_tid, tftp::data(1, fill(512, 'a')));
    x.send(me_tid, me, tftp::ack(1));
    x.send(me, me_tid, tftp::data(2, text("end")));
    x.send(me_tid, me, tftp::ack(2));
    c.push_back(run("WriteToItself", x, {"-vv", "-d", "2"}, x.trace(2), reading(), {{name, sample_content()}}));
  }
  return c;
}

// Of two records that fit a datagram, by different tests, the newer wins.
// Host 10.0.0.2 also asks 10.0.0.1 for a file from port 3000, the port it
// serves the older transfer from.
std::vector<golden_case> newest_cases() {
  const endpoint reverse_requester{"10.0.0.2", 3000}, reverse_server{"10.0.0.1", 69};
  std::vector<golden_case> c;
  {
    // The newer reverse request takes the ACK as its server's first answer,
    // which a read transfer may not get: the older transfer never sees it.
    exchange x;
    x.send(client, server, tftp::rrq("a"));
    x.send(server_tid, client, tftp::data(1, fill(512, 'a')));
    x.send(reverse_requester, reverse_server, tftp::rrq("b"));
    x.stray(client, server_tid, tftp::ack(1));
    c.push_back(run("NewerReverseRequestWins", x, {"-vvv", "-d", "2"}, x.trace(3),
                    reading() + invalid("server->client", client, server_tid, 1025, 4, 1)));
  }
  {
    exchange x;
    x.send(reverse_requester, reverse_server, tftp::rrq("b"));
    x.send(client, server, tftp::rrq("a"));
    x.send(server_tid, client, tftp::data(1, fill(512, 'a')));
    x.send(client, server_tid, tftp::ack(1));
    x.send(server_tid, client, tftp::data(2, text("end")));
    c.push_back(run("NewerTransferWins", x, {"-vvv", "-d", "2"}, x.trace(3), reading(),
                    {{out_name(client, server_tid, "a"), sample_content()}}));
  }
  return c;
}

// Many records under one requester endpoint: past a few, their chain is
// looked up by port instead of walked, and must give what the walk gave.
std::vector<golden_case> long_chain_cases() {
  std::vector<golden_case> c;
  {
    // Forty reads from one requester port to forty ports of one server, each
    // answered from a port of its own. A late block for the oldest passes
    // the thirty-nine newer records over for their ports, newest first; a
    // request sent again to the oldest one's port replaces it.
    constexpr int kReads = 40;
    auto request_port = [](int i) { return endpoint{"10.0.0.2", static_cast<std::uint16_t>(100 + i)}; };
    auto tid = [](int i) { return endpoint{"10.0.0.2", static_cast<std::uint16_t>(5000 + i)}; };
    auto block = [](int i) { return pattern(512, static_cast<std::uint8_t>(i)); };
    capture cap;
    for (int i = 0; i < kReads; ++i) {
      cap.udp(client, request_port(i), tftp::rrq("f" + std::to_string(i)));
      cap.udp(tid(i), client, tftp::data(1, block(i)));
      cap.udp(client, tid(i), tftp::ack(1));
    }
    cap.udp(tid(0), client, tftp::data(2, text("end")));
    cap.udp(client, request_port(0), tftp::rrq("again"));
    const endpoint again_tid{"10.0.0.2", 6000};
    cap.udp(again_tid, client, tftp::data(1, text("new")));
    std::string err = reading();
    for (int i = kReads - 1; i >= 1; --i) err += dtid_wrong(tid(0), client, tid(i).port);
    // The other transfers never saw their last block.
    for (int i = kReads - 1; i >= 1; --i)
      err += warning("possible partial content for file: " + out_name(client, tid(i), "f" + std::to_string(i)));
    std::map<std::string, bytes> files{{out_name(client, again_tid, "again"), text("new")}};
    for (int i = 0; i < kReads; ++i)
      files[out_name(client, tid(i), "f" + std::to_string(i))] = block(i) + (i == 0 ? text("end") : bytes{});
    c.push_back(run("ManyServerPorts", cap, {"-d", "2"}, "", err, files));
  }
  {
    // Twenty broadcast reads from one requester port, then two servers
    // answer: each gets a clone of the newest.
    const endpoint one{"10.0.1.1", 3000}, two{"10.0.1.2", 3000};
    capture cap;
    for (int i = 0; i < 20; ++i) cap.udp(client, broadcast, tftp::rrq("b" + std::to_string(i)));
    cap.udp(one, client, tftp::data(1, text("one")));
    cap.udp(two, client, tftp::data(1, text("two")));
    c.push_back(run("ManyBroadcastRequests", cap, {"-d", "2"}, "", reading(),
                    {{out_name(client, one, "b19"), text("one")}, {out_name(client, two, "b19"), text("two")}}));
  }
  return c;
}

INSTANTIATE_TEST_SUITE_P(ServerPort, Golden, ::testing::ValuesIn(server_port_cases()), case_name());
INSTANTIATE_TEST_SUITE_P(Broadcast, Golden, ::testing::ValuesIn(broadcast_cases()), case_name());
INSTANTIATE_TEST_SUITE_P(RequestTable, Golden, ::testing::ValuesIn(request_table_cases()), case_name());
INSTANTIATE_TEST_SUITE_P(Direction, Golden, ::testing::ValuesIn(direction_cases()), case_name());
INSTANTIATE_TEST_SUITE_P(SelfTalk, Golden, ::testing::ValuesIn(self_cases()), case_name());
INSTANTIATE_TEST_SUITE_P(Newest, Golden, ::testing::ValuesIn(newest_cases()), case_name());
INSTANTIATE_TEST_SUITE_P(LongChain, Golden, ::testing::ValuesIn(long_chain_cases()), case_name());

}  // namespace
}  // namespace golden
