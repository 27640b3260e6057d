#!/usr/bin/env python3
"""The fault relay itself, with plain Python clients against the real servers: the fault cases
of test_faults.py only mean something if a drop delivers exactly N bytes, a reset is an RST,
a stall holds the bytes back, and FTP data connections really pass through it."""
import ftplib
import os
import socket
import subprocess
import sys
import time
import unittest

from harness import DATA, SOURCE_DIR, port, port_open
from fault_relay import FaultRelay, Rules  # noqa: E402 (path set by harness)

REQUEST = b"GET /rand-1m.bin HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"


def read_all(sock):
    """Everything until EOF; raises ConnectionResetError on an RST."""
    sock.settimeout(10)
    got = bytearray()
    while True:
        b = sock.recv(65536)
        if not b:
            return bytes(got)
        got += b


class RelayTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for name in ("NGINX", "VSFTPD"):
            if not port_open(port(name)):
                raise AssertionError("server %s is not running" % name)
        with open(os.path.join(DATA, "rand-1m.bin"), "rb") as f:
            cls.src = f.read()

    def relay(self, server, rules=None, **kw):
        r = FaultRelay(("127.0.0.1", port(server)), rules, **kw).start()
        self.addCleanup(r.close)
        return r

    def get(self, relay):
        s = socket.create_connection(("127.0.0.1", relay.port), timeout=10)
        with s:
            s.sendall(REQUEST)
            return read_all(s)

    def test_clean_relay_passes_everything(self):
        reply = self.get(self.relay("NGINX"))
        self.assertTrue(reply.endswith(self.src))

    def test_drop_delivers_exactly_n_bytes_then_eof(self):
        relay = self.relay("NGINX", Rules(drop_after=100000))
        reply = self.get(relay)
        self.assertEqual(len(reply), 100000)

    def test_reset_is_an_rst(self):
        relay = self.relay("NGINX", Rules(reset_after=50000))
        with self.assertRaises(ConnectionResetError):
            self.get(relay)

    def test_reset_on_accept_then_clean_after_first(self):
        relay = self.relay("NGINX", Rules(reset_on_accept=True, first=1))
        with self.assertRaises((ConnectionResetError, BrokenPipeError)):
            self.get(relay)
        self.assertTrue(self.get(relay).endswith(self.src))
        self.assertEqual(relay.connections, 2)

    def test_up_direction_drop_cuts_the_request(self):
        relay = self.relay("NGINX", Rules(drop_after=10, direction="up"))
        self.assertEqual(self.get(relay), b"")

    def test_stall_holds_bytes_back(self):
        relay = self.relay("NGINX", Rules(stall_after=1000))
        s = socket.create_connection(("127.0.0.1", relay.port), timeout=10)
        with s:
            s.sendall(REQUEST)
            s.settimeout(1.0)
            got = b""
            try:
                while True:
                    b = s.recv(65536)
                    if not b:
                        break
                    got += b
            except socket.timeout:
                pass
            self.assertEqual(len(got), 1000)
        self.assertEqual(len(relay.events), 1, relay.events)

    def test_ftp_data_goes_through_the_relay(self):
        for passive in (True, False):
            with self.subTest(passive=passive):
                relay = self.relay("VSFTPD", ftp=True,
                                   data_rules=Rules(drop_after=300000, first=1))
                results = []
                for _ in range(2):
                    f = ftplib.FTP()
                    f.connect("127.0.0.1", relay.port, timeout=10)
                    f.login()
                    f.set_pasv(passive)
                    buf = bytearray()
                    try:
                        f.retrbinary("RETR rand-1m.bin", buf.extend)
                    except ftplib.Error:
                        pass
                    f.close()
                    results.append(bytes(buf))
                self.assertEqual(len(results[0]), 300000)
                self.assertEqual(results[1], self.src)
                self.assertEqual(relay.data_connections, 2)

    def test_command_line_prints_its_port(self):
        cmd = [sys.executable, os.path.join(SOURCE_DIR, "tests", "support", "fault_relay.py"),
               "--target", "127.0.0.1:%d" % port("NGINX"), "--drop-after", "5000"]
        p = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True)
        try:
            relay_port = int(p.stdout.readline())
            s = socket.create_connection(("127.0.0.1", relay_port), timeout=10)
            with s:
                s.sendall(REQUEST)
                self.assertEqual(len(read_all(s)), 5000)
        finally:
            p.terminate()
            p.wait(timeout=10)
        self.assertEqual(p.returncode, 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
