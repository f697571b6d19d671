#!/bin/bash
# Signs the executable and a deployment script with a throwaway self-signed
# code-signing certificate, made here and deleted afterwards, from files and
# from a software token (SoftHSM through PKCS#11); signs a whole kit at once;
# checks that a script is signed with CRLF line ends throughout, whatever its
# line ends were; and checks sign.sh's refusals.
#   sign_test.sh SIGN_SCRIPT EXE SCRIPT WORK_DIR
set -euo pipefail
sign=$1 exe=$2 script=$3 work=$4
rm -rf "$work" && mkdir -p "$work" && cd "$work"
trap 'rm -rf "$work"' EXIT

new_certificate() {
    openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=$1" -keyout "$1.key" -out "$1.pem" \
        -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" 2>/dev/null
}
new_certificate signer
new_certificate stranger
password='throwaway-Pa55'
openssl pkcs12 -export -in signer.pem -inkey signer.key -out signer.pfx -passout "pass:$password"

# The signer's key on a token of its own, kept in this folder.
pin='throwaway-Pin9'
mkdir tokens
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\n' "$PWD" >softhsm2.conf
export SOFTHSM2_CONF=$PWD/softhsm2.conf
softhsm2-util --init-token --free --label signing --pin "$pin" --so-pin "$pin" >/dev/null
openssl pkcs8 -topk8 -nocrypt -in signer.key -out signer.p8
softhsm2-util --import signer.p8 --token signing --label signer --id 01 --pin "$pin" >/dev/null
token=/usr/lib/softhsm/libsofthsm2.so
token_key='pkcs11:token=signing;object=signer;type=private'

# The CRLF form of a file, made independently of sign.sh.
crlf_form() {
    python3 -c 'import sys; d = open(sys.argv[1], "rb").read(); sys.stdout.buffer.write(d.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n"))' "$1"
}
# Whether every line of a file ends in CRLF.
crlf_throughout() {
    python3 -c 'import sys; d = open(sys.argv[1], "rb").read(); sys.exit(b"\n" in d.replace(b"\r\n", b""))' "$1"
}

