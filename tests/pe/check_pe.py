#!/usr/bin/python3
"""Checks a built KORVANTHELM.exe: headers, resources and imports.

Usage: check_pe.py [--package FILE] EXE
       check_pe.py --stub [--code-budget BYTES] STUB
       check_pe.py --imports-only EXE

Reads the executable itself (never the resource script) and reports every
difference from what the shipped program must look like, one line each, then
exits with 1; exits with 0 when nothing differs. With --package, RCDATA 101
must hold exactly the bytes of FILE, and the digest slot its SHA-256. With
--stub, the file is the stub the packer builds from: the same shape without
RCDATA 101, an empty digest slot, and at most BYTES of code. With
--imports-only, only the import table is held to the allow-list: for the
programs inside the package (the demo set-up program and launcher), which are
started from the folder the bootstrapper unpacked them into.
"""

import argparse
import hashlib
import struct
import sys
import xml.etree.ElementTree as ElementTree

import pefile

LANG_EN_US = 1033
RT_ICON, RT_RCDATA, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 10, 14, 16, 24
PACKAGE_ID = 101

# Icon ids 1..10 in group order, with their edge length; only the largest is PNG.
ICON_SIZES = (16, 20, 24, 32, 40, 48, 64, 96, 128, 256)
PNG_ICON_ID = 10

EXPECTED_RESOURCES = sorted(
    [(RT_ICON, icon_id, LANG_EN_US) for icon_id in range(1, len(ICON_SIZES) + 1)]
    + [(RT_RCDATA, PACKAGE_ID, LANG_EN_US), (RT_GROUP_ICON, 1, LANG_EN_US),
       (RT_VERSION, 1, LANG_EN_US), (RT_MANIFEST, 1, LANG_EN_US)])

VERSION_1_8_0_0 = (0x00010008, 0x00000000)  # (MS, LS) halves of 1.8.0.0
VOS_NT_WINDOWS32 = 0x00040004
VFT_APP = 1
STRING_TABLE = "041904B0"  # Russian, UTF-16
TRANSLATION = (0x0419, 0x04B0)
VERSION_STRINGS = {
    "CompanyName": "KorvanThelm",
    "FileDescription": "KORVANTHELM Launcher",
    "FileVersion": "1.8.0",
    "InternalName": "KORVANTHELM",
    "LegalCopyright": "© KorvanThelm. Все права защищены.",
    "OriginalFilename": "KORVANTHELM.exe",
    "ProductName": "KORVANTHELM",
    "ProductVersion": "1.8.0",
}

# The loader maps KnownDLLs from System32 whatever folder the exe sits in, so
# importing only these leaves nothing to plant beside a downloaded exe.
# kernel32: the process, files, resources, LoadLibraryExW for the rest.
# msvcrt: the C runtime mingw-w64 links against (memory, strings, startup).
# user32 (MessageBoxW) is a KnownDLL too, but it is loaded only when there is a
# message to show: importing it would slow down every start.
ALLOWED_IMPORTS = {"kernel32.dll", "msvcrt.dll"}
# Not KnownDLLs and needed by the program (or by korvanthelm-pack.exe, which
# checks signatures with wintrust and crypt32): they are loaded at run time
# from System32 only, and a static import would reopen the planting hole.
FORBIDDEN_IMPORTS = {"bcrypt.dll", "cabinet.dll", "wintrust.dll", "crypt32.dll"}

IMAGE_FILE_MACHINE_AMD64 = 0x8664
PE32_PLUS_MAGIC = 0x20B
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2
PAGE_SIZE = 4096

# The digest slot (format/digest_slot.h): where the packer writes the three
# digest texts the bootstrapper compares with.
SLOT_SECTION = b".kdigest"
SLOT_MAGIC = b"KTDIGEST"
SLOT_LAYOUT = 1
SLOT_SIZE = 424
SLOT_DIGESTS = {"PackageDigest": 32, "LauncherExeDigest": 162, "LauncherJarDigest": 292}

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"


