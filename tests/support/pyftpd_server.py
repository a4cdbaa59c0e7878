#!/usr/bin/python3
"""Test FTP server on 127.0.0.1 built on pyftpdlib, started by tests/support/FtpServers.cpp.

One user with every permission on the root directory, optional anonymous access,
configurable idle and data-connection time-outs (0 = pyftpdlib's defaults) and a
passive port range of its own. Logs go to standard error.
"""
import argparse
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--root", required=True)
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--pasv-min", type=int, required=True)
    p.add_argument("--pasv-max", type=int, required=True)
    p.add_argument("--user", default="veldra")
    p.add_argument("--password", default="secret")
    p.add_argument("--anonymous", action="store_true")
    p.add_argument("--read-only", action="store_true")
    p.add_argument("--idle-timeout", type=int, default=0)
    p.add_argument("--data-timeout", type=int, default=0)
    a = p.parse_args()

    logging.basicConfig(stream=sys.stderr, level=logging.INFO)
    perm = "elr" if a.read_only else "elradfmwMT"
    auth = DummyAuthorizer()
    auth.add_user(a.user, a.password, a.root, perm=perm)
    if a.anonymous:
        auth.add_anonymous(a.root, perm=perm)

    class Dtp(DTPHandler):
        pass

    class Handler(FTPHandler):
        pass

    if a.data_timeout > 0:
        Dtp.timeout = a.data_timeout
    if a.idle_timeout > 0:
        Handler.timeout = a.idle_timeout
    Handler.authorizer = auth
    Handler.dtp_handler = Dtp
    Handler.passive_ports = range(a.pasv_min, a.pasv_max + 1)
    Handler.permit_foreign_addresses = False
    Handler.banner = "veldra test server ready"

    server = FTPServer(("127.0.0.1", a.port), Handler)
    server.max_cons = 256
    server.serve_forever(timeout=0.5)


if __name__ == "__main__":
    main()
