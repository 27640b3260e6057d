#!/usr/bin/env python3
"""brindle-get against real servers on what people type and expect: a Content-Disposition name
(-J) from nginx, a squid that asks for basic authorization (user:pass@ in --proxy and
http_proxy, plain and through a CONNECT tunnel), an FTP path with blanks on vsftpd, the summary
line, no escape sequences with TERM=dumb on a terminal, and an IPv6 literal ([::1]) where the
machine has IPv6 on its loopback.

The nginx and squid here are private instances of this file, on free ports: the shared servers
run with whatever configuration started them first, so they cannot be relied on for a location
or a port added since."""
import os
import pty
import select
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import urllib.parse
import uuid

from harness import (DATA, RUN_TIMEOUT, STATE, BrindleTestCase, free_port, main, port,
                     port_open, sha256)

SRC = os.path.join(DATA, "rand-1m.bin")
CA = os.path.join(STATE, "nginx-tls", "certs", "ca.crt")
USER, PASSWORD = "amy", "s3cr3t pw"


def loopback_v6():
    import socket
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


HAVE_V6 = loopback_v6()
NCSA = "/usr/lib/squid/basic_ncsa_auth"

NGINX_CONF = """worker_processes 1;
pid {dir}/nginx.pid;
events {{ worker_connections 64; }}
http {{
    access_log {dir}/nginx-access.log;
    client_body_temp_path {dir}/cb;
    proxy_temp_path {dir}/px;
    fastcgi_temp_path {dir}/fc;
    uwsgi_temp_path {dir}/uw;
    scgi_temp_path {dir}/sc;
    server {{
        listen 127.0.0.1:{port};{v6}
        root {data};
        location /named/ {{
            alias {data}/;
            add_header Content-Disposition 'attachment; filename="server name.bin"';
        }}
        location /named-up/ {{
            alias {data}/;
            add_header Content-Disposition "attachment; filename*=UTF-8''..%2F..%2Fup.bin";
        }}
    }}
}}
"""

SQUID_CONF = """http_port 127.0.0.1:{port}
auth_param basic program {ncsa} {dir}/passwd
auth_param basic realm brindle-test
acl local src 127.0.0.1/32
acl authed proxy_auth REQUIRED
http_access deny !local
http_access allow authed
http_access deny all
cache deny all
cache_mem 8 MB
pid_filename {dir}/squid.pid
logformat brindle %un %Ss/%>Hs %rm %ru
access_log stdio:{dir}/squid-access.log logformat=brindle
cache_log {dir}/squid-cache.log
cache_store_log none
coredump_dir {dir}
netdb_filename none
pinger_enable off
shutdown_lifetime 1 seconds
visible_hostname brindle-auth-proxy
{user}
"""


def wait_for_port(p, proc, limit=20):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if port_open(p):
            return True
        if proc.poll() is not None:
            return False
        time.sleep(0.1)
    return False


class PrivateServers(BrindleTestCase):
    needs = ("NGINX", "VSFTPD")

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.dir = tempfile.mkdtemp(prefix="brindle-urls-")
        os.chmod(cls.dir, 0o777)  # squid's helper runs as its own user
        cls.servers = []
        cls.nginx_port = cls._start("nginx", NGINX_CONF, [
            "nginx", "-p", cls.dir, "-c", os.path.join(cls.dir, "nginx.conf"), "-e",
            os.path.join(cls.dir, "nginx-error.log"), "-g", "daemon off;"],
            v6="\n        listen [::1]:{port};" if HAVE_V6 else "")
        cls.squid_port = None
        if os.path.exists(NCSA) and shutil.which("squid") and shutil.which("openssl"):
            hashed = subprocess.run(["openssl", "passwd", "-1", PASSWORD], capture_output=True,
                                    text=True, check=True).stdout.strip()
            with open(os.path.join(cls.dir, "passwd"), "w") as f:
                f.write("%s:%s\n" % (USER, hashed))
            os.chmod(os.path.join(cls.dir, "passwd"), 0o644)
            user = "cache_effective_user proxy" if os.getuid() == 0 else ""
            cls.squid_port = cls._start("squid", SQUID_CONF, [
                "squid", "-N", "-f", os.path.join(cls.dir, "squid.conf")], user=user)

    @classmethod
    def _start(cls, name, template, cmd, **extra):
        p = free_port()
        extra = {k: v.format(port=p) for k, v in extra.items()}
        with open(os.path.join(cls.dir, name + ".conf"), "w") as f:
            f.write(template.format(dir=cls.dir, port=p, data=DATA, ncsa=NCSA, **extra))
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        cls.servers.append(proc)
        if not wait_for_port(p, proc):
            raise AssertionError("private %s did not start (see %s)" % (name, cls.dir))
        return p

    @classmethod
    def tearDownClass(cls):
        for proc in cls.servers:
            proc.terminate()
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout=10)
        shutil.rmtree(cls.dir, ignore_errors=True)

    def target(self, name):
        return os.path.join(self.work, name)

    def assert_saved(self, r, name, source=SRC):
        self.assertEqual(r.rc, 0, str(r))
        self.assertEqual(sha256(self.target(name)), sha256(source), name)
        self.assertRegex(r.out, r"\nSaved %s: 1\.0 MiB in \d+\.\d+ s \([\d.]+ [KMG]iB/s\)\n$" %
                         name.replace(".", r"\."))