class Report:
    def __init__(self):
        self.failures = []

    def expect(self, condition, message):
        if not condition:
            self.failures.append(message)
        return condition

    def equal(self, what, actual, expected):
        """Reports dictionaries key by key and lists item by item, so one
        difference in a long value stays readable."""
        if actual == expected:
            return True
        if isinstance(actual, dict) and isinstance(expected, dict):
            for key in sorted(set(actual) | set(expected)):
                if key not in actual:
                    self.failures.append(f"{what}: {key!r} missing (expected {expected[key]!r})")
                elif key not in expected:
                    self.failures.append(f"{what}: unexpected {key!r} = {actual[key]!r}")
                else:
                    self.equal(f"{what}: {key!r}", actual[key], expected[key])
        elif isinstance(actual, list) and isinstance(expected, list):
            for index, (item, wanted) in enumerate(zip(actual, expected)):
                self.equal(f"{what}[{index}]", item, wanted)
            for index in range(len(expected), len(actual)):
                self.failures.append(f"{what}[{index}]: unexpected {actual[index]!r}")
            for index in range(len(actual), len(expected)):
                self.failures.append(f"{what}[{index}]: missing {expected[index]!r}")
        else:
            self.failures.append(f"{what}: expected {expected!r}, found {actual!r}")
        return False


def check_headers(pe, report, stub=False):
    report.equal("machine", hex(pe.FILE_HEADER.Machine), hex(IMAGE_FILE_MACHINE_AMD64))
    report.equal("optional header magic (PE32+)", hex(pe.OPTIONAL_HEADER.Magic), hex(PE32_PLUS_MAGIC))
    report.equal("subsystem", pe.OPTIONAL_HEADER.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI)
    # A link time in the header would make every build differ.
    report.equal("file header TimeDateStamp", pe.FILE_HEADER.TimeDateStamp, 0)
    debug_entries = getattr(pe, "DIRECTORY_ENTRY_DEBUG", [])
    for entry in debug_entries:
        report.equal("debug directory entry TimeDateStamp", entry.struct.TimeDateStamp, 0)
    export = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    if export is not None:
        report.equal("export directory TimeDateStamp", export.struct.TimeDateStamp, 0)
    # The package is mapped from the file at start-up only when the resource
    # section's raw data starts on a page; otherwise it is copied every start.
    resource_rva = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY[
        "IMAGE_DIRECTORY_ENTRY_RESOURCE"]].VirtualAddress
    for section in pe.sections:
        # The packer puts the finished exe's resources on a page.
        if section.VirtualAddress == resource_rva and not stub:
            report.expect(section.PointerToRawData % PAGE_SIZE == 0,
                          f"resource section raw data at {section.PointerToRawData:#x}, "
                          "not on a page boundary")
    report.equal("checksum", hex(pe.OPTIONAL_HEADER.CheckSum), hex(pe.generate_checksum()))


def resource_table(pe, report):
    """{(type, id, language): bytes}; names instead of ids are failures."""
    resources = {}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    if not report.expect(root is not None, "the executable has no resource directory"):
        return resources
    # The resource compiler may stamp every directory level; it must not.
    report.equal("resource directory TimeDateStamp", root.struct.TimeDateStamp, 0)
    for type_entry in root.entries:
        if not report.expect(type_entry.id is not None,
                             f"resource type named {type_entry.name}: only numeric types are expected"):
            continue
        report.equal(f"TimeDateStamp of resource type {type_entry.id}",
                     type_entry.directory.struct.TimeDateStamp, 0)
        for name_entry in type_entry.directory.entries:
            if not report.expect(name_entry.id is not None,
                                 f"resource of type {type_entry.id} named {name_entry.name}: "
                                 "only numeric ids are expected"):
                continue
            report.equal(f"TimeDateStamp of resource {type_entry.id}/{name_entry.id}",
                         name_entry.directory.struct.TimeDateStamp, 0)
            for lang_entry in name_entry.directory.entries:
                data = lang_entry.data.struct
                blob = pe.get_data(data.OffsetToData, data.Size)
                report.equal(f"size of resource {type_entry.id}/{name_entry.id}", len(blob), data.Size)
                resources[(type_entry.id, name_entry.id, lang_entry.id)] = blob
    return resources


