#!/usr/bin/env python3
"""A WAN-like TCP relay on 127.0.0.1 for bench/latency_bench.sh (python3 standard library only).

serve: listens on ephemeral loopback ports and relays HTTP to nginx and FTP (control, and every
passive data connection through a port of its own) to vsftpd. Each direction is delayed by half
a round trip and paced to a rate per connection; every Nth connection that sends a GET (HTTP)
or every Nth data connection (FTP) can run at a fraction of that rate. The counters restart on
SIGUSR1, so each timed run meets the same pattern. One JSON line per connection goes to the log
when it ends; the state file holds the number of open connections.

summary: reads the log and prints one line of key=value for the connections opened within a
time window (one timed run).
"""
import argparse
import asyncio
import collections
import json
import os
import re
import signal
import sys
import time

MAX_HEAD = 65536  # a header block or FTP line longer than this is relayed without parsing


class Relay:
    def __init__(self, args):
        self.rtt = args.rtt_ms / 1000.0
        self.rate = float(args.rate)
        self.slow_every = args.slow_every
        self.slow_factor = args.slow_factor
        self.log = open(args.log, "a", buffering=1)
        self.state = args.state
        self.next_id = 0
        self.get_seq = 0  # connections that sent a GET, since the last SIGUSR1
        self.data_seq = 0  # FTP data connections, likewise
        self.active = 0
        self.write_state()

    def reset(self):
        self.get_seq = self.data_seq = 0

    def write_state(self):
        tmp = self.state + ".tmp"
        with open(tmp, "w") as f:
            f.write("active=%d\n" % self.active)
        os.replace(tmp, self.state)

    def slow_turn(self, seq):
        return self.slow_every > 0 and seq % self.slow_every == 0


class Conn:
    """One relayed connection: both directions, its counters and its record."""

    def __init__(self, relay, kind, upstream):
        relay.next_id += 1
        self.relay, self.kind, self.upstream = relay, kind, upstream
        self.id = relay.next_id
        self.t0 = time.monotonic()
        self.opened = time.time()
        self.rate = relay.rate
        self.slow = False
        self.seq = None  # GET or data-connection number, when it has one
        self.requests = []  # [method, path, range] as sent by the client
        self.methods = collections.deque()  # methods awaiting their response
        self.bytes = {"up": 0, "down": 0}
        self.body = 0
        self.first_body = None
        self.error = None
        self.listeners = []  # passive-data listeners this control connection opened

    def make_slow(self):
        self.slow = True
        self.rate = self.relay.rate / self.relay.slow_factor

    def record(self):
        r = self.relay
        return {"id": self.id, "kind": self.kind, "opened": self.opened, "closed": time.time(),
                "seq": self.seq, "slow": self.slow, "rate": self.rate,
                "up": self.bytes["up"], "down": self.bytes["down"], "body": self.body,
                "first_body": self.first_body, "requests": self.requests,
                "upstream": self.upstream, "error": self.error, "rtt": r.rtt}


