#!/usr/bin/env python3
"""brindle-get against real FTP servers: vsftpd and pyftpdlib in passive and active mode,
vsftpd behind Debian's ftp-proxy (--ftp-proxy), and proftpd and pure-ftpd when start.sh could
unpack them."""
import os
import re
import unittest

from harness import DATA, BrindleTestCase, LogTail, fetched_ranges, main, port, port_open

VSFTPD_CMD = re.compile(r'\[pid (\d+)\] \[[^]]*\] FTP command: Client "[^"]*", "(.*)"$')


def vsftpd_sessions(lines):
    """pid -> the commands of that session, in order."""
    sessions = {}
    for line in lines:
        m = VSFTPD_CMD.search(line)
        if m:
            sessions.setdefault(m.group(1), []).append(m.group(2))
    return sessions


def rest_offsets(lines, path):
    """For every session that sent RETR path: the offset of the last REST before it (None if
    there was none)."""
    out = []
    for cmds in vsftpd_sessions(lines).values():
        rest = None
        for c in cmds:
            if c.upper().startswith("REST "):
                rest = int(c.split()[1])
            elif c.startswith("RETR ") and c[5:].lstrip("/") == path:
                out.append(rest)
                rest = None
    return out


class FtpCase(BrindleTestCase):
    def url(self, server, rel):
        return "ftp://127.0.0.1:%d/%s" % (port(server), rel)

    def fetch(self, server, rel, threads, mode, *extra):
        target = os.path.join(self.work, "%s-%s-%d-%s" % (server, os.path.basename(rel),
                                                         threads, mode))
        return self.run_get(["-v", "-n", str(threads), "--" + mode, "-o", target, *extra,
                             self.url(server, rel)]), target

    def matrix(self, server):
        src = os.path.join(DATA, "rand-5m.bin")
        for mode in ("passive", "active"):
            for n in (1, 3, 8):
                with self.subTest(mode=mode, threads=n):
                    r, target = self.fetch(server, "rand-5m.bin", n, mode)
                    self.assert_success(r, target, src, n)


class VsftpdTest(FtpCase):
    needs = ("VSFTPD",)

    def test_passive_and_active_1_3_8(self):
        self.matrix("VSFTPD")

    def test_rest_offsets_are_the_segment_starts(self):
        rel = self.unique_file("rand-5m.bin")
        log = LogTail("vsftpd.log")
        r, target = self.fetch("VSFTPD", rel, 3, "passive")
        self.assert_success(r, target, os.path.join(DATA, rel), 3)
        offsets = rest_offsets(log.lines(), rel)
        starts = [a for a, _ in fetched_ranges(os.path.getsize(target), 3)]
        # Segment 0 starts at byte 0: no REST, or a REST 0 that clears the resume probe's.
        # The others start a lead before their segment.
        self.assertEqual(sorted(o or 0 for o in offsets), starts, offsets)

    def test_settings_file_picks_passive_mode(self):
        self.write_settings(passivemode=1, attempts=2, bufsize=16384)
        rel = self.unique_file("rand-1m.bin")
        log = LogTail("vsftpd.log")
        target = os.path.join(self.work, "from-settings.bin")
        r = self.run_get(["-v", "-n", "2", "-o", target, self.url("VSFTPD", rel)])
        self.assert_success(r, target, os.path.join(DATA, rel), 2)
        sessions = [c for c in vsftpd_sessions(log.lines()).values() if "RETR /" + rel in c]
        self.assertEqual(len(sessions), 2, sessions)
        for cmds in sessions:
            self.assertIn("PASV", cmds)
            self.assertFalse(any(c.startswith("PORT") for c in cmds), cmds)

    def test_small_and_odd_sizes(self):
        for name, n in (("tiny-5.bin", 8), ("small-1000.bin", 3), ("odd-65537.bin", 8)):
            with self.subTest(file=name, threads=n):
                r, target = self.fetch("VSFTPD", name, n, "passive")
                self.assert_success(r, target, os.path.join(DATA, name), n)

    def test_missing_file_fails(self):
        for mode in ("passive", "active"):
            with self.subTest(mode=mode):
                r, target = self.fetch("VSFTPD", "no-such-file.bin", 2, mode, "-a", "2")
                self.assertEqual(r.rc, 3, str(r))  # the server's refusal, not retried
                self.assertIn("Job failed", r.text, str(r))


class PyftpdlibTest(FtpCase):
    needs = ("PYFTPD",)

    def test_passive_and_active_1_3_8(self):
        self.matrix("PYFTPD")


class FtpProxyTest(FtpCase):
    """ftp-proxy learns the real server from "USER anonymous@127.0.0.1:PORT"."""

    needs = ("VSFTPD", "FTPPROXY")

    def test_passive_through_ftp_proxy(self):
        rel = self.unique_file("rand-5m.bin")
        proxy_log = LogTail("ftp-proxy.log")
        server_log = LogTail("vsftpd.log")
        r, target = self.fetch("VSFTPD", rel, 3, "passive",
                               "--ftp-proxy", "127.0.0.1:%d" % port("FTPPROXY"))
        self.assert_success(r, target, os.path.join(DATA, rel), 3)
        self.assertIn("USER anonymous@127.0.0.1:%d" % port("VSFTPD"), r.text)
        relayed = [l for l in proxy_log.lines() if "'RETR /%s' sent" % rel in l]
        self.assertGreaterEqual(len(relayed), 3, "\n".join(proxy_log.lines()[-30:]))
        self.assertEqual(len(rest_offsets(server_log.lines(), rel)), 3)


class ExtraServersTest(FtpCase):
    """proftpd and pure-ftpd are optional: start.sh unpacks them when apt can fetch them."""

    def check(self, server):
        if not port_open(port(server)):
            raise unittest.SkipTest("%s is not running (optional server)" % server.lower())
        src = os.path.join(DATA, "rand-5m.bin")
        for mode in ("passive", "active"):
            with self.subTest(mode=mode):
                r, target = self.fetch(server, "rand-5m.bin", 3, mode)
                self.assert_success(r, target, src, 3)

    def test_proftpd(self):
        self.check("PROFTPD")

    def test_pure_ftpd(self):
        self.check("PUREFTPD")


if __name__ == "__main__":
    main()
