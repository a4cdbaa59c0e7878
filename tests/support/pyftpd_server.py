#!/usr/bin/python3
# Test FTP server on 127.0.0.1 built on pyftpdlib, started by tests/support/FtpServers.cpp.
#
#   pyftpd_server.py SETTINGS-FILE
# One user with every permission on the root directory, optional anonymous access,
# configurable idle and data-connection time-outs (0 = pyftpdlib's defaults) and a
# passive port range of its own. Logs go to standard error.
#
# With faults it serves every session on its own thread and injects faults by file name,
# each once per server process (a later transfer of the same file is normal):
#   reset-once*  RETR: after fault_after bytes the data connection is reset (RST)
#   stall-once*  RETR: after fault_after bytes the session stops for stall_seconds
#   quota*       STOR/APPE: all data is taken, then "552" is replied and the file discarded
#   cut-once*    RETR: after fault_after bytes the data connection is closed without a TLS
#                close_notify, and "226" is replied as if the file were complete
#
# With tls_cert/tls_key it requires explicit TLS (AUTH TLS) on the control connection and
# PROT P for every data connection.
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
            quota = not self._closed and self.receive and os.path.basename(path).startswith("quota")
            if quota:
                self._resp = ("552 Quota exceeded; file discarded.", logging.info)
                self.transfer_finished = False
            base.close(self)
            if quota and os.path.exists(path):
                os.remove(path)

    return FaultDtp


def main():
    # The settings: the "name=value" lines FtpServers.cpp writes (numbers 0 when unset).
    a = dict(line.split("=", 1) for line in open(sys.argv[1]).read().splitlines())
    num = lambda key: int(a[key] or 0)
    faults, tls = bool(a["faults"]), bool(a["tls_cert"])

    logging.basicConfig(stream=sys.stderr, level=logging.INFO)
    auth = DummyAuthorizer()
    auth.add_user(a["user"], a["password"], a["root"], perm="elradfmwMT")
    if a["anonymous"]:
        auth.add_anonymous(a["root"], perm="elradfmwMT")

    base_dtp, base_handler = DTPHandler, FTPHandler
    if tls:  # imported only here: without pyOpenSSL the plain server still runs
        from pyftpdlib.handlers import TLS_DTPHandler as base_dtp, TLS_FTPHandler as base_handler
    Dtp = (make_fault_dtp(base_dtp, num("fault_after"), num("stall_seconds")) if faults else
           type("Dtp", (base_dtp,), {}))  # a class of its own: the time-out is set on it

    class Handler(base_handler):
        authorizer = auth
        dtp_handler = Dtp
        passive_ports = range(num("pasv_min"), num("pasv_max") + 1)
        permit_foreign_addresses = False
        banner = "veldra test server ready"
        use_sendfile = base_handler.use_sendfile and not faults  # faults come in send()

    if tls:
        Handler.certfile, Handler.keyfile = a["tls_cert"], a["tls_key"] or a["tls_cert"]
        Handler.tls_control_required = Handler.tls_data_required = True
    if num("data_timeout") > 0:
        Dtp.timeout = num("data_timeout")
    if num("idle_timeout") > 0:
        Handler.timeout = num("idle_timeout")

    server = (ThreadedFTPServer if faults else FTPServer)(("127.0.0.1", num("port")), Handler)
    server.max_cons = 256
    server.serve_forever(timeout=0.5)


if __name__ == "__main__":
    main()
