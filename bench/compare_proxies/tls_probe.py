#!/usr/bin/env python3
"""Tells how a target of bench/compare_proxies.sh speaks TLS to its clients.

Usage: tls_probe.py <port> <host-header> <token> <path>

Sends one request for <path> to 127.0.0.1:<port> (with the headers the proxy
needs), reads the answer to its end, then sends it again on a new connection
offering the first connection's TLS session. Prints one line: protocol,
cipher, whether the second handshake resumed the session ("resumed=yes", as
wrk's would: it offers its last session on every reconnect), and how long each
request took from connect to the whole answer, with no other load.
"""
import socket
import ssl
import sys
import time


def fetch(ctx, port, request, session=None):
    raw = socket.create_connection(("127.0.0.1", port), timeout=10)
    with ctx.wrap_socket(raw, session=session) as s:
        s.sendall(request)
        # The proxy keeps its inbound connection open after an answer: read
        # exactly one answer (headers, then Content-Length bytes).
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = s.recv(65536)
            if not chunk:
                raise OSError("the connection closed before a whole answer")
            data += chunk
        head, body = data.split(b"\r\n\r\n", 1)
        length = 0
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value)
        while len(body) < length:
            chunk = s.recv(65536)
            if not chunk:
                raise OSError("the connection closed before a whole answer")
            body += chunk
        return s.version(), s.cipher()[0], s.session, s.session_reused


def main() -> int:
    port, host, token, path = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    request = (f"GET /{path} HTTP/1.1\r\nHost: {host}\r\nx-morvex-request-type: Morvexd\r\n"
               f"x-morvex-tlsproxy-token: {token}\r\nConnection: close\r\n\r\n").encode()
    try:
        start = time.monotonic()
        version, cipher, session, _ = fetch(ctx, port, request)
        middle = time.monotonic()
        _, _, _, reused = fetch(ctx, port, request, session)
        end = time.monotonic()
    except OSError as e:
        print(f"probe failed: {e}")
        return 1
    print(f"{version} {cipher} resumed={'yes' if reused else 'no'}; "
          f"one request {(middle - start) * 1000:.1f} ms, resumed {(end - middle) * 1000:.1f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
