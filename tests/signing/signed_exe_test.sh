#!/bin/bash
# A signed KORVANTHELM.exe, made with a throw-away self-signed certificate the
# way the build signs (cmake/sign-exe.sh):
#   - `korvanthelm-pack verify` names the signer and accepts the signed exe,
#     and reports the unsigned one as not signed (both exit 0);
#   - the signed exe is the unsigned one plus the signature, and signing the
#     same exe again with the same SOURCE_DATE_EPOCH gives the same bytes;
#   - a PKCS#12 file works as well as PEM certificate + key, and a timestamp
#     server that does not answer fails the signing;
#   - one byte changed after signing, in the package, in the code or in the
#     signature itself, is refused (exit 1) with the line that says why;
#   - with --wine, the signed exe still does its main job under Wine.
#
#   signed_exe_test.sh --exe UNSIGNED --packer PATH --osslsigncode PATH --openssl PATH
#                      --sign-script PATH --objdump PATH --work DIR
#                      [--wine WINE_RUN WATCHER]
set -euo pipefail

exe="" packer="" osslsigncode="" openssl="" sign_script="" objdump="" work=""
wine_run="" watcher=""
while [[ $# -gt 0 ]]; do
    case "$1" in
        --exe) exe=$2; shift 2 ;;
        --packer) packer=$2; shift 2 ;;
        --osslsigncode) osslsigncode=$2; shift 2 ;;
        --openssl) openssl=$2; shift 2 ;;
        --sign-script) sign_script=$2; shift 2 ;;
        --objdump) objdump=$2; shift 2 ;;
        --work) work=$2; shift 2 ;;
        --wine) wine_run=$2; watcher=$3; shift 3 ;;
        *) echo "unknown argument $1" >&2; exit 2 ;;
    esac
done
for tool in "$packer" "$osslsigncode" "$openssl" "$objdump"; do
    [[ -x "$tool" ]] || { echo "FAIL: missing program '$tool' (scripts/install-deps.sh)" >&2; exit 1; }
done

rm -rf "$work"
mkdir -p "$work"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
le32() { od -An -tu4 --endian=little -j "$2" -N4 "$1" | tr -d ' '; }

# The key is protected by a password that reaches openssl and the signing
# step through the environment only, as in a release build.
export KORVANTHELM_SIGN_PASSWORD="test-only-$$-$RANDOM"
signer="KORVANTHELM signing test $$"
"$openssl" req -x509 -newkey rsa:2048 -sha256 -days 2 -subj "/CN=$signer" \
    -keyout "$work/key.pem" -out "$work/cert.pem" -passout env:KORVANTHELM_SIGN_PASSWORD \
    2>"$work/openssl.log" || { cat "$work/openssl.log"; exit 1; }
"$openssl" pkcs12 -export -in "$work/cert.pem" -inkey "$work/key.pem" -out "$work/cert.p12" \
    -passin env:KORVANTHELM_SIGN_PASSWORD -passout env:KORVANTHELM_SIGN_PASSWORD \
    2>>"$work/openssl.log" || { cat "$work/openssl.log"; exit 1; }

cp "$exe" "$work/unsigned.exe"
signed="$work/KORVANTHELM.exe"
export SOURCE_DATE_EPOCH=$(date +%s)
bash "$sign_script" --osslsigncode "$osslsigncode" --cert "$work/cert.pem" --key "$work/key.pem" \
    --packer "$packer" "$work/unsigned.exe" "$signed"
bash "$sign_script" --osslsigncode "$osslsigncode" --cert "$work/cert.pem" --key "$work/key.pem" \
    "$work/unsigned.exe" "$work/again.exe"
bash "$sign_script" --osslsigncode "$osslsigncode" --cert "$work/cert.p12" \
    "$work/unsigned.exe" "$work/pkcs12.exe"
# A timestamp server that cannot be reached fails the signing: no release
# goes out without the timestamp it was configured with. (Loopback only.)
if bash "$sign_script" --osslsigncode "$osslsigncode" --cert "$work/cert.p12" \
        --timestamp http://127.0.0.1:9/ "$work/unsigned.exe" "$work/timestamped.exe" \
        >"$work/timestamp.log" 2>&1 || ! grep -qF 127.0.0.1:9 "$work/timestamp.log" ||
    [[ -e "$work/timestamped.exe" ]]; then
    fail "signing with an unreachable timestamp server did not fail on it"
    sed 's/^/  | /' "$work/timestamp.log"
fi
unset KORVANTHELM_SIGN_PASSWORD SOURCE_DATE_EPOCH

cmp -s "$signed" "$work/again.exe" || fail "two signings with one SOURCE_DATE_EPOCH differ"
"$osslsigncode" remove-signature -in "$signed" -out "$work/stripped.exe" >/dev/null
cmp "$work/stripped.exe" "$work/unsigned.exe" || fail "the signed exe without its signature is not the unsigned exe"

