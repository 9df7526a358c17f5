#!/usr/bin/env bash
# Signs one Windows file in place with Authenticode (SHA-256), from the KESTREL_SIGN_* settings
# that packaging/windows/signing.cmake describes. Usage: sign-file.sh FILE
set -euo pipefail
file=$1
args=(sign -h sha256 -n kestrel-probe)
if [ -n "${KESTREL_SIGN_KEY:-}" ]; then
  args+=(-certs "$KESTREL_SIGN_CERT" -key "$KESTREL_SIGN_KEY")
else
  args+=(-pkcs12 "$KESTREL_SIGN_CERT")
fi
[ -n "${KESTREL_SIGN_PASSWORD_FILE:-}" ] && args+=(-readpass "$KESTREL_SIGN_PASSWORD_FILE")
[ -n "${KESTREL_SIGN_TIMESTAMP_URL:-}" ] && args+=(-ts "$KESTREL_SIGN_TIMESTAMP_URL")

signed="$file.signed"
rm -f "$signed"
if ! log=$(timeout -k 5 120 osslsigncode "${args[@]}" -in "$file" -out "$signed" 2>&1); then
  rm -f "$signed"
  echo "sign-file: $file could not be signed:" >&2
  echo "$log" >&2
  exit 1
fi
mv -f "$signed" "$file"
echo "sign-file: signed $file"
