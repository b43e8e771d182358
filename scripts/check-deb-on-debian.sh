#!/bin/bash
# The tools' Debian package on the systems it is made for: lintian must find
# no error and no warning in it, and in a minimal Debian 12 and a minimal
# Debian 13 root it must install the way README says (as root: apt-get
# update, then apt-get install of the .deb), and the installed packer must
# build an exe from a small tree with Cyrillic names, list those names back,
# verify the exe (also with --json), and refuse a tree holding two names Windows takes for one
# (Cyrillic letters that differ only in case). Then, with Debian's own Wine
# installed (apt-get install wine: Wine 8 on Debian 12, Wine 10 on Debian 13),
# `korvanthelm-pack try` must pass on an exe built from the demo tree (a
# Cyrillic entry name), run with LANG and every other locale variable unset
# and TMPDIR set, as in minimal CI images.
#
#   check-deb-on-debian.sh [DEB] [--roots DIR] [--demo-tree DIR] [--refresh]
#
# DEB defaults to build-release/korvanthelm-tools_*_amd64.deb (make it with
# cmake --preset release && cmake --build --preset release-deb), the demo
# tree to the one that build assembles (build-release/windows/demo-tree). The
# roots are made once with mmdebstrap from the Debian mirror this machine's apt
# uses and kept as tar files in DIR (default build-release/debian-roots);
# one older than a week, or any with --refresh, is made again. Each run
# unpacks a fresh copy, so nothing installed survives from one run to the
# next; the packages apt fetches are kept in DIR/SUITE-apt, so Wine is
# downloaded once. Needs root (chroot, mounts in a private mount namespace)
# and the mirror; exit status 0 only when everything passed.
set -euo pipefail
cd "$(dirname "$0")/.."

deb="" roots=build-release/debian-roots refresh=0 demo_tree=build-release/windows/demo-tree
while [[ $# -gt 0 ]]; do
    case "$1" in
        --roots) roots=$2; shift 2 ;;
        --refresh) refresh=1; shift ;;
        --demo-tree) demo_tree=$2; shift 2 ;;
        -*) echo "check-deb-on-debian.sh: unknown option $1" >&2; exit 2 ;;
        *) deb=$1; shift ;;
    esac
done
if [[ -z "$deb" ]]; then
    debs=(build-release/korvanthelm-tools_*_amd64.deb)
    [[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] \
        || { echo "no single build-release/korvanthelm-tools_*_amd64.deb; make it first or name it" >&2; exit 2; }
    deb=${debs[0]}
fi
[[ -f "$deb" ]] || { echo "check-deb-on-debian.sh: no package $deb" >&2; exit 2; }
[[ -f "$demo_tree/KORVANTHELM/KORVANTHELM.exe" ]] \
    || { echo "check-deb-on-debian.sh: no demo tree in $demo_tree; build it first or name it" >&2; exit 2; }
demo_tree=$(realpath "$demo_tree")
[[ "$(id -u)" -eq 0 ]] || { echo "check-deb-on-debian.sh: needs root (chroot and mounts)" >&2; exit 2; }
deb=$(realpath "$deb")
mkdir -p "$roots"
roots=$(realpath "$roots")

# The mirror apt uses here (one-line or deb822 sources), not the security one.
mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null \
    | grep -v '^[[:space:]]*#' | grep -oE 'https?://[^[:space:]]+/debian/?([[:space:]]|$)' \
    | grep -v security | head -n 1 | tr -d '[:space:]' || true)
[[ -n "$mirror" ]] || { echo "check-deb-on-debian.sh: no Debian mirror in /etc/apt/sources.list(.d)" >&2; exit 2; }

failures=0
summary=()
started=$SECONDS
echo "package: $deb"
echo "mirror:  $mirror"

echo "== lintian"
lintian_status=0
lintian --fail-on error,warning --display-info "$deb" 2>&1 | grep -v '^running with root privileges' || true
lintian --fail-on error,warning -q "$deb" >/dev/null 2>&1 || lintian_status=$?
if [[ $lintian_status -eq 0 ]]; then
    summary+=("lintian: no error, no warning")
