#!/bin/bash
# KORVANTHELM.exe signed and timestamped by `korvanthelm-pack build` against a
# real RFC 3161 time-stamping authority of the test's own
# (time_stamping_authority.py: `openssl ts -reply` over HTTP on 127.0.0.1,
# a throw-away CA and a TSA certificate whose one, critical, extended key
# usage is timeStamping). Nothing leaves the loopback interface:
#   - the first --timestamp-url is a closed loopback port: tried three times,
#     then the authority, asked once, timestamps;
#   - osslsigncode verifies the signature and the timestamp with the two CAs
#     (its exit status alone does not say the timestamp verified: the line
#     "Timestamp Server Signature verification: ok" does);
#   - `korvanthelm-pack verify` prints the time the authority put in its
#     reply, not the signing time (which SOURCE_DATE_EPOCH puts an hour
#     later);
#   - an authority whose replies are cut short is not taken for one that
#     timestamped: the build fails in one line and writes nothing;
#   - nor is any hostile authority (a reply for another imprint, an altered
#     time, no certificate, no timeStamping usage, the code signer's own key,
#     a time outside its certificate, garbage, status 2, silence, each
#     attempt then given up after 30 s): build refuses each
#     in one line naming the cause, and verify refuses each such timestamp
#     that osslsigncode adds as it is.
#
#   timestamp_test.sh --tree TREE --stub STUB --packer PATH --osslsigncode PATH
#                     --openssl PATH --python PATH --work DIR
set -euo pipefail

tree="" stub="" packer="" osslsigncode="" openssl="" python="" work=""
while [[ $# -gt 0 ]]; do
    case "$1" in
        --tree) tree=$2; shift 2 ;;
        --stub) stub=$2; shift 2 ;;
        --packer) packer=$2; shift 2 ;;
        --osslsigncode) osslsigncode=$2; shift 2 ;;
        --openssl) openssl=$2; shift 2 ;;
        --python) python=$2; shift 2 ;;
        --work) work=$2; shift 2 ;;
        *) echo "unknown argument $1" >&2; exit 2 ;;
    esac
done
for tool in "$packer" "$osslsigncode" "$openssl" "$python"; do
    [[ -x "$tool" ]] || { echo "FAIL: missing program '$tool' (scripts/install-deps.sh)" >&2; exit 1; }
done
here=$(cd "$(dirname "$0")" && pwd)

rm -rf "$work"
mkdir -p "$work"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The authorities this test starts are stopped when it ends, however it ends
# (and stop by themselves after five minutes if even that fails).
authorities=()
stop_authorities() {
    local pid
    for pid in "${authorities[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
}
trap stop_authorities EXIT
# start_authority DIR [options]: starts one in the background; its port in $port.
start_authority() {
    local dir=$1 i
    shift
    mkdir -p "$dir"
    "$python" "$here/time_stamping_authority.py" --openssl "$openssl" --dir "$dir" \
        --lifetime 300 "$@" >"$dir/port" 2>"$dir/log" &
    authorities+=($!)
    # The authority makes its keys before it listens, which takes seconds on
    # a loaded machine; until then its port file may not even exist (the
    # shell creates it in the background job), or hold no whole line yet.
    port=""
    for ((i = 0; i < 900; ++i)); do
        if [[ -f "$dir/port" ]] && grep -qx '[0-9]\+' "$dir/port"; then
            port=$(head -n 1 "$dir/port")
            return 0
        fi
        kill -0 "${authorities[-1]}" 2>/dev/null || break
        sleep 0.1
    done
    echo "FAIL: the time-stamping authority did not start" >&2
    cat "$dir/log" >&2
    exit 1
}

# A loopback port nothing listens on: one the system just handed out, closed again.
closed_port=$("$python" -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])')

# The signer: a PKCS#12 file whose password reaches the packer through the
# environment only, as in a release build.
export KORVANTHELM_SIGN_PASSWORD="test-only-$$-$RANDOM"
signer="KORVANTHELM timestamp test $$"
"$openssl" req -x509 -newkey rsa:2048 -sha256 -days 2 -subj "/CN=$signer" \
    -keyout "$work/key.pem" -out "$work/cert.pem" -passout env:KORVANTHELM_SIGN_PASSWORD \
    2>"$work/openssl.log" || { cat "$work/openssl.log"; exit 1; }
