#!/usr/bin/python3
"""Shows that check_pe.py catches each fault it exists for.

Usage: check_pe_test.py [--package FILE] EXE

EXE must pass the checks as built. Each case then plants one fault in a copy
of it, the way a wrong build setting or resource script would show in the
file, and requires the checks to report exactly that fault.
"""

import argparse
import os
import struct
import sys
import tempfile

import pefile

import check_pe


def find_resource(pe, type_id, name_id):
    """(name entry, language entry) of the first language of type/id."""
    for type_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if type_entry.id != type_id:
            continue
        for name_entry in type_entry.directory.entries:
            if name_entry.id == name_id:
                return name_entry, name_entry.directory.entries[0]
    raise LookupError(f"resource {type_id}/{name_id} not in the executable")


def resource_span(pe, type_id, name_id):
    """(file offset, size) of a resource's bytes."""
    data = find_resource(pe, type_id, name_id)[1].data.struct
    return pe.get_offset_from_rva(data.OffsetToData), data.Size


def put(image, offset, fmt, *values):
    struct.pack_into(fmt, image, offset, *values)


def replace_in_resource(pe, image, type_id, name_id, old, new):
    """Replaces the one occurrence of old by new (same length) inside a resource."""
    assert len(old) == len(new)
    (start, size) = resource_span(pe, type_id, name_id)
    where = bytes(image[start:start + size]).find(old)
    assert where >= 0 and bytes(image[start:start + size]).count(old) == 1, \
        f"{old!r} not found once in resource {type_id}/{name_id}"
    image[start + where:start + where + len(new)] = new


def rewrite_resource(pe, image, type_id, name_id, content):
    """Puts shorter content in a resource's place and shrinks its size."""
    (start, size) = resource_span(pe, type_id, name_id)
    assert len(content) <= size, "a replacement may not grow the resource"
    image[start:start + size] = content + bytes(size - len(content))
    size_field = find_resource(pe, type_id, name_id)[1].data.struct.get_field_absolute_offset("Size")
    put(image, size_field, "<I", len(content))


def utf16(text):
    return text.encode("utf-16-le")


def rename_import(pe, image, old, new):
    assert len(old) == len(new)
    for entry in pe.DIRECTORY_ENTRY_IMPORT:
        if entry.dll.lower() == old:
            offset = pe.get_offset_from_rva(entry.struct.Name)
            image[offset:offset + len(new)] = new
            return
    raise LookupError(f"{old!r} is not imported")


def manifest(execution_level='level="asInvoker" uiAccess="false"', extra=""):
    # Compact, so that variants fit in the space of the built manifest.
    return ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'
            '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">'
            '<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"><security><requestedPrivileges>'
            f'<requestedExecutionLevel {execution_level}/>'
            f'</requestedPrivileges></security></trustInfo>{extra}</assembly>').encode("utf-8")


def alpha_dropped(pe, image):
    (start, _) = resource_span(pe, 3, 4)
    for pixel in range(32 * 32):
        image[start + 40 + pixel * 4 + 3] = 0xFF


def fixed_info_field(pe, image, index, value):
    (start, size) = resource_span(pe, 16, 1)
    at = bytes(image[start:start + size]).find(struct.pack("<I", 0xFEEF04BD))
    put(image, start + at + 4 * index, "<I", value)


def icons_reversed(pe, image):
    (start, _) = resource_span(pe, 14, 1)
    entries = [bytes(image[start + 6 + 14 * i:start + 20 + 14 * i]) for i in range(10)]
    image[start + 6:start + 146] = b"".join(reversed(entries))


def language_of(pe, image, type_id, name_id, language):
    lang_entry = find_resource(pe, type_id, name_id)[1]
    put(image, lang_entry.struct.get_field_absolute_offset("Name"), "<I", language)


def id_of(pe, image, type_id, name_id, new_id):
    name_entry = find_resource(pe, type_id, name_id)[0]
    put(image, name_entry.struct.get_field_absolute_offset("Name"), "<I", new_id)


def resource_section_shifted(pe, image):
    """512 more bytes before the resource section: still a valid layout, but
    its raw data no longer starts on a page."""
    start = next(section.PointerToRawData for section in pe.sections
                 if section.Name.rstrip(b"\0") == b".rsrc")
    image[start:start] = bytes(512)
    for section in pe.sections:
        if section.SizeOfRawData and section.PointerToRawData >= start:
            put(image, section.get_field_absolute_offset("PointerToRawData"), "<I",
                section.PointerToRawData + 512)


def package_altered(pe, image):
    (start, _) = resource_span(pe, 10, 101)
    image[start] ^= 0x01


