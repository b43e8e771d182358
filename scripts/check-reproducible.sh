#!/bin/bash
# Builds the stub and KORVANTHELM.exe twice from scratch and requires
# identical bytes of each.
#
#   scripts/check-reproducible.sh [--packer PATH] [--work DIR] [--keep]
#                                 [--sign-cert FILE [--sign-key FILE]] [--signed-exe FILE]
#
# The two builds differ in everything that must not reach the executable: the
# source folder (the second build uses a copy of the source tree under another
# path of another length), the build folder and the time of building. Both
# pack the default launcher tree (the demo tree, built in each) with the same
# host packer. Without --packer the packer is built first in a host build of
# its own. On a difference the script names the first differing bytes and the
# PE sections they fall in, and exits with 1.
#
# Signed builds: with --sign-cert (and --sign-key, as KORVANTHELM_SIGN_CERT and
# KORVANTHELM_SIGN_KEY of the build; the key's password in
# KORVANTHELM_SIGN_PASSWORD) both builds also sign. The unsigned executables
# must still be identical, and each signed one must be its unsigned one plus
# the signature and nothing else: the same bytes apart from the CheckSum and
# the certificate table's directory entry, then the certificate table. Whether
# the two signed executables are identical as well is reported: they are when
# the key is RSA, no timestamp is asked for and the signing time is the same
# (SOURCE_DATE_EPOCH; the script sets it to the last commit's time when unset).
# --signed-exe FILE holds a signed executable made elsewhere, a published
# release for example, to the same test against the first build: no key needed.
set -euo pipefail

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
packer=""
work=""
keep=0
sign_cert=""
sign_key=""
signed_exe=""
while [[ $# -gt 0 ]]; do
  case "$1" in
    --packer) packer=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --sign-cert) sign_cert=$(realpath "$2"); shift 2 ;;
    --sign-key) sign_key=$(realpath "$2"); shift 2 ;;
    --signed-exe) signed_exe=$(realpath "$2"); shift 2 ;;
    *) echo "usage: $0 [--packer PATH] [--work DIR] [--keep]" \
            "[--sign-cert FILE [--sign-key FILE]] [--signed-exe FILE]" >&2; exit 2 ;;
  esac
done
if [[ -n "$sign_key" && -z "$sign_cert" ]]; then
  echo "--sign-key needs --sign-cert" >&2
  exit 2
fi
if [[ -n "$sign_cert" && -z "${SOURCE_DATE_EPOCH:-}" ]]; then
  SOURCE_DATE_EPOCH=$(git -C "$source_dir" log -1 --format=%ct 2>/dev/null || date +%s)
  export SOURCE_DATE_EPOCH
fi

# Only what this script makes inside the work folder is ever removed.
made=(host host.log a a.log build-number-two build-number-two.log source-tree-at-another-path)
if [[ -z "$work" ]]; then
  work=$(mktemp -d "${TMPDIR:-/tmp}/korvanthelm-repro.XXXXXX")
  [[ $keep -eq 1 ]] || trap 'rm -rf "$work"' EXIT
else
  mkdir -p "$work"
  work=$(cd "$work" && pwd)
  for name in "${made[@]}"; do rm -rf "${work:?}/$name"; done  # every build starts clean
  [[ $keep -eq 1 ]] || trap 'for name in "${made[@]}"; do rm -rf "${work:?}/$name"; done' EXIT
fi
[[ $keep -eq 0 ]] || echo "keeping the builds in $work"
jobs=${KORVANTHELM_REPRO_JOBS:-2}

if [[ -z "$packer" ]]; then
  echo "== building the packer"
  cmake -S "$source_dir" -B "$work/host" -G Ninja -DKORVANTHELM_WINDOWS=OFF \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DKORVANTHELM_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Release >"$work/host.log" 2>&1 \
    || { cat "$work/host.log"; exit 1; }
  cmake --build "$work/host" --target korvanthelm-pack -j "$jobs" >>"$work/host.log" 2>&1 \
    || { tail -50 "$work/host.log"; exit 1; }
  packer="$work/host/tools/pack/korvanthelm-pack"