failures=0
target=$exe
# expect NAME WANTED_STATUS ENV... : runs sign.sh on target with only ENV set.
expect() {
    local name=$1 wanted=$2 status=0 out=signed.${target##*.}
    shift 2
    env -u SIGN_CERT -u SIGN_KEY -u SIGN_PFX -u SIGN_PASS -u SIGN_TSA -u SIGN_PKCS11_MODULE -u SIGN_TEST "$@" \
        "$sign" "$target" "$out" >output.txt 2>&1 || status=$?
    if [ "$status" = 0 ] && [ -s "$out" ] && ! osslsigncode verify -in "$out" -CAfile signer.pem \
            >verify.txt 2>&1; then
        status=verify-failed
    fi
    # The signed file is exactly the built one plus a signature; a script's
    # body is the built one's CRLF form, and the whole file is CRLF text.
    local built=$target
    if [ "${target##*.}" = ps1 ]; then
        crlf_form "$target" >crlf.ps1
        built=crlf.ps1
        if [ "$status" = 0 ] && ! crlf_throughout "$out"; then
            status=not-crlf-throughout
        fi
    fi
    if [ "$status" = 0 ] && ! { osslsigncode remove-signature -in "$out" -out "unsigned.${target##*.}" >/dev/null &&
            cmp -s "unsigned.${target##*.}" "$built" && (sha256sum --check --status "$out.sha256"); }; then
        status=not-the-built-file
    fi
    if grep -qE 'PRIVATE KEY|'"$password|$pin" output.txt; then
        status=leaked-secret
    fi
    if { [ "$wanted" = 0 ] && [ "$status" != 0 ]; } || { [ "$wanted" != 0 ] && [ "$status" = 0 ]; } ||
        { [ "$wanted" != 0 ] && [ -e "$out" ]; } || [ "$status" = leaked-secret ]; then
        echo "FAILED $name: status $status"
        cat output.txt
        failures=$((failures + 1))
    else
        echo "ok     $name"
    fi
    rm -f "$out" "$out.sha256" "unsigned.${target##*.}" crlf.ps1
}

test=SIGN_TEST=1
expect "PEM certificate and key"            0 $test SIGN_CERT=signer.pem SIGN_KEY=signer.key
expect "PKCS#12 with its password"          0 $test SIGN_PFX=signer.pfx SIGN_PASS="$password"
expect "key on a PKCS#11 token"             0 $test SIGN_PKCS11_MODULE=$token SIGN_CERT=signer.pem \
                                              SIGN_KEY="$token_key" SIGN_PASS="$pin"
expect "no credentials"                     1 $test
expect "certificate without key"            1 $test SIGN_CERT=signer.pem
expect "key of another certificate"         1 $test SIGN_CERT=signer.pem SIGN_KEY=stranger.key
expect "wrong PKCS#12 password"             1 $test SIGN_PFX=signer.pfx SIGN_PASS=wrong
expect "PKCS#12 without password"           1 $test SIGN_PFX=signer.pfx
expect "missing certificate file"           1 $test SIGN_CERT=nowhere.pem SIGN_KEY=signer.key
expect "wrong token PIN"                    1 $test SIGN_PKCS11_MODULE=$token SIGN_CERT=signer.pem \
                                              SIGN_KEY="$token_key" SIGN_PASS=wrong-pin
expect "token key given as a file"          1 $test SIGN_PKCS11_MODULE=$token SIGN_CERT=signer.pem SIGN_KEY=signer.key
expect "release signing without timestamp"  1 SIGN_CERT=signer.pem SIGN_KEY=signer.key
expect "timestamp server that is not there" 1 SIGN_CERT=signer.pem SIGN_KEY=signer.key SIGN_TSA=http://127.0.0.1:9/
target=$script
expect "a PowerShell script"                0 $test SIGN_CERT=signer.pem SIGN_KEY=signer.key
# The same script with LF line ends, and with LF and CRLF lines mixed; the
# input itself stays as it was.
tr -d '\r' <"$script" >lf.ps1
awk '{ sub(/\r$/, ""); printf "%s%s\n", $0, (NR % 2 ? "\r" : "") }' "$script" >mixed.ps1
cp lf.ps1 lf.before && cp mixed.ps1 mixed.before
target=lf.ps1
expect "a script with LF line ends"         0 $test SIGN_CERT=signer.pem SIGN_KEY=signer.key
target=mixed.ps1
expect "a script with mixed line ends"      0 $test SIGN_CERT=signer.pem SIGN_KEY=signer.key
if cmp -s lf.ps1 lf.before && cmp -s mixed.ps1 mixed.before; then
    echo "ok     the scripts signed are left as they were"
else
    echo "FAILED the scripts signed are left as they were"
    failures=$((failures + 1))
fi
printf '\xff\xfe#\0\r\0\n\0' >utf16.ps1
target=utf16.ps1
expect "a UTF-16 script"                    1 $test SIGN_CERT=signer.pem SIGN_KEY=signer.key

# With no arguments, the whole kit in dist: the executable and every script.
mkdir -p kit/dist kit/tools
cp "$sign" kit/ && cp "$(dirname "$sign")/tools/write-sha256.cmake" kit/tools/
cp "$exe" "$script" kit/dist/
name=$(basename "$script" .ps1)
if env -u SIGN_PFX -u SIGN_PASS -u SIGN_TSA -u SIGN_PKCS11_MODULE SIGN_TEST=1 SIGN_CERT=signer.pem SIGN_KEY=signer.key \
        kit/sign.sh >output.txt 2>&1 &&
    osslsigncode verify -in kit/dist/DownloadsPermissions.signed.exe -CAfile signer.pem >/dev/null 2>&1 &&
    osslsigncode verify -in "kit/dist/$name.signed.ps1" -CAfile signer.pem >/dev/null 2>&1 &&
    crlf_throughout "kit/dist/$name.signed.ps1" &&
    (cd kit/dist && sha256sum --check --status "$name.signed.ps1.sha256"); then
    echo "ok     the whole kit"
else
    echo "FAILED the whole kit"
    cat output.txt
    failures=$((failures + 1))
fi

# The kit signed for the acceptance on Windows: every signed copy is CRLF text
# where it is a script and verifies against the certificate left beside the
# acceptance, never in the kit, and nothing holds a key.
mkdir -p for-acceptance/dist
cp "$exe" "$script" for-acceptance/dist/
if "$(dirname "$0")/../acceptance/sign-kit-for-acceptance.sh" "$PWD/for-acceptance/dist" "$PWD/for-acceptance/acceptance-kit" >output.txt 2>&1 &&
    openssl x509 -inform der -in for-acceptance/acceptance-kit/test-signer.cer -out shipped.pem 2>/dev/null &&
    osslsigncode verify -in for-acceptance/dist/DownloadsPermissions.signed.exe -CAfile shipped.pem >/dev/null 2>&1 &&
    osslsigncode verify -in "for-acceptance/dist/$name.signed.ps1" -CAfile shipped.pem >/dev/null 2>&1 &&
    crlf_throughout "for-acceptance/dist/$name.signed.ps1" && [ -z "$(find for-acceptance/dist -name '*.cer')" ] &&
    ! grep -rlqE 'PRIVATE KEY' for-acceptance && [ -z "$(find for-acceptance -name '*.key' -o -name '*.pfx' -o -name '*.p12')" ]; then
    echo "ok     the kit signed for the acceptance"
else
    echo "FAILED the kit signed for the acceptance"
    cat output.txt
    failures=$((failures + 1))
fi
[ "$failures" = 0 ]