# (what goes wrong, how it shows in the file, text the report must contain)
CASES = [
    ("console program", lambda pe, image: put(
        image, pe.OPTIONAL_HEADER.get_field_absolute_offset("Subsystem"), "<H", 3),
     "subsystem: expected 2, found 3"),
    ("32-bit machine type", lambda pe, image: put(
        image, pe.FILE_HEADER.get_field_absolute_offset("Machine"), "<H", 0x14C),
     "machine: expected '0x8664'"),
    ("link time stamped in the header", lambda pe, image: put(
        image, pe.FILE_HEADER.get_field_absolute_offset("TimeDateStamp"), "<I", 0x65000000),
     "file header TimeDateStamp"),
    ("resource directory stamped", lambda pe, image: put(
        image, pe.DIRECTORY_ENTRY_RESOURCE.struct.get_field_absolute_offset("TimeDateStamp"), "<I", 1),
     "resource directory TimeDateStamp"),
    ("icons listed largest first", icons_reversed,
     "icon group entry 1 icon id (the group lists images smallest first): expected 1, found 10"),
    ("32-pixel icon stored with 24 bits", lambda pe, image: put(
        image, resource_span(pe, 3, 4)[0] + 14, "<H", 24),
     "RT_ICON 4 (32 px) planes, bits per pixel: expected (1, 32), found (1, 24)"),
    ("32-pixel icon without alpha", alpha_dropped, "RT_ICON 4 (32 px) has no real alpha channel"),
    ("256-pixel icon not PNG", lambda pe, image: put(image, resource_span(pe, 3, 10)[0], "<B", 0),
     "RT_ICON 10 (256 px) is not a PNG image"),
    ("manifest stored as Russian", lambda pe, image: language_of(pe, image, 24, 1, 1049),
     "unexpected resources (type, id, language): [(24, 1, 1049)]"),
    ("manifest under id 2", lambda pe, image: id_of(pe, image, 24, 1, 2),
     "resources missing (type, id, language): [(24, 1, 1033)]"),
    ("package resource missing", lambda pe, image: id_of(pe, image, 10, 101, 102),
     "unexpected resources (type, id, language): [(10, 102, 1033)]"),
    ("elevation requested", lambda pe, image: rewrite_resource(
        pe, image, 24, 1, manifest('level="requireAdministrator" uiAccess="false"')),
     "manifest elements and attributes[4][1]: 'level': expected 'asInvoker', found 'requireAdministrator'"),
    ("UI access requested", lambda pe, image: rewrite_resource(
        pe, image, 24, 1, manifest('level="asInvoker" uiAccess="true"')),
     "manifest elements and attributes[4][1]: 'uiAccess': expected 'false', found 'true'"),
    ("manifest declares more", lambda pe, image: rewrite_resource(
        pe, image, 24, 1, manifest(extra="<dependency/>")),
     "manifest elements and attributes[5]: unexpected ['{urn:schemas-microsoft-com:asm.v1}dependency', {}]"),
    ("manifest not standalone", lambda pe, image: rewrite_resource(
        pe, image, 24, 1, manifest().replace(b' standalone="yes"', b"")),
     "manifest XML declaration is not standalone"),
    ("file version 1.9.0.0", lambda pe, image: fixed_info_field(pe, image, 2, 0x00010009),
     "VS_FIXEDFILEINFO file version MS: expected '0x10008', found '0x10009'"),
    ("debug build flag", lambda pe, image: fixed_info_field(pe, image, 7, 1),
     "VS_FIXEDFILEINFO file flags: expected '0x0', found '0x1'"),
    ("file date set", lambda pe, image: fixed_info_field(pe, image, 12, 0x12345678),
     "VS_FIXEDFILEINFO file date LS"),
    ("wrong version string", lambda pe, image: replace_in_resource(
        pe, image, 16, 1, utf16("KORVANTHELM Launcher"), utf16("KORVANTHELM Lounger!")),
     "version strings: 'FileDescription': expected 'KORVANTHELM Launcher', found 'KORVANTHELM Lounger!'"),
    ("copyright text in the wrong code page", lambda pe, image: replace_in_resource(
        pe, image, 16, 1, utf16("Все"), utf16("Ð’Ñ")),
     "version strings: 'LegalCopyright': expected"),
    ("string table for English", lambda pe, image: replace_in_resource(
        pe, image, 16, 1, utf16("041904B0"), utf16("040904B0")),
     "string tables[0]: expected '041904B0', found '040904B0'"),
    ("translation for English", lambda pe, image: replace_in_resource(
        pe, image, 16, 1, struct.pack("<HH", 0x0419, 0x04B0), struct.pack("<HH", 0x0409, 0x04B0)),
     "translations (language/code page)[0]: expected '0x0419/0x04B0', found '0x0409/0x04B0'"),
    ("resource section not on a page", resource_section_shifted,
     "not on a page boundary"),
    ("checksum left stale", lambda pe, image: put(
        image, pe.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum"), "<I",
        pe.OPTIONAL_HEADER.CheckSum ^ 0x10),
     "checksum: expected"),
    ("user32 imported statically", lambda pe, image: rename_import(pe, image, b"msvcrt.dll", b"user32.dll"),
     "user32.dll is imported but is not on the allow-list"),
    ("bcrypt imported statically", lambda pe, image: rename_import(pe, image, b"msvcrt.dll", b"bcrypt.dll"),
     "bcrypt.dll is imported statically"),
    ("a DLL off the allow-list imported", lambda pe, image: rename_import(
        pe, image, b"msvcrt.dll", b"ws2_32.dll"),
     "ws2_32.dll is imported but is not on the allow-list"),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--package")
    parser.add_argument("exe")
    args = parser.parse_args()
    with open(args.exe, "rb") as exe:
        original = exe.read()

    failed = []
    baseline = check_pe.check_executable(args.exe, args.package)
    if baseline:
        print("the executable as built already fails the checks:")
        for line in baseline:
            print("  " + line)
        return 1

    cases = list(CASES)
    if args.package:
        cases.append(("package resource altered", package_altered, "RCDATA 101"))
    with tempfile.TemporaryDirectory() as scratch:
        for (name, plant, expected) in cases:
            pe = pefile.PE(data=original, fast_load=True)
            pe.parse_data_directories(directories=[
                pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
                pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
            image = bytearray(original)
            plant(pe, image)
            pe.close()
            path = os.path.join(scratch, "planted.exe")
            with open(path, "wb") as planted:
                planted.write(image)
            report = check_pe.check_executable(path, args.package)
            if not any(expected in line for line in report):
                failed.append(name)
                print(f"FAIL {name}: no report line contains {expected!r}; the report was:")
                for line in report or ["(no differences)"]:
                    print("    " + line)
            else:
                print(f"ok   {name}")
    print(f"{len(cases) - len(failed)} of {len(cases)} planted faults reported")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