# verify FILE EXPECTED_STATUS EXPECTED_LINE: the status and one exact line of its output.
verify() {
    local status=0
    "$packer" verify "$1" >"$work/verify.out" 2>&1 || status=$?
    if [[ $status -ne $2 ]] || ! grep -qxF -- "$3" "$work/verify.out"; then
        fail "verify $(basename "$1"): exit $status, expected $2 and the line: $3"
        sed 's/^/  | /' "$work/verify.out"
    fi
}
verify "$signed" 0 "Signature: Authenticode, SHA256, signer CN=$signer"
verify "$signed" 0 "Signature: valid, the file is unchanged since signing (certificate not checked against a trust store)"
verify "$work/pkcs12.exe" 0 "Signature: Authenticode, SHA256, signer CN=$signer"
verify "$work/unsigned.exe" 0 "Signature: none, the executable is not signed"

# Where to change one byte.
section() {  # prints "file-offset size" of the section named $1
    local index name size _vma _lma offset _
    while read -r index name size _vma _lma offset _; do
        if [[ "$index" =~ ^[0-9]+$ && "$name" == "$1" ]]; then
            echo "$((16#$offset)) $((16#$size))"
        fi
    done < <("$objdump" -h "$signed")
}
read -r rsrc rsrc_size < <(section .rsrc)
read -r text _ < <(section .text)
envelope=$(grep -obUaF KTSETUP1 "$signed" | cut -d: -f1 |
           awk -v a="$rsrc" -v n="$rsrc_size" '$1 >= a && $1 < a + n { print; exit }')
[[ -n "$envelope" ]] || { echo "FAIL: no package envelope in .rsrc" >&2; exit 1; }
pe=$(le32 "$signed" 60)
table=$(le32 "$signed" $((pe + 24 + 112 + 32)))  # PE32+ (x64): data directory 4
# The PKCS #7 DER follows the 8-byte WIN_CERTIFICATE header: 30 82 <length>.
der_length=$(od -An -tu1 -j $((table + 10)) -N2 "$signed" | awk '{ print $1 * 256 + $2 }')
signature_end=$((table + 8 + 4 + der_length - 1))  # the last byte of the signer's signature

changed="was changed after it was signed"
cases=(
    # where              offset                 expected refusal
    "package-resource    $((envelope + 100))    refused: the file $changed"
    "code                $((text + 256))        refused: the file $changed"
    "signature-value     $signature_end         refused: the signature does not verify with the signer's certificate"
)
for case in "${cases[@]}"; do
    read -r name offset expected <<<"$case"
    tampered="$work/tampered-$name.exe"
    cp "$signed" "$tampered"
    byte=$(od -An -tu1 -j "$offset" -N1 "$tampered" | tr -d ' ')
    printf "\\x$(printf %02x $((byte ^ 0xFF)))" |
        dd of="$tampered" bs=1 seek="$offset" conv=notrunc status=none
    status=0
    "$packer" verify "$tampered" >"$work/verify.out" 2>&1 || status=$?
    if [[ $status -ne 1 ]] || ! grep -qF -- "korvanthelm-pack: $expected" "$work/verify.out"; then
        fail "$name changed at $offset: exit $status, expected 1 and: $expected"
        sed 's/^/  | /' "$work/verify.out"
    fi
done

if [[ -n "$wine_run" ]]; then
    # A private world, as scripts/demo.sh runs the product: its first run
    # unpacks and installs, and must end with exit code 0 and no message box.
    world="$work/world"
    mkdir -p "$world/Temp" "$world/Roaming" "$world/Local"
    winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
    status=0
    messages=$(KORVANTHELM_WINE_PLAIN=1 "$wine_run" "$watcher" \
        --env "TEMP=$(winpath "$world/Temp")" --env "TMP=$(winpath "$world/Temp")" \
        --env "APPDATA=$(winpath "$world/Roaming")" --env "LOCALAPPDATA=$(winpath "$world/Local")" \
        -- "$(winpath "$signed")") || status=$?
    if [[ $status -ne 0 || -n "$messages" ]]; then
        fail "the signed exe under Wine: exit code $status, message box: ${messages:-none}"
    fi
    # The demo set-up program logs what it installed: the package was unpacked and run.
    [[ -s "$world/Local/KORVANTHELM/demo.log" ]] || fail "the signed exe under Wine installed nothing"
fi

if [[ $failures -ne 0 ]]; then
    echo "$failures check(s) failed"
    exit 1
fi
rm -rf "$work"
echo "signed exe: signing, verify, tampering${wine_run:+ and the run under Wine} as expected"
