"""Shared pieces of the integration tests: where the servers and brindle-get are, running
brindle-get with a time limit, and the checks every download gets (sha256, leftover parts).

Environment (set by tests/integration/CMakeLists.txt; defaults suit a manual run after
scripts/servers/start.sh):
  BRINDLE_GET          path of the brindle-get binary
  BRINDLE_SERVER_DIR   the servers' state dir (data/, log/), default /tmp/brindle-servers
  BRINDLE_*_PORT ...   the ports of scripts/servers/ports.env
  BRINDLE_CONFIG_DIR   a private settings dir for this test file
  BRINDLE_TEST_TMP     where downloads go (a fresh dir per test)
"""
import hashlib
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.environ.get("BRINDLE_SOURCE_DIR", os.path.dirname(os.path.dirname(HERE)))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "support"))

STATE = os.environ.get("BRINDLE_SERVER_DIR", "/tmp/brindle-servers")
DATA = os.path.join(STATE, "data")
LOGS = os.path.join(STATE, "log")
BRINDLE_GET = os.environ.get("BRINDLE_GET", os.path.join(SOURCE_DIR, "build", "src", "cli",
                                                         "brindle-get"))
SUCCESS_RE = re.compile(r"Job completed successfully (at \d+ bps)?")
FAILED_TEXT = "Job failed"
# Longest any single brindle-get run may take before the test calls it a hang.
RUN_TIMEOUT = 90


def _load_ports():
    ports = {}
    path = os.path.join(SOURCE_DIR, "scripts", "servers", "ports.env")
    with open(path) as f:
        for line in f:
            m = re.match(r"^(BRINDLE_[A-Z0-9_]+)=(\d+)\s*$", line)
            if m:
                ports[m.group(1)] = int(os.environ.get(m.group(1), m.group(2)))
    return ports


PORTS = _load_ports()


def port(name):
    """port("NGINX") -> BRINDLE_NGINX_PORT."""
    return PORTS["BRINDLE_%s_PORT" % name]


def port_open(p, host="127.0.0.1"):
    try:
        with socket.create_connection((host, p), timeout=2):
            return True
    except OSError:
        return False


def free_port():
    """A loopback port that nothing listens on (bound, then released)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


_sha_cache = {}


def _listed_sha(path, st):
    """The digest gen_data.py recorded for a file of the data dir, if still current."""
    sums = os.path.join(DATA, "SHA256SUMS")
    rel = os.path.relpath(os.path.abspath(path), DATA)
    try:
        # ctime: a rewrite may set the old modification time back.
        if rel.startswith("..") or os.stat(sums).st_mtime_ns < st.st_ctime_ns:
            return None
        with open(sums) as f:
            for line in f:
                digest, name = line.rstrip("\n").split("  ", 1)
                if name == rel:
                    return digest
    except (OSError, ValueError):
        pass
    return None


def sha256(path):
    st = os.stat(path)
    key = (path, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)
    if key not in _sha_cache:
        _sha_cache[key] = _listed_sha(path, st)
    if _sha_cache[key] is None:
        h = hashlib.sha256()
        with open(path, "rb") as f:
            while True:
                b = f.read(1 << 22)
                if not b:
                    break
                h.update(b)
        _sha_cache[key] = h.hexdigest()
    return _sha_cache[key]


def segments(size, threads):
    """(start, length) of every thread's segment: L = size // n, the last takes the rest."""
    n = threads
    seg = size // n
    out = [(i * seg, seg) for i in range(n - 1)]
    out.append(((n - 1) * seg, size - (n - 1) * seg))
    return out


