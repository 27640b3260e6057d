#!/usr/bin/env python3
"""Bad input to brindle-get: malformed URLs, https to a plain server, unknown hosts, refused
ports, bad options and declined questions. Each must end within a bounded time with "Job
failed" and the exit status of its kind (1, or 3 to 6), or 2 (refused before a job), and say why, and must never leave bytes claimed as a
download."""
import os

from harness import BrindleTestCase, free_port, main, port

# Short limits so that nothing waits for the 30 s connect default.
FAST = ["-a", "2", "--connect-timeout", "3", "--stall-timeout", "3"]
BOUND = 30  # seconds any of these may take


class BadInputTest(BrindleTestCase):
    needs = ("NGINX", "VSFTPD")

    def expect(self, args, codes, text=None):
        target = os.path.join(self.work, "out.bin")
        r = self.run_get(FAST + ["-o", target] + args, timeout=BOUND + 30)
        self.assertIn(r.rc, codes, str(r))
        self.assertLess(r.elapsed, BOUND, str(r))
        self.assertNotIn("Job completed successfully", r.text, str(r))
        self.assertTrue(r.text.strip(), "no message at all")
        if text:
            self.assertIn(text.lower(), r.text.lower(), str(r))
        if r.rc in (1, 3, 4, 5, 6):
            self.assertIn("Job failed", r.text, str(r))
        self.assertFalse(os.path.exists(target) and os.path.getsize(target) > 0,
                         "bytes written for a failed job:\n%s" % r)
        return r

    def test_malformed_urls(self):
        for url in ("http//127.0.0.1:%d/rand-1m.bin" % port("NGINX"),
                    "ftp:/127.0.0.1/rand-1m.bin",
                    "http://",
                    "http://:80/x",
                    "notaurl",
                    "http://127.0.0.1:99999/rand-1m.bin"):
            with self.subTest(url=url):
                self.expect([url], (1, 2))

    def test_https_to_a_plain_http_server_fails_in_the_handshake(self):
        self.expect(["https://127.0.0.1:%d/rand-1m.bin" % port("NGINX")], (5,), "TLS handshake")

    def test_unknown_host(self):
        for url in ("http://brindle-test-host.invalid/rand-1m.bin",
                    "ftp://brindle-test-host.invalid/rand-1m.bin"):
            with self.subTest(url=url):
                # A name that does not resolve is not asked again.
                r = self.expect(["-v", url], (4,), "cannot resolve brindle-test-host.invalid")
                self.assertEqual(r.text.count("ATTEMPTION #1"), 0, str(r))

    def test_refused_port(self):
        p = free_port()
        for url in ("http://127.0.0.1:%d/rand-1m.bin" % p, "ftp://127.0.0.1:%d/rand-1m.bin" % p):
            with self.subTest(url=url):
                self.expect([url], (4,), "127.0.0.1 port %d: connection refused" % p)

    def test_bad_options(self):
        url = "http://127.0.0.1:%d/rand-1m.bin" % port("NGINX")
        for args in (["-n", "0", url], ["-n", "33", url], ["-n", "x", url],
                     ["--proxy", "not-an-address", url], ["--proxy", "127.0.0.1:0", url],
                     ["--no-such-option", url], []):
            with self.subTest(args=args):
                self.expect(args, (2,))

    def test_existing_files_without_an_answer(self):
        # No terminal to ask on, and --no: both refuse, and nothing on disk changes.
        url = "http://127.0.0.1:%d/rand-1m.bin" % port("NGINX")
        target = os.path.join(self.work, "out.bin")
        for answer in ([], ["--no"]):
            with self.subTest(answer=answer):
                with open(target, "wb") as f:
                    f.write(b"keep me")
                r = self.run_get(FAST + ["-o", target] + answer + [url], timeout=BOUND)
                self.assertEqual(r.rc, 2, str(r))
                self.assertTrue(r.text.strip(), "no message")
                with open(target, "rb") as f:
                    self.assertEqual(f.read(), b"keep me")


if __name__ == "__main__":
    main()
