#!/usr/bin/env bash
# Side-by-side benchmark on loopback: the same client load against a local
# nginx TLS origin straight, and through nginx, HAProxy and morvex-tlsd as
# forward proxies. Every request uses a new inbound and a new outbound TLS
# connection (wrk sends "Connection: close"); every hop offers TLS 1.2 and 1.3
# (the proxy's shipped "tls1.2" setting does not turn 1.3 off) with the proxy's
# shipped cipher and curve lists, and RSA-2048 certificates. wrk offers its
# last TLS session again on each new connection; whether a target resumes it
# is printed first (tls_probe.py), and the origin's log tells for each case
# how many requests came on new connections and with resumed sessions.
#
# For each target it measures:
#   req/s       1 KiB answers, wrk -t2 -c16 (-c) with "Connection: close"
#   CPU us/req  user+system CPU of the target's processes (all threads, all
#               nginx processes) during that run, per completed request
#   64MiB MB/s  one 64 MiB answer with curl, median of several runs (10^6 B/s)
#   CPU ms/64   the target's CPU (all threads) per 64 MiB download
#   idle req/s  the 1 KiB rate again while idle TLS connections (500) are
#               held open to the target
# and prints one table with the ratios to nginx (proxy_ssl_session_reuse off).
# The "origin" row is the origin served directly: its CPU is the origin's.
#
# Usage: bench/compare_proxies.sh [-d seconds] [-r runs] [-n rounds] [-c conns] [-i idle] [-b binary]
#                                 [-t "targets"] [-T 1.2|1.3] [-p perf.data] [-k]
#   -d  seconds per wrk run (default 5, or $BENCH_SECONDS)
#   -r  64 MiB downloads per target (default 3, or $BENCH_RUNS)
#   -n  rounds of the 1 KiB cases, the targets' order reversed every other
#       round so that a change in the machine's load does not favour one; the
#       table gives the medians (default 3, or $BENCH_ROUNDS)
#   -c  wrk connections (default 16, or $BENCH_CONNECTIONS)
#   -i  idle connections held open in the idle case (default 500, or $BENCH_IDLE)
#   -b  the proxy binary (default build/src/morvex-tlsd, or $MORVEX_TLSD)
#   -t  targets, any of: origin nginx nginx-reuse haproxy morvex (default all)
#   -T  highest TLS version of the origin, nginx and HAProxy (default 1.3)
#   -p  also record a perf profile (perf record -g) of morvex-tlsd during an
#       extra, unmeasured 1 KiB run into this file and print its top symbols
#       ($BENCH_PERF_OPTS replaces "-g", e.g. "--call-graph dwarf -F 499")
#   -k  keep: start the servers, print a curl command line for each target and
#       wait until interrupted (for profiling by hand)
# Needs nginx, haproxy, wrk, curl, openssl, python3 (scripts/install-deps.sh).
# Works in build/compare-proxies (or $BENCH_WORK); stops everything it started
# on exit.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
here="$root/bench/compare_proxies"
seconds="${BENCH_SECONDS:-5}"
runs="${BENCH_RUNS:-3}"
rounds="${BENCH_ROUNDS:-3}"
conns="${BENCH_CONNECTIONS:-16}"
idle="${BENCH_IDLE:-500}"
bin="${MORVEX_TLSD:-$root/build/src/morvex-tlsd}"
targets="origin nginx nginx-reuse haproxy morvex"
perf_out=""
tls_max=1.3
keep=0
while getopts 'd:r:n:c:i:b:t:T:p:kh' opt; do
    case "$opt" in
        d) seconds="$OPTARG" ;;
        r) runs="$OPTARG" ;;
        n) rounds="$OPTARG" ;;
        c) conns="$OPTARG" ;;
        i) idle="$OPTARG" ;;
        b) bin="$OPTARG" ;;
        t) targets="$OPTARG" ;;
        T) tls_max="$OPTARG" ;;
        p) perf_out="$(realpath -m "$OPTARG")" ;;
        k) keep=1 ;;
        *) sed -n '/^# Usage/,/^# on exit/p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
    esac
