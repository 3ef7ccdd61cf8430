# Shell helpers for a local TLS origin (the packaged nginx) on loopback, used
# by scripts/demo.sh and bench/relay_bench.sh. Source it; needs bash, nginx,
# openssl and python3.
#
#   free_port                                    prints a free port on 127.0.0.1
#   origin_start <dir> <ca.pem> <ca.key> [name] starts nginx on a free port
#       serving <dir>/html with a certificate for name (default localhost,
#       also IP 127.0.0.1) issued by the CA; sets ORIGIN_PORT and ORIGIN_PID.
#       Everything it writes stays under <dir>; it runs in the foreground of
#       a background job (no daemon, no master process).
#   origin_stop                                  stops it (SIGTERM, then SIGKILL)
#   wait_for_port <port> [seconds]               waits until 127.0.0.1:port accepts

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

wait_for_port() {
    local port="$1" tries=$(( ${2:-10} * 20 ))
    while [ "$tries" -gt 0 ]; do
        if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
        sleep 0.05
        tries=$((tries - 1))
    done
    return 1
}

_origin_config() {
    local dir="$1" port="$2" name="$3"
    cat > "$dir/conf/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
worker_rlimit_nofile 65536;
pid $dir/logs/nginx.pid;
error_log $dir/logs/error.log warn;
events { worker_connections 16384; }
http {
    access_log $dir/logs/access.log;
    client_body_temp_path $dir/tmp/body;
    proxy_temp_path $dir/tmp/proxy;
    fastcgi_temp_path $dir/tmp/fastcgi;
    uwsgi_temp_path $dir/tmp/uwsgi;
    scgi_temp_path $dir/tmp/scgi;
    types { text/html html; text/plain txt; }
    default_type application/octet-stream;
    # Each request through the proxy opens its own connection here; a short
    # idle time-out keeps those from piling up once answered.
    keepalive_timeout ${ORIGIN_KEEPALIVE:-2s};
    keepalive_requests 1000000;
    server {
        listen 127.0.0.1:$port ssl;
        server_name $name;
        ssl_certificate $dir/conf/server.pem;
        ssl_certificate_key $dir/conf/server.key;
        ssl_protocols TLSv1.2 TLSv1.3;
        root $dir/html;
    }
}
EOF
}

origin_start() {
    local dir="$1" ca="$2" cakey="$3" name="${4:-localhost}"
    mkdir -p "$dir/conf" "$dir/logs" "$dir/tmp" "$dir/html"
    openssl genpkey -quiet -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$dir/conf/server.key"
    openssl req -new -key "$dir/conf/server.key" -subj "/O=Morvex Demo/CN=$name" -out "$dir/conf/server.csr"
    openssl x509 -req -in "$dir/conf/server.csr" -CA "$ca" -CAkey "$cakey" -CAcreateserial -days 30 -sha256 \
        -extfile <(printf 'subjectAltName=DNS:%s,IP:127.0.0.1\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n' "$name") \
        -out "$dir/conf/server.pem" 2>/dev/null
    local attempt
    for attempt in 1 2 3 4 5; do
        ORIGIN_PORT="$(free_port)"
        _origin_config "$dir" "$ORIGIN_PORT" "$name"
        rm -f "$dir/logs/nginx.pid"
        nginx -p "$dir" -c "$dir/conf/nginx.conf" -e "$dir/logs/error.log" </dev/null >>"$dir/logs/stdout.log" 2>&1 &
        ORIGIN_PID=$!
        # The pid file appears once the socket is bound.
        local tries=200
        while [ "$tries" -gt 0 ] && kill -0 "$ORIGIN_PID" 2>/dev/null; do
            if [ "$(cat "$dir/logs/nginx.pid" 2>/dev/null)" = "$ORIGIN_PID" ]; then return 0; fi
            if grep -q '\[emerg\]' "$dir/logs/error.log" 2>/dev/null; then break; fi
            sleep 0.05
            tries=$((tries - 1))
        done
        origin_stop
        # Only a port taken in the meantime is worth another try.
        grep -q 'Address already in use' "$dir/logs/error.log" 2>/dev/null || break
    done
    echo "the origin did not start; its error log:" >&2
    cat "$dir/logs/error.log" >&2 2>/dev/null || true
    return 1
}

origin_stop() {
    [ -n "${ORIGIN_PID:-}" ] || return 0
    if kill -TERM "$ORIGIN_PID" 2>/dev/null; then
        local tries=100
        while [ "$tries" -gt 0 ] && kill -0 "$ORIGIN_PID" 2>/dev/null; do sleep 0.05; tries=$((tries - 1)); done
        kill -KILL "$ORIGIN_PID" 2>/dev/null || true
    fi
    wait "$ORIGIN_PID" 2>/dev/null || true
    ORIGIN_PID=""
}