else
    summary+=("lintian: FAILED (an error or a warning, above)")
    failures=$((failures + 1))
fi

# What runs inside each root, in /root: README's install lines, then the
# packer on a tree with Cyrillic names.
cat >"$roots/try-package.sh" <<'INSIDE'
set -eu
cd /root
export DEBIAN_FRONTEND=noninteractive
if ! { apt-get update -q && apt-get install -y -q ./"$1"; } >apt.log 2>&1; then
    cat apt.log
    echo "RESULT not-installable"
    exit 1
fi
korvanthelm-pack --version
tree=/root/дерево
mkdir -p "$tree/KORVANTHELM/launcher/app" "$tree/KORVANTHELM/launcher/Документы" \
         "$tree/KORVANTHELM/launcher/Ёлка"
# The set-up program must be a Windows program: MZ and PE headers, no code
# (nothing here runs it).
{ printf 'MZ set-up program'; head -c 43 /dev/zero; printf '\100\000\000\000PE\000\000'; } \
    >"$tree/KORVANTHELM/KORVANTHELM.exe"
printf 'launcher\n' >"$tree/KORVANTHELM/launcher/KorvanThelmLauncher.exe"
printf 'jar\n' >"$tree/KORVANTHELM/launcher/app/KorvanThelm.jar"
printf 'Привет, мир\n' >"$tree/KORVANTHELM/launcher/Документы/Привет, мир.txt"
printf 'ёжик\n' >"$tree/KORVANTHELM/launcher/Ёлка/ёжик.dat"
korvanthelm-pack build "$tree" -o "/root/сборка.exe"
korvanthelm-pack verify "/root/сборка.exe"
# The document for machines, as a studio's CI reads it: proven against the
# installed stub, nothing to warn about. (A minimal root has no JSON parser;
# the packer writes the document on one line without spaces.)
document=$(korvanthelm-pack verify --json "/root/сборка.exe" 2>/dev/null)
echo "$document"
for field in '"ok":true' '"executable_check":"stub_and_package"' '"entry_count":5' '"warnings":[]'; do
    grep -qF -- "$field" <<<"$document" || { echo "verify --json lacks $field"; exit 1; }
done
listed=$(korvanthelm-pack list "/root/сборка.exe")
for name in "KORVANTHELM/launcher/Документы/Привет, мир.txt" "KORVANTHELM/launcher/Ёлка/ёжик.dat"; do
    grep -qF -- "$name" <<<"$listed" || { echo "list does not show $name:"; echo "$listed"; exit 1; }
done
# One name on Windows: Ж and ж fold to the same letter.
printf 'upper\n' >"$tree/KORVANTHELM/launcher/Ёлка/ЁЖИК.dat"
if korvanthelm-pack build "$tree" -o /root/twice.exe; then
    echo "a tree with ёжик.dat and ЁЖИК.dat in one folder was packed"
    exit 1
fi
[ ! -e /root/twice.exe ] || { echo "the refused build left /root/twice.exe"; exit 1; }
# try with Debian's Wine, in the environment of a minimal CI image: no
# locale variable at all (the C locale, in which Wine cannot write the
# Cyrillic entry name) and TMPDIR set (which makes Wine 10's wineboot abort).
if ! apt-get install -y -q wine >apt-wine.log 2>&1; then
    cat apt-wine.log
    echo "RESULT wine-not-installable"
    exit 1
fi
mkdir -p "/root/пробный запуск" /root/tmp
korvanthelm-pack build /root/demo-tree -o "/root/пробный запуск/KORVANTHELM.exe"
status=0
env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root TMPDIR=/root/tmp \
    korvanthelm-pack try "/root/пробный запуск/KORVANTHELM.exe" --json >try.json 2>try.txt || status=$?
