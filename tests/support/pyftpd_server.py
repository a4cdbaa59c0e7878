#!/usr/bin/python3
# Test FTP server on 127.0.0.1 built on pyftpdlib, started by tests/support/FtpServers.cpp.
#
# One user with every permission on the root directory, optional anonymous access,
# configurable idle and data-connection time-outs (0 = pyftpdlib's defaults) and a
# passive port range of its own. Logs go to standard error.
#
# With --faults it serves every session on its own thread and injects faults by file name,
# each once per server process (a later transfer of the same file is normal):
#   reset-once*  RETR: after --fault-after bytes the data connection is reset (RST)
#   stall-once*  RETR: after --fault-after bytes the session stops for --stall-seconds
#   quota*       STOR/APPE: all data is taken, then "552" is replied and the file discarded
import argparse
import logging
import os
import socket
import struct
import sys
import threading
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer, ThreadedFTPServer

faulted = set()
faulted_lock = threading.Lock()


def take_fault(prefix, path):
    """True the first time `path` (whose name starts with prefix) is seen."""
    with faulted_lock:
        if not os.path.basename(path).startswith(prefix) or (prefix, path) in faulted:
            return False
        faulted.add((prefix, path))
        return True


class FaultDtp(DTPHandler):
    fault_after = 0
    stall_seconds = 0

    def path(self):
        return getattr(self.file_obj, "name", "") or "" if self.file_obj else ""

    def send(self, data):
        if not self.receive and self.tot_bytes_sent >= self.fault_after:
            if take_fault("reset-once", self.path()):
                self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                self._resp = ("426 Connection reset; transfer aborted.", logging.info)
                self.close()
                return 0
            if take_fault("stall-once", self.path()):
                time.sleep(self.stall_seconds)
        return DTPHandler.send(self, data)

    def close(self):
        path = self.path()
        if not self._closed and self.receive and os.path.basename(path).startswith("quota"):
            self._resp = ("552 Quota exceeded; file discarded.", logging.info)
            self.transfer_finished = False
            DTPHandler.close(self)
            try:
                os.remove(path)
            except OSError:
                pass
            return
        DTPHandler.close(self)


def main():
    p = argparse.ArgumentParser()
    for name in ("--root", "--user", "--password"):
        p.add_argument(name, required=True)
    for name in ("--port", "--pasv-min", "--pasv-max", "--idle-timeout", "--data-timeout",
                 "--fault-after", "--stall-seconds"):
        p.add_argument(name, type=int, default=0)
    for name in ("--anonymous", "--read-only", "--faults"):
        p.add_argument(name, action="store_true")
    a = p.parse_args()

    logging.basicConfig(stream=sys.stderr, level=logging.INFO)
    perm = "elr" if a.read_only else "elradfmwMT"
    auth = DummyAuthorizer()
    auth.add_user(a.user, a.password, a.root, perm=perm)
    if a.anonymous:
        auth.add_anonymous(a.root, perm=perm)

    class Dtp(FaultDtp if a.faults else DTPHandler):
        fault_after = a.fault_after
        stall_seconds = a.stall_seconds

    class Handler(FTPHandler):
        authorizer = auth
        dtp_handler = Dtp
        passive_ports = range(a.pasv_min, a.pasv_max + 1)
        permit_foreign_addresses = False
        banner = "veldra test server ready"
        use_sendfile = not a.faults  # faults are injected in send()

    if a.data_timeout > 0:
        Dtp.timeout = a.data_timeout
    if a.idle_timeout > 0:
        Handler.timeout = a.idle_timeout
    server = (ThreadedFTPServer if a.faults else FTPServer)(("127.0.0.1", a.port), Handler)
    server.max_cons = 256
    server.serve_forever(timeout=0.5)


if __name__ == "__main__":
    main()
