#!/bin/bash
# Signs a built kit for the acceptance's signature case, with sign.sh and a
# throwaway code-signing certificate made here: each DIST/*.ps1 and
# DIST/DownloadsPermissions.exe gets its signed copy beside it, as sign.sh
# names them, and ACCEPTANCE/test-signer.cer holds the certificate (the
# public part only; the key is deleted), beside the acceptance, never in the
# kit an administrator ships. Test signatures only: no timestamp,
# a certificate valid for fourteen days (untimestamped signatures stop being
# Valid when it expires, so the acceptance must run within that time),
# trusted only where the acceptance trusts it for its run.
#   sign-kit-for-acceptance.sh [DIST [ACCEPTANCE]]   by default the project's dist/ and acceptance-kit/
set -euo pipefail
top=$(cd "$(dirname "$0")/../../../../../../.." && pwd)
dist=$(cd "${1:-$top/dist}" && pwd)
acceptance=${2:-$top/acceptance-kit}
[ -f "$dist/DownloadsPermissions.exe" ] || { echo "sign-kit-for-acceptance.sh: no kit in $dist: build it first" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# An end-entity certificate for code signing, as New-SelfSignedCertificate
# -Type CodeSigningCert makes one: not a CA, digital signature only.
cat >"$work/signer.cnf" <<'CNF'
[req]
distinguished_name = name
x509_extensions = signer
prompt = no
[name]
CN = Downloads permissions acceptance test signer
[signer]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
CNF
openssl req -x509 -newkey rsa:3072 -nodes -days 14 -config "$work/signer.cnf" \
    -keyout "$work/signer.key" -out "$work/signer.pem" 2>/dev/null

for input in "$dist/DownloadsPermissions.exe" "$dist"/*.ps1; do
    case $input in *.signed.ps1) continue ;; esac
    SIGN_TEST=1 SIGN_CERT="$work/signer.pem" SIGN_KEY="$work/signer.key" \
        "$top/sign.sh" "$input" "${input%.*}.signed.${input##*.}"
done
mkdir -p "$acceptance"
openssl x509 -in "$work/signer.pem" -outform der -out "$acceptance/test-signer.cer"
echo "signed the kit in $dist for the acceptance; its test certificate: $acceptance/test-signer.cer"
