#!/usr/bin/env python3
"""brindle-get's conventional options against the real servers: -c, -O, -q/-s, several URLs
and -i, -U, --checksum, --limit-rate, the proxy options and variables through squid and
ftp-proxy, and the live display on a terminal."""
import fcntl
import hashlib
import os
import pty
import re
import select
import signal
import struct
import subprocess
import termios
import time

from harness import DATA, RUN_TIMEOUT, BrindleTestCase, LogTail, free_port, main, port, sha256

SRC = os.path.join(DATA, "rand-1m.bin")


def digest(algorithm, path):
    with open(path, "rb") as f:
        return hashlib.new(algorithm, f.read()).hexdigest()


class CliCase(BrindleTestCase):
    needs = ("NGINX", "SQUID", "VSFTPD", "FTPPROXY")

    def http(self, rel):
        return "http://127.0.0.1:%d/%s" % (port("NGINX"), rel)

    def ftp(self, rel):
        return "ftp://127.0.0.1:%d/%s" % (port("VSFTPD"), rel)

    def target(self, name="out.bin"):
        return os.path.join(self.work, name)

    def assert_bytes(self, path, source=SRC):
        self.assertTrue(os.path.exists(path), path)
        self.assertEqual(sha256(path), sha256(source), path)


class OutputTest(CliCase):
    def test_quiet_and_silent_print_nothing_on_success(self):
        for flag in ("-q", "-s", "--quiet", "--silent"):
            with self.subTest(flag=flag):
                target = self.target(flag.strip("-") + ".bin")
                r = self.run_get([flag, "-o", target, self.http("rand-1m.bin")])
                self.assertEqual((r.rc, r.out, r.err), (0, "", ""), str(r))
                self.assert_bytes(target)

    def test_quiet_failure_goes_to_stderr(self):
        url = "http://127.0.0.1:%d/x.bin" % free_port()
        r = self.run_get(["-q", "-a", "1", "-n", "2", "-o", self.target(), url])
        self.assertEqual((r.rc, r.out), (4, ""), str(r))
        self.assertEqual(r.err.splitlines(), [
            "Job failed",
            "brindle-get: %s: threads #0, #1 failed: cannot connect to 127.0.0.1 port %d: "
            "Connection refused" % (url, int(url.split(":")[2].split("/")[0]))])

    def test_remote_name_names_the_file_after_the_url(self):
        r = self.run_get(["-O", "-n", "2", self.http("rand-1m.bin")])
        self.assertEqual(r.rc, 0, str(r))
        self.assert_bytes(os.path.join(self.work, "rand-1m.bin"))

    def test_user_agent(self):
        tag = "t=ua-%s" % os.path.basename(self.work)
        # The default names the release --version names.
        default = "Brindle/" + self.run_get(["--version"]).out.split()[1]
        for args, agent in ((["-U", "probe/7 (test)"], "probe/7 (test)"), ([], default)):
            with self.subTest(agent=agent):
                log = LogTail("nginx-access.log")
                target = self.target("ua-%d.bin" % len(args))
                r = self.run_get(args + ["-n", "2", "-o", target, self.http("rand-1m.bin?" + tag)])
                self.assertEqual(r.rc, 0, str(r))
                self.assert_bytes(target)
                agents = {m.group(1) for m in re.finditer(r'ua="([^"]*)"', "\n".join(
                    l for l in log.lines() if tag in l))}
                self.assertEqual(agents, {agent})


