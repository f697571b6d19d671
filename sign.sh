#!/bin/bash
# Signs the executable with Authenticode.
#   ./sign.sh [INPUT [OUTPUT]]
# INPUT defaults to dist/DownloadsPermissions.exe, OUTPUT to
# dist/DownloadsPermissions.signed.exe. Credentials come from the environment:
#   SIGN_CERT and SIGN_KEY   certificate and private key, PEM files
#                            (SIGN_PASS if the key is encrypted), or
#   SIGN_PFX and SIGN_PASS   a PKCS#12 file and its password;
#   SIGN_TSA                 optional RFC 3161 timestamp server URL.
# Passwords reach osslsigncode through a pipe, never on a command line.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
input=${1:-$here/dist/DownloadsPermissions.exe}
output=${2:-$here/dist/DownloadsPermissions.signed.exe}

fail() {
    echo "sign.sh: $*" >&2
    exit 1
}

command -v osslsigncode >/dev/null || fail "osslsigncode is missing: apt-get install osslsigncode"
[ -f "$input" ] || fail "$input not found: build it first (cmake --preset windows && cmake --build --preset windows)"

readable() {
    [ -f "$2" ] && [ -r "$2" ] || fail "$1 names no readable file: $2"
}

if [ -n "${SIGN_PFX:-}" ]; then
    readable SIGN_PFX "$SIGN_PFX"
    [ -n "${SIGN_PASS+set}" ] || fail "SIGN_PFX is set but SIGN_PASS is not"
    credentials=(-pkcs12 "$SIGN_PFX")
elif [ -n "${SIGN_CERT:-}${SIGN_KEY:-}" ]; then
    [ -n "${SIGN_CERT:-}" ] && [ -n "${SIGN_KEY:-}" ] || fail "SIGN_CERT and SIGN_KEY must be set together"
    readable SIGN_CERT "$SIGN_CERT"
    readable SIGN_KEY "$SIGN_KEY"
    credentials=(-certs "$SIGN_CERT" -key "$SIGN_KEY")
else
    fail "no signing credentials: set SIGN_CERT and SIGN_KEY (PEM files), or SIGN_PFX and SIGN_PASS"
fi

timestamp=()
[ -z "${SIGN_TSA:-}" ] || timestamp=(-ts "$SIGN_TSA")
password=()
[ -z "${SIGN_PASS:-}" ] || password=(-readpass /dev/stdin)

rm -f "$output"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! printf '%s' "${SIGN_PASS:-}" | osslsigncode sign "${credentials[@]}" "${password[@]}" -h sha256 \
        -n "Downloads folder permissions repair" "${timestamp[@]}" \
        -in "$input" -out "$output" >"$log" 2>&1; then
    rm -f "$output"
    # osslsigncode names what it could not use; it never prints key material.
    grep -vE '^[0-9A-F]{8,}:error:' "$log" >&2 || true
    fail "signing failed: wrong password, a key that does not match the certificate, or an unreadable file"
fi
cmake -DFILE="$output" -P "$here/tools/write-sha256.cmake"
echo "signed: $output (checksum in $output.sha256)"
