#!/usr/bin/env python3
"""A file over 4 GiB (sparse, with marker bytes around 2^31 and 2^32), over HTTP and FTP with 4
threads: sizes, Range values and REST offsets past 32 bits. Slow (several minutes, mostly disk
and hashing), so it carries the "slow" label and stays out of the default run."""
import os
import unittest

from harness import DATA, BrindleTestCase, LogTail, asked_ranges, fetched_ranges, main, port
from test_ftp import rest_offsets
from test_http import nginx_gets

HUGE = "big/huge.bin"
THREADS = 4


def load_marks():
    """The marker offsets and bytes, as gen_data.py writes them."""
    import importlib.util
    path = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))), "scripts", "servers", "gen_data.py")
    spec = importlib.util.spec_from_file_location("gen_data", path)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return [(off, mod.marker(off)) for off in mod.HUGE_MARKS], mod.HUGE_SIZE


class LargeFileTest(BrindleTestCase):
    needs = ("NGINX", "VSFTPD")

    def setUp(self):
        super().setUp()
        self.src = os.path.join(DATA, HUGE)
        if not os.path.exists(self.src):
            raise unittest.SkipTest("no %s: run scripts/servers/start.sh --big" % self.src)
        self.marks, size = load_marks()
        self.assertEqual(os.path.getsize(self.src), size)
        self.assertGreater(size, 1 << 32)

    def check_marks(self, target):
        with open(target, "rb") as f:
            for off, want in self.marks:
                f.seek(off)
                self.assertEqual(f.read(len(want)), want, "marker at %d misplaced" % off)

    def test_http(self):
        log = LogTail("nginx-access.log")
        target = os.path.join(self.work, "huge-http.bin")
        r = self.run_get(["-n", str(THREADS), "--buffer-size", "16384", "-o", target,
                          "http://127.0.0.1:%d/%s" % (port("NGINX"), HUGE)], timeout=600)
        self.check_marks(target)
        self.assert_success(r, target, self.src, THREADS)
        want = asked_ranges(os.path.getsize(self.src), THREADS)
        self.assertEqual(sorted(g[2] for g in nginx_gets(log.lines(), HUGE)), want)

    def test_ftp(self):
        log = LogTail("vsftpd.log")
        target = os.path.join(self.work, "huge-ftp.bin")
        r = self.run_get(["-n", str(THREADS), "--buffer-size", "16384", "--passive",
                          "-o", target, "ftp://127.0.0.1:%d/%s" % (port("VSFTPD"), HUGE)],
                         timeout=600)
        self.check_marks(target)
        self.assert_success(r, target, self.src, THREADS)
        starts = [a for a, _ in fetched_ranges(os.path.getsize(self.src), THREADS)]
        self.assertEqual(sorted(o or 0 for o in rest_offsets(log.lines(), HUGE)), starts)


if __name__ == "__main__":
    main()
