// SPDX-License-Identifier: BSD-2-Clause
// Transfers over IPv6 (-6): matched on their endpoints as IPv4 ones are,
// traced with compressed addresses, and named with every group of each
// address written out.

#include "tftp_golden.h"

namespace golden {
namespace {

const endpoint client6{"fd00::2", 55437};
const endpoint server6{"fd00::1", 69};
const endpoint server6_tid{"fd00::1", 39470};
const std::string name6 =
    "fd00.0000.0000.0000.0000.0000.0000.0002.55437-fd00.0000.0000.0000.0000.0000.0000.0001.39470";

// A read of "boot.efi": one full block and a short one.
capture read6(const endpoint &requester, const endpoint &to, const endpoint &answer_from) {
  capture cap;
  cap.udp6(requester, to, tftp::rrq("boot.efi"));
  cap.udp6(answer_from, requester, tftp::data(1, fill(512, 'a')));
  cap.udp6(requester, answer_from, tftp::ack(1));
  cap.udp6(answer_from, requester, tftp::data(2, text("end")));
  cap.udp6(requester, answer_from, tftp::ack(2));
  return cap;
}

std::vector<golden_case> cases() {
  const bytes content = fill(512, 'a') + text("end");
  std::vector<golden_case> c;
  c.push_back(run("Read", read6(client6, server6, server6_tid), {"-6", "-vv", "-B"},
                  line("READ", client6, server6, " \"boot.efi\" octet") + data_line(server6_tid, client6, 1, 512) +
                      ack_line(client6, server6_tid, 1) + data_line(server6_tid, client6, 2, 3) +
                      ack_line(client6, server6_tid, 2),
                  reading(), {{name6 + "-boot.efi", content}}));
  c.push_back(run("ReadWithoutFileName", read6(client6, server6, server6_tid), {"-6", "-E"}, "", reading(),
                  {{name6, content}}));
  c.push_back(run("ReadOnConsole", read6(client6, server6, server6_tid), {"-6", "-c"},
                  name6 + "-boot.efi: " + std::string(512, 'a') + "\n" + name6 + "-boot.efi: end\n", reading()));
  // Without -6 nothing of it is followed.
  c.push_back(run("ReadWithoutOption", read6(client6, server6, server6_tid), {"-v"}, "",
                  reading() + warning("ethernet has wrong type: 34525") + warning("ethernet has wrong type: 34525") +
                      warning("ethernet has wrong type: 34525") + warning("ethernet has wrong type: 34525") +
                      warning("ethernet has wrong type: 34525")));
  {
    // Every group of a full-width address, in lower case.
    const endpoint wide{"2001:DB8:1234:5678:9ABC:DEF0:1:2", 1025}, wide_server{"2001:db8::1", 3000};
    c.push_back(run("FullWidthAddress", read6(wide, {"2001:db8::1", 69}, wide_server), {"-6", "-v"},
                    "READ  2001:db8:1234:5678:9abc:def0:1:2:1025 > 2001:db8::1:69 \"boot.efi\" octet\n", reading(),
                    {{"2001.0db8.1234.5678.9abc.def0.0001.0002.01025-2001.0db8.0000.0000.0000.0000.0000.0001.03000-"
                      "boot.efi",
                      content}}));
  }
  {
    // The same ports and identifications over both families: two transfers
    // that never take each other's blocks.
    const endpoint client4{"10.0.0.1", 1025}, server4{"10.0.0.2", 69}, tid4{"10.0.0.2", 3000};
    const endpoint mapped{"::ffff:10.0.0.1", 1025}, mapped_server{"::ffff:10.0.0.2", 69};
    const endpoint mapped_tid{"::ffff:10.0.0.2", 3000};
    capture cap;
    cap.udp(client4, server4, tftp::rrq("f"));
    cap.udp6(mapped, mapped_server, tftp::rrq("f"));
    cap.udp(tid4, client4, tftp::data(1, fill(512, '4')));
    cap.udp6(mapped_tid, mapped, tftp::data(1, fill(512, '6')));
    cap.udp6(mapped, mapped_tid, tftp::ack(1));
    cap.udp(client4, tid4, tftp::ack(1));
    cap.udp6(mapped_tid, mapped, tftp::data(2, text("six")));
    cap.udp(tid4, client4, tftp::data(2, text("four")));
    cap.udp(client4, tid4, tftp::ack(2));
    cap.udp6(mapped, mapped_tid, tftp::ack(2));
    c.push_back(run("BothFamiliesSamePorts", cap, {"-6"}, "", reading(),
                    {{out_name(client4, tid4, "f"), fill(512, '4') + text("four")},
                     {"0000.0000.0000.0000.0000.ffff.0a00.0001.01025-0000.0000.0000.0000.0000.ffff.0a00.0002.03000-f",
                      fill(512, '6') + text("six")}}));
  }
  {
    // IPv6 has no broadcast: a request sent to a multicast group is kept
    // like one sent to a server, and a unicast answer does not fit it.
    const endpoint group{"ff02::2", 69};
    c.push_back(run("MulticastRequestNotAnswered", read6(client6, group, server6_tid), {"-6", "-vvv"},
                    line("READ", client6, group, " \"boot.efi\" octet") + unmatched(server6_tid, client6) +
                        unmatched(client6, server6_tid) + unmatched(server6_tid, client6) +
                        unmatched(client6, server6_tid),
                    reading()));
  }
  return c;
}

INSTANTIATE_TEST_SUITE_P(Ipv6Transfers, Golden, ::testing::ValuesIn(cases()), case_name());

}  // namespace
}  // namespace golden
