#!/usr/bin/env python3
"""The token server of the oauth2 section of bench/run.sh: an OAuth2 token
endpoint over TLS on a free port of 127.0.0.1, for the client credentials
grant of one client. It checks the client's HTTP Basic credentials (its id
and secret form-encoded, as RFC 6749 has them) and the grant, answers a
good request with a new token each time, and logs every request as a line
"time number good|refused" so that the section can count the fetches of
each run.

    token_server.py CERT KEY PORT_FILE LOG CLIENT_ID SECRET EXPIRES_IN

It writes the port it listens on to PORT_FILE once it listens, and serves
until it is killed."""

import base64
import http.server
import json
import os
import ssl
import sys
import threading
import time
import urllib.parse


def main():
    cert, key, port_file, log_path, client_id, secret, expires_in = sys.argv[1:8]
    expected = "Basic " + base64.b64encode(
        (urllib.parse.quote_plus(client_id) + ":" + urllib.parse.quote_plus(secret)).encode()).decode()
    lock = threading.Lock()
    state = {"count": 0}
    log = open(log_path, "a", encoding="utf-8", buffering=1)

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.0"

        def do_POST(self):
            length = int(self.headers.get("Content-Length") or 0)
            form = urllib.parse.parse_qs(self.rfile.read(length).decode())
            good = (self.headers.get("Authorization") == expected
                    and form.get("grant_type") == ["client_credentials"])
            with lock:
                state["count"] += 1
                number = state["count"]
                log.write("%.6f %d %s\n" % (time.time(), number, "good" if good else "refused"))
            if good:
                status, reply = 200, {"access_token": "bench-token-%d" % number, "token_type": "Bearer",
                                      "expires_in": int(expires_in)}
            else:
                status, reply = 401, {"error": "invalid_client"}
            body = json.dumps(reply).encode()
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Cache-Control", "no-store")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    with open(port_file + ".new", "w", encoding="utf-8") as f:
        f.write("%d\n" % server.server_address[1])
    # Renamed into place, so that the section never reads half a port.
    os.rename(port_file + ".new", port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