def check_resource_list(resources, report, stub=False):
    expected = [key for key in EXPECTED_RESOURCES if not (stub and key[0] == RT_RCDATA)]
    found = sorted(resources)
    missing = [key for key in expected if key not in resources]
    extra = [key for key in found if key not in expected]
    report.expect(not missing, f"resources missing (type, id, language): {missing}")
    report.expect(not extra, f"unexpected resources (type, id, language): {extra}")


def check_icon_group(resources, report):
    group = resources.get((RT_GROUP_ICON, 1, LANG_EN_US))
    if group is None:
        return
    if not report.expect(len(group) >= 6, f"icon group is {len(group)} bytes, too short for its header"):
        return
    (reserved, kind, count) = struct.unpack_from("<HHH", group, 0)
    report.equal("icon group header (reserved, type)", (reserved, kind), (0, 1))
    if not report.equal("icon group entry count", count, len(ICON_SIZES)):
        return
    if not report.equal("icon group length", len(group), 6 + 14 * count):
        return
    for index, size in enumerate(ICON_SIZES):
        (width, height, colors, _, planes, bits, byte_count, icon_id) = struct.unpack_from(
            "<BBBBHHIH", group, 6 + 14 * index)
        where = f"icon group entry {index + 1}"
        if not report.equal(f"{where} icon id (the group lists images smallest first)",
                            icon_id, index + 1):
            continue
        dimension = size % 256  # a zero byte means 256
        report.equal(f"{where} width x height", (width, height), (dimension, dimension))
        report.equal(f"{where} colour count", colors, 0)
        report.equal(f"{where} planes, bits per pixel", (planes, bits), (1, 32))
        image = resources.get((RT_ICON, icon_id, LANG_EN_US))
        if image is not None:
            report.equal(f"{where} byte count vs RT_ICON {icon_id}", byte_count, len(image))


def check_bitmap_icon(icon_id, size, image, report):
    where = f"RT_ICON {icon_id} ({size} px)"
    if not report.expect(not image.startswith(PNG_SIGNATURE),
                         f"{where} is PNG; only the 256-pixel image may be PNG"):
        return
    if not report.expect(len(image) >= 40, f"{where} is {len(image)} bytes, too short for a bitmap header"):
        return
    (header_size, width, height, planes, bits, compression) = struct.unpack_from("<IiiHHI", image, 0)
    report.equal(f"{where} BITMAPINFOHEADER size", header_size, 40)
    # An icon bitmap's height counts its colour rows and its mask rows.
    report.equal(f"{where} width, height (colour + mask rows)", (width, height), (size, 2 * size))
    report.equal(f"{where} planes, bits per pixel", (planes, bits), (1, 32))
    report.equal(f"{where} compression (BI_RGB)", compression, 0)
    color_bytes = size * size * 4
    mask_bytes = (size + 31) // 32 * 4 * size
    if not report.expect(len(image) >= 40 + color_bytes + mask_bytes,
                         f"{where} holds {len(image)} bytes, fewer than header + pixels + mask "
                         f"({40 + color_bytes + mask_bytes})"):
        return
    alphas = set(image[40 + 3:40 + color_bytes:4])
    # A bitmap whose alpha is all zero or all opaque was written without an
    # alpha channel: the rounded corners would show as a square.
    report.expect(0 in alphas and 255 in alphas and len(alphas) > 2,
                  f"{where} has no real alpha channel (alpha values {sorted(alphas)[:8]}...)")