fi
[[ -x "$packer" ]] || { echo "no packer at $packer" >&2; exit 1; }

# The second source tree: the files git would put in a clone (plus files not
# yet committed, so a work tree can be checked before committing).
copy="$work/source-tree-at-another-path"
mkdir -p "$copy"
git -C "$source_dir" ls-files -z --cached --others --exclude-standard \
  | tar -C "$source_dir" --null --no-recursion --ignore-failed-read -T - -cf - 2>/dev/null \
  | tar -C "$copy" -xf -

signing=()
target=korvanthelm
unsigned_dir=product
if [[ -n "$sign_cert" ]]; then
  signing=(-DKORVANTHELM_SIGN_CERT="$sign_cert" -DKORVANTHELM_SIGN_KEY="$sign_key")
  target=korvanthelm-signed
  unsigned_dir=product/unsigned
  echo "signing both builds with $sign_cert, signing time SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH"
fi
build() {  # <source> <build folder>
  echo "== building KORVANTHELM.exe in $2"
  cmake -S "$1" -B "$2" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$1/cmake/x86_64-w64-mingw32.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DKORVANTHELM_PACKER="$packer" "${signing[@]}" >"$2.log" 2>&1 \
    || { cat "$2.log"; exit 1; }
  cmake --build "$2" --target korvanthelm_stub "$target" -j "$jobs" >>"$2.log" 2>&1 \
    || { tail -50 "$2.log"; exit 1; }
}

# Little-endian unsigned number of <size> bytes at <offset> in <file>.
le() { od -An -tu"$1" --endian=little -j "$3" -N "$1" "$2" | tr -d ' '; }

# Succeeds when <signed> is <unsigned> plus an Authenticode signature and
# nothing else: the same bytes apart from the optional header's CheckSum and
# the certificate table's directory entry, then up to 7 zero bytes to align
# the certificate table, which ends the file. Otherwise says what else differs.
differs_only_by_signature() {  # <unsigned> <signed>
  local unsigned=$1 signed=$2 pe optional directories checksum entry size table table_size
  pe=$(le 4 "$unsigned" 60)
  optional=$((pe + 24))
  case $(le 2 "$unsigned" "$optional") in
    267) directories=96 ;;   # 0x10B, PE32
    523) directories=112 ;;  # 0x20B, PE32+
    *) echo "  $unsigned: not a PE image"; return 1 ;;
  esac
  checksum=$((optional + 64))
  entry=$((optional + directories + 4 * 8))  # data directory 4: the certificate table
  size=$(stat -c %s "$unsigned")
  if [[ $(le 4 "$unsigned" $((entry + 4))) -ne 0 ]]; then
    echo "  $unsigned carries a signature itself"
    return 1
  fi
  table=$(le 4 "$signed" "$entry")
  table_size=$(le 4 "$signed" $((entry + 4)))
  if (( table_size == 0 || table < size || table - size >= 8 ||
        table + table_size != $(stat -c %s "$signed") )); then
    echo "  $signed is not the unsigned bytes followed by one certificate table"
    return 1
  fi
  if (( table > size )) &&
     od -An -tx1 -j "$size" -N $((table - size)) "$signed" | grep -q '[1-9a-f]'; then
    echo "  $signed has non-zero bytes before its certificate table"
    return 1
  fi
  local others
  others=$({ cmp -l -n "$size" "$unsigned" "$signed" || true; } |
           awk -v c="$checksum" -v e="$entry" '
             { o = $1 - 1 }  # cmp counts from 1
             !((o >= c && o < c + 4) || (o >= e && o < e + 8)) { printf " 0x%x", o }' |
           cut -c1-100)
  if [[ -n "$others" ]]; then
    echo "  $signed differs from $unsigned outside the signature's header fields, at:$others"
    return 1
  fi
}

first="$work/a"
second="$work/build-number-two"
build "$source_dir" "$first"
sleep 1  # a different second on the clock for anything that reads it
build "$copy" "$second"

