#!/usr/bin/env bash
# Prints the encrypted form of an sslPassword value for the settings files:
#
#   scripts/encrypt-ssl-password.sh [--secret FILE] [--new-secret] [PASSWORD]
#
# The password is read from standard input (first line) when not given as an
# argument, which keeps it out of the process list. The instance secret is
# FILE, by default $MORVEX_ETC/auth/instance.secret (or
# $MORVEX_HOME/etc/auth/instance.secret). --new-secret creates that file
# (mode 0600, 48 random base64 characters) when it does not exist yet; on an
# installation the daemon creates it, never the proxy.
#
# Output: "$7$" + base64(salt 16 | nonce 12 | AES-256-GCM ciphertext | tag 16),
# key = HKDF-SHA256(secret, salt, info "morvex sslPassword v7"), "$7$" as
# additional authenticated data; the proxy decrypts exactly this form.
set -euo pipefail

secret_file=""
new_secret=0
password=""
have_password=0
while [ $# -gt 0 ]; do
  case "$1" in
    --secret) secret_file="${2:?--secret needs a file}"; shift 2 ;;
    --new-secret) new_secret=1; shift ;;
    -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
    *) password="$1"; have_password=1; shift ;;
  esac
done

if [ -z "$secret_file" ]; then
  etc="${MORVEX_ETC:-${MORVEX_HOME:+$MORVEX_HOME/etc}}"
  [ -n "$etc" ] || { echo "set MORVEX_ETC or MORVEX_HOME, or give --secret FILE" >&2; exit 2; }
  secret_file="$etc/auth/instance.secret"
fi

if [ ! -e "$secret_file" ]; then
  [ "$new_secret" -eq 1 ] || { echo "no instance secret at $secret_file (--new-secret creates one)" >&2; exit 2; }
  mkdir -p "$(dirname "$secret_file")"
  (umask 077 && openssl rand -base64 36 > "$secret_file")
fi

if [ "$have_password" -eq 0 ]; then
  IFS= read -r password || true
fi

SECRET_FILE="$secret_file" PASSWORD="$password" /usr/bin/python3 - <<'PY'
import base64, os, sys
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

with open(os.environ["SECRET_FILE"], "rb") as f:
    secret = f.read().split(b"\n", 1)[0]
if secret.endswith(b"\r"):
    secret = secret[:-1]
if len(secret) < 16:
    sys.exit("instance secret too short (needs at least 16 bytes on its first line)")
marker = b"$7$"
salt = os.urandom(16)
nonce = os.urandom(12)
key = HKDF(algorithm=hashes.SHA256(), length=32, salt=salt, info=b"morvex sslPassword v7").derive(secret)
sealed = AESGCM(key).encrypt(nonce, os.environ["PASSWORD"].encode("utf-8"), marker)
print((marker + base64.b64encode(salt + nonce + sealed)).decode("ascii"))
PY