class Direction:
    """One direction of a connection: a reader that stamps each chunk with the time it may be
    delivered, and a writer that delivers at that time, paced to the connection's rate."""

    def __init__(self, conn, src, dst, name):
        self.conn, self.src, self.dst, self.name = conn, src, dst, name
        # (ready time, bytes, offset of the first body byte or -1, body bytes)
        self.queue = collections.deque()
        self.queued = 0
        self.has_data = asyncio.Event()
        self.has_room = asyncio.Event()
        self.eof = False
        self.line_buf = b""  # FTP control replies: whole lines only, for the PASV rewrite
        self.head_buf = b""  # HTTP: the header block being read
        self.body_left = 0  # HTTP response: body bytes still to come (-1: until the close)

    def limit(self):
        # About one round trip of data at the current rate: what a TCP window holds in flight.
        return max(65536, int(self.conn.rate * self.conn.relay.rtt * 2))

    async def read_loop(self):
        c, r = self.conn, self.conn.relay
        try:
            while True:
                while self.queued >= self.limit():
                    self.has_room.clear()
                    await self.has_room.wait()
                data = await self.src.read(65536)
                if not data:
                    break
                now = time.monotonic()
                body_at, body_n = -1, 0
                if self.name == "up":
                    if c.kind == "http":
                        self.parse_requests(data)
                    elif c.kind == "ftp" and re.search(rb"(^|\n)(PORT|EPRT) ", data, re.I):
                        # Active mode: the data would bypass the relay; the summary says so.
                        c.requests.append(["PORT", "", ""])
                    # A new connection first pays the handshake's round trip.
                    ready = max(now, c.t0 + r.rtt) + r.rtt / 2
                else:
                    if c.kind == "ftp":
                        data = await self.rewrite_passive(data)
                    elif c.kind == "http":
                        body_at, body_n = self.parse_responses(data)
                    else:  # FTP data: every byte is body
                        body_at, body_n = 0, len(data)
                    ready = max(now + r.rtt / 2, c.t0 + 2 * r.rtt)
                if data:
                    self.queue.append((ready, data, body_at, body_n))
                    self.queued += len(data)
                    self.has_data.set()
        except (ConnectionError, OSError) as e:
            c.error = c.error or "%s read: %s" % (self.name, e.__class__.__name__)
        finally:
            if self.line_buf:
                self.queue.append((time.monotonic() + r.rtt / 2, self.line_buf, -1, 0))
                self.line_buf = b""
            self.eof = True
            self.has_data.set()

    async def write_loop(self):
        c = self.conn
        free_at = 0.0  # when the paced link can take the next piece
        while True:
            while not self.queue:
                if self.eof:
                    if self.dst.can_write_eof() and not self.dst.is_closing():
                        self.dst.write_eof()
                    return
                self.has_data.clear()
                await self.has_data.wait()
            ready, data, body_at, body_n = self.queue.popleft()
            step = max(1024, min(16384, int(c.rate / 50)))
            for off in range(0, len(data), step):
                piece = data[off:off + step]
                start = max(ready, free_at)
                wait = start - time.monotonic()
                if wait > 0:
                    await asyncio.sleep(wait)
                if body_at >= 0 and c.first_body is None and body_at < off + len(piece):
                    c.first_body = time.time()
                self.dst.write(piece)
                await self.dst.drain()
                c.bytes[self.name] += len(piece)  # counted as delivered, not as read ahead
                # No burst to make up for more than 50 ms that the loop or the reader lost.
                free_at = max(start, time.monotonic() - 0.05) + len(piece) / c.rate
            c.body += body_n
            self.queued -= len(data)
            self.has_room.set()

    def parse_requests(self, data):
        c, r = self.conn, self.conn.relay
        self.head_buf += data
        while b"\r\n\r\n" in self.head_buf:
            head, self.head_buf = self.head_buf.split(b"\r\n\r\n", 1)
            lines = head.decode("latin-1").split("\r\n")
            parts = lines[0].split(" ")
            method, path = parts[0], parts[1] if len(parts) > 1 else ""
            rng = ""
            for line in lines[1:]:
                if line.lower().startswith("range:"):
                    rng = line.split(":", 1)[1].strip()
            c.requests.append([method, path, rng])
            c.methods.append(method)
            if method == "GET" and c.seq is None:
                r.get_seq += 1
                c.seq = r.get_seq
                if r.slow_turn(c.seq):
                    c.make_slow()
        if len(self.head_buf) > MAX_HEAD:
            self.head_buf = b""

    def parse_responses(self, data):
        """(offset of the first body byte in data or -1, body bytes in data)"""
        c = self.conn
        first, pos, count = -1, 0, 0
        while pos < len(data):
            if self.body_left != 0:
                n = len(data) - pos if self.body_left < 0 else min(self.body_left, len(data) - pos)
                if first < 0:
                    first = pos
                count += n
                pos += n
                if self.body_left > 0:
                    self.body_left -= n
                continue
            self.head_buf += data[pos:]
            end = self.head_buf.find(b"\r\n\r\n")
            if end < 0:
                if len(self.head_buf) > MAX_HEAD:
                    self.head_buf = b""
                break
            head = self.head_buf[:end].decode("latin-1").split("\r\n")
            pos = len(data) - (len(self.head_buf) - end - 4)
            self.head_buf = b""
            status = int(head[0].split(" ")[1]) if len(head[0].split(" ")) > 1 else 0
            method = c.methods.popleft() if c.methods else "GET"
            length = -1
            for line in head[1:]:
                if line.lower().startswith("content-length:"):
                    length = int(line.split(":", 1)[1].strip() or 0)
            if method == "HEAD" or status < 200 or status in (204, 304):
                length = 0
            self.body_left = length
        return first, count

    async def rewrite_passive(self, data):
        """Whole reply lines only; a 227 or 229 reply names a relay port of its own instead."""
        self.line_buf += data
        cut = self.line_buf.rfind(b"\n") + 1
        if cut == 0 and len(self.line_buf) < MAX_HEAD:
            return b""
        lines, self.line_buf = self.line_buf[:cut or None], self.line_buf[cut:] if cut else b""
        out = []
        for line in lines.splitlines(keepends=True):
            m = re.match(rb"227 .*?(\d+),(\d+),(\d+),(\d+),(\d+),(\d+)", line)
            m2 = re.match(rb"229 .*\(\|\|\|(\d+)\|\)", line)
            if m:
                host = ".".join(x.decode() for x in m.groups()[:4])
                port = await self.data_listener(host, int(m[5]) * 256 + int(m[6]))
                line = b"227 Entering Passive Mode (127,0,0,1,%d,%d).\r\n" % (port >> 8, port & 255)
            elif m2:
                port = await self.data_listener("127.0.0.1", int(m2[1]))
                line = b"229 Entering Extended Passive Mode (|||%d|).\r\n" % port
            out.append(line)
        return b"".join(out)

    async def data_listener(self, host, port):
        relay = self.conn.relay
        server = None

        async def on_accept(reader, writer):
            server.close()  # one data connection per reply
            relay.data_seq += 1
            await relay_conn(relay, reader, writer, "ftp-data", host, port, relay.data_seq)

        server = await asyncio.start_server(on_accept, "127.0.0.1", 0)
        # A reply whose data connection never comes must not keep the port open for ever.
        asyncio.get_running_loop().call_later(60, server.close)
        self.conn.listeners.append(server)
        return server.sockets[0].getsockname()[1]


