#!/usr/bin/python3
"""`korvanthelm-pack build` against the real stub: what it refuses, and what it makes.

Usage: build_test.py --packer PACKER --stub STUB --product EXE --foreign PE
                     --no-setup-package PACKAGE --work DIR [--demo-tree TREE]

Every refusal must exit with 1 and say one line, and leave the output as it
was: an existing file untouched, no new file and no temporary file beside it.
The near-misses beside them must be built. With --demo-tree, building that
tree must give EXE (the product CMake made) byte for byte.
"""

import argparse
import os
import shutil
import struct
import subprocess
import sys

import pefile

import check_pe

ZEROS = "0" * 64


def minimal_pe(text):
    """MZ and PE signatures around `text`: what the packer takes for a Windows
    program, as a set-up program must be (no code: nothing here runs it)."""
    head = ("MZ " + text)[:0x3C].ljust(0x3C, "\0")
    return head + "\x40\0\0\0" + "PE\0\0"

def run(packer, args):
    result = subprocess.run([packer, *args], capture_output=True, text=True)
    return result.returncode, result.stderr


def slot_offset(path):
    """File offset of the digest slot in the stub at `path`."""
    pe = pefile.PE(path, fast_load=True)
    for section in pe.sections:
        if section.Name.rstrip(b"\0") == check_pe.SLOT_SECTION:
            return section.PointerToRawData
    raise LookupError(f"{path} has no digest slot")


def write_tree(root, files):
    for path, text in files.items():
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w", encoding="utf-8") as out:
            out.write(text)
    return root


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    for name in ("--packer", "--stub", "--product", "--foreign", "--no-setup-package", "--work"):
        parser.add_argument(name, required=True)
    parser.add_argument("--demo-tree")
    args = parser.parse_args()

    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    work = lambda *parts: os.path.join(args.work, *parts)  # noqa: E731

    with open(args.stub, "rb") as f:
        stub = f.read()
    with open(work("truncated-stub.exe"), "wb") as f:
        f.write(stub[:len(stub) - 4096])
    other_version = bytearray(stub)
    version_at = slot_offset(args.stub) + 16
    other_version[version_at:version_at + 16] = b"1.7.9".ljust(16, b"\0")
    with open(work("other-version-stub.exe"), "wb") as f:
        f.write(other_version)
    with open(work("not-a-package.bin"), "wb") as f:
        f.write(b"KTSETUP1" + struct.pack("<Q", 10) + b"no container here")

    launcher = {"KORVANTHELM/launcher/KorvanThelmLauncher.exe": "launcher",
                "KORVANTHELM/launcher/app/KorvanThelm.jar": "jar"}
    good_tree = write_tree(work("tree"), {**launcher, "KORVANTHELM/KORVANTHELM.exe": minimal_pe("set-up")})
    no_setup_tree = write_tree(work("no-setup-tree"), {**launcher, "KORVANTHELM/setup.exe": "x"})
    # Windows finds the set-up program whatever the case of its ASCII letters.
    other_case_tree = write_tree(work("other-case-tree"), {"korvanthelm/Korvanthelm.EXE": minimal_pe("set-up"),
                                                          "launcher.exe": "l", "app.jar": "j"})

    with_package = ["--launcher-exe-sha256", ZEROS, "--launcher-jar-sha256", ZEROS]
    stub = ["--stub", args.stub]
    # (what, arguments, None for a build that must succeed, or a text the refusal must hold)
    cases = [
        ("another PE file as the stub", ["build", good_tree, "--stub", args.foreign],
         "not a KORVANTHELM executable"),
        ("a truncated stub", ["build", good_tree, "--stub", work("truncated-stub.exe")],
         "cut short"),
        ("a finished exe as the stub", ["build", good_tree, "--stub", args.product],
         "already carries a package"),
        ("the stub of another version", ["build", good_tree, "--stub", work("other-version-stub.exe")],
         "stub of version 1.7.9"),
        ("a tree without the set-up program", ["build", no_setup_tree, *stub],
         "holds no set-up program"),
        ("a package without the set-up program",
         ["build", "--package", args.no_setup_package, *with_package, *stub],
         "holds no set-up program"),
        ("a package that does not decode", ["build", "--package", work("not-a-package.bin"),
                                            *with_package, *stub], "korvanthelm-pack: "),
        ("the set-up program in another case",
         ["build", other_case_tree, "--launcher-exe", "launcher.exe", "--launcher-jar", "app.jar",
          *stub], None),
        ("an undecodable package, unchecked",
         ["build", "--package", work("not-a-package.bin"), *with_package, *stub, "--no-verify"],
         None),
    ]
    failures = []
    for index, (what, command, refusal) in enumerate(cases):
        folder = work(f"out-{index}")
        os.makedirs(folder)
        output = os.path.join(folder, "KORVANTHELM.exe")
        with open(output, "wb") as f:
            f.write(b"the previous release")
        status, err = run(args.packer, [*command, "-o", output])
        with open(output, "rb") as f:
            now = f.read()
        left = sorted(os.listdir(folder))
        lines = err.splitlines()
        if refusal is not None:
            if status != 1 or len(lines) != 1 or refusal not in lines[0]:
                failures.append(f"{what}: exit {status}, expected 1 and one line with "
                                f"{refusal!r}; stderr: {err!r}")
            if now != b"the previous release" or left != ["KORVANTHELM.exe"]:
                failures.append(f"{what}: the output folder changed: {left}")
        else:
            unchecked = "--no-verify" in command
            warned = any("warning" in line and "not verified" in line for line in lines)
            if status != 0 or now[:2] != b"MZ" or left != ["KORVANTHELM.exe"] or warned != unchecked:
                failures.append(f"{what}: exit {status}, files {left}, stderr {err!r}")

    if args.demo_tree:
        output = work("demo", "KORVANTHELM.exe")
        os.makedirs(os.path.dirname(output))
        status, err = run(args.packer, ["build", args.demo_tree, "-o", output, *stub])
        with open(args.product, "rb") as f:
            product = f.read()
        if status != 0:
            failures.append(f"building the demo tree: exit {status}: {err}")
        else:
            with open(output, "rb") as f:
                if f.read() != product:
                    failures.append("the demo tree through build differs from the CMake product")
            failures += [f"built exe: {line}" for line in check_pe.check_executable(output)]

    for failure in failures:
        print(failure)
    print(f"build: {len(cases)} cases{' and the demo tree' if args.demo_tree else ''}, "
          f"{len(failures)} problem(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
