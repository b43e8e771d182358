#!/bin/bash
# KORVANTHELM.exe signed by `korvanthelm-pack build`, with throw-away keys the
# test makes:
#   - key files (PEM certificate + key, and PKCS#12), and a key generated
#     inside a SoftHSM2 token (never extractable) named by a pkcs11: URI; the
#     PIN reaches the packer through KORVANTHELM_SIGN_PASSWORD and appears in
#     no program's arguments (strace of every execve), the password in neither
#     osslsigncode run's environment;
#   - before any compression, each in one line of the packer's own: a
#     token key without its PIN, a PKCS#11 module that does not load, a
#     certificate of another key (PEM, or a token's key read without the
#     PIN), a malformed timestamp URL;
#   - a wrong password or PIN, a signing time outside the certificate's
#     validity, unreachable timestamp servers and a failing or cheating
#     signing command each fail in one line, write nothing and leave no
#     signing copy behind; a SOURCE_DATE_EPOCH beyond any certificate date
#     is named, not a crash; a command of the release engineer's own signs,
#     gets no stray copy of the packer's output pipe, and may leave a helper
#     running without holding build up;
#   - the unsigned PE files of the tree are named, the set-up program first
#     wherever it sorts, a program changed after signing among them;
#     --require-signed-tree refuses them and accepts the tree once they are
#     signed;
#   - `korvanthelm-pack verify` and osslsigncode accept the signed exes, and
#     verify reports the unsigned one as not signed;
#   - the signed exe is the unsigned one plus the signature, and signing again
#     with the same SOURCE_DATE_EPOCH gives the same bytes;
#   - one byte changed after signing, in the package, in the code or in the
#     signature itself, is refused (exit 1) with the line that says why;
#   - with --wine, the token-signed exe still does its main job under Wine.
#
#   signed_exe_test.sh --exe UNSIGNED --tree TREE --stub STUB --packer PATH
#                      --osslsigncode PATH --openssl PATH --objdump PATH
#                      --softhsm MODULE --work DIR [--wine WINE_RUN WATCHER]
set -euo pipefail

exe="" tree="" stub="" packer="" osslsigncode="" openssl="" objdump="" softhsm="" work=""
wine_run="" watcher=""
while [[ $# -gt 0 ]]; do
    case "$1" in
        --exe) exe=$2; shift 2 ;;
        --tree) tree=$2; shift 2 ;;
        --stub) stub=$2; shift 2 ;;
        --packer) packer=$2; shift 2 ;;
        --osslsigncode) osslsigncode=$2; shift 2 ;;
        --openssl) openssl=$2; shift 2 ;;
        --objdump) objdump=$2; shift 2 ;;
        --softhsm) softhsm=$2; shift 2 ;;
        --work) work=$2; shift 2 ;;
        --wine) wine_run=$2; watcher=$3; shift 3 ;;
        *) echo "unknown argument $1" >&2; exit 2 ;;
    esac
done
for tool in "$packer" "$osslsigncode" "$openssl" "$objdump" "$(command -v pkcs11-tool)" \
            "$(command -v softhsm2-util)" "$(command -v strace)"; do
    [[ -x "$tool" ]] || { echo "FAIL: missing program '$tool' (scripts/install-deps.sh)" >&2; exit 1; }
done
[[ -f "$softhsm" ]] || { echo "FAIL: no SoftHSM2 module at $softhsm" >&2; exit 1; }

umount "$work/full-disk" 2>/dev/null || true  # left mounted by a run that was killed
rm -rf "$work"
mkdir -p "$work"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
le32() { od -An -tu4 --endian=little -j "$2" -N4 "$1" | tr -d ' '; }

