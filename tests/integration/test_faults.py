#!/usr/bin/env python3
"""Network faults between brindle-get and a real server, injected by tests/support/fault_relay:
connections dropped in the HTTP header and body, in the FTP control and data connections,
stalls shorter and longer than --stall-timeout, resets while connecting and mid-body.

Each run must end byte-exact within its attempts, or with "Job failed" and the part files
intact (every part a byte-exact prefix of its segment) when the attempts run out; never with
success over wrong bytes, never hanging."""
import os

from harness import DATA, BrindleTestCase, main, port
from fault_relay import FaultRelay, Rules  # noqa: E402 (path set by harness)

RETRIED = "ATTEMPTION #1"


class FaultCase(BrindleTestCase):
    def fetch(self, relay, scheme, name, threads, *extra):
        self.src = os.path.join(DATA, name)
        self.runs = getattr(self, "runs", 0) + 1
        target = os.path.join(self.work, "faulty-%d-%s" % (self.runs, name))
        url = "%s://127.0.0.1:%d/%s" % (scheme, relay.port, name)
        r = self.run_get(["-v", "-n", str(threads), "-o", target, *extra, url])
        return r, target

    def relay(self, target_port, rules=None, **kw):
        r = FaultRelay(("127.0.0.1", target_port), rules, **kw).start()
        self.addCleanup(r.close)
        return r

    def assert_recovered(self, r, target, threads, relay):
        self.assert_success(r, target, self.src, threads)
        self.assertIn(RETRIED, r.text, "the fault never hit: %s\n%s" % (relay.events, r))


class HttpFaultTest(FaultCase):
    needs = ("NGINX",)

    def test_drop_in_header(self):
        relay = self.relay(port("NGINX"), Rules(drop_after=40, first=2))
        r, target = self.fetch(relay, "http", "rand-5m.bin", 2)
        self.assert_recovered(r, target, 2, relay)

    def test_drops_in_body_resume_each_time(self):
        # Every connection breaks after 500 kB: the segments fill over several attempts.
        relay = self.relay(port("NGINX"), Rules(drop_after=500000))
        r, target = self.fetch(relay, "http", "rand-5m.bin", 2, "-a", "12")
        self.assert_recovered(r, target, 2, relay)

    def test_reset_while_connecting(self):
        relay = self.relay(port("NGINX"), Rules(reset_on_accept=True, first=2))
        r, target = self.fetch(relay, "http", "rand-1m.bin", 2)
        self.assert_recovered(r, target, 2, relay)

    def test_resets_in_body(self):
        relay = self.relay(port("NGINX"), Rules(reset_after=400000))
        r, target = self.fetch(relay, "http", "rand-5m.bin", 2, "-a", "14")
        self.assert_recovered(r, target, 2, relay)

    def test_stall_shorter_than_the_limit_is_waited_out(self):
        relay = self.relay(port("NGINX"), Rules(stall_after=300000, stall_for=1.0))
        r, target = self.fetch(relay, "http", "rand-1m.bin", 2, "--stall-timeout", "5")
        self.assert_success(r, target, self.src, 2)
        self.assertNotIn(RETRIED, r.text, str(r))
        self.assertTrue(relay.events, "the stall never happened")

    def test_stall_longer_than_the_limit_fails_the_attempt(self):
        relay = self.relay(port("NGINX"), Rules(stall_after=300000))  # stalls for good
        r, target = self.fetch(relay, "http", "rand-1m.bin", 2, "--stall-timeout", "2", "-a", "4")
        self.assert_recovered(r, target, 2, relay)
        self.assertGreaterEqual(r.elapsed, 2.0)

    def test_attempts_run_out(self):
        relay = self.relay(port("NGINX"), Rules(drop_after=200000))
        r, target = self.fetch(relay, "http", "rand-5m.bin", 2, "-a", "2")
        self.assert_failed_with_parts(r, target, self.src, 2)
        self.assertGreater(sum(self.assert_parts_are_prefixes(target, self.src, 2)), 0)


class FtpFaultTest(FaultCase):
    needs = ("VSFTPD",)

    def test_drop_in_control_connection(self):
        # 10 bytes: inside the greeting; 150: after the login replies.
        for cut in (10, 150):
            with self.subTest(cut=cut):
                relay = self.relay(port("VSFTPD"), Rules(drop_after=cut, first=2), ftp=True)
                r, target = self.fetch(relay, "ftp", "rand-1m.bin", 2, "--passive")
                self.assert_recovered(r, target, 2, relay)

    def test_reset_while_connecting(self):
        relay = self.relay(port("VSFTPD"), Rules(reset_on_accept=True, first=2), ftp=True)
        r, target = self.fetch(relay, "ftp", "rand-1m.bin", 2, "--passive")
        self.assert_recovered(r, target, 2, relay)

    def test_drops_in_data_connection(self):
        for mode in ("--passive", "--active"):
            with self.subTest(mode=mode):
                relay = self.relay(port("VSFTPD"), ftp=True, data_rules=Rules(drop_after=500000))
                r, target = self.fetch(relay, "ftp", "rand-5m.bin", 2, mode, "-a", "12")
                self.assert_recovered(r, target, 2, relay)
                self.assertGreater(relay.data_connections, 2)

    def test_data_stall_longer_than_the_limit(self):
        relay = self.relay(port("VSFTPD"), ftp=True,
                           data_rules=Rules(stall_after=300000, first=2))
        r, target = self.fetch(relay, "ftp", "rand-1m.bin", 2, "--passive",
                               "--stall-timeout", "2")
        self.assert_recovered(r, target, 2, relay)

    def test_data_stall_shorter_than_the_limit(self):
        relay = self.relay(port("VSFTPD"), ftp=True,
                           data_rules=Rules(stall_after=300000, stall_for=1.0))
        r, target = self.fetch(relay, "ftp", "rand-1m.bin", 2, "--passive",
                               "--stall-timeout", "5")
        self.assert_success(r, target, self.src, 2)
        self.assertNotIn(RETRIED, r.text, str(r))

    def test_attempts_run_out(self):
        relay = self.relay(port("VSFTPD"), ftp=True, data_rules=Rules(drop_after=200000))
        r, target = self.fetch(relay, "ftp", "rand-5m.bin", 2, "--passive", "-a", "2")
        self.assert_failed_with_parts(r, target, self.src, 2)


if __name__ == "__main__":
    main()
