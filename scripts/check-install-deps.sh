#!/bin/bash
# Fails when a program that the scripts, the build, the Wine harness or the
# tests run -- or a file the build takes from a Debian package -- would be
# missing on a fresh Debian 12 machine after scripts/install-deps.sh.
#
# Each program is looked up where Debian's packages put programs (not on this
# machine's PATH, which may hold private copies), then followed link by link
# (alternatives included) to the first path dpkg knows. The package owning
# that path (dpkg -S) must be one install-deps.sh names, a plain dependency of
# one (apt installs those with it), or an Essential package (on every Debian
# system). That a program happens to be present here proves nothing: one from
# an unnamed package fails as well.
set -euo pipefail
cd "$(dirname "$0")/.."

programs=(
    # scripts/test.sh, scripts/demo.sh, scripts/check-reproducible.sh, CTest
    cmake ctest git
    # the host build: clang in the presets, GCC in .ci/run
    ninja clang clang++ gcc g++
    # the Windows build (cmake/x86_64-w64-mingw32.cmake) and check-reproducible.sh
    x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windres
    x86_64-w64-mingw32-ar x86_64-w64-mingw32-ranlib x86_64-w64-mingw32-dlltool
    x86_64-w64-mingw32-objdump
    # the Wine harness (cmake/wine-run.sh.in)
    wine wineboot winecfg wineserver flock setarch
    # test packages, the PE checks, the demo jar check
    python3
    # signing (korvanthelm-pack build) and its test (tests/signing): a SoftHSM2 token
    osslsigncode openssl od dd realpath softhsm2-util pkcs11-tool strace
    # the tools' Debian package and its test (cmake/tools-package.cmake, tests/e2e/deb_test.sh):
    # CPack runs file, readelf and dpkg-shlibdeps (which runs objdump), strips
    # with strip when no llvm-strip is installed; the manual page and the changelog need gzip
    cpack dpkg-shlibdeps dpkg-deb dpkg dpkg-architecture file readelf objdump strip gzip diff
    # the package in fresh Debian roots (scripts/check-deb-on-debian.sh)
    mmdebstrap lintian unshare chroot
    # the full-disk test's tmpfs (tests/e2e/small_temp.sh)
    mount umount mountpoint
    # shell tools the scripts and tests use
    bash sh awk sed grep tar cmp sha256sum stat cut head tr wc mktemp sleep ls cp mv rm mkdir ln cat
)
# Files the build reads from packages. Globs stand for version folders.
files=(
    /usr/src/googletest/googletest/CMakeLists.txt  # GoogleTest, built on both sides
    /usr/include/wimlib.h
    /usr/lib/x86_64-linux-gnu/libwim.so
    /usr/include/openssl/sha.h
    /usr/lib/x86_64-linux-gnu/libcrypto.so
    /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.asan-x86_64.a
    /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a
    /usr/lib/python3/dist-packages/pefile.py  # tests/pe
    /usr/include/unicode/uchar.h  # ICU, the packer's case folding
    /usr/share/unicode/CaseFolding.txt  # Unicode's case folding table, read at build time
    /usr/lib/softhsm/libsofthsm2.so  # the signing test's token
    /usr/lib/x86_64-linux-gnu/engines-3/pkcs11.so  # OpenSSL's PKCS#11 engine, for osslsigncode
    /usr/lib/x86_64-linux-gnu/pkgconfig/icu-uc.pc
)
# Not checked: apt-get and sudo (install-deps.sh itself runs them to install
# the rest), and resources/icon/render-icon.py's tools (run by hand only when
# the icon changes).

mapfile -t named < <(bash scripts/install-deps.sh --list)

declare -A accepted=()
for p in "${named[@]}"; do accepted[$p]="named in install-deps.sh"; done
# Plain dependencies only: of "a | b" apt may install either.
while IFS= read -r dep; do
    dep=${dep%% (*}
    dep=${dep%%:*}
    [[ -n "$dep" && -z "${accepted[$dep]:-}" ]] && accepted[$dep]="a dependency of a named package"
done < <(dpkg-query -W -f='${Depends}, ${Pre-Depends}\n' "${named[@]}" 2>/dev/null \
             | tr ',' '\n' | grep -v '|' | sed 's/^ *//; s/ *$//')

# The packages owning exactly this path, one a line. With merged /usr, dpkg
# records /usr/bin/x of some packages as /bin/x.
owners_of() {
    local path
    for path in "$1" ${1#/usr}; do
        [[ "$path" == /* ]] || continue
        { dpkg -S -- "$path" 2>/dev/null || true; } \
            | awk -v p="$path" '!/^diversion by/ { i = index($0, ": " p)
                                 if (i && substr($0, i + 2) == p) print substr($0, 1, i - 1) }'
    done | tr ',' '\n' | sed 's/^ *//; s/:.*//' | sort -u
}

failures=0
check() {  # <what> <path>
    local what=$1 path=$2 owners="" target
    while :; do
        owners=$(owners_of "$path")
        [[ -n "$owners" || ! -L "$path" ]] && break
        target=$(readlink "$path")
        [[ "$target" == /* ]] || target=$(dirname "$path")/$target
        path=$(realpath -s -m "$target")
    done
    if [[ -z "$owners" ]]; then
        echo "MISSING  $what: $path belongs to no Debian package"
        failures=$((failures + 1))
        return
    fi
    local owner why
    for owner in $owners; do
        why=${accepted[$owner]:-}
        if [[ -z "$why" && "$(dpkg-query -W -f='${Essential}' "$owner" 2>/dev/null)" == yes ]]; then
            why="Essential"
        fi
        if [[ -n "$why" ]]; then
            [[ -z "${VERBOSE:-}" ]] || echo "ok       $what: $path from $owner ($why)"
            return
        fi
    done
    echo "MISSING  $what: $path comes from $(echo $owners), which scripts/install-deps.sh does not install"
    failures=$((failures + 1))
}

for program in "${programs[@]}"; do
    path=$(PATH=/usr/sbin:/usr/bin:/sbin:/bin command -v "$program" || true)
    if [[ -z "$path" ]]; then
        echo "MISSING  $program: not installed"
        failures=$((failures + 1))
    else
        check "$program" "$path"
    fi
done
for pattern in "${files[@]}"; do
    # An unmatched glob stays as it is and then names no file.
    for file in $pattern; do
        if [[ -e "$file" ]]; then check "$file" "$file"; else
            echo "MISSING  $file: not installed"
            failures=$((failures + 1))
        fi
    done
done

echo "checked ${#programs[@]} programs and ${#files[@]} files against the ${#named[@]} packages of scripts/install-deps.sh: $failures missing"
[[ $failures -eq 0 ]]