# build OUT [options]: the tree through the packer's build with the stub.
build() {
    local out=$1
    shift
    "$packer" build "$tree" -o "$out" --stub "$stub" "$@"
}
# refused WHAT EXPECTED OUT [options]: build must fail with one line holding
# EXPECTED (warnings and progress lines aside) and write nothing.
refused() {
    local what=$1 expected=$2 out=$3 status=0 lines
    shift 3
    build "$out" "$@" >/dev/null 2>"$work/refused.err" || status=$?
    lines=$(grep -v -e ': warning: ' -e ': compressing: ' "$work/refused.err" || true)
    if [[ $status -ne 1 || $(wc -l <<<"$lines") -ne 1 || "$lines" != *"$expected"* || -e "$out" ]]; then
        fail "$what: exit $status, expected 1 and one line with: $expected"
        sed 's/^/  | /' "$work/refused.err"
    fi
}

# The key is protected by a password that reaches openssl and the packer
# through the environment only, as in a release build.
export KORVANTHELM_SIGN_PASSWORD="test-only-$$-$RANDOM"
signer="KORVANTHELM signing test $$"
"$openssl" req -x509 -newkey rsa:2048 -sha256 -days 2 -subj "/CN=$signer" \
    -keyout "$work/key.pem" -out "$work/cert.pem" -passout env:KORVANTHELM_SIGN_PASSWORD \
    2>"$work/openssl.log" || { cat "$work/openssl.log"; exit 1; }
"$openssl" pkcs12 -export -in "$work/cert.pem" -inkey "$work/key.pem" -out "$work/cert.p12" \
    -passin env:KORVANTHELM_SIGN_PASSWORD -passout env:KORVANTHELM_SIGN_PASSWORD \
    2>>"$work/openssl.log" || { cat "$work/openssl.log"; exit 1; }

# The token: SoftHSM2 in a folder of its own, an RSA key made inside it.
export SOFTHSM2_CONF="$work/softhsm2.conf"
mkdir -p "$work/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
    "$work/tokens" >"$SOFTHSM2_CONF"
pin="pin-$$-$RANDOM"
softhsm2-util --init-token --free --label korvanthelm-test --pin "$pin" --so-pin "so-$pin" \
    >"$work/token.log" 2>&1 || { cat "$work/token.log"; exit 1; }
pkcs11-tool --module "$softhsm" --token-label korvanthelm-test --login --pin "$pin" \
    --keypairgen --key-type rsa:2048 --id 01 --label release --sensitive \
    >>"$work/token.log" 2>&1 || { cat "$work/token.log"; exit 1; }
uri="pkcs11:token=korvanthelm-test;object=release;type=private"
# Its certificate, signed by the token's own key through the PKCS#11 engine.
cat >"$work/engine.cnf" <<CNF
openssl_conf = init
[init]
engines = engines
[engines]
pkcs11 = pkcs11
[pkcs11]
engine_id = pkcs11
MODULE_PATH = $softhsm
PIN = $pin
init = 0
CNF
token_signer="KORVANTHELM token test $$"
OPENSSL_CONF="$work/engine.cnf" "$openssl" req -new -x509 -days 2 -sha256 -engine pkcs11 \
    -keyform engine -key "$uri" -subj "/CN=$token_signer" -out "$work/token-cert.pem" \
    >>"$work/token.log" 2>&1 || { cat "$work/token.log"; exit 1; }
rm -f "$work/engine.cnf"
token=(--sign-pkcs11-module "$softhsm" --sign-key "$uri" --sign-cert "$work/token-cert.pem")

build "$work/unsigned.exe" >/dev/null 2>&1
cmp -s "$work/unsigned.exe" "$exe" || fail "build of the tree is not the CMake product"
signed="$work/KORVANTHELM.exe"
export SOURCE_DATE_EPOCH=$(date +%s)
build "$signed" --sign-cert "$work/cert.pem" --sign-key "$work/key.pem" >/dev/null 2>"$work/sign.err" \
    || { cat "$work/sign.err"; fail "signing with PEM files"; }
build "$work/again.exe" --sign-cert "$work/cert.pem" --sign-key "$work/key.pem" >/dev/null 2>&1 \
    || fail "signing again with PEM files"
build "$work/pkcs12.exe" --sign-cert "$work/cert.p12" >/dev/null 2>&1 || fail "signing with PKCS#12"
# The unsigned programs of the tree are named, the set-up program first.
grep -q "warning: the package holds [0-9]* PE files, [0-9]* unsigned: KORVANTHELM/KORVANTHELM.exe" \
    "$work/sign.err" || { fail "no warning naming the unsigned set-up program first"; cat "$work/sign.err"; }