done
work="${BENCH_WORK:-$root/build/compare-proxies}"
case "$tls_max" in
    1.2) protocols="TLSv1.2" maxver=TLSv1.2 ;;
    1.3) protocols="TLSv1.2 TLSv1.3" maxver=TLSv1.3 ;;
    *) echo "-T takes 1.2 or 1.3" >&2; exit 2 ;;
esac

need=(nginx haproxy wrk curl openssl python3)
[ -n "$perf_out" ] && need+=(perf)
for c in "${need[@]}"; do
    command -v "$c" >/dev/null || { echo "missing $c (run scripts/install-deps.sh)" >&2; exit 1; }
done
case " $targets " in *" morvex "*)
    [ -x "$bin" ] || { echo "no proxy binary at $bin (cmake --build build --target morvex-tlsd, or -b)" >&2; exit 1; } ;;
esac
# shellcheck source=scripts/origin.sh
. "$root/scripts/origin.sh"

# The idle case holds hundreds of connections on each side.
ulimit -Hn 65536 2>/dev/null || true
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"

# The proxy's shipped lists (etc/system/default/server.conf [sslConfig]), used
# on every hop.
ciphers="ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256"
curves="prime256v1:secp384r1:secp521r1"
origin_name=localhost
big_size=$((64 * 1024 * 1024))

