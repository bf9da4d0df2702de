#!/usr/bin/env python3
# gen_unicode_tables.py: writes src/lib/unicode_tables.hpp, the code point tables of the
# literal escaping, from the Unicode Character Database (Debian's unicode-data package).
#
# Run by hand when the database changes, from the repository root:
#   python3 tools/gen_unicode_tables.py [--ucd /usr/share/unicode] [--output src/lib/unicode_tables.hpp]
import argparse
import pathlib
import re
import sys

MAX_CODE_POINT = 0x10FFFF
# General categories whose characters have no visible form of their own (controls, format
# characters, surrogates, private use, unassigned, separators); U+0020 is the one exception.
UNPRINTABLE_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}
# ASCII is decided in code, so the tables start here.
TABLE_START = 0x80


def read_categories(path):
    """General category of every code point; code points not listed are unassigned (Cn)."""
    categories = ["Cn"] * (MAX_CODE_POINT + 1)
    range_first = None
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            fields = line.split(";")
            code, name, category = int(fields[0], 16), fields[1], fields[2]
            # Large blocks (CJK ideographs, Hangul, private use, surrogates) are given as a
            # "<..., First>" line followed by a "<..., Last>" line.
            if name.endswith(", First>"):
                range_first = code
                continue
            if name.endswith(", Last>"):
                for c in range(range_first, code + 1):
                    categories[c] = category
                range_first = None
                continue
            categories[code] = category
    return categories


def read_property(path, wanted):
    """Code points that have the binary property `wanted` in a file like DerivedCoreProperties.txt."""
    code_points = set()
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            codes, prop = (part.strip() for part in line.split(";")[:2])
            if prop != wanted:
                continue
            first, _, last = codes.partition("..")
            code_points.update(range(int(first, 16), int(last or first, 16) + 1))
    return code_points


def read_version(path):
    with open(path, encoding="utf-8") as lines:
        match = re.match(r"# DerivedCoreProperties-(\d+\.\d+\.\d+)\.txt", lines.readline())
    if not match:
        sys.exit(f"{path}: no version in the first line")
    return match.group(1)


def to_ranges(predicate):
    """Maximal runs [first, last] of code points from TABLE_START up that satisfy `predicate`."""
    ranges = []
    for c in range(TABLE_START, MAX_CODE_POINT + 1):
        if not predicate(c):
            continue
        if ranges and ranges[-1][1] == c - 1:
            ranges[-1][1] = c
        else:
            ranges.append([c, c])
    return ranges


def format_table(name, ranges):
    rows = [f"    {{0x{first:04X}, 0x{last:04X}}}," for first, last in ranges]
    return (f"inline constexpr std::array<CodePointRange, {len(ranges)}> {name}{{{{\n"
            + "\n".join(rows) + "\n}};\n")


def main():
    parser = argparse.ArgumentParser(
        description="Write the code point tables of the literal escaping as a C++ header.")
    parser.add_argument("--ucd", default="/usr/share/unicode", type=pathlib.Path,
                        help="folder holding UnicodeData.txt and DerivedCoreProperties.txt")
    parser.add_argument("--output", default="src/lib/unicode_tables.hpp", type=pathlib.Path)
    args = parser.parse_args()

    categories = read_categories(args.ucd / "UnicodeData.txt")
    grapheme_extend = read_property(args.ucd / "DerivedCoreProperties.txt", "Grapheme_Extend")
    version = read_version(args.ucd / "DerivedCoreProperties.txt")

    def unprintable(c):
        return categories[c] in UNPRINTABLE_CATEGORIES

    escaped = to_ranges(lambda c: unprintable(c) or c in grapheme_extend)
    combining = to_ranges(lambda c: c in grapheme_extend and not unprintable(c))

    text = f"""\
// unicode_tables.hpp: code point tables of the literal escaping (generated, do not edit).
// Unicode {version}; regenerated from Debian's unicode-data package (/usr/share/unicode) with
// `python3 tools/gen_unicode_tables.py`. One range per line, left so by the formatter.
#pragma once

#include <array>

namespace kelmor::detail {{

inline constexpr const char *unicode_version = "{version}";

struct CodePointRange {{
    char32_t first;
    char32_t last; // inclusive
}};

// Code points from U+0080 up that literals write escaped: general categories Cc, Cf, Cs, Co,
// Cn (unassigned), Zl, Zp and Zs, and the property Grapheme_Extend. Sorted, disjoint and
// never adjacent, for binary search.
// clang-format off
{format_table("escaped_ranges", escaped)}
// The Grapheme_Extend code points of escaped_ranges that are otherwise printable (combining
// marks, mostly). Inside a string they combine with the character before them and are
// written as they are; only a string's first character is escaped for being one.
{format_table("combining_ranges", combining)}
// clang-format on
}} // namespace kelmor::detail
"""
    args.output.write_text(text, encoding="utf-8")
    print(f"{args.output}: Unicode {version}, {len(escaped)} escaped ranges, "
          f"{len(combining)} combining ranges")


if __name__ == "__main__":
    main()