# The token, with its PIN in the environment only, traced: every program the
# packer starts is listed with its arguments. (A sanitizer build's leak check
# cannot run under ptrace.)
ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 KORVANTHELM_SIGN_PASSWORD=$pin strace -f -qq -e trace=execve -s 65536 -o "$work/execve.trace" \
    "$packer" build "$tree" -o "$work/token.exe" --stub "$stub" "${token[@]}" >/dev/null \
    2>"$work/token-sign.err" || { cat "$work/token-sign.err"; fail "signing with the token"; }
grep -q osslsigncode "$work/execve.trace" || fail "the trace shows no osslsigncode"
if grep -qF -- "$pin" "$work/execve.trace"; then fail "the PIN appears in a program's arguments"; fi
"$osslsigncode" verify -in "$work/token.exe" -CAfile "$work/token-cert.pem" >"$work/ossl-verify.log" 2>&1 \
    || { cat "$work/ossl-verify.log"; fail "osslsigncode does not verify the token-signed exe"; }

# Failures, each in one line, nothing written.
refused "a wrong PIN" "the token refused the PIN" "$work/wrong-pin.exe" "${token[@]}"
KORVANTHELM_SIGN_PASSWORD=wrong refused "a wrong key password" "the key refused the password" \
    "$work/wrong-password.exe" --sign-cert "$work/cert.pem" --sign-key "$work/key.pem"
KORVANTHELM_SIGN_PASSWORD=wrong refused "a wrong PKCS#12 password" \
    "the PKCS#12 file refused the password" "$work/wrong-p12.exe" --sign-cert "$work/cert.p12"
# An osslsigncode that ends without reading the password (here a stand-in on
# PATH, the password longer than a pipe holds, so the packer's write is still
# waiting): its failure is named, the packer is not ended by SIGPIPE.
long_password=$(head -c 100000 /dev/zero | tr '\0' p)
LONG_PASSWORD=$long_password "$openssl" pkcs12 -export -in "$work/cert.pem" -inkey "$work/key.pem" \
    -out "$work/long.p12" -passin env:KORVANTHELM_SIGN_PASSWORD -passout env:LONG_PASSWORD \
    2>>"$work/openssl.log" || { cat "$work/openssl.log"; exit 1; }
mkdir -p "$work/deaf-bin"
printf '#!/bin/sh\necho "reads no password"\nexit 1\n' >"$work/deaf-bin/osslsigncode"
chmod +x "$work/deaf-bin/osslsigncode"
PATH=$work/deaf-bin:$PATH KORVANTHELM_SIGN_PASSWORD=$long_password refused \
    "an osslsigncode that reads no password" "osslsigncode could not sign: reads no password" \
    "$work/deaf.exe" --sign-cert "$work/long.p12"
# An osslsigncode that prompts first and says what went wrong last: the last
# line is the detail after ours.
mkdir -p "$work/chatty-bin"
printf '#!/bin/sh\necho "Enter PKCS#11 token PIN for Trial Token:"\necho "the real cause"\nexit 1\n' \
    >"$work/chatty-bin/osslsigncode"
chmod +x "$work/chatty-bin/osslsigncode"
PATH=$work/chatty-bin:$PATH refused "an osslsigncode that prompts before it fails" \
    "osslsigncode could not sign: the real cause" "$work/chatty.exe" --sign-cert "$work/cert.p12"
SOURCE_DATE_EPOCH=946684800 refused "a signing time before the certificate" \
    "is outside the certificate's validity" "$work/too-early.exe" --sign-cert "$work/cert.p12"
# Beyond any date a certificate can hold: named as seconds, not a crash.
SOURCE_DATE_EPOCH=99999999999999999 refused "a signing time beyond the last date" \
    "the signing time 99999999999999999 (SOURCE_DATE_EPOCH) is outside" "$work/too-late.exe" \
    --sign-cert "$work/cert.p12"
