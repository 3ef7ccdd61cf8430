#!/usr/bin/env bash
# Writes the proxy's certificate file into an auth directory:
#   <auth-dir>/server_tlsproxy.pem  self-signed certificate (serial 1, about
#       five years, C=US/ST=CA/O=Morvex/CN=morvexd-tls-proxy-localhost,
#       SHA-256) followed by its RSA private key encrypted under <pass-phrase>
#       (unencrypted when the pass phrase is empty).
# With --ca it also writes a CA for the remote side of tests and demos:
#   <auth-dir>/appsCA.pem  CA certificate (the trusted CA file of the
#       Telemetry request type),  <auth-dir>/appsCA.key  its unencrypted key,
#   kept when they already exist.
#
# Usage: make-proxy-cert.sh [--bits N] [--ca] <auth-dir> <pass-phrase>
#   --bits N  RSA key size (default 4096; tests use 2048 for speed)
set -euo pipefail

bits=4096
with_ca=0
while [ $# -gt 0 ]; do
  case "$1" in
    --bits) bits="$2"; shift 2 ;;
    --ca) with_ca=1; shift ;;
    --) shift; break ;;
    -*) echo "unknown option: $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
if [ $# -ne 2 ]; then
  echo "usage: $0 [--bits N] [--ca] <auth-dir> <pass-phrase>" >&2
  exit 2
fi
auth="$1"
pass="$2"
mkdir -p "$auth"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

# The pass phrase reaches openssl through its environment, never argv.
export MORVEX_CERT_PASS="$pass"

openssl genpkey -quiet -algorithm RSA -pkeyopt "rsa_keygen_bits:$bits" -pkeyopt rsa_keygen_pubexp:65537 \
  -out "$tmp/key.pem"
openssl req -new -x509 -key "$tmp/key.pem" -sha256 -set_serial 1 -days 1826 \
  -subj "/C=US/ST=CA/O=Morvex/CN=morvexd-tls-proxy-localhost" -out "$tmp/cert.pem"
if [ -n "$pass" ]; then
  openssl pkey -in "$tmp/key.pem" -aes256 -passout env:MORVEX_CERT_PASS -out "$tmp/key.enc.pem"
else
  cp "$tmp/key.pem" "$tmp/key.enc.pem"
fi
cat "$tmp/cert.pem" "$tmp/key.enc.pem" > "$tmp/server_tlsproxy.pem"
chmod 600 "$tmp/server_tlsproxy.pem"
mv "$tmp/server_tlsproxy.pem" "$auth/server_tlsproxy.pem"

if [ "$with_ca" -eq 1 ] && [ ! -f "$auth/appsCA.pem" ]; then
  openssl genpkey -quiet -algorithm RSA -pkeyopt "rsa_keygen_bits:$bits" -out "$tmp/ca.key"
  openssl req -new -x509 -key "$tmp/ca.key" -sha256 -days 1826 -subj "/C=US/ST=CA/O=Morvex/CN=Morvex Apps Test CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" -out "$tmp/ca.pem"
  chmod 600 "$tmp/ca.key"
  mv "$tmp/ca.key" "$auth/appsCA.key"
  mv "$tmp/ca.pem" "$auth/appsCA.pem"
fi
