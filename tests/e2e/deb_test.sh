#!/bin/bash
# The Debian package of the tools, used the way a release engineer uses it:
# made with CPack from the host build, unpacked with dpkg -x into a folder of
# its own, and only that copy's korvanthelm-pack (finding its stub beside
# itself) builds KORVANTHELM.exe from a launcher tree. That exe then runs
# under plain Wine, and what the set-up program found unpacked must be the
# tree, byte for byte.
#
#   deb_test.sh --host-build DIR --tree TREE --jar JAR --work DIR
#               --wine WINE_RUN WATCHER
set -euo pipefail

host="" tree="" jar="" work="" wine_run="" watcher=""
while [[ $# -gt 0 ]]; do
    case "$1" in
        --host-build) host=$2; shift 2 ;;
        --tree) tree=$2; shift 2 ;;
        --jar) jar=$2; shift 2 ;;
        --work) work=$2; shift 2 ;;
        --wine) wine_run=$2; watcher=$3; shift 3 ;;
        *) echo "deb_test.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

rm -rf "$work"
mkdir -p "$work"
cpack -G DEB --config "$host/CPackConfig.cmake" -B "$work/cpack" >"$work/cpack.log" 2>&1 \
    || { cat "$work/cpack.log"; exit 1; }
debs=("$work"/cpack/korvanthelm-tools_*_amd64.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || { echo "no korvanthelm-tools_<version>_amd64.deb"; exit 1; }
deb=${debs[0]}
echo "package: $(basename "$deb")"

contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
for path in ./usr/bin/korvanthelm-pack ./usr/share/korvanthelm/korvanthelm-stub.exe \
            ./usr/share/korvanthelm/korvanthelm-selftest.exe \
            ./usr/share/korvanthelm/korvanthelm-watcher.exe \
            ./usr/share/doc/korvanthelm-tools/README.md ./usr/share/doc/korvanthelm-tools/copyright \
            ./usr/share/doc/korvanthelm-tools/changelog.gz ./usr/share/man/man1/korvanthelm-pack.1.gz \
            ./usr/share/doc/korvanthelm-tools/setup-program.md ./usr/share/doc/korvanthelm-tools/try.md \
            ./usr/share/doc/korvanthelm-tools/signing.md ./usr/share/doc/korvanthelm-tools/limits.md; do
    grep -qxF -- "$path" <<<"$contents" || fail "the package lacks $path"
done
# The pages for those who build the tools stay out of what studios install.
! grep -q 'developers\|building-from-sources\|layout-and-tests' <<<"$contents" \
    || fail "the package ships the developers' pages"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libwim libssl; do
    [[ "$depends" == *"$library"* ]] || fail "Depends names no $library: $depends"
done
# Case folding is a table built in, so the package installs whichever ICU the
# release ships.
[[ "$depends" != *libicu* ]] || fail "Depends names libicu: $depends"
[[ "$(dpkg-deb -f "$deb" Recommends)" == *osslsigncode* ]] || fail "osslsigncode is not recommended"
suggests=$(dpkg-deb -f "$deb" Suggests)
for suggested in libengine-pkcs11-openssl softhsm2 opensc wine; do
    [[ "$suggests" == *"$suggested"* ]] || fail "Suggests names no $suggested: $suggests"
done
# The manual page is made from the help of the packer it ships with: every
# command has its section.
manual=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/man/man1/korvanthelm-pack.1.gz | gzip -dc)
for command in pack build list verify try; do
    grep -qx "\.SS $command" <<<"$manual" || fail "the manual page has no section for $command"
done
# ... and the user pages: the set-up program's contract is read with `man`.
for section in "WHAT THE SET\\-UP PROGRAM MUST DO" "SIGNING A RELEASE" "LIMITS" "OUTPUT FOR MACHINES"; do
    grep -qxF ".SH \"$section\"" <<<"$manual" || fail "the manual page has no section $section"
done
grep -qF 'launcher.path' <<<"$manual" || fail "the manual page does not name the launcher record"

# Unpacked where nothing of the build is: the packer must find its stub there.
root="$work/unpacked somewhere"
dpkg -x "$deb" "$root"
exe="$work/out/KORVANTHELM.exe"
mkdir -p "$work/out"
"$root/usr/bin/korvanthelm-pack" build "$tree" -o "$exe" \
    --launcher-exe "$tree/KORVANTHELM/KORVANTHELM.exe" --launcher-jar "$jar" >"$work/build.log" 2>&1 \
    || { cat "$work/build.log"; fail "the unpacked packer could not build from the tree"; }
"$root/usr/bin/korvanthelm-pack" verify "$exe" >"$work/verify.log" 2>&1 \
    || { cat "$work/verify.log"; fail "verify refuses what build made"; }

if [[ -f "$exe" ]]; then
    world="$work/world"
    mkdir -p "$world/Temp" "$world/Roaming"
    winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
    status=0
    messages=$(KORVANTHELM_WINE_PLAIN=1 "$wine_run" "$watcher" \
        --env "TEMP=$(winpath "$world/Temp")" --env "TMP=$(winpath "$world/Temp")" \
        --env "APPDATA=$(winpath "$world/Roaming")" \
        --env "KORVANTHELM_PROBE_REPORT=$(winpath "$world/report.txt")" \
        --env "KORVANTHELM_PROBE_COPY=$(winpath "$world/unpacked")" \
        -- "$(winpath "$exe")") || status=$?
    if [[ $status -ne 0 || -n "$messages" ]]; then
        fail "the exe under plain Wine: exit code $status, message box: ${messages:-none}"
    fi
    if ! diff -r "$tree" "$world/unpacked" >"$work/diff.log"; then
        fail "what was unpacked differs from the tree:"
        head -20 "$work/diff.log"
    fi
    [[ -z "$(ls -A "$world/Temp")" ]] || fail "the work directory was left in TEMP"
    # `try` finds the watcher beside the unpacked packer, as it finds the
    # stub. This set-up program installs nothing, so only the first start's
    # line is looked at.
    XDG_CACHE_HOME="$work/cache" "$root/usr/bin/korvanthelm-pack" try "$exe" --timeout 60 \
        >"$work/try.log" 2>&1 || true
    grep -q "^First start: exit code 0, .*unpacked, set-up program run with --setup (exit code 0)" \
        "$work/try.log" || { cat "$work/try.log"; fail "try from the unpacked package"; }
fi

if [[ $failures -ne 0 ]]; then
    echo "$failures check(s) failed"
    exit 1
fi
rm -rf "$work"
echo "the unpacked .deb alone built an exe that unpacked the tree byte for byte under plain Wine"