pids=()        # every server started, stopped in reverse order on exit
holder_pid=""
cleanup() {
    local rc=$? i
    trap - EXIT INT TERM
    if [ -n "$holder_pid" ]; then kill -TERM "$holder_pid" 2>/dev/null || true; fi
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill -TERM "${pids[i]}" 2>/dev/null || true; done
    for i in "${pids[@]}" $holder_pid; do
        local tries=100
        while [ "$tries" -gt 0 ] && kill -0 "$i" 2>/dev/null; do sleep 0.05; tries=$((tries - 1)); done
        kill -KILL "$i" 2>/dev/null || true
        wait "$i" 2>/dev/null || true
    done
    rm -f "$work/origin/html/big.bin"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# render <template> <output> KEY=VALUE...: replaces every @KEY@.
render() {
    local in="$1" out="$2" expr=() kv
    shift 2
    for kv in "$@"; do expr+=(-e "s|@${kv%%=*}@|${kv#*=}|g"); done
    sed "${expr[@]}" "$in" > "$out"
}

# median <number>...: the middle one (the lower of the two middle ones).
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# start_server <name> <port> <log> <command...>: runs it in the background
# and waits until the port accepts; sets LAST_PID.
start_server() {
    local name="$1" port="$2" log="$3"
    shift 3
    "$@" </dev/null >>"$log" 2>&1 &
    LAST_PID=$!
    pids+=("$LAST_PID")
    local tries=200
    while [ "$tries" -gt 0 ]; do
        if ! kill -0 "$LAST_PID" 2>/dev/null; then break; fi
        if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
        sleep 0.05
        tries=$((tries - 1))
    done
    echo "$name did not start; its output ($log):" >&2
    cat "$log" >&2 || true
    exit 1
}

# --- files: certificates, content, configurations ----------------------------
rm -rf "$work"
home="$work/home"
mkdir -p "$home/etc" "$home/var/log/morvex" "$work/origin/"{conf,logs,tmp,html} "$work/nginx/tmp" \
    "$work/nginx-reuse/tmp" "$work/haproxy"
cp -r "$root/etc/." "$home/etc/"
pass="$(openssl rand -hex 16)"
token="$(openssl rand -hex 16)"
auth="$home/etc/auth"
"$root/scripts/make-proxy-cert.sh" --bits 2048 --ca "$auth" "$pass"
# nginx and HAProxy serve the proxy's own certificate and key (unencrypted).
openssl x509 -in "$auth/server_tlsproxy.pem" -out "$work/front.crt"
MORVEX_CERT_PASS="$pass" openssl pkey -in "$auth/server_tlsproxy.pem" -passin env:MORVEX_CERT_PASS -out "$work/front.key"
cat "$work/front.crt" "$work/front.key" > "$work/haproxy/front.pem"
# The origin: RSA-2048, issued by the test CA, for localhost and 127.0.0.1.
od="$work/origin"
openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$od/conf/server.key"
openssl req -new -key "$od/conf/server.key" -subj "/O=Morvex Bench/CN=$origin_name" -out "$od/conf/server.csr"
openssl x509 -req -in "$od/conf/server.csr" -CA "$auth/appsCA.pem" -CAkey "$auth/appsCA.key" -CAcreateserial \
    -days 30 -sha256 -out "$od/conf/server.pem" 2>/dev/null \
    -extfile <(printf 'subjectAltName=DNS:%s,IP:127.0.0.1\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n' "$origin_name")
# Content: an AES-CTR key stream under fixed keys, the same bytes every run
# and incompressible.
# (openssl ends on SIGPIPE once head has its bytes.)
keystream() {
    { openssl enc -aes-128-ctr -nosalt -K 000102030405060708090a0b0c0d0e0f -iv "$1" </dev/zero 2>/dev/null || true; } |
        head -c "$2"
}
keystream 00000000000000000000000000000001 1024 > "$od/html/small.bin"
keystream 00000000000000000000000000000002 "$big_size" > "$od/html/big.bin"
big_sha="$(sha256sum < "$od/html/big.bin" | cut -d' ' -f1)"

# --- servers ------------------------------------------------------------------
declare -A port
origin_port="$(free_port)"
render "$here/origin.conf.in" "$od/conf/nginx.conf" DIR="$od" PORT="$origin_port" NAME="$origin_name" \
    CIPHERS="$ciphers" CURVES="$curves" PROTOCOLS="$protocols"
start_server origin "$origin_port" "$od/logs/stdout.log" nginx -p "$od" -c "$od/conf/nginx.conf" -e "$od/logs/error.log"
port[origin]="$origin_port"
declare -A master  # the pid whose process tree is measured
master[origin]="$LAST_PID"

for t in $targets; do
    case "$t" in
        origin) ;;
        nginx | nginx-reuse)
            d="$work/$t"
            port[$t]="$(free_port)"
            reuse=off; [ "$t" = nginx-reuse ] && reuse=on
            render "$here/nginx_proxy.conf.in" "$d/nginx.conf" DIR="$d" PORT="${port[$t]}" CERT="$work/front.crt" \
                KEY="$work/front.key" CIPHERS="$ciphers" CURVES="$curves" ORIGIN_PORT="$origin_port" \
                ORIGIN_NAME="$origin_name" REUSE="$reuse" PROTOCOLS="$protocols"
            start_server "$t" "${port[$t]}" "$d/stdout.log" nginx -p "$d" -c "$d/nginx.conf" -e "$d/error.log"
            master[$t]="$LAST_PID" ;;
        haproxy)
            d="$work/haproxy"
            port[$t]="$(free_port)"
            render "$here/haproxy.cfg.in" "$d/haproxy.cfg" PORT="${port[$t]}" CRT="$d/front.pem" CIPHERS="$ciphers" \
                CURVES="$curves" ORIGIN_PORT="$origin_port" ORIGIN_NAME="$origin_name" MAXVER="$maxver"
            haproxy -c -q -f "$d/haproxy.cfg" >"$d/check.log" 2>&1 || { cat "$d/check.log" >&2; exit 1; }
            start_server haproxy "${port[$t]}" "$d/stdout.log" \
                env OPENSSL_CONF="$here/openssl_groups.cnf" haproxy -db -f "$d/haproxy.cfg"
            master[$t]="$LAST_PID" ;;
        morvex)
            port[$t]="$(free_port)"
            MORVEX_HOME="$home" "$bin" >"$home/console.log" 2>&1 \
                <<<"{\"listen_port\":${port[$t]},\"token\":\"$token\",\"private_key_password\":\"$pass\"}" &
            master[$t]=$!
            pids+=("${master[$t]}")
            for _ in $(seq 1 200); do
                grep -q 'TLSProxy is started' "$home/var/log/morvex/tlsproxy.log" 2>/dev/null && break
                kill -0 "${master[$t]}" 2>/dev/null || break
                sleep 0.05
            done
            grep -q 'TLSProxy is started' "$home/var/log/morvex/tlsproxy.log" 2>/dev/null || {
                echo "morvex-tlsd did not start:" >&2
                cat "$home/console.log" "$home/var/log/morvex/tlsproxy.log" >&2 2>/dev/null || true
                exit 1
            } ;;
        *) echo "unknown target $t" >&2; exit 2 ;;
    esac
