#!/usr/bin/env python3
"""Writes the packer's case-folding table from the Unicode Character Database.

    make_case_folding_table.py CaseFolding.txt OUTPUT.h

CaseFolding.txt has one line per mapping, "CODE; STATUS; MAPPING; # NAME",
with STATUS C (common: one code point for one, used by every folding), S
(simple: the one-for-one form of a character that also has an F line), F
(full: one code point to several) and T (Turkic dotted and dotless i).
Simple case folding, which is how Windows compares file names, takes the C
and S lines and nothing else: F would make "ß" into "ss", and T applies to
Turkic text only.

The table is a sorted list of runs: a run maps first, first + step, ...,
last to each of them plus delta. Most mappings come in such runs (A-Z is one
run with step 1; the Latin Extended-A pairs are runs with step 2), so about
1450 mappings make a few hundred runs, and a lookup is a binary search by
`first`. The header includes nothing beyond <cstdint>, so every compiler the
project builds with takes it.

Anything the script does not understand ends it with one line on stderr and
exit status 1, and no output file is written.
"""

import os
import re
import sys

LINE = re.compile(r"^([0-9A-F]{4,6}); ([CFST]); ([0-9A-F]{4,6}(?: [0-9A-F]{4,6})*); # ")
VERSION = re.compile(r"^# CaseFolding-(\d+\.\d+\.\d+)\.txt$")
SIMPLE_STATUSES = ("C", "S")
MAX_CODE_POINT = 0x10FFFF


class TableError(Exception):
    pass


def read_simple_foldings(path):
    """(Unicode version, sorted list of (code point, folded code point))."""
    version = None
    foldings = {}
    with open(path, encoding="utf-8") as lines:
        for number, line in enumerate(lines, start=1):
            line = line.rstrip("\n")
            if number == 1:
                match = VERSION.match(line)
                if not match:
                    raise TableError(f"{path}:1: not a CaseFolding.txt header: {line!r}")
                version = match.group(1)
            if not line.strip() or line.startswith("#"):
                continue
            match = LINE.match(line)
            if not match:
                raise TableError(f"{path}:{number}: not a case-folding line: {line!r}")
            code, status, mapping = match.groups()
            if status not in SIMPLE_STATUSES:
                continue
            targets = mapping.split(" ")
            if len(targets) != 1:
                raise TableError(f"{path}:{number}: status {status} maps to several code points")
            source, target = int(code, 16), int(targets[0], 16)
            if source > MAX_CODE_POINT or target > MAX_CODE_POINT:
                raise TableError(f"{path}:{number}: beyond U+10FFFF")
            if source in foldings:
                raise TableError(f"{path}:{number}: U+{source:04X} folded twice")
            foldings[source] = target
    if not foldings:
        raise TableError(f"{path}: no C or S lines")
    return version, sorted(foldings.items())


def make_runs(foldings):
    """Greedy runs (first, last, step, delta) of mappings with one delta."""
    runs = []
    for source, target in foldings:
        delta = target - source
        if runs:
            first, last, step, run_delta = runs[-1]
            gap = source - last
            if run_delta == delta and (gap == step or (first == last and gap in (1, 2))):
                runs[-1] = (first, source, gap, delta)
                continue
        runs.append((source, source, 1, delta))
    return runs


def header_text(version, runs, mapping_count):
    rows = "\n".join(
        f"    {{0x{first:04X}, 0x{last:04X}, {step}, {delta}}}," for first, last, step, delta in runs
    )
    return f"""\
// Made at build time by tools/pack/checks/make_case_folding_table.py from
// CaseFolding.txt of Unicode {version} (statuses C and S): not to be edited or
// committed. {mapping_count} mappings in {len(runs)} runs.
#pragma once

#include <cstdint>

namespace korvanthelm::pack::case_folding {{

// Maps first, first + step, ..., last (step 1 or 2) each to itself plus delta.
struct Run {{
    char32_t first;
    char32_t last;
    std::uint8_t step;
    std::int32_t delta;
}};

inline constexpr char kUnicodeVersion[] = "{version}";
inline constexpr std::uint32_t kMappingCount = {mapping_count};

// Sorted by `first`; runs do not overlap.
inline constexpr Run kRuns[] = {{
{rows}
}};

}}  // namespace korvanthelm::pack::case_folding
"""


def main(argv):
    if len(argv) != 3:
        print("usage: make_case_folding_table.py CaseFolding.txt OUTPUT.h", file=sys.stderr)
        return 2
    source_path, output_path = argv[1], argv[2]
    try:
        version, foldings = read_simple_foldings(source_path)
    except (OSError, UnicodeDecodeError, TableError) as error:
        print(f"make_case_folding_table: {error}", file=sys.stderr)
        return 1
    text = header_text(version, make_runs(foldings), len(foldings))
    # Written beside the output and renamed, so an interrupted build never
    # leaves half a table that a later build would take as up to date.
    temporary = output_path + ".tmp"
    with open(temporary, "w", encoding="utf-8", newline="\n") as out:
        out.write(text)
    os.replace(temporary, output_path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
