#!/usr/bin/env python3
"""A resume never gives wrong bytes: a job interrupted at 4 threads and resumed with another
thread count, against a remote file that changed meanwhile (same size, grown, shrunk; with
and without the part records), or with part files damaged between the jobs, ends with the
current remote file byte-exact. Also the file streamed to standard output, and targets that
are not regular files. Real nginx (/slow/) and the slow vsftpd."""
import hashlib
import os
import shlex
import signal
import stat
import subprocess
import time
import uuid

from harness import (BRINDLE_GET, DATA, FAILED_TEXT, BrindleTestCase, LogTail, main, part_name,
                     port, segments, sha256)
from test_ftp import rest_offsets
from test_http import nginx_gets

MIB = 1024 * 1024
SIZE = 16 * MIB + 12345  # segments larger than what the socket buffers take at once
RECORD = ("user.brindle.size", "user.brindle.threads", "user.brindle.start",
          "user.brindle.validator")


class IntegrityCase(BrindleTestCase):
    needs = ("NGINX", "VSFTPD_SLOW")

    def own_file(self, size, rel=None):
        """Random bytes under data/tmp, a file of this test's own (replaced, not rewritten in
        place, so a server never sees half of it). Returns the path under the data dir."""
        rel = rel or "tmp/%s-integrity.bin" % uuid.uuid4().hex[:10]
        path = os.path.join(DATA, rel)
        tmp = path + ".new"
        with open(tmp, "wb") as f:
            f.write(os.urandom(size))
        os.replace(tmp, path)
        if path not in self.links:
            self.links.append(path)
        return rel

    def url(self, proto, rel):
        if proto == "http":
            return "http://127.0.0.1:%d/slow/%s" % (port("NGINX"), rel)
        return "ftp://127.0.0.1:%d/%s" % (port("VSFTPD_SLOW"), rel)

    def args(self, proto, threads, target, rel, *extra):
        mode = ("--passive",) if proto == "ftp" else ()
        return ["-v", "-n", str(threads), "-o", target, *mode, *extra, self.url(proto, rel)]

    def interrupt(self, proto, rel, target, threads=4):
        """Stops the job with SIGINT once every part holds some bytes; returns their sizes."""
        p = self.start_get(self.args(proto, threads, target, rel))
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and p.poll() is None:
            parts = [part_name(target, i) for i in range(threads)]
            if all(os.path.exists(n) and os.path.getsize(n) >= 128 * 1024 for n in parts):
                break
            time.sleep(0.02)
        p.send_signal(signal.SIGINT)
        r = self.finish(p, timeout=30)
        self.assertEqual(r.rc, 130, str(r))
        src = os.path.join(DATA, rel)
        return self.assert_parts_are_prefixes(target, src, threads)

    def resume(self, proto, rel, target, threads):
        r = self.run_get(self.args(proto, threads, target, rel, "-y"))
        self.assert_success(r, target, os.path.join(DATA, rel), threads)
        return r