done

# --- measuring ----------------------------------------------------------------
# CPU ticks (user+system, all threads) of a process and its children.
cpu_ticks() {
    local p total=0 v
    for p in "$1" $(pgrep -P "$1" || true); do
        v="$(sed 's/^.*) //' "/proc/$p/stat" 2>/dev/null | awk '{ print $12 + $13 }')" || v=0
        total=$((total + ${v:-0}))
    done
    echo "$total"
}
hz="$(getconf CLK_TCK)"

# curl through a target, with the headers the proxy needs (the same for all).
curl_via() {
    local t="$1" path="$2"
    shift 2
    curl -sS -k --max-time 120 "$@" "https://127.0.0.1:${port[$t]}/$path" -H "Host: $origin_name:$origin_port" \
        -H "x-morvex-request-type: Morvexd" -H "x-morvex-tlsproxy-token: $token"
}

origin_log="$od/logs/access.log"
origin_lines() { sleep 0.4; wc -l < "$origin_log"; }
# What the origin saw since line $1: requests, new connections, resumed
# sessions, protocols.
origin_seen() {
    tail -n +"$(($1 + 1))" "$origin_log" |
        awk '{ n++; if ($1 == 1) c++; if ($2 == "r") r++; p[$3]++ }
             END { printf "%d %d %d ", n, c, r; for (k in p) printf "%s:%d,", k, p[k] }'
}

# wrk_case <target> <label>: one 1 KiB run; sets RATE and CPU_US, prints a line.
wrk_case() {
    local t="$1" label="$2" before_ticks after_ticks before_lines out line expected
    expected="$(curl_via "$t" small.bin -o /dev/null -w '%{size_header} %{size_download}' -H 'Connection: close' |
        awk '{ print $1 + $2 }')"
    before_lines="$(origin_lines)"
    before_ticks="$(cpu_ticks "${master[$t]}")"
    out="$(RELAY_HOST="$origin_name:$origin_port" RELAY_TYPE=Morvexd RELAY_TOKEN="$token" \
        wrk -t2 -c"$conns" -d"${seconds}s" --timeout 5s -H 'Connection: close' -s "$root/bench/relay_headers.lua" \
        "https://127.0.0.1:${port[$t]}/small.bin" 2>&1)" || true
    after_ticks="$(cpu_ticks "${master[$t]}")"
    line="$(grep '^RESULT ' <<<"$out" || true)"
    if [ -z "$line" ]; then
        echo "wrk failed on $t ($label):" >&2
        echo "$out" >&2
        RATE=0 CPU_US=0
        return
    fi
    local requests bytes duration_us connect read write status timeout p50_us p99_us non2xx
    eval "${line#RESULT }"
    non2xx="$(awk '/Non-2xx or 3xx responses/ { print $NF }' <<<"$out")"
    read -r seen newconn resumed protos <<<"$(origin_seen "$before_lines")"
    RATE="$(awk -v n="$requests" -v us="$duration_us" 'BEGIN { printf "%.0f", n / (us / 1e6) }')"
    CPU_US="$(awk -v d=$((after_ticks - before_ticks)) -v hz="$hz" -v n="$requests" \
        'BEGIN { printf "%.0f", n ? d * 1e6 / hz / n : 0 }')"
    awk -v t="$t" -v l="$label" -v n="$requests" -v b="$bytes" -v want="$expected" -v rate="$RATE" -v cpu="$CPU_US" \
        -v p50="$p50_us" -v p99="$p99_us" -v non2xx="${non2xx:-0}" \
        -v err="connect=$connect read=$read write=$write timeout=$timeout status>399=$status" \
        -v seen="$seen" -v newconn="$newconn" -v resumed="$resumed" -v protos="${protos%,}" \
        'BEGIN { per = n ? b / n : 0;
                 whole = (n && per >= want - 1 && per <= want * 1.05) ? "whole" : "NOT WHOLE (want " want ")";
                 printf "  %-11s %-9s %8d req %7d req/s %5d us/req p50 %.1f ms p99 %.1f ms; %.0f B/answer %s; non-2xx=%d %s; origin saw %d (new conn %d, resumed TLS %d, %s)\n",
                        t, l, n, rate, cpu, p50 / 1000, p99 / 1000, per, whole, non2xx, err, seen, newconn, resumed,
                        protos }'
}