"$openssl" pkcs12 -export -in "$work/cert.pem" -inkey "$work/key.pem" -out "$work/cert.p12" \
    -passin env:KORVANTHELM_SIGN_PASSWORD -passout env:KORVANTHELM_SIGN_PASSWORD \
    2>>"$work/openssl.log" || { cat "$work/openssl.log"; exit 1; }
# The signing time an hour after now (inside the certificate's two days): a
# verify that printed it instead of the authority's time would be an hour off.
export SOURCE_DATE_EPOCH=$(($(date +%s) + 3600))

start_authority "$work/tsa"
stamped="$work/KORVANTHELM.exe"
status=0
"$packer" build "$tree" -o "$stamped" --stub "$stub" --sign-cert "$work/cert.p12" \
    --timestamp-url "http://127.0.0.1:$closed_port/" --timestamp-url "http://127.0.0.1:$port/" \
    >/dev/null 2>"$work/build.err" || status=$?
if [[ $status -ne 0 || ! -f "$stamped" ]]; then
    fail "signing and timestamping: exit $status"
    sed 's/^/  | /' "$work/build.err"
fi
grep -qF "timestamp server http://127.0.0.1:$closed_port/ failed (attempt 3 of 3)" "$work/build.err" ||
    fail "the closed port was not tried three times before the authority"
if grep -qF "127.0.0.1:$port/ failed" "$work/build.err"; then fail "the authority was counted as failed"; fi
[[ -f "$work/tsa/reply-1.tsr" && ! -e "$work/tsa/reply-2.tsr" ]] ||
    fail "the authority was not asked exactly once: $(ls "$work/tsa" | grep -c '^reply-' || true) replies"

if [[ -f "$stamped" ]]; then
    status=0
    "$osslsigncode" verify -CAfile "$work/cert.pem" -TSA-CAfile "$work/tsa/ca.pem" -in "$stamped" \
        >"$work/ossl-verify.log" 2>&1 || status=$?
    if [[ $status -ne 0 ]] ||
       ! grep -qx "Timestamp Server Signature verification: ok" "$work/ossl-verify.log"; then
        fail "osslsigncode: exit $status, the signature and the timestamp must both verify"
        sed 's/^/  | /' "$work/ossl-verify.log"
    fi

    # The time the authority put in its reply, as verify writes times.
    reply_time=$("$openssl" ts -reply -in "$work/tsa/reply-1.tsr" -text 2>/dev/null |
                 sed -n 's/^Time stamp: //p')
    expected="Signature: timestamped $(date -u -d "$reply_time" '+%Y-%m-%d %H:%M:%S') UTC"
    expected+=" (RFC 3161, authority not checked against a trust store)"
    status=0
    "$packer" verify "$stamped" >"$work/verify.out" 2>&1 || status=$?
    if [[ $status -ne 0 ]] || ! grep -qxF -- "$expected" "$work/verify.out"; then
        fail "verify: exit $status, expected 0 and the line: $expected"
        sed 's/^/  | /' "$work/verify.out"
    fi
    # The same time in verify's document for machines.
    want=$(date -u -d "$reply_time" '+%Y-%m-%d %H:%M:%S UTC')
    got=$("$packer" verify --json "$stamped" 2>/dev/null |
          "$python" -c 'import json, sys; print(json.load(sys.stdin)["signature"]["timestamp"])' ||
          true)
    [[ "$got" == "$want" ]] || fail "verify --json: signature.timestamp is \"$got\", not \"$want\""
fi

# An authority that answers 200 with half a reply: refused after every
# attempt, nothing written.
start_authority "$work/broken-tsa" --broken-replies
status=0
"$packer" build "$tree" -o "$work/broken.exe" --stub "$stub" --sign-cert "$work/cert.p12" \
    --timestamp-url "http://127.0.0.1:$port/" >/dev/null 2>"$work/broken.err" || status=$?
