#!/bin/bash
# Signs the executable and the deployment scripts with Authenticode.
#   ./sign.sh                 dist/DownloadsPermissions.exe and each dist/*.ps1,
#                             into DownloadsPermissions.signed.exe and
#                             NAME.signed.ps1 beside them
#   ./sign.sh INPUT OUTPUT    one file (an executable or a PowerShell script)
# Each signed file gets a .sha256 beside it. A script is signed as CRLF text
# throughout: LF or mixed line ends are turned into CRLF in a temporary copy
# (the input is left as it is), since the signature block is CRLF text and
# Windows hashes the script's text as it stands. A UTF-16 script is refused.
# Credentials come from the environment, one of:
#   SIGN_PFX and SIGN_PASS   a PKCS#12 file and its password;
#   SIGN_CERT and SIGN_KEY   certificate and private key, PEM files
#                            (SIGN_PASS if the key is encrypted);
#   SIGN_PKCS11_MODULE, SIGN_CERT and SIGN_KEY
#                            a token or HSM: its PKCS#11 module (a .so file),
#                            the certificate (PEM file) and the key's PKCS#11
#                            URI (pkcs11:token=...;object=...); SIGN_PASS is
#                            the PIN, where the token asks for one.
# A timestamp keeps the signature valid after the certificate expires:
#   SIGN_TSA                 RFC 3161 timestamp server URL, required;
#   SIGN_TEST=1              a signature for tests only, with a throwaway
#                            certificate: no timestamp is asked for.
# Passwords and PINs reach osslsigncode through a pipe, never on a command line.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -ge 1 ]; then
    inputs=("$1")
    outputs=("${2:?sign.sh: give OUTPUT with INPUT}")
else
    inputs=("$here/dist/DownloadsPermissions.exe")
    outputs=("$here/dist/DownloadsPermissions.signed.exe")
    for script in "$here"/dist/*.ps1; do
        case $script in *.signed.ps1) continue ;; esac
        [ -e "$script" ] || continue
        inputs+=("$script")
        outputs+=("${script%.ps1}.signed.ps1")
    done
fi

fail() {
    echo "sign.sh: $*" >&2
    exit 1
}

command -v osslsigncode >/dev/null || fail "osslsigncode is missing: apt-get install osslsigncode"
for input in "${inputs[@]}"; do
    [ -f "$input" ] || fail "$input not found: build it first (cmake --preset windows && cmake --build --preset windows)"
done

readable() {
    [ -f "$2" ] && [ -r "$2" ] || fail "$1 names no readable file: $2"
}

if [ -n "${SIGN_PFX:-}" ]; then
    readable SIGN_PFX "$SIGN_PFX"
    [ -n "${SIGN_PASS+set}" ] || fail "SIGN_PFX is set but SIGN_PASS is not"
    credentials=(-pkcs12 "$SIGN_PFX")
elif [ -n "${SIGN_PKCS11_MODULE:-}" ]; then
    readable SIGN_PKCS11_MODULE "$SIGN_PKCS11_MODULE"
    [ -n "${SIGN_CERT:-}" ] && [ -n "${SIGN_KEY:-}" ] ||
        fail "SIGN_PKCS11_MODULE needs SIGN_CERT (the certificate file) and SIGN_KEY (the key's pkcs11: URI)"
    readable SIGN_CERT "$SIGN_CERT"
    [[ $SIGN_KEY == pkcs11:* ]] || fail "with SIGN_PKCS11_MODULE, SIGN_KEY must be a pkcs11: URI, not a file"
    credentials=(-pkcs11module "$SIGN_PKCS11_MODULE" -certs "$SIGN_CERT" -key "$SIGN_KEY")
elif [ -n "${SIGN_CERT:-}${SIGN_KEY:-}" ]; then
    [ -n "${SIGN_CERT:-}" ] && [ -n "${SIGN_KEY:-}" ] || fail "SIGN_CERT and SIGN_KEY must be set together"
    readable SIGN_CERT "$SIGN_CERT"
    readable SIGN_KEY "$SIGN_KEY"
    credentials=(-certs "$SIGN_CERT" -key "$SIGN_KEY")
else
    fail "no signing credentials: set SIGN_PFX and SIGN_PASS, SIGN_CERT and SIGN_KEY (PEM files), or SIGN_PKCS11_MODULE, SIGN_CERT and SIGN_KEY (a token)"
fi

timestamp=()
if [ -n "${SIGN_TSA:-}" ]; then
    timestamp=(-ts "$SIGN_TSA")
elif [ "${SIGN_TEST:-}" != 1 ]; then
    fail "no timestamp server: set SIGN_TSA to an RFC 3161 URL (or SIGN_TEST=1 for a test signature)"
fi
password=()
[ -z "${SIGN_PASS:-}" ] || password=(-readpass /dev/stdin)

is_script() {
    case ${1,,} in *.ps1 | *.psm1 | *.psd1) return 0 ;; *) return 1 ;; esac
}
for input in "${inputs[@]}"; do
    if is_script "$input"; then
        command -v perl >/dev/null || fail "perl is missing: apt-get install perl"
        case $(head -c 2 "$input" | od -An -tx1 | tr -d ' \n') in
        fffe | feff) fail "$input is UTF-16 text: save it as UTF-8 (with or without a byte-order mark) and sign again" ;;
        esac
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
log=$work/osslsigncode.log
for i in "${!inputs[@]}"; do
    input=${inputs[$i]} output=${outputs[$i]} body=${inputs[$i]}
    rm -f "$output" "$output.sha256"
    if is_script "$input"; then
        # Same name, so that osslsigncode knows the kind of script.
        body=$work/$i/$(basename "$input")
        mkdir "$work/$i"
        perl -pe 's/\r*\n\z/\r\n/' "$input" >"$body" || fail "could not copy $input with CRLF line ends"
    fi
    if ! printf '%s' "${SIGN_PASS:-}" | osslsigncode sign "${credentials[@]}" "${password[@]}" -h sha256 \
            -n "Downloads folder permissions repair" "${timestamp[@]}" \
            -in "$body" -out "$output" >"$log" 2>&1; then
        rm -f "$output"
        # osslsigncode names what it could not use; it never prints key material.
        grep -vE '^[0-9A-F]{8,}:error:' "$log" >&2 || true
        fail "signing $input failed: wrong password or PIN, a key that does not match the certificate, an unreadable file, or no answer from the timestamp server"
    fi
    cmake -DFILE="$output" -P "$here/tools/write-sha256.cmake"
    echo "signed: $output (checksum in $output.sha256)"
done
[ -n "${SIGN_TSA:-}" ] || echo "sign.sh: test signature, no timestamp: not for release" >&2
