#!/bin/bash
# Signs an executable with Authenticode (SHA-256) through osslsigncode; the
# build's signing step for KORVANTHELM.exe, and what the signing test uses.
#
#   sign-exe.sh --osslsigncode PATH --cert FILE [--key FILE] [--timestamp URL]
#               [--packer PATH] IN OUT
#
# --cert is a PEM certificate (chain) with --key its PEM private key, or, with
# no --key, a PKCS#12 file holding both. The password of the key or of the
# PKCS#12 file is read from the environment variable KORVANTHELM_SIGN_PASSWORD
# only, and handed to osslsigncode through a pipe (-readpass /dev/fd/N): it
# never appears on a command line, where any user could read it in ps, nor in
# a file. Only options osslsigncode 2.5 (Debian 12) has are used.
#
# The signature's signing time is SOURCE_DATE_EPOCH when that is set (then the
# same executable, certificate and RSA key give the same signed bytes), else
# the time of signing. --timestamp adds an RFC 3161 timestamp from that server
# (which makes every signature different). With --packer the signed file must
# pass `korvanthelm-pack verify` before it replaces OUT.
set -euo pipefail

usage() {
    echo "usage: $0 --osslsigncode PATH --cert FILE [--key FILE] [--timestamp URL]" \
         "[--packer PATH] IN OUT" >&2
    exit 2
}
osslsigncode="" cert="" key="" timestamp="" packer=""
positional=()
while [[ $# -gt 0 ]]; do
    case "$1" in
        --osslsigncode) osslsigncode=$2; shift 2 ;;
        --cert) cert=$2; shift 2 ;;
        --key) key=$2; shift 2 ;;
        --timestamp) timestamp=$2; shift 2 ;;
        --packer) packer=$2; shift 2 ;;
        -*) usage ;;
        *) positional+=("$1"); shift ;;
    esac
done
[[ ${#positional[@]} -eq 2 && -n "$osslsigncode" && -n "$cert" ]] || usage
in=${positional[0]}
out=${positional[1]}

args=(sign -h sha256)
if [[ -n "$key" ]]; then
    args+=(-certs "$cert" -key "$key")
else
    args+=(-pkcs12 "$cert")
fi
[[ -z "${SOURCE_DATE_EPOCH:-}" ]] || args+=(-time "$SOURCE_DATE_EPOCH")
[[ -z "$timestamp" ]] || args+=(-ts "$timestamp")

# Written next to OUT and renamed: a failed signing leaves no half-signed
# file, and no signed copy of an older build beside the new unsigned one.
partial="$out.signing"
rm -f "$partial" "$out"
trap 'rm -f "$partial"' EXIT
status=0
if [[ -n "${KORVANTHELM_SIGN_PASSWORD:-}" ]]; then
    # printf is a shell builtin: the password is in no process's arguments.
    "$osslsigncode" "${args[@]}" -readpass <(printf '%s' "$KORVANTHELM_SIGN_PASSWORD") \
        -in "$in" -out "$partial" >/dev/null || status=$?
else
    "$osslsigncode" "${args[@]}" -in "$in" -out "$partial" </dev/null >/dev/null || status=$?
fi
if [[ $status -ne 0 ]]; then
    echo "sign-exe.sh: osslsigncode could not sign $in (a key with a password needs" \
         "KORVANTHELM_SIGN_PASSWORD in the environment of the build)" >&2
    exit 1
fi
if [[ -n "$packer" ]]; then
    "$packer" verify "$partial" >/dev/null
fi
chmod --reference="$in" "$partial"
mv -f "$partial" "$out"
