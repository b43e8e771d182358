#!/bin/bash
# The Windows tools archive, used the way a studio's Windows build machine
# uses it: unpacked into a folder of its own, and only that copy's
# korvanthelm-pack.exe (finding its stub beside itself), run under Wine,
# builds KORVANTHELM.exe from the demo tree and from the mixed tree. The
# Linux packer's verify must accept both; each then runs under plain Wine
# (no Compression API): the demo's set-up program installs the launcher and
# jar byte for byte, and what the probe found unpacked must be the mixed tree
# byte for byte.
#
#   windows_packer_test.sh --archive ZIP --demo-tree TREE --mixed-tree TREE --jar JAR
#                          --linux-packer PACKER --work DIR --wine WINE_RUN WATCHER
set -euo pipefail

archive="" demo="" mixed="" jar="" linux_packer="" work="" wine_run="" watcher=""
while [[ $# -gt 0 ]]; do
    case "$1" in
        --archive) archive=$2; shift 2 ;;
        --demo-tree) demo=$2; shift 2 ;;
        --mixed-tree) mixed=$2; shift 2 ;;
        --jar) jar=$2; shift 2 ;;
        --linux-packer) linux_packer=$2; shift 2 ;;
        --work) work=$2; shift 2 ;;
        --wine) wine_run=$2; watcher=$3; shift 3 ;;
        *) echo "windows_packer_test.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
# Windows spellings of Linux paths: backslashes, and forward slashes, which
# the packer must take as well.
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
slashpath() { printf 'Z:%s' "$1"; }

