#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Prints the manifest lines of one capture, or of a set of captures read as
one, for transfers that do not all end well: each transfer's output file
(named after its endpoints), that file's SHA-256 and size, and how the
transfer ended.

Usage: expect-states.py LABEL TABLE CAPTURE...

The captures' datagrams are read with tshark and merged in timestamp order
(a ring's files simply follow each other). TABLE tells what each request
was meant to do, one line per request name and direction:
    r|w  <name in hex>  <state>  <sha256 of the original or ->  <its size or ->
where the state is one of
    complete    the whole file went across (its bytes must be the original's)
    error       an ERROR ended the transfer before its last block
    unanswered  no datagram ever came back to the requester
Every request in the captures must be in TABLE, and every transfer must have
ended as TABLE says, or the script fails: the traffic was not what it was
meant to show.

Each transfer prints one line:
    LABEL <output> <sha256> <size> state=S op=read|write name=<hex>
          requests=N [error=CODE error_text=<hex> error_from=client|server]
          [original=<sha256>:<size>] [files=<capture>,...]
The output is the file that a carver writes: the DATA blocks from block 1
that follow each other without a gap, each block once. A transfer that
carried no DATA has no output, and prints "- - -" in its place. requests
counts the request and its copies re-sent before any answer. original is
the file the transfer was carrying, given when the output is not all of it.
files (only with more than one capture) names the captures that hold the
transfer's datagrams.
"""
import hashlib
import ipaddress
import os
import subprocess
import sys

OPCODES = {1: "read", 2: "write"}


def datagrams(index, capture):
    fields = ["frame.time_epoch", "ip.src", "ipv6.src", "udp.srcport", "ip.dst", "ipv6.dst", "udp.dstport",
              "udp.payload"]
    cmd = ["tshark", "-r", capture, "-Y", "udp && !icmp && !icmpv6", "-T", "fields", "-E", "separator=/t"]
    for f in fields:
        cmd += ["-e", f]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    for line in out.splitlines():
        when, src4, src6, sport, dst4, dst6, dport, payload = line.split("\t")
        yield (float(when), index, src4 or src6, int(sport), dst4 or dst6, int(dport),
               bytes.fromhex(payload.replace(":", "")))


def dotted(addr, port):
    if ":" in addr:
        host = ipaddress.IPv6Address(addr).exploded.replace(":", ".")
    else:
        host = ".".join("%03d" % int(b) for b in addr.split("."))
    return "%s.%05d" % (host, port)


def sanitised(name):
    return "".join(chr(b) if chr(b).isascii() and (chr(b).isalnum() or b == ord(".")) else "_" for b in name)


class Transfer:
    def __init__(self, op, name, client, server):
        self.op, self.name = op, name
        self.client, self.server = client, server  # (addr, port); the server's port 69 until answered
        self.answered = False
        self.requests = 1
        self.blocks = {}
        self.blksize = 512
        self.error = None  # (code, text, from)
        self.files = set()

    def take(self, index, sender, payload):
        self.files.add(index)
        if len(payload) < 4:
            return
        opcode = payload[1]
        from_server = sender == self.server
        if opcode == 3 and from_server == (self.op == "read"):
            self.blocks.setdefault(int.from_bytes(payload[2:4], "big"), payload[4:])
        elif opcode == 5 and self.error is None:
            text = payload[4:].split(b"\0")[0]
            self.error = (int.from_bytes(payload[2:4], "big"), text, "server" if from_server else "client")
        elif opcode == 6:
            words = payload[2:].split(b"\0")
            for key, value in zip(words[0::2], words[1::2]):
                if key.lower() == b"blksize":
                    self.blksize = int(value)

    def carved(self):
        data, block = [], 1
        while block in self.blocks:
            data.append(self.blocks[block])
            if len(self.blocks[block]) < self.blksize:
                return b"".join(data), True
            block += 1
        return b"".join(data), False

    def state(self):
        if not self.answered:
            return "unanswered"
        return "complete" if self.carved()[1] else "error" if self.error else "incomplete"


def transfers_of(captures):
    frames = sorted((d for i, c in enumerate(captures) for d in datagrams(i, c)), key=lambda d: (d[0], d[1]))
    transfers, flows = [], {}
    for _, index, src, sport, dst, dport, payload in frames:
        ends = ((src, sport), (dst, dport))
        if dport == 69 and len(payload) >= 4 and payload[0] == 0 and payload[1] in OPCODES:
            op, name = OPCODES[payload[1]], payload[2:].split(b"\0")[0]
            # A request repeated before any answer is the same transfer.
            for t in transfers:
                if not t.answered and (t.client, t.server, t.op, t.name) == (ends[0], ends[1], op, name):
                    t.requests += 1
                    t.files.add(index)
                    break
            else:
                t = Transfer(op, name, *ends)
                t.files.add(index)
                transfers.append(t)
            continue
        t = flows.get(ends) or flows.get(ends[::-1])
        if t is None:
            for t in reversed(transfers):
                if not t.answered and t.server[0] == src and t.client == (dst, dport):
                    t.answered, t.server = True, (src, sport)
                    flows[(t.client, t.server)] = t
                    break
            else:
                continue
        t.take(index, ends[0], payload)
    return transfers


def main():
    label, table = sys.argv[1], sys.argv[2]
    captures = sys.argv[3:]
    meant = {}
    with open(table) as f:
        for line in f:
            op, name, state, sha, size = line.split()
            meant[({"r": "read", "w": "write"}[op], bytes.fromhex(name))] = (state, sha, size)

    lines = []
    for t in transfers_of(captures):
        what = "%s request for %r from %s:%d" % (t.op, t.name, *t.client)
        if (t.op, t.name) not in meant:
            sys.exit("%s: a %s, which the table does not list" % (label, what))
        state, sha, size = meant[(t.op, t.name)]
        if t.state() != state:
            sys.exit("%s: the %s ended %s, meant to end %s" % (label, what, t.state(), state))
        data, _ = t.carved()
        got = (hashlib.sha256(data).hexdigest(), str(len(data)))
        if state == "complete" and got != (sha, size):
            sys.exit("%s: the %s carried %s bytes, sha256 %s, not the original" % (label, what, got[1], got[0]))
        if t.blocks:
            out = "%s-%s-%s" % (dotted(*t.client), dotted(*t.server), sanitised(t.name))
            fields = [out, got[0], got[1]]
        else:
            fields = ["-", "-", "-"]
        fields += ["state=" + state, "op=" + t.op, "name=" + t.name.hex(), "requests=%d" % t.requests]
        if t.error:
            code, text, by = t.error
            fields += ["error=%d" % code, "error_text=" + text.hex(), "error_from=" + by]
        if state != "complete" and sha != "-":
            fields.append("original=%s:%s" % (sha, size))
        if len(captures) > 1:
            fields.append("files=" + ",".join(os.path.basename(captures[i]) for i in sorted(t.files)))
        lines.append(fields)
    names = [f[0] for f in lines if f[0] != "-"]
    if len(names) != len(set(names)):
        sys.exit("%s: two transfers would be written to one file" % label)
    for fields in sorted(lines, key=lambda f: (f[0] == "-", f[0], f[4:])):
        print(label, *fields)


if __name__ == "__main__":
    main()