# Timestamp servers that cannot be reached (loopback only): each is tried, then refused.
refused "unreachable timestamp servers" "no timestamp server gave a timestamp" "$work/timestamped.exe" \
    --sign-cert "$work/cert.p12" --timestamp-url http://127.0.0.1:9/ --timestamp-url http://127.0.0.1:10/
grep -q "127.0.0.1:9/ failed (attempt 3 of 3)" "$work/refused.err" || fail "the first server was not retried"
# A timestamp step that "succeeds" without adding a timestamp, through a
# stand-in for osslsigncode's "add" (the signed copy unchanged): build checks
# what it adds, so the copy is a failed attempt and is never written (real
# timestamps, good and hostile, are timestamp_test.sh's). The password, which
# timestamping does not need, stays out of its environment: a stand-in that
# saw it would fail for that reason instead.
mkdir -p "$work/stamp-bin"
cat >"$work/stamp-bin/osslsigncode" <<STAMP
#!/bin/bash
[[ \$1 == add ]] || exec "$osslsigncode" "\$@"
[[ -z "\${KORVANTHELM_SIGN_PASSWORD+set}" ]] || { echo "the password reached osslsigncode add"; exit 1; }
while [[ \$# -gt 0 ]]; do
    case \$1 in -in) in=\$2; shift 2 ;; -out) out=\$2; shift 2 ;; *) shift ;; esac
done
exec cp "\$in" "\$out"
STAMP
chmod +x "$work/stamp-bin/osslsigncode"
PATH=$work/stamp-bin:$PATH refused "a timestamp step that adds no timestamp" \
    "http://127.0.0.1:9/: the reply added no RFC 3161 timestamp" "$work/stamped.exe" \
    --sign-cert "$work/cert.p12" --timestamp-url http://127.0.0.1:9/
# A disk that fills while the signer writes its copy (a tmpfs beside the
# output, as root; else skipped): named as such, not as osslsigncode's
# confused ASN.1 words about the key, with nothing left on that disk. Sized
# for the copies written before the one that fails: the unsigned copy (1.5
# exe), then also the signed one (2.5 exe) for the timestamp step.
full_disk() {
    local what=$1 expected=$2 room=$3 disk="$work/full-disk" leftovers
    shift 3
    mkdir -p "$disk"
    if ! mount -t tmpfs -o "size=$(($(stat -c %s "$exe") * room / 2 / 4096 * 4096))" \
        korvanthelm-full-disk "$disk" 2>/dev/null; then
        echo "SKIP: $what (mount -t tmpfs needs root)"
        return
    fi
    refused "$what" "$expected" "$disk/full.exe" "$@"
    grep -q '/full-disk/\.korvanthelm-signing-[^/]*\.exe": No space left on device$' "$work/refused.err" \
        || fail "$what: the copy and the system's reason are not named"
    leftovers=$(ls -A "$disk")
    [[ -z "$leftovers" ]] || fail "$what: left on the disk: $leftovers"
    umount "$disk"
}
full_disk "a full disk while osslsigncode signs" \
    'osslsigncode could not write the signed copy "' 3 \
    --sign-cert "$work/cert.p12"
full_disk "a full disk while a signing command signs" \
    'the signing command "cp" could not write the signed copy "' 3 --sign-command cp
PATH=$work/stamp-bin:$PATH full_disk "a full disk while the timestamp is added" \
    'osslsigncode could not write the timestamped copy "' 5 \
    --sign-cert "$work/cert.p12" --timestamp-url http://127.0.0.1:9/
# The signing run does read the password, through its pipe only: a stand-in
# that refuses to sign while the variable is in its environment, then hands
# over to the real osslsigncode (the pipe, descriptor 3, passes through exec).
mkdir -p "$work/env-bin"
cat >"$work/env-bin/osslsigncode" <<ENV
#!/bin/bash
[[ -z "\${KORVANTHELM_SIGN_PASSWORD+set}" ]] || { echo "the password reached osslsigncode \$1"; exit 1; }
exec "$osslsigncode" "\$@"
ENV
chmod +x "$work/env-bin/osslsigncode"
PATH=$work/env-bin:$PATH build "$work/env.exe" --sign-cert "$work/cert.pem" --sign-key "$work/key.pem" \
    >/dev/null 2>"$work/env.err" || { cat "$work/env.err"; fail "the password in osslsigncode's environment"; }
