#!/bin/bash
# Builds KORVANTHELM.exe twice from scratch and requires identical bytes.
#
#   scripts/check-reproducible.sh [--packer PATH] [--work DIR] [--keep]
#
# The two builds differ in everything that must not reach the executable: the
# source folder (the second build uses a copy of the source tree under another
# path of another length), the build folder and the time of building. Both
# pack the default launcher tree (the demo tree, built in each) with the same
# host packer. Without --packer the packer is built first in a host build of
# its own. On a difference the script names the first differing bytes and the
# PE sections they fall in, and exits with 1.
set -euo pipefail

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
packer=""
work=""
keep=0
while [[ $# -gt 0 ]]; do
  case "$1" in
    --packer) packer=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "usage: $0 [--packer PATH] [--work DIR] [--keep]" >&2; exit 2 ;;
  esac
done

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

build() {  # <source> <build folder>
  echo "== building KORVANTHELM.exe in $2"
  cmake -S "$1" -B "$2" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$1/cmake/x86_64-w64-mingw32.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DKORVANTHELM_PACKER="$packer" >"$2.log" 2>&1 \
    || { cat "$2.log"; exit 1; }
  cmake --build "$2" --target korvanthelm -j "$jobs" >>"$2.log" 2>&1 \
    || { tail -50 "$2.log"; exit 1; }
}
first="$work/a"
second="$work/build-number-two"
build "$source_dir" "$first"
sleep 1  # a different second on the clock for anything that reads it
build "$copy" "$second"

exe_a="$first/product/KORVANTHELM.exe"
exe_b="$second/product/KORVANTHELM.exe"
sha_a=$(sha256sum "$exe_a" | cut -d' ' -f1)
sha_b=$(sha256sum "$exe_b" | cut -d' ' -f1)
echo "first:  $sha_a  $(stat -c %s "$exe_a") bytes"
echo "second: $sha_b  $(stat -c %s "$exe_b") bytes"
if [[ "$sha_a" == "$sha_b" ]]; then
  echo "reproducible: both builds gave the same KORVANTHELM.exe"
  exit 0
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