def check_png_icon(icon_id, size, image, report):
    where = f"RT_ICON {icon_id} ({size} px)"
    if not report.expect(image.startswith(PNG_SIGNATURE), f"{where} is not a PNG image"):
        return
    if not report.expect(len(image) >= 33 and image[12:16] == b"IHDR", f"{where}: PNG without IHDR"):
        return
    (width, height, depth, color_type) = struct.unpack_from(">IIBB", image, 16)
    report.equal(f"{where} PNG width, height", (width, height), (size, size))
    # 8 bits per channel, RGBA: the 32 bits per pixel the group announces.
    report.equal(f"{where} PNG bit depth, colour type (8-bit RGBA)", (depth, color_type), (8, 6))


def check_icon_images(resources, report):
    for index, size in enumerate(ICON_SIZES):
        icon_id = index + 1
        image = resources.get((RT_ICON, icon_id, LANG_EN_US))
        if image is None:
            continue
        if icon_id == PNG_ICON_ID:
            check_png_icon(icon_id, size, image, report)
        else:
            check_bitmap_icon(icon_id, size, image, report)


def parse_version_node(data, offset, end, report, path):
    """One VS_VERSIONINFO-style node: (key, value type, value bytes, children)."""
    if not report.expect(offset + 6 <= end, f"version block {path}: node header past its parent"):
        return None
    (length, value_length, value_type) = struct.unpack_from("<HHH", data, offset)
    node_end = offset + length
    if not report.expect(length >= 6 and node_end <= end,
                         f"version block {path}: node length {length} does not fit its parent"):
        return None
    pos = offset + 6
    key_end = pos
    while key_end + 1 < node_end and data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[pos:key_end].decode("utf-16-le", errors="replace")
    pos = (key_end + 2 + 3) & ~3
    # Text values count UTF-16 units, binary values count bytes.
    value_bytes = value_length * 2 if value_type == 1 else value_length
    value_end = min(pos + value_bytes, node_end)
    value = data[pos:value_end]
    children = []
    child = (value_end + 3) & ~3 if value_bytes else pos
    while child < node_end:
        node = parse_version_node(data, child, node_end, report, f"{path}/{key}")
        if node is None:
            break
        children.append(node)
        child = (child + struct.unpack_from("<H", data, child)[0] + 3) & ~3
    return (key, value_type, value, children)


def check_version(resources, report):
    data = resources.get((RT_VERSION, 1, LANG_EN_US))
    if data is None:
        return
    root = parse_version_node(data, 0, len(data), report, "")
    if root is None:
        return
    (key, _, fixed, children) = root
    report.equal("version block root key", key, "VS_VERSION_INFO")
    if report.equal("VS_FIXEDFILEINFO length", len(fixed), 52):
        fields = struct.unpack("<13I", fixed)
        names = ("signature", "struct version", "file version MS", "file version LS",
                 "product version MS", "product version LS", "file flags mask", "file flags",
                 "file OS", "file type", "file subtype", "file date MS", "file date LS")
        expected = (0xFEEF04BD, 0x00010000, *VERSION_1_8_0_0, *VERSION_1_8_0_0, 0, 0,
                    VOS_NT_WINDOWS32, VFT_APP, 0, 0, 0)
        for name, actual, wanted in zip(names, fields, expected):
            if name == "struct version":
                continue  # resource compilers differ here; the loader ignores it
            report.equal(f"VS_FIXEDFILEINFO {name}", hex(actual), hex(wanted))
    blocks = {child[0]: child for child in children}
    report.equal("version block children", sorted(child[0] for child in children),
                 ["StringFileInfo", "VarFileInfo"])
    if "StringFileInfo" in blocks:
        tables = blocks["StringFileInfo"][3]
        report.equal("string tables", [table[0] for table in tables], [STRING_TABLE])
        for table in tables[:1]:
            strings = {}
            for (name, value_type, value, _) in table[3]:
                report.equal(f"value type of string {name}", value_type, 1)
                strings[name] = value.decode("utf-16-le", errors="replace").split("\0", 1)[0]
            report.equal("version strings", strings, VERSION_STRINGS)
    if "VarFileInfo" in blocks:
        entries = blocks["VarFileInfo"][3]
        report.equal("VarFileInfo entries", [entry[0] for entry in entries], ["Translation"])
        for (_, _, value, _) in entries[:1]:
            pairs = ["0x%04X/0x%04X" % struct.unpack_from("<HH", value, i)
                     for i in range(0, len(value) - 3, 4)]
            report.equal("translations (language/code page)", pairs, ["0x%04X/0x%04X" % TRANSLATION])