class ContinueTest(CliCase):
    def test_complete_target_is_kept_and_nothing_fetched(self):
        for url in (self.http, self.ftp):
            rel = self.unique_file("rand-1m.bin")
            with self.subTest(url=url(rel)):
                target = self.target(os.path.basename(rel))
                r = self.run_get(["-n", "4", "-o", target, url(rel)])
                self.assertEqual(r.rc, 0, str(r))
                before = os.stat(target).st_mtime_ns
                logs = (LogTail("nginx-access.log"), LogTail("vsftpd.log"))
                r = self.run_get(["-c", "-n", "4", "-o", target, url(rel)])
                self.assertEqual(r.rc, 0, str(r))
                self.assertEqual(r.out, "%s is already complete (%d bytes): nothing fetched\n"
                                 % (target, os.path.getsize(SRC)))
                self.assert_bytes(target)
                self.assertEqual(os.stat(target).st_mtime_ns, before, "target was rewritten")
                fetched = [l for log in logs for l in log.lines()
                           if rel in l and ("GET " in l or "RETR " in l)]
                self.assertEqual(fetched, [])

    def test_continue_resumes_parts_without_asking(self):
        # Without a terminal the question is refused (exit 2) unless -c answers it.
        target = self.target()
        with open(SRC, "rb") as f:
            prefix = f.read(1000)
        with open(target, "wb") as f:
            f.write(prefix)  # a prefix of thread 0's segment
        r = self.run_get(["-c", "-n", "2", "-o", target, self.http("rand-1m.bin")])
        self.assertEqual(r.rc, 0, str(r))
        self.assert_bytes(target)


class LiveDisplayTest(CliCase):
    UNITS = {"B": 1, "KiB": 1 << 10, "MiB": 1 << 20, "GiB": 1 << 30}

    def test_resumed_run_on_a_terminal_that_narrows(self):
        # 2.5 MB of thread 0's half already there and the rest at 1 MiB/s: a rate counting
        # the resumed bytes would show over 3 MiB/s for the first 1.5 s. The honest one may
        # pass 2.5 MiB/s early on: the limiter lets each thread's first read and a quarter
        # second's worth through at once.
        source = os.path.join(DATA, "rand-5m.bin")
        target = self.target()
        with open(source, "rb") as f, open(target, "wb") as out:
            out.write(f.read(2500000))
        master, slave = pty.openpty()
        set_width = lambda cols: fcntl.ioctl(master, termios.TIOCSWINSZ,
                                             struct.pack("HHHH", 24, cols, 0, 0))
        set_width(100)
        p = subprocess.Popen(self._cmd(["-c", "-n", "2", "--limit-rate", "1M", "-o", target,
                                        self.http("rand-5m.bin")]),
                             cwd=self.work, env=self._env(), stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=slave, text=True)
        self.procs.append(p)
        os.close(slave)
        screen, narrowed_at = b"", None
        deadline = time.monotonic() + RUN_TIMEOUT
        while time.monotonic() < deadline:
            if select.select([master], [], [], 1)[0]:
                try:
                    chunk = os.read(master, 65536)
                except OSError:  # EIO: the program closed the terminal
                    break
                if not chunk:
                    break
                screen += chunk
            # Narrowed once a full-width frame shows a rate (none is told in the first 0.5 s).
            if narrowed_at is None and re.search(rb"/s \(avg [\d.]+ \w+/s\)  ETA", screen):
                narrowed_at = len(screen)
                set_width(60)
                p.send_signal(signal.SIGWINCH)
        os.close(master)
        out, _ = p.communicate(timeout=RUN_TIMEOUT)
        self.assertEqual(p.returncode, 0, screen[-2000:])
        self.assertRegex(out, r"^Job completed successfully at \d+ bps\nSaved .*/s\)\n$")
        self.assert_bytes(target, source)

        def lines(data):
            return [seg.split(b"\n")[0].rstrip(b"\r").decode()
                    for seg in data.split(b"\x1b[2K")[1:]]
        jobs = [l for l in lines(screen) if "ETA" in l]
        rates = [(float(value) * self.UNITS[unit], line) for line in jobs
                 for value, unit in re.findall(r"([\d.]+) (B|KiB|MiB|GiB)/s", line)]
        self.assertTrue(rates, screen[-2000:])
        for line in jobs:
            self.assertRegex(line, r"^[\d.]+ (B|KiB|MiB) of 5\.0 MiB \(\d+%\)  at ")
        for rate, line in rates:
            self.assertLess(rate, 3 * (1 << 20), line)
        self.assertIsNotNone(narrowed_at, "fewer than two frames")
        # The frame drawn as the signal came may be at the old width; every later one fits.
        after = lines(screen[narrowed_at:])
        wide = next((i for i, l in enumerate(after) if len(l) >= 60), -1)
        self.assertLessEqual(wide, 1, after[:4])  # a frame is a bar line and a job line
        after = after[wide + 1:]
        self.assertTrue(after, "no frame after the resize")
        for line in after:
            self.assertLess(len(line), 60, line)


