-- wrk script for bench/relay_bench.sh: sends every request with the headers
-- the proxy needs (the same bytes go straight to the origin for comparison),
-- and prints one machine-readable summary line at the end.
local host = os.getenv("RELAY_HOST")
if host then wrk.headers["Host"] = host end
wrk.headers["x-morvex-request-type"] = os.getenv("RELAY_TYPE") or "Morvexd"
wrk.headers["x-morvex-tlsproxy-token"] = os.getenv("RELAY_TOKEN") or ""

done = function(summary, latency, requests)
    local e = summary.errors
    io.write(string.format(
        "RESULT requests=%d bytes=%d duration_us=%d connect=%d read=%d write=%d status=%d timeout=%d p50_us=%d p99_us=%d\n",
        summary.requests, summary.bytes, summary.duration, e.connect, e.read, e.write, e.status, e.timeout,
        latency:percentile(50), latency:percentile(99)))
end
