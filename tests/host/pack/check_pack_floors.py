#!/usr/bin/env python3
"""The packer's floors, kept: every file under tools/pack includes only from
its own room or from a floor below it.

    cli > commands > try > tree > checks, signing > pe, compress > platform > base

main.cpp stands above cli. Rooms on one floor do not include each other
(checks and signing, pe and compress stay apart). A folder missing from the
table is refused too, so that a new room is given its floor on purpose.

Usage: check_pack_floors.py TOOLS_PACK_FOLDER   (exit 0: kept; 1: broken)
       check_pack_floors.py --self-test          (the check catches what it should)
"""
import os
import re
import sys
import tempfile

# Highest floor first; the rooms of one floor in one tuple.
FLOORS = [("cli",), ("commands",), ("try",), ("tree",), ("checks", "signing"),
          ("pe", "compress"), ("platform",), ("base",)]
TOP = len(FLOORS)  # main.cpp, above every room

INCLUDE = re.compile(r'^\s*#\s*include\s*"tools/pack/([^"]+)"', re.MULTILINE)


def floor_of(room):
    for height, rooms in enumerate(reversed(FLOORS)):
        if room in rooms:
            return height
    return None


def room_of(relative):
    """The room of a path inside tools/pack: its first folder, or "" for main.cpp."""
    return relative.split("/", 1)[0] if "/" in relative else ""


def faults(root):
    found = []
    for folder, _, names in os.walk(root):
        for name in sorted(names):
            if not name.endswith((".h", ".cpp")):
                continue
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, root).replace(os.sep, "/")
            room = room_of(relative)
            height = TOP if room == "" else floor_of(room)
            if height is None:
                found.append(f"{relative}: the room {room}/ has no floor in the table")
                continue
            with open(path, encoding="utf-8") as source:
                text = source.read()
            for included in INCLUDE.findall(text):
                target = room_of(included)
                if target == room:
                    continue
                target_height = TOP if target == "" else floor_of(target)
                if target_height is None:
                    found.append(f"{relative}: includes {included}, in no room of the table")
                elif target_height > height:
                    found.append(f"{relative}: includes {included}, a floor above ({target}/ over {room}/)")
                elif target_height == height:
                    found.append(f"{relative}: includes {included}, beside it on its floor ({target}/ and {room}/)")
    return found


def self_test():
    """A clean tree passes; each kind of fault in it is caught."""
    cases = [
        # (file, its text, caught)
        ("commands/a.cpp", '#include "tools/pack/try/b.h"\n', False),    # one floor down
        ("cli/a.cpp", '#include "tools/pack/base/b.h"\n', False),        # many floors down
        ("try/a.cpp", '#include "tools/pack/try/b.h"\n', False),         # its own room
        ("main.cpp", '#include "tools/pack/cli/b.h"\n', False),          # the entry over all
        ("pe/a.cpp", '#include "platform/system_library.h"\n', False),   # not the packer's
        ("platform/a.cpp", '#include "tools/pack/commands/b.h"\n', True),  # up many floors
        ("try/a.h", '#include "tools/pack/commands/b.h"\n', True),       # up one floor
        ("base/a.h", '  #  include "tools/pack/platform/b.h"\n', True),  # spelled loosely
        ("signing/a.cpp", '#include "tools/pack/checks/b.h"\n', True),   # beside it
        ("cli/a.cpp", '#include "tools/pack/main.cpp"\n', True),         # the entry
        ("attic/a.cpp", '#include "tools/pack/base/b.h"\n', True),       # a room without a floor
    ]
    failures = 0
    for relative, text, caught in cases:
        with tempfile.TemporaryDirectory() as root:
            os.makedirs(os.path.join(root, os.path.dirname(relative)), exist_ok=True)
            with open(os.path.join(root, relative), "w", encoding="utf-8") as source:
                source.write(text)
            if bool(faults(root)) != caught:
                print(f"self-test: {relative} with {text.strip()!r}: "
                      f"{'not caught' if caught else 'refused'}", file=sys.stderr)
                failures += 1
    return 1 if failures else 0


def main(argv):
    if argv[1:] == ["--self-test"]:
        return self_test()
    if len(argv) != 2 or not os.path.isdir(argv[1]):
        print("usage: check_pack_floors.py TOOLS_PACK_FOLDER | --self-test", file=sys.stderr)
        return 2
    found = faults(argv[1])
    for fault in found:
        print(fault, file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