def check_manifest(resources, report):
    data = resources.get((RT_MANIFEST, 1, LANG_EN_US))
    if data is None:
        return
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        report.expect(False, f"manifest is not UTF-8: {error}")
        return
    declaration = text.split("?>", 1)[0] if text.startswith("<?xml") else ""
    report.expect('encoding="UTF-8"' in declaration,
                  f"manifest XML declaration does not say encoding UTF-8: {declaration!r}")
    report.expect('standalone="yes"' in declaration,
                  f"manifest XML declaration is not standalone: {declaration!r}")
    try:
        root = ElementTree.fromstring(data)
    except ElementTree.ParseError as error:
        report.expect(False, f"manifest is not well-formed XML: {error}")
        return
    # The whole document, element by element: anything else it declared
    # (supported OS, DPI awareness, dependencies) would change how Windows
    # treats the program.
    shape = [[element.tag, dict(element.attrib)] for element in root.iter()]
    expected_shape = [
        [f"{ASM_V1}assembly", {"manifestVersion": "1.0"}],
        [f"{ASM_V3}trustInfo", {}],
        [f"{ASM_V3}security", {}],
        [f"{ASM_V3}requestedPrivileges", {}],
        [f"{ASM_V3}requestedExecutionLevel", {"level": "asInvoker", "uiAccess": "false"}],
    ]
    report.equal("manifest elements and attributes", shape, expected_shape)
    for element in root.iter():
        report.expect(len(list(element)) <= 1 and not (element.text or "").strip(),
                      f"manifest element {element.tag} has content beyond one child element")


def check_package(resources, package_path, report):
    data = resources.get((RT_RCDATA, PACKAGE_ID, LANG_EN_US))
    if data is None or package_path is None:
        return
    with open(package_path, "rb") as package:
        expected = package.read()
    report.expect(data == expected,
                  f"RCDATA {PACKAGE_ID} ({len(data)} bytes) differs from {package_path} "
                  f"({len(expected)} bytes)")


def slot_digests(pe, report):
    """{name: text} of the digest slot, or None when there is no sound slot;
    the state (0 empty, 1 filled) under "state"."""
    sections = [s for s in pe.sections if s.Name.rstrip(b"\0") == SLOT_SECTION]
    if not report.expect(len(sections) == 1, f"{len(sections)} digest slot sections, expected 1"):
        return None
    data = sections[0].get_data()
    if not report.expect(len(data) >= SLOT_SIZE and data[:8] == SLOT_MAGIC,
                         "the digest slot has no KTDIGEST mark"):
        return None
    (layout, state) = struct.unpack_from("<II", data, 8)
    report.equal("digest slot layout", layout, SLOT_LAYOUT)
    digests = {"state": state}
    for name, offset in SLOT_DIGESTS.items():
        digests[name] = data[offset:offset + 130].decode("utf-16-le").split("\0", 1)[0]
    return digests


def check_slot(pe, resources, package_path, report, stub):
    digests = slot_digests(pe, report)
    if digests is None:
        return
    if stub:
        report.equal("the stub's digest slot", digests,
                     {"state": 0, **{name: "" for name in SLOT_DIGESTS}})
        return
    report.equal("digest slot state (filled)", digests["state"], 1)
    for name in SLOT_DIGESTS:
        report.expect(len(digests[name]) == 64 and set(digests[name]) <= set("0123456789abcdef"),
                      f"{name} {digests[name]!r} is not a digest text")
    data = resources.get((RT_RCDATA, PACKAGE_ID, LANG_EN_US))
    if data is not None:
        report.equal("PackageDigest (SHA-256 of RCDATA 101)", digests["PackageDigest"],
                     hashlib.sha256(data).hexdigest())


