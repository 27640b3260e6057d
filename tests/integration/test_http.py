#!/usr/bin/env python3
"""brindle-get against real HTTP servers: nginx (byte ranges), python's http.server (none),
and nginx behind squid (--proxy)."""
import os
import re

from harness import (DATA, BrindleTestCase, LogTail, asked_ranges, fetched_ranges, main,
                     part_name, port)

GET_RE = re.compile(r'"GET (\S+) HTTP/1\.[01]" (\d+) (\d+) range="([^"]*)" via="([^"]*)"')


def nginx_gets(lines, needle):
    """(status, bytes, range, via) of the GET lines whose target contains needle."""
    out = []
    for line in lines:
        m = GET_RE.search(line)
        if m and needle in m.group(1):
            out.append((int(m.group(2)), int(m.group(3)), m.group(4), m.group(5)))
    return out


class NginxTest(BrindleTestCase):
    needs = ("NGINX",)

    def url(self, rel):
        return "http://127.0.0.1:%d/%s" % (port("NGINX"), rel)

    def fetch(self, rel, threads, *extra):
        target = os.path.join(self.work, "%s-%d" % (os.path.basename(rel), threads))
        r = self.run_get(["-v", "-n", str(threads), "-o", target, *extra, self.url(rel)])
        return r, target

    def test_threads_1_3_8(self):
        src = os.path.join(DATA, "rand-5m.bin")
        for n in (1, 3, 8):
            with self.subTest(threads=n):
                r, target = self.fetch("rand-5m.bin", n)
                self.assert_success(r, target, src, n)

    def test_keep_parts_leaves_every_segment(self):
        src = os.path.join(DATA, "rand-5m.bin")
        r, target = self.fetch("rand-5m.bin", 3, "--keep-parts")
        self.assert_success(r, target, src, 3, keep_parts=True)

    def test_each_thread_asks_for_its_own_range(self):
        src = os.path.join(DATA, "rand-5m.bin")
        tag = "t=ranges-%s" % os.path.basename(self.work)
        log = LogTail("nginx-access.log")
        r, target = self.fetch("rand-5m.bin?" + tag, 3)
        self.assert_success(r, target, src, 3)
        gets = nginx_gets(log.lines(), tag)
        size = os.path.getsize(src)
        self.assertEqual(sorted(g[2] for g in gets), asked_ranges(size, 3), gets)
        self.assertTrue(all(g[0] == 206 for g in gets), gets)
        # Thread 0 hangs up at its segment's end; nginx counts what it had sent by then.
        self.assertEqual(sum(g[1] for g in gets if g[2] != "bytes=0-"),
                         sum(b - a + 1 for a, b in fetched_ranges(size, 3)[1:]))

    def test_small_and_odd_sizes(self):
        # Files smaller than the thread count leave every segment but the last empty.
        for name, n in (("tiny-5.bin", 8), ("small-1000.bin", 3), ("odd-65537.bin", 8)):
            with self.subTest(file=name, threads=n):
                r, target = self.fetch(name, n)
                self.assert_success(r, target, os.path.join(DATA, name), n)

    def test_empty_file_fails_without_a_size(self):
        # A size of 0 is no positive size: every attempt fails.
        r, target = self.fetch("empty.bin", 2, "-a", "2")
        self.assertEqual(r.rc, 1, str(r))
        self.assertIn("Job failed", r.text, str(r))

    def test_missing_file_fails(self):
        r, target = self.fetch("no-such-file.bin", 2, "-a", "2")
        self.assertEqual(r.rc, 3, str(r))
        # The 404 ends the job: no thread asks again.
        self.assertNotIn("ATTEMPTION #1", r.text, str(r))
        self.assertIn("Job failed", r.text, str(r))
        self.assertFalse(os.path.exists(target) and os.path.getsize(target) > 0,
                         "an error page was written as data")


class NoRangesTest(BrindleTestCase):
    """python3 -m http.server sends no Accept-Ranges: thread 0 fetches the whole file."""

    needs = ("PYHTTP",)

    def url(self, rel):
        return "http://127.0.0.1:%d/%s" % (port("PYHTTP"), rel)

    def test_thread_0_fetches_the_whole_file(self):
        rel = self.unique_file("rand-5m.bin")
        src = os.path.join(DATA, rel)
        log = LogTail("pyhttp.out")
        target = os.path.join(self.work, "whole.bin")
        r = self.run_get(["-v", "-n", "3", "-o", target, self.url(rel)])
        self.assert_success(r, target, src, 3)
        gets = [l for l in log.lines() if '"GET /%s ' % rel in l]
        self.assertEqual(len(gets), 1, "only thread 0 may transfer: %s" % gets)

    def test_stale_parts_are_deleted_not_joined(self):
        src = os.path.join(DATA, "rand-1m.bin")
        target = os.path.join(self.work, "stale.bin")
        for i in (1, 2):
            with open(part_name(target, i), "wb") as f:
                f.write(b"stale bytes that must never reach the target")
        r = self.run_get(["-v", "-y", "-n", "3", "-o", target, self.url("rand-1m.bin")])
        self.assert_success(r, target, src, 3)


class SquidTest(BrindleTestCase):
    needs = ("NGINX", "SQUID")

    def test_through_squid(self):
        src = os.path.join(DATA, "rand-5m.bin")
        tag = "t=squid-%s" % os.path.basename(self.work)
        url = "http://127.0.0.1:%d/rand-5m.bin?%s" % (port("NGINX"), tag)
        squid_log = LogTail("squid-access.log")
        nginx_log = LogTail("nginx-access.log")
        target = os.path.join(self.work, "proxied.bin")
        r = self.run_get(["-v", "-n", "3", "-o", target,
                          "--proxy", "127.0.0.1:%d" % port("SQUID"), url])
        self.assert_success(r, target, src, 3)
        # squid logs the absolute-form target it was asked for.
        proxied = [l for l in squid_log.lines() if " GET %s " % url in l]
        ranges = sorted(re.search(r'range="([^"]*)"', l).group(1) for l in proxied)
        self.assertEqual(ranges, asked_ranges(os.path.getsize(src), 3),
                         "\n".join(squid_log.lines()))
        gets = nginx_gets(nginx_log.lines(), tag)
        self.assertEqual(len(gets), 3, gets)
        self.assertTrue(all("squid" in g[3] for g in gets), "request bypassed squid: %s" % gets)


if __name__ == "__main__":
    main()
