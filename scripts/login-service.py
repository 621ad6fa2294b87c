#!/usr/bin/env python3
"""A small stand-in for the web service's login endpoint, for the demo.

HTTPS POST /api/connect with the form fields data[User][email] and
data[User][password]; demo@example.com / demo is accepted with prefix "demo".
Speaks HTTP/1.1 and keeps connections alive unless the client asks to close
them, as most web servers do.
Usage: login-service.py PORT CERTFILE KEYFILE
"""
import json
import ssl
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs

ACCOUNTS = {"demo@example.com": ("demo", "demo")}


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        length = int(self.headers.get("Content-Length", 0))
        form = parse_qs(self.rfile.read(length).decode("utf-8"), keep_blank_values=True)
        email = form.get("data[User][email]", [""])[0]
        password = form.get("data[User][password]", [""])[0]
        account = ACCOUNTS.get(email)
        if self.path == "/api/connect" and account and account[0] == password:
            reply = {"success": 1, "prefix": account[1]}
        else:
            reply = {"success": 0, "prefix": ""}
        body = json.dumps(reply).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, fmt, *args):
        sys.stderr.write("login-service: " + (fmt % args) + "\n")


def main():
    port, cert, key = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    server = ThreadingHTTPServer(("127.0.0.1", port), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