async def relay_conn(relay, creader, cwriter, kind, host, port, seq=None):
    conn = Conn(relay, kind, "%s:%d" % (host, port))
    relay.active += 1
    relay.write_state()
    if seq is not None:
        conn.seq = seq
        if relay.slow_turn(seq):
            conn.make_slow()
    swriter = None
    try:
        sreader, swriter = await asyncio.open_connection(host, port)
        up, down = Direction(conn, creader, swriter, "up"), Direction(conn, sreader, cwriter, "down")
        tasks = [asyncio.ensure_future(t) for t in
                 (up.read_loop(), up.write_loop(), down.read_loop(), down.write_loop())]
        try:
            # Both writers end after their reader's end of file; an error ends everything.
            done, _ = await asyncio.wait(tasks[1::2], return_when=asyncio.FIRST_EXCEPTION)
            for t in done:
                if t.exception() is not None:
                    conn.error = conn.error or "write: %s" % t.exception().__class__.__name__
        finally:
            for t in tasks:
                t.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
    except (ConnectionError, OSError) as e:
        conn.error = conn.error or "connect: %s" % e.__class__.__name__
    finally:
        for w in (cwriter, swriter):
            if w is not None:
                w.close()
        for s in conn.listeners:
            s.close()
        relay.active -= 1
        relay.write_state()
        relay.log.write(json.dumps(conn.record()) + "\n")