# big_case <target>: 64 MiB downloads; sets MBS (median) and BIG_CPU_MS (the
# target's CPU per download, mean over the runs) and prints a line.
big_case() {
    local t="$1" i speeds=() out code size speed sha bad=0 before_ticks after_ticks
    sha="$(curl_via "$t" big.bin -o - | sha256sum | cut -d' ' -f1)"
    [ "$sha" = "$big_sha" ] || bad=1
    before_ticks="$(cpu_ticks "${master[$t]}")"
    for ((i = 0; i < runs; i++)); do
        out="$(curl_via "$t" big.bin -o /dev/null -w '%{http_code} %{size_download} %{speed_download}' || true)"
        read -r code size speed <<<"$out"
        if [ "$code" != 200 ] || [ "$size" != "$big_size" ]; then bad=$((bad + 1)); fi
        speeds+=("$(awk -v s="$speed" 'BEGIN { printf "%.1f", s / 1e6 }')")
    done
    after_ticks="$(cpu_ticks "${master[$t]}")"
    MBS="$(median "${speeds[@]}")"
    BIG_CPU_MS="$(awk -v d=$((after_ticks - before_ticks)) -v hz="$hz" -v n="$runs" \
        'BEGIN { printf "%.0f", n ? d * 1000 / hz / n : 0 }')"
    printf '  %-11s 64 MiB    runs %s MB/s, median %s, CPU %s ms per download; %s\n' "$t" "${speeds[*]}" "$MBS" \
        "$BIG_CPU_MS" \
        "$([ "$bad" -eq 0 ] && echo "every answer whole (size, one SHA-256)" || echo "$bad answers NOT WHOLE")"
}

# idle_case <target>: the 1 KiB run while $idle TLS connections sit open.
idle_case() {
    local t="$1" fifo="$work/holder.in" out="$work/holder.out"
    rm -f "$fifo"
    : >"$out"
    mkfifo "$fifo"
    python3 "$here/idle_holder.py" "${port[$t]}" "$idle" <"$fifo" >"$out" 2>&1 &
    holder_pid=$!
    exec 7>"$fifo"
    local tries=1200
    while [ "$tries" -gt 0 ] && ! grep -q '^ready' "$out" && kill -0 "$holder_pid" 2>/dev/null; do
        sleep 0.05
        tries=$((tries - 1))
    done
    if ! grep -q '^ready' "$out"; then
        echo "  $t: could not hold $idle idle connections: $(cat "$out")" >&2
        exec 7>&-
        wait "$holder_pid" 2>/dev/null || true
        holder_pid=""
        IDLE_RATE=0
        return
    fi
    wrk_case "$t" "$idle idle"
    IDLE_RATE="$RATE"
    exec 7>&-
    wait "$holder_pid" 2>/dev/null || true
    holder_pid=""
    echo "  $t: $(grep '^held' "$out" || echo 'holder gave no count')"
}

if [ "$keep" = 1 ]; then
    for t in $targets; do
        printf '%s (pid %s): curl -sk https://127.0.0.1:%s/big.bin -H "Host: %s:%s" -H "x-morvex-request-type: Morvexd" -H "x-morvex-tlsproxy-token: %s" -o /dev/null\n' \
            "$t" "${master[$t]}" "${port[$t]}" "$origin_name" "$origin_port" "$token"
    done
    echo "servers kept until interrupted"
    sleep infinity &
    pids+=("$!")
    wait "$!"
fi

