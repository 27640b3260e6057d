#!/usr/bin/env python3
"""Interrupt and resume: brindle-get on a rate-limited server is stopped with SIGINT (exit 130,
parts kept; SIGHUP, SIGQUIT, SIGTERM alike with 128 + the signal) or killed with SIGKILL
mid-download, then run again with -y. The result must be
byte-exact and the server's log must show that the second run asked only for the bytes the
part files did not hold yet (and the few before them that the seam check compares) (HTTP: the Range headers in nginx's log; FTP: vsftpd's REST
offsets)."""
import os
import signal
import time

from harness import DATA, BrindleTestCase, LogTail, lead, main, port, segments
from test_ftp import rest_offsets
from test_http import nginx_gets

MIB = 1024 * 1024
THREADS = 3


def seam(have):
    """Bytes a resume fetches again from before its resume point, to compare them."""
    return min(have, 4096)


def refetched(size, segs, sizes):
    """(first byte asked, last byte asked, bytes asked again) of every unfinished segment: a
    part that holds bytes is asked from a seam before its end, an empty one from its lead."""
    out = []
    for i, ((s, n), have) in enumerate(zip(segs, sizes)):
        if have < n:
            extra = seam(have) if have else lead(size, THREADS, i)
            out.append((s + have - extra, s + n - 1, extra))
    return out


class ResumeCase(BrindleTestCase):
    def interrupt(self, url, target, sig):
        """Runs until the parts hold 2 MiB, sends sig; returns the part sizes afterwards."""
        p = self.start_get(["-v", "-n", str(THREADS), "-o", target, *self.mode, url])
        self.interrupt_when(p, target, THREADS, 2 * MIB, sig)
        r = self.finish(p, timeout=30)
        if sig == signal.SIGKILL:
            self.assertEqual(r.rc, -signal.SIGKILL, str(r))
        else:
            # Ctrl-C, a closed terminal, Ctrl-\\ and kill all stop the job the same way.
            self.assertEqual(r.rc, 130 if sig == signal.SIGINT else 128 + sig, str(r))
            self.assertNotIn("Job completed successfully", r.text, str(r))
        sizes = self.assert_parts_are_prefixes(target, self.src, THREADS)
        segs = segments(os.path.getsize(self.src), THREADS)
        self.assertLess(sum(sizes), os.path.getsize(self.src), "finished before the signal")
        return sizes, segs

    def resume(self, url, target):
        r = self.run_get(["-v", "-y", "-n", str(THREADS), "-o", target, *self.mode, url])
        self.assert_success(r, target, self.src, THREADS)
        return r


class HttpResumeTest(ResumeCase):
    needs = ("NGINX",)
    mode = ()

    def check(self, sig):
        rel = self.unique_file("rand-12m.bin")
        self.src = os.path.join(DATA, rel)
        url = "http://127.0.0.1:%d/slow/%s" % (port("NGINX"), rel)
        target = os.path.join(self.work, "resumed-%s.bin" % sig.name)
        first = LogTail("nginx-access.log")
        sizes, segs = self.interrupt(url, target, sig)
        # nginx logs a request when its connection ends: let the first run's lines land
        # before the second run's are collected.
        deadline = time.monotonic() + 10
        while len(nginx_gets(first.lines(), rel)) < THREADS and time.monotonic() < deadline:
            time.sleep(0.05)
        log = LogTail("nginx-access.log")
        self.resume(url, target)
        gets = nginx_gets(log.lines(), rel)
        size = os.path.getsize(self.src)
        again = refetched(size, segs, sizes)
        want = sorted("bytes=%d-%d" % (first, last) for first, last, _ in again)
        self.assertEqual(sorted(g[2] for g in gets), want, gets)
        missing = size - sum(sizes) + sum(extra for _, _, extra in again)
        self.assertEqual(sum(g[1] for g in gets), missing, "refetched bytes it had")

    def test_sigint_then_resume(self):
        self.check(signal.SIGINT)

    def test_sigkill_then_resume(self):
        self.check(signal.SIGKILL)

    def test_other_stop_signals_then_resume(self):
        for sig in (signal.SIGHUP, signal.SIGQUIT, signal.SIGTERM):
            with self.subTest(sig=sig.name):
                self.check(sig)


class FtpResumeTest(ResumeCase):
    needs = ("VSFTPD_SLOW",)
    mode = ("--passive",)

    def check(self, sig):
        rel = self.unique_file("rand-12m.bin")
        self.src = os.path.join(DATA, rel)
        url = "ftp://127.0.0.1:%d/%s" % (port("VSFTPD_SLOW"), rel)
        target = os.path.join(self.work, "resumed.bin")
        sizes, segs = self.interrupt(url, target, sig)
        log = LogTail("vsftpd-slow.log")
        self.resume(url, target)
        offsets = sorted(o or 0 for o in rest_offsets(log.lines(), rel))
        want = sorted(first for first, _, _ in refetched(os.path.getsize(self.src), segs, sizes))
        self.assertEqual(offsets, want)

    def test_sigint_then_resume(self):
        self.check(signal.SIGINT)

    def test_sigkill_then_resume(self):
        self.check(signal.SIGKILL)


if __name__ == "__main__":
    main()
