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

# PE headers are read with pefile, as tests/pe reads them. The python3 on PATH
# may be a private one without it; the system's is where Debian installs it.
pefile_python=""
for candidate in "${KORVANTHELM_PEFILE_PYTHON:-}" /usr/bin/python3 python3; do
  if [[ -n "$candidate" ]] && "$candidate" -c "import pefile" >/dev/null 2>&1; then
    pefile_python=$candidate
    break
  fi
done
if [[ -z "$pefile_python" ]]; then
  echo "no python3 with pefile found: install Debian's python3-pefile or set KORVANTHELM_PEFILE_PYTHON" >&2
  exit 1
fi
# compare_builds signed-only UNSIGNED SIGNED | first-differences FIRST SECOND
compare_builds() { "$pefile_python" "$source_dir/tests/pe/compare_builds.py" "$@"; }

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
    if compare_builds signed-only "${signed_pairs[i]}" "$signed"; then
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
echo "first differing bytes (file offset, where, first build, second build):"
compare_builds first-differences "$exe_a" "$exe_b"
exit 1
