#!/usr/bin/env bash
# Relay integrity figures on loopback against a local nginx TLS origin that
# keeps its connections alive:
#   - time to first byte of a new connection through the proxy (curl, median
#     of 30, with and without the two TLS handshakes);
#   - the proxy's open descriptors during and 1 s after 3 s of keep-alive
#     load (wrk, 8 connections);
#   - the proxy's RSS while the daemon leaves a 50 MiB answer unread for 4 s,
#     and after reading it.
#
# Usage: bench/relay_integrity.sh [binary]   (default: build/src/morvex-tlsd;
# give an older build to compare). Everything it writes goes to
# <build>/relay-integrity.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${MORVEX_BUILD_DIR:-$root/build}"
bin="${1:-$build/src/morvex-tlsd}"
# shellcheck source=scripts/origin.sh
. "$root/scripts/origin.sh"

home="$build/relay-integrity"
rm -rf "$home"
mkdir -p "$home/etc" "$home/var/log/morvex" "$home/origin/html"
export MORVEX_HOME="$home"
unset MORVEX_ETC MORVEX_DB
log="$home/var/log/morvex/tlsproxy.log"
ulimit -n 65536 2>/dev/null || true

proxy_pid=""
cleanup() {
    local rc=$?
    trap - EXIT INT TERM
    if [ -n "$proxy_pid" ]; then kill -TERM "$proxy_pid" 2>/dev/null || true; wait "$proxy_pid" 2>/dev/null || true; fi
    origin_stop
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

cp -r "$root/etc/." "$home/etc/"
pass="$(openssl rand -hex 16)"
token="$(openssl rand -hex 16)"
"$root/scripts/make-proxy-cert.sh" --bits 2048 --ca "$home/etc/auth" "$pass" >/dev/null
head -c 1024 /dev/urandom > "$home/origin/html/small.bin"
head -c $((50 << 20)) /dev/urandom > "$home/origin/html/huge.bin"
ORIGIN_KEEPALIVE=60s origin_start "$home/origin" "$home/etc/auth/appsCA.pem" "$home/etc/auth/appsCA.key" localhost

port="$(free_port)"
printf '{"listen_port":%s,"token":"%s","private_key_password":"%s"}' "$port" "$token" "$pass" |
    "$bin" >"$home/proxy-console.log" 2>&1 &
proxy_pid=$!
for _ in $(seq 1 200); do
    grep -q 'TLSProxy is started' "$log" 2>/dev/null && break
    sleep 0.1
done
grep -q 'TLSProxy is started' "$log" || { echo "the proxy did not start" >&2; cat "$home/proxy-console.log" >&2; exit 1; }

fds() { ls "/proc/$proxy_pid/fd" | wc -l; }
rss() { awk '/VmRSS/ { print $2 }' "/proc/$proxy_pid/status"; }
headers=(-H "Host: localhost:$ORIGIN_PORT" -H "x-morvex-request-type: Morvexd" -H "x-morvex-tlsproxy-token: $token")

echo "binary: $bin"
for _ in $(seq 1 30); do
    curl -sk -o /dev/null -w '%{time_appconnect} %{time_starttransfer}\n' "https://127.0.0.1:$port/small.bin" "${headers[@]}"
done | sort -k2 -n | awk '{ a[NR] = $1; s[NR] = $2 } END { m = int((NR + 1) / 2);
    printf "time to first byte, new connection: median %.1f ms (%.1f ms after the client handshake)\n", s[m] * 1000, (s[m] - a[m]) * 1000 }'

base_fds="$(fds)"
export RELAY_HOST="localhost:$ORIGIN_PORT" RELAY_TYPE=Morvexd RELAY_TOKEN="$token"
wrk -t1 -c8 -d3s --timeout 5s -s "$root/bench/relay_headers.lua" "https://127.0.0.1:$port/small.bin" >"$home/wrk.txt" 2>&1 &
wrk_pid=$!
peak=0
while kill -0 "$wrk_pid" 2>/dev/null; do n="$(fds)"; [ "$n" -gt "$peak" ] && peak="$n"; sleep 0.2; done
wait "$wrk_pid" || true
sleep 1
echo "descriptors under keep-alive load: baseline $base_fds, peak $peak, 1 s after $(fds); $(grep -o 'requests=[0-9]*' "$home/wrk.txt" || true)"

base_rss="$(rss)"
python3 - "$port" "$ORIGIN_PORT" "$token" "$proxy_pid" "$base_rss" <<'PY'
import socket, ssl, sys, time, hashlib
port, origin, token, pid, base = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
def rss():
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS"): return int(line.split()[1])
ctx = ssl.create_default_context(); ctx.check_hostname = False; ctx.verify_mode = ssl.CERT_NONE
s = ctx.wrap_socket(socket.create_connection(("127.0.0.1", port)))
s.sendall(f"GET /huge.bin HTTP/1.1\r\nHost: localhost:{origin}\r\nx-morvex-request-type: Morvexd\r\nx-morvex-tlsproxy-token: {token}\r\n\r\n".encode())
time.sleep(4)
held = rss()
got = 0
data = b""
while True:
    chunk = s.recv(1 << 20)
    if not chunk: break
    data += chunk
    if b"\r\n\r\n" in data:
        head, _, body = data.partition(b"\r\n\r\n")
        length = int([l.split(b":")[1] for l in head.split(b"\r\n") if l.lower().startswith(b"content-length")][0])
        if len(body) >= length: break
time.sleep(0.5)
print(f"RSS with a 50 MiB answer unread for 4 s: baseline {base} KiB, held {held} KiB (+{(held - base) / 1024:.1f} MiB), after reading it {rss()} KiB ({len(body)} body bytes)")
PY
