#!/usr/bin/env python3
"""A TCP relay on 127.0.0.1 that sits in front of a real server and misbehaves on purpose.

It listens on an ephemeral port and forwards every connection to the target. A connection can be
dropped (FIN) or reset (RST, SO_LINGER 0) after N bytes in one direction, reset as soon as it is
accepted, stalled after N bytes for T seconds or for good, or throttled; optionally only the
first K connections misbehave, so a client's retry gets through. In FTP mode the relay rewrites
227 (PASV) replies and PORT commands so that the data connections pass through relays of their
own, with rules of their own.

Directions: "down" is server to client (the download), "up" is client to server.

Library use (the integration tests run it in their own process, on threads):

    relay = FaultRelay(("127.0.0.1", 18080), Rules(drop_after=1000, first=1))
    relay.start(); ... relay.port ...; relay.close()

Command line: fault_relay.py --target 127.0.0.1:18021 --ftp --data-drop-after 100000 --data-first 1
prints the port it listens on, then relays until SIGINT or SIGTERM.
"""
import argparse
import re
import signal
import socket
import struct
import sys
import threading
import time
from dataclasses import dataclass, field
from typing import List, Optional, Tuple

CHUNK = 16384
# Every blocking call wakes up this often to notice that the relay is closing.
POLL = 0.2


@dataclass
class Rules:
    """What goes wrong on a connection. All faults are off by default."""

    drop_after: Optional[int] = None  # close both ends (FIN) after this many bytes in `direction`
    reset_after: Optional[int] = None  # reset the client's end after this many bytes
    reset_on_accept: bool = False  # reset the client's end at once, before any byte
    stall_after: Optional[int] = None  # stop forwarding after this many bytes...
    stall_for: Optional[float] = None  # ...for this many seconds (None: until the client leaves)
    throttle: Optional[int] = None  # bytes per second in `direction`
    direction: str = "down"
    first: Optional[int] = None  # only the first K connections misbehave

    def faulty(self):
        return any(x is not None for x in (self.drop_after, self.reset_after, self.stall_after,
                                           self.throttle)) or self.reset_on_accept


def _reset(sock):
    """Closes with an RST instead of a FIN (no shutdown first: that would send the FIN)."""
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    try:
        sock.close()
    except OSError:
        pass


def _close(sock):
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    try:
        sock.close()
    except OSError:
        pass