stub_a="$first/stub/korvanthelm-stub.exe"
stub_b="$second/stub/korvanthelm-stub.exe"
echo "stub:   $(sha256sum "$stub_a" | cut -d' ' -f1)  $(stat -c %s "$stub_a") bytes"
exe_a="$first/$unsigned_dir/KORVANTHELM.exe"
exe_b="$second/$unsigned_dir/KORVANTHELM.exe"
if ! cmp -s "$stub_a" "$stub_b"; then
  # Every exe holds the stub, so its differences are the stub's: show those.
  echo "the two stubs differ:"
  exe_a=$stub_a
  exe_b=$stub_b
fi
sha_a=$(sha256sum "$exe_a" | cut -d' ' -f1)
sha_b=$(sha256sum "$exe_b" | cut -d' ' -f1)
echo "first:  $sha_a  $(stat -c %s "$exe_a") bytes"
echo "second: $sha_b  $(stat -c %s "$exe_b") bytes"
if [[ "$sha_a" == "$sha_b" ]]; then
  echo "reproducible: both builds gave the same KORVANTHELM.exe"
  status=0
  signed_pairs=()
  if [[ -n "$sign_cert" ]]; then
    signed_pairs+=("$exe_a" "$first/product/KORVANTHELM.exe" "$exe_b" "$second/product/KORVANTHELM.exe")
  fi
  [[ -z "$signed_exe" ]] || signed_pairs+=("$exe_a" "$signed_exe")
  for ((i = 0; i < ${#signed_pairs[@]}; i += 2)); do
    signed=${signed_pairs[i + 1]}
    echo "signed: $(sha256sum "$signed" | cut -d' ' -f1)  $(stat -c %s "$signed") bytes  $signed"
    if differs_only_by_signature "${signed_pairs[i]}" "$signed"; then
      echo "  = the unsigned KORVANTHELM.exe plus its signature, nothing else differs"
    else
      status=1
    fi
  done
  if [[ -n "$signed_exe" ]]; then
    "$packer" verify "$signed_exe" | sed 's/^/  /' || status=1
  fi
  if [[ -n "$sign_cert" ]]; then
    if cmp -s "$first/product/KORVANTHELM.exe" "$second/product/KORVANTHELM.exe"; then
      echo "the two signed executables are identical too"
    else
      echo "the two signed executables differ in their signatures (a timestamp, or a key" \
           "that signs with random numbers, such as ECDSA)"
    fi
  fi
  [[ $status -eq 0 ]] || echo "NOT only signed: see above"
  exit $status
fi

echo "NOT reproducible: the two builds differ"
for name in product-package/package.bin demo-tree/KORVANTHELM/KORVANTHELM.exe \
            demo-tree/KORVANTHELM/launcher/KorvanThelmLauncher.exe; do
  if [[ -f "$first/$name" && -f "$second/$name" ]] && ! cmp -s "$first/$name" "$second/$name"; then
    echo "  also differs: $name"
  fi
done
# Where the first differences lie: header bytes (a time stamp, the checksum)
# point at the link, .rsrc at the resources or the package, .rdata/.text at
# the code (a build path compiled in, for example).
sections=$(x86_64-w64-mingw32-objdump -h "$exe_a" | while read -r index name size _ _ offset _; do
             # Sections without file data (.bss) have offset 0.
             [[ "$index" =~ ^[0-9]+$ && $((16#$offset)) -gt 0 ]] && echo "$name $((16#$offset)) $((16#$size))"
           done || true)
echo "first differing bytes (file offset, where, first build, second build):"
cmp -l "$exe_a" "$exe_b" | head -20 | while read -r position first_byte second_byte; do
  offset=$((position - 1))  # cmp counts from 1
  where=$(awk -v o="$offset" '$2 <= o && o < $2 + $3 {print $1; found=1} END {if (!found) print "headers"}' \
          <<<"$sections")
  printf '  0x%08x %-8s 0x%02x 0x%02x\n' "$offset" "$where" "$((8#$first_byte))" "$((8#$second_byte))"
done || true  # cmp exits with 1 on a difference
exit 1