def check_code_size(pe, budget, report):
    code = sum(s.Misc_VirtualSize for s in pe.sections if s.Name.rstrip(b"\0") == b".text")
    report.expect(code <= budget, f".text is {code} bytes, over the budget of {budget}: "
                                  "did a change bring back runtime code the stub had shed?")


def imported_dlls(pe):
    return [entry.dll.decode("ascii", errors="replace").lower()
            for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]


def check_imports(pe, report):
    delayed = [entry.dll.decode("ascii", errors="replace").lower()
               for entry in getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])]
    for name in imported_dlls(pe):
        if name in FORBIDDEN_IMPORTS:
            report.expect(False, f"{name} is imported statically; it must be loaded from System32 "
                                 "at run time")
        else:
            report.expect(name in ALLOWED_IMPORTS,
                          f"{name} is imported but is not on the allow-list {sorted(ALLOWED_IMPORTS)}")
    # A delay-loaded DLL is searched for like a static import, only later.
    report.expect(not delayed, f"delay-load imports present: {delayed}")


def load(exe_path):
    """Parses headers and only the directories checked here; the relocations
    pefile would also walk cost most of its time."""
    pe = pefile.PE(exe_path, fast_load=True)
    pe.parse_data_directories(directories=[
        pefile.DIRECTORY_ENTRY[name] for name in (
            "IMAGE_DIRECTORY_ENTRY_IMPORT", "IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT",
            "IMAGE_DIRECTORY_ENTRY_RESOURCE", "IMAGE_DIRECTORY_ENTRY_DEBUG",
            "IMAGE_DIRECTORY_ENTRY_EXPORT")])
    return pe


def check_executable(exe_path, package_path=None, stub=False, code_budget=None):
    """Every difference from the shipped program's shape, one line each; an
    empty list when there is none."""
    report = Report()
    pe = load(exe_path)
    check_headers(pe, report, stub)
    check_imports(pe, report)
    resources = resource_table(pe, report)
    check_resource_list(resources, report, stub)
    check_slot(pe, resources, package_path, report, stub)
    if code_budget is not None:
        check_code_size(pe, code_budget, report)
    check_icon_group(resources, report)
    check_icon_images(resources, report)
    check_version(resources, report)
    check_manifest(resources, report)
    check_package(resources, package_path, report)
    return report.failures


def imports_allowed(exe_path, label):
    """Prints the import table of EXE_PATH after LABEL and each way it breaks
    the allow-list; True when it keeps to it."""
    pe = load(exe_path)
    print(f"{label}:", ", ".join(imported_dlls(pe)) or "(none)")
    report = Report()
    check_imports(pe, report)
    if report.failures:
        print(f"{exe_path}: {len(report.failures)} difference(s):")
        for failure in report.failures:
            print("  " + failure)
    return not report.failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--package", help="file that RCDATA 101 must equal")
    parser.add_argument("--stub", action="store_true", help="EXE is the stub")
    parser.add_argument("--code-budget", type=int, help="most bytes of .text allowed")
    parser.add_argument("--packer", help="korvanthelm-pack.exe, whose imports are held to the "
                                         "same allow-list: it runs from a download or a CI workspace too")
    parser.add_argument("--imports-only", action="store_true",
                        help="check EXE's import table alone")
    parser.add_argument("exe")
    args = parser.parse_args()

    if args.imports_only:
        return 0 if imports_allowed(args.exe, "imports") else 1
    if args.packer and not imports_allowed(args.packer, "packer imports"):
        return 1

    pe = load(args.exe)
    print("imports:", ", ".join(imported_dlls(pe)) or "(none)")
    print(".text:", sum(s.Misc_VirtualSize for s in pe.sections if s.Name.rstrip(b"\0") == b".text"),
          "bytes")
    failures = check_executable(args.exe, args.package, args.stub, args.code_budget)
    if failures:
        print(f"{args.exe}: {len(failures)} difference(s):")
        for failure in failures:
            print("  " + failure)
        return 1
    print(f"{args.exe}: headers, resources and imports as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main())
