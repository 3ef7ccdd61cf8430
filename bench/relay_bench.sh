#!/usr/bin/env bash
# Relay benchmark on loopback: wrk sends GET requests for a small and a large
# file to a local nginx TLS origin, once straight and once through the proxy,
# and the table gives requests per second and relayed MB/s (10^6 bytes) of
# each. wrk keeps its connections to the proxy open (several requests per
# inbound connection, one at a time); the proxy opens a new TLS connection to
# the origin for every request.
#
# Usage: bench/relay_bench.sh [seconds-per-case (3)] [connections (4)]
# Builds first (scripts/build.sh: build/, or $MORVEX_BUILD_DIR). Everything it
# writes goes to <build>/relay-bench.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${MORVEX_BUILD_DIR:-$root/build}"
seconds="${1:-3}"
connections="${2:-4}"
"$root/scripts/build.sh" >/dev/null
bin="$build/src/morvex-tlsd"
# shellcheck source=scripts/origin.sh
. "$root/scripts/origin.sh"

home="$build/relay-bench"
rm -rf "$home"
mkdir -p "$home/etc" "$home/var/log/morvex" "$home/origin/html"
export MORVEX_HOME="$home"
unset MORVEX_ETC MORVEX_DB
log="$home/var/log/morvex/tlsproxy.log"
# Every request leaves an outbound connection open until the origin's idle
# time-out; allow for a few thousand.
ulimit -n 65536 2>/dev/null || true

proxy_pid=""
cleanup() {
    local rc=$?
    trap - EXIT INT TERM
    if [ -n "$proxy_pid" ]; then
        kill -TERM "$proxy_pid" 2>/dev/null || true
        wait "$proxy_pid" 2>/dev/null || true
    fi
    origin_stop
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

cp -r "$root/etc/." "$home/etc/"
pass="$(openssl rand -hex 16)"
token="$(openssl rand -hex 16)"
"$root/scripts/make-proxy-cert.sh" --bits 2048 --ca "$home/etc/auth" "$pass"
head -c 1024 /dev/urandom > "$home/origin/html/small.bin"
head -c 1048576 /dev/urandom > "$home/origin/html/large.bin"
ORIGIN_KEEPALIVE=1s origin_start "$home/origin" "$home/etc/auth/appsCA.pem" "$home/etc/auth/appsCA.key" localhost

port="$(free_port)"
printf '{"listen_port":%s,"token":"%s","private_key_password":"%s"}' "$port" "$token" "$pass" |
    "$bin" >"$home/proxy-console.log" 2>&1 &
proxy_pid=$!
for _ in $(seq 1 200); do
    grep -q 'TLSProxy is started' "$log" 2>/dev/null && break
    if ! kill -0 "$proxy_pid" 2>/dev/null; then cat "$home/proxy-console.log" "$log" >&2 || true; exit 1; fi
    sleep 0.1
done
grep -q 'TLSProxy is started' "$log" || { echo "the proxy did not start" >&2; exit 1; }

# The size of one whole answer (headers and body) as the origin sends it, to
# judge whether wrk received complete answers.
answer_size() {
    curl -sS --cacert "$home/etc/auth/appsCA.pem" -o /dev/null -w '%{size_header} %{size_download}' \
        "https://localhost:$ORIGIN_PORT/$1" | awk '{ print $1 + $2 }'
}

# One relayed answer checked byte for byte before measuring.
curl -sk --max-time 10 -o "$home/check.bin" "https://127.0.0.1:$port/large.bin" -H "Host: localhost:$ORIGIN_PORT" \
    -H "x-morvex-request-type: Morvexd" -H "x-morvex-tlsproxy-token: $token"
cmp -s "$home/check.bin" "$home/origin/html/large.bin" || { echo "the relayed 1 MiB file differs" >&2; exit 1; }

export RELAY_HOST="localhost:$ORIGIN_PORT" RELAY_TYPE=Morvexd RELAY_TOKEN="$token"
echo "wrk: 1 thread, $connections connections, ${seconds} s per case; origin nginx 127.0.0.1:$ORIGIN_PORT, proxy 127.0.0.1:$port"
printf '%-6s %-9s %10s %10s %10s %8s %8s %12s %s\n' file path "requests" "req/s" "MB/s" "p50 ms" "p99 ms" "bytes/answer" "errors"
for file in small.bin large.bin; do
    expected="$(answer_size "$file")"
    for path in direct proxy; do
        if [ "$path" = direct ]; then url="https://localhost:$ORIGIN_PORT/$file"; else url="https://127.0.0.1:$port/$file"; fi
        out="$(wrk -t1 -c"$connections" -d"${seconds}s" --timeout 5s -s "$root/bench/relay_headers.lua" "$url" 2>&1)" || true
        line="$(grep '^RESULT ' <<<"$out" || true)"
        if [ -z "$line" ]; then echo "wrk failed on $path $file:" >&2; echo "$out" >&2; continue; fi
        # shellcheck disable=SC2086
        eval "${line#RESULT }"
        awk -v f="${file%.bin}" -v p="$path" -v n="$requests" -v b="$bytes" -v us="$duration_us" -v p50="$p50_us" \
            -v p99="$p99_us" -v want="$expected" -v err="connect=$connect read=$read write=$write status=$status timeout=$timeout" \
            'BEGIN { s = us / 1e6; per = n ? b / n : 0;
                     mark = (n && per >= want - 1 && per <= want * 1.05) ? "" : " (expected " want ")";
                     printf "%-6s %-9s %10d %10.0f %10.1f %8.2f %8.2f %12.0f%s %s\n",
                            f, p, n, n / s, b / s / 1e6, p50 / 1000, p99 / 1000, per, mark, err }'
        sleep 1.2  # let the origin close the idle outbound connections of this case
    done
done
echo "proxy log: $(grep -c ' ERROR ' "$log") ERROR lines (one \"Connection closed\" per relayed answer is expected), $(grep -c 'TLS proxy making a connection' "$log") outbound connections"