class SeveralUrlsTest(CliCase):
    def test_urls_and_list_run_in_turn_and_the_worst_status_wins(self):
        missing = "http://127.0.0.1:%d/x.bin" % free_port()
        listing = os.path.join(self.work, "list.txt")
        with open(listing, "w") as f:
            f.write("# fetched after the command line's\n\n  %s  \r\n%s\n" %
                    (self.http("small-1000.bin"), missing))
        r = self.run_get(["-a", "1", "-i", listing, self.ftp("rand-1m.bin")])
        # The refused port's network failure.
        self.assertEqual(r.rc, 4, str(r))
        self.assertEqual(len(re.findall("Job completed successfully", r.out)), 2, str(r))
        self.assertIn("Job failed", r.out)
        self.assert_bytes(os.path.join(self.work, "rand-1m.bin"))
        self.assert_bytes(os.path.join(self.work, "small-1000.bin"),
                          os.path.join(DATA, "small-1000.bin"))

    def test_list_from_stdin(self):
        import subprocess
        p = subprocess.run(self._cmd(["-q", "-i", "-"]), cwd=self.work, env=self._env(),
                           input=self.http("tiny-5.bin") + "\n", capture_output=True, text=True,
                           timeout=60)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assert_bytes(os.path.join(self.work, "tiny-5.bin"), os.path.join(DATA, "tiny-5.bin"))

    def test_usage_errors_touch_nothing(self):
        cases = (["-o", "x.bin", self.http("a"), self.http("b")],
                 ["--checksum", "md5=" + "0" * 32, self.http("a"), self.http("b")],
                 ["-i", os.path.join(self.work, "no-such-list")])
        for args in cases:
            with self.subTest(args=args):
                r = self.run_get(args)
                self.assertEqual(r.rc, 2, str(r))
                # One line saying why; a misused option also points to --help.
                lines = r.err.splitlines()
                self.assertTrue(lines[0].startswith("brindle-get: "), str(r))
                self.assertIn(lines[1:], ([], ["Try 'brindle-get --help' for more information."]),
                              str(r))
        self.assertEqual([n for n in os.listdir(self.work) if not n.startswith("config-")], [])


class ChecksumTest(CliCase):
    def test_every_algorithm_matches_and_a_mismatch_fails_keeping_the_file(self):
        for algorithm in ("sha256", "sha512", "sha1", "md5"):
            good = digest(algorithm, SRC)
            bad = ("0" if good[0] != "0" else "1") + good[1:]
            for value, rc in ((good.upper(), 0), (bad, 1)):
                with self.subTest(algorithm=algorithm, rc=rc):
                    target = self.target("%s-%d.bin" % (algorithm, rc))
                    r = self.run_get(["--checksum", "%s=%s" % (algorithm, value), "-n", "3",
                                      "-o", target, self.http("rand-1m.bin")])
                    self.assertEqual(r.rc, rc, str(r))
                    self.assert_bytes(target)  # kept either way
                    if rc:
                        self.assertEqual(r.out, "Job failed\n")
                        self.assertIn("%s mismatch: expected %s, got %s" % (algorithm, bad, good),
                                      r.err)

    def test_stdout_is_verified_before_streaming(self):
        import subprocess
        good = digest("sha256", SRC)
        for value, rc in ((good, 0), ("f" * 64, 1)):
            with self.subTest(rc=rc):
                p = subprocess.run(self._cmd(["--checksum", "sha256=" + value, "-o", "-",
                                              self.http("rand-1m.bin")]),
                                   cwd=self.work, env=self._env(), capture_output=True,
                                   timeout=60, stdin=subprocess.DEVNULL)
                self.assertEqual(p.returncode, rc, p.stderr)
                if rc == 0:
                    self.assertEqual(hashlib.sha256(p.stdout).hexdigest(), good)
                else:
                    self.assertEqual(p.stdout, b"", "a wrong file was streamed")
                    self.assertIn(b"mismatch", p.stderr)


