#!/usr/bin/env bash
# The main job: builds when needed, prepares a demo home under the build tree,
# starts a local TLS origin and the proxy on loopback, sends requests through
# the proxy with curl, shows the answers and the proxy's log, and stops both.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${MORVEX_BUILD_DIR:-$root/build}"
"$root/scripts/build.sh"
# shellcheck source=scripts/origin.sh
. "$root/scripts/origin.sh"
bin="$build/src/morvex-tlsd"
echo "== self-test"
"$bin" --test; echo

# The demo home lives in the build tree, never in the sources; each run
# starts from a fresh one.
home="$build/demo-home"
rm -rf "$home"
mkdir -p "$home/etc" "$home/var/log/morvex"
export MORVEX_HOME="$home"
unset MORVEX_ETC MORVEX_DB
log="$home/var/log/morvex/tlsproxy.log"

# Feeds one start-up document and shows what the proxy says and its exit code.
# A proxy that comes up keeps running; it is stopped after a few seconds.
judge() {
    local title="$1" document="$2" rc=0
    echo "== $title: $document"
    printf '%s' "$document" | timeout 5 "$bin" || rc=$?
    if [ "$rc" -eq 124 ]; then echo "(still running after 5 s: stopped)"; else echo "exit code $rc"; fi
}
# The home has no settings yet, so the proxy's messages go to standard error.
judge "bad start-up document (no token value)" '{"listen_port": 8090, "token": }'

proxy_pid=""
cleanup() {
    local rc=$?
    trap - EXIT INT TERM
    if [ -n "$proxy_pid" ] && kill -0 "$proxy_pid" 2>/dev/null; then
        kill -TERM "$proxy_pid" 2>/dev/null || true
        wait "$proxy_pid" 2>/dev/null || true
    fi
    origin_stop
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== demo home: $home"
cp -r "$root/etc/." "$home/etc/"
# A fresh pass phrase for the proxy's key and a fresh token, every run.
pass="$(openssl rand -hex 16)"
token="$(openssl rand -hex 16)"
# The CA (etc/auth/appsCA.pem) is the one Telemetry requests trust; it also
# issues the origin's certificate.
"$root/scripts/make-proxy-cert.sh" --bits 2048 --ca "$home/etc/auth" "$pass"
ls "$home/etc" "$home/etc/auth"

echo "== local TLS origin (nginx) under $home/origin"
mkdir -p "$home/origin/html"
printf '<html><body>Hello from the local TLS origin.</body></html>\n' > "$home/origin/html/index.html"
head -c 1048576 /dev/urandom > "$home/origin/html/large.bin"
origin_start "$home/origin" "$home/etc/auth/appsCA.pem" "$home/etc/auth/appsCA.key" localhost
echo "origin listening on 127.0.0.1:$ORIGIN_PORT (pid $ORIGIN_PID); straight to it, checked against appsCA.pem:"
curl -sS --max-time 5 --cacert "$home/etc/auth/appsCA.pem" "https://localhost:$ORIGIN_PORT/index.html"

echo "== proxy"
port="$(free_port)"
document="{\"listen_port\":$port,\"token\":\"$token\",\"private_key_password\":\"$pass\"}"
echo "start-up document: {\"listen_port\":$port,\"token\":\"<fresh>\",\"private_key_password\":\"<fresh>\"}"
# The document goes in through a pipe that closes after it: the proxy reads
# until end of input before it starts.
printf '%s' "$document" | "$bin" >"$home/proxy-console.log" 2>&1 &
proxy_pid=$!
started=0
for _ in $(seq 1 200); do
    if grep -q 'TLSProxy is started' "$log" 2>/dev/null; then started=1; break; fi
    kill -0 "$proxy_pid" 2>/dev/null || break
    sleep 0.1
done
if [ "$started" -ne 1 ]; then
    echo "the proxy did not start; its console and log:" >&2
    cat "$home/proxy-console.log" "$log" >&2 2>/dev/null || true
    exit 1
fi
echo "proxy listening on 127.0.0.1:$port (pid $proxy_pid)"

# through <type> <token> <path> [max-seconds]: one request through the proxy;
# prints the status line and the start of the body, or why nothing came.
through() {
    local type="$1" tok="$2" path="$3" max="${4:-10}" rc=0
    curl -sk --max-time "$max" "https://127.0.0.1:$port$path" -D "$home/answer.headers" -o "$home/answer.body" \
        -H "Host: localhost:$ORIGIN_PORT" -H "x-morvex-request-type: $type" -H "x-morvex-tlsproxy-token: $tok" || rc=$?
    if [ "$rc" -eq 0 ]; then
        printf '  %-18s %s  %s bytes\n' "$type" "$(head -n 1 "$home/answer.headers" | tr -d '\r')" \
            "$(stat -c %s "$home/answer.body")"
    elif [ "$rc" -eq 28 ]; then
        printf '  %-18s no answer within %s s (refused requests are logged and dropped)\n' "$type" "$max"
    else
        printf '  %-18s curl failed with exit code %s\n' "$type" "$rc"
    fi
    return 0
}

echo "== requests through the proxy (GET /index.html on localhost:$ORIGIN_PORT, one per TLS request type)"
for type in Morvexd Deployment-Client Morvex-Base Telemetry; do through "$type" "$token" /index.html; done
echo "  body of the last answer: $(cat "$home/answer.body")"

echo "== 1 MiB file through the proxy, compared with the origin's copy"
through Morvexd "$token" /large.bin
if [ "$(sha256sum < "$home/answer.body")" = "$(sha256sum < "$home/origin/html/large.bin")" ]; then
    echo "  same SHA-256 as the origin's file"
else
    echo "  DIFFERENT from the origin's file" >&2
fi

echo "== refused requests"
through Morvexd "not-the-token" /index.html 2
through External-Proxy "$token" /index.html 2

echo "== the proxy's log ($log)"
sleep 0.5
cat "$log"

echo "== stopping the proxy (SIGTERM) and the origin"
kill -TERM "$proxy_pid"
rc=0
wait "$proxy_pid" || rc=$?
proxy_pid=""
echo "proxy exit code $rc"
tail -n 3 "$log"
origin_stop
echo "== done; the demo home stays in $home"
