#!/usr/bin/env python3
"""Private pyftpdlib server for the tests: anonymous, read-only, on 127.0.0.1.

  pyftpd.py --port P --root DIR --pasv MIN-MAX --log FILE

Connection limits are lifted (8 threads and their retries come from one address) and every
command is logged, so tests can read REST offsets back.
"""
import argparse
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--root", required=True)
    ap.add_argument("--pasv", required=True, help="MIN-MAX passive port range")
    ap.add_argument("--log", required=True)
    args = ap.parse_args()

    logging.basicConfig(filename=args.log, level=logging.DEBUG,
                        format="%(asctime)s %(message)s")
    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(args.root, perm="elr")

    class Handler(FTPHandler):
        pass

    Handler.authorizer = authorizer
    Handler.banner = "Brindle test pyftpdlib"
    lo, hi = (int(x) for x in args.pasv.split("-"))
    Handler.passive_ports = range(lo, hi + 1)
    Handler.timeout = 120

    server = FTPServer(("127.0.0.1", args.port), Handler)
    server.max_cons = 512
    server.max_cons_per_ip = 0
    server.serve_forever(handle_exit=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