class _Connection:
    """One relayed connection: two pumps, one per direction."""

    def __init__(self, relay, client, server, rules, index):
        self.relay = relay
        self.rules = rules
        self.index = index
        # `down` flows from the server's socket to the client's socket.
        self.client = client
        self.server = server
        self.closed = threading.Event()
        self.lock = threading.Lock()
        self.counts = {"down": 0, "up": 0}
        self.fault_done = False
        self.ftp_buffers = {"down": b"", "up": b""}

    def start(self):
        for direction, src, dst in (("down", self.server, self.client),
                                    ("up", self.client, self.server)):
            t = threading.Thread(target=self._pump, args=(direction, src, dst), daemon=True)
            t.start()
            self.relay._threads.append(t)

    def close(self, reset=False):
        with self.lock:
            if self.closed.is_set():
                return
            self.closed.set()
        (_reset if reset else _close)(self.client)
        _close(self.server)

    def _pump(self, direction, src, dst):
        try:
            try:
                src.settimeout(POLL)
            except OSError:  # closed already (a fault on the other direction)
                return
            while not self.closed.is_set() and not self.relay.closing.is_set():
                try:
                    data = src.recv(CHUNK)
                except socket.timeout:
                    continue
                except OSError:
                    break
                if not data:
                    break
                if self.relay.ftp:
                    data = self._rewrite_ftp(direction, data)
                if data and not self._forward(direction, dst, data):
                    return
            # One side ended: end both. Neither HTTP/1.0 nor FTP needs a half-closed connection.
        finally:
            self.close()

    def _forward(self, direction, dst, data):
        """Sends data on, applying the rules; False when the connection is finished."""
        rules = self.rules
        active = rules.direction == direction
        pos = 0
        while pos < len(data):
            if self.closed.is_set():
                return False
            part = data[pos:]
            limit = None
            if active and not self.fault_done:
                for mark in (rules.drop_after, rules.reset_after, rules.stall_after):
                    if mark is not None and mark >= self.counts[direction]:
                        room = mark - self.counts[direction]
                        limit = room if limit is None else min(limit, room)
            if limit is not None and limit < len(part):
                part = part[:limit]
            if active and rules.throttle:
                part = part[:max(1, rules.throttle // 10)]
            if part:
                try:
                    dst.sendall(part)
                except OSError:
                    return False
                self.counts[direction] += len(part)
                pos += len(part)
                if active and rules.throttle:
                    time.sleep(len(part) / rules.throttle)
            if active and not self.fault_done and self._fault_due(direction):
                if not self._fault(direction):
                    return False
        return True

    def _fault_due(self, direction):
        n = self.counts[direction]
        r = self.rules
        return any(mark is not None and n >= mark
                   for mark in (r.drop_after, r.reset_after, r.stall_after))

    def _fault(self, direction):
        r = self.rules
        n = self.counts[direction]
        self.fault_done = True
        if r.reset_after is not None and n >= r.reset_after:
            self.relay._event("conn %d: reset after %d bytes %s" % (self.index, n, direction))
            self.close(reset=True)
            return False
        if r.drop_after is not None and n >= r.drop_after:
            self.relay._event("conn %d: drop after %d bytes %s" % (self.index, n, direction))
            self.close()
            return False
        self.relay._event("conn %d: stall after %d bytes %s for %s" %
                          (self.index, n, direction, r.stall_for))
        deadline = None if r.stall_for is None else time.monotonic() + r.stall_for
        while not self.closed.is_set() and not self.relay.closing.is_set():
            if deadline is not None and time.monotonic() >= deadline:
                return True
            # The client giving up closes its end: the other pump sees that and closes us.
            self.closed.wait(POLL)
        return False

    # ---- FTP: route data connections through relays of their own ----

    _PASV = re.compile(rb"^227 .*?\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)")
    _PORT = re.compile(rb"^PORT (\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\s*$", re.IGNORECASE)

    def _rewrite_ftp(self, direction, data):
        buf = self.ftp_buffers[direction] + data
        lines = buf.split(b"\r\n")
        self.ftp_buffers[direction] = lines.pop()  # an incomplete line waits for its end
        out = []
        for line in lines:
            if direction == "down":
                m = self._PASV.match(line)
                if m:
                    host = ".".join(x.decode() for x in m.groups()[:4])
                    port = int(m.group(5)) * 256 + int(m.group(6))
                    data_relay = self.relay._data_relay((host, port), passive=True)
                    p = data_relay.port
                    line = b"227 Entering Passive Mode (127,0,0,1,%d,%d)." % (p // 256, p % 256)
            else:
                m = self._PORT.match(line)
                if m:
                    host = ".".join(x.decode() for x in m.groups()[:4])
                    port = int(m.group(5)) * 256 + int(m.group(6))
                    data_relay = self.relay._data_relay((host, port), passive=False)
                    p = data_relay.port
                    line = b"PORT 127,0,0,1,%d,%d" % (p // 256, p % 256)
            out.append(line + b"\r\n")
        return b"".join(out)


class FaultRelay:
    """Listens on 127.0.0.1 (ephemeral port) and relays to `target` under `rules`.

    Threads: start() spawns the accept loop and two threads per connection; close() may be
    called from any thread and ends all of them within a few POLL periods."""

    def __init__(self, target: Tuple[str, int], rules: Optional[Rules] = None, ftp=False,
                 data_rules: Optional[Rules] = None, _is_data=False, _parent=None,
                 _one_shot=False):
        self.target = target
        self.rules = rules or Rules()
        self.ftp = ftp
        self.data_rules = data_rules or Rules()
        self.is_data = _is_data
        self.parent = _parent
        self.one_shot = _one_shot
        self.passive = True  # data relays: whether the client connects to us (PASV)
        self.closing = threading.Event()
        self.connections = 0  # accepted so far
        self.events: List[str] = []
        self._threads: List[threading.Thread] = []
        self._conns: List[_Connection] = []
        self._children: List["FaultRelay"] = []
        self._lock = threading.Lock()
        self._data_count = 0
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.listener.settimeout(POLL)
        self.port = self.listener.getsockname()[1]

    def start(self):
        t = threading.Thread(target=self._accept_loop, daemon=True)
        t.start()
        self._threads.append(t)
        return self

    def close(self):
        self.closing.set()
        _close(self.listener)
        with self._lock:
            conns = list(self._conns)
            children = list(self._children)
        for c in conns:
            c.close()
        for r in children:
            r.close()
        for t in list(self._threads):
            if t is not threading.current_thread():
                t.join(timeout=2)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()

    @property
    def data_connections(self):
        """Data connections relayed so far (FTP mode)."""
        return self._data_count

    def _event(self, text):
        root = self.parent or self
        with root._lock:
            root.events.append(text)

    def _rules_for(self, index):
        r = self.rules
        if r.first is not None and index >= r.first:
            return Rules()
        return r

    def _accept_loop(self):
        while not self.closing.is_set():
            try:
                client, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                break
            with self._lock:
                index = self.connections
                self.connections += 1
            self._handle(client, index)
            if self.one_shot:
                break
        if self.one_shot:
            _close(self.listener)

    def _handle(self, accepted, index):
        rules = self._rules_for(index)
        if rules.reset_on_accept:
            self._event("conn %d: reset on accept" % index)
            _reset(accepted)
            return
        try:
            upstream = socket.create_connection(self.target, timeout=10)
        except OSError as e:
            self._event("conn %d: upstream %s:%d failed: %s" % ((index,) + self.target + (e,)))
            _reset(accepted)
            return
        if self.is_data and not self.passive:
            # Active mode: the server connected to us; the client's listener is the target.
            client, server = upstream, accepted
        else:
            client, server = accepted, upstream
        conn = _Connection(self, client, server, rules, index)
        with self._lock:
            self._conns.append(conn)
        conn.start()

    def _data_relay(self, target, passive):
        """A one-connection relay for one FTP data connection."""
        with self._lock:
            index = self._data_count
            self._data_count += 1
        dr = self.data_rules
        rules = dr if dr.first is None or index < dr.first else Rules()
        rules = Rules(**{**rules.__dict__, "first": None})
        relay = FaultRelay(target, rules, _is_data=True, _parent=self, _one_shot=True)
        relay.passive = passive
        with self._lock:
            self._children.append(relay)
        return relay.start()


def _parse_rules(args, prefix):
    def get(name):
        return getattr(args, prefix + name)

    stall_for = get("stall_for")
    return Rules(drop_after=get("drop_after"), reset_after=get("reset_after"),
                 reset_on_accept=get("reset_on_accept"), stall_after=get("stall_after"),
                 stall_for=None if stall_for in (None, "forever") else float(stall_for),
                 throttle=get("throttle"), direction=get("dir"), first=get("first"))


def main(argv=None):
    ap = argparse.ArgumentParser(description="TCP relay that injects faults (see module doc)")
    ap.add_argument("--target", required=True, help="HOST:PORT of the real server")
    ap.add_argument("--ftp", action="store_true", help="rewrite PASV/PORT, relay data too")
    for prefix, what in (("", "connections"), ("data-", "FTP data connections")):
        g = ap.add_argument_group(what)
        g.add_argument("--%sdrop-after" % prefix, type=int, metavar="N")
        g.add_argument("--%sreset-after" % prefix, type=int, metavar="N")
        g.add_argument("--%sreset-on-accept" % prefix, action="store_true")
        g.add_argument("--%sstall-after" % prefix, type=int, metavar="N")
        g.add_argument("--%sstall-for" % prefix, metavar="SECONDS|forever")
        g.add_argument("--%sthrottle" % prefix, type=int, metavar="BYTES_PER_S")
        g.add_argument("--%sdir" % prefix, choices=("down", "up"), default="down")
        g.add_argument("--%sfirst" % prefix, type=int, metavar="K")
    args = ap.parse_args(argv)
    host, _, port = args.target.rpartition(":")
    relay = FaultRelay((host, int(port)), _parse_rules(args, ""), ftp=args.ftp,
                       data_rules=_parse_rules(args, "data_"))
    relay.start()
    print(relay.port, flush=True)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *a: stop.set())
    signal.signal(signal.SIGINT, lambda *a: stop.set())
    while not stop.wait(POLL):
        pass
    relay.close()
    for e in relay.events:
        print(e, file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
