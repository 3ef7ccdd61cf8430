#!/usr/bin/env python3
"""Holds idle TLS connections open to a loopback port for bench/compare_proxies.sh.

Usage: idle_holder.py <port> <count>

Opens <count> TLS connections to 127.0.0.1:<port> (no certificate check),
finishes each handshake, prints "ready <count>" and then sends nothing. When
standard input reaches its end it counts the connections the server has not
closed, prints "held <n> of <count>" and exits. A connection that cannot be
opened ends the program with status 1 and a message.
"""
import select
import socket
import ssl
import sys


def main() -> int:
    port, count = int(sys.argv[1]), int(sys.argv[2])
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    held = []
    for i in range(count):
        try:
            raw = socket.create_connection(("127.0.0.1", port), timeout=10)
            held.append(ctx.wrap_socket(raw))
        except OSError as e:
            print(f"connection {i + 1} of {count} failed: {e}", file=sys.stderr)
            return 1
    print(f"ready {count}", flush=True)
    sys.stdin.read()
    # A closed connection is readable and reads end-of-stream (or fails); an
    # open idle one has nothing to read.
    alive = 0
    for s in held:
        poller = select.poll()
        poller.register(s, select.POLLIN)
        if not poller.poll(0):
            alive += 1
            continue
        try:
            s.setblocking(False)
            if s.recv(1):
                alive += 1  # the server wrote something, but it is open
        except ssl.SSLWantReadError:
            alive += 1  # only a TLS record without data (e.g. a ticket)
        except OSError:
            pass
    print(f"held {alive} of {count}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