async def serve(args):
    relay = Relay(args)
    loop = asyncio.get_running_loop()
    loop.add_signal_handler(signal.SIGUSR1, relay.reset)
    stop = asyncio.Event()
    for s in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(s, stop.set)
    ports = {}
    servers = []
    for kind, upstream in (("http", args.http), ("ftp", args.ftp)):
        if upstream:
            server = await asyncio.start_server(
                lambda r, w, k=kind, u=upstream: relay_conn(relay, r, w, k, "127.0.0.1", u),
                "127.0.0.1", 0)
            servers.append(server)
            ports[kind] = server.sockets[0].getsockname()[1]
    with open(args.ready + ".tmp", "w") as f:
        f.write("".join("%s_port=%d\n" % kv for kv in ports.items()))
    os.replace(args.ready + ".tmp", args.ready)
    await stop.wait()
    for s in servers:
        s.close()


def summary(args):
    """Key=value line for the connections opened in [since, until]."""
    conns = []
    with open(args.log) as f:
        for line in f:
            c = json.loads(line)
            if args.since <= c["opened"] <= args.until:
                conns.append(c)
    rtt = args.rtt_ms / 1000.0
    firsts = sorted(c["first_body"] for c in conns if c["first_body"] is not None)
    reqs = [q for c in conns for q in c["requests"]]

    def rtts(t):
        return "%.2f" % ((t - args.since) / rtt) if t is not None else "-"

    out = {
        "conns": len([c for c in conns if c["kind"] != "ftp-data"]),
        "data_conns": len([c for c in conns if c["kind"] == "ftp-data"]),
        "gets": len([q for q in reqs if q[0] == "GET"]),
        "heads": len([q for q in reqs if q[0] == "HEAD"]),
        "active_ftp": len([q for q in reqs if q[0] == "PORT"]),
        "slow": len([c for c in conns if c["slow"]]),
        # What the slowed connections carried: the share a tool left on them.
        "slow_mib": "%.2f" % (sum(c["body"] for c in conns if c["slow"]) / 1048576.0),
        "body_mib": "%.2f" % (sum(c["body"] for c in conns) / 1048576.0),
        "first_rtt": rtts(firsts[0] if firsts else None),
        "all_rtt": rtts(firsts[args.threads - 1] if len(firsts) >= args.threads else None),
        "first_s": "%.3f" % (firsts[0] - args.since) if firsts else "-",
        "errors": len([c for c in conns if c["error"]]),
    }
    print(" ".join("%s=%s" % kv for kv in out.items()))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = p.add_subparsers(dest="cmd", required=True)
    s = sub.add_parser("serve")
    s.add_argument("--http", type=int, help="nginx's port on 127.0.0.1")
    s.add_argument("--ftp", type=int, help="vsftpd's control port on 127.0.0.1")
    s.add_argument("--rtt-ms", type=float, default=80.0)
    s.add_argument("--rate", type=float, default=1048576.0, help="bytes/s per connection")
    s.add_argument("--slow-every", type=int, default=0, help="N: every Nth GET/data conn slow")
    s.add_argument("--slow-factor", type=float, default=8.0)
    s.add_argument("--log", required=True, help="JSON line per connection")
    s.add_argument("--state", required=True, help="file holding active=N")
    s.add_argument("--ready", required=True, help="file written with the ports when listening")
    m = sub.add_parser("summary")
    m.add_argument("--log", required=True)
    m.add_argument("--since", type=float, required=True)
    m.add_argument("--until", type=float, required=True)
    m.add_argument("--rtt-ms", type=float, default=80.0)
    m.add_argument("--threads", type=int, default=1, help="connections that must get data")
    args = p.parse_args()
    if args.cmd == "serve":
        asyncio.run(serve(args))
    else:
        summary(args)


if __name__ == "__main__":
    sys.exit(main())