class ResumeChangesTest(IntegrityCase):
    def test_other_thread_count(self):
        # 4 -> 2 and 4 -> 8: the four parts keep their segments and the threads share them out;
        # each is asked for from a seam before its end, never again from its start.
        for proto in ("http", "ftp"):
            for threads in (2, 8):
                with self.subTest(proto=proto, threads=threads):
                    rel = self.own_file(SIZE)
                    target = os.path.join(self.work, "%s-%d.bin" % (proto, threads))
                    sizes = self.interrupt(proto, rel, target)
                    log = LogTail("nginx-access.log" if proto == "http" else "vsftpd-slow.log")
                    r = self.resume(proto, rel, target, threads)
                    self.assertNotIn("is stale", r.text, str(r))
                    self.assertIn("Resumes the 4 part files of a run with 4 threads on %d "
                                  "connections" % threads, r.text)
                    left = [part_name(target, i) for i in range(1, 4)]
                    self.assertEqual([n for n in left if os.path.exists(n)], [], str(r))
                    resumed = [s + have - min(have, 4096)
                               for (s, _), have in zip(segments(SIZE, 4), sizes)]
                    if proto == "http":
                        firsts = [int(g[2][6:].split("-")[0])
                                  for g in nginx_gets(log.lines(), rel)]
                    else:
                        firsts = [o or 0 for o in rest_offsets(log.lines(), rel)]
                    self.assertLessEqual(set(resumed), set(firsts), str(r))

    def test_remote_file_changed(self):
        # blind: the new file keeps the old one's time and the parts lose their records, so
        # only the seam check can tell.
        for proto in ("http", "ftp"):
            for change, delta in (("same size", 0), ("grown", MIB + 7), ("shrunk", -5 * MIB)):
                for blind in (False, True):
                    with self.subTest(proto=proto, change=change, blind=blind):
                        self.check_change(proto, delta, blind)

    def check_change(self, proto, delta, blind):
        rel = self.own_file(SIZE)
        path = os.path.join(DATA, rel)
        target = os.path.join(self.work, "changed-%s.bin" % uuid.uuid4().hex[:6])
        self.interrupt(proto, rel, target)
        old = os.stat(path)
        self.own_file(SIZE + delta, rel)
        when = old.st_mtime_ns if blind else old.st_mtime_ns + 100 * 10**9
        os.utime(path, ns=(when, when))
        if blind:
            for i in range(4):
                for name in RECORD:
                    try:
                        os.removexattr(part_name(target, i), name)
                    except OSError:
                        pass
        r = self.resume(proto, rel, target, 4)
        self.assertIn("is stale", r.text, str(r))

    def test_same_etag_over_changed_bytes(self):
        # nginx's ETag is the modification time and the size: a file rewritten within the
        # same second at the same size keeps it, so the records of the kept parts still match.
        rel = self.own_file(4 * MIB)
        path = os.path.join(DATA, rel)
        url = "http://127.0.0.1:%d/%s" % (port("NGINX"), rel)
        target = os.path.join(self.work, "same-etag.bin")
        r = self.run_get(["-v", "-n", "4", "--keep-parts", "-o", target, url])
        self.assert_success(r, target, path, 4, keep_parts=True)
        old = os.stat(path)
        self.own_file(4 * MIB, rel)
        os.utime(path, ns=(old.st_mtime_ns, old.st_mtime_ns))
        os.remove(target)
        r = self.run_get(["-v", "-y", "-n", "4", "-o", target, url])
        self.assert_success(r, target, path, 4)
        # With records the join finds the misfit; without, the seam check of complete parts.
        self.assertTrue("does not fit" in r.text or "is stale" in r.text, str(r))

    def test_damaged_parts(self):
        for proto in ("http", "ftp"):
            with self.subTest(proto=proto):
                rel = self.own_file(SIZE)
                target = os.path.join(self.work, "damaged-%s.bin" % proto)
                sizes = self.interrupt(proto, rel, target)
                self.assertTrue(all(sizes), sizes)
                # Part 1 cut short (still a true prefix); part 2 replaced by another file;
                # part 3 overwritten in place, its record kept.
                os.truncate(part_name(target, 1), sizes[1] // 2)
                other = part_name(target, 2) + ".other"
                with open(other, "wb") as f:
                    f.write(os.urandom(sizes[2]))
                os.replace(other, part_name(target, 2))
                with open(part_name(target, 3), "r+b") as f:
                    f.write(os.urandom(sizes[3]))
                r = self.resume(proto, rel, target, 4)
                self.assertEqual(r.text.count("is stale"), 2, str(r))


class OddTargetTest(IntegrityCase):
    def test_stream_to_standard_output(self):
        rel = self.unique_file("rand-5m.bin")
        src = os.path.join(DATA, rel)
        tmp = os.path.join(self.work, "tmp")
        os.mkdir(tmp)
        for proto, output, threads in (("http", "-", 1), ("http", "-", 4),
                                       ("ftp", "/dev/stdout", 4)):
            with self.subTest(proto=proto, output=output, threads=threads):
                cmd = " ".join(shlex.quote(a) for a in [BRINDLE_GET] +
                               self.args(proto, threads, output, rel)) + " | sha256sum"
                env = dict(self._env(), TMPDIR=tmp)
                r = subprocess.run(["bash", "-o", "pipefail", "-c", cmd], cwd=self.work, env=env,
                                   capture_output=True, text=True, timeout=90,
                                   stdin=subprocess.DEVNULL)
                self.assertEqual(r.returncode, 0, r.stderr[-3000:])
                self.assertEqual(r.stdout.split()[0], sha256(src), r.stderr[-3000:])
                self.assertIn("Job completed successfully", r.stderr)
                self.assertEqual(os.listdir(tmp), [], "temporary parts left behind")
                made = [n for n in os.listdir(self.work) if n != "tmp" and
                        not n.startswith("config-")]
                self.assertEqual(made, [], "files made in the work dir")

    def test_stream_starts_at_once_and_ends_with_its_reader(self):
        # 12 MiB at 2 MiB/s per connection: the first bytes come long before the job ends.
        rel = self.unique_file("rand-12m.bin")
        tmp = os.path.join(self.work, "tmp")
        os.mkdir(tmp)

        def start():
            return subprocess.Popen([BRINDLE_GET] + self.args("http", 4, "-", rel),
                                    cwd=self.work, env=dict(self._env(), TMPDIR=tmp),
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE)
        p = start()
        first = p.stdout.read(65536)
        self.assertIsNone(p.poll(), "the first bytes came only with the job's end")
        data = first + p.stdout.read()
        _, err = p.communicate(timeout=90)
        self.assertEqual(p.returncode, 0, err[-2000:])
        self.assertEqual(hashlib.sha256(data).hexdigest(), sha256(os.path.join(DATA, rel)))
        # A reader that goes away ends the job quietly, with a status of its own.
        p = start()
        p.stdout.read(1000)
        p.stdout.close()
        _, err = p.communicate(timeout=30)
        self.assertEqual(p.returncode, 141, err[-2000:])
        self.assertNotIn(FAILED_TEXT.encode(), err)
        self.assertEqual(os.listdir(tmp), [], "temporary parts left behind")

    def test_targets_that_are_not_regular_files(self):
        rel = self.unique_file("small-1000.bin")
        w = self.work
        os.mkdir(os.path.join(w, "dir"))
        os.mkdir(os.path.join(w, "elsewhere"))
        with open(os.path.join(w, "elsewhere", "x"), "wb") as f:
            f.write(b"keep me")
        os.symlink("elsewhere/y", os.path.join(w, "dangling"))
        os.symlink("elsewhere/x", os.path.join(w, "linked"))
        os.symlink("elsewhere/z", os.path.join(w, "t.bin1"))
        before = sorted(os.listdir(w)) + sorted(os.listdir(os.path.join(w, "elsewhere")))
        for target, threads, why in (("dir", 1, "is a directory"),
                                     ("dangling", 1, "is a symbolic link"),
                                     ("linked", 2, "is a symbolic link"),
                                     ("t.bin", 2, "part file t.bin1 is a symbolic link")):
            with self.subTest(target=target):
                r = self.run_get(["-y", "-n", str(threads), "-o", target,
                                  self.url("http", rel).replace("/slow/", "/")])
                self.assertEqual(r.rc, 2, str(r))
                self.assertIn(why, r.err)
                self.assertEqual(r.err.count("\n"), 1, r.err)
        after = sorted(os.listdir(w)) + sorted(os.listdir(os.path.join(w, "elsewhere")))
        self.assertEqual(after, before, "a refused target changed the directory")
        with open(os.path.join(w, "elsewhere", "x"), "rb") as f:
            self.assertEqual(f.read(), b"keep me")

        # A character device and a pipe get the file streamed into them; the node stays.
        fifo = os.path.join(w, "fifo")
        os.mkfifo(fifo)
        reader = subprocess.Popen(["sha256sum", fifo], stdout=subprocess.PIPE, text=True)
        try:
            for target in ("/dev/null", fifo):
                with self.subTest(target=target):
                    r = self.run_get(["-y", "-n", "3", "-o", target,
                                      self.url("http", rel).replace("/slow/", "/")])
                    self.assertEqual(r.rc, 0, str(r))
                    self.assertNotIn(FAILED_TEXT, r.text)
        finally:
            out, _ = reader.communicate(timeout=30)
        self.assertEqual(out.split()[0], sha256(os.path.join(DATA, rel)))
        self.assertTrue(stat.S_ISCHR(os.stat("/dev/null").st_mode))
        self.assertTrue(stat.S_ISFIFO(os.stat(fifo).st_mode))


if __name__ == "__main__":
    main()