class Ipv6Test(PrivateServers):
    def test_an_ipv6_literal(self):
        if not HAVE_V6:
            self.skipTest("no IPv6 on the loopback")
        url = "http://[::1]:%d/rand-1m.bin" % self.nginx_port
        r = self.run_get(["-v", "-n", "4", url])
        self.assert_saved(r, "rand-1m.bin")
        self.assertIn("Host: [::1]:%d" % self.nginx_port, r.err)


class ContentDispositionTest(PrivateServers):
    def test_the_server_names_the_file_within_the_folder(self):
        for path, name in (("/named/rand-1m.bin", "server name.bin"),
                           ("/named-up/rand-1m.bin", "up.bin")):
            with self.subTest(path=path):
                url = "http://127.0.0.1:%d%s" % (self.nginx_port, path)
                r = self.run_get(["-J", "-n", "3", url])
                self.assert_saved(r, name)
                files = [n for n in os.listdir(self.work) if not n.startswith("config-")]
                self.assertEqual(files, [name])
                os.unlink(self.target(name))
        self.assertFalse(os.path.exists(os.path.join(os.path.dirname(self.work), "up.bin")))


class ProxyAuthorizationTest(PrivateServers):
    def setUp(self):
        super().setUp()
        if self.squid_port is None:
            self.skipTest("squid or its basic_ncsa_auth helper is not installed")

    def proxy(self, user_info=""):
        return "http://%s127.0.0.1:%d" % (user_info, self.squid_port)

    def test_credentials_in_the_proxy_url(self):
        url = "http://127.0.0.1:%d/rand-1m.bin" % port("NGINX")
        creds = "%s:%s@" % (USER, urllib.parse.quote(PASSWORD))
        r = self.run_get(["-v", "-n", "3", "--proxy", self.proxy(creds), url])
        self.assert_saved(r, "rand-1m.bin")
        self.assertNotIn("s3cr3t", r.out + r.err)
        os.unlink(self.target("rand-1m.bin"))
        self.extra_env = {"http_proxy": self.proxy(creds)}
        self.assert_saved(self.run_get(["-n", "2", url]), "rand-1m.bin")
        with open(os.path.join(self.dir, "squid-access.log")) as f:
            self.assertIn("%s TCP_MISS/206 GET %s" % (USER, url), f.read())
        # Without them, or with a wrong password, the proxy refuses (407) and nothing is saved.
        os.unlink(self.target("rand-1m.bin"))
        del self.extra_env
        for given in ("", "%s:wrong@" % USER):
            r = self.run_get(["-a", "1", "-n", "2", "--proxy", self.proxy(given), url])
            self.assertEqual(r.rc, 3, str(r))  # the proxy's refusal
            self.assertIn("407", r.err)
            self.assertFalse(os.path.exists(self.target("rand-1m.bin")))

    def test_credentials_for_a_tunnel(self):
        if not port_open(port("NGINX_TLS")) or not os.path.exists(CA):
            self.skipTest("nginx-tls is not running")
        url = "https://127.0.0.1:%d/rand-1m.bin" % port("NGINX_TLS")
        creds = "%s:%s@" % (USER, urllib.parse.quote(PASSWORD))
        r = self.run_get(["-n", "3", "--cacert", CA, "--proxy", self.proxy(creds), url])
        self.assert_saved(r, "rand-1m.bin")


class UrlAndTerminalTest(PrivateServers):
    def test_ftp_path_with_blanks(self):
        name = "%s with blanks.bin" % uuid.uuid4().hex[:8]
        linked = os.path.join(DATA, "tmp", name)
        os.link(SRC, linked)
        self.links.append(linked)
        url = "ftp://127.0.0.1:%d/tmp/%s" % (port("VSFTPD"), urllib.parse.quote(name))
        self.assert_saved(self.run_get(["-n", "3", url]), name)

    def test_no_escape_sequences_with_term_dumb(self):
        url = "http://127.0.0.1:%d/slow/rand-1m.bin" % port("NGINX")
        for term, escapes in (("xterm", True), ("dumb", False)):
            with self.subTest(term=term):
                master, slave = pty.openpty()
                env = dict(self._env(), TERM=term)
                p = subprocess.Popen(self._cmd(["-n", "2", "-o", self.target(term), url]),
                                     cwd=self.work, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=slave)
                self.procs.append(p)
                os.close(slave)
                screen = b""
                deadline = time.monotonic() + RUN_TIMEOUT
                while time.monotonic() < deadline:
                    if not select.select([master], [], [], 1)[0]:
                        continue
                    try:
                        chunk = os.read(master, 65536)
                    except OSError:  # EIO: the program closed the terminal
                        break
                    if not chunk:
                        break
                    screen += chunk
                os.close(master)
                p.communicate(timeout=RUN_TIMEOUT)
                self.assertEqual(p.returncode, 0)
                self.assertEqual(sha256(self.target(term)), sha256(SRC))
                self.assertEqual(b"\x1b" in screen, escapes, screen[-500:])


if __name__ == "__main__":
    main()