lines=$(grep -v -e ': warning: ' -e ': compressing: ' "$work/broken.err" | grep -v 'failed (attempt' || true)
if [[ $status -ne 1 || $(wc -l <<<"$lines") -ne 1 ||
      "$lines" != *"no timestamp server gave a timestamp (last: http://127.0.0.1:$port/: the reply is not an RFC 3161 timestamp reply)"* ||
      -e "$work/broken.exe" ]]; then
    fail "an authority with broken replies: exit $status, expected 1 and one line naming the reply"
    sed 's/^/  | /' "$work/broken.err"
fi
[[ -f "$work/broken-tsa/reply-3.tsr" ]] || fail "the authority with broken replies was not asked three times"

# Authorities whose word is worth nothing (POST /KIND asks the test authority
# for that kind of reply): build counts each reply as a failed attempt and
# writes nothing; the same reply added to a signed exe by osslsigncode, which
# takes it as it is, is refused by verify for the same cause.
start_authority "$work/hostile-tsa" --signer-cert "$work/cert.pem" --signer-key "$work/key.pem"
hostile_url="http://127.0.0.1:$port"
signed_only="$work/signed-only.exe"
"$packer" build "$tree" -o "$signed_only" --stub "$stub" --sign-cert "$work/cert.p12" \
    >/dev/null 2>"$work/signed-only.err" || { fail "signing without a timestamp"; cat "$work/signed-only.err"; }
while IFS='|' read -r kind cause; do
    status=0
    "$packer" build "$tree" -o "$work/$kind.exe" --stub "$stub" --sign-cert "$work/cert.p12" \
        --timestamp-url "$hostile_url/$kind" >/dev/null 2>"$work/$kind.err" || status=$?
    lines=$(grep -v -e ': warning: ' -e ': compressing: ' "$work/$kind.err" || true)
    if [[ $status -ne 1 || $(wc -l <<<"$lines") -ne 1 || -e "$work/$kind.exe" ||
          "$lines" != *"no timestamp server gave a timestamp (last: $hostile_url/$kind: $cause"* ]]; then
        fail "build with a $kind authority: exit $status, expected 1, nothing written and: $cause"
        sed 's/^/  | /' "$work/$kind.err"
    fi
    if ls -A "$work" | grep -q '^\.korvanthelm-signing-'; then fail "$kind: a signing copy was left"; fi
    [[ "$cause" == refused:* ]] || continue
    "$osslsigncode" add -h sha256 -ts "$hostile_url/$kind" -in "$signed_only" \
        -out "$work/$kind-added.exe" >"$work/$kind-added.log" 2>&1 ||
        { fail "osslsigncode did not take the $kind reply"; continue; }
    status=0
    "$packer" verify "$work/$kind-added.exe" >"$work/$kind-verify.out" 2>&1 || status=$?
    if [[ $status -ne 1 ]] || ! grep -qF -- "$cause" "$work/$kind-verify.out"; then
        fail "verify of an exe with a $kind timestamp: exit $status, expected 1 and: $cause"
        sed 's/^/  | /' "$work/$kind-verify.out"
    fi
done <<'EOF_KINDS'
wrong-imprint|refused: the timestamp was not made for this signature
altered-time|refused: the timestamp's signature does not verify
no-certificate|refused: the timestamp does not carry its authority's certificate
no-usage|refused: the timestamp's authority certificate is not a time-stamping one
signer-key|refused: the timestamp's authority certificate is not a time-stamping one
wrong-time|refused: the timestamp's time lies outside its authority certificate's validity
garbage|the reply is not an RFC 3161 timestamp reply
status-2|the server refused to timestamp (status 2)
silent|no reply within 30 s
EOF_KINDS
unset KORVANTHELM_SIGN_PASSWORD SOURCE_DATE_EPOCH

if [[ $failures -ne 0 ]]; then
    echo "$failures check(s) failed"
    exit 1
fi
stop_authorities
trap - EXIT
rm -rf "$work"
echo "timestamp: fallback past a closed port, the authority's time verified and shown, broken and hostile replies refused"