declare -A r_rate r_cpu r_mbs r_idle r_bigcpu
echo "load before: $(uptime | sed 's/.*load average/load average/'); $(nproc) CPUs; wrk -t2 -c$conns -d${seconds}s, Connection: close"
echo "origin nginx 127.0.0.1:$origin_port (1 worker, RSA-2048, $protocols); Host: $origin_name:$origin_port"
for t in $targets; do
    echo "$t: 127.0.0.1:${port[$t]}, to its clients: $(python3 "$here/tls_probe.py" "${port[$t]}" \
        "$origin_name:$origin_port" "$token" small.bin)"
done
for t in $targets; do
    big_case "$t"
    r_mbs[$t]="$MBS" r_bigcpu[$t]="$BIG_CPU_MS"
done
declare -A all_rate all_cpu all_idle
order="$targets"
for ((round = 1; round <= rounds; round++)); do
    [ "$rounds" -gt 1 ] && echo "round $round of $rounds"
    for t in $order; do
        wrk_case "$t" "1 KiB"
        all_rate[$t]+=" $RATE" all_cpu[$t]+=" $CPU_US"
        idle_case "$t"
        all_idle[$t]+=" $IDLE_RATE"
    done
    order="$(tr ' ' '\n' <<<"$order" | tac | tr '\n' ' ')"
done
for t in $targets; do
    # shellcheck disable=SC2086 # lists of numbers
    r_rate[$t]="$(median ${all_rate[$t]})" r_cpu[$t]="$(median ${all_cpu[$t]})" r_idle[$t]="$(median ${all_idle[$t]})"
done

if [ -n "$perf_out" ] && [ -n "${master[morvex]:-}" ]; then
    # shellcheck disable=SC2086 # $BENCH_PERF_OPTS is a list of options
    perf record -q ${BENCH_PERF_OPTS:--g} -o "$perf_out" -p "${master[morvex]}" -- sleep "$seconds" 2>"$work/perf.log" &
    perf_pid=$!
    pids+=("$perf_pid")
    wrk_case morvex "perf"
    wait "$perf_pid" 2>/dev/null || true
    # Self time only: the libraries are built without frame pointers, so
    # call chains through them are partial.
    report() {
        perf report -i "$perf_out" --no-children --sort "$1" --stdio -g none 2>/dev/null |
            awk -v n="$2" '/^ +[0-9.]+%/ { $0 = substr($0, 1, 110); sub(/ +-? +-? *$/, ""); if (++k <= n) print }'
    }
    echo "perf profile of morvex-tlsd under the 1 KiB load ($perf_out), self time by symbol:"
    report symbol 15
    echo "by thread:"
    report comm 8
    echo "by library:"
    report dso 8
fi

echo "load after: $(uptime | sed 's/.*load average/load average/')"
echo
# Ratios are to nginx (reuse off); for CPU lower is better, for the rest higher.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }'; }
printf '%-12s %9s %6s  %10s %6s  %10s %6s  %9s %6s  %10s %6s\n' target "req/s" "x ngx" "CPU us/req" "x ngx" \
    "64MiB MB/s" "x ngx" "CPU ms/64" "x ngx" "req/s+idle" "x ngx"
for t in $targets; do
    name="$t"; [ "$t" = morvex ] && name=morvex-tlsd
    printf '%-12s %9s %6s  %10s %6s  %10s %6s  %9s %6s  %10s %6s\n' "$name" \
        "${r_rate[$t]}" "$(ratio "${r_rate[$t]}" "${r_rate[nginx]:-0}")" \
        "${r_cpu[$t]}" "$(ratio "${r_cpu[$t]}" "${r_cpu[nginx]:-0}")" \
        "${r_mbs[$t]}" "$(ratio "${r_mbs[$t]}" "${r_mbs[nginx]:-0}")" \
        "${r_bigcpu[$t]}" "$(ratio "${r_bigcpu[$t]}" "${r_bigcpu[nginx]:-0}")" \
        "${r_idle[$t]}" "$(ratio "${r_idle[$t]}" "${r_idle[nginx]:-0}")"
done
echo "(CPU ms/64: the target's CPU per 64 MiB download, mean of the runs; the origin row's MB/s is the ceiling"
echo " for any proxy on this machine, since client, origin and proxy share its CPUs;"
echo " req/s+idle: with $idle idle TLS connections held open to the target; origin row: CPU is the origin's own;"
echo " 1 KiB columns: median of $rounds round(s))"
