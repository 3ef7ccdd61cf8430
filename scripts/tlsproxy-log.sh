#!/usr/bin/env bash
# Reads the proxy's completion lines (channel TLSProxyRequest) from log files
# or standard input and answers three questions:
#
#   scripts/tlsproxy-log.sh failing    [log...]   failed requests by destination and outcome
#   scripts/tlsproxy-log.sh slowest [N] [log...]  the N slowest requests (default 10)
#   scripts/tlsproxy-log.sh resumption [log...]   share of resumed outbound TLS handshakes
#
# With no file it reads $MORVEX_HOME/var/log/morvex/tlsproxy.log and its
# backups, oldest first. Only the plain form is read (key=value); for the
# JSON form use jq on the "data" member.
set -euo pipefail

usage() {
  sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
}

[ $# -ge 1 ] || usage
command="$1"
shift
count=10
if [ "$command" = slowest ] && [ $# -ge 1 ] && [[ "$1" =~ ^[0-9]+$ ]]; then
  count="$1"
  shift
fi
if [ $# -eq 0 ]; then
  log="${MORVEX_HOME:?set MORVEX_HOME or name the log files}/var/log/morvex/tlsproxy.log"
  files=()
  for i in 5 4 3 2 1; do [ -f "$log.$i" ] && files+=("$log.$i"); done
  [ -f "$log" ] && files+=("$log")
  set -- "${files[@]}"
fi

# Prints "key<TAB>value" pairs of each completion line as one record per line
# for the commands below: fields are split at blanks; a quoted value keeps
# its quotes (and is cut at an embedded blank, which only odd Host headers
# produce).
lines() {
  grep -h ' TLSProxyRequest .*type=.* outcome=' "$@" || true
}

case "$command" in
  failing)
    lines "$@" | awk '
      {
        for (i = 1; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = substr($i, length(kv[1]) + 2) }
        if (f["outcome"] != "complete") n[f["dest"] " " f["outcome"]]++
      }
      END { for (k in n) printf "%8d  %s\n", n[k], k }' | sort -rn
    ;;
  slowest)
    lines "$@" | awk '
      {
        for (i = 1; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = substr($i, length(kv[1]) + 2) }
        if (f["total_ms"] != "-") printf "%10s ms  %s %s %s status=%s outcome=%s\n", f["total_ms"], f["type"], f["method"], f["dest"], f["status"], f["outcome"]
      }' | sort -rn | head -n "$count"
    ;;
  resumption)
    lines "$@" | awk '
      {
        for (i = 1; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = substr($i, length(kv[1]) + 2) }
        if (f["resumed"] == "yes") r[f["dest"]]++
        if (f["resumed"] == "yes" || f["resumed"] == "no") t[f["dest"]]++
      }
      END {
        for (d in t) { all += t[d]; res += r[d]; printf "%5.1f%%  %6d handshakes  %s\n", 100 * r[d] / t[d], t[d], d }
        if (all) printf "%5.1f%%  %6d handshakes  (all destinations)\n", 100 * res / all, all
      }' | sort -k3
    ;;
  *)
    usage
    ;;
esac
