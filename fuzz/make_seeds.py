#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus-<target>/ (not committed):
field texts of the tests' edge cases and of the sample file, a sample of the public decimal test
vectors in tests/data, small plot files of every shape the tests use, and UTF-8 text
with every kind of bad sequence. libFuzzer adds what it finds to the same folders."""

import hashlib
import lzma
import pathlib
import struct
import sys

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
SAMPLE = ROOT / "examples" / "sample.plt"
VECTORS = ROOT / "tests" / "data" / "parse-number-fxx"

FIELDS = [
    "", "   ", "\t\u00a0 ", "1.5E+02", "1.5e2", "+150", " 150. ", "-0.0", "-0", "-0e9", "0e-999999",
    ".5", "5.", "5.e1", ".", "+.", "e5", "1e", "1e+", "+", "-", "1.0D+02", "0x1A", "1_000", "1,5",
    "1 .5", "++1", "+-1", "1e5.5", "1.5.3", "inf", "INF", "Infinity", "+inf", "-infinity", "nan",
    "NaN", "-nan", "infinite", "infin", "snan", "nan(1)", "in f", "16777217", "16777219",
    "1.0000000596046448", "1.000000059604644775390625", "3.4028235e38", "3.40282357e38", "1e39",
    "340282356779733661637539395458142568448", "1e-45", "8e-46", "7e-46", "1e-46", "-1e-46", "0.1",
    "1.000000059604644775390625" + "0" * 780 + "1", "0" * 20 + "1", "1e0000000000005",
    "1e99999999", "1e-99999999", "0." + "0" * 65540 + "1e655360", "1.0\r", "\ufeff1", "\u200b1",
    "\u001c1", "\u30001.25\u2029", " -1.23456E+02", " 1.23456789E-02", "1e-38", "1.17549435e-38",
    "1.4e-45", "7.0064923216240854e-46", "9999999999999999999", "123456789012345678901234567890",
]


def write(target, name, data):
    folder = HERE / f"corpus-{target}"
    folder.mkdir(exist_ok=True)
    (folder / f"seed-{name}-{hashlib.sha1(data).hexdigest()[:12]}").write_bytes(data)


def sample_fields():
    lines = SAMPLE.read_text().splitlines()
    fields = set()
    for line in lines[38:200]:
        for width in (12, 15):
            fields.update(line[i:i + width] for i in range(0, len(line), width))
    return sorted(fields)[:300]


def vector_texts(limit=600):
    texts = []
    for path in sorted(VECTORS.glob("*.txt.xz")):
        if path.name.startswith("exhaustive"):
            continue
        lines = lzma.decompress(path.read_bytes()).decode().splitlines()
        step = max(1, len(lines) // (limit // 6))
        texts += [line.split(" ", 4)[4] for line in lines[::step] if line.count(" ") >= 4]
    return texts[:limit]


def plot(blocks, n=None, width=12, newline="\n", first=None):
    n = len(blocks[0]) if n is None else n
    lines = [first if first is not None else f"Number of parameters: {n}"]
    lines += [f"  {i + 1} param_{i}" for i in range(n)]
    for step, values in enumerate(blocks):
        lines.append(f" time = {step * 0.5:.3E} s")
        for start in range(0, len(values), 10):
            lines.append("".join(f"{v:>{width}}" for v in values[start:start + 10]))
    return (newline.join(lines) + newline).encode()


def layout_line(values, width):
    return "".join(f"{v: .{width - 7}E}" for v in values)


def layout_files():
    """Plot files in the writers' layout (% .5E in 12 bytes, % .8E in 15), which the reader takes
    line by line without cutting fields: clean, with CR LF, with a midpoint value, a field in
    another format, bytes after the fields, a bad field and a bad byte."""
    files = []
    for width in (12, 15):
        for n in (1, 10, 13, 25):
            blocks = [[(i + 1) * (s + 1) * 1.7 ** (i - s) * (-1) ** i for i in range(n)]
                      for s in range(3)]
            lines = [f"Number of parameters: {n}"] + [f"  {i + 1} p{i}" for i in range(n)]
            for s, values in enumerate(blocks):
                lines.append(f" TIME = {s * 0.1: .5E} S")
                lines += [layout_line(values[k:k + 10], width) for k in range(0, n, 10)]
            clean = "\n".join(lines) + "\n"
            files.append((width, clean.encode()))
            files.append((width, clean.replace("\n", "\r\n").encode()))
            data_line = len(lines) - 1
            for change in (lambda l: l[:width] + " 2.86344E+09".rjust(width) + l[2 * width:],
                           lambda l: l[:width] + "1.5".rjust(width) + l[2 * width:],
                           lambda l: l + "  tail",
                           lambda l: l[:width] + l[width:2 * width].replace("E", "D") + l[2 * width:],
                           lambda l: l[:3] + "\u00e9" + l[5:]):
                changed = list(lines)
                changed[data_line] = change(changed[data_line])
                files.append((width, ("\n".join(changed) + "\n").encode()))
    return files


def plot_files():
    twelve = [[f"{(i + 1) * (s + 1) * 1.25:.4E}" for i in range(12)] for s in range(3)]
    files = [
        (12, plot([["1.5", "2.5"], ["3.5", "4.5"]])),
        (12, plot(twelve)),
        (15, plot(twelve, width=15)),
        (12, plot(twelve, newline="\r\n")),
        (12, plot([["1"] * 3], n=3)[:-1]),
        (12, b"3\na\nb\nc\n"),
        (12, b"\n\nanything\n"),
        (12, b"3 parameters\n"),
        (12, b"Number: 4294967295\nx\n"),
        (12, b"\xef\xbb\xbf2\na\nb\nt\n         1.0         2.0\n"),
        (12, b"2\na\nb\nt\n         1.0         xyz\n"),
        (12, b"2\na\nb\nt\n         1.0 \xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\n"),
        (12, b"1\na\nt\n\xff\n"),
        (0, b"1\na\nt\n         1.0\n"),
        (5, b"2\na\nb\nt\n1.0  2.0\n"),
        (12, plot([["1.0"] * 2]) + b"\n"),
        (12, b"1\na\nt\n" + b" " * 9000 + b"\n"),
    ]
    files += layout_files()
    sample = SAMPLE.read_bytes()
    end = sample.rfind(b"\n", 0, 18000)
    files.append((12, sample[:end + 1]))
    return files


def main():
    fields = FIELDS + sample_fields() + vector_texts()
    for index, text in enumerate(fields):
        data = text.encode()
        write("decode", f"raw{index}", b"\x00" + data)
        write("text", f"field{index}", data)
    for mode in range(1, 3):
        for k in range(32):
            write("decode", f"mode{mode}-{k}", bytes([mode] + [(k * 37 + j * 11) % 256 for j in range(24)]))
    for index, (width, data) in enumerate(plot_files()):
        write("reader", f"plot{index}", struct.pack("<H", width) + data)
    bad = [b"\xc0\xaf", b"\xe0\x80\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xf0\x9f\x98", b"\xe2\x82",
           b"\x80", b"\xff", b"a\xc3\xa9b\xe2\x82\xacc\xf0\x9f\x98\x80d", b"\xf5\x80\x80\x80", b"\xc2"]
    for index, data in enumerate(bad):
        write("text", f"utf8-{index}", b"x" + data + b" \xe3\x80\x80y")
    print(f"seeds written under {HERE}/corpus-*", file=sys.stderr)


if __name__ == "__main__":
    main()