refused "a failing signing command" 'the signing command "false" failed' "$work/false.exe" \
    --sign-command false
refused "a signing command that signs nothing" "carries no signature that verifies" "$work/cp.exe" \
    --sign-command cp
# A signer of one's own: here osslsigncode with the PKCS#12 file, reading
# the password from the environment through a pipe.
cat >"$work/signer.sh" <<'SIGNER'
#!/bin/bash
exec "$OSSLSIGNCODE" sign -h sha256 -pkcs12 "$P12" -readpass <(printf '%s' "$KORVANTHELM_SIGN_PASSWORD") \
    -in "$1" -out "$2" >/dev/null
SIGNER
OSSLSIGNCODE=$osslsigncode P12=$work/cert.p12 \
    build "$work/command.exe" --sign-command "bash $work/signer.sh" >/dev/null 2>"$work/command.err" \
    || { cat "$work/command.err"; fail "a signing command of one's own"; }
# A signer that signs something else: a copy with one byte of the package
# (the middle of the file) changed carries a signature that verifies, but is
# not the executable it was given.
cat >"$work/altering-signer.sh" <<'SIGNER'
#!/bin/bash
cp "$1" "$ALTERED"
offset=$(( $(stat -c %s "$1") / 2 ))
byte=$(od -An -tu1 -j "$offset" -N1 "$1" | tr -d ' ')
printf "\\x$(printf %02x $((byte ^ 0xFF)))" | dd of="$ALTERED" bs=1 seek="$offset" conv=notrunc status=none
exec bash "$SIGNER" "$ALTERED" "$2"
SIGNER
OSSLSIGNCODE=$osslsigncode P12=$work/cert.p12 SIGNER=$work/signer.sh ALTERED=$work/altered.exe \
    refused "a signing command that signs an altered copy" \
    "is not the executable plus a signature: other bytes changed" "$work/altering.exe" \
    --sign-command "bash $work/altering-signer.sh"
# A signer that leaves a helper running (a signing service's agent), its
# output still the packer's pipe: build must end when the signer does, not
# when the helper does.
cat >"$work/helper-signer.sh" <<'SIGNER'
#!/bin/bash
sleep 30 &
echo $! >"$HELPER_PID"
exec bash "$SIGNER" "$@"
SIGNER
started=$SECONDS
OSSLSIGNCODE=$osslsigncode P12=$work/cert.p12 SIGNER=$work/signer.sh HELPER_PID=$work/helper.pid \
    build "$work/helper.exe" --sign-command "bash $work/helper-signer.sh" >/dev/null 2>"$work/helper.err" \
    || { cat "$work/helper.err"; fail "a signing command that leaves a helper running"; }
(( SECONDS - started < 20 )) || fail "build waited $((SECONDS - started)) s for the signer's helper"
kill "$(cat "$work/helper.pid")" 2>/dev/null || true
# The signer's output reaches it as standard output and error only: a stray
# copy of the pipe's write end, kept by a helper, holds build up just the same.
cat >"$work/descriptor-signer.sh" <<'SIGNER'
#!/bin/bash
output=$(readlink /proc/$$/fd/1)
ls /proc/$$/fd >"$DESCRIPTORS"
while read -r fd; do
    if [[ $fd != [12] && "$(readlink "/proc/$$/fd/$fd")" == "$output" ]]; then
        echo "descriptor $fd is a stray copy of the output pipe"
        exit 1
    fi
done <"$DESCRIPTORS"
exec bash "$SIGNER" "$@"
SIGNER
OSSLSIGNCODE=$osslsigncode P12=$work/cert.p12 SIGNER=$work/signer.sh DESCRIPTORS=$work/descriptors.txt \
    build "$work/descriptors.exe" --sign-command "bash $work/descriptor-signer.sh" >/dev/null \
    2>"$work/descriptors.err" || { cat "$work/descriptors.err"; fail "the signing command inherits a stray descriptor"; }
