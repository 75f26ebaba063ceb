#!/usr/bin/env python3
"""The demo's webhook receiver: a tiny HTTP server on a free loopback port.

Usage: DEMO_TOKEN=... demo-peer.py DIR

Writes the port it listens on to DIR/port and one line a request to
DIR/access.log: the time, method, path, the body's length, whether the
bearer token matched DEMO_TOKEN, the Idempotency-Key and the status it
answered. The token and the body are secrets of the entry, so the log says
only that they arrived, never what they hold. The first request is answered
503 (the receiver "busy"), every later one 200, so that one run shows a
retry.
"""
import http.server
import os
import sys
import time

folder = sys.argv[1]
expected = "Bearer " + os.environ["DEMO_TOKEN"]
requests_seen = 0


class Receiver(http.server.BaseHTTPRequestHandler):
    def answer(self):
        global requests_seen
        requests_seen += 1
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        status = 503 if requests_seen == 1 else 200
        token = "ok" if self.headers.get("Authorization") == expected else "wrong"
        key = self.headers.get("Idempotency-Key", "-")
        with open(os.path.join(folder, "access.log"), "a") as log:
            log.write(f"{time.time():.3f} {self.command} {self.path} body {len(body)} bytes,"
                      f" token {token}, Idempotency-Key {key} -> {status}\n")
        self.send_response(status)
        self.send_header("Content-Length", "0")
        self.end_headers()

    do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = answer

    def log_message(self, *args):
        pass  # the one line above is the log


# Port 0: the kernel picks a free port, so nothing can take it meanwhile.
server = http.server.HTTPServer(("127.0.0.1", 0), Receiver)
with open(os.path.join(folder, "port.new"), "w") as port_file:
    port_file.write(f"{server.server_port}\n")
os.rename(os.path.join(folder, "port.new"), os.path.join(folder, "port"))
server.serve_forever()