cat try.txt
cat try.json
[ "$status" -eq 0 ] || { echo "try ended with $status"; cat /root/.cache/korvanthelm/wine.log 2>/dev/null | tail -n 20; exit 1; }
grep -qF '"ok":true' try.json || { echo "try --json does not say ok"; exit 1; }
[ -z "$(ls -A /root/tmp)" ] || { echo "try left in TMPDIR:"; ls -A /root/tmp; exit 1; }
echo "RESULT passed"
INSIDE

# try_release SUITE NAME: makes or reuses the root, then runs the package in
# a fresh copy of it.
try_release() {
    local suite=$1 name=$2 tarball="$roots/$1.tar" root log status=0 t=$SECONDS
    echo "== $name ($suite)"
    if [[ $refresh -eq 1 || ! -f "$tarball" || -n "$(find "$tarball" -mtime +7)" ]]; then
        echo "making the $suite root with mmdebstrap"
        if ! mmdebstrap --quiet --variant=apt --format=tar "$suite" "$tarball.part" "$mirror" >"$roots/$suite-mmdebstrap.log" 2>&1; then
            cat "$roots/$suite-mmdebstrap.log"
            rm -f "$tarball.part"
            summary+=("$name: FAILED, mmdebstrap could not make the root")
            failures=$((failures + 1))
            return
        fi
        mv "$tarball.part" "$tarball"
        echo "root made in $((SECONDS - t)) s"
    fi
    root=$(mktemp -d "$roots/$suite-root.XXXXXX")
    tar -C "$root" -xf "$tarball"
    cp "$deb" "$root/root/"
    cp "$roots/try-package.sh" "$root/root/"
    cp -r "$demo_tree" "$root/root/demo-tree"
    mkdir -p "$roots/$suite-apt"
    cp -L /etc/resolv.conf "$root/etc/resolv.conf"
    log="$roots/$suite-try.log"
    # The mounts live in a mount namespace of their own: they are gone when
    # it ends, however the test ends, and the copy can simply be removed.
    unshare --mount --fork -- sh -c '
        mount -t proc proc "$1/proc" && mount --rbind /dev "$1/dev" && mount --rbind /sys "$1/sys" \
        && mount --bind "$3" "$1/var/cache/apt/archives" \
        && exec chroot "$1" /bin/bash /root/try-package.sh "$2"' sh "$root" "$(basename "$deb")" "$roots/$suite-apt" \
        >"$log" 2>&1 || status=$?
    rm -rf "$root"
    cat "$log"
    if [[ $status -eq 0 ]] && grep -qx "RESULT passed" "$log"; then
        summary+=("$name: installed with apt, built, listed and verified an exe from Cyrillic names, refused a case clash; try passed under $(grep -o 'under wine-[^,]*' "$log" | head -n 1 | cut -c7-) with no locale set ($((SECONDS - t)) s)")
    elif grep -qx "RESULT wine-not-installable" "$log"; then
        summary+=("$name: FAILED, apt cannot install wine here; see $log")
        failures=$((failures + 1))
    elif grep -qx "RESULT not-installable" "$log"; then
        local unmet
        unmet=$(grep -E 'Depends: .* but (it is not installable|.* is to be installed)' "$log" | sed 's/^ *//' | head -n 3 || true)
        summary+=("$name: FAILED, apt cannot install the package here: ${unmet:-see $log}")
        failures=$((failures + 1))
    else
        summary+=("$name: FAILED after installing; see the lines above ($log)")
        failures=$((failures + 1))
    fi
}

try_release bookworm "Debian 12"
try_release trixie "Debian 13"

echo "== summary ($((SECONDS - started)) s)"
printf '%s\n' "${summary[@]}"
for suite in bookworm trixie; do
    icu=$(grep -oE 'korvanthelm-tools : Depends: libicu[0-9]+' "$roots/$suite-try.log" 2>/dev/null || true)
    [[ -z "$icu" ]] || echo "note: $suite has no ${icu##* }: the packer is linked with another release's ICU"
done
[[ $failures -eq 0 ]]
