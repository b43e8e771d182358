#!/usr/bin/python3
"""Reconfigures one build three times and checks what KORVANTHELM.exe carries.

Usage: package_follows_options.py --source DIR --packer PACKER --work DIR [--cmake CMAKE]

A release engineer's road through one build folder: a prebuilt package A
(KORVANTHELM_PACKAGE and the launcher digests on the command line), then
those options removed again with -U (back to packing the default launcher
tree, the demo tree), then a prebuilt package B. After each configure the
top-level `windows` target is built, and the product must carry exactly that
package as RCDATA 101 and, compiled in, the SHA-256 of those bytes as
PackageDigest beside the launcher digests that belong to it. A sub-build that
kept an option the top level no longer has shows up as the previous package
or the previous digests.

The packages are made with PACKER from two small trees; the build itself
(optimised, no sanitizers, no tests: only the packer and the product) lives in
WORK/build, which is removed first.
"""

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys

import check_pe

OPTIONS = ("KORVANTHELM_PACKAGE", "KORVANTHELM_LAUNCHER_EXE_SHA256",
           "KORVANTHELM_LAUNCHER_JAR_SHA256")
# A digest compiled in as a wide string: 64 lowercase hex digits in UTF-16LE.
WIDE_DIGEST = re.compile(rb"(?:[0-9a-f]\x00){64}")


def minimal_pe(text):
    """MZ and PE signatures around `text`: what the packer takes for a Windows
    program, as a set-up program must be (no code: nothing here runs it)."""
    head = ("MZ " + text)[:0x3C].ljust(0x3C, "\0")
    return head + "\x40\0\0\0" + "PE\0\0"

def run(command, log):
    log.write("$ " + " ".join(command) + "\n")
    log.flush()
    if subprocess.run(command, stdout=log, stderr=subprocess.STDOUT).returncode != 0:
        sys.exit(f"failed: {' '.join(command)} (see {log.name})")


def read_digests_cmake(path):
    """{name: value} of the set() lines korvanthelm-pack --digests-cmake writes."""
    with open(path, encoding="utf-8") as text:
        return dict(re.findall(r'set\((\w+) "([0-9a-f]{64})"\)', text.read()))


def make_package(packer, work, name, log):
    """Packs a small tree of its own; returns (package path, exe digest, jar digest)."""
    tree = os.path.join(work, f"tree-{name}")
    files = {
        "KORVANTHELM/KORVANTHELM.exe": minimal_pe(f"set-up program of package {name}"),
        "KORVANTHELM/launcher/KorvanThelmLauncher.exe": f"launcher of package {name}",
        "KORVANTHELM/launcher/app/KorvanThelm.jar": f"jar of package {name}",
    }
    for path, text in files.items():
        os.makedirs(os.path.dirname(os.path.join(tree, path)), exist_ok=True)
        with open(os.path.join(tree, path), "w", encoding="utf-8") as out:
            out.write(text)
    package = os.path.join(work, f"package-{name}.bin")
    digests = os.path.join(work, f"package-{name}.cmake")
    run([packer, "pack", tree, "-o", package, "--digests-cmake", digests], log)
    values = read_digests_cmake(digests)
    return package, values["KORVANTHELM_LAUNCHER_EXE_SHA256"], values["KORVANTHELM_LAUNCHER_JAR_SHA256"]


def carried(exe):
    """(RCDATA 101, sorted wide-string digests) of a built executable."""
    report = check_pe.Report()
    resources = check_pe.resource_table(check_pe.load(exe), report)
    package = resources.get((check_pe.RT_RCDATA, check_pe.PACKAGE_ID, check_pe.LANG_EN_US))
    with open(exe, "rb") as image:
        digests = sorted(match.decode("utf-16-le") for match in WIDE_DIGEST.findall(image.read()))
    return package, digests


def check(step, exe, package_path, exe_digest, jar_digest):
    """Failures of one step, one line each."""
    with open(package_path, "rb") as package_file:
        expected = package_file.read()
    package, digests = carried(exe)
    failures = []
    if package is None:
        failures.append(f"{step}: the product has no RCDATA {check_pe.PACKAGE_ID}")
    elif package != expected:
        failures.append(f"{step}: RCDATA {check_pe.PACKAGE_ID} ({len(package)} bytes) is not "
                        f"{package_path} ({len(expected)} bytes)")
    wanted = sorted([hashlib.sha256(expected).hexdigest(), exe_digest, jar_digest])
    if digests != wanted:
        failures.append(f"{step}: digests compiled in {digests}, expected {wanted} "
                        "(PackageDigest, LauncherExeDigest, LauncherJarDigest)")
    print(f"{step}: {'ok' if not failures else 'WRONG'}: RCDATA {check_pe.PACKAGE_ID} "
          f"{'missing' if package is None else f'{len(package)} bytes'}, "
          f"PackageDigest {hashlib.sha256(package or b'').hexdigest()[:16]}…")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--source", required=True, help="the source tree")
    parser.add_argument("--packer", required=True, help="korvanthelm-pack, to make the packages")
    parser.add_argument("--work", required=True, help="folder for the packages and the build")
    parser.add_argument("--cmake", default="cmake", help="the cmake to configure and build with")
    args = parser.parse_args()

    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    build = os.path.join(work, "build")
    exe = os.path.join(build, "windows", "product", "KORVANTHELM.exe")
    with open(os.path.join(work, "build.log"), "w", encoding="utf-8") as log:
        package_a, exe_a, jar_a = make_package(args.packer, work, "A", log)
        package_b, exe_b, jar_b = make_package(args.packer, work, "B", log)

        def configure_and_build(*options):
            run([args.cmake, "-S", args.source, "-B", build, "-G", "Ninja", *options], log)
            run([args.cmake, "--build", build, "--target", "windows", "-j", "2"], log)

        failures = []
        configure_and_build("-DCMAKE_C_COMPILER=clang", "-DCMAKE_CXX_COMPILER=clang++",
                            "-DCMAKE_BUILD_TYPE=Release", "-DKORVANTHELM_SANITIZE=OFF",
                            "-DKORVANTHELM_TESTS=OFF", f"-DKORVANTHELM_PACKAGE={package_a}",
                            f"-DKORVANTHELM_LAUNCHER_EXE_SHA256={exe_a}",
                            f"-DKORVANTHELM_LAUNCHER_JAR_SHA256={jar_a}")
        failures += check("package A", exe, package_a, exe_a, jar_a)

        configure_and_build(*(f"-U{option}" for option in OPTIONS))
        default_package = os.path.join(build, "windows", "product-package", "package.bin")
        default_digests = os.path.join(build, "windows", "product-package", "digests.cmake")
        if not os.path.exists(default_digests):
            with open(package_a, "rb") as package_file:
                still_a = carried(exe)[0] == package_file.read()
            failures.append("no package: the default launcher tree was not packed; the product "
                            f"{'still carries package A' if still_a else 'carries no package asked for'}")
        else:
            values = read_digests_cmake(default_digests)
            failures += check("no package (the default tree)", exe, default_package,
                              values["KORVANTHELM_LAUNCHER_EXE_SHA256"],
                              values["KORVANTHELM_LAUNCHER_JAR_SHA256"])

        configure_and_build(f"-DKORVANTHELM_PACKAGE={package_b}",
                            f"-DKORVANTHELM_LAUNCHER_EXE_SHA256={exe_b}",
                            f"-DKORVANTHELM_LAUNCHER_JAR_SHA256={jar_b}")
        failures += check("package B", exe, package_b, exe_b, jar_b)

    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