rm -rf "$work"
mkdir -p "$work"
name=$(basename "$archive" .zip)
listing=$(python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' \
    "$archive")
for member in korvanthelm-pack.exe korvanthelm-stub.exe korvanthelm-selftest.exe README.md \
              copyright.txt docs/setup-program.md docs/windows.md docs/signing.md; do
    grep -qxF -- "$name/$member" <<<"$listing" || fail "the archive lacks $name/$member"
done
! grep -q 'developers' <<<"$listing" || fail "the archive ships the developers' pages"
root="$work/unpacked somewhere"
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' \
    "$archive" "$root"
packer="$root/$name/korvanthelm-pack.exe"

# build_with_windows_packer NAME TREE [ARGS...]: $work/NAME/KORVANTHELM.exe
build_with_windows_packer() {
    local label=$1 tree=$2
    shift 2
    mkdir -p "$work/$label"
    if ! "$wine_run" "$packer" build "$(winpath "$tree")" -o "$(slashpath "$work/$label/KORVANTHELM.exe")" \
        "$@" >"$work/$label/build.log" 2>&1; then
        cat "$work/$label/build.log"
        fail "korvanthelm-pack.exe could not build from the $label tree"
        return
    fi
    echo "korvanthelm-pack.exe build ($label):"
    sed 's/^/  /' "$work/$label/build.log"
    "$linux_packer" verify "$work/$label/KORVANTHELM.exe" --stub "$root/$name/korvanthelm-stub.exe" \
        >"$work/$label/verify.log" 2>&1 \
        || { cat "$work/$label/verify.log"; fail "the Linux packer's verify refuses the $label exe"; }
    "$wine_run" "$packer" verify "$(winpath "$work/$label/KORVANTHELM.exe")" \
        >"$work/$label/verify-windows.log" 2>&1 \
        || { cat "$work/$label/verify-windows.log"; fail "korvanthelm-pack.exe verify refuses the $label exe"; }
}

# run_plain NAME [--env X=Y...]: the exe under plain Wine; fails on a message or exit code.
run_plain() {
    local label=$1
    shift
    local world="$work/$label/world" status=0 messages
    mkdir -p "$world/Temp" "$world/Roaming" "$world/Local"
    messages=$(KORVANTHELM_WINE_PLAIN=1 "$wine_run" "$watcher" \
        --env "TEMP=$(winpath "$world/Temp")" --env "TMP=$(winpath "$world/Temp")" \
        --env "APPDATA=$(winpath "$world/Roaming")" --env "LOCALAPPDATA=$(winpath "$world/Local")" \
        "$@" -- "$(winpath "$work/$label/KORVANTHELM.exe")") || status=$?
    if [[ $status -ne 0 || -n "$messages" ]]; then
        fail "the $label exe under plain Wine: exit code $status, message box: ${messages:-none}"
    fi
    [[ -z "$(ls -A "$world/Temp")" ]] || fail "the $label exe left its work directory in TEMP"
}

build_with_windows_packer demo "$demo"
if [[ -f "$work/demo/KORVANTHELM.exe" ]]; then
    run_plain demo
    installed="$work/demo/world/Local/KORVANTHELM/Launcher"
    cmp "$demo/KORVANTHELM/launcher/KorvanThelmLauncher.exe" "$installed/KorvanThelmLauncher.exe" \
        || fail "the installed demo launcher is not the tree's"
    cmp "$demo/KORVANTHELM/launcher/app/KorvanThelm.jar" "$installed/app/KorvanThelm.jar" \
        || fail "the installed demo jar is not the tree's"
fi

build_with_windows_packer mixed "$mixed" \
    --launcher-exe "$(winpath "$mixed/KORVANTHELM/KORVANTHELM.exe")" --launcher-jar "$(winpath "$jar")"
if [[ -f "$work/mixed/KORVANTHELM.exe" ]]; then
    run_plain mixed --env "KORVANTHELM_PROBE_REPORT=$(winpath "$work/mixed/world/report.txt")" \
        --env "KORVANTHELM_PROBE_COPY=$(winpath "$work/mixed/world/unpacked")"
    if ! diff -r "$mixed" "$work/mixed/world/unpacked" >"$work/mixed/diff.log"; then
        fail "what was unpacked differs from the mixed tree:"
        head -20 "$work/mixed/diff.log"
    fi
fi

# verify asks Windows about a signature (signed here with osslsigncode and a
# certificate made for the test): the signer and the verdict are shown, and
# a signed exe changed afterwards is refused with the Linux packer's words,
# digests and all.
if [[ -f "$work/demo/KORVANTHELM.exe" ]]; then
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
        -days 30 -subj "/CN=KorvanThelm Test Signer/O=Test" >/dev/null 2>&1
    osslsigncode sign -h sha256 -certs "$work/cert.pem" -key "$work/key.pem" \
        -in "$work/demo/KORVANTHELM.exe" -out "$work/signed.exe" >/dev/null
    "$wine_run" "$packer" verify "$(winpath "$work/signed.exe")" >"$work/signed.log" 2>&1 \
        || fail "korvanthelm-pack.exe verify refuses the signed exe: $(cat "$work/signed.log")"
    grep -q "^Signature: Authenticode, SHA256, signer .*KorvanThelm Test Signer" "$work/signed.log" \
        || fail "no signer in: $(cat "$work/signed.log")"
    grep -q "^Signature: valid, the file is unchanged since signing, .*certificate" "$work/signed.log" \
        || fail "no verdict with the certificate's trust in: $(cat "$work/signed.log")"
    "$wine_run" "$packer" verify "$(winpath "$work/signed.exe")" --json >"$work/signed.json" 2>/dev/null \
        || fail "korvanthelm-pack.exe verify --json refuses the signed exe"
    python3 -c 'import json, sys; s = json.load(open(sys.argv[1]))["signature"]
assert s["state"] == "valid" and isinstance(s["trusted_root"], bool), s' "$work/signed.json" \
        || fail "verify --json gives no state and trusted_root: $(cat "$work/signed.json")"
    cp "$work/signed.exe" "$work/tampered.exe"
    printf 'A' | dd of="$work/tampered.exe" bs=1 seek=5001 conv=notrunc 2>/dev/null
    status=0
    "$wine_run" "$packer" verify "$(winpath "$work/tampered.exe")" >/dev/null 2>"$work/tampered.err" \
        || status=$?
    "$linux_packer" verify "$work/tampered.exe" --stub "$root/$name/korvanthelm-stub.exe" \
        >/dev/null 2>"$work/tampered-linux.err" || true
    [[ $status -eq 1 && "$(cat "$work/tampered.err")" == "$(cat "$work/tampered-linux.err")" ]] \
        || fail "a signed exe changed afterwards: exit code $status, \"$(cat "$work/tampered.err")\"," \
                "not the Linux packer's \"$(cat "$work/tampered-linux.err")\""
    grep -q "changed after it was signed" "$work/tampered-linux.err" \
        || fail "the Linux packer does not refuse the changed exe: $(cat "$work/tampered-linux.err")"
fi

# A refusal names a Windows path as it was given, backslashes and all.
mkdir -p "$work/empty-tree"
status=0
"$wine_run" "$packer" pack "$(winpath "$work/empty-tree")" -o "$(winpath "$work/empty.bin")" \
    >/dev/null 2>"$work/empty.err" || status=$?
expected="korvanthelm-pack: no files in \"$(winpath "$work/empty-tree")\": a package needs at least one"
[[ $status -eq 1 && "$(cat "$work/empty.err")" == "$expected" ]] \
    || fail "an empty tree: exit code $status, \"$(cat "$work/empty.err")\", not \"$expected\""

# The system's LZMS compressor, as the stand-in cabinet.dll plays it. None at
# all (plain Wine, or a Windows before 8), one that copies its input (newer
# Wine's stub) and one that makes garbage: build is refused in one line before
# any file is read into the package, and nothing is written. One whose blocks
# never fit (the stand-in's default) gives a valid exe of stored chunks with a
# warning, as the demo build above showed; --strict refuses that.
# refused_compressor LABEL EXPECTED_LINE [VARIABLE=VALUE...] [-- PACKER ARGS...]
refused_compressor() {
    local label=$1 expected=$2 status=0 variables=() extra=()
    shift 2
    while [[ $# -gt 0 && $1 != -- ]]; do variables+=("$1"); shift; done
    [[ $# -gt 0 ]] && { shift; extra=("$@"); }
    mkdir -p "$work/$label"
    env "${variables[@]}" "$wine_run" "$packer" build "$(winpath "$demo")" \
        -o "$(winpath "$work/$label/KORVANTHELM.exe")" "${extra[@]}" \
        >"$work/$label/out.log" 2>"$work/$label/err.log" || status=$?
    [[ $status -eq 1 ]] || fail "$label: exit code $status, not 1"
    [[ "$(tail -n 1 "$work/$label/err.log")" == "$expected" ]] \
        || fail "$label: \"$expected\" is not the last line of: $(cat "$work/$label/err.log")"
    [[ -z "$(ls -A "$work/$label" | grep -v '^\(out\|err\)\.log$')" ]] \
        || fail "$label: left behind: $(ls -A "$work/$label")"
}
# The closing line names the output as it was given, backslashes and all.
mkdir -p "$work/backslashes"
"$wine_run" "$packer" build "$(winpath "$demo")" -o "$(winpath "$work/backslashes/KORVANTHELM.exe")" \
    >/dev/null 2>"$work/backslashes/err.log" || fail "a build to a path with backslashes failed"
grep -qF "korvanthelm-pack: built $(winpath "$work/backslashes/KORVANTHELM.exe"), " \
    "$work/backslashes/err.log" || fail "the output's name is not as given: $(cat "$work/backslashes/err.log")"
grep -qxF "korvanthelm-pack: warning: the LZMS compressor compressed nothing (Wine has none of its \
own): every chunk is stored as it is, so the package is as large as its files" "$work/demo/build.log" \
    || fail "the demo build does not say that the stand-in compressed nothing"
refused_compressor no-compressor "korvanthelm-pack: this Windows has no LZMS compressor: cabinet.dll \
in System32 lacks the Compression API, which came with Windows 8" KORVANTHELM_WINE_PLAIN=1
for mode in copy garbage; do
    refused_compressor "$mode-compressor" "korvanthelm-pack: the LZMS compressor makes blocks that do \
not decode to their input (newer Wine's stub copies instead of compressing): no package can be made \
with it" KORVANTHELM_STANDIN_COMPRESS=$mode
done
refused_compressor strict-stored "korvanthelm-pack: refused (--strict): the LZMS compressor \
compressed nothing (Wine has none of its own): every chunk is stored as it is, so the package is as \
large as its files" -- --strict

# Signing on Windows: key files, PKCS#12 and tokens are refused in one line,
# before any work; a signing command runs through cmd.exe with the unsigned
# and the signed file as its last two arguments ("copy /b" signs nothing,
# which the packer must notice). Nothing is left where the output goes.
# refused_sign LABEL only|last EXPECTED_TEXT ARGS...: exit 1, the only line on
# stderr (refused before any work) or its last line (a warning about the tree
# came before it) holding the text.
refused_sign() {
    local label=$1 which=$2 expected=$3 status=0
    shift 3
    mkdir -p "$work/$label"
    "$wine_run" "$packer" build "$(winpath "$demo")" -o "$(winpath "$work/$label/KORVANTHELM.exe")" \
        "$@" >"$work/$label/out.log" 2>"$work/$label/err.log" || status=$?
    [[ $status -eq 1 ]] || fail "$label: exit code $status, not 1"
    [[ $which == last || $(wc -l <"$work/$label/err.log") -eq 1 ]] \
        || fail "$label: not refused in one line before any work: $(cat "$work/$label/err.log")"
    tail -n 1 "$work/$label/err.log" | grep -qF -- "$expected" \
        || fail "$label: \"$expected\" not in: $(cat "$work/$label/err.log")"
    [[ -z "$(ls -A "$work/$label" | grep -v '^\(out\|err\)\.log$')" ]] \
        || fail "$label: left behind: $(ls -A "$work/$label")"
}
refused_sign key-file only "korvanthelm-pack: signing with a key file, a PKCS#12 file or a PKCS#11 token \
is a Linux feature: on Windows sign with --sign-command (signtool, or a cloud signer's client)" \
    --sign-cert "$(winpath "$work/cert.pem")" --sign-key "$(winpath "$work/key.pem")"
refused_sign pkcs12 only "is a Linux feature: on Windows sign with --sign-command" \
    --sign-cert "$(winpath "$work/cert.p12")"
refused_sign sign-command last "korvanthelm-pack: what the signing command \"copy /b\" made carries \
no signature that verifies" --sign-command "copy /b"
refused_sign failing-command last "korvanthelm-pack: the signing command \"exit 7\" failed (exit 7)" \
    --sign-command "exit 7"

if [[ $failures -ne 0 ]]; then
    echo "$failures check(s) failed"
    exit 1
fi
rm -rf "$work"
echo "the unpacked Windows tools built exes that the Linux packer verifies and that unpacked" \
     "byte for byte under plain Wine"
