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
#   cut-once*    RETR: after --fault-after bytes the data connection is closed without a TLS
#                close_notify, and "226" is replied as if the file were complete
#
# With --tls-cert/--tls-key it requires explicit TLS (AUTH TLS) on the control connection and
# PROT P for every data connection.
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

_faulted = set()
_faulted_lock = threading.Lock()


def _take_fault(prefix, path):
    # True the first time `path` (whose name starts with prefix) is seen.
    if not os.path.basename(path).startswith(prefix):
        return False
    with _faulted_lock:
        if (prefix, path) in _faulted:
            return False
        _faulted.add((prefix, path))
        return True


def make_fault_dtp(base, fault_after, stall_seconds):
    class FaultDtp(base):
        def _path(self):
            return "" if self.file_obj is None else getattr(self.file_obj, "name", "") or ""

        def send(self, data):
            if not self.receive and self.tot_bytes_sent >= fault_after:
                path = self._path()
                if _take_fault("reset-once", path):
                    self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                           struct.pack("ii", 1, 0))
                    self._resp = ("426 Connection reset; transfer aborted.", logging.info)
                    self.close()
                    return 0
                if _take_fault("stall-once", path):
                    time.sleep(stall_seconds)
                if _take_fault("cut-once", path):
                    self._error = True  # the TLS layer then closes without close_notify
                    self._resp = ("226 Transfer complete.", logging.info)
                    self.close()
                    return 0
            return base.send(self, data)

        def close(self):
            path = self._path()
            if (not self._closed and self.receive and path and
                    os.path.basename(path).startswith("quota")):
                self._resp = ("552 Quota exceeded; file discarded.", logging.info)
                self.transfer_finished = False
                base.close(self)
                try:
                    os.remove(path)
                except OSError:
                    pass
                return
            base.close(self)

    return FaultDtp


def main():
    p = argparse.ArgumentParser()
    for name in ("root", "user", "password", "tls-cert", "tls-key"):
        p.add_argument("--" + name, default="")
    for name in ("port", "pasv-min", "pasv-max", "idle-timeout", "data-timeout", "fault-after",
                 "stall-seconds"):
        p.add_argument("--" + name, type=int, default=0)
    p.add_argument("--anonymous", action="store_true")
    p.add_argument("--faults", action="store_true")
    a = p.parse_args()

    logging.basicConfig(stream=sys.stderr, level=logging.INFO)
    auth = DummyAuthorizer()
    auth.add_user(a.user, a.password, a.root, perm="elradfmwMT")
    if a.anonymous:
        auth.add_anonymous(a.root, perm="elradfmwMT")

    tls = bool(a.tls_cert)
    base_dtp, base_handler = DTPHandler, FTPHandler
    if tls:  # imported only here: without pyOpenSSL the plain server still runs
        from pyftpdlib.handlers import TLS_DTPHandler as base_dtp, TLS_FTPHandler as base_handler
    if a.faults:
        Dtp = make_fault_dtp(base_dtp, a.fault_after, a.stall_seconds)
    else:
        Dtp = type("Dtp", (base_dtp,), {})

    class Handler(base_handler):
        authorizer = auth
        dtp_handler = Dtp
        passive_ports = range(a.pasv_min, a.pasv_max + 1)
        permit_foreign_addresses = False
        banner = "veldra test server ready"
        use_sendfile = base_handler.use_sendfile and not a.faults  # faults come in send()

    if tls:
        Handler.certfile, Handler.keyfile = a.tls_cert, a.tls_key or a.tls_cert
        Handler.tls_control_required = Handler.tls_data_required = True
    if a.data_timeout > 0:
        Dtp.timeout = a.data_timeout
    if a.idle_timeout > 0:
        Handler.timeout = a.idle_timeout

    server = (ThreadedFTPServer if a.faults else FTPServer)(("127.0.0.1", a.port), Handler)
    server.max_cons = 256
    server.serve_forever(timeout=0.5)


if __name__ == "__main__":
    main()