class LimitRateTest(CliCase):
    def test_limited_download_is_byte_exact(self):
        # The rate itself is measured by bench/; this checks the bytes under the limiter.
        target = self.target()
        r = self.run_get(["--limit-rate", "4M", "-n", "4", "-o", target,
                          self.http("rand-1m.bin")])
        self.assertEqual(r.rc, 0, str(r))
        self.assert_bytes(target)


class ProxyTest(CliCase):
    """The options' new forms and the variables, checked in squid's and ftp-proxy's logs."""

    def squid_run(self, args, env=None, expect_proxied=True):
        tag = "t=px-%s-%d" % (os.path.basename(self.work), len(os.listdir(self.work)))
        url = self.http("rand-1m.bin?" + tag)
        log = LogTail("squid-access.log")
        self.extra_env = env or {}
        target = self.target("px-%d.bin" % len(os.listdir(self.work)))
        r = self.run_get(args + ["-n", "2", "-o", target, url])
        self.assertEqual(r.rc, 0, str(r))
        self.assert_bytes(target)
        proxied = [l for l in log.lines() if " GET %s " % url in l]
        self.assertEqual(len(proxied), 2 if expect_proxied else 0, "\n".join(log.lines()))

    def test_http_proxy_forms(self):
        squid = port("SQUID")
        closed = "127.0.0.1:%d" % free_port()
        cases = (
            (["--proxy", "localhost:%d" % squid], {}, True),
            (["--proxy", "http://localhost:%d/" % squid], {"http_proxy": closed}, True),
            ([], {"http_proxy": "http://localhost:%d" % squid}, True),
            ([], {"http_proxy": "127.0.0.1:%d" % squid, "no_proxy": "example.org"}, True),
            ([], {"http_proxy": closed, "no_proxy": "localhost, 127.0.0.1"}, False),
            ([], {"HTTP_PROXY": closed}, False),  # upper case is not read for http://
        )
        for args, env, proxied in cases:
            with self.subTest(args=args, env=env):
                self.squid_run(args, env, proxied)

    def test_ftp_proxy_variable(self):
        for name, value in (("ftp_proxy", "localhost:%d"), ("FTP_PROXY", "ftp://127.0.0.1:%d")):
            with self.subTest(variable=name):
                rel = self.unique_file("rand-1m.bin")
                log = LogTail("ftp-proxy.log")
                self.extra_env = {name: value % port("FTPPROXY")}
                target = self.target(os.path.basename(rel))
                r = self.run_get(["-n", "2", "--passive", "-o", target, self.ftp(rel)])
                self.assertEqual(r.rc, 0, str(r))
                self.assert_bytes(target)
                relayed = [l for l in log.lines() if "'RETR /%s' sent" % rel in l]
                self.assertEqual(len(relayed), 2, "\n".join(log.lines()[-20:]))

    def test_bad_proxies_are_usage_errors(self):
        for args, env in ((["--proxy", "no-such-host.invalid:3128"], {}),
                          ([], {"http_proxy": "socks5://127.0.0.1:1080"})):
            with self.subTest(args=args, env=env):
                self.extra_env = env
                r = self.run_get(args + ["-o", self.target(), self.http("rand-1m.bin")])
                self.assertEqual(r.rc, 2, str(r))
                self.assertFalse(os.path.exists(self.target()))


if __name__ == "__main__":
    main()
