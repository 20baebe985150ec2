"""A pyftpdlib server on a free loopback port; prints the port once it listens.

Usage: ftp_test_server.py ROOT USER PASSWORD [ADDRESS [CERTFILE]]
With CERTFILE (certificate and key in one PEM) TLS is required on every connection.
"""
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

root, user, password = sys.argv[1:4]
address = sys.argv[4] if len(sys.argv) > 4 else "127.0.0.1"
certfile = sys.argv[5] if len(sys.argv) > 5 else None
logging.basicConfig(level=logging.WARNING)
authorizer = DummyAuthorizer()
authorizer.add_user(user, password, root, perm="elradfmw")
base = FTPHandler
fields = {"authorizer": authorizer}
if certfile:
    from pyftpdlib.handlers import TLS_FTPHandler

    base = TLS_FTPHandler
    fields.update(certfile=certfile, tls_control_required=True, tls_data_required=True)
handler = type("Handler", (base,), fields)
server = FTPServer((address, 0), handler)
print(server.socket.getsockname()[1], flush=True)
server.serve_forever()