def lead(size, threads, i):
    """Bytes before its start that segment i fetches, to be checked against the one before."""
    return 0 if i == 0 or threads < 2 else min(4096, size // threads)


def fetched_ranges(size, threads):
    """(first, last) byte a fresh job asks for per non-empty segment, leads included."""
    return [(s - lead(size, threads, i), s + n - 1)
            for i, (s, n) in enumerate(segments(size, threads)) if n > 0]


def asked_ranges(size, threads):
    """The Range values of a fresh HTTP job: thread 0 asks from byte 0 on (its reply gives the
    size), the others their segments with leads."""
    return sorted(["bytes=0-"] + ["bytes=%d-%d" % r for r in fetched_ranges(size, threads)[1:]])


def part_name(target, i):
    return target if i == 0 else "%s%d" % (target, i)


_placeholder = None


def brindle_get_missing():
    """Why brindle-get cannot run the cases yet, or None when it can."""
    global _placeholder
    if _placeholder is None:
        if not os.access(BRINDLE_GET, os.X_OK):
            _placeholder = "brindle-get not built at %s" % BRINDLE_GET
        else:
            try:
                r = subprocess.run([BRINDLE_GET, "--help"], capture_output=True, text=True,
                                   timeout=10, stdin=subprocess.DEVNULL)
                text = r.stdout + r.stderr
                _placeholder = ("waiting on brindle-get (placeholder binary)"
                                if "not built yet" in text else "")
            except (OSError, subprocess.TimeoutExpired) as e:
                _placeholder = "brindle-get does not run: %s" % e
    return _placeholder or None


class Result:
    def __init__(self, args, rc, out, err, elapsed):
        self.args, self.rc, self.out, self.err, self.elapsed = args, rc, out, err, elapsed

    @property
    def text(self):
        return self.out + self.err

    def __str__(self):
        tail = self.text[-4000:]
        return "brindle-get %s\n-> exit %s after %.1f s\n%s" % (
            " ".join(self.args), self.rc, self.elapsed, tail)


class LogTail:
    """Reads the lines a server log gained since this object was made."""

    def __init__(self, name):
        self.path = os.path.join(LOGS, name)
        self.offset = os.path.getsize(self.path) if os.path.exists(self.path) else 0

    def lines(self):
        if not os.path.exists(self.path):
            return []
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            return f.read().decode("utf-8", "replace").splitlines()


class BrindleTestCase(unittest.TestCase):
    """Gives each test a fresh work dir and settings dir, and skips while brindle-get is not
    usable. Subclasses list the servers they need in `needs` (ports.env names)."""

    needs = ()

    @classmethod
    def setUpClass(cls):
        reason = brindle_get_missing()
        if reason:
            raise unittest.SkipTest(reason)
        for name in cls.needs:
            p = port(name)
            if not port_open(p):
                raise AssertionError("server %s is not running on port %d (scripts/servers/"
                                     "start.sh %s)" % (name, p, STATE))

    def setUp(self):
        base = os.environ.get("BRINDLE_TEST_TMP") or tempfile.gettempdir()
        os.makedirs(base, exist_ok=True)
        self.work = tempfile.mkdtemp(prefix=self.id().split(".")[-1] + "-", dir=base)
        # A settings dir of this test's own (under the test file's BRINDLE_CONFIG_DIR when
        # ctest gives one), so no Brindle.ini of the user or of another test is read.
        conf_base = os.environ.get("BRINDLE_CONFIG_DIR") or self.work
        os.makedirs(conf_base, exist_ok=True)
        self.config_dir = tempfile.mkdtemp(prefix="config-", dir=conf_base)
        self.links = []
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
                p.wait(timeout=10)
        for link in self.links:
            try:
                os.unlink(link)
            except OSError:
                pass
        # BRINDLE_KEEP_WORK=1 keeps the downloads and logs for a look after a failure.
        if not os.environ.get("BRINDLE_KEEP_WORK"):
            shutil.rmtree(self.work, ignore_errors=True)
            shutil.rmtree(self.config_dir, ignore_errors=True)

    # ---- files ----

    def unique_file(self, name):
        """A hard link to data/NAME under a name of this test's own (data/tmp/...), so that
        server logs can be searched for this test's requests. Returns the path under the data
        dir ("tmp/xyz-name")."""
        rel = "tmp/%s-%s" % (uuid.uuid4().hex[:10], name)
        dst = os.path.join(DATA, rel)
        os.link(os.path.join(DATA, name), dst)
        self.links.append(dst)
        return rel

    def write_settings(self, **values):
        """Writes Brindle.ini in the private settings dir."""
        with open(os.path.join(self.config_dir, "Brindle.ini"), "w") as f:
            f.write("[settings]\n")
            for k, v in values.items():
                f.write("%s=%s\n" % (k, v))

    # ---- running brindle-get ----

    def _cmd(self, args):
        # The cases count attempts; the growing pause between them has tests of its own.
        pause = [] if "--retry-delay" in args else ["--retry-delay", "0"]
        return [BRINDLE_GET] + pause + list(args)

    # brindle-get honours these; a test sets them through extra_env, never by inheritance.
    PROXY_VARIABLES = ("http_proxy", "https_proxy", "HTTPS_PROXY", "ftp_proxy", "FTP_PROXY",
                       "no_proxy", "NO_PROXY", "all_proxy", "ALL_PROXY", "HTTP_PROXY")

    def _env(self):
        env = {k: v for k, v in os.environ.items() if k not in self.PROXY_VARIABLES}
        env["BRINDLE_CONFIG_DIR"] = self.config_dir
        env.update(getattr(self, "extra_env", {}))
        return env

    def run_get(self, args, timeout=RUN_TIMEOUT):
        t0 = time.monotonic()
        try:
            r = subprocess.run(self._cmd(args), cwd=self.work, env=self._env(),
                               capture_output=True, text=True, timeout=timeout,
                               stdin=subprocess.DEVNULL, errors="replace")
        except subprocess.TimeoutExpired as e:
            out = (e.stdout or b"")
            out = out.decode(errors="replace") if isinstance(out, bytes) else out
            self.fail("brindle-get %s hung: no exit within %d s\n%s" %
                      (" ".join(args), timeout, out[-4000:]))
        return Result(args, r.returncode, r.stdout, r.stderr, time.monotonic() - t0)

    def start_get(self, args):
        p = subprocess.Popen(self._cmd(args), cwd=self.work, env=self._env(),
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             stdin=subprocess.DEVNULL, text=True, errors="replace")
        p.args_list = list(args)
        p.t0 = time.monotonic()
        self.procs.append(p)
        return p

    def finish(self, p, timeout=RUN_TIMEOUT):
        try:
            out, _ = p.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            out, _ = p.communicate(timeout=10)
            self.fail("brindle-get %s hung: no exit within %d s\n%s" %
                      (" ".join(p.args_list), timeout, out[-4000:]))
        return Result(p.args_list, p.returncode, out, "", time.monotonic() - p.t0)

    def interrupt_when(self, p, target, threads, min_bytes, sig=signal.SIGINT, limit=30):
        """Sends sig once the part files hold at least min_bytes together (polled)."""
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            if p.poll() is not None:
                self.fail("brindle-get ended before it could be interrupted:\n%s" %
                          self.finish(p))
            have = sum(os.path.getsize(part_name(target, i))
                       for i in range(threads) if os.path.exists(part_name(target, i)))
            if have >= min_bytes:
                p.send_signal(sig)
                return have
            time.sleep(0.05)
        self.fail("part files did not reach %d bytes within %d s" % (min_bytes, limit))

    # ---- checks ----

    def assert_success(self, r, target, source, threads, keep_parts=False):
        """Exit 0, the success text, the target byte-exact, and the part files as they
        should be: none left, or with keep_parts every non-empty segment's part in full."""
        self.assertEqual(r.rc, 0, str(r))
        self.assertRegex(r.text, SUCCESS_RE, str(r))
        self.assertNotIn(FAILED_TEXT, r.text, str(r))
        self.assertTrue(os.path.exists(target), "no target file\n%s" % r)
        self.assertEqual(os.path.getsize(target), os.path.getsize(source), str(r))
        self.assertEqual(sha256(target), sha256(source), "target differs from the source")
        size = os.path.getsize(source)
        for i, (start, length) in enumerate(segments(size, threads)):
            if i == 0:
                continue
            part = part_name(target, i)
            if keep_parts and length > 0:
                self.assertTrue(os.path.exists(part), "kept part %s is missing" % part)
                with open(source, "rb") as s, open(part, "rb") as p:
                    s.seek(start)
                    self.assertEqual(p.read(), s.read(length), "kept part %d differs" % i)
            elif not keep_parts:
                self.assertFalse(os.path.exists(part), "part file %s left behind" % part)

    def assert_failed_with_parts(self, r, target, source, threads):
        """Exit 4 (the connections broke), "Job failed", and every part file a byte-exact
        prefix of its segment."""
        self.assertEqual(r.rc, 4, str(r))
        self.assertIn(FAILED_TEXT, r.text, str(r))
        self.assertNotRegex(r.text, SUCCESS_RE, str(r))
        self.assert_parts_are_prefixes(target, source, threads)

    def assert_parts_are_prefixes(self, target, source, threads):
        """Returns the part sizes; fails when a part holds bytes its segment does not."""
        sizes = []
        with open(source, "rb") as s:
            for i, (start, length) in enumerate(segments(os.path.getsize(source), threads)):
                part = part_name(target, i)
                if not os.path.exists(part):
                    sizes.append(0)
                    continue
                with open(part, "rb") as p:
                    got = p.read()
                self.assertLessEqual(len(got), length, "part %d longer than its segment" % i)
                s.seek(start)
                self.assertEqual(got, s.read(len(got)), "part %d holds wrong bytes" % i)
                sizes.append(len(got))
        return sizes


def main():
    unittest.main(verbosity=2)
