#!/usr/bin/env python3
"""A slow DNS responder for bench/latency_bench.sh (python3 standard library only).

serve: answers UDP queries on ADDRESS:53 (a loopback address of its own, since resolv.conf
names no port). Names under --name get 127.0.0.1 for A and an empty answer for every other type,
each after --delay-ms; other names are refused at once. Every query goes to the log as a JSON
line (time, type, name), so the bench can count the lookups each tool makes.

summary: prints lookups (A queries) and queries (all types) logged within a time window.
"""
import argparse
import asyncio
import json
import os
import signal
import struct
import sys
import time


def parse_question(msg):
    """(id, flags, qname, qtype, end of question) or None."""
    if len(msg) < 12:
        return None
    qid, flags, qd = struct.unpack("!HHH", msg[:6])
    if qd != 1:
        return None
    labels, pos = [], 12
    while pos < len(msg):
        n = msg[pos]
        pos += 1
        if n == 0:
            break
        if n > 63 or pos + n > len(msg):
            return None
        labels.append(msg[pos:pos + n].decode("ascii", "replace").lower())
        pos += n
    if pos + 4 > len(msg):
        return None
    qtype = struct.unpack("!H", msg[pos:pos + 2])[0]
    return qid, flags, ".".join(labels), qtype, pos + 4


class Responder(asyncio.DatagramProtocol):
    def __init__(self, args):
        self.name = args.name.lower().rstrip(".")
        self.delay = args.delay_ms / 1000.0
        self.log = open(args.log, "a", buffering=1)

    def connection_made(self, transport):
        self.transport = transport

    def datagram_received(self, msg, addr):
        q = parse_question(msg)
        if q is None:
            return
        qid, flags, qname, qtype, end = q
        ours = qname == self.name or qname.endswith("." + self.name)
        self.log.write(json.dumps({"t": time.time(), "type": qtype, "name": qname,
                                   "ours": ours}) + "\n")
        rd = flags & 0x0100
        question = msg[12:end]
        if not ours:
            reply = struct.pack("!HHHHHH", qid, 0x8000 | rd | 5, 1, 0, 0, 0) + question
            self.transport.sendto(reply, addr)
            return
        answers = b""
        if qtype == 1:  # A: 127.0.0.1, pointing back at the question's name
            answers = struct.pack("!HHHIH", 0xC00C, 1, 1, 5, 4) + bytes([127, 0, 0, 1])
        reply = struct.pack("!HHHHHH", qid, 0x8400 | rd, 1, 1 if answers else 0, 0, 0)
        asyncio.get_running_loop().call_later(self.delay, self.transport.sendto,
                                              reply + question + answers, addr)


async def serve(args):
    loop = asyncio.get_running_loop()
    transport, _ = await loop.create_datagram_endpoint(lambda: Responder(args),
                                                       local_addr=(args.address, args.port))
    stop = asyncio.Event()
    for s in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(s, stop.set)
    with open(args.ready + ".tmp", "w") as f:
        f.write("ready\n")
    os.replace(args.ready + ".tmp", args.ready)
    await stop.wait()
    transport.close()


def summary(args):
    lookups = queries = 0
    with open(args.log) as f:
        for line in f:
            q = json.loads(line)
            if q["ours"] and args.since <= q["t"] <= args.until:
                queries += 1
                lookups += q["type"] == 1
    print("lookups=%d queries=%d" % (lookups, queries))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = p.add_subparsers(dest="cmd", required=True)
    s = sub.add_parser("serve")
    s.add_argument("--address", default="127.0.0.77")
    s.add_argument("--port", type=int, default=53)
    s.add_argument("--name", default="latency.brindle.test")
    s.add_argument("--delay-ms", type=float, default=50.0)
    s.add_argument("--log", required=True)
    s.add_argument("--ready", required=True)
    m = sub.add_parser("summary")
    m.add_argument("--log", required=True)
    m.add_argument("--since", type=float, required=True)
    m.add_argument("--until", type=float, required=True)
    args = p.parse_args()
    if args.cmd == "serve":
        asyncio.run(serve(args))
    else:
        summary(args)


if __name__ == "__main__":
    sys.exit(main())