# Every signing copy is gone again, after the refusals as after the signings.
leftovers=$(find "$work" -maxdepth 1 -name '.korvanthelm-signing-*')
[[ -z "$leftovers" ]] || fail "temporary signing copies left behind: $leftovers"

# --require-signed-tree: refused while the tree has unsigned programs,
# accepted once every PE file in it is signed (found by content, not name).
refused "--require-signed-tree on the unsigned tree" "refused (--require-signed-tree)" \
    "$work/required.exe" --sign-cert "$work/cert.p12" --require-signed-tree
cp -a "$tree" "$work/signed-tree"
while IFS= read -r -d '' file; do
    if [[ "$(head -c 2 "$file")" == MZ ]]; then
        "$osslsigncode" sign -h sha256 -pkcs12 "$work/cert.p12" \
            -readpass <(printf '%s' "$KORVANTHELM_SIGN_PASSWORD") \
            -in "$file" -out "$file.signed" >/dev/null && mv "$file.signed" "$file"
    fi
done < <(find "$work/signed-tree" -type f -print0)
"$packer" build "$work/signed-tree" -o "$work/required.exe" --stub "$stub" \
    --sign-cert "$work/cert.p12" --require-signed-tree >/dev/null 2>"$work/required.err" \
    || { cat "$work/required.err"; fail "--require-signed-tree refuses a tree whose PE files are all signed"; }
# Its near-misses, each one file away from a tree it accepts or refuses:
#   - a program whose signature no longer verifies (one byte of its code
#     changed after signing) is unsigned;
#   - a file that starts with MZ but has no PE headers is no program;
#   - the unsigned programs are named in package order, the set-up program
#     first even where another sorts before it.
setup=KORVANTHELM/KORVANTHELM.exe
cp -a "$work/signed-tree" "$work/tampered-tree"
byte=$(od -An -tu1 -j 1024 -N1 "$work/tampered-tree/$setup" | tr -d ' ')
printf "\\x$(printf %02x $((byte ^ 0xFF)))" |
    dd of="$work/tampered-tree/$setup" bs=1 seek=1024 conv=notrunc status=none
tree=$work/tampered-tree refused "--require-signed-tree on a program changed after signing" \
    "unsigned: $setup" "$work/tampered.exe" --require-signed-tree
cp -a "$work/signed-tree" "$work/mz-tree"
printf 'MZ, but no PE headers follow\n' >"$work/mz-tree/KORVANTHELM/0-notes.exe"
"$packer" build "$work/mz-tree" -o "$work/mz.exe" --stub "$stub" --require-signed-tree \
    >/dev/null 2>"$work/mz.err" || { cat "$work/mz.err"; fail "--require-signed-tree counts a non-PE file"; }
cp -a "$tree" "$work/order-tree"
cp "$tree/$setup" "$work/order-tree/KORVANTHELM/0-tool.exe"
tree=$work/order-tree refused "the set-up program not first in package order" \
    "unsigned: $setup, KORVANTHELM/0-tool.exe" "$work/order.exe" --require-signed-tree
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
verify "$work/token.exe" 0 "Signature: Authenticode, SHA256, signer CN=$token_signer"
verify "$work/command.exe" 0 "Signature: Authenticode, SHA256, signer CN=$signer"
verify "$work/required.exe" 0 "Signature: valid, the file is unchanged since signing (certificate not checked against a trust store)"
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
    # A private world, as scripts/demo.sh runs the product: the token-signed
    # exe's first run unpacks and installs, and must end with exit code 0 and
    # no message box.
    world="$work/world"
    mkdir -p "$world/Temp" "$world/Roaming" "$world/Local"
    winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
    status=0
    messages=$(KORVANTHELM_WINE_PLAIN=1 "$wine_run" "$watcher" \
        --env "TEMP=$(winpath "$world/Temp")" --env "TMP=$(winpath "$world/Temp")" \
        --env "APPDATA=$(winpath "$world/Roaming")" --env "LOCALAPPDATA=$(winpath "$world/Local")" \
        -- "$(winpath "$work/token.exe")") || status=$?
    if [[ $status -ne 0 || -n "$messages" ]]; then
        fail "the signed exe under Wine: exit code $status, message box: ${messages:-none}"
    fi
    # The demo set-up program logs what it installed: the package was unpacked and run.
    [[ -s "$world/Local/KORVANTHELM/demo.log" ]] || fail "the signed exe under Wine installed nothing"
