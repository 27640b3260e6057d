#!/usr/bin/env python3
"""HTTPS and redirects against the real nginx-tls (test CA and certificates made by
scripts/servers/tls_certs.sh): downloads byte-exact, refused certificates that fail cleanly and
write nothing, redirect chains and the redirects that are refused, the CONNECT tunnel through
squid, and faults in the middle of a TLS transfer (the fault relay before nginx-tls)."""
import os
import time

from harness import DATA, STATE, BrindleTestCase, LogTail, main, part_name, port
from fault_relay import FaultRelay, Rules  # noqa: E402 (path set by harness)

CA = os.path.join(STATE, "nginx-tls", "certs", "ca.crt")
TLS = port("NGINX_TLS")


def https(rel, p=TLS, host="127.0.0.1"):
    return "https://%s:%d/%s" % (host, p, rel)


class TlsCase(BrindleTestCase):
    needs = ("NGINX", "NGINX_TLS", "NGINX_REDIR", "SQUID")

    def fetch(self, url, threads, *extra):
        self.runs = getattr(self, "runs", 0) + 1
        target = os.path.join(self.work, "out-%d.bin" % self.runs)
        r = self.run_get(["-v", "-n", str(threads), "-o", target, *extra, url])
        return r, target

    def assert_nothing_written(self, r, target, threads, rc=1):
        self.assertEqual(r.rc, rc, str(r))
        self.assertIn("Job failed", r.text, str(r))
        for i in range(threads):
            part = part_name(target, i)
            self.assertFalse(os.path.exists(part) and os.path.getsize(part) > 0,
                             "bytes written for %s\n%s" % (part, r))


class HttpsTest(TlsCase):
    def test_threads_1_4_8(self):
        src = os.path.join(DATA, "rand-5m.bin")
        for n in (1, 4, 8):
            with self.subTest(threads=n):
                r, target = self.fetch(https("rand-5m.bin"), n, "--cacert", CA)
                self.assert_success(r, target, src, n)

    def test_refused_servers_fail_with_the_reason(self):
        cases = (  # url, options, reason in the log
            (https("rand-1m.bin", port("NGINX_TLS_WRONG"), "localhost"), ["--cacert", CA],
             "hostname mismatch"),
            (https("rand-1m.bin", port("NGINX_TLS_WRONG")), ["--cacert", CA],
             "IP address mismatch"),
            (https("rand-1m.bin", port("NGINX_TLS_EXPIRED")), ["--cacert", CA],
             "certificate has expired"),
            (https("rand-1m.bin", port("NGINX_TLS_SELF")), [], "self-signed certificate"),
            # Verification is on by default: the test CA is not in the system's store.
            (https("rand-1m.bin"), [], "unable to get local issuer certificate"),
        )
        for url, extra, reason in cases:
            with self.subTest(url=url, reason=reason):
                r, target = self.fetch(url, 2, "-a", "2", *extra)
                self.assert_nothing_written(r, target, 2, rc=5)
                self.assertIn("TLS handshake with", r.text, str(r))
                # A refused certificate is not asked again.
                self.assertNotIn("ATTEMPTION #1", r.text, str(r))
                self.assertIn(reason, r.text, str(r))

    def test_insecure_takes_any_certificate_and_says_so_once(self):
        src = os.path.join(DATA, "rand-1m.bin")
        r, target = self.fetch(https("rand-1m.bin", port("NGINX_TLS_SELF")), 3, "-k")
        self.assert_success(r, target, src, 3)
        self.assertEqual(r.err.count("--insecure"), 1, r.err)

    def test_through_squid_with_connect(self):
        src = os.path.join(DATA, "rand-5m.bin")
        squid_log = LogTail("squid-access.log")
        r, target = self.fetch(https("rand-5m.bin"), 3, "--cacert", CA,
                               "--proxy", "127.0.0.1:%d" % port("SQUID"))
        self.assert_success(r, target, src, 3)
        tunnels = [l for l in squid_log.lines() if " CONNECT 127.0.0.1:%d " % TLS in l]
        self.assertGreaterEqual(len(tunnels), 3, "\n".join(squid_log.lines()))
        self.assertIn("CONNECT 127.0.0.1:%d HTTP/1.0" % TLS, r.text)


class RedirectTest(TlsCase):
    def test_chain_http_relative_then_https(self):
        rel = self.unique_file("rand-5m.bin")
        log = LogTail("nginx-tls-access.log")
        url = "http://127.0.0.1:%d/chain/%s" % (port("NGINX_REDIR"), rel)
        r, target = self.fetch(url, 3, "--cacert", CA)
        self.assert_success(r, target, os.path.join(DATA, rel), 3)
        self.assertIn("(status 303) to http://127.0.0.1:%d/hop/4?f=%s" % (port("NGINX_REDIR"), rel),
                      r.text)
        self.assertIn("(status 307) to " + https(rel), r.text)
        # Every segment came from the final URL over TLS.
        gets = [l for l in log.lines() if '"GET /%s ' % rel in l and "port=%d" % TLS in l]
        self.assertEqual(len(gets), 3, "\n".join(log.lines()))
        self.assertTrue(all(" 206 " in l for l in gets), gets)

    def test_redirects_that_are_refused(self):
        redir = port("NGINX_REDIR")
        cases = (  # url, options, text
            ("http://127.0.0.1:%d/loop/1" % redir, ["--max-redirects", "3"],
             "More than 3 redirects"),
            (https("down/x"), ["--cacert", CA], "Redirect from https to http://"),
            ("http://127.0.0.1:%d/ftp/x" % redir, [], "only http:// and https:// are followed"),
        )
        for url, extra, text in cases:
            with self.subTest(url=url):
                r, target = self.fetch(url, 2, "-a", "1", *extra)
                self.assert_nothing_written(r, target, 2)
                self.assertIn(text, r.text, str(r))


class TlsFaultTest(TlsCase):
    def relay(self, rules):
        r = FaultRelay(("127.0.0.1", TLS), rules).start()
        self.addCleanup(r.close)
        return r

    def test_faults_mid_transfer_resume_byte_exact(self):
        src = os.path.join(DATA, "rand-5m.bin")
        cases = (  # rules, options
            (Rules(drop_after=600000), ["-a", "12"]),
            (Rules(stall_after=300000, first=3), ["--stall-timeout", "2"]),
        )
        for rules, extra in cases:
            with self.subTest(rules=rules):
                relay = self.relay(rules)
                r, target = self.fetch(https("rand-5m.bin", relay.port), 2, "--cacert", CA,
                                       *extra)
                self.assert_success(r, target, src, 2)
                self.assertIn("ATTEMPTION #1", r.text, "the fault never hit\n%s" % r)

    def test_interrupt_in_a_stalled_tls_read(self):
        # A worker blocked in a TLS read wakes at once on Ctrl-C; the parts stay for a resume.
        relay = self.relay(Rules(stall_after=400000))
        target = os.path.join(self.work, "stalled.bin")
        p = self.start_get(["-n", "2", "--cacert", CA, "-o", target,
                            https("rand-5m.bin", relay.port)])
        self.interrupt_when(p, target, 2, 100000)
        t0 = time.monotonic()
        r = self.finish(p, timeout=20)
        self.assertEqual(r.rc, 130, str(r))
        self.assertLess(time.monotonic() - t0, 5, str(r))
        self.assert_parts_are_prefixes(target, os.path.join(DATA, "rand-5m.bin"), 2)


if __name__ == "__main__":
    main()
