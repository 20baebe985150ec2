"""A pyftpdlib server on a free loopback port for the upload tests and benchmark.

Usage: ftp_test_server.py ROOT USER PASSWORD
Prints the port on its first line once it listens; serves until terminated.
"""
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

root, user, password = sys.argv[1:4]
logging.basicConfig(level=logging.WARNING)
authorizer = DummyAuthorizer()
authorizer.add_user(user, password, root, perm="elradfmw")
handler = type("Handler", (FTPHandler,), {"authorizer": authorizer})
server = FTPServer(("127.0.0.1", 0), handler)
print(server.socket.getsockname()[1], flush=True)
server.serve_forever()