fi

# What a signing needs is checked before any compression, each refusal one
# line of the packer's own, no prompt or error text of osslsigncode's.
refused "a token key without its PIN" \
    "the key in the token needs its PIN in KORVANTHELM_SIGN_PASSWORD, which is not set" \
    "$work/no-pin.exe" "${token[@]}"
export KORVANTHELM_SIGN_PASSWORD=$pin
refused "a PKCS#11 module that is not there" "the PKCS#11 module \"$work/no-module.so\" does not load" \
    "$work/no-module.exe" --sign-pkcs11-module "$work/no-module.so" --sign-key "$uri" \
    --sign-cert "$work/token-cert.pem"
refused "a PKCS#11 module that is no library" \
    "the PKCS#11 module \"$work/token-cert.pem\" does not load" "$work/not-library.exe" \
    --sign-pkcs11-module "$work/token-cert.pem" --sign-key "$uri" --sign-cert "$work/token-cert.pem"
refused "a token key with a certificate of another key" \
    "the key \"$uri\" in the token does not belong to the certificate \"$work/cert.pem\"" \
    "$work/other-cert.exe" --sign-pkcs11-module "$softhsm" --sign-key "$uri" --sign-cert "$work/cert.pem"
"$openssl" req -x509 -newkey rsa:2048 -sha256 -days 2 -subj "/CN=other $signer" -nodes \
    -keyout "$work/other-key.pem" -out "$work/other-cert.pem" 2>>"$work/openssl.log" \
    || { cat "$work/openssl.log"; exit 1; }
refused "a PEM key with a certificate of another key" \
    "the key \"$work/other-key.pem\" does not belong to the certificate \"$work/cert.pem\"" \
    "$work/other-key.exe" --sign-cert "$work/cert.pem" --sign-key "$work/other-key.pem"
refused "a timestamp URL without a host" \
    "the timestamp URL \"https:///tsa\" is not an http:// or https:// address with a host" \
    "$work/bad-url.exe" --sign-cert "$work/cert.p12" --timestamp-url http://127.0.0.1:9/ \
    --timestamp-url https:///tsa
unset KORVANTHELM_SIGN_PASSWORD

# Stopped while the signer works: the hidden signing copies (one of them the
# whole unsigned exe) go with the packer, whichever signal ends it.
for signal in INT TERM HUP; do
    mkdir -p "$work/stopped-$signal"
    # A background job of a script starts with SIGINT ignored; a person's
    # Ctrl-C reaches a packer that has it.
    env --default-signal="$signal" "$packer" build "$tree" -o "$work/stopped-$signal/K.exe" \
        --stub "$stub" --sign-command "sleep 30; false" >/dev/null 2>&1 &
    builder=$!
    for _ in $(seq 1 300); do
        compgen -G "$work/stopped-$signal/.korvanthelm-signing-*" >/dev/null && break
        sleep 0.1
    done
    kill -s "$signal" "$builder"
    status=0
    wait "$builder" || status=$?
    left=$(ls -A "$work/stopped-$signal")
    if [[ $status -ne $((128 + $(kill -l "$signal"))) || -n "$left" ]]; then
        fail "SIG$signal while signing: exit $status, left: ${left:-nothing}"
    fi
done

if [[ $failures -ne 0 ]]; then
    echo "$failures check(s) failed"
    exit 1
fi
rm -rf "$work"
echo "signed exe: signing, verify, tampering${wine_run:+ and the run under Wine} as expected"
